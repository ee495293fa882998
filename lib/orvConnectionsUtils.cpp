#include "lib/orvConnectionsUtils.h"

#include "lib/debugProc.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvGatewayPins.h"
#include "transport/MCAddress.h"
#include "transport/MCSocket.h"

#include <INIReader.h>
#include <ini.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netdb.h>
#include <set>
#include <sstream>
#include <sys/socket.h>

namespace {

constexpr std::string_view ListEndValue = "127.0.0.1:6000";
constexpr std::string_view HttpPrefix = "http://";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Quotes around a whole value are not part of it, as with the usual INI readers.
std::string_view Unquote(std::string_view s)
{
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        return s.substr(1, s.size() - 2);
    return s;
}

// The text with leading blanks removed from every line: the INI reader would
// otherwise take an indented line as the continuation of the previous value.
std::string WithoutIndents(std::string_view raw)
{
    std::string text;
    text.reserve(raw.size());
    bool lineStart = true;
    for (char c : raw) {
        if (lineStart && IsBlank(c))
            continue;
        lineStart = c == '\n' || c == '\r';
        text += c;
    }
    return text;
}

// A key given twice comes back joined by a line break; the first one counts.
std::string FirstValue(std::string value)
{
    if (const auto lf = value.find('\n'); lf != std::string::npos)
        value.resize(lf);
    return std::string(Unquote(Trim(value)));
}

} // namespace

TorvSettingsText::TorvSettingsText(std::string_view fileText)
{
    const std::string text = WithoutIndents(fileText);
    auto ini = std::make_shared<const INIReader>(text.data(), text.size());
    // Lines the reader cannot parse are passed over; the others still count.
    if (ini->ParseError() >= 0)
        FIni = std::move(ini);
    ini_parse_string(
        text.c_str(),
        [](void* user, const char* section, const char* name, const char*) {
            if (name)
                static_cast<TorvSettingsText*>(user)->FKeys.emplace_back(section, name);
            return 1;
        },
        this);
}

std::optional<TorvSettingsText> TorvSettingsText::Load(const std::string& iniPath)
{
    std::error_code ec;
    if (iniPath.empty() || !std::filesystem::is_regular_file(iniPath, ec))
        return std::nullopt;
    std::ifstream in(iniPath, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return TorvSettingsText(content.str());
}

std::string TorvSettingsText::Value(const std::string& section, const std::string& key) const
{
    return FIni ? FirstValue(FIni->Get(section, key, "")) : std::string();
}

std::vector<std::string> TorvSettingsText::SectionKeys(const std::string& section) const
{
    std::vector<std::string> keys;
    for (const auto& [sectionName, name] : FKeys)
        if (MCSameText(sectionName, section))
            keys.push_back(name);
    return keys;
}

std::vector<std::string> TorvSettingsText::Numbered(const std::string& section,
                                                    const std::string& prefix) const
{
    std::vector<std::string> values;
    for (int i = 1; FIni; ++i) {
        const std::string key = prefix + std::to_string(i);
        if (!FIni->HasValue(section, key))
            break;
        values.push_back(FirstValue(FIni->Get(section, key, "")));
    }
    return values;
}

std::vector<std::string> TorvSettingsText::GatewayList() const
{
    std::vector<std::string> values = Numbered("gateway", "gateway");
    values.erase(std::find(values.begin(), values.end(), ListEndValue), values.end());
    return values;
}

std::string ReadSettingsValue(const std::string& iniPath, const std::string& section, const std::string& key)
{
    const auto text = TorvSettingsText::Load(iniPath);
    return text ? text->Value(section, key) : std::string();
}

std::vector<std::string> ReadSectionKeys(const std::string& iniPath, const std::string& section)
{
    const auto text = TorvSettingsText::Load(iniPath);
    return text ? text->SectionKeys(section) : std::vector<std::string>();
}

// ---------------------------------------------------------------------------
// Settings file
// ---------------------------------------------------------------------------

std::string SettingsFilePath(const std::string& exePath)
{
    if (exePath.empty())
        return {};
    std::filesystem::path path(exePath);
    path.replace_extension(".ini");
    return path.string();
}

std::string SettingsFilePath()
{
    std::error_code ec;
    std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec || exe.empty())
        return {};
    // An executable replaced while running (an update) still names its old file.
    constexpr std::string_view Deleted = " (deleted)";
    if (exe.size() > Deleted.size() && exe.ends_with(Deleted))
        exe.resize(exe.size() - Deleted.size());
    return SettingsFilePath(exe);
}

std::vector<std::string> ReadNumberedSettings(const std::string& iniPath, const std::string& section,
                                              const std::string& prefix)
{
    const auto text = TorvSettingsText::Load(iniPath);
    return text ? text->Numbered(section, prefix) : std::vector<std::string>();
}

