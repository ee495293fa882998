#include "lib/orvOSUtils.h"

#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvThreads.h"
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvSessionActions.h"
#include "platform/orvTempFiles.h"
#include "platform/orvWindowMessages.h"
#include "transport/MCTcpLink.h"
#include "transport/MCTime.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

constexpr const char* kUnit = "lib/orvOSUtils";

void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// DES lives in OpenSSL's legacy provider; it is loaded into a context of its
// own so the TLS code never sees it.
class TLegacyCipher
{
public:
    TLegacyCipher()
        : FContext(OSSL_LIB_CTX_new()), FLegacy(OSSL_PROVIDER_load(FContext, "legacy")),
          FDefault(OSSL_PROVIDER_load(FContext, "default")),
          FCipher(FLegacy ? EVP_CIPHER_fetch(FContext, "DES-ECB", nullptr) : nullptr)
    {
    }
    ~TLegacyCipher()
    {
        EVP_CIPHER_free(FCipher);
        if (FDefault)
            OSSL_PROVIDER_unload(FDefault);
        if (FLegacy)
            OSSL_PROVIDER_unload(FLegacy);
        OSSL_LIB_CTX_free(FContext);
    }
    TLegacyCipher(const TLegacyCipher&) = delete;
    TLegacyCipher& operator=(const TLegacyCipher&) = delete;

    const EVP_CIPHER* Cipher() const { return FCipher; }

private:
    OSSL_LIB_CTX* FContext;
    OSSL_PROVIDER* FLegacy;
    OSSL_PROVIDER* FDefault;
    EVP_CIPHER* FCipher;
};

struct TCipherContext
{
    EVP_CIPHER_CTX* Ctx = EVP_CIPHER_CTX_new();
    ~TCipherContext() { EVP_CIPHER_CTX_free(Ctx); }
};

unsigned char ReverseBits(unsigned char b)
{
    unsigned char r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i))
            r |= static_cast<unsigned char>(0x80u >> i);
    return r;
}

} // namespace

std::string EncryptVNCPassword(const std::string& password)
{
    // The scheme's fixed key, taken least significant bit first.
    static constexpr std::array<unsigned char, 8> kKey{23, 82, 107, 6, 35, 78, 88, 7};
    std::array<unsigned char, 8> key;
    std::transform(kKey.begin(), kKey.end(), key.begin(), ReverseBits);

    std::string block = password.substr(0, 8);
    block.resize(8, '?');

    const TLegacyCipher des;
    if (!des.Cipher())
        throw EorvException("DES is not available (OpenSSL legacy provider missing)");
    TCipherContext context;
    unsigned char out[16];
    int length = 0;
    int tail = 0;
    if (!context.Ctx || EVP_EncryptInit_ex2(context.Ctx, des.Cipher(), key.data(), nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.Ctx, 0) != 1 ||
        EVP_EncryptUpdate(context.Ctx, out, &length, reinterpret_cast<const unsigned char*>(block.data()),
                          8) != 1 ||
        EVP_EncryptFinal_ex(context.Ctx, out + length, &tail) != 1 || length + tail != 8)
        throw EorvException("Unable to encrypt the remote desktop password");
    return std::string(reinterpret_cast<const char*>(out), 8);
}

std::string orvViewerConfigText(const std::string& portText, const std::string& password)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (const unsigned char b : EncryptVNCPassword(password)) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return "[connection]\r\nhost=127.0.0.1\r\nport=" + portText + "\r\npassword=" + hex +
           "\r\nviewonly=0\r\n";
}

// ================================================================ TorvOSUtils

void TorvOSUtils::ReportError(const std::string& text)
{
    throw EorvException(text);
}

// ================================================================ TorvWDefaultUtils

// The names and log texts of one of the two programs.
struct TorvWDefaultUtils::TProgramTexts
{
    const char* Closing;
    const char* Searching;
    const char* NotFound;
    const char* Found;
    const char* GettingPid;
    const char* PidFound;
    const char* Unable;
    const char* Terminated;
    std::string (TorvWDefaultUtils::*ExePath)();
    bool (TorvWDefaultUtils::*Running)();
};

