// Fuzzes the settings file as a deployment (or anyone who can write it) leaves
// it: the gateway list, the pins that guard it, the update server and the
// error report's address. The whole input is the file's text; its first 32
// bytes also make a pin of our own, which must be well formed.
#include "lib/debugProc.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvGatewayPins.h"
#include "lib/orvWWWUpdate.h"
#include "transport/MCAddress.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr std::string_view Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A pin as the README describes it, judged without the decoder: 43 characters
// of the alphabet whose last carries no spare bits, then one '='.
bool ReferenceWellFormed(std::string_view pin)
{
    if (!pin.starts_with("sha256/"))
        return false;
    pin.remove_prefix(7);
    if (pin.size() != 44 || pin[43] != '=')
        return false;
    for (std::size_t i = 0; i < 43; ++i)
        if (Alphabet.find(pin[i]) == std::string_view::npos)
            return false;
    return (Alphabet.find(pin[42]) & 3) == 0;
}

std::string PinOf(std::string_view digest)
{
    std::string text = "sha256/";
    for (std::size_t i = 0; i < 32; i += 3) {
        const std::uint32_t a = static_cast<unsigned char>(digest[i]);
        const std::uint32_t b = i + 1 < 32 ? static_cast<unsigned char>(digest[i + 1]) : 0;
        const std::uint32_t c = i + 2 < 32 ? static_cast<unsigned char>(digest[i + 2]) : 0;
        const std::uint32_t n = a << 16 | b << 8 | c;
        text += Alphabet[n >> 18 & 63];
        text += Alphabet[n >> 12 & 63];
        text += i + 1 < 32 ? Alphabet[n >> 6 & 63] : '=';
        text += i + 2 < 32 ? Alphabet[n & 63] : '=';
    }
    return text;
}

bool NamesKey(const std::vector<std::string>& keys, const std::string& key)
{
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& k) { return MCSameText(k, key); });
}

// Names resolve without the network: a name starting with 'x' does not resolve.
std::optional<std::string> FakeResolve(const std::string& host)
{
    if (host.empty() || host[0] == 'x')
        return std::nullopt;
    return "10.0.0." + std::to_string(std::hash<std::string>()(host) % 4);
}

void CheckGateways(const TorvSettingsText& settings, const std::vector<std::string>& keys)
{
    const std::vector<std::string> numbered = settings.Numbered("gateway", "gateway");
    const std::vector<std::string> list = settings.GatewayList();
    // The list is the numbered values up to the end value, which it never holds.
    Check(list.size() <= numbered.size() && std::equal(list.begin(), list.end(), numbered.begin()));
    Check(std::find(list.begin(), list.end(), "127.0.0.1:6000") == list.end());
    Check(list.size() == numbered.size() || numbered[list.size()] == "127.0.0.1:6000");
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        Check(NamesKey(keys, "gateway" + std::to_string(i + 1)));
        Check(numbered[i].find('\n') == std::string::npos);
    }
    Check(settings.Value("gateway", "gateway1") == (numbered.empty() ? "" : numbered[0]));

    std::size_t parsed = 0;
    for (const std::string& value : list) {
        const auto hostPort = ParseGatewayValue(value);
        if (!hostPort)
            continue;
        ++parsed;
        // The key the connection map uses parses back to the same gateway.
        Check(!hostPort->Host.empty() && hostPort->Host.find(':') == std::string::npos);
        Check(ParseGatewayValue(GatewayKey(hostPort->Host, hostPort->Port)) == hostPort);
    }
    const std::vector<TorvGatewayEndpoint> endpoints = ResolveGatewayList(list, FakeResolve);
    Check(endpoints.size() <= parsed);
    std::set<std::string> seen;
    for (const TorvGatewayEndpoint& endpoint : endpoints) {
        Check(endpoint.Key == GatewayKey(endpoint.Address, endpoint.Port));
        Check(seen.insert(endpoint.Key).second);
    }
}

void CheckPins(const TorvSettingsText& settings, const std::vector<std::string>& keys)
{
    const std::vector<std::string> values = settings.Numbered("gateway", "pin");
    for (std::size_t i = 0; i < values.size(); ++i)
        Check(NamesKey(keys, "pin" + std::to_string(i + 1)));
    for (const std::string& value : values)
        Check(orvIsWellFormedPin(value) == ReferenceWellFormed(value));

    const TorvGatewayPins pins = orvCheckGatewayPins(values, keys);
    if (!pins.Error.empty()) {
        Check(pins.Pins.empty()); // Connect stops: no connection is made with half the pins
        return;
    }
    Check(pins.Pins == values);
    // Pinning never goes quietly: whatever the section holds under a pin-like
    // name is enforced, or the check failed.
    for (const std::string& key : keys) {
        if (key.size() >= 3 && MCSameText(std::string_view(key).substr(0, 3), "pin")) {
            const std::string value = settings.Value("gateway", key);
            Check(std::find(pins.Pins.begin(), pins.Pins.end(), value) != pins.Pins.end());
        }
    }
    for (const std::string& pin : pins.Pins) {
        Check(ReferenceWellFormed(pin));
        Check(orvPinAccepted(pins.Pins, pin));
    }
    Check(orvPinAccepted(pins.Pins, "sha256/") == pins.Pins.empty());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    RedirectDebugLogForTesting("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const TorvSettingsText settings(input);
    const std::vector<std::string> keys = settings.SectionKeys("gateway");
    CheckGateways(settings, keys);
    CheckPins(settings, keys);

    const TorvUpdateServer server = orvUpdateServerAt(settings.Value("update", "url"));
    Check(server.UpdateUrl.ends_with(server.WebPageAddress + "/update.ini"));
    Check(server.WebPageAddress.ends_with("/update") && server.UpdateUrl.find("://") != std::string::npos);
    Check(settings.Value("errorreport", "address").find('\n') == std::string::npos);

    if (size >= 32) {
        const std::string own = PinOf(input.substr(0, 32));
        Check(orvIsWellFormedPin(own) && ReferenceWellFormed(own));
        Check(orvCheckGatewayPins({own}, {"Pin1"}).Error.empty());
    }
    return 0;
}
