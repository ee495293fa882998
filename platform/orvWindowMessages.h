#pragma once

// Messages to another program's window. A top-level window of a class is a
// Unix datagram socket named after the class in a private folder
// ($XDG_RUNTIME_DIR/orvalis-windows, mode 0700); finding it means the socket
// exists and its owner answers; posting sends (message, wParam, lParam)
// without waiting for it to be handled.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TorvWindowMessage
{
    std::uint32_t Msg = 0;
    std::uint64_t WParam = 0;
    std::int64_t LParam = 0;
};

// The sending side, as the program uses it.
class TorvWindowMessenger
{
public:
    virtual ~TorvWindowMessenger() = default;
    // Whether a window of the class exists (and, given a child class, has such a child).
    virtual bool FindWindow(const std::string& windowClass, const std::string& childClass = "") = 0;
    // Finds the window (and child) and posts the message to it; false when not found.
    virtual bool PostMessage(const std::string& windowClass, const std::string& childClass,
                             const TorvWindowMessage& message) = 0;
};

// Through the sockets of the private folder.
class TorvSocketWindowMessenger final : public TorvWindowMessenger
{
public:
    // answerWaitMs: how long a window has to answer a find.
    explicit TorvSocketWindowMessenger(int answerWaitMs = 500) : FAnswerWaitMs(answerWaitMs) {}
    bool FindWindow(const std::string& windowClass, const std::string& childClass = "") override;
    bool PostMessage(const std::string& windowClass, const std::string& childClass,
                     const TorvWindowMessage& message) override;

private:
    int FAnswerWaitMs;
};

// The owning side: a window of a class with its child classes. Created by
// the program that owns the window; its socket goes with it. A stale socket
// of a window whose owner died is replaced; a live one raises std::runtime_error.
class TorvMessageWindow
{
public:
    TorvMessageWindow(std::string windowClass, std::vector<std::string> childClasses = {});
    ~TorvMessageWindow();
    TorvMessageWindow(const TorvMessageWindow&) = delete;
    TorvMessageWindow& operator=(const TorvMessageWindow&) = delete;

    // Poll it for POLLIN.
    int Fd() const noexcept { return FFd; }
    struct Posted
    {
        std::string ChildClass; // empty: posted to the window itself
        TorvWindowMessage Message;
    };
    // Handles what waits on the socket: answers finds, returns the next posted
    // message, or nothing when none waits. Never blocks.
    std::optional<Posted> Receive();

private:
    std::string FClass;
    std::vector<std::string> FChildren;
    std::string FPath;
    dev_t FDevice = 0; // of our socket file, so we never remove another's
    ino_t FInode = 0;
    int FFd = -1;
};

// The private folder (created 0700 when missing; one that others may enter is refused).
std::string orvWindowFolder();