namespace {

const char* const kHostExe = "orvhost";
const char* const kViewerExe = "orvviewer";

} // namespace

TorvOSPlatform TorvOSPlatform::Default()
{
    TorvOSPlatform platform;
    platform.OpenHostKey = [] { return std::make_unique<TorvFileKeyStore>(orvKeyStorePath(orvHostKeyPath)); };
    platform.Processes = std::make_shared<TorvLinuxProcessTable>();
    platform.Windows = std::make_shared<TorvSocketWindowMessenger>();
    platform.ProgramFolder = orvExecutableFolder();
    platform.OpenKeyboard = [] { return orvOpenDesktopKeyboard(); };
    platform.ShowKeysMessage = [](const std::string& text, const std::string& caption) {
        DebugLogFmt("%s: %s", caption.c_str(), text.c_str());
    };
    platform.SessionActions = std::make_shared<TorvLogindSessionActions>();
    platform.FindProgram = orvFindInPath;
    return platform;
}

TorvWDefaultUtils::TorvWDefaultUtils(TorvOSPlatform platform)
    : FPlatform(std::move(platform)), FKeys(FPlatform.ShowKeysMessage)
{
    orvAssert(FPlatform.OpenHostKey && FPlatform.Processes && FPlatform.Windows && FPlatform.OpenKeyboard &&
                  FPlatform.ShowKeysMessage && FPlatform.SessionActions && FPlatform.FindProgram,
              kUnit, "Incomplete platform");
    // None of the systems whose process handling the program was first written
    // for: the version-dependent paths never apply here.
    FKnownOSVersion = false;
}

TorvWDefaultUtils::~TorvWDefaultUtils() = default;

void TorvWDefaultUtils::WriteHostSettings(int port)
{
    const std::pair<const char*, std::uint32_t> values[] = {
        {"AllowLoopback", 1},
        {"SocketConnect", 1},
        {"AutoPortSelect", 0},
        {"PollFullScreen", 1},
        {"PortNumber", static_cast<std::uint32_t>(port)},
        {"FileTransferEnabled", 0},
        {"HTTPConnect", 0},
    };
    try {
        const std::unique_ptr<TorvKeyStore> key = FPlatform.OpenHostKey();
        for (const auto& [name, value] : values) {
            key->WriteInteger(name, value);
            if (key->ReadInteger(name) != value)
                throw EorvException(std::string("Read back differs: ") + name);
        }
        key->Close();
    } catch (const std::exception&) {
        DebugLog("Failed to change settings");
        throw EorvException(
            "Application failed to change orvhost/orvviewer registry settings. The possible reason "
            "is lack of user rights");
    }
}

int TorvWDefaultUtils::FindFreePort(int firstPort)
{
    for (int port = firstPort; port < firstPort + orvHostPortCount; ++port) {
        TMCTcpListener probe;
        if (probe.Listen("127.0.0.1", static_cast<std::uint16_t>(port), false))
            return port;
    }
    throw EorvException("Orvhost/orvviewer cannot be executed. No free port found.");
}

void TorvWDefaultUtils::WriteHostPassword()
{
    const std::unique_ptr<TorvKeyStore> key = FPlatform.OpenHostKey();
    key->WriteBinary("password", EncryptVNCPassword(Password));
    key->Close();
}

void TorvWDefaultUtils::RunHost()
{
    FProcessHandle = 0;
    const std::string path = GetHostExePath();
    DebugLogFmt("Starting remote desktop host executable : %s", path.c_str());
    const int display = std::stoi(PortText) - 5900;
    FProcessHandle = RunExecutable(path, "-password=" + std::string(orvHostPassword) +
                                             " -port=" + std::to_string(display));
    FStartedByUs = true;
    DebugLog("remote desktop host started");
}

