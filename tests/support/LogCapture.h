#pragma once

// The diagnostic log of one test, in a file of its own while the capture lives.

#include "lib/debugProc.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvtest {

// True when the lines occur in the text in this order.
inline ::testing::AssertionResult LinesInOrder(const std::string& text, const std::vector<std::string>& lines)
{
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = text.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << line << "\" missing in order in\n" << text;
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

class TLogCapture
{
public:
    TLogCapture() : FPrevious(RedirectDebugLogForTesting(FDir.File("debug.log"))) {}
    ~TLogCapture() { RedirectDebugLogForTesting(FPrevious); }
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;

    std::string Text() const { return ReadFile(FDir.File("debug.log")); }
    // Whether this whole entry was logged.
    bool Has(const std::string& line) const { return Text().find(line + "\r\n") != std::string::npos; }
    ::testing::AssertionResult InOrder(const std::vector<std::string>& lines) const
    {
        return LinesInOrder(Text(), lines);
    }

private:
    TempDir FDir;
    std::string FPrevious;
};

} // namespace orvtest
