#pragma once

// The operating system as the remote-desktop feature and the helpdesk's
// requests need it: configuring, starting, finding and ending the host and
// viewer launchers, checking that the host answers RFB, the two window
// messages, and the desktop actions. One process-wide object, OSUtils().

#include "lib/orvSendKeys.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class TorvKeyStore;
class TorvProcessTable;
class TorvSessionActions;
struct TorvSessionActionResult;
class TorvWindowMessenger;

// The fixed password of our host; it only guards a loopback port.
inline constexpr const char* orvHostPassword = "40271953";
inline constexpr int orvFirstHostPort = 5905;
inline constexpr int orvHostPortCount = 25;
inline constexpr int orvViewerPort = 5902;
inline constexpr const char* orvHostKeyPath = "software\\orvalis2005_host";

// The 8 bytes of the VNC password block: the text padded with '?' to 8
// characters (cut at 8) under single DES with the scheme's fixed key.
std::string EncryptVNCPassword(const std::string& password);
// Replaces $NAME and ${NAME} with the environment's values (empty when unset);
// anything else stays as written.
std::string orvExpandEnvironment(const std::string& text);
// The viewer's configuration text (CR LF line ends).
std::string orvViewerConfigText(const std::string& portText, const std::string& password);

// A program the remote desktop runs is not on this computer. The text is for
// the user: it names the program and what to install.
class EorvProgramMissing : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class TorvOSUtils
{
public:
    virtual ~TorvOSUtils() = default;

    virtual void WriteHostSettings(int port) = 0;
    virtual int FindFreePort(int firstPort) = 0;
    virtual void WriteHostPassword() = 0;
    virtual void RunHost() = 0;
    virtual std::string GetHostExePath() = 0;
    virtual std::string GetViewerExePath() = 0;
    virtual void WaitForHostProcess() = 0;
    virtual bool IsKnownOSVersion() = 0;
    virtual bool CanListProcesses() = 0;
    virtual void StartHost() = 0;
    virtual void StartViewer() = 0;
    virtual void CloseHost() = 0;
    virtual void CloseViewer() = 0;
    virtual bool IsHostRunning() = 0;
    virtual bool IsViewerRunning() = 0;
    virtual bool IsHostListening(int port) = 0;
    virtual void OpenControlPanel() = 0;
    virtual void OpenPrinterLinksFolder() = 0;
    virtual bool RestartComputer() = 0;
    virtual bool LogOffUser() = 0;
    virtual bool SendKeys(const std::string& keys, bool wait) = 0;

    // Starts a file (environment variables in its path expanded): an
    // executable is run in its own folder with the arguments, anything else
    // is opened with the desktop's handler; a path that is neither there nor
    // an address fails. Returns the started process.
    virtual pid_t RunExecutable(const std::string& path, const std::string& arguments) = 0;
    // Finds the window classes of the host and the viewer.
    virtual TorvWindowMessenger& Windows() = 0;

    void UseFixedPassword() { Password = orvHostPassword; }
    [[noreturn]] void ReportError(const std::string& text);

    // Written by the remote-desktop channel thread only.
    std::string Password;
    std::string PortText; // the current port: the host's, or the viewer relay's "5902"

protected:
    bool FKnownOSVersion = false;
};

// What TorvWDefaultUtils works with; every part has a real default and tests replace them.
struct TorvOSPlatform
{
    std::function<std::unique_ptr<TorvKeyStore>()> OpenHostKey;
    std::shared_ptr<TorvProcessTable> Processes;
    std::shared_ptr<TorvWindowMessenger> Windows;
    std::string ProgramFolder; // where orvhost and orvviewer lie, with a trailing '/'
    // The desktop's keyboard, opened for each key string.
    std::function<std::unique_ptr<TorvKeyboard>()> OpenKeyboard;
    // The key strings' message boxes; the default only logs them.
    TorvKeysMessage ShowKeysMessage;
    std::shared_ptr<TorvSessionActions> SessionActions; // restart and log-off
    // A program's full path, empty when the desktop lacks it.
    std::function<std::string(const std::string& name)> FindProgram;

    static TorvOSPlatform Default();
};

class TorvWDefaultUtils : public TorvOSUtils
{
public:
    explicit TorvWDefaultUtils(TorvOSPlatform platform = TorvOSPlatform::Default());
    ~TorvWDefaultUtils() override;

