#pragma once

// Helpers shared by the window tests; header-only, as only QtTestMain.cpp is
// built from this folder.

#include "lib/debugProc.h"
#include "tests/support/TestUtil.h"

#include <QApplication>
#include <QWidget>

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

// Sends the log to a file of the test's own while it lives.
class TLogCapture
{
public:
    TLogCapture() : FPrevious(RedirectDebugLogForTesting(FDir.File("debug.log"))) {}
    ~TLogCapture() { RedirectDebugLogForTesting(FPrevious); }
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;

    std::string Text() const { return ReadFile(FDir.File("debug.log")); }
    ::testing::AssertionResult InOrder(const std::vector<std::string>& lines) const
    {
        return LinesInOrder(Text(), lines);
    }

private:
    TempDir FDir;
    std::string FPrevious;
};

// The visible top-level windows of type T (message dialogs, error boxes).
template <typename T> std::vector<T*> VisibleTopLevels()
{
    std::vector<T*> result;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<T*>(w); window && window->isVisible())
            result.push_back(window);
    return result;
}

} // namespace orvtest