std::vector<std::string> ReadGatewayList(const std::string& iniPath)
{
    const auto text = TorvSettingsText::Load(iniPath);
    return text ? text->GatewayList() : std::vector<std::string>();
}

// ---------------------------------------------------------------------------
// Gateway values
// ---------------------------------------------------------------------------

std::optional<TorvHostPort> SplitHostAndPort(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const auto host = Trim(text.substr(0, colon));
    const auto portText = Trim(text.substr(colon + 1));
    if (host.empty() || portText.empty())
        return std::nullopt;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value, 10);
    if (ec != std::errc() || end != portText.data() + portText.size() || value > 65535)
        return std::nullopt;
    return TorvHostPort{std::string(host), static_cast<std::uint16_t>(value)};
}

std::optional<TorvHostPort> ParseGatewayValue(std::string_view value)
{
    // The prefix goes first: its own colon would otherwise be taken as the port separator.
    value = Trim(value);
    if (value.size() >= HttpPrefix.size() && MCSameText(value.substr(0, HttpPrefix.size()), HttpPrefix))
        value.remove_prefix(HttpPrefix.size());
    return SplitHostAndPort(value);
}

std::optional<std::string> ResolveIPv4(const std::string& host)
{
    if (host.empty())
        return std::nullopt;
    return MCResolveIPv4(host);
}

std::string GatewayKey(std::string_view address, std::uint16_t port)
{
    std::string key(address);
    key += ':';
    key += std::to_string(port);
    return key;
}

std::vector<TorvGatewayEndpoint> ResolveGatewayList(const std::vector<std::string>& values,
                                                    const TorvResolver& resolve)
{
    std::vector<TorvGatewayEndpoint> endpoints;
    std::set<std::string> keys;
    for (const auto& value : values) {
        const auto hostPort = ParseGatewayValue(value);
        if (!hostPort) {
            DebugLogFmt("Invalid gateway setting skipped: %s", value.c_str());
            continue;
        }
        const auto address = resolve(hostPort->Host);
        if (!address) {
            DebugLogFmt("Unable to resolve gateway %s", hostPort->Host.c_str());
            continue;
        }
        auto key = GatewayKey(*address, hostPort->Port);
        if (!keys.insert(key).second)
            continue;
        endpoints.push_back({*address, hostPort->Port, std::move(key)});
    }
    return endpoints;
}

// ===========================================================================
// Connection establishment
// ===========================================================================

namespace {
std::atomic<int> gLiveServers{0};
} // namespace

int TOrvServers::LiveCount() noexcept
{
    return gLiveServers.load();
}

void CheckAllServersDestroyed()
{
    orvAssert(gLiveServers.load() == 0, "lib/orvConnectionsUtils", "Not all TOrvServers destroyed");
}

TOrvServers::TOrvServers(std::string settingsFile, std::chrono::milliseconds timeout)
    : FSettingsFile(std::move(settingsFile)), FTimeout(timeout)
{
    ++gLiveServers;
}

TOrvServers::~TOrvServers()
{
    DebugLog("Destroying TOrvServers");
    CloseAll();
    --gLiveServers;
}

void TOrvServers::Start(std::int32_t requestedSessionID, std::uint8_t programKind,
                        const std::string& programVersion, const std::string& language,
                        std::int32_t recordVersion)
{
    FRequestedSessionID = requestedSessionID;
    FProgramKind = programKind;
    FProgramVersion = programVersion;
    FLanguage = language;
    FRecordVersion = recordVersion;
    FDeadline = std::chrono::steady_clock::now() + FTimeout;
    FFailed = false;
    FRedirectHost.clear();
    FRedirectPort = 0;
    FRedirectKey.clear();
    FRedirectTargetPresent = false;
    FErrorCode = 0;
    FFailedKeys.clear();
    FIdentityRefused = false;
    FSettingsError.clear();

    // One reading for the pins and the gateways they guard.
    const TorvSettingsText settings = TorvSettingsText::Load(FSettingsFile).value_or(TorvSettingsText(""));
    TorvGatewayPins pins =
        orvCheckGatewayPins(settings.Numbered("gateway", "pin"), settings.SectionKeys("gateway"));
    if (!pins.Error.empty()) {
        // Connecting without the pins the deployment asked for would be worse than not connecting.
        DebugLog(pins.Error);
        FSettingsError = std::move(pins.Error);
        FFailed = true;
        CloseAll();
        return;
    }
    FPins = std::move(pins.Pins);

    for (const TorvGatewayEndpoint& gateway : ResolveGatewayList(settings.GatewayList())) {
        if (FConnections.count(gateway.Key) == 0)
            CreateConnection(gateway.Address, gateway.Port, gateway.Key);
    }
}

