// Fuzzes the command channel with texts of the gateway and the helpdesk: the
// command thread's handling of each text, then the helpdesk's actions for what
// it leaves to the main window, on a connection that is never switched on and a
// recording desktop.
// Input: one control byte (bits 0-1 the server state at the start, bit 2 whether
// the restart entry can be written), one separator byte, then up to 32 texts
// separated by it.
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvHelpdeskActions.h"
#include "lib/orvOSUtils.h"
#include "platform/orvWindowMessages.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<std::string> gEvents; // what reached the peer and the desktop, in order

void Record(std::string event)
{
    gEvents.push_back(std::move(event));
}

bool Has(const std::string& event)
{
    return std::find(gEvents.begin(), gEvents.end(), event) != gEvents.end();
}

// The link is down: every text is recorded, none goes out.
class TFuzzCommandThread : public TorvCommandThread
{
public:
    using TorvCommandThread::Handle;
    bool Send(const std::string& text) override
    {
        Record("send " + text);
        return false;
    }
};

class TNoWindows : public TorvWindowMessenger
{
public:
    bool FindWindow(const std::string&, const std::string&) override { return false; }
    bool PostMessage(const std::string&, const std::string&, const TorvWindowMessage&) override
    {
        return false;
    }
};

// Only the helpdesk's actions may reach the desktop; anything else is a fault here.
class TRecordingOS : public TorvOSUtils
{
public:
    void WriteHostSettings(int) override { Check(false); }
    int FindFreePort(int) override { std::abort(); }
    void WriteHostPassword() override { Check(false); }
    void RunHost() override { Check(false); }
    std::string GetHostExePath() override { std::abort(); }
    std::string GetViewerExePath() override { std::abort(); }
    void WaitForHostProcess() override { Check(false); }
    bool IsKnownOSVersion() override { std::abort(); }
    bool CanListProcesses() override { std::abort(); }
    void StartHost() override { Check(false); }
    void StartViewer() override { Check(false); }
    void CloseHost() override { Check(false); }
    void CloseViewer() override { Check(false); }
    bool IsHostRunning() override { std::abort(); }
    bool IsViewerRunning() override { std::abort(); }
    bool IsHostListening(int) override { std::abort(); }
    void OpenControlPanel() override { Record("settings"); }
    void OpenPrinterLinksFolder() override { Record("printers"); }
    bool RestartComputer() override
    {
        Record("restart");
        return true;
    }
    bool LogOffUser() override
    {
        Record("logoff");
        return true;
    }
    bool SendKeys(const std::string& keys, bool) override
    {
        Record("keys " + keys);
        return true;
    }
    pid_t RunExecutable(const std::string& path, const std::string& arguments) override
    {
        Check(arguments.empty());
        Record("open " + path);
        return 1;
    }
    TorvWindowMessenger& Windows() override { return FWindows; }

private:
    TNoWindows FWindows;
};

class TFuzzHost : public TorvHelpdeskActionsHost
{
public:
    explicit TFuzzHost(TorvCommandThread& command) : FCommand(command) {}
    TorvCommandThread* CommandThread() const override { return &FCommand; }
    bool CreateRestartShortcut() override
    {
        Record("restart entry");
        return ShortcutWritten;
    }
    void ShowActionMessage(const std::string& text) override { Record("message " + text); }
    void ProcessPendingEvents() override {}
    void PauseGuiThread(std::chrono::milliseconds) override { Record("pause"); }
    void CloseMainWindow() override { Record("close"); }
    std::shared_ptr<TorvSessionReceipt> SessionReceipt() const override { return nullptr; }

    bool ShortcutWritten = true;

private:
    TorvCommandThread& FCommand;
};

struct TFixture
{
    TFixture()
    {
        RedirectDebugLogForTesting("");
        // The connection needs the core, but nothing may dispatch or ping it here.
        orvStartConnectionCore();
        orvStopConnectionThread();
        Connection = std::make_unique<TorvConnection>();
        Thread.SetChannel(orvCommandChannel);
        Thread.SetConnection(Connection.get());
        orvCreateOSUtils(std::make_unique<TRecordingOS>());
    }

    std::unique_ptr<TorvConnection> Connection;
    TFuzzCommandThread Thread;
    TFuzzHost Host{Thread};
    TorvHelpdeskActions Actions{Host};
};

TFixture& Fixture()
{
    static TFixture fixture;
    return fixture;
}

// Enough for a whole session's conversation; more only slows the campaign.
constexpr int MaxTexts = 32;

bool IsAction(std::string_view code)
{
    for (std::string_view action : {orvCmd::OpenFile, orvCmd::ControlPanel, orvCmd::Printers, orvCmd::Restart,
                                    orvCmd::LogOff, orvCmd::SecureAttention, orvCmd::StartMenu})
        if (code == action)
            return true;
    return false;
}