std::string TorvWDefaultUtils::GetHostExePath()
{
    return FPlatform.ProgramFolder + kHostExe;
}

std::string TorvWDefaultUtils::GetViewerExePath()
{
    return FPlatform.ProgramFolder + kViewerExe;
}

void TorvWDefaultUtils::WaitForHostProcess()
{
    // Our own host that has already ended will not appear any more.
    if (FProcessHandle != 0 && !FPlatform.Processes->IsRunning(FProcessHandle))
        return;
    const std::uint32_t start = MCGetTickCount();
    while (!IsHostRunning() &&
           MCTicksSince(start, MCGetTickCount()) < static_cast<std::uint32_t>(HostAppearWaitMs))
        Pause(100);
}

bool TorvWDefaultUtils::IsKnownOSVersion()
{
    return FKnownOSVersion;
}

bool TorvWDefaultUtils::CanListProcesses()
{
    return FKnownOSVersion && !FPlatform.Processes->List().empty();
}

void TorvWDefaultUtils::RequirePrograms(const char* launcher, const char* program, const char* package)
{
    if (!orvIsExecutableFile(FPlatform.ProgramFolder + launcher))
        throw EorvProgramMissing(std::string("The program ") + launcher + " is missing from " +
                                 FPlatform.ProgramFolder + ". Please install Orvalis again.");
    if (FPlatform.FindProgram(program).empty())
        throw EorvProgramMissing(std::string("The program ") + program +
                                 " is not installed on this computer. Please install the package " + package +
                                 " (sudo apt install " + package + ") and try again.");
}

void TorvWDefaultUtils::StartHost()
{
    RequirePrograms(kHostExe, "x11vnc", "x11vnc");
    DebugLog("Searching free port for remote desktop host server...");
    const int port = FindFreePort(orvFirstHostPort);
    PortText = std::to_string(port);
    DebugLogFmt("Free port found : %s", PortText.c_str());
    WriteHostSettings(port);
    DebugLog("Remote desktop host registry settings changed");

    DebugLog("Generating remote desktop host password...");
    try {
        UseFixedPassword();
        WriteHostPassword();
        DebugLog("Password updated");
    } catch (const std::exception&) {
        DebugLog("Password update failed");
        throw EorvException("Application failed to change orvhost password in system registry. The possible "
                            "reason is lack of user rights.");
    }

    try {
        if (IsHostRunning()) {
            DebugLog("Restarting remote desktop host...");
            CloseHost();
        } else {
            DebugLog("Starting remote desktop host...");
        }
        RunHost();
    } catch (const std::exception&) {
        ReportError(
            "Application failed to restart orvhost.The possible reason is that orvhost.exe or one of it's "
            "libraries was not found in working directory ");
    }
}

void TorvWDefaultUtils::StartViewer()
{
    RequirePrograms(kViewerExe, "xtigervncviewer", "tigervnc-viewer");
    DebugLog("Searching free port for remote desktop viewer...");
    UseFixedPassword();
    try {
        if (IsViewerRunning()) {
            DebugLog("Restarting remote desktop viewer...");
            CloseViewer();
        } else {
            DebugLog("Starting remote desktop viewer...");
        }
        RunViewer();
    } catch (const std::exception&) {
        ReportError(
            "Application failed to start orvViewer.The possible reason is that orvviewer.exe or one of "
            "it's libraries was not found in working directory ");
    }
}

void TorvWDefaultUtils::RunViewer()
{
    FProcessHandle = 0;
    const std::string path = GetViewerExePath();
    DebugLogFmt("Starting remote desktop viewer executable : %s", path.c_str());
    DebugLog("Starting remote desktop viewer...");
    const std::string config = orvViewerConfigText(PortText, Password);
    std::string file;
    try {
        file = orvCreateTempFile("orv");
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << config;
    } catch (const std::exception&) {
    }
    if (file.empty() || !std::filesystem::exists(file))
        throw EorvException("Unable to create temporary configuration file for VNC Viewer :" + file);
    RunExecutable(path, "/config \"" + file + "\"");
    FStartedByUs = true;
    DebugLog("Remote desktop viewer started");
}

