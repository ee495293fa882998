#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// The gateway's own log on stderr: events always, channel texts when verbose.
// Writing never throws; a line that cannot be written is lost.
class TGatewayLog
{
public:
    explicit TGatewayLog(bool verbose, std::FILE* out = stderr) : FVerbose(verbose), FOut(out) {}

    bool Verbose() const noexcept { return FVerbose; }
    void Event(std::string_view text) noexcept;
    void Traffic(std::string_view text) noexcept;

private:
    void Write(std::string_view text) noexcept;

    bool FVerbose;
    std::FILE* FOut;
};
