#include "tools/orvhelpdesk/Actions.h"

#include "lib/orvAppUtils.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"

bool THelpdeskActions::Command(const std::string& line)
{
    if (line.starts_with("open ") && line.size() > 5)
        Send(JoinCommand(orvCmd::OpenFile, line.substr(5)));
    else if (line == "settings")
        Send(JoinCommand(orvCmd::ControlPanel, ""));
    else if (line == "printers")
        Send(JoinCommand(orvCmd::Printers, ""));
    else if (line == "cad")
        Send(JoinCommand(orvCmd::SecureAttention, ""));
    else if (line == "startkey")
        Send(JoinCommand(orvCmd::StartMenu, ""));
    else if (line == "restart")
        Send(JoinCommand(orvCmd::RequestRestartOrLogOff, std::string(orvCmd::Restart)));
    else if (line == "logoff")
        Send(JoinCommand(orvCmd::RequestRestartOrLogOff, std::string(orvCmd::LogOff)));
    else
        return false;
    return true;
}

void THelpdeskActions::Received(const std::string& text)
{
    const TorvCommandParts parts = SplitCommandText(text);
    if (parts.Code == orvCmd::Acknowledge &&
        (parts.Data == orvCmd::Restart || parts.Data == orvCmd::LogOff)) {
        FComingBack = true;
        FSay("the customer's computer is going down; waiting for the customer to come back");
    }
}

void THelpdeskActions::Send(const std::string& text)
{
    FConnection.Send(orvCommandChannel, text);
    FSay("> 1 " + EscapeChannelText(text));
}
