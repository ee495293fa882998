#include "lib/orvGatewayPins.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace {

constexpr std::string_view PinPrefix = "sha256/";
constexpr std::size_t DigestSize = 32;
constexpr std::size_t Base64Size = 44; // 32 bytes: 43 characters and one '='
constexpr std::size_t ShownValueMax = 60;

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Strict: the only text that encodes 32 bytes, so equal pins are equal texts.
bool IsBase64Of32Bytes(std::string_view text)
{
    if (text.size() != Base64Size || text.back() != '=')
        return false;
    const std::string_view digits = text.substr(0, Base64Size - 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return Base64Value(c) >= 0; }))
        return false;
    // 43 digits carry 258 bits; the last digit's two spare bits must be zero.
    static_assert(DigestSize * 8 + 2 == (Base64Size - 1) * 6);
    return (Base64Value(digits.back()) & 0x3) == 0;
}

std::string Shown(const std::string& value)
{
    if (value.size() <= ShownValueMax)
        return value;
    return value.substr(0, ShownValueMax) + "...";
}

} // namespace

bool orvIsWellFormedPin(std::string_view pin)
{
    return pin.starts_with(PinPrefix) && IsBase64Of32Bytes(pin.substr(PinPrefix.size()));
}

TorvGatewayPins orvCheckGatewayPins(const std::vector<std::string>& values,
                                    const std::vector<std::string>& keys)
{
    TorvGatewayPins result;
    for (const std::string& key : keys) {
        std::string lower = key;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!lower.starts_with("pin"))
            continue;
        bool read = false;
        for (std::size_t i = 1; i <= values.size() && !read; ++i)
            read = lower == "pin" + std::to_string(i);
        if (!read) {
            result.Error =
                "The settings file has a gateway pin that is not read (" + Shown(key) +
                "): pins are numbered pin1, pin2, ... without gaps. Your connection was not opened.";
            return result;
        }
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!orvIsWellFormedPin(values[i])) {
            result.Pins.clear();
            result.Error = "The settings file has an invalid gateway pin (pin" + std::to_string(i + 1) + "=" +
                           Shown(values[i]) + "). Your connection was not opened.";
            return result;
        }
        result.Pins.push_back(values[i]);
    }
    return result;
}

bool orvPinAccepted(const std::vector<std::string>& pins, std::string_view seenPin)
{
    return pins.empty() || std::find(pins.begin(), pins.end(), seenPin) != pins.end();
}
