#include "customer/Mainform.h"

#include "customer/CustomerApplication.h"
#include "customer/Pictures.h"
#include "customer/RestartShortcut.h"
#include "customer/StartupOptions.h"
#include "customer/Widgets.h"
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvChatFeature.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvFileTransferFeature.h"
#include "lib/orvMessageDlg.h"
#include "lib/orvReceiptForm.h"
#include "lib/orvRemoteDesktopFeature.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvUpdateFeature.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace {

constexpr int kClientWidth = 400;
constexpr int kClientHeight = 437;
constexpr int kBannerHeight = 60;
constexpr int kLinksHeight = 22;
constexpr int kBottomHeight = 44;
constexpr int kPageHeight = kClientHeight - kBannerHeight - kLinksHeight - kBottomHeight;
constexpr int kMainTimerMs = 250;
constexpr int kExitRightEdge = 392;
constexpr int kButtonPadding = 50;

// Registration values of this program.
constexpr const char* kProgramVersion = "beta4";
constexpr const char* kLanguage = "EN";

// Deployment addresses.
// The release date the update check compares ("16.12.2005" on the version label).
constexpr TorvDateTime kReleaseDate{2005, 12, 16, 0, 0, 0};
constexpr const char* kWebAddress = "https://www.orvalis.example/";
constexpr const char* kHelpAddress = "https://www.orvalis.example/help/";

// Question tag of this window; the remote-desktop feature asks its own.
constexpr int kCommandQuestion = 1;

QString Text(const char* text)
{
    return QString::fromUtf8(text);
}

QLabel* AddHeading(QWidget* page, QVBoxLayout* layout, const char* text)
{
    auto* label = new QLabel(Text(text), page);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    label->setFont(font);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #143C6E;"));
    layout->addWidget(label);
    return label;
}

QLabel* AddText(QWidget* page, QVBoxLayout* layout, const QString& text)
{
    auto* label = new QLabel(text, page);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(label);
    return label;
}

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption = "")
{
    auto* button = new QPushButton(Text(caption), parent);
    button->setObjectName(QLatin1String(name));
    return button;
}

QAction* NewAction(QWidget* owner, const char* name, const char* caption, const char* hint)
{
    auto* action = new QAction(Text(caption), owner);
    action->setObjectName(QLatin1String(name));
    if (*hint)
        action->setToolTip(Text(hint));
    owner->addAction(action);
    return action;
}

// The column of a wizard page.
QVBoxLayout* NewPageLayout(QWidget* page, int top = 14, int spacing = 10)
{
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(18, top, 18, 12);
    layout->setSpacing(spacing);
    return layout;
}

// A row with the button at its right edge.
void AddButtonRow(QVBoxLayout* layout, QPushButton* right, QWidget* left = nullptr)
{
    auto* row = new QHBoxLayout;
    if (left)
        row->addWidget(left);
    row->addStretch(1);
    row->addWidget(right);
    layout->addLayout(row);
}

} // namespace

// ===========================================================================
// Creation
// ===========================================================================

TfrmCustomer::TfrmCustomer(std::vector<std::string> args, TorvCustomerEnvironment environment)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      FEnv(std::move(environment))
{
    if (FEnv.SettingsFile.empty())
        FEnv.SettingsFile = SettingsFilePath();
    if (FEnv.AutostartFolder.empty())
        FEnv.AutostartFolder = DefaultAutostartFolder();
    if (FEnv.ExecutablePath.empty())
        FEnv.ExecutablePath = QCoreApplication::applicationFilePath().toStdString();

    setObjectName(QStringLiteral("frmCustomer"));
    setWindowTitle(Text(orvCustomerText::Caption));
    setWindowIcon(orvPicture(TorvPicture::Icon));
    setFixedSize(kClientWidth, kClientHeight);
    BuildWindow();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    RunCreationSteps(args);

    MainTimer = new QTimer(this);
    MainTimer->setObjectName(QStringLiteral("MainTimer"));
    MainTimer->setInterval(kMainTimerMs);
    connect(MainTimer, &QTimer::timeout, this,
            [this] { orvGuarded("TfrmCustomer.MainTimerTimer", [this] { MainTimerTimer(); }); });
    if (!FStopRequested)
        MainTimer->start();
}

