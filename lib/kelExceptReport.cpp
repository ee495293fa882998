#include "lib/kelExceptReport.h"

#include "lib/orvAppUtils.h"
#include "lib/orvConnectionsUtils.h"
#include "orvVersion.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::string_view kCrLf = "\r\n";

template <typename... Args> std::string Format(const char* format, Args... args)
{
    const int size = std::snprintf(nullptr, 0, format, args...);
    if (size <= 0)
        return {};
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

TorvDateTime LocalDateTime(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

bool EndsWithCrLf(std::string_view text)
{
    return text.ends_with(kCrLf);
}

} // namespace

TKelReportSettings kelReportSettings(const std::string& settingsFile)
{
    TKelReportSettings settings;
    settings.ErrorReportAddress = ReadSettingsValue(settingsFile, "errorreport", "address");
    if (settings.ErrorReportAddress.empty())
        settings.ErrorReportAddress = ORV_ERROR_REPORT_ADDRESS;
    return settings;
}

std::string kelToCrLf(std::string_view text)
{
    std::string result;
    result.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            result += kCrLf;
        } else if (c == '\n') {
            result += kCrLf;
        } else {
            result += c;
        }
    }
    return result;
}

std::string kelToLf(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    return result;
}

std::string kelDialogMessage(std::string_view errorMessage)
{
    std::string message(errorMessage);
    if (!message.ends_with('.'))
        message += '.';
    return "An unexpected error occurred: \r\n" + kelToCrLf(message) +
           "\r\n\r\nYou can continue program with \"OK\"-button, but it is recommended , that you send "
           "email to program vendor by clicking \"Information>>\"-button and then click \"Send\"-button."
           "In comments box you can add your own message to program vendor.i.e The situation when error "
           "occured.";
}

std::vector<std::string> kelExceptionLines(std::string_view className, std::uintptr_t address,
                                           std::string_view programInfo)
{
    std::vector<std::string> lines;
    lines.push_back("Exception class: " + std::string(className));
    lines.push_back(Format("Exception address: %08" PRIXPTR, address));
    // The program's info is a CR LF block of three lines (or nothing).
    std::string_view rest = programInfo;
    while (!rest.empty()) {
        const auto end = rest.find(kCrLf);
        lines.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + kCrLf.size());
    }
    return lines;
}

std::vector<std::string> kelStackLines(const TorvThrowRecord& record,
                                       const std::vector<TorvStackFrame>& frames)
{
    std::vector<std::string> lines;
    lines.push_back("Stack list, generated " + orvFormatReleaseDate(LocalDateTime(record.Time)));
    for (const TorvStackFrame& frame : frames)
        lines.push_back(orvStackFrameText(frame));
    return lines;
}

std::vector<std::string> kelSystemLines(const TorvOsInfo& os, const TorvCpuInfo& cpu,
                                        const TorvMemoryInfo& memory, const TKelScreen& screen)
{
    constexpr std::uint64_t MB = 1048576, KB = 1024;
    return {
        Format("System   : %s %s, Version: %d.%d, Build: %x, \"%s\"", os.Name.c_str(), os.ProductType.c_str(),
               os.Major, os.Minor, static_cast<unsigned>(os.Build), os.ServicePack.c_str()),
        Format("Processor: %s, %s, %d MHz %s", cpu.Vendor.c_str(), cpu.Name.c_str(), cpu.MHz,
               cpu.Mmx ? "MMX" : ""),
        Format("Total physical memory: %" PRIu64 " MB, used memory: %" PRIu64
               " KB, free physical memory %" PRIu64 " KB",
               memory.TotalPhysical / MB, memory.Committed / KB, memory.AvailablePhysical / KB),
        Format("Display  : %dx%d pixels, %d bpp", screen.Width, screen.Height, screen.Depth),
    };
}

std::optional<TKelModuleVersion> kelModuleVersion(const TorvLoadedModule& module,
                                                  std::string_view programDescription)
{
    if (module.MainProgram)
        return TKelModuleVersion{orvFileVersionOf(ORV_FILE_VERSION), std::string(programDescription)};
    if (auto version = orvLibraryVersion(module.FileName))
        return TKelModuleVersion{std::move(*version), {}};
    return std::nullopt;
}

std::vector<std::string> kelModuleLines(const std::vector<TorvLoadedModule>& modules,
                                        const TKelModuleVersionOf& versionOf)
{
    const std::string blanks(11, ' ');
    std::vector<std::string> lines{"List of loaded modules:"};
    for (const TorvLoadedModule& module : modules) {
        lines.push_back(Format("[%.8" PRIxPTR "] %s", module.Address, module.FileName.c_str()));
        const std::string prefix = module.PreferredAddress != module.Address
                                       ? Format("<%.8" PRIxPTR "> ", module.PreferredAddress)
                                       : blanks;
        const std::optional<TKelModuleVersion> version = versionOf ? versionOf(module) : std::nullopt;
        if (!version) {
            lines.push_back(prefix + "(no version info)");
            continue;
        }
        const auto& n = version->Version.Numbers;
        lines.push_back(prefix + Format("%u.%u.%u.%u", n[0], n[1], n[2], n[3]) + " - " +
                        version->Version.Text);
        if (!version->Description.empty())
            lines.push_back(blanks + version->Description);
    }
    return lines;
}

std::vector<std::string> kelControlLines(const std::vector<TKelControl>& chain)
{
    std::vector<std::string> lines{"Active Controls hiearchy:"};
    for (const TKelControl& control : chain)
        lines.push_back(control.ClassName + " \"" + control.Name + "\"");
    return lines;
}

std::string kelReportAsText(std::string_view message, std::string_view comments, std::string_view details)
{
    std::string text(message);
    if (!EndsWithCrLf(text))
        text += kCrLf;
    text += "\r\nUser comments: \r\n";
    text += comments;
    text += "\r\n\r\nDetails: \r\n";
    text += details;
    return text;
}

std::string kelReportSubject(std::string_view subject, std::string_view applicationTitle)
{
    return subject.empty() ? std::string(applicationTitle) + " Bugreport" : std::string(subject);
}

std::string kelMailBody(std::string_view subject, std::string_view details, std::string_view comments)
{
    std::string body(subject);
    body += "\r\n\r\n";
    body += details;
    body += "\r\n\r\nUser comments: \r\n";
    body += comments;
    if (!EndsWithCrLf(body))
        body += kCrLf;
    return body;
}
