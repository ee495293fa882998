// The customer's main window on the offscreen platform: its controls and
// texts, the page flow against a real gateway with a helpdesk peer, the
// command channel, establishment failures, restart mode and closing.
// With ORV_RENDER_DIR set, MainformRender saves a picture of every page and of
// the chat window there, and MainformRenderSession one of the session page
// with files going both ways (scripts/render-pages).
#include "customer/CustomerApplication.h"
#include "customer/Mainform.h"
#include "customer/Pictures.h"
#include "customer/RestartShortcut.h"
#include "customer/StartupOptions.h"
#include "customer/Widgets.h"
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvChat.h"
#include "lib/orvChatFeature.h"
#include "lib/orvChatForm.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvFileTransferFeature.h"
#include "lib/orvFileTransferForm.h"
#include "lib/orvMessageDlg.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/TestUtil.h"
#include "tests/support_qt/QtTestUtil.h"
#include "tests/support_qt/SessionFixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

using orvtest::DialogShown;
using orvtest::DialogTexts;
using orvtest::DialogWith;
using orvtest::HideAllTopLevels;
using orvtest::MainformTest;
using orvtest::SessionTest;
using orvtest::THelpdesk;
using orvtest::TLogCapture;
using orvtest::VisibleDialogs;
using orvtest::WaitFor;

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

std::vector<QString> LabelTexts(QWidget* page)
{
    std::vector<QString> texts;
    for (QLabel* label : page->findChildren<QLabel*>())
        texts.push_back(label->text());
    return texts;
}

bool HasLabel(QWidget* page, const char* text)
{
    const QString wanted = QString::fromUtf8(text);
    for (const QString& shown : LabelTexts(page))
        if (shown == wanted)
            return true;
    return false;
}

template <typename T> T* Find(QWidget* root, const char* name)
{
    return root->findChild<T*>(QString::fromLatin1(name));
}

std::string SessionCodeText(int code)
{
    char text[160];
    std::snprintf(text, sizeof text, orvCustomerText::SessionCode, code);
    return text;
}

// ---------------------------------------------------------------------------
// The window as it comes up
// ---------------------------------------------------------------------------

