// The customer program's start-up: command-line switches, restart mode and
// its time window, the restart entry in the autostart folder, the program's
// end without a window, and the guard around event handlers.
#include "customer/CustomerApplication.h"
#include "customer/RestartShortcut.h"
#include "customer/StartupOptions.h"
#include "lib/debugProc.h"
#include "tests/support/TestUtil.h"
#include "tests/support_qt/QtTestUtil.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <stdexcept>
#include <sys/stat.h>

namespace {

const QDateTime kNow(QDate(2024, 3, 5), QTime(14, 30));

TorvStartupOptions Parse(const std::vector<std::string>& args)
{
    return ParseStartupArguments(args, kNow);
}

using orvtest::TLogCapture;

TEST(StartupSwitches, HighestLevelWinsAndMatchIsExact)
{
    EXPECT_EQ(Parse({}).PermissionLevel, orvLevelBasic);
    EXPECT_FALSE(Parse({}).AutoConnect);
    EXPECT_EQ(Parse({"/ALLOWREMOTECONTROL", "/BASIC"}).PermissionLevel, orvLevelAllowRemoteControl);
    EXPECT_EQ(Parse({"/allowviewing"}).PermissionLevel, orvLevelBasic);
    EXPECT_EQ(Parse({"/ALLOWVIEWING "}).PermissionLevel, orvLevelBasic);
    EXPECT_EQ(Parse({"/ALLOWVIEWING", "/ALLOWREMOTEACTIONS", "/ALLOWREMOTECONTROL", "x"}).PermissionLevel,
              orvLevelAllowRemoteActions);

    const TorvStartupOptions auto1 = Parse({"/AUTOCONNECT"});
    EXPECT_TRUE(auto1.AutoConnect);
    EXPECT_EQ(auto1.PermissionLevel, orvLevelBasic);
    EXPECT_FALSE(auto1.RestartMode);
    EXPECT_FALSE(Parse({"/autoconnect"}).AutoConnect);
}

TEST(StartupSwitches, TwoOrFourArgumentsAreNoRestart)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"123456", "/AUTOCONNECT"},
          std::vector<std::string>{"123456", "202403051425", "/ALLOWVIEWING", "/AUTOCONNECT"}}) {
        const TorvStartupOptions options = Parse(args);
        EXPECT_FALSE(options.RestartMode);
        EXPECT_FALSE(options.RestartExpired);
        EXPECT_EQ(options.PendingSession, 0);
        EXPECT_TRUE(options.AutoConnect); // "/AUTOCONNECT" among them still connects
    }
    EXPECT_FALSE(Parse({"123456", "202403051425"}).AutoConnect);
}

TEST(RestartMode, TimeWindowOfTenMinutes)
{
    const auto args = [](const QDateTime& created) {
        return std::vector<std::string>{"654321", FormatRestartTime(created), "/ALLOWREMOTECONTROL"};
    };
    const TorvStartupOptions fresh = Parse(args(kNow.addSecs(-9 * 60)));
    EXPECT_TRUE(fresh.RestartMode);
    EXPECT_FALSE(fresh.RestartExpired);
    EXPECT_TRUE(fresh.AutoConnect);
    EXPECT_EQ(fresh.PendingSession, 654321);
    EXPECT_EQ(fresh.PermissionLevel, orvLevelAllowRemoteControl); // the third word is a switch like any other

    const TorvStartupOptions stale = Parse(args(kNow.addSecs(-10 * 60)));
    EXPECT_TRUE(stale.RestartMode);
    EXPECT_TRUE(stale.RestartExpired);
    EXPECT_TRUE(Parse(args(kNow.addDays(-1))).RestartExpired);

    // A session number that is not a number counts as 0: the window comes, a new session is asked for.
    const TorvStartupOptions noNumber = Parse({"abc", FormatRestartTime(kNow), "/BASIC"});
    EXPECT_FALSE(noNumber.RestartExpired);
    EXPECT_EQ(noNumber.PendingSession, 0);
    EXPECT_TRUE(noNumber.AutoConnect);
    // So does a number that is no session code (and would overflow the identifier).
    EXPECT_EQ(Parse({"2147483000", FormatRestartTime(kNow), "/BASIC"}).PendingSession, 0);
    EXPECT_EQ(Parse({"1234567", FormatRestartTime(kNow), "/BASIC"}).PendingSession, 0);
}

