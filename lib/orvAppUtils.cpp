#include "lib/orvAppUtils.h"

#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "transport/MCAddress.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>
#include <vector>

// ---------------------------------------------------------------------------
// Command texts
// ---------------------------------------------------------------------------

TorvCommandParts SplitCommandText(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return {std::string(), std::string(text)};
    return {std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

std::string JoinCommand(std::string_view code, std::string_view data)
{
    std::string s;
    s.reserve(code.size() + 1 + data.size());
    s += code;
    s += ':';
    s += data;
    return s;
}

// ---------------------------------------------------------------------------
// Registration record
// ---------------------------------------------------------------------------

namespace {

constexpr char LineEnd = '\xFF';
constexpr char LineBreakMark = '\xFE';

void AppendTextLine(std::string& out, std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += LineBreakMark;
            ++i;
        } else if (c == '\r' || c == '\n' || c == LineEnd || c == '\0') {
            // Would split or end the record on the other side and shift every later field.
            out += LineBreakMark;
        } else {
            out += c;
        }
    }
    out += LineEnd;
}

void AppendIntegerLine(std::string& out, std::int32_t value)
{
    out += std::to_string(value);
    out += LineEnd;
}

// A final line end does not open another (empty) line.
std::vector<std::string_view> SplitRecordLines(std::string_view text)
{
    const auto nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == LineEnd || c == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = ++i;
        } else if (c == '\r') {
            lines.push_back(text.substr(start, i - start));
            ++i;
            if (i < text.size() && text[i] == '\n')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::string FieldText(std::string_view line)
{
    std::string s(line);
    for (char& c : s)
        if (c == LineBreakMark)
            c = '?';
    return s;
}

// Optional sign and digits; blanks around them are tolerated, nothing else
// (a record line holds no CR or LF, so trimming those too changes nothing).
std::optional<std::int32_t> ParseInteger(std::string_view s)
{
    s = MCTrim(s);
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1); // from_chars takes "-" but not "+"
        if (!s.empty() && s.front() == '-')
            return std::nullopt;
    }
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

} // namespace

std::string EncodeRegisteringData(const TRegisteringData& data)
{
    std::string out;
    AppendIntegerLine(out, data.RecordVersion);
    AppendTextLine(out, data.ProgramVersion);
    AppendTextLine(out, data.Language);
    AppendTextLine(out, data.Reserved);
    AppendIntegerLine(out, data.SessionID);
    AppendIntegerLine(out, data.ResultCode);
    AppendTextLine(out, data.ResultText);
    return out;
}

std::optional<TRegisteringData> DecodeRegisteringData(std::string_view text)
{
    const auto lines = SplitRecordLines(text);
    if (lines.empty())
        return std::nullopt;
    // Integer lines are parsed as they stand: a 0xFE byte fails the parse as its "?" would.
    const auto version = ParseInteger(lines[0]);
    if (version != orvRegisteringDataVersion)
        return std::nullopt;
    if (lines.size() < 7)
        return std::nullopt;
    const auto sessionID = ParseInteger(lines[4]);
    const auto resultCode = ParseInteger(lines[5]);
    if (!sessionID || !resultCode)
        return std::nullopt;
    TRegisteringData data;
    data.RecordVersion = *version;
    data.ProgramVersion = FieldText(lines[1]);
    data.Language = FieldText(lines[2]);
    data.Reserved = FieldText(lines[3]);
    data.SessionID = *sessionID;
    data.ResultCode = *resultCode;
    data.ResultText = FieldText(lines[6]);
    return data;
}

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------

std::string ResultText(int code)
{
    DebugLogFmt("Connection error code is %d", code);
    switch (code) {
    case orvResult::Accepted:
    case orvResult::Notice:
    case orvResult::RefusedQuietly: return {};
    case orvResult::UnknownError: return "Unknown error";
    case orvResult::InvalidApplicationID:
        return "Unable to connect to gateway. Invalid application ID. Please try again.";
    case orvResult::EstablishmentFailed: return "Connection establishment failed. Please try again.";
    case orvResult::Rejected: return "Your connection was rejected.";
    case orvResult::GatewayBusy: return "Gateway is busy. Please try to connect again later.";
    case orvResult::InvalidProtocolVersion: return "Invalid protocol version.";
    case orvResult::HelpdeskClosed: return "Helpdesk closed connection";
    case orvResult::Terminated: return "Your connection was terminated.";
    default:
        // 103, 104, 300, 400 and every unknown code. The acute accent is kept
        // as in the product's text, in the locale's (UTF-8) encoding.
        return "Connection can\u00B4t be established. Your firewall does not prevent connection but "
               "otherwise the "
               "reason is unknown. Please contact the software vendor for more information.";
    }
}