TEST_F(MainformTest, WindowTextsAndControls)
{
    TfrmCustomer& form = Open();
    EXPECT_EQ(form.size(), QSize(400, 437));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Orvalis, customer's program"));
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QStringLiteral("Remote support"));
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));

    for (const char* name : {"gifTopBanner",  "pnLinks",
                             "lblVersion",    "lblUpdate",
                             "Image1",        "MainPanel",
                             "sbStep1",       "sbStep2",
                             "sbStep3",       "sbStep5",
                             "pnlStatus",     "imNoConnection",
                             "imConnection",  "imConnectedToServer",
                             "btnExit",       "btConnect",
                             "btnDisconnect", "btCloseConnection",
                             "btNewSession",  "lblConnID",
                             "btnToggleChat", "cbViewOnly",
                             "sbFileTransfer"})
        EXPECT_NE(Find<QWidget>(&form, name), nullptr) << name;
    EXPECT_EQ(Find<QLabel>(form.pnLinks, "lblVersion")->text(), QStringLiteral("Version 16.12.2005"));
    EXPECT_EQ(form.lblUpdate->text(), QStringLiteral("Check for update"));
    // The update link sits in the middle of the link bar.
    const int textWidth = form.lblUpdate->fontMetrics().horizontalAdvance(form.lblUpdate->text());
    EXPECT_EQ(form.lblUpdate->x(), qRound(form.pnLinks->width() / 2.0 - textWidth / 2.0));
    EXPECT_EQ(form.imNoConnection->parentWidget(), form.pnlStatus);
    EXPECT_EQ(form.imConnection->parentWidget(), form.pnlStatus);

    QTimer* timer = Find<QTimer>(&form, "MainTimer");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 250);
    EXPECT_TRUE(timer->isActive());

    // Actions with captions and hints; buttons follow them.
    auto* connect = Find<QAction>(&form, "aOpenConnection");
    auto* disconnect = Find<QAction>(&form, "aCloseConnection");
    auto* next = Find<QAction>(&form, "aNextSession");
    ASSERT_TRUE(connect && disconnect && next);
    EXPECT_EQ(connect->text(), QStringLiteral("Connect"));
    EXPECT_EQ(connect->toolTip(), QStringLiteral("Open remote support connection"));
    EXPECT_EQ(disconnect->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(disconnect->toolTip(), QStringLiteral("Close remote support connection"));
    EXPECT_EQ(next->text(), QStringLiteral("Restart"));
    EXPECT_EQ(form.btConnect->text(), QStringLiteral("Connect"));
    EXPECT_EQ(form.btConnect->toolTip(), QStringLiteral("Open remote support connection"));
    EXPECT_EQ(form.btnDisconnect->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(form.btCloseConnection->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(form.btNewSession->text(), QStringLiteral("New session"));
    EXPECT_EQ(form.btNewSession->toolTip(), QStringLiteral("Start new remote support session."));
    EXPECT_EQ(form.btnExit->text(), QStringLiteral("Exit Orvalis"));
    EXPECT_EQ(form.btnExit->toolTip(), QStringLiteral("Close program."));
    for (QPushButton* button :
         {form.btConnect, form.btnDisconnect, form.btCloseConnection, form.btNewSession, form.btnExit})
        EXPECT_EQ(button->width(), button->fontMetrics().horizontalAdvance(button->text()) + 50)
            << button->objectName().toStdString();
    EXPECT_EQ(form.btnExit->geometry().right() + 1, 392);

    // The pages' texts as they stand.
    EXPECT_TRUE(HasLabel(form.sbStep1, "Open remote support connection"));
    EXPECT_TRUE(HasLabel(form.sbStep1,
                         "Welcome to Orvalis remote support application. With Orvalis your helpdesk "
                         "can support you remotely via internet. Your helpdesk person can view your "
                         "desktop, show you his/her desktop, transfer files, chat, etc."));
    EXPECT_TRUE(HasLabel(form.sbStep1,
                         "Press the \"Open connection\" button below to open a connection to your "
                         "helpdesk. The remote support connection is safe. You can close the "
                         "connection whenever you wish."));
    EXPECT_TRUE(HasLabel(form.sbStep2, "Waiting for your helpdesk to connect."));
    EXPECT_TRUE(HasLabel(form.sbStep2,
                         "Tell the secure session code above to you helpdesk person. Without the "
                         "secure session code your helpdesk person is not able to provide you with "
                         "remote support."));
    EXPECT_TRUE(HasLabel(form.sbStep2,
                         "If you want to cancel the current remote support session, press \"Disconnect\"."));
    EXPECT_TRUE(HasLabel(form.sbStep3, "You are in remote support session with your helpdesk."));
    EXPECT_TRUE(HasLabel(form.sbStep3,
                         "Connection is established successfully. Now you can start viewing remote "
                         "desktop or show your own desktop to the remote user. You can also chat or "
                         "exchange files with remote user."));
    EXPECT_TRUE(HasLabel(form.sbStep5, "2. Open the remote support connection"));
    EXPECT_TRUE(HasLabel(form.sbStep5, "Connection is closed"));
    EXPECT_TRUE(
        HasLabel(form.sbStep5,
                 "Your remote support session has ended. Connection to remote computer is closed. Now you "
                 "can start a new support session or close Orvalis.\n\nWe hope Orvalis helped you to "
                 "receive better support!"));

    // The session features' places: present, inactive outside a session.
    auto* group = Find<QGroupBox>(form.sbStep3, "gbRemoteDesktop");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title(), QStringLiteral("Remote desktop"));
    EXPECT_EQ(Find<QPushButton>(group, "btnShowDesktop")->text(), QStringLiteral("Show my desktop"));
    EXPECT_EQ(Find<QPushButton>(group, "btnHideDesktop")->text(), QStringLiteral("Hide desktop"));
    EXPECT_EQ(form.cbViewOnly->text(), QStringLiteral("View only"));
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    EXPECT_FALSE(form.cbViewOnly->isEnabled());
    EXPECT_EQ(form.btnToggleChat->toolTip(), QStringLiteral("Chat with remote user."));
    EXPECT_EQ(form.sbFileTransfer->parentWidget(), form.sbStep3);
}

TEST(MainformPictures, EveryPictureLoadsFromTheResources)
{
    // A picture missing from the resources would only show as a blank area.
    const std::pair<TorvPicture, QSize> pictures[] = {
        {TorvPicture::Banner, {400, 60}},       {TorvPicture::Logo, {34, 18}},
        {TorvPicture::Icon, {32, 32}},          {TorvPicture::StatusNone, {20, 20}},
        {TorvPicture::StatusGateway, {20, 20}}, {TorvPicture::StatusSession, {20, 20}},
    };
    for (const auto& [picture, size] : pictures)
        EXPECT_EQ(orvPicture(picture).size(), size) << static_cast<int>(picture);
}

TEST_F(MainformTest, FirstActivationSlidesInTheFirstPage)
{
    FEnv.AnimatePages = true;
    TfrmCustomer& form = Open();
    EXPECT_TRUE(OnPage(form.sbStep1));
    EXPECT_EQ(form.sbStep1->geometry(), form.MainPanel->rect());
    for (QWidget* other : {form.sbStep2, form.sbStep3, form.sbStep5})
        EXPECT_FALSE(other->isVisible());
    EXPECT_TRUE(form.btConnect->isEnabled());
    EXPECT_FALSE(form.btnDisconnect->isEnabled());
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("No connection"));
    EXPECT_EQ(form.pnlStatus->palette().color(QPalette::Window), QColor(192, 192, 192));
    EXPECT_TRUE(form.imNoConnection->isVisible());
    EXPECT_FALSE(form.imConnectedToServer->isVisible());

    // A slide to another page ends with that page filling the area.
    form.ShowPage(form.sbStep5);
    EXPECT_TRUE(OnPage(form.sbStep5));
    EXPECT_FALSE(form.sbStep1->isVisible());
    EXPECT_EQ(form.sbStep5->geometry(), form.MainPanel->rect());
    form.btNewSession->click();
    EXPECT_TRUE(OnPage(form.sbStep1));
    Find<QAction>(&form, "aNextSession")->trigger();
    EXPECT_TRUE(OnPage(form.sbStep1));
}

