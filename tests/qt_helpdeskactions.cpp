// The helpdesk's requests for this computer, carried out by the window on a
// recorded desktop: the acknowledgement before each action, opening files,
// settings and printers, the key strings, restart and log-off with the
// restart entry, and the program coming back into the same session.

#include "customer/RestartShortcut.h"
#include "lib/orvHelpdeskActions.h"
#include "lib/orvSessionReceipt.h"
#include "tests/support_qt/SessionFixture.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include <fstream>
#include <regex>

using namespace orvtest;

namespace {

std::size_t CountOf(THelpdesk& helpdesk, const std::string& text)
{
    const std::vector<std::string> got = helpdesk.Received();
    return static_cast<std::size_t>(std::count(got.begin(), got.end(), text));
}

// Blocks the GUI thread, as the window does while it acts, until the helpdesk
// has the text (count times); so it proves the text left before the action.
bool ArrivedBefore(THelpdesk& helpdesk, const std::string& text, std::size_t count = 1)
{
    return WaitUntil([&] { return CountOf(helpdesk, text) >= count; });
}

class HelpdeskActionsTest : public SessionTest
{
protected:
    // Records, for each action the desktop sees, whether the helpdesk already
    // had the acknowledgement of its code.
    void ExpectAcknowledgedFirst(THelpdesk& helpdesk)
    {
        FDesktop->OnEvent = [this, &helpdesk](const std::string& event) {
            if (!FAwaited.empty() && !ArrivedBefore(helpdesk, FAwaited, FAwaitedCount))
                ADD_FAILURE() << event << " came before " << FAwaited;
        };
    }
    // Sends a command and waits until the desktop has seen count more events.
    void Request(THelpdesk& helpdesk, const std::string& command, std::size_t count)
    {
        const std::size_t before = FDesktop->Events().size();
        FAwaited = "100:" + command.substr(0, command.find(':'));
        FAwaitedCount = CountOf(helpdesk, FAwaited) + 1;
        helpdesk.Send(command);
        EXPECT_TRUE(WaitFor([&] { return FDesktop->Events().size() >= before + count; }))
            << command << ": " << ::testing::PrintToString(FDesktop->Events());
    }
    std::vector<std::string> EventsFrom(std::size_t first) const
    {
        const std::vector<std::string> all = FDesktop->Events();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
    }

    std::string FAwaited;
    std::size_t FAwaitedCount = 0;
};

TEST_F(HelpdeskActionsTest, EachRequestIsAcknowledgedBeforeItIsCarriedOut)
{
    Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    ExpectAcknowledgedFirst(helpdesk);
    FDesktop->Install("systemsettings");
    FDesktop->Install("lxqt-config");
    const TempDir folder;

    // A folder opens with the desktop's handler.
    Request(helpdesk, "101:" + folder.Path(), 1);
    EXPECT_EQ(FDesktop->Events().back(), "spawn xdg-open " + folder.Path());
    Request(helpdesk, "101:https://example.org/help", 1);
    EXPECT_EQ(FDesktop->Events().back(), "spawn xdg-open https://example.org/help");

    // The first settings program the desktop has.
    Request(helpdesk, "102:", 1);
    EXPECT_EQ(FDesktop->Events().back(), "spawn /usr/bin/systemsettings");

    // Without the printer tool, the print server's page.
    FDesktop->Install("xdg-open");
    Request(helpdesk, "103:", 1);
    EXPECT_EQ(FDesktop->Events().back(), "spawn /usr/bin/xdg-open http://localhost:631/printers");
    FDesktop->Install("system-config-printer");
    Request(helpdesk, "103:", 1);
    EXPECT_EQ(FDesktop->Events().back(), "spawn /usr/bin/system-config-printer");

    // Ctrl+Alt+Del: Ctrl and Alt stay down over the group, Delete inside it.
    std::size_t first = FDesktop->Events().size();
    Request(helpdesk, "107:", 6);
    EXPECT_EQ(EventsFrom(first), (std::vector<std::string>{"key 17 down", "key 18 down", "key 46 down",
                                                           "key 46 up", "key 17 up", "key 18 up"}));
    first = FDesktop->Events().size();
    Request(helpdesk, "108:", 2);
    EXPECT_EQ(EventsFrom(first), (std::vector<std::string>{"key 91 down", "key 91 up"}));

    // Each was acknowledged exactly once, and nothing else was said.
    helpdesk.Send("999:");
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:999:"); }));
    EXPECT_EQ(helpdesk.Received(), (std::vector<std::string>{"100:101", "100:101", "100:102", "100:103",
                                                             "100:103", "100:107", "100:108", "20:999:"}));
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());
}