void TfrmCustomer::BuildWindow()
{
    gifTopBanner = new TorvBanner(this);
    gifTopBanner->setObjectName(QStringLiteral("gifTopBanner"));
    gifTopBanner->setGeometry(0, 0, kClientWidth, kBannerHeight);
    connect(gifTopBanner, &TorvBanner::doubleClicked, this, [this] { gifTopBannerDblClick(); });

    pnLinks = new QFrame(this);
    pnLinks->setObjectName(QStringLiteral("pnLinks"));
    pnLinks->setGeometry(0, kBannerHeight, kClientWidth, kLinksHeight);
    pnLinks->setAutoFillBackground(true);
    QPalette links = pnLinks->palette();
    links.setColor(QPalette::Window, QColor(0xEE, 0xF2, 0xF7));
    pnLinks->setPalette(links);

    lblVersion = new QLabel(Text(orvCustomerText::ReleaseDate), pnLinks);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setGeometry(8, 0, 130, kLinksHeight);
    lblVersion->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    lblUpdate = new TorvClickLabel(pnLinks);
    lblUpdate->setObjectName(QStringLiteral("lblUpdate"));
    lblUpdate->setText(QStringLiteral("Check for update"));
    // Greyed while an update check runs, so the user sees why it does not react.
    lblUpdate->setStyleSheet(QStringLiteral("QLabel { color: #1F5FA8; text-decoration: underline; }"
                                            "QLabel:disabled { color: #8C8C8C; }"));
    lblUpdate->setCursor(Qt::PointingHandCursor);
    lblUpdate->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(lblUpdate, &TorvClickLabel::clicked, this, [this] { lblUpdateClick(); });

    Image1 = new TorvClickLabel(pnLinks);
    Image1->setObjectName(QStringLiteral("Image1"));
    const QPixmap logo = orvPicture(TorvPicture::Logo);
    Image1->setPixmap(logo);
    Image1->setGeometry(kClientWidth - logo.width() - 6, (kLinksHeight - logo.height()) / 2, logo.width(),
                        logo.height());
    connect(Image1, &TorvClickLabel::doubleClicked, this, [this] { Image1DblClick(); });

    MainPanel = new QFrame(this);
    MainPanel->setObjectName(QStringLiteral("MainPanel"));
    MainPanel->setGeometry(0, kBannerHeight + kLinksHeight, kClientWidth, kPageHeight);

    pnBottom = new QFrame(this);
    pnBottom->setObjectName(QStringLiteral("pnBottom"));
    pnBottom->setGeometry(0, kClientHeight - kBottomHeight, kClientWidth, kBottomHeight);
    pnBottom->setFrameShape(QFrame::NoFrame);
    auto* rule = new QFrame(pnBottom);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(0, 0, kClientWidth, 2);

    pnlStatus = new QLabel(pnBottom);
    pnlStatus->setObjectName(QStringLiteral("pnlStatus"));
    pnlStatus->setGeometry(8, 9, 210, 28);
    pnlStatus->setFrameShape(QFrame::Panel);
    pnlStatus->setFrameShadow(QFrame::Sunken);
    pnlStatus->setAutoFillBackground(true);
    pnlStatus->setIndent(32);
    pnlStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto statusImage = [this](QWidget* parent, const char* name, TorvPicture picture, const char* hint) {
        auto* image = new QLabel(parent);
        image->setObjectName(QLatin1String(name));
        image->setPixmap(orvPicture(picture));
        image->setToolTip(Text(hint));
        const QPoint at = parent == pnlStatus ? QPoint(5, 4) : pnlStatus->pos() + QPoint(5, 4);
        image->setGeometry(at.x(), at.y(), 20, 20);
        image->hide();
        return image;
    };
    imNoConnection = statusImage(pnlStatus, "imNoConnection", TorvPicture::StatusNone, "No connection.");
    imConnection =
        statusImage(pnlStatus, "imConnection", TorvPicture::StatusSession, "Connection established.");
    imConnectedToServer =
        statusImage(pnBottom, "imConnectedToServer", TorvPicture::StatusGateway, "Connection established.");
    imConnectedToServer->raise();

    btnExit = NewButton(pnBottom, "btnExit", "Exit Orvalis");
    btnExit->setToolTip(QStringLiteral("Close program."));
    btnExit->setGeometry(300, 9, 92, 28);
    connect(btnExit, &QPushButton::clicked, this, [this] { btnExitClick(); });

    aOpenConnection = NewAction(this, "aOpenConnection", "Connect", "Open remote support connection");
    aCloseConnection = NewAction(this, "aCloseConnection", "Disconnect", "Close remote support connection");
    aNextSession = NewAction(this, "aNextSession", "Restart", "");
    aToggleChat = NewAction(this, "aToggleChat", "Chat", "Chat with remote user.");
    aToggleChat->setCheckable(true);
    OpenVNCAsViewer = NewAction(this, "OpenVNCAsViewer", "View remote desktop", "");
    OpenVNCAsServer = NewAction(this, "OpenVNCAsServer", "Show your desktop", "");
    CloseVNC = NewAction(this, "CloseVNC", "Stop viewing/showing desktop", "");
    connect(aOpenConnection, &QAction::triggered, this, [this] {
        orvGuarded("TfrmCustomer.aOpenConnectionExecute", [this] { aOpenConnectionExecute(); });
    });
    connect(aCloseConnection, &QAction::triggered, this, [this] {
        orvGuarded("TfrmCustomer.aCloseConnectionExecute", [this] { aCloseConnectionExecute(); });
    });
    connect(aNextSession, &QAction::triggered, this, [this] { aNextSessionExecute(); });
    // A hidden key for trying the error report by hand.
    auto* raiseTestError = NewAction(this, "aRaiseTestError", "", "");
    raiseTestError->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F12));
    addAction(raiseTestError);
    connect(raiseTestError, &QAction::triggered, this,
            [this] { orvGuarded("TfrmCustomer.RaiseTestError", [this] { RaiseTestError(); }); });
    // The chat feature enables its toggle; the remote-desktop feature sets its own actions.
    aToggleChat->setEnabled(false);
    aCloseConnection->setEnabled(false);

    BuildPages();
    SetStatus(TorvStatus::Idle);
}

