#include "lib/orvRemoteDesktopFeature.h"

#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvMessageDlg.h"
#include "lib/orvThreads.h"

#include <QAction>
#include <QCheckBox>
#include <QPointer>

#include <cstdint>

namespace {

constexpr const char* kUnit = "lib/orvRemoteDesktopFeature";

// The window's permission levels this feature looks at.
constexpr std::uint8_t kLevelAllowViewing = 1;
constexpr std::uint8_t kLevelAllowRemoteControl = 2;

// "11:10": the helpdesk asks for our mouse and keyboard.
constexpr const char* kControlRequest = "10";

bool Running(TVNCState state)
{
    return state == vsConnectingAsViewer1 || state == vsConnectingAsViewer2 || state == vsCustomerAsViewer;
}

std::string StartText(const char* role)
{
    return JoinCommand(orvVNC::Start, role);
}

} // namespace

TorvRemoteDesktopFeature::TorvRemoteDesktopFeature(TorvSessionHost& host, QAction* openAsViewer,
                                                   QAction* openAsServer, QAction* closeVNC,
                                                   QCheckBox* viewOnly, TPartsFactory parts)
    : FHost(host), FOpenAsViewer(openAsViewer), FOpenAsServer(openAsServer), FCloseVNC(closeVNC),
      FViewOnly(viewOnly), FParts(std::move(parts))
{
    // No session yet: nothing to start, stop or restrict.
    SetStartEnabled(false);
    FCloseVNC->setEnabled(false);
    OfferViewOnly(false);
    QObject::connect(FOpenAsViewer, &QAction::triggered, &FAlive, [this] { OpenVNCAsViewerExecute(); });
    QObject::connect(FOpenAsServer, &QAction::triggered, &FAlive, [this] { OpenVNCAsServerExecute(); });
    QObject::connect(FCloseVNC, &QAction::triggered, &FAlive, [this] { CloseVNCExecute(); });
    // The user's clicks only: the box also changes when a remote desktop starts.
    QObject::connect(FViewOnly, &QCheckBox::clicked, &FAlive, [this] { cbViewOnlyClick(); });
}

TorvRemoteDesktopFeature::~TorvRemoteDesktopFeature() = default;

TorvVNCThread* TorvRemoteDesktopFeature::Channel() const
{
    return dynamic_cast<TorvVNCThread*>(FHost.SessionChannelThread(orvRemoteDesktopChannel));
}

void TorvRemoteDesktopFeature::TakeOver(TorvConnection& connection)
{
    // A new session starts fresh: no request of the last one is still open.
    ++FSessionSerial;
    FRemoteDesktopRequestPending = false;
    FControlGrantPending = false;
    FNotedShowing.reset();
    FNotedRuns = 0;
    orvStartChannelThread(
        connection, orvRemoteDesktopChannel,
        std::make_unique<TorvVNCThread>(FParts ? FParts() : TorvRemoteDesktopParts::Default()));
}

// ---------------------------------------------------------------------------
// The controls
// ---------------------------------------------------------------------------

void TorvRemoteDesktopFeature::SetStartEnabled(bool enabled)
{
    FOpenAsViewer->setEnabled(enabled);
    FOpenAsServer->setEnabled(enabled);
}

void TorvRemoteDesktopFeature::OfferViewOnly(bool offered)
{
    FViewOnly->setVisible(offered);
    FViewOnly->setEnabled(offered);
}

void TorvRemoteDesktopFeature::Refresh()
{
    TorvConnection* connection = FHost.SessionConnection();
    TorvVNCThread* thread = Channel();
    const TVNCState state = thread ? thread->GetState() : vsDisconnected;
    if (!connection || connection->GetConnectionState() != csConnected) {
        OfferViewOnly(false);
        FCloseVNC->setEnabled(false);
        SetStartEnabled(true);
    } else if (!thread || !Running(state)) {
        OfferViewOnly(false);
        FCloseVNC->setEnabled(false);
        SetStartEnabled(thread && !FRemoteDesktopRequestPending);
    } else {
        FCloseVNC->setEnabled(true);
        SetStartEnabled(false);
        if (thread->IsServer()) {
            // From remote control on, the helpdesk has the mouse anyway.
            OfferViewOnly(FHost.PermissionLevel() < kLevelAllowRemoteControl);
            if (state == vsConnectingAsViewer2 && FControlGrantPending)
                thread->SetViewOnly(false);
        } else {
            OfferViewOnly(false);
        }
    }
}

void TorvRemoteDesktopFeature::OpenVNCAsViewerExecute()
{
    if (!FHost.SessionConnection())
        return;
    TorvVNCThread* thread = Channel();
    orvAssert(thread != nullptr, kUnit, "Remote desktop channel missing");
    thread->SetIsServer(false);
    thread->Send(JoinCommand(orvVNC::Request, StartText(orvVNC::Server)));
    FRemoteDesktopRequestPending = true;
    FViewOnly->setChecked(true);
}