namespace {

const char* const kHostTexts[] = {
    "Closing remote desktop server...",
    "Searching for remote desktop server process ...",
    "Remote desktop server process not found",
    "Remote desktop server process found",
    "Getting remote desktop server process identifier (PID)...",
    "Remote desktop server PID found.",
    "Unable to terminate remote desktop server",
    "Remote desktop server terminated",
};
const char* const kViewerTexts[] = {
    "Closing remote desktop viewer...",
    "Searching for remote desktop viewer process ...",
    "Remote desktop viewer process not found",
    "Remote desktop viewer process found",
    "Getting remote desktop viewer process identifier (PID)...",
    "Remote desktop viewer PID found.",
    "Unable to terminate remote desktop viewer",
    "Remote desktop viewer terminated",
};

} // namespace

void TorvWDefaultUtils::CloseHost()
{
    const TProgramTexts texts{kHostTexts[0],
                              kHostTexts[1],
                              kHostTexts[2],
                              kHostTexts[3],
                              kHostTexts[4],
                              kHostTexts[5],
                              kHostTexts[6],
                              kHostTexts[7],
                              &TorvWDefaultUtils::GetHostExePath,
                              &TorvWDefaultUtils::IsHostRunning};
    CloseProgram(texts, FStartedByUs);
}

void TorvWDefaultUtils::CloseViewer()
{
    const TProgramTexts texts{kViewerTexts[0],
                              kViewerTexts[1],
                              kViewerTexts[2],
                              kViewerTexts[3],
                              kViewerTexts[4],
                              kViewerTexts[5],
                              kViewerTexts[6],
                              kViewerTexts[7],
                              &TorvWDefaultUtils::GetViewerExePath,
                              &TorvWDefaultUtils::IsViewerRunning};
    CloseProgram(texts, false);
}

void TorvWDefaultUtils::CloseProgram(const TProgramTexts& texts, bool waitForStart)
{
    DebugLog(texts.Closing);
    if (waitForStart)
        WaitForHostProcess();
    DebugLog(texts.Searching);
    if (!(this->*texts.Running)()) {
        DebugLog(texts.NotFound);
        return;
    }
    DebugLog(texts.Found);
    // The outcome is this process's: another program of the same name may run on.
    pid_t pid = 0;
    FindProcess((this->*texts.ExePath)(), pid);
    try {
        EndProgram(texts);
    } catch (const std::exception&) {
        // Gone by itself meanwhile: nothing is left to end.
        const bool gone = pid != 0 && !FPlatform.Processes->IsRunning(pid);
        if (!gone && (FProcessHandle == 0 || !FPlatform.Processes->Kill(FProcessHandle)))
            throw EorvException("Orvhost or orvviewer was not terminated");
    }
    DebugLog(FPlatform.Processes->IsRunning(pid) ? texts.Unable : texts.Terminated);
}

void TorvWDefaultUtils::EndProgram(const TProgramTexts& texts)
{
    const std::string path = (this->*texts.ExePath)();
    DebugLog(texts.GettingPid);
    pid_t pid = 0;
    if (!FindProcess(path, pid))
        throw EorvException("No process identifier");
    DebugLog(texts.PidFound);
    TorvProcessTable& processes = *FPlatform.Processes;
    if (!processes.RequestEnd(pid, ProcessCloseWaitMs) && !processes.Kill(pid))
        throw EorvException("The process could not be ended");
    const std::uint32_t start = MCGetTickCount();
    while (processes.IsRunning(pid) &&
           MCTicksSince(start, MCGetTickCount()) < static_cast<std::uint32_t>(ProcessEndWaitMs))
        Pause(100);
}

bool TorvWDefaultUtils::IsHostRunning()
{
    pid_t pid = 0;
    return FindHostProcess(pid);
}

