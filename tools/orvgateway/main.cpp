// The development gateway: accepts customer programs and helpdesk consoles,
// gives each customer a session code, pairs a helpdesk with the customer
// whose code it names and passes their channel texts between them.

#include "tools/orvgateway/GatewayCertificate.h"
#include "tools/orvgateway/GatewayLog.h"
#include "tools/orvgateway/GatewayOptions.h"
#include "tools/orvgateway/GatewayServer.h"
#include "transport/MCAddress.h"
#include "transport/MCTLSEngine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// A descriptor closed with the object.
class TFileDescriptor
{
public:
    explicit TFileDescriptor(int fd) : FFd(fd) {}
    ~TFileDescriptor()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const noexcept { return FFd; }

private:
    int FFd;
};

std::string CheckAddress(const std::string& text)
{
    in_addr addr{};
    return inet_pton(AF_INET, text.c_str(), &addr) == 1 ? std::string()
                                                        : "\"" + text + "\" is not a dotted IPv4 address";
}

std::string CheckListen(const std::string& text)
{
    auto hostPort = MCSplitHostPort(text);
    if (!hostPort)
        return "\"" + text + "\" is not ADDRESS:PORT";
    return CheckAddress(hostPort->Host);
}

std::string CheckRedirect(const std::string& text)
{
    auto hostPort = MCSplitHostPort(text);
    if (!hostPort || hostPort->Host.empty() || hostPort->Port == 0)
        return "\"" + text + "\" is not HOST:PORT with a port from 1 to 65535";
    return {};
}

// The pin of the certificate a normal start would use; the self-signed pair is made if missing.
int PrintPin(const TGatewayOptions& options)
{
    try {
        const std::string certFile = options.CertFile.empty()
                                         ? EnsureSelfSignedCertificate(options.StateDir).CertFile
                                         : options.CertFile;
        std::string error;
        const std::string pin = MCPublicKeyPinOfCertificateFile(certFile, &error);
        if (pin.empty()) {
            std::fprintf(stderr, "orvgateway: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", pin.c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvgateway: %s\n", e.what());
        return 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Orvalis development gateway: gives each customer program a session code, pairs the helpdesk "
        "console that names the code with it and passes their channel texts. Prints \"orvgateway "
        "listening on ADDRESS:PORT\" on stdout when ready; logs to stderr."};
    TGatewayOptions options;
    options.StateDir = DefaultGatewayStateDir();
    std::string listen;
    double idleSeconds = options.IdleTimeoutMs / 1000.0;
    int refusal = 0;
    bool exitWithParent = false;

    auto* listenOpt = app.add_option("--listen", listen, "ADDRESS:PORT to listen on (port 0: any free port)")
                          ->check(CLI::Validator(CheckListen, "ADDRESS:PORT"));
    app.add_option("--address", options.Address, "address to listen on")
        ->capture_default_str()
        ->check(CLI::Validator(CheckAddress, "IPV4"))
        ->excludes(listenOpt);
    app.add_option("--port", options.Port, "port to listen on (0: any free port)")
        ->capture_default_str()
        ->excludes(listenOpt);
    auto* plainOpt = app.add_flag("--plain", options.Plain, "plain TCP instead of TLS 1.0");
    auto* certOpt = app.add_option("--cert", options.CertFile, "PEM certificate (chain) of the gateway")
                        ->check(CLI::ExistingFile)
                        ->excludes(plainOpt);
    auto* keyOpt = app.add_option("--key", options.KeyFile, "PEM private key of the certificate")
                       ->check(CLI::ExistingFile)
                       ->excludes(plainOpt);
    certOpt->needs(keyOpt);
    keyOpt->needs(certOpt);
    app.add_option("--state-dir", options.StateDir,
                   "folder for the self-signed certificate made when --cert and --key are not given")
        ->capture_default_str();
    auto* redirectOpt =
        app.add_option("--redirect", options.RedirectTarget,
                       "answer every registration with \"12:\" and result code 103 naming HOST:PORT")
            ->check(CLI::Validator(CheckRedirect, "HOST:PORT"));
    app.add_option("--refuse", refusal, "answer every registration with \"12:\" and this result code")
        ->check(CLI::Validator(
            [](const std::string& text) { return text == "0" ? "0 means accepted, not a refusal" : ""; },
            "CODE"))
        ->excludes(redirectOpt);
    app.add_flag("-v,--verbose", options.Verbose, "log every channel text to stderr");
    app.add_option("--idle-timeout", idleSeconds,
                   "drop a connection that has sent nothing for this many seconds")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 86400.0));
    app.add_flag("--exit-with-parent", exitWithParent, "stop when the process that started this one ends");
    bool printPin = false;
    app.add_flag("--print-pin", printPin,
                 "print the pin of the gateway's key (sha256/BASE64, for pin1= of a client's settings file) "
                 "and exit")
        ->excludes(plainOpt);
    CLI11_PARSE(app, argc, argv);

    if (printPin)
        return PrintPin(options);

    if (!listen.empty()) {
        auto hostPort = MCSplitHostPort(listen);
        options.Address = hostPort->Host;
        options.Port = hostPort->Port;
    }
    if (app.count("--refuse"))
        options.RefusalCode = refusal;
    options.IdleTimeoutMs = static_cast<std::uint32_t>(std::max(1.0, std::round(idleSeconds * 1000.0)));

    // Termination signals arrive on a descriptor the main loop watches; blocked
    // before any thread starts, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        std::fprintf(stderr, "orvgateway: cannot block the termination signals\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    TFileDescriptor stopFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (stopFd.Get() < 0) {
        std::fprintf(stderr, "orvgateway: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    if (exitWithParent) {
        const pid_t parent = ::getppid();
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            return 1; // the parent is gone already
    }

    TGatewayLog log(options.Verbose);
    try {
        if (!options.Plain && options.CertFile.empty()) {
            const TGatewayCertificateFiles files = EnsureSelfSignedCertificate(options.StateDir);
            options.CertFile = files.CertFile;
            options.KeyFile = files.KeyFile;
        }
        TGatewayServer server(options, log);
        server.Start();
        const std::string where = options.Address + ":" + std::to_string(server.ListeningPort());
        std::printf("orvgateway listening on %s\n", where.c_str());
        std::fflush(stdout);
        log.Event("listening on " + where +
                  (options.Plain ? " (plain TCP)" : " (TLS 1.0, " + options.CertFile + ")"));
        server.Run(stopFd.Get());
        log.Event("stopping");
    } catch (const std::exception& e) {
        log.Event(std::string("orvgateway: ") + e.what());
        return 1;
    }
    return 0;
}
