#include "tests/support/TlsTestPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace orvtest {

namespace {

using namespace std::chrono_literals;

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

class SpawnActions
{
public:
    SpawnActions() { posix_spawn_file_actions_init(&FActions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&FActions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &FActions; }

private:
    posix_spawn_file_actions_t FActions;
};

// Starts `openssl ARGS` with stdin from /dev/null and stdout+stderr to outFd.
pid_t SpawnOpenSsl(const std::vector<std::string>& args, int outFd)
{
    std::vector<std::string> all{"openssl"};
    all.insert(all.end(), args.begin(), args.end());
    auto argv = Argv(all);
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), outFd, 1);
    posix_spawn_file_actions_adddup2(actions.Get(), outFd, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "openssl", actions.Get(), nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

int WaitStatus(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MustRun(const std::vector<std::string>& args)
{
    std::string output;
    if (RunOpenSsl(args, &output) != 0) {
        std::string line = "openssl";
        for (const auto& a : args)
            line += " " + a;
        throw std::runtime_error(line + " failed:\n" + output);
    }
}

} // namespace

int RunOpenSsl(const std::vector<std::string>& args, std::string* output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = SpawnOpenSsl(args, fds[1]);
    close(fds[1]);
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    if (output)
        *output = text;
    return pid < 0 ? -1 : WaitStatus(pid);
}

TlsCertificate MakeSelfSignedRsaCertificate(const TempDir& dir, const std::string& name)
{
    TlsCertificate c{dir.File(name + ".crt"), dir.File(name + ".key")};
    MustRun({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", c.KeyFile, "-out", c.CertFile,
             "-subj", "/CN=" + name, "-days", "30"});
    return c;
}

TlsCertificate MakeExpiredRsaCertificate(const TempDir& dir, const std::string& name)
{
    // `req` refuses dates in the past; `ca` signs a request with any validity window.
    TlsCertificate c{dir.File(name + ".crt"), dir.File(name + ".key")};
    const std::string base = dir.File(name + "-ca");
    WriteFile(base + ".cnf", "[ ca ]\ndefault_ca = CA_default\n[ CA_default ]\ndatabase = " + base +
                                 ".index\nnew_certs_dir = " + dir.Path() + "\nserial = " + base +
                                 ".serial\ndefault_md = sha256\npolicy = policy_any\nunique_subject = no\n"
                                 "[ policy_any ]\ncommonName = supplied\n");
    WriteFile(base + ".index", "");
    WriteFile(base + ".serial", "01\n");
    MustRun({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", c.KeyFile, "-out", base + ".csr",
             "-subj", "/CN=" + name});
    MustRun({"ca", "-batch", "-config", base + ".cnf", "-selfsign", "-keyfile", c.KeyFile, "-in",
             base + ".csr", "-out", c.CertFile, "-startdate", "20000101000000Z", "-enddate",
             "20001231000000Z", "-notext"});
    return c;
}

TlsCertificate MakeSelfSignedDsaCertificate(const TempDir& dir, const std::string& name)
{
    TlsCertificate c{dir.File(name + ".crt"), dir.File(name + ".key")};
    const std::string params = dir.File(name + ".params");
    MustRun(
        {"genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt", "dsa_paramgen_bits:1024", "-out", params});
    MustRun({"req", "-x509", "-newkey", "dsa:" + params, "-nodes", "-keyout", c.KeyFile, "-out", c.CertFile,
             "-subj", "/CN=" + name, "-days", "30"});
    return c;
}

TlsServerProcess::TlsServerProcess(const TempDir& dir, const std::vector<std::string>& args,
                                   std::chrono::milliseconds deadline)
{
    std::string pattern = dir.File("s_server-XXXXXX");
    const int logFd = mkostemp(pattern.data(), O_CLOEXEC);
    if (logFd < 0)
        throw std::runtime_error("no log file for s_server");
    FLogFile = pattern;
    std::vector<std::string> all{"s_server", "-accept", "127.0.0.1:0"};
    all.insert(all.end(), args.begin(), args.end());
    FPid = SpawnOpenSsl(all, logFd);
    close(logFd);
    if (FPid < 0)
        throw std::runtime_error("openssl s_server could not be started");

    // s_server reports the port the system gave it: "ACCEPT 127.0.0.1:PORT".
    static const std::regex accept("ACCEPT [^\\n]*:([0-9]+)\\n");
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        std::smatch m;
        const std::string out = Output();
        if (std::regex_search(out, m, accept)) {
            FPort = std::stoi(m[1].str());
            return;
        }
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            throw std::runtime_error("openssl s_server ended:\n" + Output());
        }
        if (std::chrono::steady_clock::now() >= end) {
            Stop();
            throw std::runtime_error("openssl s_server did not listen in time:\n" + out);
        }
        std::this_thread::sleep_for(5ms);
    }
}

TlsServerProcess::~TlsServerProcess()
{
    Stop();
}

void TlsServerProcess::Stop()
{
    if (FPid < 0)
        return;
    kill(FPid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + 5s;
    int status = 0;
    while (waitpid(FPid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(FPid, SIGKILL);
            waitpid(FPid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    FPid = -1;
}

TlsTcpClient::TlsTcpClient(int port, std::chrono::milliseconds deadline)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (FFd < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        if (connect(FFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            break;
        const int err = errno;
        close(FFd);
        FFd = -1;
        if (std::chrono::steady_clock::now() >= end)
            throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + ": " +
                                     std::strerror(err));
        std::this_thread::sleep_for(10ms);
    }
    fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) | O_NONBLOCK);
}

TlsTcpClient::~TlsTcpClient()
{
    if (FFd >= 0)
        close(FFd);
}

} // namespace orvtest
