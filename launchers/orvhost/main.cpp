// orvhost: shares this X display over RFB (x11vnc on 127.0.0.1, port
// 5900 + N) with the password from the host key store, and owns the
// "WinVNC Tray Icon" window through which view-only is switched.

#include "launchers/orvLauncher.h"
#include "launchers/orvLauncherConfig.h"
#include "platform/orvKeyStore.h"
#include "platform/orvTempFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <strings.h>

namespace {

constexpr char HostKeyPath[] = "software\\orvalis2005_host";
constexpr char WindowClass[] = "WinVNC Tray Icon";
constexpr int BasePort = 5900;
constexpr std::uint32_t ViewOnlyMessage = 1224;
constexpr std::uint64_t ViewOnlyOn = 17;
constexpr std::uint64_t ViewOnlyOff = 1;
// x11vnc -R -sync itself gives up after 3.5 s.
constexpr auto RemoteWait = std::chrono::seconds(5);
// x11vnc misses a remote command that comes while it is still starting up.
constexpr int RemoteAttempts = 3;

void Usage()
{
    std::fputs("usage: orvhost -port=N [-password=...]\n"
               "  shares $DISPLAY with x11vnc on 127.0.0.1 port 5900+N\n",
               stderr);
}

bool TakeValue(const std::string& argument, const char* name, std::optional<std::string>& value)
{
    const std::size_t length = std::strlen(name);
    if (argument.size() < length || ::strncasecmp(argument.c_str(), name, length) != 0 || value)
        return false;
    value = argument.substr(length);
    return true;
}

// The port from "-port=N"; nothing when the arguments are not ours.
std::optional<int> ParsePort(int argc, char** argv)
{
    std::optional<std::string> port, password;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!TakeValue(argument, "-port=", port) && !TakeValue(argument, "-password=", password))
            return std::nullopt;
    }
    if (!port || port->empty() || port->size() > 5 ||
        port->find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int offset = std::stoi(*port);
    if (offset > 65535 - BasePort)
        return std::nullopt;
    return BasePort + offset;
}

// Switches x11vnc's view-only through its remote control, one switch at a
// time; a wish that comes while one runs is applied after it, and one that
// is not acknowledged is tried again (the switch is the same when repeated).
class TViewOnlySwitch
{
public:
    TViewOnlySwitch(const TorvLauncher& launcher, std::string display)
        : FLauncher(launcher), FDisplay(std::move(display))
    {
    }

    void Want(bool viewOnly)
    {
        FWanted = viewOnly;
        FWantedAttempt = 1;
        StartNext();
    }

    void ChildSignal()
    {
        if (!FRun)
            return;
        if (const auto status = FRun->Poll()) {
            FRun.reset();
            if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
                FLauncher.Log(Name() + " applied (x11vnc acknowledged)");
            else
                Failed("not acknowledged by x11vnc (" + TorvLauncher::Describe(*status) + ")");
            StartNext();
        }
    }

    int TimeoutMs() const
    {
        if (!FRun)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            FDeadline - std::chrono::steady_clock::now());
        return std::max<int>(0, static_cast<int>(left.count()) + 1);
    }

    void Timeout()
    {
        if (!FRun || std::chrono::steady_clock::now() < FDeadline)
            return;
        FRun->End(0);
        FRun.reset();
        Failed("timed out");
        StartNext();
    }

private:
    std::string Name() const { return FApplying ? "view-only on" : "view-only off"; }

    void Failed(const std::string& why)
    {
        if (FWanted) { // a newer wish replaces this one
            FLauncher.Log(Name() + " " + why);
        } else if (FAttempt < RemoteAttempts) {
            FLauncher.Log(Name() + " " + why + ", trying again");
            FWanted = FApplying;
            FWantedAttempt = FAttempt + 1;
        } else {
            FLauncher.Log(Name() + " " + why + ", given up");
        }
    }

    void StartNext()
    {
        if (FRun || !FWanted)
            return;
        FApplying = *FWanted;
        FAttempt = FWantedAttempt;
        FWanted.reset();
        TorvChildOptions options;
        options.Quiet = true;
        options.EndWithParent = true;
        FRun.emplace("x11vnc",
                     std::vector<std::string>{"-display", FDisplay, "-R",
                                              FApplying ? "viewonly" : "noviewonly", "-sync"},
                     options);
        FDeadline = std::chrono::steady_clock::now() + RemoteWait;
    }

    const TorvLauncher& FLauncher;
    std::string FDisplay;
    std::optional<TorvChildProcess> FRun;
    std::optional<bool> FWanted;
    int FWantedAttempt = 1;
    bool FApplying = false;
    int FAttempt = 1;
    std::chrono::steady_clock::time_point FDeadline;
};

int Run(TorvLauncher& launcher, int argc, char** argv)
{
    const auto port = ParsePort(argc, argv);
    if (!port) {
        Usage();
        return 2;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        launcher.Log("DISPLAY is not set");
        return 1;
    }
    std::optional<std::string> password;
    {
        TorvFileKeyStore store(orvKeyStorePath(HostKeyPath));
        password = orvReadHostPassword(store);
        if (!password) {
            launcher.Log("no 8-byte \"password\" value in " + store.Path());
            return 1;
        }
    }

    TorvMessageWindow window(WindowClass);
    TorvTempFile passwordFile("orvhostpw");
    passwordFile.Write(*password);

    TorvChildOptions options;
    options.EndWithParent = true; // never leave the desktop shared behind us
    TorvChildProcess server("x11vnc",
                            {"-display", display, "-rfbport", std::to_string(*port), "-localhost", "-rfbauth",
                             passwordFile.Path(), "-rfbversion", "3.6", "-viewonly", "-forever",
                             "-nevershared", "-dontdisconnect", "-quiet", "-nopw", "-noxdamage"},
                            options);
    launcher.Log("x11vnc started (pid " + std::to_string(server.Pid()) + ") on 127.0.0.1 port " +
                 std::to_string(*port));

    TViewOnlySwitch viewOnly(launcher, display);
    TorvLauncher::THooks hooks;
    hooks.Message = [&](const TorvMessageWindow::Posted& posted) {
        const auto& message = posted.Message;
        if (message.Msg == ViewOnlyMessage &&
            (message.WParam == ViewOnlyOn || message.WParam == ViewOnlyOff)) {
            viewOnly.Want(message.WParam == ViewOnlyOn);
            return;
        }
        launcher.Log("message " + std::to_string(message.Msg) + " (" + std::to_string(message.WParam) + ", " +
                     std::to_string(message.LParam) + ") ignored");
    };
    hooks.ChildSignal = [&] { viewOnly.ChildSignal(); };
    hooks.TimeoutMs = [&] { return viewOnly.TimeoutMs(); };
    hooks.Timeout = [&] { viewOnly.Timeout(); };
    return launcher.Run(window, server, "x11vnc", hooks);
}

} // namespace

int main(int argc, char** argv)
{
    return orvLauncherMain("orvhost", argc, argv, Run);
}