TEST_F(MainformTest, DoubleClicksOpenTheAddresses)
{
    std::vector<QUrl> opened;
    FEnv.OpenAddress = [&](const QUrl& url) {
        opened.push_back(url);
        throw std::runtime_error("no browser"); // ignored
    };
    TfrmCustomer& form = Open();
    QTest::mouseDClick(form.Image1, Qt::LeftButton);
    QTest::mouseDClick(form.gifTopBanner, Qt::LeftButton);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_TRUE(opened[0].isValid());
    EXPECT_TRUE(opened[1].isValid());
    EXPECT_NE(opened[0], opened[1]);
}

// ---------------------------------------------------------------------------
// Establishment without a gateway
// ---------------------------------------------------------------------------

TEST_F(MainformTest, NoGatewayFailsAtTheDeadlineAndConnectComesBack)
{
    TLogCapture log;
    FEnv.EstablishTimeout = 1s; // and no settings file at all
    TfrmCustomer& form = Open();
    form.btConnect->click();
    EXPECT_FALSE(form.btConnect->isEnabled());
    ASSERT_NE(form.Servers(), nullptr);
    // Disconnect before a connection exists does not stop the establishment.
    form.aCloseConnection->trigger();
    EXPECT_NE(form.Servers(), nullptr);

    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::NoGateway); }))
        << ::testing::PrintToString(DialogTexts());
    EXPECT_EQ(form.Servers(), nullptr);
    EXPECT_TRUE(form.btConnect->isEnabled());
    EXPECT_FALSE(form.aCloseConnection->isEnabled());
    EXPECT_TRUE(OnPage(form.sbStep1));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(log.InOrder({"Destroying TOrvServers", "Unable to connect"}) ||
                log.InOrder({"Unable to connect", "Destroying TOrvServers"}));
}

TEST_F(MainformTest, UnreachableGatewayFailsLikeNone)
{
    UseGateway(1); // nothing listens there
    FEnv.EstablishTimeout = 1500ms;
    TfrmCustomer& form = Open();
    form.btConnect->click();
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::NoGateway); }));
    EXPECT_TRUE(form.btConnect->isEnabled());
}

TEST_F(MainformTest, RefusalShowsTheResultText)
{
    orvtest::GatewayProcess refusing({"--refuse", "150"});
    UseGateway(refusing.Port());
    FEnv.EstablishTimeout = 60s;
    TfrmCustomer& form = Open();
    form.btConnect->click();
    // At once, not at the deadline.
    ASSERT_TRUE(WaitFor([] { return DialogShown("Invalid protocol version."); }, 40000))
        << ::testing::PrintToString(DialogTexts());
    EXPECT_EQ(form.Servers(), nullptr);
    EXPECT_TRUE(form.btConnect->isEnabled());
    EXPECT_TRUE(OnPage(form.sbStep1));
}

TEST_F(MainformTest, GatewayPinFailuresShowTheirTexts)
{
    orvtest::GatewayProcess gateway;
    const std::string gatewayLine = "[gateway]\ngateway1=127.0.0.1:" + std::to_string(gateway.Port()) + "\n";
    FEnv.EstablishTimeout = 60s;
    TfrmCustomer& form = Open();

    orvtest::WriteFile(FEnv.SettingsFile, gatewayLine + "pin1=sha256/short\n");
    form.btConnect->click();
    ASSERT_NE(form.Servers(), nullptr);
    EXPECT_EQ(form.Servers()->ConnectionCount(), 0u);
    ASSERT_TRUE(WaitFor([] {
        return DialogShown("The settings file has an invalid gateway pin (pin1=sha256/short). Your "
                           "connection was not opened.");
    })) << ::testing::PrintToString(DialogTexts());
    EXPECT_TRUE(form.btConnect->isEnabled());
    HideAllTopLevels(&form);

    // A well-formed pin the gateway's key does not match: refused long before the deadline.
    orvtest::WriteFile(FEnv.SettingsFile, gatewayLine + "pin1=sha256/" + std::string(43, 'A') + "=\n");
    form.btConnect->click();
    ASSERT_TRUE(WaitFor(
        [] {
            return DialogShown("The gateway could not prove its identity. Your connection was not opened.");
        },
        40000))
        << ::testing::PrintToString(DialogTexts());
    EXPECT_TRUE(form.btConnect->isEnabled());
}

TEST_F(MainformTest, ClosingDuringEstablishmentAbandonsItSilently)
{
    TLogCapture log;
    FEnv.EstablishTimeout = 30s;
    TfrmCustomer& form = Open({"/AUTOCONNECT"});
    ASSERT_NE(form.Servers(), nullptr);
    // The first page came up, and the running auto-connect keeps Connect disabled.
    EXPECT_TRUE(OnPage(form.sbStep1));
    EXPECT_FALSE(form.btConnect->isEnabled());

    bool closed = false;
    QObject::connect(&form, &TfrmCustomer::closed, [&] { closed = true; });
    form.btnExit->click();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.Servers(), nullptr);
    EXPECT_TRUE(VisibleDialogs().empty());
    FForm.reset();
    EXPECT_TRUE(
        log.InOrder({"Closing mainform", "Destroying TOrvServers", "Mainform closed", "Closing mainform",
                     "Connection thread is being terminated.", "Mainform closed"}));
}

