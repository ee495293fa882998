// orvviewer: shows a remote desktop with TigerVNC's viewer from a
// configuration file, and owns the "VNCMDI_Window" window (with its
// "VNCviewerwindow" child) that the program looks for while it runs.

#include "launchers/orvLauncher.h"
#include "platform/orvTempFiles.h"

#include <INIReader.h>

#include <cctype>
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

struct TViewerConfig
{
    std::string Host;
    int Port = 0;
    std::string Password; // 8 bytes, already in the form of a VNC password file
    bool ViewOnly = false;
};

std::optional<std::string> DecodePassword(const std::string& hex)
{
    if (hex.size() != 16)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
            return std::nullopt;
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

[[noreturn]] void Fail(const std::string& path, int line, const std::string& what)
{
    throw std::runtime_error(path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what);
}

// Raises std::runtime_error saying what is wrong, with the line where it can.
TViewerConfig ReadConfig(const std::string& path)
{
    const INIReader ini(path);
    if (ini.ParseError() < 0)
        throw std::runtime_error("cannot read the configuration " + path);
    if (ini.ParseError() > 0)
        Fail(path, ini.ParseError(), "not an INI line");
    // The reader joins a key given twice with a line break.
    auto value = [&](const char* key) -> std::optional<std::string> {
        if (!ini.HasValue("connection", key))
            return std::nullopt;
        std::string text = ini.Get("connection", key, "");
        if (text.find('\n') != std::string::npos)
            Fail(path, 0, std::string(key) + " given twice");
        return text;
    };
    const std::optional<std::string> host = value("host"), port = value("port"), password = value("password"),
                                     viewOnly = value("viewonly");

    TViewerConfig config;
    if (!host || host->empty() || host->find_first_of(" \t") != std::string::npos)
        Fail(path, 0, "[connection] needs host=<name or address>");
    config.Host = *host;
    if (!port || port->empty() || port->size() > 5 ||
        port->find_first_not_of("0123456789") != std::string::npos || std::stoi(*port) < 1 ||
        std::stoi(*port) > 65535)
        Fail(path, 0, "[connection] needs port=<1..65535>");
    config.Port = std::stoi(*port);
    const auto bytes = password ? DecodePassword(*password) : std::nullopt;
    if (!bytes)
        Fail(path, 0, "[connection] needs password=<16 hex digits>");
    config.Password = *bytes;
    if (viewOnly && *viewOnly != "0" && *viewOnly != "1")
        Fail(path, 0, "viewonly must be 0 or 1");
    config.ViewOnly = viewOnly && *viewOnly == "1";
    return config;
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
    const TViewerConfig config = ReadConfig(*configPath);
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
