// The helpdesk console: joins a customer's session through the gateway with
// the same connection core as the customer program, prints every state change
// and every channel text, and sends channel texts typed as "<channel> <text>".
// Chat lines are typed as "chat <text>" and print as "chat: <text>". The
// remote desktop runs through the same channel thread and launchers as the
// customer's (see RemoteDesktop.h), and so do file transfers (FileTransfer.h).
// Requests for the customer's computer are typed as words (Actions.h); after
// a restart or log-off the customer agreed to, the console joins the same
// session again once the customer is back.

#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvChat.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvGatewayPins.h"
#include "lib/orvOSUtils.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCThread.h"
#include "tools/orvhelpdesk/Actions.h"
#include "tools/orvhelpdesk/FileTransfer.h"
#include "tools/orvhelpdesk/RemoteDesktop.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex gOutput;

void Say(const std::string& line)
{
    std::lock_guard lock(gOutput);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char* StateName(TServerConnectionState s)
{
    switch (s) {
    case scsDisconnected: return "scsDisconnected";
    case scsConnectedToServer: return "scsConnectedToServer";
    case scsRegisteredToServer: return "scsRegisteredToServer";
    case scsTotallyConnected: return "scsTotallyConnected";
    }
    return "?";
}

const char* StateName(TConnectionState s)
{
    switch (s) {
    case csNotConnected: return "csNotConnected";
    case csConnected: return "csConnected";
    case csDisconnected: return "csDisconnected";
    }
    return "?";
}

// Prints the texts of channel 3 as they arrive; chat lines as the helpdesk
// person reads them, everything else as it came.
class TChannelPrinter : public TorvChannelThread
{
protected:
    void Execute() override
    {
        while (!Terminated()) {
            if (MessageCount() == 0) {
                Sleep(50);
                continue;
            }
            const std::string text = GetMessage();
            const TorvCommandParts chat = SplitCommandText(text);
            if (GetChannel() == orvChatChannel && chat.Code == orvChatType::Line)
                Say("chat: " + EscapeChannelText(chat.Data));
            else
                Say("< " + std::to_string(GetChannel()) + " " + EscapeChannelText(text));
        }
    }
};

const std::string kUsage =
    std::string("? type: <channel 1-4> <text>   (\\xHH for any byte, \\\\ for a backslash), chat <text>, ") +
    THelpdeskRemoteDesktop::Usage + ", " + THelpdeskFileTransfer::Usage + ", " + THelpdeskActions::Usage +
    ", or quit";

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int)
{
    gStop = 1;
}

// A restarted computer needs a while before its program registers again; the
// customer program itself gives up after ten minutes.
constexpr auto kComingBackTime = std::chrono::minutes(11);
constexpr auto kRetryPause = std::chrono::seconds(2);

// The typed lines, read without waiting longer than asked.
class TLineInput
{
public:
    // The lines completed within waitMs (none when nothing came); nothing
    // at all once the input has ended, at once.
    std::optional<std::vector<std::string>> Read(int waitMs)
    {
        if (FEnded)
            return std::nullopt;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (::poll(&in, 1, waitMs) <= 0)
            return std::vector<std::string>{};
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            FEnded = true;
            return std::nullopt;
        }
        FPending.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> lines;
        for (std::size_t eol; (eol = FPending.find('\n')) != std::string::npos;) {
            std::string line = FPending.substr(0, eol);
            FPending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(std::move(line));
        }
        return lines;
    }

private:
    std::string FPending; // up to the next line end
    bool FEnded = false;
};

// While waiting for the customer to come back: true when "quit" was typed.
// Anything else typed is answered with a hint.
bool QuitTypedWithin(std::chrono::milliseconds time, TLineInput& input)
{
    const auto until = std::chrono::steady_clock::now() + time;
    while (!gStop && std::chrono::steady_clock::now() < until) {
        const auto lines = input.Read(100);
        if (!lines) {
            orvSync::CheckSynchronize(100); // no more input: wait for the customer or a signal
            continue;
        }
        for (const std::string& line : *lines) {
            if (line == "quit")
                return true;
            Say("not in a session yet; type quit to stop waiting");
        }
        orvSync::CheckSynchronize(0);
    }
    return gStop != 0;
}

std::unique_ptr<TorvConnection> Join(const std::string& settings, int code, int timeoutSeconds, bool retry,
                                     TLineInput& input)
{
    const auto giveUp = std::chrono::steady_clock::now() + kComingBackTime;
    bool waitingSaid = false;
    for (;;) {
        TOrvServers servers(settings, std::chrono::seconds(timeoutSeconds));
        servers.Start(orvSessionIDBase + code, orvKindHelpdesk, "beta4", "EN", orvRegisteringDataVersion);
        if (!waitingSaid)
            Say("joining session " + std::to_string(code));
        while (!gStop) {
            if (TorvConnection* won = servers.Poll()) {
                std::unique_ptr<TorvConnection> connection = servers.Detach(won);
                servers.CloseAll();
                return connection;
            }
            if (servers.Failed())
                break;
            orvSync::CheckSynchronize(250);
        }
        if (gStop)
            return nullptr;
        if (!servers.SettingsError().empty() || servers.IdentityRefused()) {
            Say("failed: " + (servers.SettingsError().empty() ? std::string(orvGatewayIdentityRefusedText)
                                                              : servers.SettingsError()));
            return nullptr;
        }
        // Until the customer is back the gateway does not know the code.
        const bool notBackYet = retry && servers.ErrorCode() == orvResult::Rejected;
        if (!notBackYet || !waitingSaid)
            Say("failed: error code " + std::to_string(servers.ErrorCode()) + " " +
                ResultText(servers.ErrorCode()));
        if (!notBackYet || std::chrono::steady_clock::now() > giveUp)
            return nullptr;
        if (!waitingSaid) {
            Say("the customer is not back yet; trying again every 2 s (quit stops)");
            waitingSaid = true;
        }
        if (QuitTypedWithin(kRetryPause, input)) {
            gStop = 1;
            return nullptr;
        }
    }
}

