// The unhandled-error report on the offscreen platform: what it shows and
// collects, its details area, copying, sending, and one report at a time.
#include "lib/kelExceptionHandler.h"
#include "lib/kelMail.h"
#include "lib/orvConnections.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support_qt/SessionFixture.h"

#include "orvVersion.h"

#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

using namespace orvtest;

namespace {

class TRecordingMail final : public TKelMailClient
{
public:
    void Compose(const TKelMail& mail, TDone done) override
    {
        if (!Refusal.empty())
            throw EorvException(Refusal);
        Mails.push_back(mail);
        Done = std::move(done);
    }

    std::vector<TKelMail> Mails;
    TDone Done;
    std::string Refusal; // raised by Compose when set
};

[[gnu::noinline]] void RaiseDiskFull()
{
    throw std::runtime_error("Disk is full");
}

std::vector<std::string> Lines(const std::string& crLfText)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = crLfText.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(crLfText.substr(start, end - start));
    return lines;
}

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& prefix)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0)
            return i;
    return lines.size();
}

const std::string kDelimiter(78, '-');

std::vector<QMessageBox*> StandardBoxes()
{
    return VisibleTopLevels<QMessageBox>();
}

void CloseAllWindows()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        w->close();
    QApplication::processEvents();
}

class ExceptDlgTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CloseAllWindows();
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Remote support"));
        auto mail = std::make_unique<TRecordingMail>();
        FMail = mail.get();
        FDlgUnit = std::make_unique<TKelExceptDlgUnit>();
        FUnit = std::make_unique<TKelExceptionHandlerUnit>(TKelReportSettings{"help@example.test"},
                                                           std::move(mail));
    }

    void TearDown() override
    {
        FUnit.reset();
        FDlgUnit.reset();
        orvCloseErrorReports();
        QGuiApplication::clipboard()->clear();
    }

    TKelExceptionDialog* Report() { return FUnit->Handler().CurrentDialog(); }

    // Raises the error from a handler and waits until its report is complete.
    template <typename F> TKelExceptionDialog& Raise(F&& thrower, const char* where = "Test.Handler")
    {
        orvGuarded(where, std::forward<F>(thrower));
        TKelExceptionDialog* dialog = Report();
        EXPECT_NE(dialog, nullptr);
        if (!dialog)
            throw std::runtime_error("no report");
        EXPECT_TRUE(WaitFor([&] { return dialog->btnOk->isEnabled(); }));
        return *dialog;
    }

    TLogCapture FLog; // first in, last out: it sees the units end
    TRecordingMail* FMail = nullptr;
    std::unique_ptr<TKelExceptDlgUnit> FDlgUnit;
    std::unique_ptr<TKelExceptionHandlerUnit> FUnit;
};

// ---------------------------------------------------------------------------
// What the report shows and collects
// ---------------------------------------------------------------------------

