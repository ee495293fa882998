#pragma once

// The built customer program, run by a benchmark from a copy in a private
// folder on the offscreen platform, so that its settings file and log are
// its own.

#include "lib/orvAppUtils.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/TestUtil.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace orvbench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// One run of the customer program.
class TCustomer
{
public:
    TCustomer(const std::string& program, const std::string& folder, const std::vector<std::string>& args)
        : FLog(folder + "/debug.log")
    {
        std::error_code ec;
        std::filesystem::remove(FLog, ec);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0)
                env.push_back(entry);
        }
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.push_back("XDG_CONFIG_HOME=" + folder); // its restart entry stays in the private folder
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv, cenv;
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        for (auto& e : env)
            cenv.push_back(e.data());
        cenv.push_back(nullptr);
        FStarted = Clock::now();
        if (::posix_spawn(&FPid, program.c_str(), nullptr, nullptr, cargv.data(), cenv.data()) != 0)
            FPid = -1;
    }

    ~TCustomer() { Stop(); }

    bool Running() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }

    // Waits for a log line containing text; the time since the start, or a negative value.
    double WaitForLog(const std::string& text, std::chrono::seconds deadline = 60s)
    {
        const auto end = Clock::now() + deadline;
        while (Clock::now() < end) {
            if (orvtest::ReadFile(FLog).find(text) != std::string::npos)
                return Ms(Clock::now() - FStarted);
            int status = 0;
            if (FPid > 0 && ::waitpid(FPid, &status, WNOHANG) == FPid) {
                FPid = -1;
                return -1;
            }
            std::this_thread::sleep_for(1ms);
        }
        return -1;
    }

    // The number after text in the log ("Session code is 123456"), or -1.
    long NumberAfter(const std::string& text)
    {
        const std::string log = orvtest::ReadFile(FLog);
        const std::size_t at = log.rfind(text);
        return at == std::string::npos ? -1 : std::strtol(log.c_str() + at + text.size(), nullptr, 10);
    }

    std::size_t LogCount(const std::string& text)
    {
        const std::string log = orvtest::ReadFile(FLog);
        std::size_t n = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    // Resident memory in KiB.
    long RssKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::strtol(line.c_str() + 6, nullptr, 10);
        return -1;
    }

    void Stop()
    {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGTERM); // closes the window the ordinary way
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FPid = -1;
    }

private:
    std::string FLog;
    pid_t FPid = -1;
    Clock::time_point FStarted;
};

// A private folder with a copy of the built program, a local gateway and the
// program's settings file pointing at it.
class TCustomerSetup
{
public:
    // False, with a message, when the program is not built.
    bool Make()
    {
        const std::string built = ORV_BINARY_DIR "/bin/orvcustomer";
        if (!std::filesystem::exists(built)) {
            std::fprintf(stderr, "%s is not built\n", built.c_str());
            return false;
        }
        FProgram = FDir.File("orvcustomer");
        std::filesystem::copy_file(built, FProgram, std::filesystem::copy_options::overwrite_existing);
        FGateway.emplace();
        FSettings = FDir.File("orvcustomer.ini");
        FGateway->WriteClientSettings(FSettings);
        return true;
    }

    const std::string& Program() const { return FProgram; }
    const std::string& Settings() const { return FSettings; }
    std::string Folder() const { return FDir.Path(); }

private:
    orvtest::TempDir FDir;
    std::optional<orvtest::GatewayProcess> FGateway; // started once the program is known to be there
    std::string FProgram;
    std::string FSettings;
};

// The helpdesk's end: joins the customer's session code through the gateway
// and waits until both are in the session; null when that fails.
inline std::unique_ptr<TorvConnection> JoinSession(const std::string& settings, long code)
{
    TOrvServers servers(settings, 30s);
    servers.Start(orvSessionIDBase + static_cast<std::int32_t>(code), orvKindHelpdesk, "beta4", "EN",
                  orvRegisteringDataVersion);
    std::unique_ptr<TorvConnection> connection;
    const auto end = Clock::now() + 40s;
    while (!connection && !servers.Failed() && Clock::now() < end) {
        if (TorvConnection* won = servers.Poll()) {
            connection = servers.Detach(won);
            servers.CloseAll();
        }
        orvSync::CheckSynchronize(20);
    }
    if (connection &&
        !orvtest::WaitUntil([&] { return connection->ServerConnectionState() == scsTotallyConnected; }, 20s))
        connection.reset();
    return connection;
}

} // namespace orvbench
