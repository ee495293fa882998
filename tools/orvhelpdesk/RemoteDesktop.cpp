#include "tools/orvhelpdesk/RemoteDesktop.h"

#include "lib/orvAppUtils.h"

#include <utility>

namespace {

std::string Request(const std::string& text)
{
    return JoinCommand(orvVNC::Request, text);
}

} // namespace

bool THelpdeskRemoteDesktop::Command(const std::string& line)
{
    if (line == "view") {
        // Asks the customer to show their desktop; the customer may be asked first.
        FThread.SetIsServer(false);
        if (!FThread.Send(Request(JoinCommand(orvVNC::Start, orvVNC::Server))))
            FSay("rd: not sent: no session");
    } else if (line == "show") {
        FThread.SetIsServer(true);
        if (FThread.Send(JoinCommand(orvVNC::Start, orvVNC::Client)))
            FThread.AddMessage(JoinCommand(orvVNC::Start, orvVNC::Server));
        else
            FSay("rd: not now: a remote desktop runs already or there is no session");
    } else if (line == "stop") {
        if (FThread.Send(JoinCommand(orvVNC::Close, orvVNC::RemotelyClosed)))
            FThread.AddMessage(JoinCommand(orvVNC::Close, ""));
        else
            FSay("rd: no remote desktop runs");
    } else if (line == "control ask") {
        if (!FThread.Send(Request(orvVNC::ControlAnswer)))
            FSay("rd: not sent: no session");
    } else if (line == "control yes" || line == "control no") {
        // Control of the desktop this side shows: granted or taken back at once.
        if (!FQuestion.empty() && SplitCommand(FQuestion).Code == orvVNC::ControlAnswer)
            Answer(line == "control yes");
        else
            FThread.AddMessage(JoinCommand(orvVNC::ControlAnswer,
                                           line == "control yes" ? orvVNC::Granted : orvVNC::Refused));
    } else if (line == "yes" || line == "no") {
        if (FQuestion.empty())
            FSay("rd: no question waits for an answer");
        else
            Answer(line == "yes");
    } else {
        return false;
    }
    return true;
}

void THelpdeskRemoteDesktop::Poll()
{
    const TVNCState state = FThread.GetState();
    if (state != FShownState) {
        FShownState = state;
        FSay(std::string("rd state ") + TorvVNCThread::StateName(state));
    }
    const std::string entry = FThread.GetUnhandledCommand();
    if (!entry.empty())
        Handle(entry);
}

void THelpdeskRemoteDesktop::Handle(const std::string& entry)
{
    const TorvCommandParts parts = SplitCommandText(entry);
    const std::string& code = parts.Code;
    const std::string& rest = parts.Data;
    if (code == orvVNC::Request) {
        if (rest == JoinCommand(orvVNC::Start, orvVNC::Server))
            Ask("rd question: the customer asks to see your desktop; show it?", rest);
        else if (rest == orvVNC::ControlAnswer)
            Ask("rd question: the customer asks to use your mouse and keyboard; allow it?", rest);
        else if (rest == JoinCommand(orvVNC::Start, orvVNC::Client)) {
            FThread.AddMessage(rest);
            FThread.Send(JoinCommand(orvVNC::Start, orvVNC::Server));
        } else {
            FThread.SendCommandNotHandled(entry);
        }
    } else if (code == orvVNC::Notice) {
        if (rest == orvVNC::NoticeGranted)
            FSay("rd notice: you can now use the customer's mouse and keyboard");
        else if (rest == orvVNC::NoticeRefused)
            FSay("rd notice: the customer refused you the mouse and keyboard");
        else if (rest == orvVNC::NoticeViewingRefused)
            FSay("rd notice: the customer refused to show the desktop");
        else
            FSay("rd notice: " + rest);
    } else if (code == orvVNC::SettingUp) {
        FSay("rd: setting up the remote desktop");
    } else if (code == orvVNC::TornDown) {
        // Every end of a remote desktop says so; the state line tells enough.
    } else if (!code.empty()) {
        FSay("rd: not understood: " + entry);
        FThread.SendCommandNotHandled(entry);
    }
}

void THelpdeskRemoteDesktop::Ask(const std::string& question, const std::string& request)
{
    // One question at a time: a newer one replaces an unanswered older one, which is refused.
    if (!FQuestion.empty())
        Answer(false);
    FQuestion = request;
    FSay(question + " (yes/no)");
}

void THelpdeskRemoteDesktop::Answer(bool yes)
{
    const std::string request = std::exchange(FQuestion, {});
    if (SplitCommand(request).Code == orvVNC::ControlAnswer) {
        FThread.AddMessage(JoinCommand(orvVNC::ControlAnswer, yes ? orvVNC::Granted : orvVNC::Refused));
    } else if (yes) {
        FThread.SetIsServer(true);
        FThread.Send(JoinCommand(orvVNC::Start, orvVNC::Client));
        FThread.AddMessage(request);
    } else {
        FThread.Send(JoinCommand(orvVNC::Notice, orvVNC::NoticeViewingRefused));
    }
    FSay(yes ? "rd: answered yes" : "rd: answered no");
}
