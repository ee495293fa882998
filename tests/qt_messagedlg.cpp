// The message dialog on the offscreen platform: layout rules, answers and
// ownership. With ORV_RENDER_DIR set, MessageDlgRender saves a picture of
// every kind of dialog there (scripts/render-dialogs).
#include "lib/orvMessageDlg.h"

#include "lib/debugProc.h"
#include "tests/support/TestUtil.h"
#include "tests/support_qt/QtTestUtil.h"

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

const std::string kShort = "Helpdesk has logged you off.";
const std::string kLong =
    "Your computer is not able to connect to Orvalis gateway. Please check that your computer's firewall "
    "does "
    "not prevent connection and that your network connection is otherwise ok. It is possible that your "
    "application version is too old. You can check for new update by pressing \"check for update\" link.";

struct TAnswer
{
    TMessageDlg* Dialog;
    int Answer;
    int Kind;
    std::string Command;
};

// Records every answer with what the dialog carried at that moment.
struct TRecorder
{
    std::vector<TAnswer> Answers;
    TMessageDlgAnswerProc Proc()
    {
        return [this](TMessageDlg& dialog, int answer) {
            Answers.push_back(TAnswer{&dialog, answer, dialog.Kind, dialog.Command});
        };
    }
};

template <typename T> T* Child(QWidget* dialog, const char* name)
{
    T* child = dialog->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

QPushButton* Button(QWidget* dialog, const char* name)
{
    return Child<QPushButton>(dialog, name);
}

int TextWidth(QWidget* dialog, const std::string& text)
{
    return QFontMetrics(Child<QLabel>(dialog, "lblMessage")->font())
        .horizontalAdvance(QString::fromStdString(text));
}

// The message dialogs that are open now.
std::vector<TMessageDlg*> VisibleDialogs()
{
    return orvtest::VisibleTopLevels<TMessageDlg>();
}

class MessageDlgTest : public ::testing::Test
{
protected:
    void SetUp() override { QGuiApplication::setApplicationDisplayName(QStringLiteral("Remote support")); }
    // Leave no dialog open for the next test; the hidden ones go with the application.
    void TearDown() override
    {
        for (TMessageDlg* dialog : VisibleDialogs())
            dialog->hide();
    }
};

TEST_F(MessageDlgTest, EmptyTextShowsNothing)
{
    const size_t before = QApplication::topLevelWidgets().size();
    ShowMessageText("");
    TRecorder recorder;
    EXPECT_EQ(ShowQuestion("", mdbYesNo, recorder.Proc()), nullptr);
    EXPECT_EQ(ShowCommandQuestion("", mdbYesNo, 1, "105:", recorder.Proc()), nullptr);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), before);
    EXPECT_TRUE(VisibleDialogs().empty());
}

TEST_F(MessageDlgTest, ShortMessageIsNarrowWithOKCentred)
{
    ShowMessageText(kShort);
    const std::vector<TMessageDlg*> shown = VisibleDialogs();
    ASSERT_EQ(shown.size(), 1u);
    TMessageDlg* dialog = shown.front();

    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Remote support"));
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_FALSE(dialog->isModal());

    const int width = TextWidth(dialog, kShort) + 40;
    EXPECT_EQ(dialog->width(), width);
    QLabel* label = Child<QLabel>(dialog, "lblMessage");
    EXPECT_EQ(label->width(), width - 20);
    EXPECT_EQ(label->x(), 10);
    EXPECT_EQ(label->text(), QString::fromStdString(kShort));
    EXPECT_EQ(dialog->height(), 2 * 15 + label->height() + 2 * 25 + 20);

    QPushButton* ok = Button(dialog, "btnOK");
    EXPECT_TRUE(ok->isVisible());
    EXPECT_EQ(ok->x(), (width - 75) / 2);
    EXPECT_EQ(ok->y(), dialog->height() - 14 - 25); // design distance to the bottom edge
    EXPECT_FALSE(Button(dialog, "btnYes")->isVisible());
    EXPECT_FALSE(Child<QPlainTextEdit>(dialog, "Memo1")->isVisible());

    // Centred on the screen.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_NEAR(dialog->frameGeometry().center().x(), area.center().x(), 1);
    EXPECT_NEAR(dialog->frameGeometry().center().y(), area.center().y(), 1);
}

