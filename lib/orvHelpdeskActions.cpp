#include "lib/orvHelpdeskActions.h"

#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvCommandThread.h"
#include "lib/orvOSUtils.h"
#include "lib/orvSessionReceipt.h"

namespace {

// Failures of these actions are not the user's business, nor the helpdesk's:
// the acknowledgement has gone out already.
template <typename F> void Quietly(const char* what, F&& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        DebugLogFmt("%s failed: %s", what, e.what());
    }
}

} // namespace

bool TorvHelpdeskActions::Handle(const std::string& code, const std::string& data)
{
    if (code == orvCmd::OpenFile) {
        Acknowledge(code);
        Note(TorvHelpdeskAction::Open, data);
        Open(data);
    } else if (code == orvCmd::ControlPanel) {
        Acknowledge(code);
        Note(TorvHelpdeskAction::Settings);
        Quietly("Opening the desktop settings", [] { OSUtils().OpenControlPanel(); });
    } else if (code == orvCmd::Printers) {
        Acknowledge(code);
        Note(TorvHelpdeskAction::Printers);
        Quietly("Opening the printers", [] { OSUtils().OpenPrinterLinksFolder(); });
    } else if (code == orvCmd::Restart) {
        Acknowledge(code);
        Restart();
    } else if (code == orvCmd::LogOff) {
        Acknowledge(code);
        LogOff();
    } else if (code == orvCmd::SecureAttention) {
        Acknowledge(code);
        Note(TorvHelpdeskAction::CtrlAltDel);
        Quietly("Sending Ctrl+Alt+Del",
                [] { OSUtils().SendKeys(orvHelpdeskActionText::SecureAttentionKeys, false); });
    } else if (code == orvCmd::StartMenu) {
        Acknowledge(code);
        Note(TorvHelpdeskAction::StartKey);
        Quietly("Sending the start key",
                [] { OSUtils().SendKeys(orvHelpdeskActionText::StartMenuKeys, false); });
    } else {
        return false;
    }
    return true;
}

// Noted before it is carried out: a restart may leave no later chance.
void TorvHelpdeskActions::Note(TorvHelpdeskAction action, const std::string& target)
{
    if (const auto receipt = FHost.SessionReceipt())
        receipt->Action(action, TorvActionOutcome::Done, target);
}

void TorvHelpdeskActions::NoteEnd(TorvEndReason reason)
{
    if (const auto receipt = FHost.SessionReceipt())
        receipt->Ended(reason);
}

void TorvHelpdeskActions::Acknowledge(const std::string& code)
{
    if (TorvCommandThread* command = FHost.CommandThread())
        command->SendAcknowledge(std::string(orvCmd::Acknowledge), code);
}

void TorvHelpdeskActions::WriteRestartEntry()
{
    bool written = false;
    Quietly("Writing the restart entry", [&] { written = FHost.CreateRestartShortcut(); });
    if (written)
        return;
    DebugLog("Unable to write the restart entry");
    if (TorvCommandThread* command = FHost.CommandThread())
        command->SendErrorCode(orvRestartEntryFailed);
}

void TorvHelpdeskActions::Open(const std::string& target)
{
    Quietly("Opening a file for the helpdesk", [&] { OSUtils().RunExecutable(target, ""); });
}

void TorvHelpdeskActions::Restart()
{
    Note(TorvHelpdeskAction::Restart);
    NoteEnd(TorvEndReason::Restart);
    WriteRestartEntry();
    // A refused restart still ends the program: the helpdesk expects it gone.
    Quietly("Restarting the computer", [] { OSUtils().RestartComputer(); });
    FHost.CloseMainWindow();
}

void TorvHelpdeskActions::LogOff()
{
    Note(TorvHelpdeskAction::LogOff);
    NoteEnd(TorvEndReason::LogOff);
    WriteRestartEntry();
    if (TorvCommandThread* command = FHost.CommandThread())
        Quietly("Leaving the session", [command] { command->SendLeave(); });
    FHost.ShowActionMessage(orvHelpdeskActionText::LoggedOff);
    FHost.ProcessPendingEvents();
    FHost.PauseGuiThread(orvLogOffMessageTime);
    Quietly("Logging the user off", [] { OSUtils().LogOffUser(); });
    FHost.CloseMainWindow();
}
