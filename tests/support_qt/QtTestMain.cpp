// Entry point of the window tests: one QApplication for the whole run.
#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Session receipts of the windows (and of the programs they start) stay out of the user's home.
    const QTemporaryDir state;
    if (!state.isValid() || ::setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1) != 0)
        return 2;
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