QWidget* TfrmCustomer::NewPage(const char* name)
{
    auto* page = new QWidget(MainPanel);
    page->setObjectName(QLatin1String(name));
    page->setGeometry(0, 0, kClientWidth, kPageHeight);
    page->setAutoFillBackground(true);
    page->hide();
    return page;
}

void TfrmCustomer::BuildPages()
{
    // Open connection.
    sbStep1 = NewPage("sbStep1");
    {
        auto* layout = NewPageLayout(sbStep1);
        AddHeading(sbStep1, layout, "Open remote support connection");
        AddText(
            sbStep1, layout,
            QStringLiteral("Welcome to Orvalis remote support application. With Orvalis your helpdesk can "
                           "support you remotely via internet. Your helpdesk person can view your desktop, "
                           "show you his/her desktop, transfer files, chat, etc."));
        AddText(
            sbStep1, layout,
            QStringLiteral("Press the \"Open connection\" button below to open a connection to your "
                           "helpdesk. The remote support connection is safe. You can close the connection "
                           "whenever you wish."));
        layout->addStretch(1);
        btConnect = NewButton(sbStep1, "btConnect");
        orvBindButton(btConnect, aOpenConnection);
        btConnect->setDefault(true);
        AddButtonRow(layout, btConnect);
    }

    // Waiting for the helpdesk.
    sbStep2 = NewPage("sbStep2");
    {
        auto* layout = NewPageLayout(sbStep2);
        AddHeading(sbStep2, layout, "Waiting for your helpdesk to connect.");
        lblConnID = AddText(sbStep2, layout, QString());
        lblConnID->setObjectName(QStringLiteral("lblConnID"));
        QFont code = lblConnID->font();
        code.setBold(true);
        code.setPointSizeF(code.pointSizeF() * 1.25);
        lblConnID->setFont(code);
        lblConnID->setTextInteractionFlags(Qt::TextSelectableByMouse);
        lblConnID->setStyleSheet(QStringLiteral("QLabel { background: #FFF8D6; border: 1px solid #D4B000; "
                                                "padding: 8px; }"));
        AddText(
            sbStep2, layout,
            QStringLiteral("Tell the secure session code above to you helpdesk person. Without the secure "
                           "session code your helpdesk person is not able to provide you with remote "
                           "support."));
        AddText(sbStep2, layout,
                QStringLiteral("If you want to cancel the current remote support session, press "
                               "\"Disconnect\"."));
        layout->addStretch(1);
        btnDisconnect = NewButton(sbStep2, "btnDisconnect");
        AddButtonRow(layout, btnDisconnect);
    }

    // In session.
    sbStep3 = NewPage("sbStep3");
    {
        // The fullest page: a little tighter, and the transfer list gets
        // nearly the whole width, which its columns need.
        auto* page = NewPageLayout(sbStep3, 12, 7);
        page->setContentsMargins(4, 12, 4, 12);
        auto* layout = new QVBoxLayout;
        layout->setContentsMargins(14, 0, 14, 0);
        layout->setSpacing(7);
        page->addLayout(layout);
        AddHeading(sbStep3, layout, "You are in remote support session with your helpdesk.");
        AddText(sbStep3, layout,
                QStringLiteral("Connection is established successfully. Now you can start viewing remote "
                               "desktop or show your own desktop to the remote user. You can also chat or "
                               "exchange files with remote user."));

        gbRemoteDesktop = new QGroupBox(QStringLiteral("Remote desktop"), sbStep3);
        gbRemoteDesktop->setObjectName(QStringLiteral("gbRemoteDesktop"));
        auto* desktop = new QHBoxLayout(gbRemoteDesktop);
        desktop->setContentsMargins(8, 4, 8, 6);
        btnShowDesktop = NewButton(gbRemoteDesktop, "btnShowDesktop", "Show my desktop");
        btnHideDesktop = NewButton(gbRemoteDesktop, "btnHideDesktop", "Hide desktop");
        cbViewOnly = new QCheckBox(QStringLiteral("View only"), gbRemoteDesktop);
        cbViewOnly->setObjectName(QStringLiteral("cbViewOnly"));
        cbViewOnly->setChecked(true);
        cbViewOnly->setToolTip(Text("If \"viewonly\" is selected, the remote user can see your desktop, but "
                                    "can\u00B4t control your mouse or keyboard."));
        desktop->addWidget(btnShowDesktop);
        desktop->addWidget(btnHideDesktop);
        desktop->addStretch(1);
        desktop->addWidget(cbViewOnly);
        // The buttons keep their own captions but are enabled as their actions are.
        for (const auto& [button, action] :
             {std::pair{btnShowDesktop, OpenVNCAsServer}, std::pair{btnHideDesktop, CloseVNC}}) {
            button->setEnabled(action->isEnabled());
            connect(action, &QAction::enabledChanged, button, &QPushButton::setEnabled);
            connect(button, &QPushButton::clicked, action, &QAction::trigger);
        }
        layout->addWidget(gbRemoteDesktop);

        sbFileTransfer = new QFrame(sbStep3);
        sbFileTransfer->setObjectName(QStringLiteral("sbFileTransfer"));
        sbFileTransfer->setFrameShape(QFrame::StyledPanel);
        sbFileTransfer->setMinimumHeight(80);
        auto* transfer = new QVBoxLayout(sbFileTransfer);
        transfer->setContentsMargins(0, 0, 0, 0);
        page->addWidget(sbFileTransfer, 1);

        btnToggleChat = NewButton(sbStep3, "btnToggleChat");
        orvBindButton(btnToggleChat, aToggleChat);
        btnToggleChat->setCheckable(true);
        connect(aToggleChat, &QAction::toggled, btnToggleChat, &QPushButton::setChecked);
        btCloseConnection = NewButton(sbStep3, "btCloseConnection");
        auto* buttons = new QVBoxLayout;
        buttons->setContentsMargins(14, 0, 14, 0);
        page->addLayout(buttons);
        AddButtonRow(buttons, btCloseConnection, btnToggleChat);
    }

    // Session ended.
    sbStep5 = NewPage("sbStep5");
    {
        auto* layout = NewPageLayout(sbStep5);
        AddHeading(sbStep5, layout, "2. Open the remote support connection");
        AddHeading(sbStep5, layout, "Connection is closed");
        AddText(sbStep5, layout,
                QStringLiteral("Your remote support session has ended. Connection to remote computer is "
                               "closed. Now you can start a new support session or close Orvalis.\n\n"
                               "We hope Orvalis helped you to receive better support!"));
        lblReceipt = new TorvClickLabel(sbStep5);
        lblReceipt->setObjectName(QStringLiteral("lblReceipt"));
        lblReceipt->setText(Text(orvCustomerText::ReceiptLink));
        lblReceipt->setToolTip(
            QStringLiteral("Who joined, what the helpdesk was allowed and did, and which files "
                           "went where."));
        lblReceipt->setStyleSheet(QStringLiteral("QLabel { color: #1F5FA8; text-decoration: underline; }"));
        lblReceipt->setCursor(Qt::PointingHandCursor);
        lblReceipt->hide();
        connect(lblReceipt, &TorvClickLabel::clicked, this,
                [this] { orvGuarded("TfrmCustomer.lblReceiptClick", [this] { lblReceiptClick(); }); });
        layout->addWidget(lblReceipt, 0, Qt::AlignLeft);
        layout->addStretch(1);
        btNewSession = NewButton(sbStep5, "btNewSession", "New session");
        btNewSession->setToolTip(QStringLiteral("Start new remote support session."));
        connect(btNewSession, &QPushButton::clicked, this, [this] { btNewSessionClick(); });
        AddButtonRow(layout, btNewSession);
    }

    for (QPushButton* disconnect : {btnDisconnect, btCloseConnection}) {
        // Both look like the Disconnect action but click through their own handler.
        orvFollowAction(disconnect, aCloseConnection);
        connect(disconnect, &QPushButton::clicked, this,
                [this] { orvGuarded("TfrmCustomer.btnDisconnectClick", [this] { btnDisconnectClick(); }); });
    }
}

