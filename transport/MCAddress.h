#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A destination "NAME:address[/path]|[route|]queue", split into its parts.
struct TMCDestination
{
    std::string TransportName; // before the first ":"
    std::string Address;       // host:port, with any connection part removed
    bool HasConnection = false;
    std::uint32_t ConnectionID = 0;  // from "id:host:port" or "id\uid:host:port"
    std::uint32_t ConnectionUID = 0; // equals ConnectionID when only a number was given
    std::string Path;                // "/..." up to the "|", kept and ignored
    std::string ForwardRoute;        // part of the queue text before its last "|"
    std::string QueueName;           // truncated to 31 characters
};

// Splits a destination; raises EMCError 5 when it has no transport name, an
// empty address, no "|" or an empty queue name.
TMCDestination MCParseDestination(std::string_view destination);

// True when the destination starts with name + ":" (letter case ignored).
bool MCDestinationMatches(std::string_view destination, std::string_view transportName) noexcept;

// A source address "id[\uid]:host:port" as received in a routing block.
struct TMCSourceAddress
{
    bool HasConnection = false;
    std::uint32_t ConnectionID = 0;
    bool HasUID = false;
    std::uint32_t ConnectionUID = 0;
    bool HasHost = false;
    std::string Host;
    std::uint16_t Port = 0;
};

// Parses a received source address; nullopt when a number in it is not decimal
// or out of range.
std::optional<TMCSourceAddress> MCParseSourceAddress(std::string_view text);

// "id:host:port" as every sent frame carries it.
std::string MCBuildSourceAddress(std::uint32_t connectionID, std::string_view localHost, std::uint16_t port);

// Splits "host:port" at the last colon; nullopt without a colon or with a port
// that is not a decimal number from 0 to 65535.
struct TMCHostPort
{
    std::string Host;
    std::uint16_t Port = 0;
};
std::optional<TMCHostPort> MCSplitHostPort(std::string_view text);

// Case-insensitive host and numeric port comparison of two "host:port" texts.
bool MCSameHostPort(std::string_view a, std::string_view b) noexcept;

// ASCII helpers shared by the transport.
bool MCSameText(std::string_view a, std::string_view b) noexcept; // letter case ignored
std::string_view MCTrim(std::string_view s) noexcept;
std::optional<std::uint32_t> MCParseUInt32(std::string_view s) noexcept; // decimal, trimmed