void TorvRemoteDesktopFeature::OpenVNCAsServerExecute()
{
    TorvVNCThread* thread = Channel();
    if (!thread)
        return;
    thread->SetIsServer(true);
    StartShowing(*thread);
    FViewOnly->setChecked(true);
}

void TorvRemoteDesktopFeature::CloseVNCExecute()
{
    TorvVNCThread* thread = Channel();
    if (thread && thread->Send(JoinCommand(orvVNC::Close, orvVNC::RemotelyClosed))) {
        thread->AddMessage(JoinCommand(orvVNC::Close, ""));
        DebugLog("VNC was closed by mainform");
    }
}

void TorvRemoteDesktopFeature::cbViewOnlyClick()
{
    TorvConnection* connection = FHost.SessionConnection();
    TorvVNCThread* thread = Channel();
    // Only the desktop we show has a view-only mode of ours.
    if (connection && connection->GetConnectionState() == csConnected && thread &&
        Running(thread->GetState()) && thread->IsServer())
        thread->SetViewOnly(FViewOnly->isChecked());
}

// ---------------------------------------------------------------------------
// The channel's commands
// ---------------------------------------------------------------------------

void TorvRemoteDesktopFeature::NoteDesktop()
{
    const std::shared_ptr<TorvSessionReceipt> receipt = FHost.SessionReceipt();
    TorvVNCThread* thread = Channel();
    if (!receipt)
        return;
    const bool running = thread && Running(thread->GetState());
    const unsigned runs = thread ? thread->RunsStarted() : FNotedRuns;
    if (FNotedShowing && (!running || runs != FNotedRuns)) {
        receipt->DesktopStopped(*FNotedShowing);
        FNotedShowing.reset();
    }
    if (runs != FNotedRuns) {
        // A run that began and ended between two ticks is noted whole.
        FNotedRuns = runs;
        const bool showing = thread->LastRunShowing();
        receipt->DesktopStarted(showing);
        if (running)
            FNotedShowing = showing;
        else
            receipt->DesktopStopped(showing);
        FNotedViewOnly = true; // a host starts view-only
    }
    if (running && FNotedShowing && *FNotedShowing && thread->ViewOnly() != FNotedViewOnly) {
        FNotedViewOnly = !FNotedViewOnly;
        receipt->ViewOnly(FNotedViewOnly);
    }
}

void TorvRemoteDesktopFeature::Note(TorvHelpdeskAction action, TorvActionOutcome outcome,
                                    const char* question)
{
    if (const auto receipt = FHost.SessionReceipt())
        receipt->Action(action, outcome, {}, question);
}

void TorvRemoteDesktopFeature::HandleOneCommand()
{
    // Every tick, also after the session: a desktop that stops with it is noted too.
    NoteDesktop();
    TorvVNCThread* thread = Channel();
    if (!thread)
        return;
    const std::string entry = thread->GetUnhandledCommand();
    if (entry.empty())
        return;
    const TorvCommandParts parts = SplitCommandText(entry);
    if (parts.Code == orvVNC::Request)
        HandleRequest(*thread, entry, parts.Data);
    else if (parts.Code == orvVNC::Notice)
        ShowNotice(parts.Data);
    else if (parts.Code == orvVNC::SettingUp)
        FViewOnly->setChecked(true);
    else if (parts.Code == orvVNC::TornDown)
        FRemoteDesktopRequestPending = false;
    else if (!parts.Code.empty())
        thread->SendCommandNotHandled(entry);
}

// The peer hears first: the thread refuses "0" once our own start has taken
// it out of "Connected". Nothing starts here when the peer could not be told.
bool TorvRemoteDesktopFeature::StartShowing(TorvVNCThread& thread)
{
    if (!thread.Send(StartText(orvVNC::Client)))
        return false;
    thread.AddMessage(StartText(orvVNC::Server));
    return true;
}

void TorvRemoteDesktopFeature::StartWatching(TorvVNCThread& thread)
{
    if (thread.Send(StartText(orvVNC::Server)))
        thread.AddMessage(StartText(orvVNC::Client));
}