void TfrmCustomer::RunCreationSteps(const std::vector<std::string>& args)
{
    // The update link in the middle of the link bar.
    const int textWidth = lblUpdate->fontMetrics().horizontalAdvance(lblUpdate->text());
    const int left = qRound(pnLinks->width() / 2.0 - textWidth / 2.0);
    lblUpdate->setGeometry(left, 0, textWidth + 2, kLinksHeight);

    // The name, not the display name: X11 would append a display name to
    // every window caption.
    QCoreApplication::setApplicationName(Text(orvCustomerText::Title));

    // Restart mode. An entry left from the last restart has done its work.
    TorvRestartShortcut(FEnv.AutostartFolder).Remove();
    const TorvStartupOptions options = ParseStartupArguments(args, Now());
    if (options.RestartExpired) {
        DebugLog("The time to reconnect after the restart has passed");
        FStopRequested = true;
        return;
    }
    FPendingSession = options.PendingSession;

    // The session features' windows.
    FeaturesCreate();

    FPermissionLevel = options.PermissionLevel;
    FStartLevel = options.PermissionLevel;
    FAutoConnect = options.AutoConnect;

    if (FAutoConnect)
        aOpenConnectionExecute();

    SizeButtons();
    lblVersion->setText(QStringLiteral("Version ") + lblVersion->text());
}

void TfrmCustomer::SizeButtons()
{
    for (QPushButton* button : {btConnect, btnDisconnect, btCloseConnection, btNewSession, btnExit})
        button->setFixedWidth(button->fontMetrics().horizontalAdvance(button->text()) + kButtonPadding);
    btnExit->move(kExitRightEdge - btnExit->width(), btnExit->y());
    pnlStatus->setFixedWidth(std::min(pnlStatus->width(), btnExit->x() - pnlStatus->x() - 8));
}

// ===========================================================================
// Closing
// ===========================================================================

