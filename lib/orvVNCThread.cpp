#include "lib/orvVNCThread.h"

#include "lib/debugProc.h"
#include "lib/orvOSUtils.h"
#include "lib/orvVNCModule.h"
#include "lib/orvVNCViewerModule.h"
#include "transport/MCTime.h"

#include <cstdio>

namespace {

constexpr const char* kUnit = "lib/orvVNCThread";
constexpr int kPollSleepMs = 10;
// Without a remote desktop there is nothing to poll: the thread waits for a
// text (which wakes it) and looks at the session this often.
constexpr int kIdleSleepMs = 100;
constexpr std::uint32_t kForwardPeriodMs = 100;

namespace text {
constexpr const char* Unexpected = "Received %s message. State was %s";
constexpr const char* OnlyView =
    "You can now only view remote desktop but you can\u00B4t use the remote mouse or "
    "keyboard. Remote user can enable mouse and keyboard for you.";
constexpr const char* NoPermissionAsked =
    "The application was unable to ask permission to enable you the usage of remote desktops mouse and "
    "keyboard. "
    "Only remote user can change this setting (view only) in remote computers application.";
constexpr const char* NotResponded = "The remote computer's program was unable to respond to command %s";
constexpr const char* NoHost = "Unable to execute orvserver.exe";
constexpr const char* NoViewer = "Unable to execute orvviewer.exe";
constexpr const char* ShowFailed = "Failed to show your desktop to remote user.";
constexpr const char* ViewFailed = "Failed to view remote desktop.";
} // namespace text

std::string Format2(const char* format, const std::string& a, const std::string& b)
{
    const int n = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str());
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, a.c_str(), b.c_str());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool TickReached(std::uint32_t now, std::uint32_t deadline)
{
    return static_cast<std::int32_t>(now - deadline) >= 0;
}

bool Running(TVNCState s)
{
    return s == vsConnectingAsViewer1 || s == vsConnectingAsViewer2 || s == vsCustomerAsViewer;
}

} // namespace

