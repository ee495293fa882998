#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Everything the command line decides.
struct TGatewayOptions
{
    std::string Address = "127.0.0.1";
    std::uint16_t Port = 7000; // 0 = any free port
    bool Plain = false;        // plain TCP instead of TLS 1.0
    std::string CertFile;      // both empty: a self-signed pair from the state folder
    std::string KeyFile;
    std::string StateDir;
    std::string RedirectTarget;     // "host:port": every registration is redirected there
    std::optional<int> RefusalCode; // every registration is refused with this result code
    bool Verbose = false;           // every channel text to stderr
    std::uint32_t IdleTimeoutMs = 60000;
};