TEST_F(HelpdeskActionsTest, WhatCannotBeDoneIsAcknowledgedAndNothingMore)
{
    Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());

    // A missing file, and a desktop without settings or printer programs.
    helpdesk.Send("101:/nonexistent/orvalis/report.txt");
    helpdesk.Send("102:");
    helpdesk.Send("103:");
    helpdesk.Send("999:");
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:999:"); }));
    EXPECT_EQ(helpdesk.Received(), (std::vector<std::string>{"100:101", "100:102", "100:103", "20:999:"}));
    EXPECT_TRUE(FDesktop->Events().empty()) << ::testing::PrintToString(FDesktop->Events());
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());
    EXPECT_TRUE(Form().isVisible());
}

TEST_F(HelpdeskActionsTest, RestartWithAnUnwritableStartupFolderStillRestarts)
{
    WriteFile(FDir.File("blocked"), "");
    FEnv.AutostartFolder = FDir.File("blocked/autostart");
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    FDesktop->OnEvent = [&](const std::string& event) {
        if (event == "reboot") {
            EXPECT_TRUE(ArrivedBefore(helpdesk, "106:400"));
        }
    };

    helpdesk.Send("104:");
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(FDesktop->Events(), std::vector<std::string>{"reboot"});
    // The window's own closing ends the session as it always does.
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("106:300"); }))
        << ::testing::PrintToString(helpdesk.Received());
    const std::vector<std::string> said = helpdesk.Received();
    ASSERT_GE(said.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{said[0], said[1], said[2]}),
              (std::vector<std::string>{"100:104", "106:400", "106:300"}));
    EXPECT_EQ(form.Connection(), nullptr);
}

TEST_F(HelpdeskActionsTest, RefusedRestartClosesAllTheSameAndLeavesTheEntry)
{
    FDesktop->SetAllowed(false);
    TfrmCustomer& form = Open({"/ALLOWREMOTECONTROL"});
    const int code = ConnectAndRegister();
    THelpdesk& helpdesk = JoinHelpdesk(code);
    helpdesk.Send("104:");
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(FDesktop->Events(), std::vector<std::string>{"reboot"});
    EXPECT_FALSE(helpdesk.HasReceived("106:400"));

    const TorvRestartShortcut shortcut(FEnv.AutostartFolder);
    const std::string entry = ReadFile(shortcut.EntryPath());
    const std::regex exec("\nExec=\"/opt/Orvalis Remote/orvcustomer\" " + std::to_string(code) +
                          " [0-9]{12} /ALLOWREMOTECONTROL\n");
    EXPECT_TRUE(std::regex_search(entry, exec)) << entry;
}

TEST_F(HelpdeskActionsTest, LogOffLeavesShowsTheMessageWaitsAndLogsOff)
{
    TLogCapture log;
    TfrmCustomer& form = Open();
    const int code = ConnectAndRegister();
    THelpdesk& helpdesk = JoinHelpdesk(code);
    bool messageShownDuringPause = false;
    bool leftBeforePause = false;
    const std::regex left("customer #[0-9]+ \\(session " + std::to_string(code) + "\\) left");
    FDesktop->OnEvent = [&](const std::string& event) {
        if (event.starts_with("pause")) {
            messageShownDuringPause = DialogShown(orvHelpdeskActionText::LoggedOff);
            leftBeforePause = WaitUntil([&] { return std::regex_search(FGateway->ErrorOutput(), left); });
        }
    };

    // At level 0, and without a question.
    helpdesk.Send("105:");
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(FDesktop->Events(), (std::vector<std::string>{"pause 5000", "logoff"}));
    EXPECT_TRUE(messageShownDuringPause);
    EXPECT_TRUE(leftBeforePause) << FGateway->ErrorOutput();
    EXPECT_FALSE(DialogShown(orvCustomerText::AskLogOff));
    ASSERT_TRUE(WaitFor([&] { return !helpdesk.Received().empty(); }));
    EXPECT_EQ(helpdesk.Received().front(), "100:105");
    EXPECT_TRUE(ReadFile(TorvRestartShortcut(FEnv.AutostartFolder).EntryPath()).find("Exec=") !=
                std::string::npos);
    // The entry was written first, and the window closed after the log-off.
    EXPECT_TRUE(log.InOrder({"Creating shelllink.", "Logging the user off", "Closing mainform"}));
}

