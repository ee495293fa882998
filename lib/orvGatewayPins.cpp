#include "lib/orvGatewayPins.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace {

constexpr std::string_view PinPrefix = "sha256/";
constexpr std::size_t DigestSize = 32;
constexpr std::size_t Base64Size = 44; // 32 bytes: 43 characters and one '='
constexpr std::size_t ShownValueMax = 60;

// Strict: the only text that encodes 32 bytes, so equal pins are equal texts.
bool IsBase64Of32Bytes(std::string_view text)
{
    if (text.size() != Base64Size)
        return false;
    unsigned char bytes[Base64Size];
    // 44 characters decode to 33 bytes, the last one padding; OpenSSL's decoder
    // is lenient, so the text must also be what encoding the bytes gives back.
    if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size())) != static_cast<int>(DigestSize + 1))
        return false;
    unsigned char again[Base64Size + 1];
    return EVP_EncodeBlock(again, bytes, static_cast<int>(DigestSize)) == static_cast<int>(Base64Size) &&
           text == std::string_view(reinterpret_cast<const char*>(again), Base64Size);
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