void TfrmCustomer::closeEvent(QCloseEvent* event)
{
    DebugLog("Closing mainform");
    orvGuarded("TfrmCustomer.FormClose", [this] {
        FServers.reset();
        if (FConnection && FConnection->GetConnectionState() == csConnected) {
            if (FReceipt)
                FReceipt->Ended(TorvEndReason::Closed);
            Disconnect();
        }
    });
    DebugLog("Mainform closed");
    event->accept();
    emit closed();
}

TfrmCustomer::~TfrmCustomer()
{
    DebugLog("Closing mainform");
    orvGuarded("TfrmCustomer.FormDestroy", [this] {
        FServers.reset();
        Disconnect();
    });
    orvStopConnectionThread();
    FFeatures.DestroyAll();
    SetBusyCursor(false);
    DebugLog("Mainform closed");
}

// ===========================================================================
// Pages
// ===========================================================================

void TfrmCustomer::ShowPage(QWidget* page)
{
    if (page == FCurrentPage)
        return;
    const int height = MainPanel->height();
    page->raise();
    if (FEnv.AnimatePages && isVisible()) {
        page->setGeometry(0, height, MainPanel->width(), height);
        page->show();
        for (int top = height / 10 * 10; top >= 0; top -= 10) {
            QElapsedTimer step;
            step.start();
            page->move(0, top);
            page->repaint();
            while (step.nsecsElapsed() < 1000000)
                QThread::usleep(100);
        }
    }
    page->setGeometry(0, 0, MainPanel->width(), height);
    page->show();
    if (FCurrentPage)
        FCurrentPage->hide();
    FCurrentPage = page;
    if (page == sbStep1)
        sbStep1Enter();
    else if (page == sbStep2)
        sbStep2Enter();
    else if (page == sbStep5)
        lblReceipt->setVisible(FReceipt != nullptr);
}

void TfrmCustomer::SetStatus(TorvStatus status)
{
    QColor colour;
    QString text = QStringLiteral("No connection");
    QColor ink = Qt::black;
    switch (status) {
    case TorvStatus::Idle: colour = QColor(192, 192, 192); break;
    case TorvStatus::Ended:
        colour = QColor(128, 128, 128);
        ink = Qt::white;
        break;
    case TorvStatus::Gateway:
        colour = QColor(255, 255, 0);
        text = QStringLiteral("Connected to Server");
        break;
    case TorvStatus::Session:
        colour = QColor(0, 128, 0);
        ink = Qt::white;
        text = QStringLiteral("Connected");
        break;
    }
    QPalette palette = pnlStatus->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::WindowText, ink);
    pnlStatus->setPalette(palette);
    pnlStatus->setText(text);
    imNoConnection->setVisible(status == TorvStatus::Idle || status == TorvStatus::Ended);
    imConnectedToServer->setVisible(status == TorvStatus::Gateway);
    imConnection->setVisible(status == TorvStatus::Session);
}

void TfrmCustomer::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Activation may never come (no window manager), so the first show counts as it too.
    if (FFirstActivation)
        QMetaObject::invokeMethod(
            this, [this] { FormActivate(); }, Qt::QueuedConnection);
}

void TfrmCustomer::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TfrmCustomer::FormActivate()
{
    if (!FFirstActivation)
        return;
    FFirstActivation = false;
    DebugLog("Main form shown");
    // A page the timer has shown already (an auto-connect that was quick) stays.
    if (!FCurrentPage)
        ShowPage(sbStep1);
}

void TfrmCustomer::sbStep1Enter()
{
    // While an auto-connect establishment runs, Connect stays disabled: a
    // second press would only throw the running one away.
    SetConnectEnabled(FServers == nullptr);
    SetStatus(TorvStatus::Idle);
}

void TfrmCustomer::sbStep2Enter()
{
    if (FConnection) {
        FShownSession = FConnection->SessionIdentifier();
        const int code = static_cast<int>(static_cast<std::int64_t>(FShownSession) - orvSessionIDBase);
        char text[160];
        std::snprintf(text, sizeof text, orvCustomerText::SessionCode, code);
        lblConnID->setText(QString::fromUtf8(text));
        DebugLogFmt("Session code is %d", code);
    }
    SetConnectEnabled(false);
    SetBusyCursor(false);
}

// ===========================================================================
// The timer
// ===========================================================================

TServerConnectionState TfrmCustomer::ShownServerState() const
{
    if (FConnection && FConnection->GetActive() && FConnection->GetConnectionState() == csConnected)
        return FConnection->ServerConnectionState();
    return scsDisconnected;
}