// ---------------------------------------------------------------------------
// Start-up and the restart entry
// ---------------------------------------------------------------------------

TEST_F(MainformTest, ExpiredRestartStopsBeforeAnything)
{
    const TorvRestartShortcut shortcut(FEnv.AutostartFolder);
    ASSERT_TRUE(shortcut.Write("/bin/true", {"1", "2", "/BASIC"}));
    const QDateTime now = QDateTime::currentDateTime();
    FEnv.Now = [now] { return now; };
    for (const std::string& created : {FormatRestartTime(now.addSecs(-600)), std::string("2005x2161200")}) {
        TfrmCustomer& form = Open({"123456", created, "/ALLOWREMOTEACTIONS"}, false);
        EXPECT_TRUE(form.StopRequested()) << created;
        EXPECT_EQ(form.Servers(), nullptr);
        EXPECT_FALSE(form.MainTimer->isActive());
        EXPECT_EQ(form.PermissionLevel(), 0);
        EXPECT_FALSE(shortcut.Exists());
        FForm.reset();
        orvShutdownConnectionCore(); // the window stopped the connection thread
        orvStartConnectionCore();
    }
}

TEST_F(MainformTest, StartUpDeletesTheEntryAndReadsTheSwitches)
{
    const TorvRestartShortcut shortcut(FEnv.AutostartFolder);
    ASSERT_TRUE(shortcut.Write("/bin/true", {"1", "2", "/BASIC"}));
    TfrmCustomer& form = Open({"/ALLOWREMOTECONTROL", "/BASIC"}, false);
    EXPECT_FALSE(shortcut.Exists());
    EXPECT_FALSE(form.StopRequested());
    EXPECT_EQ(form.PermissionLevel(), 2);
    EXPECT_FALSE(form.AutoConnect());
    EXPECT_EQ(form.Servers(), nullptr);
}

TEST_F(MainformTest, CreateRestartShortcutWritesTheThreeWords)
{
    TLogCapture log;
    const QDateTime now(QDate(2024, 3, 5), QTime(14, 30));
    FEnv.Now = [now] { return now; };
    TfrmCustomer& form = Open({"/ALLOWVIEWING"}, false);
    ASSERT_TRUE(form.CreateRestartShortcut());
    const TorvRestartShortcut shortcut(FEnv.AutostartFolder);
    const std::string entry = orvtest::ReadFile(shortcut.EntryPath());
    EXPECT_NE(entry.find("\nExec=\"/opt/Orvalis Remote/orvcustomer\" 0 202403051430 /ALLOWVIEWING\n"),
              std::string::npos)
        << entry;
    EXPECT_TRUE(log.InOrder({"Startup folder is " + FEnv.AutostartFolder + "/",
                             "Creating shelllink. Shellink is: " + shortcut.EntryPath()}));

    // Unwritable: reported as false.
    orvtest::WriteFile(FDir.File("blocked"), "");
    FForm.reset();
    orvShutdownConnectionCore();
    orvStartConnectionCore();
    FEnv.AutostartFolder = FDir.File("blocked/autostart");
    EXPECT_FALSE(Open({}, false).CreateRestartShortcut());
}

// ---------------------------------------------------------------------------
// Sessions against a gateway
// ---------------------------------------------------------------------------

TEST_F(SessionTest, PageFlowThroughAWholeSession)
{
    TLogCapture log;
    TfrmCustomer& form = Open();
    form.btConnect->click();
    EXPECT_FALSE(form.btConnect->isEnabled());
    EXPECT_TRUE(form.aCloseConnection->isEnabled());
    EXPECT_NE(QGuiApplication::overrideCursor(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep2); })) << ::testing::PrintToString(DialogTexts());
    const int code = SessionCode();
    EXPECT_GT(code, 0);
    EXPECT_EQ(form.lblConnID->text().toStdString(), SessionCodeText(code));
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("Connected to Server"));
    EXPECT_EQ(form.pnlStatus->palette().color(QPalette::Window), QColor(255, 255, 0));
    EXPECT_TRUE(form.imConnectedToServer->isVisible());
    EXPECT_FALSE(form.imNoConnection->isVisible());
    EXPECT_FALSE(form.btConnect->isEnabled());
    EXPECT_TRUE(form.btnDisconnect->isEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(form.Servers(), nullptr);

    // The helpdesk joins, leaves and comes back.
    THelpdesk& helpdesk = JoinHelpdesk(code);
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("Connected"));
    EXPECT_EQ(form.pnlStatus->palette().color(QPalette::Window), QColor(0, 128, 0));
    EXPECT_TRUE(form.imConnection->isVisible());
    EXPECT_TRUE(form.btCloseConnection->isEnabled());
    helpdesk.Leave();
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep2); }));
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("Connected to Server"));
    THelpdesk& again = JoinHelpdesk(code);

    // Disconnect: the helpdesk hears 300, then the customer leaves.
    form.btCloseConnection->click();
    EXPECT_EQ(form.Connection(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep5); }));
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("No connection"));
    EXPECT_EQ(form.pnlStatus->palette().color(QPalette::Window), QColor(128, 128, 128));
    EXPECT_TRUE(form.btConnect->isEnabled());
    EXPECT_FALSE(form.btnDisconnect->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return again.HasReceived("106:300"); }))
        << ::testing::PrintToString(again.Received());
    // The customer's "2:" ends the session for the helpdesk too, after the 300.
    ASSERT_TRUE(WaitFor([&] { return again.HasReceived("106:1000"); }));
    EXPECT_LT(again.IndexOf("106:300"), again.IndexOf("106:1000"));
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());

    // New session: back to the first page, and a new code can be had.
    form.btNewSession->click();
    EXPECT_TRUE(OnPage(form.sbStep1));
    EXPECT_EQ(form.pnlStatus->palette().color(QPalette::Window), QColor(192, 192, 192));
    EXPECT_TRUE(form.btConnect->isEnabled());
    EXPECT_GT(ConnectAndRegister(), 0);
    EXPECT_TRUE(log.InOrder({"Found a connected connection to 127.0.0.1:" + std::to_string(FGateway->Port()),
                             "Initializing connection", "Session code is " + std::to_string(code)}));
}