TEST_F(MessageDlgTest, LongMessageKeepsDesignWidthAndGrows)
{
    ShowMessageText(kLong);
    const std::vector<TMessageDlg*> shown = VisibleDialogs();
    ASSERT_EQ(shown.size(), 1u);
    TMessageDlg* dialog = shown.front();
    ASSERT_GE(TextWidth(dialog, kLong), 477);

    EXPECT_EQ(dialog->width(), 492);
    QLabel* label = Child<QLabel>(dialog, "lblMessage");
    EXPECT_EQ(label->width(), 472);
    EXPECT_EQ(label->minimumWidth(), 472);
    EXPECT_EQ(label->maximumWidth(), 472);
    EXPECT_GE(label->height(), 2 * label->fontMetrics().height()); // wrapped
    EXPECT_EQ(dialog->height(), 2 * 15 + label->height() + 2 * 25 + 20);
    EXPECT_GT(dialog->height(), 124);
    EXPECT_EQ(Button(dialog, "btnOK")->x(), (492 - 75) / 2);
}

TEST_F(MessageDlgTest, QuestionButtonPositions)
{
    TRecorder recorder;
    TMessageDlg* yesNo = ShowQuestion(kShort, mdbYesNo, recorder.Proc());
    ASSERT_NE(yesNo, nullptr);
    int cw = yesNo->width();
    int ch = yesNo->height();
    EXPECT_FALSE(Button(yesNo, "btnOK")->isVisible());
    EXPECT_FALSE(Button(yesNo, "btnCancel")->isVisible());
    EXPECT_EQ(Button(yesNo, "btnYes")->geometry(), QRect(cw / 2 - 75 - 5, ch - 25 - 10, 75, 25));
    EXPECT_EQ(Button(yesNo, "btnNo")->geometry(), QRect(cw / 2 + 5, ch - 25 - 10, 75, 25));
    EXPECT_TRUE(Button(yesNo, "btnNo")->isVisible());

    // An odd client width checks that halves round toward zero.
    TMessageDlg* three = ShowQuestion(kLong, mdbYesNoCancel, recorder.Proc());
    ASSERT_NE(three, nullptr);
    cw = three->width();
    ch = three->height();
    EXPECT_EQ(cw, 492);
    EXPECT_FALSE(Button(three, "btnOK")->isVisible());
    EXPECT_EQ(Button(three, "btnYes")->pos(), QPoint(246 - 75 - 37 - 5, ch - 35));
    EXPECT_EQ(Button(three, "btnNo")->pos(), QPoint(246 - 37, ch - 35));
    EXPECT_EQ(Button(three, "btnCancel")->pos(), QPoint(246 + 37 + 5, ch - 35));
    for (const char* shown : {"btnYes", "btnNo", "btnCancel"})
        EXPECT_TRUE(Button(three, shown)->isVisible()) << shown;

    // Any other value leaves only OK; without a callback closing is harmless.
    TMessageDlg* okOnly = ShowQuestion(kShort, 7, nullptr);
    ASSERT_NE(okOnly, nullptr);
    EXPECT_TRUE(Button(okOnly, "btnOK")->isVisible());
    EXPECT_FALSE(Button(okOnly, "btnYes")->isVisible());
    okOnly->close();
    EXPECT_FALSE(okOnly->isVisible());
    EXPECT_TRUE(recorder.Answers.empty());
}

TEST_F(MessageDlgTest, ClosingAnswersOnceAndOnlyWithoutAButton)
{
    TRecorder recorder;
    TMessageDlg* closed = ShowQuestion(kShort, mdbYesNo, recorder.Proc());
    ASSERT_NE(closed, nullptr);
    EXPECT_TRUE(closed->close());
    EXPECT_FALSE(closed->isVisible());
    closed->close(); // hidden already: no second answer
    ASSERT_EQ(recorder.Answers.size(), 1u);
    EXPECT_EQ(recorder.Answers[0].Answer, mdaClosed);
    EXPECT_EQ(recorder.Answers[0].Dialog, closed);

    // The callback decides what becomes of the dialog: here it closes it.
    recorder.Answers.clear();
    TMessageDlg* answered = ShowQuestion(kShort, mdbYesNo, [&](TMessageDlg& dialog, int answer) {
        recorder.Answers.push_back(TAnswer{&dialog, answer, dialog.Kind, dialog.Command});
        dialog.close();
    });
    ASSERT_NE(answered, nullptr);
    Button(answered, "btnNo")->click();
    EXPECT_TRUE(answered->NoPressed());
    EXPECT_FALSE(answered->isVisible());
    answered->close();
    ASSERT_EQ(recorder.Answers.size(), 1u);
    EXPECT_EQ(recorder.Answers[0].Answer, mdaNo);

    // Escape counts as the close box.
    recorder.Answers.clear();
    TMessageDlg* escaped = ShowQuestion(kShort, mdbYesNoCancel, recorder.Proc());
    ASSERT_NE(escaped, nullptr);
    QTest::keyClick(escaped, Qt::Key_Escape);
    EXPECT_FALSE(escaped->isVisible());
    ASSERT_EQ(recorder.Answers.size(), 1u);
    EXPECT_EQ(recorder.Answers[0].Answer, mdaClosed);
}

