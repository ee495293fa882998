// The chat window on the offscreen platform: its controls, sending with Enter
// and the transcript, and what an incoming line does to a hidden or
// minimised window; Send disabled without a live chat channel.
#include "lib/orvChat.h"
#include "lib/orvChatFeature.h"
#include "lib/orvChatForm.h"
#include "lib/orvConnections.h"
#include "lib/orvThreads.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int kWaitMs = 10000;

class ChatForm : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FForm.OnGetChatChannel = [this]() -> TOrvChatThread* {
            ++FAsked;
            return nullptr; // no session: nothing can be sent
        };
        FForm.Beep = [this] { ++FBeeps; };
    }

    QStringList Transcript() const
    {
        QString text = FForm.memoChat->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    TChatForm FForm;
    int FAsked = 0;
    int FBeeps = 0;
};

TEST_F(ChatForm, ControlsAsTheWindowDescriptionGivesThem)
{
    EXPECT_EQ(FForm.windowTitle(), QStringLiteral("Chat"));
    EXPECT_EQ(FForm.size(), QSize(417, 255));
    EXPECT_TRUE(FForm.windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(FForm.isHidden());
    EXPECT_TRUE(FForm.memoChat->isReadOnly());
    EXPECT_EQ(FForm.memoChat->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(FForm.btnSend->text(), QStringLiteral("Send"));
    EXPECT_TRUE(FForm.btnSend->isDefault());
    EXPECT_EQ(FForm.cbBeepOnNewMessage->text(), QStringLiteral("Beep on new message"));
    EXPECT_FALSE(FForm.cbBeepOnNewMessage->isChecked());
    for (const char* name : {"memoChat", "editMessage", "btnSend", "cbBeepOnNewMessage"})
        EXPECT_NE(FForm.findChild<QWidget*>(QLatin1String(name)), nullptr) << name;

    // The transcript grows with the window; the input line and button stay at the bottom.
    FForm.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&FForm));
    const QSize memo = FForm.memoChat->size();
    FForm.resize(600, 400);
    ASSERT_TRUE(QTest::qWaitFor([&] { return FForm.memoChat->width() > memo.width(); }, kWaitMs));
    EXPECT_GT(FForm.memoChat->height(), memo.height());
    EXPECT_GT(FForm.editMessage->width(), 417 - FForm.btnSend->width() - 40);
    EXPECT_GT(FForm.btnSend->geometry().right(), 600 - 30);
    EXPECT_GT(FForm.editMessage->geometry().top(), FForm.memoChat->geometry().bottom());
}

TEST_F(ChatForm, EnterSendsAndTheTranscriptShowsTheLineEvenUnsent)
{
    FForm.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&FForm));
    QTest::keyClicks(FForm.editMessage, QStringLiteral("hi"));
    QTest::keyClick(FForm.editMessage, Qt::Key_Return);
    EXPECT_EQ(FAsked, 1);
    EXPECT_EQ(Transcript(), QStringList{QStringLiteral("You said: hi")});
    EXPECT_TRUE(FForm.editMessage->text().isEmpty());

    // An empty line goes too; a "%s" typed is text, not a placeholder.
    FForm.btnSend->click();
    FForm.editMessage->setText(QStringLiteral("100% sure: %s"));
    FForm.btnSend->click();
    EXPECT_EQ(FAsked, 3);
    EXPECT_EQ(Transcript(), (QStringList{QStringLiteral("You said: hi"), QStringLiteral("You said: "),
                                         QStringLiteral("You said: 100% sure: %s")}));
}

TEST_F(ChatForm, AnIncomingLineShowsRestoresAndBeepsWhenAsked)
{
    // Hidden: the line shows the window. No beep unless checked.
    FForm.AddChatMessage("hello");
    EXPECT_TRUE(FForm.isVisible());
    EXPECT_EQ(FBeeps, 0);
    EXPECT_EQ(Transcript(), QStringList{QStringLiteral("hello")});

    // Minimised and then hidden, with the beep checked: shown, restored, one beep.
    FForm.cbBeepOnNewMessage->setChecked(true);
    FForm.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return FForm.isMinimized(); }, kWaitMs));
    FForm.hide();
    FForm.AddChatMessage(std::string("a:b\0c", 5));
    EXPECT_TRUE(FForm.isVisible());
    EXPECT_FALSE(FForm.isMinimized());
    EXPECT_EQ(FBeeps, 1);
    EXPECT_EQ(Transcript().last(), QStringLiteral("a:b\uFFFDc")); // a zero byte cannot cut the line
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &FForm; }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return FForm.editMessage->hasFocus(); }, kWaitMs));

    // An empty line changes nothing.
    FForm.hide();
    FForm.AddChatMessage("");
    EXPECT_TRUE(FForm.isHidden());
    EXPECT_EQ(FBeeps, 1);
    EXPECT_EQ(Transcript().size(), 2);
}

// A main window of the test's own, with or without a session.
class TTestHost : public TorvSessionHost
{
public:
    TorvConnection* SessionConnection() const override { return Connection.get(); }
    TorvChannelThread* SessionChannelThread(int channel) const override
    {
        return Connection ? Connection->FindChannelThread(channel) : nullptr;
    }
    std::uint8_t PermissionLevel() const override { return 0; }
    void RaisePermissionLevel(std::uint8_t, const std::string&) override {}
    std::shared_ptr<TorvSessionReceipt> SessionReceipt() const override { return nullptr; }
    std::unique_ptr<TorvConnection> Connection;
};

TEST(ChatFeature, SendIsDisabledWithoutALiveChatChannel)
{
    orvSync::SetMainThread();
    orvStartConnectionCore();
    {
        TTestHost host;
        QWidget window;
        QAction toggle(&window);
        toggle.setCheckable(true);
        toggle.setEnabled(false);
        TorvChatFeature chat(host, &window, &toggle);
        TChatForm& form = chat.Form();
        EXPECT_TRUE(toggle.isEnabled());
        EXPECT_TRUE(form.isHidden());
        EXPECT_EQ(form.parentWidget(), &window);

        // No connection: nothing to send through.
        chat.Refresh();
        EXPECT_FALSE(form.btnSend->isEnabled());
        EXPECT_EQ(form.OnGetChatChannel(), nullptr);

        // A connection with its chat thread that is not up.
        host.Connection = std::make_unique<TorvConnection>();
        chat.TakeOver(*host.Connection);
        ASSERT_NE(form.OnGetChatChannel(), nullptr);
        EXPECT_EQ(form.OnGetChatChannel()->GetChannel(), orvChatChannel);
        chat.Refresh();
        EXPECT_FALSE(form.btnSend->isEnabled());
        host.Connection.reset();
    }
    orvShutdownConnectionCore();
}

} // namespace