std::string EscapeChannelText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> UnescapeChannelText(std::string_view text)
{
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size())
            return std::nullopt;
        if (text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size() && hexValue(text[i + 2]) >= 0 &&
                   hexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Release dates and versions
// ---------------------------------------------------------------------------

namespace {

bool ReadDigits(std::string_view text, std::size_t at, std::size_t count, int& value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

std::locale UserLocale()
{
    try {
        return std::locale("");
    } catch (const std::exception&) {
        return std::locale::classic();
    }
}

std::string PutTime(const std::tm& tm, const std::locale& locale, const char* pattern)
{
    std::ostringstream out;
    out.imbue(locale);
    out << std::put_time(&tm, pattern);
    return out.str();
}

// StrToInt's reading: blanks around, an optional sign, decimal digits.
int VersionNumber(std::string_view text)
{
    const auto value = ParseInteger(text);
    if (!value)
        throw EorvException(orvCannotCompareVersions);
    return *value;
}

// Takes the text up to the next dot and removes it with the dot; without a
// dot the whole text.
std::string_view TakePart(std::string_view& text)
{
    const auto dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    return part;
}

} // namespace

TorvDateTime orvDecodeDateText(std::string_view text)
{
    TorvDateTime date;
    if (text.size() != 10 && text.size() != 19)
        return {};
    if (text[4] != '-' || text[7] != '-')
        return {};
    if (!ReadDigits(text, 0, 4, date.Year) || !ReadDigits(text, 5, 2, date.Month) ||
        !ReadDigits(text, 8, 2, date.Day))
        return {};
    date.Hour = date.Minute = date.Second = 0;
    if (text.size() == 19) {
        if (text[10] != ' ' || text[13] != ':' || text[16] != ':')
            return {};
        if (!ReadDigits(text, 11, 2, date.Hour) || !ReadDigits(text, 14, 2, date.Minute) ||
            !ReadDigits(text, 17, 2, date.Second))
            return {};
    }
    if (date.Year < 1 || date.Month < 1 || date.Month > 12 || date.Day < 1 ||
        date.Day > DaysInMonth(date.Year, date.Month) || date.Hour > 23 || date.Minute > 59 ||
        date.Second > 59)
        return {};
    return date;
}

std::string orvFormatReleaseDate(const TorvDateTime& date)
{
    std::tm tm{};
    tm.tm_year = date.Year - 1900;
    tm.tm_mon = date.Month - 1;
    tm.tm_mday = date.Day;
    tm.tm_hour = date.Hour;
    tm.tm_min = date.Minute;
    tm.tm_sec = date.Second;
    const std::locale locale = UserLocale();
    // The C locale's forms ("12/16/05") say less than ISO's.
    const std::string name = locale.name();
    const bool plain = name == "C" || name == "POSIX" || name.starts_with("C.");
    std::string text = PutTime(tm, locale, plain ? "%Y-%m-%d" : "%x");
    if (date.Hour != 0 || date.Minute != 0 || date.Second != 0) {
        text += ' ';
        text += PutTime(tm, locale, plain ? "%H:%M:%S" : "%X");
    }
    return text;
}

bool orvIsNewerVersion(std::string_view own, std::string_view announced)
{
    for (int step = 0; step < 3; ++step) {
        const int ownNumber = VersionNumber(TakePart(own));
        int announcedNumber = 0;
        if (announced.find('.') != std::string_view::npos) {
            announcedNumber = VersionNumber(TakePart(announced));
        } else if (step == 2) {
            const std::string_view rest = MCTrim(announced);
            announcedNumber = rest.empty() ? 0 : VersionNumber(rest);
        }
        if (ownNumber < announcedNumber)
            return true;
        if (ownNumber > announcedNumber)
            return false;
    }
    return false;
}

std::string orvUrlFileName(std::string_view url)
{
    const auto slash = url.rfind('/');
    return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}
