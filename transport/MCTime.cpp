#include "transport/MCTime.h"

#include <algorithm>
#include <chrono>
#include <ctime>

std::uint32_t MCGetTickCount() noexcept
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

double MCNowUTCDayCount() noexcept
{
    using namespace std::chrono;
    // 25569 days lie between 1899-12-30 and the Unix epoch.
    const double ms =
        static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    return 25569.0 + ms / 86400000.0;
}

std::uint32_t MCLocalTimeOfDayMs() noexcept
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    // Rounded to the nearest millisecond; the last half millisecond of the
    // day stays on that day.
    const auto us = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    const auto ms = std::min<long long>((us + 500) / 1000, 999);
    return static_cast<std::uint32_t>(((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + ms);
}
