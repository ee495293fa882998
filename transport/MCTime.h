#pragma once

#include <cstdint>

// Millisecond tick counter (monotonic, wraps at 32 bits like the original platform's).
std::uint32_t MCGetTickCount() noexcept;

// Milliseconds elapsed from `since` to `now`, with 32-bit wrap-around.
inline std::uint32_t MCTicksSince(std::uint32_t since, std::uint32_t now) noexcept
{
    return now - since;
}

// Whether a message stamped at sentTick with timeout ms (0: none) has run out by now.
// A stamp later than now (a send racing a sweep that had read the clock) counts as
// just sent: with plain wrap-around it would look 49 days old and time out at once.
// Ages of 2^31 ms (24.8 days) and more read as such stamps.
inline bool MCTimedOut(std::uint32_t sentTick, std::uint32_t timeout, std::uint32_t now) noexcept
{
    const std::uint32_t age = MCTicksSince(sentTick, now);
    return timeout != 0 && age < 0x80000000u && age >= timeout;
}

// Current UTC time as a day count: days since 1899-12-30, the fraction is the time of day.
double MCNowUTCDayCount() noexcept;

// Local time of day in milliseconds since local midnight.
std::uint32_t MCLocalTimeOfDayMs() noexcept;