TEST_F(ExceptDlgTest, AnErrorFromAHandlerOpensTheReportWhichCollectsItsDetailsAfterShowing)
{
    QWidget window;
    window.setObjectName(QStringLiteral("frmFocus"));
    auto* edit = new QLineEdit(&window);
    edit->setObjectName(QStringLiteral("edtName"));
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    edit->setFocus();
    ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == edit; }));

    orvGuarded("Test.DiskFull", RaiseDiskFull);
    TKelExceptionDialog* dialog = Report();
    ASSERT_NE(dialog, nullptr);
    // Shown at once with the message; the details follow.
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Remote support - Application error"));
    EXPECT_TRUE(dialog->LblGenerateReport->isVisible());
    EXPECT_EQ(dialog->LblGenerateReport->text(), QStringLiteral("Writing error log, please wait..."));
    EXPECT_FALSE(dialog->btnOk->isEnabled());
    EXPECT_FALSE(dialog->btnDetails->isEnabled());
    EXPECT_FALSE(dialog->BtnSend->isEnabled());
    EXPECT_EQ(dialog->MessageText().rfind(
                  "An unexpected error occurred: \r\nDisk is full.\r\n\r\nYou can continue", 0),
              0u);
    EXPECT_EQ(dialog->TextLabel->toPlainText().toStdString().rfind(
                  "An unexpected error occurred: \nDisk is full.\n", 0),
              0u);

    ASSERT_TRUE(WaitFor([&] { return dialog->btnOk->isEnabled(); }));
    EXPECT_FALSE(dialog->LblGenerateReport->isVisible());
    EXPECT_TRUE(dialog->btnDetails->isEnabled());
    EXPECT_TRUE(dialog->BtnSend->isEnabled());
    EXPECT_EQ(dialog->focusWidget(), dialog->btnOk);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    const std::vector<std::string> lines = Lines(dialog->DetailsText());
    ASSERT_GT(lines.size(), 12u);
    EXPECT_EQ(lines[0], "Exception class: std::runtime_error");
    EXPECT_EQ(lines[1].rfind("Exception address: ", 0), 0u);
    EXPECT_NE(lines[1], "Exception address: 00000000");
    EXPECT_EQ(lines[2], ORV_FILE_VERSION);
    EXPECT_EQ(lines[3].rfind("Instance address: ", 0), 0u);
    EXPECT_EQ(lines[5], kDelimiter);

    // The stack of the throw, the thrower first.
    EXPECT_EQ(lines[6].rfind("Stack list, generated ", 0), 0u);
    EXPECT_NE(lines[7].find("RaiseDiskFull"), std::string::npos) << lines[7];
    EXPECT_NE(lines[7].find("\"qt_exceptdlg.cpp\""), std::string::npos) << lines[7];

    const std::size_t system = IndexOf(lines, "System   : ");
    ASSERT_LT(system + 4, lines.size());
    EXPECT_EQ(lines[system - 1], kDelimiter);
    EXPECT_EQ(lines[system + 1].rfind("Processor: ", 0), 0u);
    EXPECT_EQ(lines[system + 2].rfind("Total physical memory: ", 0), 0u);
    EXPECT_EQ(lines[system + 3].rfind("Display  : ", 0), 0u);
    EXPECT_EQ(lines[system + 4], kDelimiter);

    // Modules in ascending address order, each followed by its version line.
    const std::size_t modules = IndexOf(lines, "List of loaded modules:");
    ASSERT_EQ(modules, system + 5);
    std::uintptr_t previous = 0;
    std::size_t i = modules + 1, count = 0;
    for (; i < lines.size() && lines[i].rfind("[", 0) == 0; ++count) {
        const std::uintptr_t address = std::strtoull(lines[i].c_str() + 1, nullptr, 16);
        EXPECT_GT(address, previous) << lines[i];
        previous = address;
        ++i;
        ASSERT_LT(i, lines.size());
        EXPECT_TRUE(lines[i].rfind(std::string(11, ' '), 0) == 0 || lines[i].rfind("<", 0) == 0) << lines[i];
        while (i < lines.size() && lines[i].rfind(std::string(11, ' '), 0) == 0)
            ++i;
    }
    EXPECT_GT(count, 5u);
    ASSERT_LT(i + 3, lines.size());
    EXPECT_EQ(lines[i], kDelimiter);

    // The control that had the focus, up to its window.
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1, lines.end()),
              (std::vector<std::string>{"Active Controls hiearchy:", "QLineEdit \"edtName\"",
                                        "QWidget \"frmFocus\"", kDelimiter}));

    EXPECT_TRUE(FLog.Has("Unhandled error in Test.DiskFull: Disk is full"));
    EXPECT_NE(FLog.Text().find("error: \"Exception class: std::runtime_error\r\n"), std::string::npos);
    EXPECT_NE(FLog.Text().find("Active Controls hiearchy:"), std::string::npos);

    // OK closes it and the program goes on.
    QPointer<TKelExceptionDialog> closing = dialog;
    dialog->btnOk->click();
    EXPECT_TRUE(WaitFor([&] { return closing.isNull(); }));
    EXPECT_EQ(Report(), nullptr);
}

TEST_F(ExceptDlgTest, MessageFullStopAndSectionsThatAreLeftOut)
{
    // Nothing has the focus, and the error was raised while nothing recorded stacks.
    orvSetExceptionTracking(false);
    TKelExceptionDialog& dialog = Raise([] { throw EorvException("Connection lost."); });
    orvSetExceptionTracking(true);

    EXPECT_EQ(dialog.MessageText().rfind("An unexpected error occurred: \r\nConnection lost.\r\n\r\n", 0),
              0u);
    const std::vector<std::string> lines = Lines(dialog.DetailsText());
    EXPECT_EQ(lines[0], "Exception class: EorvException");
    EXPECT_EQ(lines[1], "Exception address: 00000000");
    EXPECT_EQ(IndexOf(lines, "Stack list"), lines.size());
    EXPECT_EQ(IndexOf(lines, "Active Controls"), lines.size());
    // Each present section ends with one delimiter, and no delimiter stands alone.
    const std::size_t system = IndexOf(lines, "System   : ");
    ASSERT_LT(system, lines.size());
    EXPECT_EQ(lines[system - 1], kDelimiter);
    EXPECT_NE(lines[system - 2], kDelimiter);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kDelimiter), 3);
    EXPECT_EQ(lines.back(), kDelimiter);
}

