#pragma once

// The customer program's main window: a small wizard that leads through
// opening a connection, waiting for the helpdesk, the session and its end.
// It owns the establishment (TOrvServers) while a Connect runs and the
// session's connection once one has registered; a 250 ms timer drives it.

#include "lib/orvConnections.h"
#include "lib/orvGatewayPins.h"
#include "lib/orvHelpdeskActions.h"
#include "lib/orvSessionFeature.h"
#include "lib/orvVNCThread.h"

#include <QDateTime>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;
class TMessageDlg;
class TOrvServers;
class TReceiptForm;
class TorvBanner;
class TorvClickLabel;
class TorvCommandThread;

// Where the window finds what lies outside it. The defaults are the running
// program's; tests point them elsewhere.
struct TorvCustomerEnvironment
{
    std::string SettingsFile;    // empty: the settings file beside the executable
    std::string AutostartFolder; // empty: the desktop's autostart folder
    std::string ExecutablePath;  // empty: the running executable
    std::chrono::milliseconds EstablishTimeout = std::chrono::seconds(30);
    bool AnimatePages = true;                                      // false: page changes are instant
    std::function<QDateTime()> Now;                                // empty: the current local time
    std::function<void(const QUrl&)> OpenAddress;                  // empty: the desktop's default handler
    std::function<TorvRemoteDesktopParts()> RemoteDesktopParts;    // empty: the real relays
    std::function<void(std::chrono::milliseconds)> PauseGuiThread; // empty: waits painting, no input
    std::function<void()> EndProgram; // after the update package started; empty: the application quits
    std::string ReceiptFolder;        // where session receipts are kept; empty: the user's state folder
};

// Status panel looks.
enum class TorvStatus {
    Idle,    // first page: "No connection", light grey
    Ended,   // connection gone: "No connection", grey
    Gateway, // registered: "Connected to Server", yellow
    Session, // helpdesk joined: "Connected", green
};

class TfrmCustomer : public QWidget, public TorvSessionHost, private TorvHelpdeskActionsHost
{
    Q_OBJECT

public:
    // args: the command line without the program name.
    explicit TfrmCustomer(std::vector<std::string> args, TorvCustomerEnvironment environment = {});
    ~TfrmCustomer() override;
    TfrmCustomer(const TfrmCustomer&) = delete;
    TfrmCustomer& operator=(const TfrmCustomer&) = delete;

    // A restart whose time window has passed: the program ends without showing the window.
    bool StopRequested() const { return FStopRequested; }
    std::uint8_t PermissionLevel() const override { return FPermissionLevel; }
    void RaisePermissionLevel(std::uint8_t atLeast, const std::string& cause) override;
    // The receipt of the session in progress, or of the last one.
    std::shared_ptr<TorvSessionReceipt> SessionReceipt() const override { return FReceipt; }
    // The receipt's window, once opened.
    TReceiptForm* ReceiptWindow() const { return FReceiptForm.get(); }
    bool AutoConnect() const { return FAutoConnect; }
    std::int32_t PendingSession() const { return FPendingSession; }

    TorvConnection* Connection() const { return FConnection.get(); }
    TOrvServers* Servers() const { return FServers.get(); }
    TorvCommandThread* CommandThread() const override;
    // The features ask for the connection and their channel thread here; none without a connection.
    TorvConnection* SessionConnection() const override { return FConnection.get(); }
    TorvChannelThread* SessionChannelThread(int channel) const override;
    const TorvSessionFeatures& Features() const { return FFeatures; }

    QWidget* CurrentPage() const { return FCurrentPage; }
    TServerConnectionState LastShownServerState() const { return FLastShownState; }
    TServerConnectionState ShownServerState() const;

    void ShowPage(QWidget* page);
    void SetStatus(TorvStatus status);

    // Writes the restart entry for the current session; true when written.
    bool CreateRestartShortcut() override;

    // Handlers, by the names the window description gives them.
    void MainTimerTimer();
    void FormActivate();
    void sbStep1Enter();
    void sbStep2Enter();
    void aOpenConnectionExecute();
    void aCloseConnectionExecute();
    void btnDisconnectClick();
    void btNewSessionClick();
    void aNextSessionExecute();
    void btnExitClick();
    void Image1DblClick();
    void gifTopBannerDblClick();
    void lblUpdateClick();
    void lblReceiptClick();
    // Ctrl+Shift+F12: raises an error, to try the error report.
    void RaiseTestError();

signals:
    // The close request was granted; the program's message loop ends on it.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildWindow();
    void BuildPages();
    QWidget* NewPage(const char* name);
    void RunCreationSteps(const std::vector<std::string>& args);
    void SizeButtons();

    void Disconnect();
    void HandleOneCommand();
    void PollEstablishment();
    void SetConnectEnabled(bool enabled);
    void SetRemoteDesktopActionsEnabled(bool enabled);
    void SetBusyCursor(bool busy);
    void AskCommandQuestion(const std::string& text, const std::string& reply);
    void QuestionAnswered(TMessageDlg& dialog, int answer);
    void CommandQuestionAnswer(TMessageDlg& dialog, int answer);
    void OpenAddress(const QUrl& address);
    QDateTime Now() const;
    // A new receipt for the connection just taken over.
    void StartReceipt();
    void NoteQuestionAnswer(const std::string& command, bool yes);