// One text through the command thread; false when the thread would end.
// expected: what the list for the main window must hold afterwards.
bool HandleOnThread(TFixture& f, const std::string& text, std::deque<std::string>& expected)
{
    TorvConnection& c = *f.Connection;
    const TServerConnectionState state = c.ServerConnectionState();
    const std::int32_t session = c.SessionIdentifier();
    const TRegisteringData registering = c.RegisteringData();
    const std::string redirectHost = c.RedirectHost();
    const std::uint16_t redirectPort = c.RedirectPort();
    const bool stop = c.Stop();
    gEvents.clear();

    bool going = false;
    try {
        going = f.Thread.Handle(text);
    } catch (...) {
        Check(false); // nothing a peer writes is an error of ours
    }

    const TorvCommandParts parts = SplitCommandText(text);
    Check(text.find(':') == std::string::npos ? parts.Code.empty() && parts.Data == text
                                              : JoinCommand(parts.Code, parts.Data) == text);
    const std::string& code = parts.Code;
    const auto record = DecodeRegisteringData(parts.Data);
    const bool registers = code == orvCmd::Registered || code == orvCmd::RefusedOrRedirect;
    Check(going == (!registers || record.has_value()));

    if (registers && !record) {
        // A broken record changes nothing: it cannot win or steer the establishment.
        Check(c.ServerConnectionState() == state && c.SessionIdentifier() == session &&
              c.RegisteringData() == registering && c.RedirectHost() == redirectHost &&
              c.RedirectPort() == redirectPort && c.Stop() == stop && gEvents.empty());
    } else if (code == orvCmd::Greeting) {
        Check(c.ServerConnectionState() == scsConnectedToServer);
        Check(gEvents.size() == 1 && gEvents[0].starts_with("send 8:"));
        Check(DecodeRegisteringData(std::string_view(gEvents[0]).substr(7)) == c.RegisteringData());
    } else if (code == orvCmd::HelpdeskJoined) {
        Check(c.ServerConnectionState() == scsTotallyConnected);
    } else if (code == orvCmd::HelpdeskLeft) {
        Check(c.ServerConnectionState() == scsRegisteredToServer);
    } else if (code == orvCmd::Registered) {
        Check(c.ServerConnectionState() == scsRegisteredToServer &&
              c.SessionIdentifier() == record->SessionID);
        if (record->ResultCode != orvResult::Accepted && record->ResultCode != orvResult::Notice)
            expected.push_back(JoinCommand(orvCmd::ErrorCode, parts.Data));
    } else if (code == orvCmd::RefusedOrRedirect) {
        Check(c.RegisteringData() == *record);
        if (record->ResultCode == orvResult::Redirect) {
            const auto target = SplitHostAndPort(record->ResultText);
            Check(c.RedirectHost() == (target ? target->Host : "") &&
                  c.RedirectPort() == (target ? target->Port : 0));
        } else {
            Check(c.RedirectHost() == redirectHost && c.RedirectPort() == redirectPort);
        }
        const bool refused =
            record->ResultCode == orvResult::Refused || record->ResultCode == orvResult::RefusedQuietly;
        Check(c.Stop() == (stop || refused));
        Check(gEvents.size() == 1 && gEvents[0] == "send 2:");
    } else if (code == orvCmd::SessionEnded) {
        Check(c.ServerConnectionState() == scsDisconnected);
        expected.push_back(JoinCommand(orvCmd::ErrorCode, parts.Data));
    } else {
        // Not the gateway's: the main window gets it as it came.
        Check(gEvents.empty());
        expected.push_back(text);
    }
    // Bounded, the oldest going first.
    while (expected.size() > TorvCommandThread::MaxUnhandled)
        expected.pop_front();
    Check(f.Thread.UnhandledCount() == expected.size());
    return going;
}

// The main window's share of one waiting text: the helpdesk's actions.
void HandleOnGuiThread(TFixture& f, const std::string& text)
{
    gEvents.clear();
    const TorvCommandParts parts = SplitCommandText(text);
    const bool joined = f.Connection->ServerConnectionState() == scsTotallyConnected;
    bool handled = false;
    try {
        handled = f.Actions.Handle(parts.Code, parts.Data);
    } catch (...) {
        Check(false); // the window's tick would show it as an error of the program
    }
    Check(handled == IsAction(parts.Code));
    if (!handled) {
        Check(gEvents.empty()); // nothing else reaches the desktop
        return;
    }
    // Acknowledged first, and only to a helpdesk in the session.
    Check(!gEvents.empty() && (gEvents[0] == "send 100:" + parts.Code) == joined);
    if (parts.Code == orvCmd::OpenFile)
        Check(gEvents.back() == "open " + parts.Data); // the helpdesk's text, unchanged
    if (parts.Code == orvCmd::Restart || parts.Code == orvCmd::LogOff) {
        Check(gEvents.back() == "close" && Has("restart entry"));
        Check(Has(parts.Code == orvCmd::Restart ? "restart" : "logoff"));
        Check(Has("send 106:400") == (joined && !f.Host.ShortcutWritten));
    }
    if (parts.Code == orvCmd::SecureAttention)
        Check(gEvents.back() == std::string("keys ") + orvHelpdeskActionText::SecureAttentionKeys);
    if (parts.Code == orvCmd::StartMenu)
        Check(gEvents.back() == std::string("keys ") + orvHelpdeskActionText::StartMenuKeys);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    TFixture& f = Fixture();
    TorvConnection& c = *f.Connection;
    c.SetServerConnectionState(static_cast<TServerConnectionState>(data[0] & 3));
    c.SetSessionIdentifier(0);
    c.SetStop(false);
    c.SetRedirect("", 0);
    c.SetRegisteringData({});
    f.Host.ShortcutWritten = (data[0] & 4) == 0;
    f.Thread.ClearUnhandledCommands();

    const char separator = static_cast<char>(data[1]);
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    std::deque<std::string> expected;
    for (int count = 0; !rest.empty() && count < MaxTexts; ++count) {
        const auto end = rest.find(separator);
        const std::string text(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (text.empty())
            continue; // an empty text is no command (the list's "none waits")
        if (!HandleOnThread(f, text, expected))
            break; // the thread ends
    }
    for (const std::string& text : expected) {
        Check(f.Thread.GetUnhandledCommand() == text);
        HandleOnGuiThread(f, text);
    }
    Check(f.Thread.UnhandledCount() == 0);
    return 0;
}
