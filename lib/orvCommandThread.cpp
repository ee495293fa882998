#include "lib/orvCommandThread.h"

#include "lib/orvConnectionsUtils.h"

#include <chrono>
#include <thread>

void TorvCommandThread::AddUnhandledCommand(std::string text)
{
    TDebugWriteLock lock(FFieldLock, "TorvCommandThread.AddUnhandledCommand");
    FUnhandled.push_back(std::move(text));
    while (FUnhandled.size() > MaxUnhandled)
        FUnhandled.pop_front();
}

std::string TorvCommandThread::GetUnhandledCommand()
{
    TDebugWriteLock lock(FFieldLock, "TorvCommandThread.GetUnhandledCommand");
    if (FUnhandled.empty())
        return {};
    std::string text = std::move(FUnhandled.front());
    FUnhandled.pop_front();
    return text;
}

void TorvCommandThread::ClearUnhandledCommands()
{
    TDebugWriteLock lock(FFieldLock, "TorvCommandThread.ClearUnhandledCommands");
    FUnhandled.clear();
}

void TorvCommandThread::DropActionCommands()
{
    TDebugWriteLock lock(FFieldLock, "TorvCommandThread.DropActionCommands");
    std::erase_if(FUnhandled,
                  [](const std::string& text) { return SplitCommandText(text).Code != orvCmd::ErrorCode; });
}

std::size_t TorvCommandThread::UnhandledCount()
{
    TDebugReadLock lock(FFieldLock, "TorvCommandThread.UnhandledCount");
    return FUnhandled.size();
}

void TorvCommandThread::SendRegistration()
{
    Send(JoinCommand(orvCmd::Register, EncodeRegisteringData(GetConnection()->RegisteringData())));
}

void TorvCommandThread::SendLeave()
{
    // Send goes out only while the link stands; a leave that did not go out needs no time.
    if (!Send(JoinCommand(orvCmd::Leave, "")))
        return;
    // On our own thread the wait must still end at once when we are told
    // to stop, but not when a text arrives: the leave needs its time.
    if (IsCurrentThread())
        WaitForStop(500);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

void TorvCommandThread::SendAcknowledge(const std::string& code, const std::string& data)
{
    if (IsTotallyConnected())
        Send(JoinCommand(code, data));
}

void TorvCommandThread::SendErrorCode(int number)
{
    if (IsTotallyConnected())
        Send(JoinCommand(orvCmd::ErrorCode, std::to_string(number)));
}

void TorvCommandThread::SendNotHandled(const std::string& text)
{
    Send(JoinCommand(orvCmd::NotHandled, text));
}

std::string TorvCommandThread::Where()
{
    TorvConnection* c = GetConnection();
    return GatewayKey(c->GetAddress(), c->GetPort());
}

void TorvCommandThread::Execute()
{
    while (!Terminated()) {
        if (!Sleep(100))
            break;
        try {
            TorvConnection* c = GetConnection();
            if (c->GetConnectionState() != csConnected) {
                // Waiting texts stay; the connection clears them when its state changes.
                c->SetServerConnectionState(scsDisconnected);
                DropActionCommands();
                continue;
            }
            if (MessageCount() == 0)
                continue;
            if (!Handle(GetMessage()))
                break;
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TorvCommandThread.Execute: %s", e.what());
        }
    }
}

bool TorvCommandThread::Handle(const std::string& text)
{
    TorvConnection* c = GetConnection();
    const TorvCommandParts command = SplitCommandText(text);
    const std::string& code = command.Code;
    DebugLog(Where() + " received command: " + code + ", data: " + command.Data);

    if (code == orvCmd::Greeting) {
        // Greeted once registered: the gateway no longer knows our session.
        if (c->ServerConnectionState() >= scsRegisteredToServer)
            c->GatewayGreetedAnew();
        c->SetServerConnectionState(scsConnectedToServer);
        SendRegistration();
        DebugLog(Where() + " scsConnectedToServer");
    } else if (code == orvCmd::HelpdeskJoined) {
        c->SetServerConnectionState(scsTotallyConnected);
        DebugLog(Where() + " scsTotallyConnected");
    } else if (code == orvCmd::HelpdeskLeft) {
        c->SetServerConnectionState(scsRegisteredToServer);
    } else if (code == orvCmd::Registered) {
        // Decoded before the state moves, so a broken record cannot win the establishment.
        auto record = DecodeRegisteringData(command.Data);
        if (!record) {
            DebugLog("Error in TorvCommandThread.Execute: invalid registering data");
            return false; // the connection makes no further progress; the establishment times out
        }
        c->SetSessionIdentifier(record->SessionID);
        c->SetServerConnectionState(scsRegisteredToServer);
        if (record->ResultCode != orvResult::Accepted && record->ResultCode != orvResult::Notice)
            AddUnhandledCommand(JoinCommand(orvCmd::ErrorCode, command.Data));
        DebugLog(Where() + " scsRegisteredToServer");
    } else if (code == orvCmd::RefusedOrRedirect) {
        auto record = DecodeRegisteringData(command.Data);
        if (!record) {
            DebugLog("Error in TorvCommandThread.Execute: invalid registering data");
            return false;
        }
        // The redirect first: a poll that sees the result code 103 must also see its target.
        if (record->ResultCode == orvResult::Redirect) {
            if (auto target = SplitHostAndPort(record->ResultText))
                c->SetRedirect(target->Host, target->Port);
            else
                c->SetRedirect("", 0);
        }
        c->SetRegisteringData(*record);
        if (record->ResultCode == orvResult::Refused || record->ResultCode == orvResult::RefusedQuietly)
            c->SetStop(true);
        SendLeave();
    } else if (code == orvCmd::SessionEnded) {
        c->SetServerConnectionState(scsDisconnected);
        AddUnhandledCommand(JoinCommand(orvCmd::ErrorCode, command.Data));
        // Not at once: the gateway's "7:" is still being answered on the connection thread.
        c->DeactivateAfterReplies();
        DebugLog(Where() + " scsDisconnected");
    } else {
        AddUnhandledCommand(text);
    }
    return true;
}
