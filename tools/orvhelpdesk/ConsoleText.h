#pragma once

#include <optional>
#include <string>
#include <string_view>

// Channel texts are 8-bit and may hold any byte; on the console they are
// written with \xHH for bytes that do not print and \\ for the backslash.
std::string EscapeChannelText(std::string_view text);
// The reverse; nullopt for a broken escape.
std::optional<std::string> UnescapeChannelText(std::string_view text);
