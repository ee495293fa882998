#pragma once

// Remote desktop as a session feature of the main window: a channel-2 thread
// joins every connection taken over, the window's remote-desktop actions and
// its "View only" box follow that thread, and the helpdesk's requests are
// carried out or put to the user as the permission level says.

#include "lib/orvSessionFeature.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvVNCThread.h"

#include <QObject>

#include <functional>
#include <optional>
#include <string>

class QAction;
class QCheckBox;
class TMessageDlg;

namespace orvRemoteDesktopText {
inline constexpr const char* AskControl = "Do you want to allow helpdesk to use your mouse and keyboard?";
inline constexpr const char* AskViewing =
    "Do you want to allow remote user to see your desktop? If you click yes, then remote user will only see "
    "your screen. He/she will not be able to control your mouse or keyboard.";
inline constexpr const char* ControlRefused =
    "Remote user has rejected your request to control remote computer's mouse and keyboard.";
inline constexpr const char* ControlGranted = "You can now control remote computer's mouse and keyboard.";
inline constexpr const char* ViewingRefused = "Remote user denied your attempt to view his/her screen.";
} // namespace orvRemoteDesktopText

class TorvRemoteDesktopFeature : public TorvSessionFeature
{
public:
    // The tag of this feature's questions (TMessageDlg::Kind).
    static constexpr int QuestionKind = 2;
    // Makes the relays of each new channel thread; empty: the real ones.
    using TPartsFactory = std::function<TorvRemoteDesktopParts()>;

    // The actions and the box belong to the window, which outlives the feature.
    TorvRemoteDesktopFeature(TorvSessionHost& host, QAction* openAsViewer, QAction* openAsServer,
                             QAction* closeVNC, QCheckBox* viewOnly, TPartsFactory parts = {});
    ~TorvRemoteDesktopFeature() override;
    TorvRemoteDesktopFeature(const TorvRemoteDesktopFeature&) = delete;
    TorvRemoteDesktopFeature& operator=(const TorvRemoteDesktopFeature&) = delete;

    TorvFeatureKind Kind() const override { return TorvFeatureKind::RemoteDesktop; }
    void TakeOver(TorvConnection& connection) override;
    void Refresh() override;
    void HandleOneCommand() override;

    // Handlers of the actions and the box; GUI thread.
    void OpenVNCAsViewerExecute();
    void OpenVNCAsServerExecute();
    void CloseVNCExecute();
    void cbViewOnlyClick();

    // We asked to see the helpdesk's desktop, or the helpdesk asked to see
    // ours, and the answer has not come yet: nothing else starts meanwhile.
    bool RemoteDesktopRequestPending() const { return FRemoteDesktopRequestPending; }
    // The helpdesk was promised our mouse and keyboard with the desktop.
    bool ControlGrantPending() const { return FControlGrantPending; }

private:
    TorvVNCThread* Channel() const;
    void HandleRequest(TorvVNCThread& thread, const std::string& entry, const std::string& request);
    void ShowNotice(const std::string& data);
    bool StartShowing(TorvVNCThread& thread);
    void StartWatching(TorvVNCThread& thread);
    void Ask(const char* text, const std::string& command);
    void QuestionAnswer(TMessageDlg& dialog, int answer);
    void OfferViewOnly(bool offered);
    void SetStartEnabled(bool enabled);
    // Notes in the receipt what the desktop has done since the last tick.
    void NoteDesktop();
    void Note(TorvHelpdeskAction action, TorvActionOutcome outcome, const char* question = "");

    TorvSessionHost& FHost;
    QAction* FOpenAsViewer;
    QAction* FOpenAsServer;
    QAction* FCloseVNC;
    QCheckBox* FViewOnly;
    TPartsFactory FParts;
    bool FRemoteDesktopRequestPending = false;
    bool FControlGrantPending = false;
    unsigned FSessionSerial = 0;       // tells answers to an earlier session's questions apart
    std::optional<bool> FNotedShowing; // a desktop is noted as running: ours shown (true) or watched
    unsigned FNotedRuns = 0;           // of the channel thread's runs
    bool FNotedViewOnly = true;
    // Context of the connections and questions: gone with the feature, so
    // nothing calls into a feature that has been destroyed.
    QObject FAlive;
};