bool TorvWDefaultUtils::IsViewerRunning()
{
    pid_t pid = 0;
    return FindViewerProcess(pid);
}

bool TorvWDefaultUtils::FindHostProcess(pid_t& pid)
{
    return FindProcess(GetHostExePath(), pid);
}

bool TorvWDefaultUtils::FindViewerProcess(pid_t& pid)
{
    return FindProcess(GetViewerExePath(), pid);
}

bool TorvWDefaultUtils::FindProcess(const std::string& exePath, pid_t& pid)
{
    const std::vector<TorvProcessEntry> list = FPlatform.Processes->List();
    const std::string wanted = Lower(exePath);
    for (const TorvProcessEntry& entry : list)
        if (Lower(entry.ExePath) == wanted) {
            pid = entry.Pid;
            return true;
        }
    const std::string name = Lower(std::filesystem::path(exePath).filename().string());
    for (const TorvProcessEntry& entry : list)
        if (Lower(std::filesystem::path(entry.ExePath).filename().string()) == name) {
            pid = entry.Pid;
            return true;
        }
    return false;
}

bool TorvWDefaultUtils::IsHostListening(int port)
{
    static const std::string kGreeting = "rfb 003.006\n";
    try {
        TMCTcpLink client;
        if (!client.Connect("127.0.0.1", static_cast<std::uint16_t>(port), 5000))
            return false;
        std::string received;
        for (int attempt = 0; attempt < 100; ++attempt) {
            Pause(1);
            const TMCTcpLink::TRead result = client.ReadAvailable(received, 100);
            if (Lower(received) == kGreeting)
                return true;
            if (result == TMCTcpLink::TRead::Closed || result == TMCTcpLink::TRead::Failed ||
                received.size() >= kGreeting.size())
                return false; // it will not turn into the greeting any more
        }
    } catch (const std::exception&) {
    }
    return false;
}

// ================================================================ desktop actions

namespace {

// The desktops' own settings programs, in the order they are tried.
constexpr std::initializer_list<const char*> kSettingsPrograms = {
    "gnome-control-center", "systemsettings", "xfce4-settings-manager", "mate-control-center", "lxqt-config"};
constexpr const char* kPrinterPage = "http://localhost:631/printers";

} // namespace

bool TorvWDefaultUtils::RunFirstFound(const char* what, std::initializer_list<const char*> programs,
                                      const std::vector<std::string>& arguments)
{
    for (const char* name : programs) {
        const std::string path = FPlatform.FindProgram(name);
        if (path.empty())
            continue;
        DebugLogFmt("Opening %s with %s", what, path.c_str());
        FPlatform.Processes->Spawn(path, arguments, "");
        return true;
    }
    return false;
}

void TorvWDefaultUtils::OpenControlPanel()
{
    if (!RunFirstFound("the desktop settings", kSettingsPrograms, {}))
        DebugLog("No desktop settings program found");
}

void TorvWDefaultUtils::OpenPrinterLinksFolder()
{
    if (RunFirstFound("the printers", {"system-config-printer"}, {}))
        return;
    // Without the printer tool, the print server's own page.
    if (!RunFirstFound("the printers", {"xdg-open"}, {kPrinterPage}))
        DebugLog("No printer settings program found");
}

bool TorvWDefaultUtils::EndDesktopSession(const char* doing, const char* failing,
                                          TorvSessionActionResult (TorvSessionActions::*action)())
{
    DebugLog(doing);
    const TorvSessionActionResult result = (*FPlatform.SessionActions.*action)();
    if (!result.Done)
        DebugLogFmt("Unable to %s: %s", failing, result.Reason.c_str());
    return result.Done;
}

bool TorvWDefaultUtils::RestartComputer()
{
    return EndDesktopSession("Restarting the computer", "restart the computer", &TorvSessionActions::Reboot);
}

bool TorvWDefaultUtils::LogOffUser()
{
    return EndDesktopSession("Logging the user off", "log the user off", &TorvSessionActions::LogOff);
}

