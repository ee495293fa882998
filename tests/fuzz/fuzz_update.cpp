// Fuzzes what the update server returns and what the update check does with
// it: the INI file's announcement, the release date and the package's name, and
// the comparison of version texts. The whole input is the INI file; its first
// three lines are also compared as versions with each other and with the
// announced ones.
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvConnections.h"
#include "lib/orvWWWUpdate.h"
#include "transport/MCAddress.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// Whether the announced version is newer; nothing when the texts cannot be
// compared, which the update check reports (any other error is a fault).
std::optional<bool> Newer(std::string_view own, std::string_view announced)
{
    try {
        return orvIsNewerVersion(own, announced);
    } catch (const EorvException& e) {
        Check(std::strcmp(e.what(), orvCannotCompareVersions) == 0);
        return std::nullopt;
    }
}

// Texts our version and an announced one read alike as: three dotted parts
// at least, the third not blank (an announced one reads a blank third as 0).
bool ReadsAlike(std::string_view version)
{
    const auto first = version.find('.');
    if (first == std::string_view::npos)
        return false;
    const auto second = version.find('.', first + 1);
    if (second == std::string_view::npos)
        return false;
    const auto third = version.substr(second + 1, version.find('.', second + 1) - second - 1);
    return !MCTrim(third).empty();
}

std::size_t Dots(std::string_view version)
{
    return static_cast<std::size_t>(std::count(version.begin(), version.end(), '.'));
}

void CheckVersions(const std::vector<std::string>& versions)
{
    // Comparable: both readings alike and every number readable (comparing a
    // text with itself reads all three).
    std::vector<std::string> usable;
    for (const std::string& x : versions) {
        Newer("1.0.0.0", x);
        Newer(x, "1.0.0");
        if (ReadsAlike(x)) {
            const auto same = Newer(x, x);
            Check(same != true);
            if (same)
                usable.push_back(x);
        }
    }
    for (const std::string& x : usable) {
        for (const std::string& y : usable) {
            const bool xy = *Newer(x, y);
            const bool yx = *Newer(y, x);
            Check(!(xy && yx));
            // Only the first three numbers count.
            if (Dots(y) == 2)
                Check(Newer(x, y + ".x") == xy);
            if (Dots(x) == 2)
                Check(Newer(x + ".x", y) == xy);
            for (const std::string& z : usable) {
                const bool yz = *Newer(y, z);
                const bool xz = *Newer(x, z);
                if (xy && yz)
                    Check(xz);
                // Equal versions compare alike with any other.
                if (!xy && !yx)
                    Check(xz == yz);
            }
        }
    }
}

void CheckDate(const std::string& text)
{
    const TorvDateTime date = orvDecodeDateText(text);
    if (date == TorvDateTime{})
        return;
    Check(date.Year >= 1 && date.Year <= 9999 && date.Month >= 1 && date.Month <= 12 && date.Day >= 1 &&
          date.Day <= 31 && date.Hour >= 0 && date.Hour <= 23 && date.Minute >= 0 && date.Minute <= 59 &&
          date.Second >= 0 && date.Second <= 59);
    char again[32];
    std::snprintf(again, sizeof again, "%04d-%02d-%02d %02d:%02d:%02d", date.Year, date.Month, date.Day,
                  date.Hour, date.Minute, date.Second);
    Check(orvDecodeDateText(again) == date);
    Check(text.size() == 19 || (date.Hour == 0 && date.Minute == 0 && date.Second == 0));
}

// The announcement written back as an INI file reads the same.
std::string IniOf(const TorvUpdateAnnouncement& a, TorvProgramKind kind)
{
    const std::string prefix = kind == TorvProgramKind::Customer ? "Customer" : "Helpdesk";
    const auto line = [](const std::string& key, const std::string& value) {
        return key + "=\"" + value + "\"\n";
    };
    std::string text = "[eng]\n" + line(prefix + "Version", a.Version);
    for (std::size_t i = 0; i < a.Notes.size(); ++i)
        text += line(prefix + "VersionDescriptionLine" + std::to_string(i + 1), a.Notes[i]);
    text += line(prefix + "VersionDate", a.DateText);
    text += line("UpdateFileFor" + prefix, a.PackageUrl);
    return text;
}

bool Same(const TorvUpdateAnnouncement& a, const TorvUpdateAnnouncement& b)
{
    return a.Version == b.Version && a.Notes == b.Notes && a.DateText == b.DateText &&
           a.PackageUrl == b.PackageUrl;
}

void CheckAnnouncement(const TorvUpdateAnnouncement& a, TorvProgramKind kind)
{
    for (const std::string* value : {&a.Version, &a.DateText, &a.PackageUrl})
        Check(value->find('\n') == std::string::npos);
    for (const std::string& note : a.Notes)
        Check(note.find('\n') == std::string::npos && note != "NOT FOUND");
    Check(Same(orvReadUpdateIniText(IniOf(a, kind), "ENG", kind), a));

    // The package is stored under the name after the address's last '/'.
    const std::string name = orvUrlFileName(a.PackageUrl);
    Check(name.find('/') == std::string::npos && a.PackageUrl.ends_with(name));
    CheckDate(a.DateText);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    RedirectDebugLogForTesting("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const TorvUpdateAnnouncement customer = orvReadUpdateIniText(input, "ENG", TorvProgramKind::Customer);
    const TorvUpdateAnnouncement helpdesk = orvReadUpdateIniText(input, "ENG", TorvProgramKind::Helpdesk);
    CheckAnnouncement(customer, TorvProgramKind::Customer);
    CheckAnnouncement(helpdesk, TorvProgramKind::Helpdesk);

    std::vector<std::string> versions{customer.Version, helpdesk.Version};
    std::string_view rest(input);
    for (int i = 0; i < 3 && !rest.empty(); ++i) {
        const auto end = rest.find('\n');
        versions.emplace_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    CheckVersions(versions);
    for (std::size_t i = 2; i < versions.size(); ++i)
        CheckDate(versions[i]);
    return 0;
}
