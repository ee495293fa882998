#pragma once

// What the helpdesk may ask this computer to do beyond the remote desktop:
// open a file, folder or address, open the desktop settings or the printers,
// press Ctrl+Alt+Del or the start key, restart, or log the user off. Restart
// and log-off first write the restart entry, so the program comes back at the
// next log-on and rejoins the same session. GUI thread only.

#include "lib/orvSessionReceipt.h"

#include <chrono>
#include <memory>
#include <string>

class TorvCommandThread;
class TorvSessionReceipt;

// What the actions need of the main window.
class TorvHelpdeskActionsHost
{
public:
    // The session's channel-1 thread, or none.
    virtual TorvCommandThread* CommandThread() const = 0;
    // Writes the restart entry for the current session; true when written.
    virtual bool CreateRestartShortcut() = 0;
    virtual void ShowActionMessage(const std::string& text) = 0;
    // Lets the window handle what is pending once (so a message shows).
    virtual void ProcessPendingEvents() = 0;
    // Holds the GUI thread there: no input, no further command; the window may still paint.
    virtual void PauseGuiThread(std::chrono::milliseconds time) = 0;
    // The window's ordinary closing: the session is left and the program ends.
    virtual void CloseMainWindow() = 0;
    // Where what was done is noted; none before the first session.
    virtual std::shared_ptr<TorvSessionReceipt> SessionReceipt() const = 0;

protected:
    ~TorvHelpdeskActionsHost() = default;
};

namespace orvHelpdeskActionText {
inline constexpr const char* LoggedOff = "Helpdesk has logged you off.";
inline constexpr const char* SecureAttentionKeys = "(^%{DEL})";
inline constexpr const char* StartMenuKeys = "{START}";
} // namespace orvHelpdeskActionText

// The restart entry could not be written; the helpdesk learns it with this code.
inline constexpr int orvRestartEntryFailed = 400;
inline constexpr std::chrono::milliseconds orvLogOffMessageTime{5000};

class TorvHelpdeskActions
{
public:
    explicit TorvHelpdeskActions(TorvHelpdeskActionsHost& host) : FHost(host) {}

    // Carries out one command of the helpdesk (its code and data); false when
    // the code is not one of these actions.
    bool Handle(const std::string& code, const std::string& data);

private:
    void Acknowledge(const std::string& code);
    void Note(TorvHelpdeskAction action, const std::string& target = {});
    void NoteEnd(TorvEndReason reason);
    void WriteRestartEntry();
    void Open(const std::string& target);
    void Restart();
    void LogOff();

    TorvHelpdeskActionsHost& FHost;
};
