#pragma once

// What the launchers read from files others wrote: orvviewer's configuration
// file and orvhost's password in the key store.

#include "platform/orvKeyStore.h"

#include <optional>
#include <string>

struct TorvViewerConfig
{
    std::string Host;
    int Port = 0;
    std::string Password; // 8 bytes, already in the form of a VNC password file
    bool ViewOnly = false;
};

// Reads "[connection]" with host=, port=, password=<16 hex digits> and
// viewonly=0|1. Raises std::runtime_error saying what is wrong, with the line
// where it can.
TorvViewerConfig orvReadViewerConfig(const std::string& path);

// The 8-byte "password" value of the host's key; nothing when it is missing
// or of another length.
std::optional<std::string> orvReadHostPassword(TorvKeyStore& store);
