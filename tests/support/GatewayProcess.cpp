#include "tests/support/GatewayProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace orvtest {

namespace {

constexpr std::string_view ListeningLine = "orvgateway listening on ";

// Both ends of a pipe, closed with the object.
struct Pipe
{
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (::pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    ~Pipe() { CloseAll(); }
    void Close(int i)
    {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
    void CloseAll()
    {
        Close(0);
        Close(1);
    }
};

bool Has(const std::vector<std::string>& flags, std::string_view flag)
{
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

// The port of the listening line, or nullopt while the line has not come yet.
std::optional<std::uint16_t> PortOf(const std::string& output)
{
    for (std::size_t start = 0, eol; (eol = output.find('\n', start)) != std::string::npos; start = eol + 1) {
        const std::string line = output.substr(start, eol - start);
        if (line.rfind(ListeningLine, 0) != 0)
            continue;
        const auto colon = line.rfind(':');
        if (colon == std::string::npos)
            continue;
        try {
            const int port = std::stoi(line.substr(colon + 1));
            if (port > 0 && port <= 65535)
                return static_cast<std::uint16_t>(port);
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

} // namespace

std::string GatewayProcess::BinaryPath()
{
    return std::string(ORV_BINARY_DIR) + "/bin/orvgateway";
}

GatewayProcess::GatewayProcess(std::vector<std::string> flags, std::chrono::milliseconds startDeadline)
{
    std::vector<std::string> args{BinaryPath()};
    if (!Has(flags, "--listen") && !Has(flags, "--address") && !Has(flags, "--port"))
        args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    if (!Has(flags, "--state-dir"))
        args.insert(args.end(), {"--state-dir", std::string(ORV_BINARY_DIR) + "/tests/orvgateway-state"});
    if (!Has(flags, "--exit-with-parent"))
        args.push_back("--exit-with-parent");
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Pipe out;
    const std::string errFile = FDir.File("stderr.log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int rc = posix_spawn(&FPid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        FPid = -1;
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
    out.Close(1);

    // From here on the destructor will not run: a failure must not leave the process behind.
    try {
        std::string output;
        const auto end = std::chrono::steady_clock::now() + startDeadline;
        std::optional<std::uint16_t> port;
        while (!(port = PortOf(output))) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                throw std::runtime_error("orvgateway did not print its listening line in time");
            pollfd p{out.fd[0], POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
            if (ready < 0 && errno != EINTR)
                throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
            if (ready <= 0)
                continue;
            char buffer[512];
            const ssize_t n = ::read(out.fd[0], buffer, sizeof buffer);
            if (n == 0)
                throw std::runtime_error("orvgateway ended before it listened");
            if (n > 0)
                output.append(buffer, static_cast<std::size_t>(n));
        }
        FPort = *port;
    } catch (const std::exception& e) {
        const int exit = Stop(std::chrono::seconds(5));
        throw std::runtime_error(std::string(e.what()) + " (exit " + std::to_string(exit) + "); stderr:\n" +
                                 ErrorOutput());
    }
    // Nothing more is read; the gateway writes nothing else to stdout and ignores SIGPIPE.
}

GatewayProcess::~GatewayProcess()
{
    const int exit = Stop();
    if (exit != 0)
        std::fprintf(stderr, "orvgateway (pid %d) ended with %d; its stderr:\n%s\n", static_cast<int>(FPid),
                     exit, ErrorOutput().c_str());
}

std::optional<int> GatewayProcess::Reap(bool wait)
{
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(FPid, &status, wait ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        return std::nullopt;
    if (r < 0)
        return -1; // not our child any more
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int GatewayProcess::Stop(std::chrono::milliseconds grace, int signal)
{
    if (FExit)
        return *FExit;
    if (FPid <= 0)
        return -1;
    // A test may have stopped it. Continued before it is told to end: a SIGCONT
    // arriving while it exits would cancel the SIGSTOP with which the leak
    // checker suspends it at exit, and the checker would wait for ever.
    ::kill(FPid, SIGCONT);
    ::kill(FPid, signal);
    const auto end = std::chrono::steady_clock::now() + grace;
    std::optional<int> exit;
    while (!(exit = Reap(false)) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!exit) {
        ::kill(FPid, SIGKILL);
        exit = Reap(true);
    }
    FExit = exit;
    return *FExit;
}

std::string GatewayProcess::ErrorOutput() const
{
    return ReadFile(FDir.File("stderr.log"));
}

void GatewayProcess::WriteClientSettings(const std::string& path) const
{
    WriteFile(path, "[gateway]\ngateway1=127.0.0.1:" + std::to_string(FPort) + "\n");
}

} // namespace orvtest
