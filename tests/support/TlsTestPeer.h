#pragma once

// Real TLS peers for tests: certificates made with the openssl command-line tool and an
// `openssl s_server` child process on a loopback port.

#include "tests/support/TestUtil.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orvtest {

// Runs `openssl ARGS...` to its end; returns its exit status (-1 when it could not run) and
// puts what it wrote to stdout and stderr into *output.
int RunOpenSsl(const std::vector<std::string>& args, std::string* output = nullptr);

struct TlsCertificate
{
    std::string CertFile;
    std::string KeyFile;
};

// Certificates in `dir`, named after `name`; throw std::runtime_error with openssl's output on failure.
TlsCertificate MakeSelfSignedRsaCertificate(const TempDir& dir, const std::string& name);
TlsCertificate MakeExpiredRsaCertificate(const TempDir& dir, const std::string& name); // valid in 2000 only
TlsCertificate MakeSelfSignedDsaCertificate(const TempDir& dir, const std::string& name);

// `openssl s_server -accept 127.0.0.1:0 ARGS...`; the constructor waits until it listens and
// throws std::runtime_error (with its output) when it exits or does not listen in time.
class TlsServerProcess
{
public:
    TlsServerProcess(const TempDir& dir, const std::vector<std::string>& args,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20));
    ~TlsServerProcess();
    TlsServerProcess(const TlsServerProcess&) = delete;
    TlsServerProcess& operator=(const TlsServerProcess&) = delete;

    int Port() const { return FPort; }
    std::string Output() const { return ReadFile(FLogFile); }
    // Ends the server now (its connections are closed by the system).
    void Stop();

private:
    pid_t FPid = -1;
    int FPort = 0;
    std::string FLogFile;
};

// A TCP connection to 127.0.0.1:port, retried until the deadline; non-blocking once connected.
class TlsTcpClient
{
public:
    explicit TlsTcpClient(int port, std::chrono::milliseconds deadline = std::chrono::seconds(20));
    ~TlsTcpClient();
    TlsTcpClient(const TlsTcpClient&) = delete;
    TlsTcpClient& operator=(const TlsTcpClient&) = delete;
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

} // namespace orvtest
