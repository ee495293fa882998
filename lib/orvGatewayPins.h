#pragma once

// Gateway pinning: the keys of the settings file ("[gateway]" pin1, pin2, ...)
// that a gateway's certificate must carry. Without pins any certificate is accepted.

#include <string>
#include <string_view>
#include <vector>

// The user's text when a gateway was refused for its key.
inline constexpr const char* orvGatewayIdentityRefusedText =
    "The gateway could not prove its identity. Your connection was not opened.";

// Whether the text is "sha256/" and the base64 (standard alphabet, padded) of exactly 32 bytes.
bool orvIsWellFormedPin(std::string_view pin);

struct TorvGatewayPins
{
    std::vector<std::string> Pins;
    std::string Error; // the user's text about the first malformed pin; empty when all are good
};

// values: pin1, pin2, ... of the settings file, in order; keys: every key of
// the section. A key that looks like a pin but is not read as one (after a gap
// in the numbers, or without a number) is an error too: pinning must never go
// quietly.
TorvGatewayPins orvCheckGatewayPins(const std::vector<std::string>& values,
                                    const std::vector<std::string>& keys = {});

// True when no pins are set or the seen pin is one of them.
bool orvPinAccepted(const std::vector<std::string>& pins, std::string_view seenPin);