TEST(RestartMode, InvalidCreationTimeEndsTheProgram)
{
    for (const char* bad : {"", "20241305143", "202402301430", "202403052530", "2024x3051430", "yyyymmddhhnn",
                            "202403051475"}) {
        EXPECT_TRUE(Parse({"654321", bad, "/BASIC"}).RestartExpired) << bad;
    }
}

TEST(RestartMode, ParsesTheTimeByPosition)
{
    EXPECT_EQ(ParseRestartTime("202403051425"), QDateTime(QDate(2024, 3, 5), QTime(14, 25)));
    // A minute part that is not a number counts as 0; characters after 12 are not read.
    EXPECT_EQ(ParseRestartTime("2024030514xx"), QDateTime(QDate(2024, 3, 5), QTime(14, 0)));
    EXPECT_EQ(ParseRestartTime("2024030514"), QDateTime(QDate(2024, 3, 5), QTime(14, 0)));
    EXPECT_EQ(ParseRestartTime("20240305142599"), QDateTime(QDate(2024, 3, 5), QTime(14, 25)));
    EXPECT_EQ(ParseRestartTime("202402291425"), QDateTime(QDate(2024, 2, 29), QTime(14, 25)));
    EXPECT_FALSE(ParseRestartTime("202302291425"));
    EXPECT_EQ(FormatRestartTime(QDateTime(QDate(2005, 12, 16), QTime(7, 5))), "200512160705");

    // The words a restart entry carries come back as the same restart.
    const auto words = RestartArguments(4711, kNow.addSecs(-60), orvLevelAllowViewing);
    EXPECT_EQ(words, (std::vector<std::string>{"4711", "202403051429", "/ALLOWVIEWING"}));
    const TorvStartupOptions again = Parse(words);
    EXPECT_FALSE(again.RestartExpired);
    EXPECT_EQ(again.PendingSession, 4711);
    EXPECT_EQ(again.PermissionLevel, orvLevelAllowViewing);
    EXPECT_EQ(PermissionSwitch(0), "/BASIC");
    EXPECT_EQ(PermissionSwitch(2), "/ALLOWREMOTECONTROL");
    EXPECT_EQ(PermissionSwitch(3), "/ALLOWREMOTEACTIONS");
}

TEST(Decimal, StrictWholeNumbers)
{
    EXPECT_EQ(DecimalOr("101", 0), 101);
    EXPECT_EQ(DecimalOr("-5", 0), -5);
    EXPECT_EQ(DecimalOr("+7", 0), 7);
    EXPECT_EQ(DecimalOr("", 9), 9);
    EXPECT_EQ(DecimalOr("12a", 9), 9);
    EXPECT_EQ(DecimalOr("99999999999", 9), 9);
    EXPECT_THROW(DecimalOrThrow("abc"), std::invalid_argument);
    EXPECT_EQ(DecimalOrThrow("300"), 300);
}

// ---------------------------------------------------------------------------
// The restart entry
// ---------------------------------------------------------------------------

