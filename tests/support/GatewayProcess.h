#pragma once

#include "tests/support/TestUtil.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orvtest {

// The development gateway <build>/bin/orvgateway as a child process. Unless
// the flags say otherwise it listens on 127.0.0.1 on a free port, over TLS
// with a self-signed certificate that all test runs share
// (<build>/tests/orvgateway-state). It is stopped when the object goes, and
// stops by itself when the thread that started it ends.
class GatewayProcess
{
public:
    // Waits until it prints its listening line; throws std::runtime_error
    // with what it wrote to stderr when it does not come up.
    explicit GatewayProcess(std::vector<std::string> flags = {},
                            std::chrono::milliseconds startDeadline = std::chrono::seconds(60));
    ~GatewayProcess();
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    std::uint16_t Port() const noexcept { return FPort; }
    // Writes a client's settings file whose only gateway is this one.
    void WriteClientSettings(const std::string& path) const;
    pid_t Pid() const noexcept { return FPid; }
    // The signal (SIGTERM unless told), then SIGKILL once the grace time has
    // passed. The exit code, or 128 + the signal number when a signal ended
    // it; later calls repeat it.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10), int signal = SIGTERM);
    // What it has written to stderr so far.
    std::string ErrorOutput() const;

    static std::string BinaryPath();

private:
    std::optional<int> Reap(bool wait);

    TempDir FDir;
    pid_t FPid = -1;
    std::uint16_t FPort = 0;
    std::optional<int> FExit;
};

} // namespace orvtest