TorvCommandParts SplitCommand(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return {std::string(text), {}};
    return {std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

TorvRemoteDesktopParts TorvRemoteDesktopParts::Default()
{
    TorvRemoteDesktopParts parts;
    parts.NewHostRelay = [](TorvVNCThread& owner) -> std::unique_ptr<TorvHostRelay> {
        return std::make_unique<TdmVNC>(owner);
    };
    parts.NewViewerRelay = [](TorvVNCThread& owner) -> std::unique_ptr<TorvViewerRelay> {
        return std::make_unique<TdmVncViewer>(owner);
    };
    parts.PostHostViewOnly = [](bool viewOnly) {
        return TUltraVNCHostUtils(OSUtils().Windows()).PostHostViewOnly(viewOnly);
    };
    parts.PostViewerSettings = [] { return TUltraVNCViewerUtils(OSUtils().Windows()).PostViewerSettings(); };
    parts.PendingMessages = [](TorvConnection& connection) { return connection.PendingMessageCount(); };
    parts.Ticks = MCGetTickCount;
    return parts;
}

TorvVNCThread::TorvVNCThread(TorvRemoteDesktopParts parts) : FParts(std::move(parts))
{
    orvAssert(FParts.NewHostRelay && FParts.NewViewerRelay && FParts.PostHostViewOnly &&
                  FParts.PostViewerSettings && FParts.PendingMessages,
              kUnit, "Incomplete remote desktop parts");
    if (!FParts.Ticks)
        FParts.Ticks = MCGetTickCount;
    FNextForward = FParts.Ticks();
    DisconnectedProc();
}

TorvVNCThread::~TorvVNCThread()
{
    // The loop uses the relays: it ends before they go.
    if (Started() && !Finished()) {
        Terminate();
        WaitFor();
    }
    FHostRelay.reset();
    FViewerRelay.reset();
    DebugLog("Remote desktop -modules have been destroyed.");
}

const char* TorvVNCThread::StateName(TVNCState state)
{
    switch (state) {
    case vsDisconnected: return "Disconnected";
    case vsConnected: return "Connected";
    case vsConnectingAsViewer1: return "ConnectingAsViewer1";
    case vsConnectingAsViewer2: return "ConnectingAsViewer2";
    case vsCustomerAsViewer: return "CustomerAsViewer";
    case vsFailed: return "Failed";
    }
    return "?";
}

bool TorvVNCThread::Send(const std::string& text)
{
    const std::string code = SplitCommand(text).Code;
    const TVNCState state = GetState();
    if (code == orvVNC::Start && state != vsConnected)
        return false;
    if (code == orvVNC::Close && state == vsConnected)
        return false;
    return TorvChannelThread::Send(text);
}

void TorvVNCThread::AddUnhandledCommand(std::string text)
{
    TDebugWriteLock lock(FFieldLock, "AddUnhandledCommand");
    FUnhandled.push_back(std::move(text));
    while (FUnhandled.size() > MaxUnhandled)
        FUnhandled.pop_front();
}

std::string TorvVNCThread::GetUnhandledCommand()
{
    // Taking changes the list, so it takes the lock for writing.
    TDebugWriteLock lock(FFieldLock, "AddUnhandledCommand");
    if (FUnhandled.empty())
        return {};
    std::string text = std::move(FUnhandled.front());
    FUnhandled.pop_front();
    return text;
}

void TorvVNCThread::SendCommandNotHandled(const std::string& text)
{
    Send(JoinCommand(orvVNC::NotHandled, text));
}

void TorvVNCThread::SetViewOnly(bool on)
{
    FPendingViewOnlyOn = false;
    FPendingViewOnlyOff = false;
    if (!IsServer())
        return;
    FViewOnly = on;
    if (FHostDataSeen)
        FParts.PostHostViewOnly(on);
    else if (on)
        FPendingViewOnlyOn = true;
    else
        FPendingViewOnlyOff = true;
}

bool TorvVNCThread::SetState(TVNCState state)
{
    const TVNCState old = GetState();
    bool allowed = false;
    if (state != old) {
        switch (state) {
        case vsConnected:
            allowed = old == vsDisconnected || old == vsCustomerAsViewer || old == vsFailed;
            break;
        case vsConnectingAsViewer1: allowed = old == vsConnected; break;
        case vsConnectingAsViewer2: allowed = old == vsConnectingAsViewer1; break;
        case vsCustomerAsViewer: allowed = old == vsConnectingAsViewer2; break;
        case vsFailed: allowed = Running(old); break;
        case vsDisconnected: allowed = true; break;
        }
    }
    if (!allowed) {
        DebugLog(std::string("Illegal statechange in TorvVNCThread.SetState. New state: ") +
                 StateName(state) + "OldState: " + StateName(old));
        return false;
    }
    if (state == vsConnected) {
        FWindowFound = false;
        FControlPromised = false; // a promise holds for one remote desktop
    }
    FState = state;
    DebugLogFmt("TorvVNCThread changed state from %s to %s", StateName(old), StateName(state));
    return true;
}

void TorvVNCThread::Execute()
{
    FNextForward = FParts.Ticks();
    bool handled = false;
    while (!Terminated()) {
        // Texts waiting are handled back to back: one per 10 ms would hold the
        // picture to a hundred kilobytes a second. Texts that wait for the
        // session do not keep the thread awake.
        if (!handled || MessageCount() == 0)
            Sleep(PollSleepMs());
        handled = false;
        try {
            handled = Step();
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TorvVNCThread.Execute: %s", e.what());
        } catch (...) {
            DebugLog("Unknown error in TorvVNCThread.Execute");
        }
    }
    try {
        if (FViewerRelay)
            FViewerRelay->SetActive(false);
        if (FHostRelay)
            FHostRelay->SetConnected(false);
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvVNCThread.Execute: %s", e.what());
    }
    DebugLog("Remote desktop -channel has terminated.");
}

int TorvVNCThread::PollSleepMs() const
{
    const TVNCState state = GetState();
    const bool steady = state == vsConnected || state == vsDisconnected || state == vsFailed;
    return FHostRelay || FViewerRelay || !steady ? kPollSleepMs : kIdleSleepMs;
}

bool TorvVNCThread::Step()
{
    // Follow the session.
    const bool total = IsTotallyConnected();
    const TVNCState state = GetState();
    if (!total && state != vsDisconnected && state != vsFailed) {
        SetState(vsDisconnected);
        DisconnectedProc();
    } else if (total && (state == vsDisconnected || state == vsFailed)) {
        DisconnectedProc();
        SetState(vsConnected);
    }
    if (Terminated())
        return false;

    const std::uint32_t now = FParts.Ticks();
    if (TickReached(now, FNextForward)) {
        ForwardVNCData();
        FNextForward = FParts.Ticks() + kForwardPeriodMs;
    }

    // A text that comes before the helpdesk is in the session waits for it:
    // acted on now it would be lost.
    if (!total || MessageCount() == 0)
        return false;
    bool fromPeer = false;
    const std::string text = GetMessage(fromPeer);
    Dispatch(text, fromPeer);

    if (!FWindowFound && GetState() == vsCustomerAsViewer)
        FindDesktopWindow();
    if (FHostDataSeen && FPendingViewOnlyOn)
        SetViewOnly(true);
    if (FHostDataSeen && FPendingViewOnlyOff)
        SetViewOnly(false);
    return true;
}

void TorvVNCThread::Unexpected(const std::string& text)
{
    ConnectionFailed("100", Format2(text::Unexpected, text, StateName(GetState())));
}

bool TorvVNCThread::AsRequest(const TorvCommandParts& parts)
{
    // Only this side's user lets the other side see this desktop or use it:
    // the main window puts those starts on the list itself once they are
    // allowed. From the peer they are requests, asked or granted by the
    // permission level like any other.
    std::string request;
    if (parts.Code == orvVNC::Start && parts.Data != orvVNC::Client)
        request = JoinCommand(orvVNC::Start, orvVNC::Server);
    else if (parts.Code == orvVNC::ControlAnswer && parts.Data == orvVNC::Granted)
        request = orvVNC::ControlAnswer;
    else
        return false;
    DebugLog("Remote desktop: " + JoinCommand(parts.Code, parts.Data) +
             " from the other side taken as a request");
    AddUnhandledCommand(JoinCommand(orvVNC::Request, request));
    return true;
}

void TorvVNCThread::Dispatch(const std::string& text, bool fromPeer)
{
    const TorvCommandParts parts = SplitCommand(text);
    if (fromPeer && AsRequest(parts))
        return;
    const std::string& code = parts.Code;
    const std::string& data = parts.Data;
    const TVNCState state = GetState();
    const bool server = IsServer();

    if (code == orvVNC::Start) {
        if (state != vsConnected)
            return Unexpected(text);
        SetState(vsConnectingAsViewer1);
        AddUnhandledCommand(JoinCommand(orvVNC::SettingUp, ""));
        if (data == orvVNC::Server)
            SetIsServer(true);
        else if (data == orvVNC::Client)
            SetIsServer(false);
        // Counted once its role is known; the role and a host's view-only start
        // first, as the count is read first.
        FViewOnly = true;
        FLastRunShowing = IsServer();
        if (IsServer()) {
            // A host that cannot run fails at once, saying what is missing,
            // and the desktop was never shown: no run to count.
            if (const std::string missing = ConnectVNCServer(); !missing.empty())
                return ConnectionFailed("101", text::NoHost, missing);
            ++FRunsStarted;
            Send(JoinCommand(orvVNC::HostPassword, FHostRelay ? FHostRelay->HostPassword() : ""));
        } else {
            ++FRunsStarted;
        }
    } else if (code == orvVNC::HostPassword && !server) {
        if (state != vsConnectingAsViewer1)
            return Unexpected(text);
        SetState(vsConnectingAsViewer2);
        Send(JoinCommand(orvVNC::PasswordReceived, ""));
        ConnectVNCViewer();
        Send(JoinCommand(orvVNC::ViewerStarted, ""));
    } else if (code == orvVNC::PasswordReceived && server) {
        if (state != vsConnectingAsViewer1)
            return Unexpected(text);
        SetState(vsConnectingAsViewer2);
    } else if (code == orvVNC::ViewerStarted && server) {
        if (state != vsConnectingAsViewer2)
            return Unexpected(text);
        if (FHostRelay)
            FHostRelay->ConnectToVNCServer();
        // A host that could not be reached is no remote desktop: say so
        // rather than let the other side wait for a picture.
        if (!FHostRelay || !FHostRelay->IsConnected())
            return ConnectionFailed("101", text::NoHost);
        Send(JoinCommand(orvVNC::HostConnected, ""));
        SetState(vsCustomerAsViewer);
    } else if (code == orvVNC::HostConnected && !server) {
        if (state != vsConnectingAsViewer2)
            return Unexpected(text);
        SetState(vsCustomerAsViewer);
        if (!FControlPromised)
            AddUnhandledCommand(JoinCommand(orvVNC::Notice, text::OnlyView));
    } else if (code == orvVNC::Close) {
        if (state != vsCustomerAsViewer)
            return Unexpected(text);
        SetState(vsConnected);
        DisconnectedProc();
    } else if (code == orvVNC::Data) {
        VNCDataReceived(data);
    } else if (code == orvVNC::Failure) {
        SetState(vsFailed);
        DisconnectedProc();
    } else if (code == orvVNC::SwapToShow && (state == vsConnected || state == vsFailed)) {
        if (data.empty()) {
            SetIsServer(false);
            Send(JoinCommand(orvVNC::SwapToShow, "OK"));
        } else if (data == "OK") {
            SetIsServer(true);
        }
    } else if (code == orvVNC::SwapToWatch && (state == vsConnected || state == vsFailed)) {
        if (data.empty()) {
            SetIsServer(true);
            Send(JoinCommand(orvVNC::SwapToWatch, "OK"));
        } else if (data == "OK") {
            SetIsServer(false);
        }
    } else if (code == orvVNC::Request) {
        AddUnhandledCommand(text);
    } else if (code == orvVNC::ControlAnswer) {
        if (data == orvVNC::Granted) {
            SetViewOnly(false);
            Send(JoinCommand(orvVNC::Notice, orvVNC::NoticeGranted));
        } else if (data == orvVNC::Refused) {
            SetViewOnly(true);
            Send(JoinCommand(orvVNC::Notice, orvVNC::NoticeRefused));
        }
    } else if (code == orvVNC::ControlPromised) {
        FControlPromised = true;
    } else if (code == orvVNC::NotHandled) {
        if (SplitCommand(data).Code == orvVNC::Request)
            AddUnhandledCommand(JoinCommand(orvVNC::Notice, text::NoPermissionAsked));
        else
            AddUnhandledCommand(JoinCommand(orvVNC::Notice, Format2(text::NotResponded, data, "")));
    } else {
        AddUnhandledCommand(text);
    }
}

std::string TorvVNCThread::ConnectVNCServer()
{
    try {
        FViewerRelay.reset();
        FHostRelay.reset();
        FHostRelay = FParts.NewHostRelay(*this);
        FHostRelay->StartVNCServer();
        WaitForStop(HostStartWaitMs);
    } catch (const EorvProgramMissing& e) {
        DebugLogFmt("Error in TorvVNCThread.ConnectVNCServer: %s", e.what());
        return e.what();
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvVNCThread.ConnectVNCServer: %s", e.what());
    }
    return {};
}

void TorvVNCThread::ConnectVNCViewer()
{
    try {
        FHostRelay.reset();
        FViewerRelay.reset();
        FViewerRelay = FParts.NewViewerRelay(*this);
        FViewerRelay->StartVNCViewer();
        WaitForStop(ViewerStartWaitMs);
        int sleeps = 0;
        while (!FViewerRelay->IsViewerConnected() && sleeps < ViewerPollCount && !Terminated()) {
            WaitForStop(ViewerPollMs);
            ++sleeps;
        }
        if (FViewerRelay->IsViewerConnected())
            DebugLogFmt("Remote desktop viewer is really connected, sleep time: %d * 100ms", sleeps);
        else
            ConnectionFailed("1", text::NoViewer);
    } catch (const EorvProgramMissing& e) {
        DebugLogFmt("Error in TorvVNCThread.ConnectVNCViewer: %s", e.what());
        ConnectionFailed("1", text::NoViewer, e.what());
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvVNCThread.ConnectVNCViewer: %s", e.what());
        // A viewer that could not be started will not connect: fail now
        // rather than tell the other side that it runs.
        ConnectionFailed("1", text::NoViewer);
    }
}

void TorvVNCThread::ConnectionFailed(const std::string& code, const std::string& text, const std::string& why)
{
    if (!Running(GetState()))
        return;
    SetState(vsFailed);
    DisconnectedProc();
    Send(JoinCommand(orvVNC::Failure, text));
    DebugLogFmt("Remote desktop connection failed: code %s, %s", code.c_str(), text.c_str());
    std::string notice = IsServer() ? text::ShowFailed : text::ViewFailed;
    if (!why.empty())
        notice += "\n\n" + why;
    AddUnhandledCommand(JoinCommand(orvVNC::Notice, notice));
}

void TorvVNCThread::ForwardVNCData()
{
    try {
        if (FHostRelay) {
            const std::string chunk = FHostRelay->ReadFromServer();
            if (!chunk.empty())
                FHostDataSeen = true;
            Forward(chunk);
        }
        if (FViewerRelay)
            Forward(FViewerRelay->ReadFromViewer());
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvVNCThread.ForwardVNCData: %s", e.what());
    }
}

void TorvVNCThread::Forward(const std::string& chunk)
{
    const std::uint32_t now = FParts.Ticks();
    if (!chunk.empty()) {
        if (chunk.size() >= LargeChunk)
            FFlushDeadline = now;
        else if (FOutgoing.empty())
            FFlushDeadline = now + SmallChunkDelayMs;
        FOutgoing += chunk;
    }
    if (FOutgoing.empty())
        return;
    if ((FOutgoing.size() > BufferLimit || TickReached(now, FFlushDeadline)) &&
        FParts.PendingMessages(*GetConnection()) == 0) {
        std::string bytes;
        bytes.swap(FOutgoing);
        SendVNCData(bytes);
    }
}

void TorvVNCThread::SendVNCData(const std::string& bytes)
{
    std::string_view rest(bytes);
    while (rest.size() > PieceSize) {
        Send(JoinCommand(orvVNC::Data, rest.substr(0, PieceSize)));
        rest.remove_prefix(PieceSize);
    }
    if (!rest.empty())
        Send(JoinCommand(orvVNC::Data, rest));
}

void TorvVNCThread::VNCDataReceived(const std::string& bytes)
{
    try {
        if (IsServer()) {
            if (!FHostRelay)
                DebugLog("Local remote desktop server lost data: " + bytes);
            else if (!FHostRelay->IsConnected())
                DebugLog(
                    "Error in TorvVNCThread.VNCDataReceived: the connection to the remote desktop server is "
                    "closed");
            else
                FHostRelay->SendToServer(bytes);
        } else if (FViewerRelay) {
            FViewerRelay->SendToViewer(bytes);
        } else {
            DebugLog("Local remote desktop viewer lost data: " + bytes);
        }
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvVNCThread.VNCDataReceived: %s", e.what());
    }
}

void TorvVNCThread::DisconnectedProc()
{
    try {
        FHostDataSeen = false;
        // Bytes of a remote desktop that has ended belong to no one: sent at
        // the start of the next one they would break its handshake.
        FOutgoing.clear();
        AddUnhandledCommand(JoinCommand(orvVNC::TornDown, ""));
        // Whichever relay exists goes, whatever the role says now: the main
        // window may have changed the role since the relay was made.
        if (FHostRelay) {
            DebugLog("Deactivating server socket");
            FHostRelay->SetConnected(false);
            DebugLog("Closing remote desktop server");
            try {
                FHostRelay->CloseVNCServer();
            } catch (const std::exception&) {
                DebugLog("Closing remote desktop server failed");
            }
            DebugLog("Destroying remote desktop server module");
            FHostRelay.reset();
            DebugLog("Remote desktop server completely closed.");
        }
        if (FViewerRelay) {
            DebugLog("Deactivating server socket(Active:=false)");
            FViewerRelay->SetActive(false);
            ClearMessages();
            DebugLog("Destroying remote desktop viewer module");
            FViewerRelay.reset();
            DebugLog("Remote desktop viewer completely closed.");
        }
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvVNCThread.DisconnectedProc: %s", e.what());
    }
}

void TorvVNCThread::FindDesktopWindow()
{
    FWindowFound = IsServer() ? FParts.PostHostViewOnly(true) : FParts.PostViewerSettings();
}
