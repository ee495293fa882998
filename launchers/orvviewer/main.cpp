// orvviewer: shows a remote desktop with TigerVNC's viewer from a
// configuration file, and owns the "VNCMDI_Window" window (with its
// "VNCviewerwindow" child) that the program looks for while it runs.

#include "launchers/orvLauncher.h"
#include "launchers/orvLauncherConfig.h"
#include "platform/orvTempFiles.h"

#include <cstdlib>
#include <optional>
#include <strings.h>

namespace {

constexpr char WindowClass[] = "VNCMDI_Window";
constexpr char ChildClass[] = "VNCviewerwindow";
constexpr std::uint32_t SettingsMessage = 1225;

void Usage()
{
    std::fputs("usage: orvviewer /config FILE\n"
               "  FILE: [connection] host=..., port=..., password=<16 hex digits>, viewonly=0|1\n",
               stderr);
}

// "/config FILE"; the file name may have come in quotes that a shell did not remove.
std::optional<std::string> ParseConfigPath(int argc, char** argv)
{
    if (argc != 3 || (::strcasecmp(argv[1], "/config") != 0 && ::strcasecmp(argv[1], "-config") != 0))
        return std::nullopt;
    std::string path = argv[2];
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
    if (path.empty())
        return std::nullopt;
    return path;
}

int Run(TorvLauncher& launcher, int argc, char** argv)
{
    const auto configPath = ParseConfigPath(argc, argv);
    if (!configPath) {
        Usage();
        return 2;
    }
    const TorvViewerConfig config = orvReadViewerConfig(*configPath);
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        launcher.Log("DISPLAY is not set");
        return 1;
    }

    TorvMessageWindow window(WindowClass, {ChildClass});
    TorvTempFile passwordFile("orvviewerpw");
    passwordFile.Write(config.Password);

    // An IPv6 address needs brackets before the "::port" of the viewer.
    const bool bareIpv6 = config.Host.find(':') != std::string::npos && config.Host.front() != '[';
    const std::string server =
        (bareIpv6 ? "[" + config.Host + "]" : config.Host) + "::" + std::to_string(config.Port);
    std::vector<std::string> arguments{"-PasswordFile=" + passwordFile.Path(), "-AlertOnFatalError=0",
                                       "-ReconnectOnError=0"};
    if (config.ViewOnly)
        arguments.push_back("-ViewOnly=1");
    arguments.push_back(server);
    TorvChildOptions options;
    options.EndWithParent = true;
    TorvChildProcess viewer("xtigervncviewer", arguments, options);
    launcher.Log("xtigervncviewer started (pid " + std::to_string(viewer.Pid()) + ") for " + server +
                 (config.ViewOnly ? ", view only" : ""));

    TorvLauncher::THooks hooks;
    hooks.Message = [&](const TorvMessageWindow::Posted& posted) {
        if (posted.Message.Msg == SettingsMessage)
            launcher.Log("the viewer cannot change its settings while it runs; message ignored");
        else
            launcher.Log("message " + std::to_string(posted.Message.Msg) + " ignored");
    };
    return launcher.Run(window, viewer, "xtigervncviewer", hooks);
}

} // namespace

int main(int argc, char** argv)
{
    return orvLauncherMain("orvviewer", argc, argv, Run);
}
