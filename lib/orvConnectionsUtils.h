#pragma once

// The gateway list of the settings file, and the establishment of one
// registered connection from it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Settings file
// ---------------------------------------------------------------------------

// exePath with the extension of its file name replaced by ".ini", or ".ini"
// appended when the name has none ("/opt/orv/customer" -> "/opt/orv/customer.ini").
std::string SettingsFilePath(const std::string& exePath);

// The settings file of the running program (from /proc/self/exe); empty when
// the executable's path cannot be had.
std::string SettingsFilePath();

// Section "gateway", keys gateway1, gateway2, ... in order, up to the first key
// that is missing or holds "127.0.0.1:6000" (that value is never returned).
// Values are returned as written, without surrounding blanks or quotes. An
// absent or unreadable file gives an empty list.
std::vector<std::string> ReadGatewayList(const std::string& iniPath);

// Keys prefix1, prefix2, ... of the section in order, up to the first missing
// key; values as ReadSettingsValue gives them (an empty value is kept).
std::vector<std::string> ReadNumberedSettings(const std::string& iniPath, const std::string& section,
                                              const std::string& prefix);

// The names of every key of one section, as written; empty when the file or
// the section is missing.
std::vector<std::string> ReadSectionKeys(const std::string& iniPath, const std::string& section);

// One value of the settings file, without surrounding blanks or quotes;
// empty when the file, the section or the key is missing.
std::string ReadSettingsValue(const std::string& iniPath, const std::string& section, const std::string& key);

class INIReader;

// The settings file's bytes, read and parsed once: several values from one
// reading (the pins and the gateways they guard), and the readers above on any text.
class TorvSettingsText
{
public:
    explicit TorvSettingsText(std::string_view fileText);
    // nullopt when the file is absent or unreadable.
    static std::optional<TorvSettingsText> Load(const std::string& iniPath);

    // As ReadGatewayList, ReadNumberedSettings, ReadSectionKeys and ReadSettingsValue.
    std::vector<std::string> GatewayList() const;
    std::vector<std::string> Numbered(const std::string& section, const std::string& prefix) const;
    std::vector<std::string> SectionKeys(const std::string& section) const;
    std::string Value(const std::string& section, const std::string& key) const;

private:
    std::shared_ptr<const INIReader> FIni;                  // null when the text does not parse
    std::vector<std::pair<std::string, std::string>> FKeys; // section and key as written, in order
};

// ---------------------------------------------------------------------------
// Gateway values
// ---------------------------------------------------------------------------

struct TorvHostPort
{
    std::string Host;
    std::uint16_t Port = 0;

    bool operator==(const TorvHostPort&) const = default;
};

// Splits at the first colon into host and port; the port must be a decimal
// number from 0 to 65535 (blanks around it are tolerated). The host is taken
// as it stands, blanks around it removed. Also used for a redirect target.
std::optional<TorvHostPort> SplitHostAndPort(std::string_view text);

// SplitHostAndPort, then a leading "http://" (any letter case) removed from
// the host. nullopt for a value to skip.
std::optional<TorvHostPort> ParseGatewayValue(std::string_view value);

// The first IPv4 address of host in dotted form; a dotted address gives
// itself. nullopt when it does not resolve. Blocks while the name is looked up.
std::optional<std::string> ResolveIPv4(const std::string& host);

// The connection map's key: address + ":" + decimal port.
std::string GatewayKey(std::string_view address, std::uint16_t port);

struct TorvGatewayEndpoint
{
    std::string Address; // dotted IPv4
    std::uint16_t Port = 0;
    std::string Key; // GatewayKey(Address, Port)

    bool operator==(const TorvGatewayEndpoint&) const = default;
};

using TorvResolver = std::function<std::optional<std::string>(const std::string& host)>;

// The gateways to contact, in list order: values that do not parse or do not
// resolve are skipped (and logged), as is every value whose key came earlier.
std::vector<TorvGatewayEndpoint> ResolveGatewayList(const std::vector<std::string>& values,
                                                    const TorvResolver& resolve = ResolveIPv4);

// ---------------------------------------------------------------------------
// Connection establishment
// ---------------------------------------------------------------------------

class TorvConnection;

// Turns one press of Connect into one registered gateway connection: one
// connection to every configured gateway at once, redirects followed, the
// first that registers wins. Runs on the GUI thread, polled by its timer.
class TOrvServers
{
public:
    // settingsFile: where the gateway list is read; timeout: the establishment deadline.
    explicit TOrvServers(std::string settingsFile = SettingsFilePath(),
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));
    ~TOrvServers();
    TOrvServers(const TOrvServers&) = delete;
    TOrvServers& operator=(const TOrvServers&) = delete;

    void Start(std::int32_t requestedSessionID, std::uint8_t programKind, const std::string& programVersion,
               const std::string& language, std::int32_t recordVersion);
    // One step: the winning connection once, else none (then see Failed()).
    TorvConnection* Poll();
    // Takes the connection Poll returned out of the map; the caller owns it now.
    std::unique_ptr<TorvConnection> Detach(TorvConnection* connection);
    void CloseAll();

    bool Failed() const noexcept { return FFailed; }
    std::int32_t ErrorCode() const noexcept { return FErrorCode; }
    // The user's text when the settings file cannot be used (a malformed pin); then Failed() from Start on.
    const std::string& SettingsError() const noexcept { return FSettingsError; }
    // Some gateway's key matched no pin of the settings file.
    bool IdentityRefused() const noexcept { return FIdentityRefused; }
    std::size_t ConnectionCount() const noexcept { return FConnections.size(); }

    // Live objects; nonzero at program end is a programming error.
    static int LiveCount() noexcept;

private:
    void CreateConnection(const std::string& address, std::uint16_t port, const std::string& key);
    void EndConnection(std::unique_ptr<TorvConnection> connection);

    std::string FSettingsFile;
    std::chrono::milliseconds FTimeout;
    std::chrono::steady_clock::time_point FDeadline;
    bool FFailed = false;
    std::int32_t FRequestedSessionID = 0;
    std::string FRedirectHost;
    std::uint16_t FRedirectPort = 0;
    std::string FRedirectKey; // the redirect target being followed
    bool FRedirectTargetPresent = false;
    std::map<std::string, std::unique_ptr<TorvConnection>> FConnections;
    std::set<std::string> FFailedKeys;
    std::int32_t FErrorCode = 0;
    std::vector<std::string> FPins; // of the settings file, for every connection and redirect target
    std::string FSettingsError;
    bool FIdentityRefused = false;
    std::int32_t FRecordVersion = 1;
    std::string FProgramVersion;
    std::string FLanguage;
    std::uint8_t FProgramKind = 0;
};

// Raises the "Not all TOrvServers destroyed" assertion when any still live.
void CheckAllServersDestroyed();