void TOrvServers::CreateConnection(const std::string& address, std::uint16_t port, const std::string& key)
{
    DebugLog("Creating connection");
    auto connection = std::make_unique<TorvConnection>(FProgramKind);
    connection->SetAddress(address);
    connection->SetPort(port);
    connection->SetStop(false);
    TRegisteringData data;
    data.RecordVersion = FRecordVersion;
    data.ProgramVersion = FProgramVersion;
    data.Language = FLanguage;
    data.SessionID = FRequestedSessionID;
    data.ResultCode = 0;
    connection->SetRegisteringData(data);
    connection->SetGatewayPins(FPins);
    connection->SetActive(true);
    orvStartChannelThread(*connection, orvCommandChannel, std::make_unique<TorvCommandThread>());
    FConnections[key] = std::move(connection);
    DebugLog("Connection has been created.");
}

TorvConnection* TOrvServers::Poll()
{
    if (FFailed)
        return nullptr;
    if (std::chrono::steady_clock::now() > FDeadline) {
        FFailed = true;
        DebugLog("Connection establishment timeout");
        for (const auto& entry : FConnections)
            FIdentityRefused = FIdentityRefused || entry.second->IdentityRefused();
        return nullptr;
    }

    bool redirectSeen = false;
    for (auto& [key, connection] : FConnections) {
        if (connection->IdentityRefused()) {
            // A failed gateway, switched off: its transport would keep trying the same key.
            FIdentityRefused = true;
            if (connection->GetActive())
                connection->SetActive(false);
            FFailedKeys.insert(key);
            if (FFailedKeys.size() >= FConnections.size()) {
                FFailed = true;
                break;
            }
            continue;
        }
        const TRegisteringData data = connection->RegisteringData();
        const std::string redirectHost = connection->RedirectHost();
        // A redirect is followed, not counted as a failure.
        const bool redirect = data.ResultCode == orvResult::Redirect && !redirectHost.empty();
        if (data.ResultCode != 0 && !redirect) {
            FErrorCode = data.ResultCode;
            FFailedKeys.insert(key);
            if (FFailedKeys.size() >= FConnections.size()) {
                FFailed = true;
                break;
            }
        }
        if (connection->Stop()) {
            FFailed = true;
            break;
        }
        const TServerConnectionState state = connection->ServerConnectionState();
        if (state == scsRegisteredToServer || state == scsTotallyConnected) {
            DebugLog("Connected to customer");
            return connection.get();
        }
        if (!redirectHost.empty()) {
            FRedirectHost = redirectHost;
            FRedirectPort = connection->RedirectPort();
            redirectSeen = true;
        }
    }
    if (FFailed)
        return nullptr;

    if (!FRedirectHost.empty()) {
        const std::string redirectKey = GatewayKey(FRedirectHost, FRedirectPort);
        // A new redirect target restarts the deadline, once. A redirect that is
        // only seen again (a gateway redirecting to itself, or one we already
        // follow) must not keep the establishment alive for ever.
        if (redirectSeen && redirectKey != FRedirectKey) {
            FRedirectKey = redirectKey;
            FRedirectTargetPresent = false;
            FDeadline = std::chrono::steady_clock::now() + FTimeout;
        }
        // Every connection is kept under the key of its own address and port.
        if (FConnections.count(redirectKey))
            FRedirectTargetPresent = true;
        if (FRedirectTargetPresent) {
            for (auto it = FConnections.rbegin(); it != FConnections.rend();) {
                if (it->first != redirectKey) {
                    auto victim = std::move(it->second);
                    it = decltype(it)(FConnections.erase(std::next(it).base()));
                    EndConnection(std::move(victim));
                } else {
                    ++it;
                }
            }
        } else if (redirectSeen) {
            DebugLog("Connection to correct server was not yet created.");
            CloseAll();
            CreateConnection(FRedirectHost, FRedirectPort, redirectKey);
        }
    }
    return nullptr;
}

std::unique_ptr<TorvConnection> TOrvServers::Detach(TorvConnection* connection)
{
    for (auto it = FConnections.begin(); it != FConnections.end(); ++it) {
        if (it->second.get() == connection) {
            auto owned = std::move(it->second);
            FConnections.erase(it);
            return owned;
        }
    }
    throw EorvAssertion("lib/orvConnectionsUtils", "Detach of a connection that is not in the list");
}

void TOrvServers::EndConnection(std::unique_ptr<TorvConnection> connection)
{
    // Also runs from the destructor: a failing goodbye must not stop the others.
    try {
        if (connection->ServerConnectionState() != scsDisconnected) {
            if (auto* command =
                    dynamic_cast<TorvCommandThread*>(connection->FindChannelThread(orvCommandChannel)))
                command->SendLeave();
        }
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TOrvServers.CloseAll: %s", e.what());
    }
    connection->SetActive(false);
    connection.reset();
}

void TOrvServers::CloseAll()
{
    while (!FConnections.empty()) {
        auto last = std::prev(FConnections.end());
        auto connection = std::move(last->second);
        FConnections.erase(last);
        EndConnection(std::move(connection));
    }
}
