#include "tools/orvgateway/GatewayLog.h"

#include <chrono>
#include <ctime>

void TGatewayLog::Event(std::string_view text) noexcept
{
    Write(text);
}

void TGatewayLog::Traffic(std::string_view text) noexcept
{
    if (FVerbose)
        Write(text);
}

void TGatewayLog::Write(std::string_view text) noexcept
{
    try {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm local{};
        localtime_r(&seconds, &local);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                      static_cast<int>(ms));
        std::string line = stamp;
        line += text;
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), FOut);
        std::fflush(FOut);
    } catch (...) {
        // out of memory: the line is lost
    }
}