TEST_F(HelpdeskActionsTest, TheLogOffWaitKeepsThePaintingButNotTheCommands)
{
    FEnv.PauseGuiThread = nullptr; // the real five seconds
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    const auto start = std::chrono::steady_clock::now();
    bool looked = false;
    // Fires inside the wait: events are served, the message shows, commands wait.
    QTimer::singleShot(2500, &form, [&] {
        looked = true;
        EXPECT_TRUE(DialogShown(orvHelpdeskActionText::LoggedOff));
        EXPECT_FALSE(form.MainTimer->isActive());
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(FDesktop->Events().empty());
    });
    helpdesk.Send("105:");
    helpdesk.Send("999:");
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_TRUE(looked);
    EXPECT_GE(std::chrono::steady_clock::now() - start, orvLogOffMessageTime);
    EXPECT_EQ(FDesktop->Events(), std::vector<std::string>{"logoff"});
    EXPECT_FALSE(helpdesk.HasReceived("20:999:"));
}

// ---------------------------------------------------------------------------
// Restart and rejoin, with the built programs
// ---------------------------------------------------------------------------

// The Exec line of a desktop entry, split into its words (quotes removed).
QStringList ExecWords(const std::string& entry)
{
    const std::size_t start = entry.find("\nExec=");
    if (start == std::string::npos)
        return {};
    const std::string line = entry.substr(start + 6, entry.find('\n', start + 1) - start - 6);
    QStringList words;
    QString word;
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ' ' && !quoted) {
            words << word;
            word.clear();
        } else {
            word += QLatin1Char(c);
        }
    }
    words << word;
    return words;
}

TEST_F(HelpdeskActionsTest, AfterARestartTheProgramRejoinsTheSameSession)
{
    const QString customer = BuiltProgram("orvcustomer");
    const QString console = BuiltProgram("orvhelpdesk");
    if (customer.isEmpty() || console.isEmpty())
        GTEST_SKIP() << "orvcustomer or orvhelpdesk is not built";
    // The restarted program: a copy with the same settings beside it.
    const TempDir home;
    const QString copy = QString::fromStdString(home.File("orvcustomer"));
    ASSERT_TRUE(QFile::copy(customer, copy));
    WriteFile(home.File("orvcustomer.ini"), ReadFile(FEnv.SettingsFile));
    FEnv.ExecutablePath = copy.toStdString();

    TfrmCustomer& form = Open();
    const int code = ConnectAndRegister();
    TConsole helpdesk(console, FEnv.SettingsFile, code);
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep3); }, 60000)) << helpdesk.Output();

    // The console asks; the customer agrees.
    helpdesk.Type("restart\n");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::AskRestart); })) << helpdesk.Output();
    DialogWith(orvCustomerText::AskRestart)->btnYes->click();
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(FDesktop->Events(), std::vector<std::string>{"reboot"});
    // The receipt on disk says so before the machine goes down.
    const std::string receipt = ReadFile(form.SessionReceipt()->FilePath());
    for (const char* text :
         {"You allowed the helpdesk to restart your computer (you answered Yes).",
          "The helpdesk restarted your computer.", "The session ended for the restart of your computer."})
        EXPECT_NE(receipt.find(text), std::string::npos) << text << "\n" << receipt;
    ASSERT_TRUE(WaitFor([&] { return helpdesk.Count("waiting for the customer to come back") == 1; }, 60000))
        << helpdesk.Output();

    // The next log-on runs the entry's command line.
    const QStringList words = ExecWords(ReadFile(TorvRestartShortcut(FEnv.AutostartFolder).EntryPath()));
    ASSERT_EQ(words.size(), 4) << words.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(words[0], copy);
    EXPECT_EQ(words[1].toInt(), code);
    QProcess restarted;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(home.Path()));
    env.insert(QString::fromLatin1(orvNoSessionActionsVariable), QStringLiteral("1"));
    restarted.setProcessEnvironment(env);
    restarted.start(words[0], words.mid(1));
    ASSERT_TRUE(restarted.waitForStarted(20000));

    // The console finds the customer under the code it knows.
    EXPECT_TRUE(WaitFor([&] { return helpdesk.Count("scsTotallyConnected") == 2; }, 120000))
        << helpdesk.Output();
    restarted.terminate();
    EXPECT_TRUE(restarted.waitForFinished(60000));
}

} // namespace
