#include "customer/StartupOptions.h"

#include <array>
#include <charconv>
#include <stdexcept>

namespace {

struct TLevelSwitch
{
    std::string_view Text;
    std::uint8_t Level;
};

constexpr std::array<TLevelSwitch, 4> kLevelSwitches{{
    {"/BASIC", orvLevelBasic},
    {"/ALLOWVIEWING", orvLevelAllowViewing},
    {"/ALLOWREMOTECONTROL", orvLevelAllowRemoteControl},
    {"/ALLOWREMOTEACTIONS", orvLevelAllowRemoteActions},
}};

constexpr std::string_view kAutoConnect = "/AUTOCONNECT";

std::optional<std::int32_t> Decimal(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Characters first..first+count-1 (1-based), shorter or empty past the end.
std::string_view Part(std::string_view text, std::size_t first, std::size_t count)
{
    if (first - 1 >= text.size())
        return {};
    return text.substr(first - 1, count);
}

} // namespace

std::int32_t DecimalOr(std::string_view text, std::int32_t fallback)
{
    return Decimal(text).value_or(fallback);
}

std::int32_t DecimalOrThrow(std::string_view text)
{
    if (auto value = Decimal(text))
        return *value;
    throw std::invalid_argument("'" + std::string(text) + "' is not a valid integer value");
}

std::optional<QDateTime> ParseRestartTime(std::string_view text)
{
    const auto year = Decimal(Part(text, 1, 4));
    const auto month = Decimal(Part(text, 5, 2));
    const auto day = Decimal(Part(text, 7, 2));
    const auto hour = Decimal(Part(text, 9, 2));
    const std::int32_t minute = DecimalOr(Part(text, 11, 2), 0);
    if (!year || !month || !day || !hour)
        return std::nullopt;
    const QDate date(*year, *month, *day);
    const QTime time(*hour, minute);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const QDateTime result(date, time);
    if (!result.isValid()) // a local time skipped by a clock change
        return std::nullopt;
    return result;
}

std::string FormatRestartTime(const QDateTime& time)
{
    return time.toString(QStringLiteral("yyyyMMddHHmm")).toStdString();
}

std::string PermissionSwitch(std::uint8_t level)
{
    for (const TLevelSwitch& s : kLevelSwitches)
        if (s.Level == level)
            return std::string(s.Text);
    return std::string(kLevelSwitches.back().Text);
}

std::vector<std::string> RestartArguments(std::int32_t sessionNumber, const QDateTime& created,
                                          std::uint8_t level)
{
    return {std::to_string(sessionNumber), FormatRestartTime(created), PermissionSwitch(level)};
}

TorvStartupOptions ParseStartupArguments(const std::vector<std::string>& args, const QDateTime& now)
{
    TorvStartupOptions options;
    if (args.size() == 3) {
        options.RestartMode = true;
        options.AutoConnect = true;
        // Session codes have six digits; anything else asks for a new session
        // (and cannot overflow when the identifier is built from it).
        std::int32_t session = DecimalOr(args[0], 0);
        if (session < 1 || session > 999999)
            session = 0;
        const std::optional<QDateTime> created = ParseRestartTime(args[1]);
        if (!created || now >= created->addSecs(orvRestartWindowSeconds)) {
            options.RestartExpired = true;
            return options;
        }
        options.PendingSession = session;
    }
    for (const std::string& arg : args) {
        for (const TLevelSwitch& s : kLevelSwitches)
            if (arg == s.Text && s.Level > options.PermissionLevel)
                options.PermissionLevel = s.Level;
        if (arg == kAutoConnect)
            options.AutoConnect = true;
    }
    return options;
}