void TfrmCustomer::MainTimerTimer()
{
    // Follow the connection's state.
    const TServerConnectionState state = ShownServerState();
    // A connection lost before its first tick still ends on the session-ended page.
    const bool takenOver = std::exchange(FTakenOver, false);
    if (state != FLastShownState || takenOver) {
        // A connection just taken over starts from nothing, whatever the last one showed.
        const TServerConnectionState before = takenOver ? scsDisconnected : FLastShownState;
        if (FReceipt && state == scsTotallyConnected)
            FReceipt->HelpdeskJoined();
        else if (FReceipt && before == scsTotallyConnected)
            FReceipt->HelpdeskLeft();
        switch (state) {
        case scsDisconnected:
            if (FReceipt)
                FReceipt->Ended(TorvEndReason::Lost);
            SetBusyCursor(false);
            SetConnectEnabled(true);
            SetStatus(TorvStatus::Ended);
            if (FLastShownState != scsDisconnected || takenOver)
                ShowPage(sbStep5);
            SetRemoteDesktopActionsEnabled(false);
            break;
        case scsConnectedToServer:
            SetBusyCursor(false);
            SetConnectEnabled(false);
            SetRemoteDesktopActionsEnabled(false);
            break;
        case scsRegisteredToServer:
            SetBusyCursor(false);
            SetConnectEnabled(false);
            SetStatus(TorvStatus::Gateway);
            ShowPage(sbStep2);
            SetRemoteDesktopActionsEnabled(false);
            break;
        case scsTotallyConnected:
            SetBusyCursor(false);
            SetConnectEnabled(false);
            SetStatus(TorvStatus::Session);
            ShowPage(sbStep3);
            break;
        }
        FLastShownState = state;
    }
    // Registered again under a new code (the link came back): show the code that is valid.
    if (state == scsRegisteredToServer && FCurrentPage == sbStep2 && FConnection &&
        FConnection->SessionIdentifier() != FShownSession)
        sbStep2Enter();

    // The session features follow the session.
    if (state == scsTotallyConnected)
        FFeatures.Refresh();

    // One waiting command of each channel.
    HandleOneCommand();
    HandleOneRemoteDesktopCommand();

    // The establishment.
    if (!FConnection && FServers)
        PollEstablishment();

    FFeatures.EndOfTick();
}

void TfrmCustomer::PollEstablishment()
{
    if (FServers->Failed()) {
        DebugLog("Unable to connect");
        const int error = FServers->ErrorCode();
        const std::string settingsError = FServers->SettingsError();
        const bool identityRefused = FServers->IdentityRefused();
        FServers.reset();
        SetBusyCursor(false);
        SetConnectEnabled(true);
        // A gateway that failed to prove its key says more than the others' failures.
        if (!settingsError.empty())
            ShowMessageText(settingsError);
        else if (identityRefused)
            ShowMessageText(orvCustomerText::GatewayIdentity);
        else if (error != 0)
            ShowMessageText(ResultText(error));
        else
            ShowMessageText(orvCustomerText::NoGateway);
        return;
    }
    TorvConnection* won = FServers->Poll();
    if (!won)
        return; // the next Poll reports a failure that this one found
    DebugLogFmt("Found a connected connection to %s:%d", won->GetAddress().c_str(), won->GetPort());
    std::unique_ptr<TorvConnection> connection = FServers->Detach(won);
    FServers->CloseAll();
    FServers.reset();
    FConnection = std::move(connection);
    FTakenOver = true;
    ++FSessionSerial;
    StartReceipt();
    DebugLog("Initializing connection");
    FFeatures.TakeOver(*FConnection);
}

// ===========================================================================
// Actions
// ===========================================================================

void TfrmCustomer::StartReceipt()
{
    const int code =
        static_cast<int>(static_cast<std::int64_t>(FConnection->SessionIdentifier()) - orvSessionIDBase);
    FReceipt = std::make_shared<TorvSessionReceipt>(
        FEnv.ReceiptFolder.empty() ? orvReceiptFolder() : FEnv.ReceiptFolder,
        std::string(orvCustomerText::Caption) + " " + kProgramVersion);
    FReceipt->Connected(FConnection->GetAddress(), FConnection->GetPort(), code, FConnectPressed);
    FReceipt->Permission(FPermissionLevel, FPermissionLevel == FStartLevel && FStartLevel != orvLevelBasic
                                               ? "set by the start switch " + PermissionSwitch(FStartLevel)
                                               : std::string("the program's default"));
}

void TfrmCustomer::lblReceiptClick()
{
    if (!FReceipt)
        return;
    if (!FReceiptForm)
        FReceiptForm = std::make_unique<TReceiptForm>(this);
    FReceiptForm->SetReceipt(FReceipt);
    FReceiptForm->show();
    FReceiptForm->raise();
    FReceiptForm->activateWindow();
}

void TfrmCustomer::aOpenConnectionExecute()
{
    FConnectPressed = std::chrono::system_clock::now();
    SetBusyCursor(true);
    SetConnectEnabled(false);
    FConnection.reset();
    // A Yes given in an earlier session does not carry over to the next.
    FPermissionLevel = FStartLevel;
    std::int32_t session = 0;
    if (FPendingSession > 0) {
        session = FPendingSession;
        FPendingSession = 0;
    }
    FServers.reset();
    FServers = std::make_unique<TOrvServers>(FEnv.SettingsFile, FEnv.EstablishTimeout);
    FServers->Start(session > 0 ? orvSessionIDBase + session : 0, orvKindCustomer, kProgramVersion, kLanguage,
                    orvRegisteringDataVersion);
}

void TfrmCustomer::aCloseConnectionExecute()
{
    Disconnect();
}

void TfrmCustomer::btnDisconnectClick()
{
    Disconnect();
}