TEST_F(SessionTest, ChatBothWaysWithTheToggleFollowingTheChatWindow)
{
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    auto* chat = dynamic_cast<TorvChatFeature*>(form.Features().Find(TorvFeatureKind::Chat));
    ASSERT_NE(chat, nullptr);
    TChatForm& window = chat->Form();
    EXPECT_TRUE(window.isHidden());
    EXPECT_NE(dynamic_cast<TOrvChatThread*>(form.SessionChannelThread(orvChatChannel)), nullptr);
    EXPECT_TRUE(form.btnToggleChat->isEnabled());
    EXPECT_FALSE(form.btnToggleChat->isChecked());

    // The helpdesk writes: the chat window comes up with the line, and the toggle follows.
    helpdesk.SendOn(orvChatChannel, "1:hello: can you see me?");
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }));
    EXPECT_EQ(window.memoChat->toPlainText(), QStringLiteral("hello: can you see me?"));
    ASSERT_TRUE(WaitFor([&] { return form.btnToggleChat->isChecked(); }));
    EXPECT_TRUE(window.btnSend->isEnabled());

    // The customer answers with Enter.
    QTest::keyClicks(window.editMessage, QStringLiteral("yes"));
    QTest::keyClick(window.editMessage, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return helpdesk.Chat().HasReceived("1:yes"); }));
    EXPECT_EQ(window.memoChat->toPlainText(), QStringLiteral("hello: can you see me?\nYou said: yes"));

    // The toggle hides and shows the window; closing the window releases the toggle.
    form.btnToggleChat->click();
    EXPECT_TRUE(window.isHidden());
    EXPECT_FALSE(form.aToggleChat->isChecked());
    form.btnToggleChat->click();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(form.btnToggleChat->isChecked());
    window.close();
    EXPECT_TRUE(WaitFor([&] { return !form.btnToggleChat->isChecked(); }));
}

TEST_F(SessionTest, ClosingInSessionTellsTheHelpdesk)
{
    TLogCapture log;
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    form.close();
    EXPECT_EQ(form.Connection(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("106:1000"); }))
        << ::testing::PrintToString(helpdesk.Received());
    EXPECT_LT(helpdesk.IndexOf("106:300"), helpdesk.IndexOf("106:1000"));
    FForm.reset();
    EXPECT_TRUE(log.InOrder({"Closing mainform", "Mainform closed", "Closing mainform",
                             "Connection thread is being terminated.", "Mainform closed"}));
}

TEST_F(SessionTest, SessionLostWhileWaitingShowsTheEndPage)
{
    TfrmCustomer& form = Open();
    ConnectAndRegister();
    FGateway.reset(); // the gateway goes away before any helpdesk came
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep5); }, 60000));
    EXPECT_TRUE(form.btConnect->isEnabled());
    // Connect again destroys the dead connection without a word and starts anew.
    form.btConnect->click();
    EXPECT_EQ(form.Connection(), nullptr);
    EXPECT_NE(form.Servers(), nullptr);
    EXPECT_TRUE(VisibleDialogs().empty());
}