enum class TSessionEnd { Ended, ComingBack, Quit };

TSessionEnd Session(std::unique_ptr<TorvConnection> connection, TLineInput& input);

int Run(const std::string& settings, int code, int timeoutSeconds)
{
    TLineInput input;
    bool retry = false;
    for (;;) {
        std::unique_ptr<TorvConnection> connection = Join(settings, code, timeoutSeconds, retry, input);
        if (!connection)
            return gStop ? 1 : 2;
        if (Session(std::move(connection), input) != TSessionEnd::ComingBack)
            return 0;
        retry = true;
    }
}

TSessionEnd Session(std::unique_ptr<TorvConnection> connection, TLineInput& input)
{
    orvStartChannelThread(*connection, orvChatChannel, std::make_unique<TChannelPrinter>());
    // Typed "4 <text>" lines still go out raw through the connection, beside the thread's own.
    THelpdeskFileTransfer files(
        orvStartChannelThread(*connection, orvFileTransferChannel,
                              std::make_unique<TFileTransferControlThread>(*connection)),
        Say);
    THelpdeskRemoteDesktop desktop(
        orvStartChannelThread(*connection, orvRemoteDesktopChannel, std::make_unique<TorvVNCThread>()), Say);
    auto* command = dynamic_cast<TorvCommandThread*>(connection->FindChannelThread(orvCommandChannel));
    THelpdeskActions actions(*connection, Say);

    TServerConnectionState shownServer = scsDisconnected;
    TConnectionState shownConnection = csNotConnected;
    bool wasUp = false;
    while (!gStop) {
        const TServerConnectionState server = connection->ServerConnectionState();
        const TConnectionState link = connection->GetConnectionState();
        if (server != shownServer || link != shownConnection) {
            Say(std::string("state ") + StateName(link) + " " + StateName(server));
            shownServer = server;
            shownConnection = link;
        }
        if (server != scsDisconnected)
            wasUp = true;
        while (command) {
            std::string text = command->GetUnhandledCommand();
            if (text.empty())
                break;
            Say("< 1 " + EscapeChannelText(text));
            actions.Received(text);
        }
        desktop.Poll();
        files.Poll();
        if (link == csDisconnected || (wasUp && server == scsDisconnected)) {
            Say("session ended");
            break;
        }

        const auto lines = input.Read(100);
        if (!lines) {
            // No more input: keep following the session until it ends or a signal comes.
            orvSync::CheckSynchronize(100);
            continue;
        }
        for (const std::string& line : *lines) {
            if (line == "quit") {
                gStop = 1;
                break;
            }
            if (desktop.Command(line) || files.Command(line) || actions.Command(line))
                continue;
            if (line == "chat" || line.starts_with("chat ")) {
                // Typed as it should read: no escapes, so C:\temp stays as it is.
                const std::string said = line.size() > 5 ? line.substr(5) : std::string();
                connection->Send(orvChatChannel, JoinCommand(orvChatType::Line, said));
                Say("> chat: " + EscapeChannelText(said));
                continue;
            }
            auto blank = line.find(' ');
            int channel = 0;
            try {
                channel = std::stoi(line.substr(0, blank));
            } catch (...) {
                channel = 0;
            }
            auto text = UnescapeChannelText(blank == std::string::npos ? "" : line.substr(blank + 1));
            if (channel < 1 || channel > 4 || !text) {
                Say(kUsage);
                continue;
            }
            connection->Send(channel, *text);
            Say("> " + std::to_string(channel) + " " + EscapeChannelText(*text));
        }
    }
    if (command && connection->GetConnectionState() == csConnected)
        command->SendLeave();
    connection->SetActive(false);
    connection.reset();
    if (gStop)
        return TSessionEnd::Quit;
    return actions.ComingBack() ? TSessionEnd::ComingBack : TSessionEnd::Ended;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Orvalis helpdesk console: joins a customer's session through the gateway."};
    std::string settings = SettingsFilePath();
    int code = 0;
    int timeout = 30;
    app.add_option("code", code, "the customer's secure session code (6 digits)")
        ->required()
        ->check(CLI::Range(0, 999999));
    app.add_option("--settings", settings, "settings file with the [gateway] list")->capture_default_str();
    app.add_option("--timeout", timeout, "seconds to wait for the gateway")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.footer("Typed at the prompt once joined:\n  <channel 1-4> <text>, chat <text>, " +
               std::string(THelpdeskRemoteDesktop::Usage) + ",\n  " + THelpdeskFileTransfer::Usage + ",\n  " +
               THelpdeskActions::Usage + ", quit");
    CLI11_PARSE(app, argc, argv);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    orvSync::SetMainThread();
    orvStartConnectionCore();
    // The host and viewer launchers lie beside this program.
    TorvOSUtilsScope osUtils;
    int rc = 1;
    try {
        rc = Run(settings, code, timeout);
    } catch (const std::exception& e) {
        Say(std::string("error: ") + e.what());
    }
    orvSync::StopServing();
    orvShutdownConnectionCore();
    return rc;
}
