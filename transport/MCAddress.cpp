#include "transport/MCAddress.h"

#include "transport/MCError.h"
#include "transport/MCMessage.h"

#include <charconv>

bool MCSameText(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string_view MCTrim(std::string_view s) noexcept
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::optional<std::uint32_t> MCParseUInt32(std::string_view s) noexcept
{
    s = MCTrim(s);
    if (s.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

namespace {

// "n" or "n\m"; a bare number serves as both.
bool ParseConnectionPart(std::string_view part, std::uint32_t& id, std::uint32_t& uid, bool& hasUID)
{
    part = MCTrim(part);
    auto slash = part.find('\\');
    if (slash == std::string_view::npos) {
        auto n = MCParseUInt32(part);
        if (!n)
            return false;
        id = uid = *n;
        hasUID = false;
        return true;
    }
    auto n = MCParseUInt32(part.substr(0, slash));
    auto m = MCParseUInt32(part.substr(slash + 1));
    if (!n || !m)
        return false;
    id = *n;
    uid = *m;
    hasUID = true;
    return true;
}

std::optional<std::uint16_t> ParsePort(std::string_view s)
{
    auto n = MCParseUInt32(s);
    if (!n || *n > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(*n);
}

} // namespace

bool MCDestinationMatches(std::string_view destination, std::string_view transportName) noexcept
{
    return destination.size() > transportName.size() && destination[transportName.size()] == ':' &&
           MCSameText(destination.substr(0, transportName.size()), transportName);
}

TMCDestination MCParseDestination(std::string_view destination)
{
    TMCDestination result;
    auto colon = destination.find(':');
    if (colon == std::string_view::npos || colon == 0)
        throw EMCError(MCErr::BadDestination);
    result.TransportName = std::string(destination.substr(0, colon));
    std::string_view rest = destination.substr(colon + 1);

    auto bar = rest.find('|');
    if (bar == std::string_view::npos)
        throw EMCError(MCErr::BadDestination);
    std::string_view addressAndPath = rest.substr(0, bar);
    std::string_view queueSpec = rest.substr(bar + 1);

    auto slash = addressAndPath.find('/');
    std::string_view address = addressAndPath.substr(0, slash);
    if (slash != std::string_view::npos)
        result.Path = std::string(addressAndPath.substr(slash));
    if (address.empty())
        throw EMCError(MCErr::BadDestination);

    // "conn:host:port" carries a connection part before the first of two colons.
    auto first = address.find(':');
    auto last = address.rfind(':');
    if (first != std::string_view::npos && first != last) {
        bool hasUID = false;
        if (!ParseConnectionPart(address.substr(0, first), result.ConnectionID, result.ConnectionUID, hasUID))
            throw EMCError(MCErr::BadDestination);
        result.HasConnection = true;
        address = address.substr(first + 1);
    }
    result.Address = std::string(address);

    if (queueSpec.empty())
        throw EMCError(MCErr::BadDestination);
    auto lastBar = queueSpec.rfind('|');
    std::string_view queue = queueSpec;
    if (lastBar != std::string_view::npos) {
        result.ForwardRoute = std::string(queueSpec.substr(0, lastBar));
        queue = queueSpec.substr(lastBar + 1);
    }
    if (queue.empty())
        throw EMCError(MCErr::BadDestination);
    result.QueueName = std::string(queue.substr(0, MCQueueNameMax));
    return result;
}

std::optional<TMCSourceAddress> MCParseSourceAddress(std::string_view text)
{
    TMCSourceAddress result;
    text = MCTrim(text);
    auto first = text.find(':');
    auto last = text.rfind(':');
    std::string_view connection;
    std::string_view hostPort;
    bool hasConnection = false;

    if (first == std::string_view::npos) {
        connection = text;
        hasConnection = true;
    } else if (first != last) {
        connection = text.substr(0, first);
        hasConnection = true;
        hostPort = text.substr(first + 1);
    } else if (first + 1 == text.size()) {
        connection = text.substr(0, first);
        hasConnection = true;
    } else {
        hostPort = text;
    }

    if (!hostPort.empty()) {
        auto split = MCSplitHostPort(hostPort);
        if (!split)
            return std::nullopt;
        result.Host = std::move(split->Host);
        result.Port = split->Port;
        result.HasHost = true;
    }
    if (hasConnection) {
        if (!ParseConnectionPart(connection, result.ConnectionID, result.ConnectionUID, result.HasUID))
            return std::nullopt;
        result.HasConnection = true;
    }
    return result;
}

std::string MCBuildSourceAddress(std::uint32_t connectionID, std::string_view localHost, std::uint16_t port)
{
    std::string s = std::to_string(connectionID);
    s += ':';
    s += localHost;
    s += ':';
    s += std::to_string(port);
    return s;
}

std::optional<TMCHostPort> MCSplitHostPort(std::string_view text)
{
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    auto port = ParsePort(text.substr(colon + 1));
    if (!port)
        return std::nullopt;
    return TMCHostPort{std::string(MCTrim(text.substr(0, colon))), *port};
}

bool MCSameHostPort(std::string_view a, std::string_view b) noexcept
{
    auto x = MCSplitHostPort(a);
    auto y = MCSplitHostPort(b);
    if (!x || !y)
        return MCSameText(a, b);
    return x->Port == y->Port && MCSameText(x->Host, y->Host);
}