TEST_F(SessionTest, ErrorCodeNoticesAndUnknownCommands)
{
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());

    helpdesk.Send("106:203");
    helpdesk.Send("106:101");
    ASSERT_TRUE(WaitFor([] { return DialogShown("Gateway is busy. Please try to connect again later."); }));
    TRegisteringData record;
    record.ResultCode = orvResult::InvalidProtocolVersion;
    helpdesk.Send("106:" + EncodeRegisteringData(record));
    ASSERT_TRUE(WaitFor([] { return DialogShown("Invalid protocol version."); }));
    EXPECT_EQ(VisibleDialogs().size(), 2u) << ::testing::PrintToString(DialogTexts()); // "203" showed nothing

    // Unknown codes come back as 20 with the whole text; a 20 itself is ignored.
    helpdesk.Send("20:999:x");
    helpdesk.Send("999:a:b");
    helpdesk.Send("109:/etc/passwd");
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:109:/etc/passwd"); }))
        << ::testing::PrintToString(helpdesk.Received());
    EXPECT_TRUE(helpdesk.HasReceived("20:999:a:b"));
    EXPECT_LT(helpdesk.IndexOf("20:999:a:b"), helpdesk.IndexOf("20:109:/etc/passwd"));
    EXPECT_FALSE(helpdesk.HasReceived("20:20:999:x"));

    // A notice that is neither a record nor a number reaches the error report; the window goes on.
    HideAllTopLevels(&form);
    helpdesk.Send("106:nonsense");
    ASSERT_TRUE(WaitFor([] {
        const std::vector<QMessageBox*> boxes = orvtest::VisibleTopLevels<QMessageBox>();
        return !boxes.empty() && boxes.front()->text().contains(QStringLiteral("nonsense"));
    }));
    helpdesk.Send("999:");
    EXPECT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:999:"); }));
    EXPECT_TRUE(OnPage(form.sbStep3));
}

TEST_F(SessionTest, CommandsAreHandledOnePerTickInOrder)
{
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    form.MainTimer->stop();
    helpdesk.Send("901:");
    helpdesk.Send("902:");
    helpdesk.Send("903:");
    TorvCommandThread* command = form.CommandThread();
    ASSERT_NE(command, nullptr);
    ASSERT_TRUE(WaitFor([&] { return command->UnhandledCount() == 3; }));
    form.MainTimerTimer();
    EXPECT_EQ(command->UnhandledCount(), 2u);
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:901:"); }));
    form.MainTimerTimer();
    form.MainTimerTimer();
    EXPECT_EQ(command->UnhandledCount(), 0u);
    ASSERT_TRUE(WaitFor([&] { return helpdesk.Received().size() >= 3; }));
    EXPECT_EQ(helpdesk.Received()[0], "20:901:");
    EXPECT_EQ(helpdesk.Received()[1], "20:902:");
    EXPECT_EQ(helpdesk.Received()[2], "20:903:");
}

TEST_F(SessionTest, LogOffRequestAsksAtLevelZeroAndYesGrantsLaterOnes)
{
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    EXPECT_EQ(form.PermissionLevel(), 0);

    helpdesk.Send("200:105");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::AskLogOff); }));
    EXPECT_TRUE(WaitFor([&] { return helpdesk.HasReceived("100:200"); }));
    TMessageDlg* question = DialogWith(orvCustomerText::AskLogOff);
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->Kind, 1);
    EXPECT_EQ(question->Command, "105:");
    question->btnYes->click();
    EXPECT_FALSE(question->isVisible());
    EXPECT_EQ(form.PermissionLevel(), 3);
    // "105:" is carried out as if the helpdesk had sent it: the user is logged off.
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("100:105"); }))
        << ::testing::PrintToString(helpdesk.Received());
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_TRUE(orvtest::Contains(FDesktop->Events(), "logoff"));

    // The raised level was this session's only: the next Connect starts from the command line's level.
    form.btNewSessionClick();
    form.aOpenConnectionExecute();
    EXPECT_EQ(form.PermissionLevel(), 0);
}

TEST_F(SessionTest, RestartRequestRefusedOrClosedDoesNothing)
{
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    helpdesk.Send("200:104");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::AskRestart); }));
    DialogWith(orvCustomerText::AskRestart)->btnNo->click();
    helpdesk.Send("200:105");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::AskLogOff); }));
    DialogWith(orvCustomerText::AskLogOff)->close();
    helpdesk.Send("200:999"); // neither: acknowledged, nothing asked
    helpdesk.Send("998:");
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:998:"); }));
    EXPECT_FALSE(helpdesk.HasReceived("20:104:"));
    EXPECT_FALSE(helpdesk.HasReceived("20:105:"));
    EXPECT_EQ(form.PermissionLevel(), 0);
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());
}

TEST_F(SessionTest, LevelThreeCarriesRequestsOutWithoutAsking)
{
    TfrmCustomer& form = Open({"/ALLOWREMOTEACTIONS"});
    EXPECT_EQ(form.PermissionLevel(), 3);
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    // Other data is not replayed as a command (it could be the gateway's own, like "11").
    helpdesk.Send("200:11");
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:200:11"); }))
        << ::testing::PrintToString(helpdesk.Received());
    helpdesk.Send("999:b");
    EXPECT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:999:b"); })) << "the command thread ended";

    helpdesk.Send("200:104");
    ASSERT_TRUE(WaitFor([&] { return helpdesk.HasReceived("100:104"); }))
        << ::testing::PrintToString(helpdesk.Received());
    EXPECT_LT(helpdesk.IndexOf("100:200"), helpdesk.IndexOf("100:104"));
    EXPECT_TRUE(VisibleDialogs().empty());
    EXPECT_TRUE(WaitFor([&] { return orvtest::Contains(FDesktop->Events(), "reboot"); }));
}

