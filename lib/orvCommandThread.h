#pragma once

#include "lib/orvConnections.h"

#include <deque>
#include <string>

// Channel 1: handles the gateway's part of the conversation itself and keeps
// everything else for the main window, which takes one command per tick.
class TorvCommandThread : public TorvChannelThread
{
public:
    static constexpr std::size_t MaxUnhandled = 100;

    TorvCommandThread() = default;
    ~TorvCommandThread() override = default;

    void AddUnhandledCommand(std::string text);
    // The oldest unhandled command, removed; empty when none waits.
    std::string GetUnhandledCommand();
    void ClearUnhandledCommands();
    std::size_t UnhandledCount();

    void SendRegistration();
    // "2:" when the connection still stands, then 500 ms for it to leave.
    void SendLeave();
    void SendAcknowledge(const std::string& code, const std::string& data);
    void SendErrorCode(int number);
    void SendNotHandled(const std::string& text);

protected:
    void Execute() override;
    // One gateway or helpdesk command; false when the thread must end.
    bool Handle(const std::string& text);

private:
    std::string Where();

    // Drops what would act once the link is down, keeping the "106" notices
    // (such as the reason the session ended), which the user should still see.
    void DropActionCommands();

    std::deque<std::string> FUnhandled; // guarded by FFieldLock
};