bool TorvWDefaultUtils::SendKeys(const std::string& keys, bool wait)
{
    std::unique_ptr<TorvKeyboard> keyboard;
    try {
        keyboard = FPlatform.OpenKeyboard();
    } catch (const std::exception& e) {
        DebugLogFmt("Unable to send keys: %s", e.what());
        return false;
    }
    return FKeys.Send(*keyboard, keys, wait);
}

std::string orvExpandEnvironment(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '$') {
            out += text[i++];
            continue;
        }
        const bool braced = i + 1 < text.size() && text[i + 1] == '{';
        std::size_t start = i + (braced ? 2 : 1);
        std::size_t end = start;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        if (end == start || (braced && (end >= text.size() || text[end] != '}'))) {
            out += text[i++]; // not a variable: kept as written
            continue;
        }
        if (const char* value = std::getenv(text.substr(start, end - start).c_str()))
            out += value;
        i = end + (braced ? 1 : 0);
    }
    return out;
}

namespace {

// "http://...", "mailto:...": an address rather than a file.
bool HasUrlScheme(const std::string& text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2) // "C:" is no scheme, and a scheme has two letters at least
        return false;
    return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; }) &&
           std::isalpha(static_cast<unsigned char>(text[0]));
}

} // namespace

pid_t TorvWDefaultUtils::RunExecutable(const std::string& path, const std::string& arguments)
{
    const std::string expanded = orvExpandEnvironment(path);
    try {
        if (expanded.empty())
            throw std::runtime_error("nothing to start");
        if (HasUrlScheme(expanded))
            return FPlatform.Processes->Spawn("xdg-open", {expanded}, "");
        // Files by their full name: nothing is looked up in $PATH, and no
        // name can pass for an option of the desktop's handler.
        const std::filesystem::path file = std::filesystem::absolute(expanded).lexically_normal();
        const std::string folder = file.parent_path().string();
        if (orvIsExecutableFile(file.string()))
            return FPlatform.Processes->Spawn(file.string(), orvSplitArguments(arguments), folder);
        // A file that is not there fails here, as it would for the shell,
        // rather than in the desktop's handler, which might show an error.
        if (!std::filesystem::exists(file))
            throw std::runtime_error("no such file");
        // A document or folder: the desktop's handler takes it alone.
        return FPlatform.Processes->Spawn("xdg-open", {file.string()}, folder);
    } catch (const std::exception&) {
        throw EorvException("Starting Orvhost or orvviewer did not succeed.");
    }
}

// ================================================================ window messages

bool TUltraVNCHostUtils::PostHostViewOnly(bool viewOnly)
{
    const TorvWindowMessage message{orvWindowClass::HostViewOnlyMessage, viewOnly ? 17u : 1u, 0};
    return FWindows.PostMessage(orvWindowClass::HostTray, "", message);
}

bool TUltraVNCViewerUtils::PostViewerSettings()
{
    const TorvWindowMessage message{orvWindowClass::ViewerSettingsMessage, orvWindowClass::ViewerSettings, 1};
    return FWindows.PostMessage(orvWindowClass::ViewerFrame, orvWindowClass::ViewerChild, message);
}

// ================================================================ OSUtils

namespace {

std::unique_ptr<TorvOSUtils>& Instance()
{
    static std::unique_ptr<TorvOSUtils> instance;
    return instance;
}

} // namespace

TorvOSUtils& OSUtils()
{
    orvAssert(Instance() != nullptr, kUnit, "OSUtils does not exist");
    return *Instance();
}

void orvCreateOSUtils(std::unique_ptr<TorvOSUtils> utils)
{
    orvAssert(Instance() == nullptr, kUnit, "OSUtils exists already");
    Instance() = utils ? std::move(utils) : std::make_unique<TorvWDefaultUtils>();
}

void orvDestroyOSUtils()
{
    DebugLog("Finalizing orvOSUtils");
    Instance().reset();
    DebugLog("Finalizing orvOSUtils ended");
}
