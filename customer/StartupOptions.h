#pragma once

// What the command line asks of the program before the window shows: the
// permission level, auto-connect, and the restart mode that rejoins a session
// after the computer came back from a restart or log-off.

#include <QDateTime>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How much the helpdesk may do without asking.
inline constexpr std::uint8_t orvLevelBasic = 0;
inline constexpr std::uint8_t orvLevelAllowViewing = 1;
inline constexpr std::uint8_t orvLevelAllowRemoteControl = 2;
inline constexpr std::uint8_t orvLevelAllowRemoteActions = 3;

// A restart entry is honoured for this long after it was written.
inline constexpr qint64 orvRestartWindowSeconds = 10 * 60;

struct TorvStartupOptions
{
    std::uint8_t PermissionLevel = orvLevelBasic;
    bool AutoConnect = false;
    // Exactly three arguments: session number, creation time, level switch.
    bool RestartMode = false;
    // The session number to ask for at the next Connect; 0 = none.
    std::int32_t PendingSession = 0;
    // Restart mode whose time window has passed: the program ends without a window.
    bool RestartExpired = false;
};

// The arguments without the program name. now is the current local time.
TorvStartupOptions ParseStartupArguments(const std::vector<std::string>& args, const QDateTime& now);

// "yyyymmddhhnn" as local time. A minute part that is not a number counts as
// 0; any other part that is not a number, or an impossible date or time,
// gives nullopt (the zero date, which every restart window has long passed).
std::optional<QDateTime> ParseRestartTime(std::string_view text);
std::string FormatRestartTime(const QDateTime& time);

// "/BASIC", "/ALLOWVIEWING", "/ALLOWREMOTECONTROL" or "/ALLOWREMOTEACTIONS"
// (levels above 3 count as 3).
std::string PermissionSwitch(std::uint8_t level);

// The three words a restart entry starts the program with.
std::vector<std::string> RestartArguments(std::int32_t sessionNumber, const QDateTime& created,
                                          std::uint8_t level);

// Delphi-style StrToIntDef: a whole decimal number (optional sign) in 32-bit
// range, else fallback.
std::int32_t DecimalOr(std::string_view text, std::int32_t fallback);
// The same, raising std::invalid_argument for a text that is not such a number.
std::int32_t DecimalOrThrow(std::string_view text);