void TorvRemoteDesktopFeature::HandleRequest(TorvVNCThread& thread, const std::string& entry,
                                             const std::string& request)
{
    const TorvCommandParts parts = SplitCommandText(request);
    // "10" has no colon, so it is compared whole.
    const bool control = request == kControlRequest;
    const bool show = parts.Code == orvVNC::Start && parts.Data == orvVNC::Server;
    const bool watch = parts.Code == orvVNC::Start && parts.Data == orvVNC::Client;
    const std::uint8_t level = FHost.PermissionLevel();

    if (level >= kLevelAllowRemoteControl) {
        if (control) {
            Note(TorvHelpdeskAction::Control, TorvActionOutcome::GrantedByLevel);
            FViewOnly->setChecked(false);
            thread.AddMessage(JoinCommand(orvVNC::ControlAnswer, orvVNC::Granted));
        } else if (watch) {
            StartWatching(thread);
        } else if (show && StartShowing(thread)) {
            Note(TorvHelpdeskAction::View, TorvActionOutcome::GrantedByLevel);
            Note(TorvHelpdeskAction::Control, TorvActionOutcome::GrantedByLevel);
            FControlGrantPending = true;
            thread.Send(JoinCommand(orvVNC::ControlPromised, ""));
        }
    } else if (level == kLevelAllowViewing) {
        if (control && thread.IsServer())
            Ask(orvRemoteDesktopText::AskControl, request);
        else if (watch)
            StartWatching(thread);
        else if (show && StartShowing(thread))
            Note(TorvHelpdeskAction::View, TorvActionOutcome::GrantedByLevel);
    } else if (control && thread.IsServer()) {
        Ask(orvRemoteDesktopText::AskControl, request);
    } else if (show) {
        FRemoteDesktopRequestPending = true;
        Ask(orvRemoteDesktopText::AskViewing, request);
    } else if (watch) {
        thread.AddMessage(StartText(orvVNC::Client));
    } else if (!parts.Code.empty()) {
        thread.SendCommandNotHandled(entry);
    }
}

void TorvRemoteDesktopFeature::ShowNotice(const std::string& data)
{
    if (data == orvVNC::NoticeRefused) {
        ShowMessageText(orvRemoteDesktopText::ControlRefused);
    } else if (data == orvVNC::NoticeGranted) {
        ShowMessageText(orvRemoteDesktopText::ControlGranted);
    } else if (data == orvVNC::NoticeViewingRefused) {
        FRemoteDesktopRequestPending = false;
        ShowMessageText(orvRemoteDesktopText::ViewingRefused);
    } else {
        ShowMessageText(data);
    }
}

// ---------------------------------------------------------------------------
// Questions
// ---------------------------------------------------------------------------

void TorvRemoteDesktopFeature::Ask(const char* text, const std::string& command)
{
    Note(command == kControlRequest ? TorvHelpdeskAction::Control : TorvHelpdeskAction::View,
         TorvActionOutcome::Asked, text);
    // The question may outlive the feature and the session it was asked in.
    ShowCommandQuestion(
        text, mdbYesNo, QuestionKind, command,
        [alive = QPointer<QObject>(&FAlive), this, serial = FSessionSerial](TMessageDlg& dialog, int answer) {
            if (alive && serial == FSessionSerial)
                QuestionAnswer(dialog, answer);
            else if (answer != mdaClosed)
                dialog.close();
        });
}

void TorvRemoteDesktopFeature::QuestionAnswer(TMessageDlg& dialog, int answer)
{
    TorvVNCThread* thread = FHost.SessionConnection() ? Channel() : nullptr;
    // Here "10" is a code of its own.
    const TorvCommandParts command = SplitCommand(dialog.Command);
    if (thread && command.Code == kControlRequest) {
        // Closing the question refuses, as No does: the helpdesk is not left waiting.
        if (answer == mdaYes) {
            Note(TorvHelpdeskAction::Control, TorvActionOutcome::GrantedByAnswer);
            FHost.RaisePermissionLevel(kLevelAllowRemoteControl,
                                       orvAnsweredYes(orvRemoteDesktopText::AskControl));
            FViewOnly->setChecked(false);
            thread->AddMessage(JoinCommand(orvVNC::ControlAnswer, orvVNC::Granted));
        } else {
            Note(TorvHelpdeskAction::Control, TorvActionOutcome::Refused);
            FViewOnly->setChecked(true);
            thread->AddMessage(JoinCommand(orvVNC::ControlAnswer, orvVNC::Refused));
        }
    } else if (thread && command.Code == orvVNC::Start) {
        if (answer == mdaYes) {
            Note(TorvHelpdeskAction::View, TorvActionOutcome::GrantedByAnswer);
            FHost.RaisePermissionLevel(kLevelAllowViewing, orvAnsweredYes(orvRemoteDesktopText::AskViewing));
            StartShowing(*thread);
        } else {
            Note(TorvHelpdeskAction::View, TorvActionOutcome::Refused);
            FRemoteDesktopRequestPending = false;
            thread->Send(JoinCommand(orvVNC::Notice, orvVNC::NoticeViewingRefused));
        }
    }
    if (answer != mdaClosed)
        dialog.close();
}