void TfrmCustomer::Disconnect()
{
    if (!FConnection)
        return;
    if (FReceipt)
        FReceipt->Ended(TorvEndReason::Disconnect);
    if (TorvCommandThread* command = CommandThread()) {
        // The helpdesk hears why the session ends, then the gateway that we leave.
        try {
            command->SendErrorCode(orvResult::CustomerClosed);
            command->SendLeave();
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TfrmCustomer.Disconnect: %s", e.what());
        }
    }
    FConnection.reset();
}

void TfrmCustomer::btNewSessionClick()
{
    ShowPage(sbStep1);
}

void TfrmCustomer::aNextSessionExecute()
{
    ShowPage(sbStep1);
}

void TfrmCustomer::btnExitClick()
{
    close();
}

void TfrmCustomer::Image1DblClick()
{
    OpenAddress(QUrl(QString::fromLatin1(kWebAddress)));
}

void TfrmCustomer::gifTopBannerDblClick()
{
    OpenAddress(QUrl(QString::fromLatin1(kHelpAddress)));
}

void TfrmCustomer::OpenAddress(const QUrl& address)
{
    // A desktop without a browser is no reason to bother the user.
    try {
        if (FEnv.OpenAddress)
            FEnv.OpenAddress(address);
        else
            QDesktopServices::openUrl(address);
    } catch (...) {
    }
}

QDateTime TfrmCustomer::Now() const
{
    return FEnv.Now ? FEnv.Now() : QDateTime::currentDateTime();
}

void TfrmCustomer::SetConnectEnabled(bool enabled)
{
    aOpenConnection->setEnabled(enabled);
    aCloseConnection->setEnabled(!enabled);
}

void TfrmCustomer::SetRemoteDesktopActionsEnabled(bool enabled)
{
    for (QAction* action : {OpenVNCAsViewer, OpenVNCAsServer, CloseVNC})
        action->setEnabled(enabled);
}