TEST_F(MessageDlgTest, TwoQuestionsAnswerIndependently)
{
    TRecorder recorder;
    TMessageDlg* logOff = ShowCommandQuestion("Do you want to allow helpdesk to log you off?", mdbYesNo, 1,
                                              "105:", recorder.Proc());
    TMessageDlg* view = ShowCommandQuestion("Helpdesk wants to view your desktop.", mdbYesNo, 2,
                                            "0:VNCSERVER", recorder.Proc());
    ASSERT_NE(logOff, nullptr);
    ASSERT_NE(view, nullptr);
    EXPECT_NE(logOff, view);
    EXPECT_NE(logOff->objectName(), view->objectName());
    EXPECT_EQ(VisibleDialogs().size(), 2u);

    Button(view, "btnNo")->click();
    Button(logOff, "btnYes")->click();
    view->close();
    ASSERT_EQ(recorder.Answers.size(), 2u);
    EXPECT_EQ(recorder.Answers[0].Dialog, view);
    EXPECT_EQ(recorder.Answers[0].Answer, mdaNo);
    EXPECT_EQ(recorder.Answers[0].Kind, 2);
    EXPECT_EQ(recorder.Answers[0].Command, "0:VNCSERVER");
    EXPECT_EQ(recorder.Answers[1].Dialog, logOff);
    EXPECT_EQ(recorder.Answers[1].Answer, mdaYes);
    EXPECT_EQ(recorder.Answers[1].Kind, 1);
    EXPECT_EQ(recorder.Answers[1].Command, "105:");
    // Buttons leave closing to the callback; a close after a button answers nothing more.
    EXPECT_TRUE(logOff->isVisible());
    EXPECT_TRUE(logOff->YesPressed());
    Button(logOff, "btnNo")->click();
    logOff->close();
    ASSERT_EQ(recorder.Answers.size(), 3u);
    EXPECT_EQ(recorder.Answers[2].Answer, mdaNo);
}

TEST_F(MessageDlgTest, OKFreesTheDialogAndLogsIt)
{
    ShowMessageText(kShort);
    const std::vector<TMessageDlg*> shown = VisibleDialogs();
    ASSERT_EQ(shown.size(), 1u);
    QPointer<TMessageDlg> dialog = shown.front();
    const std::string name = dialog->objectName().toStdString();
    Button(dialog, "btnOK")->click();
    EXPECT_TRUE(dialog->OKPressed() || dialog.isNull());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, 20000));

    const std::string log = DebugLogFilePath();
    if (!log.empty()) {
        EXPECT_NE(orvtest::ReadFile(log).find("Destroying MessageDlg " + name + " "), std::string::npos);
    }
}

TEST_F(MessageDlgTest, TextsAreLocal8Bit)
{
    const std::string text = "Line one\r\nLine two";
    TMessageDlg* dialog = ShowQuestion(text, mdbYesNo, nullptr);
    ASSERT_NE(dialog, nullptr);
    QLabel* label = Child<QLabel>(dialog, "lblMessage");
    EXPECT_EQ(label->text(), QStringLiteral("Line one\nLine two"));
    // Measured by its widest line, so both lines fit without wrapping further.
    EXPECT_EQ(dialog->width(), TextWidth(dialog, "Line one") + 40);
    EXPECT_GE(label->height(), 2 * label->fontMetrics().height());
}

TEST_F(MessageDlgTest, DownloadOfferTwoCalls)
{
    std::unique_ptr<TMessageDlg> offer;
    TRecorder recorder;
    TMessageDlg* created = ShowDownloadOffer("", {}, offer, recorder.Proc());
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(created, offer.get());
    EXPECT_FALSE(offer->isVisible());

    const std::vector<std::string> notes = {"Faster file transfer", "Fixed chat window", "New icons"};
    EXPECT_EQ(ShowDownloadOffer(
                  "There is a new version available. It was released 1.2.2006. Do you want to update?", notes,
                  offer, recorder.Proc()),
              offer.get());
    TMessageDlg* dialog = offer.get();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Remote support"));

    QLabel* label = Child<QLabel>(dialog, "lblMessage");
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->geometry().topLeft(), QPoint(10, 10));
    EXPECT_EQ(label->width(), 300);
    EXPECT_EQ(dialog->width(), 320);
    EXPECT_EQ(dialog->height(), 25 + 190);
    const int lh = label->height();
    QPlainTextEdit* memo = Child<QPlainTextEdit>(dialog, "Memo1");
    EXPECT_TRUE(memo->isVisible());
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->geometry(), QRect(10, lh + 20, 320 - 25, 215 - 20 - lh - 50 - 20));
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("Faster file transfer\nFixed chat window\nNew icons"));
    EXPECT_FALSE(Button(dialog, "btnOK")->isVisible());
    EXPECT_EQ(Button(dialog, "btnDownload")->geometry(), QRect(160 - 75 - 5, 215 - 35, 75, 25));
    EXPECT_EQ(Button(dialog, "btnCancel")->geometry(), QRect(165, 215 - 35, 75, 25));
    EXPECT_TRUE(Button(dialog, "btnDownload")->isVisible());
    EXPECT_TRUE(Button(dialog, "btnCancel")->isVisible());

    Button(dialog, "btnDownload")->click();
    ASSERT_EQ(recorder.Answers.size(), 1u);
    EXPECT_EQ(recorder.Answers[0].Answer, mdaDownload);
    EXPECT_TRUE(dialog->DownloadPressed());
    offer.reset(); // the caller frees it
}

