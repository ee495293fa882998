#pragma once

// Helpers shared by the window tests; header-only, as only QtTestMain.cpp is
// built from this folder.

#include "lib/debugProc.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestUtil.h"

#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvtest {

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