    void WriteHostSettings(int port) override;
    int FindFreePort(int firstPort) override;
    void WriteHostPassword() override;
    void RunHost() override;
    std::string GetHostExePath() override;
    std::string GetViewerExePath() override;
    void WaitForHostProcess() override;
    bool IsKnownOSVersion() override;
    bool CanListProcesses() override;
    void StartHost() override;
    void StartViewer() override;
    void CloseHost() override;
    void CloseViewer() override;
    bool IsHostRunning() override;
    bool IsViewerRunning() override;
    bool IsHostListening(int port) override;
    void OpenControlPanel() override;
    void OpenPrinterLinksFolder() override;
    bool RestartComputer() override;
    bool LogOffUser() override;
    bool SendKeys(const std::string& keys, bool wait) override;
    pid_t RunExecutable(const std::string& path, const std::string& arguments) override;
    TorvWindowMessenger& Windows() override { return *FPlatform.Windows; }

    bool FindHostProcess(pid_t& pid);
    bool FindViewerProcess(pid_t& pid);
    void RunViewer();

    pid_t ProcessHandle() const { return FProcessHandle; }
    bool StartedByUs() const { return FStartedByUs; }

    // Waits, in ms; tests shorten them.
    int ProcessCloseWaitMs = 1000;
    int ProcessEndWaitMs = 5000;
    int HostAppearWaitMs = 3000;

private:
    struct TProgramTexts;
    // Raises EorvProgramMissing when our launcher (name, in the program's
    // folder) or the program it runs (found on the PATH) is absent.
    void RequirePrograms(const char* launcher, const char* program, const char* package);
    bool FindProcess(const std::string& exePath, pid_t& pid);
    // Starts the first of the programs the desktop has; false when it has none.
    bool RunFirstFound(const char* what, std::initializer_list<const char*> programs,
                       const std::vector<std::string>& arguments);
    // Restart or log-off, logged as doing and, when refused, as "Unable to <failing>: why".
    bool EndDesktopSession(const char* doing, const char* failing,
                           TorvSessionActionResult (TorvSessionActions::*action)());
    void CloseProgram(const TProgramTexts& texts, bool waitForStart);
    void EndProgram(const TProgramTexts& texts);

    TorvOSPlatform FPlatform;
    TorvSendKeys FKeys;
    pid_t FProcessHandle = 0;
    bool FStartedByUs = false;
};

// The host's window: view-only on or off.
class TUltraVNCHostUtils
{
public:
    explicit TUltraVNCHostUtils(TorvWindowMessenger& windows) : FWindows(windows) {}
    bool PostHostViewOnly(bool viewOnly);

private:
    TorvWindowMessenger& FWindows;
};

// The viewer's window: its settings.
class TUltraVNCViewerUtils
{
public:
    explicit TUltraVNCViewerUtils(TorvWindowMessenger& windows) : FWindows(windows) {}
    bool PostViewerSettings();

private:
    TorvWindowMessenger& FWindows;
};

namespace orvWindowClass {
inline constexpr const char* HostTray = "WinVNC Tray Icon";
inline constexpr const char* ViewerFrame = "VNCMDI_Window";
inline constexpr const char* ViewerChild = "VNCviewerwindow";
inline constexpr std::uint32_t HostViewOnlyMessage = 1224;   // WM_USER + 200
inline constexpr std::uint32_t ViewerSettingsMessage = 1225; // WM_USER + 201
inline constexpr std::uint64_t ViewerSettings = 0x50000D36;
} // namespace orvWindowClass

// The process-wide object. Exists from orvCreateOSUtils to orvDestroyOSUtils.
TorvOSUtils& OSUtils();
void orvCreateOSUtils(std::unique_ptr<TorvOSUtils> utils = nullptr);
void orvDestroyOSUtils();
// For the lifetime of a scope (the program's main routine, a test).
class TorvOSUtilsScope
{
public:
    explicit TorvOSUtilsScope(std::unique_ptr<TorvOSUtils> utils = nullptr)
    {
        orvCreateOSUtils(std::move(utils));
    }
    ~TorvOSUtilsScope() { orvDestroyOSUtils(); }
    TorvOSUtilsScope(const TorvOSUtilsScope&) = delete;
    TorvOSUtilsScope& operator=(const TorvOSUtilsScope&) = delete;
};
