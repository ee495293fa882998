#pragma once

// Channel 1: command texts, the registration record and the result codes;
// the release dates and versions the update check compares.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Command texts: code + ":" + data
// ---------------------------------------------------------------------------

struct TorvCommandParts
{
    std::string Code; // compared as a whole text: "1" is not "10"
    std::string Data;
};

// Splits at the first colon; later colons belong to the data. A text without
// a colon gives an empty code and the whole text as data.
TorvCommandParts SplitCommandText(std::string_view text);

// code + ":" + data, the colon also when data is empty ("2:").
std::string JoinCommand(std::string_view code, std::string_view data);

// Command codes of channel 1 (GW gateway, CP this program, HP helpdesk program).
namespace orvCmd {
inline constexpr std::string_view Leave = "2";                    // CP -> GW
inline constexpr std::string_view Greeting = "3";                 // GW -> CP: register now
inline constexpr std::string_view HelpdeskJoined = "5";           // GW -> CP
inline constexpr std::string_view HelpdeskLeft = "6";             // GW -> CP: back to registered
inline constexpr std::string_view SessionEnded = "7";             // GW -> CP, data: reason
inline constexpr std::string_view Register = "8";                 // CP -> GW, data: record
inline constexpr std::string_view Registered = "11";              // GW -> CP, data: record
inline constexpr std::string_view RefusedOrRedirect = "12";       // GW -> CP, data: record
inline constexpr std::string_view NotHandled = "20";              // CP <-> HP, data: the text not understood
inline constexpr std::string_view Acknowledge = "100";            // CP -> HP, data: acknowledged code
inline constexpr std::string_view OpenFile = "101";               // HP -> CP, data: path or address
inline constexpr std::string_view ControlPanel = "102";           // HP -> CP
inline constexpr std::string_view Printers = "103";               // HP -> CP
inline constexpr std::string_view Restart = "104";                // HP -> CP
inline constexpr std::string_view LogOff = "105";                 // HP -> CP
inline constexpr std::string_view ErrorCode = "106";              // both ways, data: code or record
inline constexpr std::string_view SecureAttention = "107";        // HP -> CP: Ctrl+Alt+Del
inline constexpr std::string_view StartMenu = "108";              // HP -> CP
inline constexpr std::string_view RequestRestartOrLogOff = "200"; // HP -> CP, data: "104" or "105"
} // namespace orvCmd

// ---------------------------------------------------------------------------
// Registration record
// ---------------------------------------------------------------------------

inline constexpr std::int32_t orvRegisteringDataVersion = 1;
inline constexpr std::int32_t orvSessionIDBase = 1000000; // session code = identifier - base

// Field order is the wire order.
struct TRegisteringData
{
    std::int32_t RecordVersion = orvRegisteringDataVersion;
    std::string ProgramVersion;
    std::string Language;
    std::string Reserved;       // sent empty, ignored on receipt
    std::int32_t SessionID = 0; // 0 = new session, or orvSessionIDBase + code
    std::int32_t ResultCode = 0;
    std::string ResultText; // for orvResult::Redirect: "host:port"

    bool operator==(const TRegisteringData&) const = default;
};

// One line per field, each ended by the byte 0xFF; integers in decimal. In the
// texts a CR LF pair, and any other byte that would break a line on decoding
// (a lone CR or LF, 0xFF, 0x00), is written as the byte 0xFE.
std::string EncodeRegisteringData(const TRegisteringData& data);

// Lines end at 0xFF, CR LF, CR or LF; a 0x00 byte ends the text; a line end
// at the very end does not start another line. Needs at least 7 lines, line 1
// the integer 1 and lines 5 and 6 integers (optional sign and digits, blanks
// around them allowed, 32-bit range); surplus lines are ignored. A 0xFE byte
// reads as "?". nullopt when the text does not decode.
std::optional<TRegisteringData> DecodeRegisteringData(std::string_view text);

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------

namespace orvResult {
inline constexpr int Accepted = 0;
inline constexpr int UnknownError = 10;
inline constexpr int InvalidApplicationID = 20;
inline constexpr int EstablishmentFailed = 30;
inline constexpr int Rejected = 100;
inline constexpr int GatewayBusy = 101;
inline constexpr int Redirect = 103; // the result text names the gateway to use
inline constexpr int Refused = 104;  // stop trying
inline constexpr int InvalidProtocolVersion = 150;
inline constexpr int Notice = 201;         // not shown to the customer
inline constexpr int RefusedQuietly = 203; // stop trying, nothing shown
inline constexpr int CustomerClosed = 300; // sent by us
inline constexpr int HelpdeskClosed = 301;
inline constexpr int RestartNotPrepared = 400; // sent by us
inline constexpr int Terminated = 1000;
} // namespace orvResult

// The user text of a result code (empty for codes that show nothing). Logs
// "Connection error code is %d" first.
std::string ResultText(int code);

// ---------------------------------------------------------------------------
// Channel texts on a console or in a log
// ---------------------------------------------------------------------------

// Channel texts may hold any byte: printable ASCII stays, a backslash becomes
// "\\", every other byte "\xHH".
std::string EscapeChannelText(std::string_view text);
// The reverse; nullopt for a broken escape.
std::optional<std::string> UnescapeChannelText(std::string_view text);

// ---------------------------------------------------------------------------
// Release dates and versions
// ---------------------------------------------------------------------------

// A local date and time. The default is the zero date, 30 December 1899 00:00.
struct TorvDateTime
{
    int Year = 1899;
    int Month = 12;
    int Day = 30;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;

    bool operator==(const TorvDateTime&) const = default;
};

// "YYYY-MM-DD", optionally followed by a blank and "HH:MM:SS". A text that is
// not a real date and time gives the zero date.
TorvDateTime orvDecodeDateText(std::string_view text);

// The user's short date format, followed by the long time unless it is
// midnight. Under the C locale (or one that cannot be loaded) ISO forms.
std::string orvFormatReleaseDate(const TorvDateTime& date);

// Whether the announced version is newer than ours. Only major, minor and the
// third number count. Our number is the text up to the next dot; the announced
// one too when it has a dot, and otherwise 0 for the first two numbers and the
// whole rest (0 if empty) for the third. Raises EorvException "Unable to
// compare versions" when a part is not a number.
bool orvIsNewerVersion(std::string_view own, std::string_view announced);

// The text after the last '/' (all of it without one).
std::string orvUrlFileName(std::string_view url);

// What orvIsNewerVersion raises.
inline constexpr const char* orvCannotCompareVersions = "Unable to compare versions";