TEST_F(MessageDlgTest, ProgressDialogTwoCalls)
{
    std::unique_ptr<TMessageDlg> progress;
    ShowProgressDialog("", progress, nullptr);
    ASSERT_NE(progress, nullptr);
    EXPECT_FALSE(progress->isVisible());

    TRecorder recorder;
    const std::string text = "Loading update package. Please wait.";
    ShowProgressDialog(text, progress, recorder.Proc());
    TMessageDlg* dialog = progress.get();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->isEnabled());

    const int cw = TextWidth(dialog, text) + 40;
    QLabel* label = Child<QLabel>(dialog, "lblMessage");
    EXPECT_EQ(dialog->width(), cw);
    EXPECT_EQ(label->geometry(), QRect(10, 15, cw - 20, label->height()));
    const int ch = 2 * 15 + label->height() + 2 * 25 + 20;
    EXPECT_EQ(dialog->height(), ch);
    EXPECT_FALSE(Button(dialog, "btnOK")->isVisible());
    EXPECT_TRUE(Button(dialog, "btnCancel")->isVisible());
    EXPECT_EQ(Button(dialog, "btnCancel")->pos(), QPoint(cw - 75 - 5, ch - 75));
    QProgressBar* bar = Child<QProgressBar>(dialog, "ProgressBar1");
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->geometry(), QRect(0, ch - 21, cw, 21));

    Button(dialog, "btnCancel")->click();
    ASSERT_EQ(recorder.Answers.size(), 1u);
    EXPECT_EQ(recorder.Answers[0].Answer, mdaCancel);
    // A caller-owned dialog is never freed behind its owner's back.
    QPointer<TMessageDlg> guard = dialog;
    dialog->btnOKClick();
    QTest::qWait(20);
    EXPECT_FALSE(guard.isNull());
    EXPECT_FALSE(dialog->isVisible());
}

// Saves a picture of every kind of dialog into $ORV_RENDER_DIR.
TEST(MessageDlgRender, SavesPictures)
{
    const char* folder = std::getenv("ORV_RENDER_DIR");
    if (!folder || !*folder)
        GTEST_SKIP() << "ORV_RENDER_DIR is not set";
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Remote support"));
    const QDir dir(QString::fromLocal8Bit(folder));
    ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));
    auto save = [&](QWidget* dialog, const char* name) {
        ASSERT_NE(dialog, nullptr);
        QTest::qWait(10);
        const QString path = dir.filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
        EXPECT_TRUE(dialog->grab().save(path)) << path.toStdString();
        dialog->hide();
    };

    ShowMessageText(kShort);
    save(VisibleDialogs().empty() ? nullptr : VisibleDialogs().front(), "message-short");
    ShowMessageText(kLong);
    save(VisibleDialogs().empty() ? nullptr : VisibleDialogs().front(), "message-long");
    save(ShowQuestion("Do you want to allow helpdesk to restart your computer?", mdbYesNo, nullptr),
         "question-yesno");
    save(ShowQuestion(kLong, mdbYesNoCancel, nullptr), "question-yesnocancel");

    std::unique_ptr<TMessageDlg> offer;
    ShowDownloadOffer("", {}, offer, nullptr);
    ShowDownloadOffer("There is a new version available. It was released 1.2.2006. Do you want to update?",
                      {"Faster file transfer", "Fixed chat window", "New icons", "Better remote desktop"},
                      offer, nullptr);
    save(offer.get(), "download-offer");

    std::unique_ptr<TMessageDlg> progress;
    ShowProgressDialog("", progress, nullptr);
    ShowProgressDialog("Loading update package. Please wait.", progress, nullptr);
    progress->ProgressBar1->setValue(40);
    save(progress.get(), "progress");
}

} // namespace
