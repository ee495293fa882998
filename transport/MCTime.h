#pragma once

#include <cstdint>

// Millisecond tick counter (monotonic, wraps at 32 bits like the original platform's).
std::uint32_t MCGetTickCount() noexcept;

// Milliseconds elapsed from `since` to `now`, with 32-bit wrap-around.
inline std::uint32_t MCTicksSince(std::uint32_t since, std::uint32_t now) noexcept { return now - since; }

// Current UTC time as a day count: days since 1899-12-30, the fraction is the time of day.
double MCNowUTCDayCount() noexcept;

// Local time of day in milliseconds since local midnight.
std::uint32_t MCLocalTimeOfDayMs() noexcept;