TEST_F(SessionTest, RestartModeRejoinsTheSameCode)
{
    const QDateTime now = QDateTime::currentDateTime();
    FEnv.Now = [now] { return now; };
    const int code = 424242;
    TfrmCustomer& form =
        Open({std::to_string(code), FormatRestartTime(now.addSecs(-9 * 60)), "/ALLOWVIEWING"});
    EXPECT_FALSE(form.StopRequested());
    EXPECT_TRUE(form.AutoConnect());
    EXPECT_EQ(form.PermissionLevel(), 1);
    EXPECT_EQ(form.PendingSession(), 0); // taken by the Connect at creation
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep2); })) << ::testing::PrintToString(DialogTexts());
    EXPECT_EQ(SessionCode(), code);
    EXPECT_EQ(form.lblConnID->text().toStdString(), SessionCodeText(code));

    // The entry written now names the session by its code.
    ASSERT_TRUE(form.CreateRestartShortcut());
    const std::string entry = orvtest::ReadFile(TorvRestartShortcut(FEnv.AutostartFolder).EntryPath());
    EXPECT_NE(entry.find(" " + std::to_string(code) + " " + FormatRestartTime(now) + " /ALLOWVIEWING\n"),
              std::string::npos)
        << entry;
}

// ---------------------------------------------------------------------------
// Pictures for scripts/render-pages
// ---------------------------------------------------------------------------

// The folder the pictures go to; empty when none are wanted.
QString RenderFolder()
{
    const char* folder = std::getenv("ORV_RENDER_DIR");
    return folder ? QString::fromLocal8Bit(folder) : QString();
}

bool SavePicture(QWidget& widget, const QDir& dir, const char* name)
{
    QTest::qWait(50);
    return widget.grab().save(dir.filePath(QString::fromLatin1(name) + QStringLiteral(".png")));
}

// The banner's waves move on their own; every picture catches them with the
// inner wave lit, as on the first frame, so a new run draws the same pictures.
bool SavePicture(TfrmCustomer& form, const QDir& dir, const char* name)
{
    QTest::qWait(50);
    const TorvBanner* banner = form.gifTopBanner;
    return WaitFor([banner] { return banner->Phase() % 3 == 0; }) &&
           form.grab().save(dir.filePath(QString::fromLatin1(name) + QStringLiteral(".png")));
}

class MainformRender : public MainformTest
{
};

TEST_F(MainformRender, SavesPictures)
{
    const QString folder = RenderFolder();
    if (folder.isEmpty())
        GTEST_SKIP() << "ORV_RENDER_DIR is not set";
    const QDir dir(folder);
    ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));
    TfrmCustomer& form = Open();
    auto save = [&](const char* name) { EXPECT_TRUE(SavePicture(form, dir, name)) << name; };
    form.MainTimer->stop(); // the pictures show what is set here, not the (absent) connection
    save("page1-open-connection");
    form.ShowPage(form.sbStep2);
    form.lblConnID->setText(QString::fromStdString(SessionCodeText(123456)));
    form.SetStatus(TorvStatus::Gateway);
    save("page2-waiting");
    form.ShowPage(form.sbStep3);
    form.SetStatus(TorvStatus::Session);
    // As in a session without a remote desktop.
    form.OpenVNCAsViewer->setEnabled(true);
    form.OpenVNCAsServer->setEnabled(true);
    save("page3-connected");
    // The remote-desktop group while the customer shows the desktop below remote control.
    form.OpenVNCAsViewer->setEnabled(false);
    form.OpenVNCAsServer->setEnabled(false);
    form.CloseVNC->setEnabled(true);
    form.cbViewOnly->setChecked(true);
    form.cbViewOnly->setVisible(true);
    form.cbViewOnly->setEnabled(true);
    save("page3-showing-desktop");
    form.ShowPage(form.sbStep5);
    form.SetStatus(TorvStatus::Ended);
    // Every session keeps a receipt, so the page always links it after one.
    form.lblReceipt->setVisible(true);
    save("page5-session-ended");

    // The chat window in the middle of a conversation.
    auto* chat = dynamic_cast<TorvChatFeature*>(form.Features().Find(TorvFeatureKind::Chat));
    ASSERT_NE(chat, nullptr);
    TChatForm& window = chat->Form();
    window.AddChatMessage("Hello, this is your helpdesk. Can you read me?");
    window.editMessage->setText(QStringLiteral("Yes, loud and clear."));
    window.btnSend->click();
    window.AddChatMessage("Good: I will look at your printer settings now.");
    window.editMessage->setText(QStringLiteral("Thank you"));
    EXPECT_TRUE(SavePicture(window, dir, "chat-window"));
}

// The transfer panel's rows and their progress come only from the session's
// own transfers, so this one runs a real session: the helpdesk's side of
// channel 4 is spoken by hand, with fixed names and sizes, and the sending
// side's acknowledgement window stops the upload at a known byte.
class MainformRenderSession : public SessionTest
{
protected:
    void SetUp() override
    {
        // No gateway is started for a picture nobody asked for.
        if (RenderFolder().isEmpty())
            GTEST_SKIP() << "ORV_RENDER_DIR is not set";
        SessionTest::SetUp();
        FStarted = true;
    }
    void TearDown() override
    {
        if (FStarted)
            SessionTest::TearDown();
    }