void TfrmCustomer::SetBusyCursor(bool busy)
{
    if (busy == FBusyCursor)
        return;
    FBusyCursor = busy;
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

void TfrmCustomer::RaisePermissionLevel(std::uint8_t atLeast, const std::string& cause)
{
    if (atLeast <= FPermissionLevel)
        return;
    FPermissionLevel = atLeast;
    if (FReceipt)
        FReceipt->Permission(FPermissionLevel, cause);
}

TorvCommandThread* TfrmCustomer::CommandThread() const
{
    return dynamic_cast<TorvCommandThread*>(SessionChannelThread(orvCommandChannel));
}

TorvChannelThread* TfrmCustomer::SessionChannelThread(int channel) const
{
    return FConnection ? FConnection->FindChannelThread(channel) : nullptr;
}

// ===========================================================================
// The command channel
// ===========================================================================

void TfrmCustomer::HandleOneCommand()
{
    TorvCommandThread* command = CommandThread();
    if (!command)
        return;
    const std::string text = command->GetUnhandledCommand();
    if (text.empty())
        return;
    const TorvCommandParts parts = SplitCommandText(text);
    const std::string& code = parts.Code;
    const std::string& data = parts.Data;

    if (HelpdeskRequestedAction(code, data))
        return;
    if (code == orvCmd::ErrorCode) {
        // A reason-less notice (an empty "7:" from the gateway) has nothing to show.
        if (data == "203" || data.empty())
            return;
        const auto record = DecodeRegisteringData(data);
        const int result = record ? record->ResultCode : DecimalOrThrow(data);
        const std::string message = ResultText(result);
        if (FReceipt) {
            if (ShownServerState() == scsDisconnected)
                FReceipt->Ended(TorvEndReason::Gateway, result, message);
            else
                FReceipt->Notice(result, message);
        }
        ShowMessageText(message);
    } else if (code == orvCmd::RequestRestartOrLogOff) {
        command->SendAcknowledge(std::string(orvCmd::Acknowledge), code);
        // Only the two requests this command exists for are carried out: any
        // other data would let the helpdesk play the gateway's part.
        const auto action = data == orvCmd::LogOff ? TorvHelpdeskAction::LogOff : TorvHelpdeskAction::Restart;
        const char* question =
            data == orvCmd::LogOff ? orvCustomerText::AskLogOff : orvCustomerText::AskRestart;
        if (data != orvCmd::LogOff && data != orvCmd::Restart) {
            command->SendNotHandled(text);
        } else if (FPermissionLevel == orvLevelAllowRemoteActions) {
            if (FReceipt)
                FReceipt->Action(action, TorvActionOutcome::GrantedByLevel);
            command->AddMessage(JoinCommand(data, ""));
        } else {
            if (FReceipt)
                FReceipt->Action(action, TorvActionOutcome::Asked, {}, question);
            AskCommandQuestion(question, JoinCommand(data, ""));
        }
    } else if (code == orvCmd::NotHandled) {
        // The helpdesk did not understand something of ours: nothing to do.
    } else {
        command->SendNotHandled(text);
    }
}

void TfrmCustomer::AskCommandQuestion(const std::string& text, const std::string& reply)
{
    // The question may outlive the window.
    QPointer<TfrmCustomer> self(this);
    const unsigned serial = FSessionSerial;
    ShowCommandQuestion(text, mdbYesNo, kCommandQuestion, reply,
                        [self, serial](TMessageDlg& dialog, int answer) {
                            // A question of an earlier session answers nothing in this one.
                            if (self && serial == self->FSessionSerial)
                                self->QuestionAnswered(dialog, answer);
                            else if (answer != mdaClosed)
                                dialog.close();
                        });
}

void TfrmCustomer::QuestionAnswered(TMessageDlg& dialog, int answer)
{
    orvGuarded("TfrmCustomer.QuestionAnswered", [&] {
        if (dialog.Kind == kCommandQuestion)
            CommandQuestionAnswer(dialog, answer);
        else if (answer != mdaClosed)
            dialog.close();
    });
}

void TfrmCustomer::CommandQuestionAnswer(TMessageDlg& dialog, int answer)
{
    if (TorvCommandThread* command = CommandThread()) {
        NoteQuestionAnswer(dialog.Command, answer == mdaYes);
        if (answer == mdaYes)
            command->AddMessage(dialog.Command);
    }
    if (answer != mdaClosed)
        dialog.close();
}

void TfrmCustomer::NoteQuestionAnswer(const std::string& command, bool yes)
{
    const std::string code = SplitCommandText(command).Code;
    if (code != orvCmd::LogOff && code != orvCmd::Restart)
        return;
    const bool logOff = code == orvCmd::LogOff;
    if (FReceipt)
        FReceipt->Action(logOff ? TorvHelpdeskAction::LogOff : TorvHelpdeskAction::Restart,
                         yes ? TorvActionOutcome::GrantedByAnswer : TorvActionOutcome::Refused);
    if (yes)
        RaisePermissionLevel(
            orvLevelAllowRemoteActions,
            orvAnsweredYes(logOff ? orvCustomerText::AskLogOff : orvCustomerText::AskRestart));
}

// ===========================================================================
// The restart entry
// ===========================================================================

bool TfrmCustomer::CreateRestartShortcut()
{
    const TorvRestartShortcut shortcut(FEnv.AutostartFolder);
    DebugLogFmt("Startup folder is %s", shortcut.Folder().c_str());
    DebugLogFmt("Creating shelllink. Shellink is: %s", shortcut.EntryPath().c_str());
    std::int32_t session = FPendingSession;
    if (session <= 0)
        session = FConnection ? FConnection->SessionIdentifier() % orvSessionIDBase : 0;
    return shortcut.Write(FEnv.ExecutablePath, RestartArguments(session, Now(), FPermissionLevel));
}

// ===========================================================================
// Hook points of the session features
// ===========================================================================

void TfrmCustomer::FeaturesCreate()
{
    FFeatures.Add(std::make_unique<TorvFileTransferFeature>(*this, sbFileTransfer));
    FFeatures.Add(std::make_unique<TorvChatFeature>(*this, this, aToggleChat));
    FFeatures.Add(std::make_unique<TorvRemoteDesktopFeature>(*this, OpenVNCAsViewer, OpenVNCAsServer,
                                                             CloseVNC, cbViewOnly, FEnv.RemoteDesktopParts));

    const TorvUpdateServer server = orvUpdateServer(FEnv.SettingsFile);
    TorvUpdateRequest update;
    update.UpdateUrl = server.UpdateUrl;
    update.WebPageAddress = server.WebPageAddress;
    update.OwnReleaseDate = kReleaseDate;
    update.Language = "EN";
    update.Kind = TorvProgramKind::Customer;
    TorvUpdateDesktop desktop = TorvUpdateDesktop::Default();
    desktop.EndProgram = FEnv.EndProgram ? FEnv.EndProgram : [] { QCoreApplication::quit(); };
    FFeatures.Add(std::make_unique<TorvUpdateFeature>(lblUpdate, std::move(update), std::move(desktop)));
}

void TfrmCustomer::HandleOneRemoteDesktopCommand()
{
    FFeatures.HandleOneCommand();
}

// Out of line, so that the report's stack list names it.
[[gnu::noinline]] void TfrmCustomer::RaiseTestError()
{
    throw EorvException("Test error raised with Ctrl+Shift+F12");
}

void TfrmCustomer::lblUpdateClick()
{
    if (auto* update = static_cast<TorvUpdateFeature*>(FFeatures.Find(TorvFeatureKind::Update)))
        update->lblUpdateClick();
}

bool TfrmCustomer::HelpdeskRequestedAction(const std::string& code, const std::string& data)
{
    return FHelpdeskActions.Handle(code, data);
}

void TfrmCustomer::ShowActionMessage(const std::string& text)
{
    ShowMessageText(text);
}

void TfrmCustomer::ProcessPendingEvents()
{
    QCoreApplication::processEvents();
}

void TfrmCustomer::PauseGuiThread(std::chrono::milliseconds time)
{
    if (FEnv.PauseGuiThread) {
        FEnv.PauseGuiThread(time);
        return;
    }
    // The window system shows a message only once it is painted, which a
    // sleeping thread never does: the wait keeps painting, but takes no
    // input and no further helpdesk command meanwhile.
    const bool ticking = MainTimer->isActive();
    MainTimer->stop();
    QEventLoop wait;
    QTimer::singleShot(time, &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    if (ticking)
        MainTimer->start();
}

void TfrmCustomer::CloseMainWindow()
{
    close();
}