    // The session features come to life here, in creation order (the
    // file-transfer panel, the chat window, then the remote-desktop
    // controls); FFeatures calls them at the other hooks.
    void FeaturesCreate();
    void HandleOneRemoteDesktopCommand(); // one channel-2 command per tick
    // The helpdesk-requested actions (101 to 105, 107, 108); false: not carried out here.
    bool HelpdeskRequestedAction(const std::string& code, const std::string& data);
    void ShowActionMessage(const std::string& text) override;
    void ProcessPendingEvents() override;
    void PauseGuiThread(std::chrono::milliseconds time) override;
    void CloseMainWindow() override;

    TorvCustomerEnvironment FEnv;

    // Start-up state.
    std::uint8_t FPermissionLevel = 0;
    std::uint8_t FStartLevel = 0; // from the command line; every new session starts from it
    std::int32_t FPendingSession = 0;
    bool FAutoConnect = false;
    bool FFirstActivation = true;
    bool FStopRequested = false;
    bool FBusyCursor = false;

    TorvSessionFeatures FFeatures;
    TorvHelpdeskActions FHelpdeskActions{*this};

    // Session state.
    std::unique_ptr<TOrvServers> FServers;
    std::unique_ptr<TorvConnection> FConnection;
    TServerConnectionState FLastShownState = scsDisconnected;
    bool FTakenOver = false;        // a connection was taken over and its state not shown yet
    std::int32_t FShownSession = 0; // the session identifier the waiting page shows
    unsigned FSessionSerial = 0;    // tells answers to an earlier session's questions apart
    QWidget* FCurrentPage = nullptr;
    std::chrono::system_clock::time_point FConnectPressed;
    std::shared_ptr<TorvSessionReceipt> FReceipt;
    std::unique_ptr<TReceiptForm> FReceiptForm;

public:
    // Controls, by their object names.
    TorvBanner* gifTopBanner = nullptr;
    QFrame* pnLinks = nullptr;
    QLabel* lblVersion = nullptr;
    TorvClickLabel* lblUpdate = nullptr;
    TorvClickLabel* Image1 = nullptr;
    QFrame* MainPanel = nullptr;
    QWidget* sbStep1 = nullptr;
    QWidget* sbStep2 = nullptr;
    QWidget* sbStep3 = nullptr;
    QWidget* sbStep5 = nullptr;
    QFrame* pnBottom = nullptr;
    QLabel* pnlStatus = nullptr;
    QLabel* imNoConnection = nullptr;
    QLabel* imConnection = nullptr;
    QLabel* imConnectedToServer = nullptr;
    QPushButton* btnExit = nullptr;
    QPushButton* btConnect = nullptr;
    QPushButton* btnDisconnect = nullptr;
    QPushButton* btCloseConnection = nullptr;
    QPushButton* btNewSession = nullptr;
    TorvClickLabel* lblReceipt = nullptr;
    QLabel* lblConnID = nullptr;
    QGroupBox* gbRemoteDesktop = nullptr;
    QPushButton* btnShowDesktop = nullptr;
    QPushButton* btnHideDesktop = nullptr;
    QCheckBox* cbViewOnly = nullptr;
    QPushButton* btnToggleChat = nullptr;
    QFrame* sbFileTransfer = nullptr;
    QTimer* MainTimer = nullptr;

    QAction* aOpenConnection = nullptr;
    QAction* aCloseConnection = nullptr;
    QAction* aNextSession = nullptr;
    QAction* aToggleChat = nullptr;
    QAction* OpenVNCAsViewer = nullptr;
    QAction* OpenVNCAsServer = nullptr;
    QAction* CloseVNC = nullptr;
};

// The window's fixed texts, shared with the tests.
namespace orvCustomerText {
inline constexpr const char* Title = "Remote support";
inline constexpr const char* Caption = "Orvalis, customer's program";
inline constexpr const char* ReleaseDate = "16.12.2005";
inline constexpr const char* SessionCode =
    "Your secure session code is %d. Tell this to your helpdesk person.";
inline constexpr const char* NoGateway =
    "Your computer is not able to connect to Orvalis gateway. Please check that your computer\u00B4s "
    "firewall "
    "does not prevent connection and that your network connection is otherwise ok. It is possible that your "
    "application version is too old. You can check for new update by pressing \"check for update\" link.";
inline constexpr const char* GatewayIdentity = orvGatewayIdentityRefusedText;
inline constexpr const char* AskLogOff = "Do you want to allow helpdesk to log you off?";
inline constexpr const char* AskRestart = "Do you want to allow helpdesk to restart your computer?";
inline constexpr const char* ReceiptLink = "What happened in this session";
} // namespace orvCustomerText