    bool FStarted = false;
};

TEST_F(MainformRenderSession, SavesTheFileTransferPanel)
{
    const QDir dir(RenderFolder());
    ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));
    TfrmCustomer& form = Open();
    THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
    ASSERT_NE(helpdesk.Connection(), nullptr);
    orvtest::ChannelCollector& peer = orvStartChannelThread(*helpdesk.Connection(), orvFileTransferChannel,
                                                            std::make_unique<orvtest::ChannelCollector>());
    auto* feature =
        dynamic_cast<TorvFileTransferFeature*>(form.Features().Find(TorvFeatureKind::FileTransfer));
    ASSERT_NE(feature, nullptr);
    TFileTransferUI& panel = feature->Panel();
    auto control = [&] {
        return dynamic_cast<TFileTransferControlThread*>(form.SessionChannelThread(orvFileTransferChannel));
    };
    ASSERT_NE(control(), nullptr);
    auto cells = [&](int row) {
        QTreeWidgetItem* item = panel.lvFiles->topLevelItem(row);
        QStringList texts;
        for (int column = 0; item && column < TFileTransferUI::colCount; ++column)
            texts << item->text(column);
        return texts.join(QLatin1Char('|')).toStdString();
    };
    auto offer = [&](const std::string& id, std::int32_t size, const std::string& path) {
        helpdesk.SendOn(orvFileTransferChannel,
                        JoinTransferMessage(orvFileCode::Offer, id, std::to_string(size) + ":" + path));
    };

    // A guide from the helpdesk, accepted and received whole.
    const std::string guide = NewTransferId();
    const std::int32_t guideSize = 180 * 1024;
    offer(guide, guideSize, "C:\\Users\\support\\Documents\\vpn-guide.pdf");
    ASSERT_TRUE(WaitFor([&] { return panel.RowCount() == 1; }));
    panel.ChooseTargetPath = [&](const QString& name) {
        return QString::fromStdString(FDir.File(name.toStdString()));
    };
    panel.lvFiles->topLevelItem(0)->setSelected(true);
    panel.RefreshTransfers();
    panel.aAcceptRequest->trigger();
    ASSERT_TRUE(WaitFor([&] { return peer.HasReceived(JoinTransferMessage(orvFileCode::Accept, guide)); }));
    for (std::int32_t sent = 0; sent < guideSize; sent += orvFileChunkSize)
        helpdesk.SendOn(orvFileTransferChannel,
                        JoinTransferMessage(orvFileCode::Data, guide, std::string(orvFileChunkSize, '%')));
    ASSERT_TRUE(WaitFor([&] { return cells(0) == "vpn-guide.pdf|receiving completed|180KB|184320|100"; }))
        << cells(0);
    panel.lvFiles->clearSelection();

    // A screenshot on its way to the helpdesk. The dialog would give the
    // whole path; a name relative to the file's folder keeps the temporary
    // folder, which differs on every run, out of the picture.
    orvtest::WriteFile(FDir.File("screenshot.png"), std::string(240 * 1024, 'x'));
    const QString folder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(FDir.Path())));
    panel.ChooseFilesToSend = [] { return QStringList{QStringLiteral("screenshot.png")}; };
    panel.aSendFileExecute();
    ASSERT_TRUE(QDir::setCurrent(folder));
    ASSERT_EQ(control()->TransferCount(), 2u);
    const std::string shot = control()->Transfer(1)->TransferId();
    ASSERT_TRUE(WaitFor([&] {
        return peer.HasReceived(JoinTransferMessage(orvFileCode::Offer, shot, "245760:screenshot.png"));
    }));
    helpdesk.SendOn(orvFileTransferChannel, JoinTransferMessage(orvFileCode::Accept, shot));
    // Acknowledged up to 94 KB, the sender goes on to 96 KB (40 %) and waits there.
    helpdesk.SendOn(orvFileTransferChannel, JoinTransferMessage(orvFileCode::Progress, shot, "96256"));
    ASSERT_TRUE(WaitFor([&] { return cells(1) == "screenshot.png|sending|240KB|98304|40"; })) << cells(1);

    // And a newer offer, waiting for the customer, who has just picked it.
    offer(NewTransferId(), 2 * 1024 * 1024, "/home/support/drivers.zip");
    ASSERT_TRUE(WaitFor([&] { return panel.RowCount() == 3; }));
    ASSERT_TRUE(WaitFor([&] { return cells(2) == "drivers.zip|waiting for permission to receive|2MB|0|0"; }))
        << cells(2);
    panel.lvFiles->topLevelItem(2)->setSelected(true);
    panel.RefreshTransfers();
    EXPECT_TRUE(panel.aAcceptRequest->isEnabled());
    EXPECT_EQ(cells(1), "screenshot.png|sending|240KB|98304|40");
    EXPECT_TRUE(SavePicture(form, dir, "page3-file-transfers"));
}

} // namespace