TEST_F(ExceptDlgTest, TheMessageGetsAScrollBarOnlyWhenItsLinesDoNotFit)
{
    TKelExceptionDialog& small = Raise([] { throw EorvException("Short"); });
    EXPECT_EQ(small.TextLabel->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    small.btnOk->click();
    QApplication::processEvents();

    std::string tall;
    for (int i = 0; i < 30; ++i)
        tall += "line " + std::to_string(i) + "\n";
    TKelExceptionDialog& large = Raise([&] { throw EorvException(tall); });
    EXPECT_EQ(large.TextLabel->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

// ---------------------------------------------------------------------------
// Details area, copying
// ---------------------------------------------------------------------------

TEST_F(ExceptDlgTest, DetailsCollapseAndExpandWithTheButtonsCaption)
{
    TKelExceptionDialog& dialog = Raise(RaiseDiskFull);
    EXPECT_FALSE(dialog.DetailsShown());
    EXPECT_EQ(dialog.btnDetails->text(), QStringLiteral("&Information >>"));
    EXPECT_EQ(dialog.height(), 151);
    EXPECT_EQ(dialog.minimumHeight(), 151);
    EXPECT_EQ(dialog.maximumHeight(), 151);
    EXPECT_FALSE(dialog.MemoDetails->isEnabled());

    dialog.btnDetails->click();
    EXPECT_TRUE(dialog.DetailsShown());
    EXPECT_EQ(dialog.btnDetails->text(), QStringLiteral("<< &Information"));
    EXPECT_TRUE(WaitFor([&] { return dialog.height() == 379; })) << dialog.height();
    EXPECT_EQ(dialog.minimumHeight(), 251);
    EXPECT_TRUE(dialog.MemoDetails->isEnabled());
    EXPECT_TRUE(dialog.MemoDetails->isVisible());
    EXPECT_EQ(dialog.MemoDetails->geometry().bottom() + 1, 379 - 3);

    // A taller window is remembered for the next expansion.
    dialog.resize(dialog.width(), 420);
    ASSERT_TRUE(WaitFor([&] { return dialog.height() == 420; }));
    dialog.btnDetails->click();
    EXPECT_EQ(dialog.btnDetails->text(), QStringLiteral("&Information >>"));
    EXPECT_TRUE(WaitFor([&] { return dialog.height() == 151; }));
    EXPECT_FALSE(dialog.MemoDetails->isEnabled());
    dialog.btnDetails->click();
    EXPECT_TRUE(WaitFor([&] { return dialog.height() == 420; }));
}

TEST_F(ExceptDlgTest, CtrlCAnywhereAndCopyGiveTheSameReport)
{
    TKelExceptionDialog& dialog = Raise(RaiseDiskFull);
    dialog.btnDetails->click();
    QTest::keyClicks(dialog.MemoComments, QStringLiteral("It broke while saving"));
    QClipboard* clipboard = QGuiApplication::clipboard();

    // The comments box would copy its own selection; the dialog sees the key first.
    dialog.MemoComments->selectAll();
    QTest::keyClick(dialog.MemoComments, Qt::Key_C, Qt::ControlModifier);
    const QString byKey = clipboard->text();
    EXPECT_EQ(byKey, QString::fromLocal8Bit(dialog.ReportAsText()));
    EXPECT_TRUE(
        byKey.contains(QStringLiteral("\r\nUser comments: \r\nIt broke while saving\r\n\r\nDetails: \r\n"
                                      "Exception class: std::runtime_error\r\n")));
    EXPECT_TRUE(byKey.startsWith(QStringLiteral("An unexpected error occurred: \r\nDisk is full.")));

    clipboard->clear();
    QTest::keyClick(dialog.MemoDetails, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard->text(), byKey);
    clipboard->clear();
    dialog.BtnCopy->click();
    EXPECT_EQ(clipboard->text(), byKey);
}

// ---------------------------------------------------------------------------
// One report at a time
// ---------------------------------------------------------------------------

TEST_F(ExceptDlgTest, ASecondErrorGoesToTheStandardBoxAndTheNextAfterClosingOpensANewReport)
{
    TKelExceptionDialog& first = Raise(RaiseDiskFull);
    QPointer<TKelExceptionDialog> firstReport = &first;

    orvGuarded("Test.Second", [] { throw std::logic_error("Second failure"); });
    EXPECT_EQ(Report(), firstReport.data());
    std::vector<QMessageBox*> boxes = StandardBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]->text(), QStringLiteral("Second failure"));
    EXPECT_EQ(boxes[0]->windowTitle(), QStringLiteral("Remote support"));
    EXPECT_EQ(boxes[0]->windowModality(), Qt::ApplicationModal);
    // A third while the box is open is only logged.
    orvGuarded("Test.Third", [] { throw std::logic_error("Third failure"); });
    EXPECT_EQ(StandardBoxes().size(), 1u);
    EXPECT_TRUE(FLog.Has("Unhandled error in Test.Third: Third failure"));

    boxes[0]->close();
    first.btnOk->click();
    ASSERT_TRUE(WaitFor([&] { return firstReport.isNull(); }));

    TKelExceptionDialog& next = Raise([] { throw std::runtime_error("Fourth failure"); });
    EXPECT_EQ(next.MessageText().rfind("An unexpected error occurred: \r\nFourth failure.", 0), 0u);
    EXPECT_EQ(Lines(next.DetailsText()).front(), "Exception class: std::runtime_error");
    EXPECT_TRUE(StandardBoxes().empty());
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

TEST_F(ExceptDlgTest, SendHandsRecipientSubjectAndBodyToTheMailProgram)
{
    TKelExceptionDialog& dialog = Raise(RaiseDiskFull);
    dialog.btnDetails->click();
    QTest::keyClicks(dialog.MemoComments, QStringLiteral("first"));
    QTest::keyClick(dialog.MemoComments, Qt::Key_Return);
    QTest::keyClicks(dialog.MemoComments, QStringLiteral("second"));

    dialog.BtnSend->click();
    ASSERT_EQ(FMail->Mails.size(), 1u);
    const TKelMail& mail = FMail->Mails[0];
    EXPECT_EQ(mail.Recipient, "help@example.test");
    EXPECT_EQ(mail.Subject, "Orvalis Bugreport");
    EXPECT_EQ(mail.Body, "Orvalis Bugreport\r\n\r\n" + dialog.DetailsText() +
                             "\r\n\r\nUser comments: \r\nfirst\r\nsecond\r\n");
    // Send waits for the mail program's answer.
    EXPECT_FALSE(dialog.BtnSend->isEnabled());
    FMail->Done("");
    EXPECT_TRUE(dialog.BtnSend->isEnabled());
    EXPECT_TRUE(StandardBoxes().empty());
}

TEST_F(ExceptDlgTest, AFailingMailProgramIsShownInTheStandardBoxAndTheReportStays)
{
    TKelExceptionDialog& dialog = Raise(RaiseDiskFull);
    QPointer<TKelExceptionDialog> report = &dialog;

    dialog.BtnSend->click();
    FMail->Done("Unable to send the error report: xdg-email ended with code 3 (no mail program was found)");
    ASSERT_EQ(StandardBoxes().size(), 1u);
    EXPECT_EQ(
        StandardBoxes()[0]->text(),
        QStringLiteral(
            "Unable to send the error report: xdg-email ended with code 3 (no mail program was found)"));
    EXPECT_TRUE(dialog.BtnSend->isEnabled());
    EXPECT_EQ(Report(), report.data());
    EXPECT_TRUE(dialog.isVisible());
    StandardBoxes()[0]->close();

    FMail->Refusal = "Unable to send the error report: xdg-email was not found (package xdg-utils)";
    dialog.BtnSend->click();
    ASSERT_TRUE(WaitFor([] { return StandardBoxes().size() == 1; }));
    EXPECT_EQ(StandardBoxes()[0]->text(), QString::fromStdString(FMail->Refusal));
    EXPECT_TRUE(dialog.BtnSend->isEnabled());
    EXPECT_FALSE(report.isNull());
}

TEST(XdgEmail, ArgumentsAndExitCodesOfXdgEmail)
{
    TempDir dir;
    const std::string script = dir.File("xdg-email");
    WriteFile(script, "#!/bin/sh\n"
                      "for a in \"$@\"; do printf '%s\\n--\\n' \"$a\"; done > \"$FAKE_MAIL_ARGS\"\n"
                      "exit \"${FAKE_MAIL_EXIT:-0}\"\n");
    ::chmod(script.c_str(), 0700);
    TScopedEnv path("PATH", dir.Path() + ":" + std::getenv("PATH"));
    TScopedEnv args("FAKE_MAIL_ARGS", dir.File("args.txt"));

    TKelXdgEmail mail;
    std::optional<std::string> result;
    mail.Compose({"help@example.test", "Orvalis Bugreport", "Body\r\nline 2"},
                 [&](const std::string& failure) { result = failure; });
    ASSERT_TRUE(WaitFor([&] { return result.has_value(); }));
    EXPECT_EQ(*result, "");
    // Line ends go as LF: xdg-email makes them CR LF in the mail.
    EXPECT_EQ(ReadFile(dir.File("args.txt")), "--utf8\n--\n--subject\n--\nOrvalis Bugreport\n--\n--body\n--\n"
                                              "Body\nline 2\n--\nhelp@example.test\n--\n");

    TScopedEnv code("FAKE_MAIL_EXIT", "3");
    result.reset();
    mail.Compose({"help@example.test", "S", "B"}, [&](const std::string& failure) { result = failure; });
    ASSERT_TRUE(WaitFor([&] { return result.has_value(); }));
    EXPECT_EQ(*result,
              "Unable to send the error report: xdg-email ended with code 3 (no mail program was found)");

    TScopedEnv nowhere("PATH", dir.File("empty"));
    EXPECT_THROW(mail.Compose({"a", "b", "c"}, [](const std::string&) {}), EorvException);
}

// ---------------------------------------------------------------------------
// Program start and end
// ---------------------------------------------------------------------------

TEST_F(ExceptDlgTest, TheUnitsLogTheirEndAndLeaveErrorsToTheStandardBox)
{
    Raise(RaiseDiskFull); // open while the program ends
    FUnit.reset();
    FDlgUnit.reset();
    EXPECT_TRUE(FLog.InOrder({"Finalizing orvExecptionHandler", "Finalizing orvExecptionHandler ended",
                              "Finalizing orvExecptDlg", "Finalizing orvExecptDlg ended"}));
    EXPECT_FALSE(orvExceptionTracking());

    orvGuarded("Test.AfterEnd", [] { throw std::runtime_error("After the end"); });
    ASSERT_EQ(StandardBoxes().size(), 1u);
    EXPECT_EQ(StandardBoxes()[0]->text(), QStringLiteral("After the end"));
}

// The main window's hidden key raises an error for trying the report by hand.
class MainformErrorTest : public MainformTest
{
protected:
    void SetUp() override
    {
        MainformTest::SetUp();
        FDlgUnit = std::make_unique<TKelExceptDlgUnit>();
        FUnit = std::make_unique<TKelExceptionHandlerUnit>(TKelReportSettings{"help@example.test"},
                                                           std::make_unique<TRecordingMail>());
    }
    void TearDown() override
    {
        FUnit.reset();
        FDlgUnit.reset();
        MainformTest::TearDown();
    }

    std::unique_ptr<TKelExceptDlgUnit> FDlgUnit;
    std::unique_ptr<TKelExceptionHandlerUnit> FUnit;
};

TEST_F(MainformErrorTest, CtrlShiftF12RaisesATestErrorIntoTheReport)
{
    TfrmCustomer& form = Open();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_F12, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(WaitFor([&] { return FUnit->Handler().CurrentDialog() != nullptr; }));
    TKelExceptionDialog* dialog = FUnit->Handler().CurrentDialog();
    ASSERT_TRUE(WaitFor([&] { return dialog->btnOk->isEnabled(); }));
    EXPECT_EQ(dialog->MessageText().rfind(
                  "An unexpected error occurred: \r\nTest error raised with Ctrl+Shift+F12.", 0),
              0u);
    EXPECT_NE(dialog->DetailsText().find("TfrmCustomer::RaiseTestError"), std::string::npos);
    EXPECT_NE(dialog->DetailsText().find("Active Controls hiearchy:"), std::string::npos);
}

} // namespace