TEST(RestartEntry, ExecArgumentsAreQuotedAsDesktopEntriesNeed)
{
    EXPECT_EQ(DesktopExecArgument("/usr/bin/orvcustomer"), "/usr/bin/orvcustomer");
    EXPECT_EQ(DesktopExecArgument("/ALLOWVIEWING"), "/ALLOWVIEWING");
    EXPECT_EQ(DesktopExecArgument("/opt/my apps/orv"), "\"/opt/my apps/orv\"");
    EXPECT_EQ(DesktopExecArgument("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(DesktopExecArgument("a$b`c"), "\"a\\$b\\`c\"");
    EXPECT_EQ(DesktopExecArgument("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(DesktopExecArgument("100%"), "100%%");
    EXPECT_EQ(DesktopExecArgument("it's"), "\"it's\"");
    EXPECT_EQ(DesktopExecArgument(""), "\"\"");
    // The string-value escape comes on top: a literal backslash is four in the file.
    EXPECT_EQ(DesktopStringValue(DesktopExecArgument("a\\b")), "\"a\\\\\\\\b\"");
    EXPECT_EQ(DesktopStringValue("a\nb"), "a\\nb");
}

TEST(RestartEntry, ContentStartsTheProgramWithTheThreeWords)
{
    const std::string entry =
        BuildRestartEntry("/home/ann/Remote Support/orvcustomer", {"123456", "202403051425", "/BASIC"});
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(entry.find("\nExec=\"/home/ann/Remote Support/orvcustomer\" 123456 202403051425 /BASIC\n"),
              std::string::npos)
        << entry;
    // Exactly one Exec line.
    EXPECT_EQ(entry.find("Exec="), entry.rfind("Exec="));
}

TEST(RestartEntry, WriteReplacesAndRemoveDeletes)
{
    orvtest::TempDir dir;
    const TorvRestartShortcut shortcut(dir.File("config/autostart/"));
    EXPECT_EQ(shortcut.Folder(), dir.File("config/autostart/"));
    EXPECT_EQ(shortcut.EntryPath(), dir.File("config/autostart/remotesupport.desktop"));
    EXPECT_FALSE(shortcut.Exists());
    EXPECT_TRUE(shortcut.Remove()); // nothing to delete is no failure

    ASSERT_TRUE(shortcut.Write("/bin/orv", {"1", "202403051425", "/BASIC"})); // creates the folders
    ASSERT_TRUE(shortcut.Write("/bin/orv", {"2", "202403051426", "/ALLOWVIEWING"}));
    const std::string text = orvtest::ReadFile(shortcut.EntryPath());
    EXPECT_NE(text.find("Exec=/bin/orv 2 202403051426 /ALLOWVIEWING\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(" 1 "), std::string::npos);
    struct stat st
    {
    };
    ASSERT_EQ(::stat(dir.File("config/autostart").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_TRUE(shortcut.Remove());
    EXPECT_FALSE(shortcut.Exists());
}

TEST(RestartEntry, UnwritableFolderFails)
{
    orvtest::TempDir dir;
    orvtest::WriteFile(dir.File("file"), "x");
    const TorvRestartShortcut blocked(dir.File("file/autostart"));
    EXPECT_FALSE(blocked.Write("/bin/orv", {"1", "2", "/BASIC"}));
}

TEST(RestartEntry, DefaultFolderFollowsXdgConfigHome)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const QByteArray home = qgetenv("HOME");
    qputenv("XDG_CONFIG_HOME", "/tmp/cfg/");
    EXPECT_EQ(DefaultAutostartFolder(), "/tmp/cfg/autostart");
    qputenv("XDG_CONFIG_HOME", "relative/path"); // relative values are ignored
    EXPECT_EQ(DefaultAutostartFolder(), home.toStdString() + "/.config/autostart");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultAutostartFolder(), home.toStdString() + "/.config/autostart");
    if (!saved.isNull())
        qputenv("XDG_CONFIG_HOME", saved);
}

// ---------------------------------------------------------------------------
// The program itself
// ---------------------------------------------------------------------------

// The built program, started with its own autostart folder; empty when it is not built.
QString ProgramPath()
{
    const QString path = QStringLiteral(ORV_BINARY_DIR "/bin/orvcustomer");
    return QFileInfo::exists(path) ? path : QString();
}

// Starts it offscreen, with `config` as its configuration folder.
void StartProgram(QProcess& process, const QString& program, const orvtest::TempDir& config,
                  const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(config.Path()));
    process.setProcessEnvironment(env);
    process.start(program, args);
}

TEST(Program, ExpiredRestartEndsWithoutWindowAndDeletesTheEntry)
{
    const QString program = ProgramPath();
    if (program.isEmpty())
        GTEST_SKIP() << "orvcustomer is not built";
    orvtest::TempDir config;
    const TorvRestartShortcut shortcut(config.File("autostart"));
    ASSERT_TRUE(shortcut.Write(program.toStdString(), {"123456", "200001010000", "/BASIC"}));

    for (const char* time : {"invalid", "200001010000"}) {
        QProcess process;
        StartProgram(process, program, config,
                     {QStringLiteral("123456"), QString::fromLatin1(time), QStringLiteral("/BASIC")});
        ASSERT_TRUE(process.waitForStarted(20000));
        ASSERT_TRUE(process.waitForFinished(60000)) << time;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        EXPECT_FALSE(shortcut.Exists());
    }
}

TEST(Program, TerminationSignalClosesTheWindowInOrder)
{
    const QString built = ProgramPath();
    if (built.isEmpty())
        GTEST_SKIP() << "orvcustomer is not built";
    // A copy of its own, so that its log beside it is this test's alone.
    orvtest::TempDir config;
    const QString program = QString::fromStdString(config.File("orvcustomer"));
    ASSERT_TRUE(QFile::copy(built, program));
    const std::string log = config.File("debug.log");

    QProcess process;
    StartProgram(process, program, config, {});
    ASSERT_TRUE(process.waitForStarted(20000));
    ASSERT_TRUE(orvtest::WaitUntil(
        [&] { return orvtest::ReadFile(log).find("Main form shown") != std::string::npos; },
        std::chrono::seconds(60)));
    process.terminate();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);

    // Start and end in their order, both closing pairs included.
    EXPECT_TRUE(orvtest::LinesInOrder(
        orvtest::ReadFile(log),
        {"Creating main form", "Main form created", "Closing mainform", "Mainform closed", "Closing mainform",
         "Connection thread is being terminated.", "Mainform closed", "Destroying connection thread.",
         "Destroyed connection thread.", "Finalizing debugproc"}));
}

// ---------------------------------------------------------------------------
// Errors that escape a handler
// ---------------------------------------------------------------------------

std::vector<QMessageBox*> ErrorBoxes()
{
    return orvtest::VisibleTopLevels<QMessageBox>();
}

TEST(HandlerGuard, ErrorIsLoggedAndShownOnceAndTheProgramGoesOn)
{
    TLogCapture log;
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Remote support"));
    EXPECT_TRUE(orvDeliverGuarded("test", [] { return true; }));
    EXPECT_TRUE(ErrorBoxes().empty());

    EXPECT_FALSE(orvDeliverGuarded("TfrmCustomer.MainTimerTimer", []() -> bool {
        throw std::invalid_argument("'zz' is not a valid integer value");
    }));
    std::vector<QMessageBox*> boxes = ErrorBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]->text(), QStringLiteral("'zz' is not a valid integer value"));
    EXPECT_EQ(boxes[0]->windowTitle(), QStringLiteral("Remote support"));
    // Modal for the user, yet the failed handler has already returned.
    EXPECT_EQ(boxes[0]->windowModality(), Qt::ApplicationModal);
    EXPECT_NE(
        log.Text().find("Unhandled error in TfrmCustomer.MainTimerTimer: 'zz' is not a valid integer value"),
        std::string::npos);

    // While one is open, a repeated failure is only logged.
    orvGuarded("again", [] { throw 42; });
    EXPECT_EQ(ErrorBoxes().size(), 1u);
    EXPECT_NE(log.Text().find("Unhandled error in again: Unknown error"), std::string::npos);

    QPointer<QMessageBox> box = boxes[0];
    box->close(); // closing frees it
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.isNull(); }, 20000));
    orvGuarded("once more", [] { throw std::runtime_error("left open"); });
    EXPECT_EQ(ErrorBoxes().size(), 1u);
    orvCloseErrorReports();
    EXPECT_TRUE(ErrorBoxes().empty());
}

} // namespace
