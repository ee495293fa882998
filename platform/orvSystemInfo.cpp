#include "platform/orvSystemInfo.h"

#include <link.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace {

std::string Unquote(std::string value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        const char quote = value.front();
        const std::string inner = value.substr(1, value.size() - 2);
        if (quote == '\'')
            return inner;
        std::string result;
        for (std::size_t i = 0; i < inner.size(); ++i) {
            if (inner[i] == '\\' && i + 1 < inner.size())
                ++i;
            result += inner[i];
        }
        return result;
    }
    return value;
}

std::string_view TrimBlanks(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Reads the leading decimal number of text and moves past it; -1 when there is none.
int TakeNumber(std::string_view& text)
{
    std::size_t used = 0;
    int value = 0;
    while (used < text.size() && text[used] >= '0' && text[used] <= '9' && value < 100000000)
        value = value * 10 + (text[used++] - '0');
    if (used == 0)
        return -1;
    text.remove_prefix(used);
    return value;
}

int CollectModule(dl_phdr_info* info, std::size_t, void* data)
{
    auto& modules = *static_cast<std::vector<TorvLoadedModule>*>(data);
    bool haveLoad = false;
    ElfW(Addr) lowest = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (!haveLoad || header.p_vaddr < lowest)) {
            lowest = header.p_vaddr;
            haveLoad = true;
        }
    }
    if (!haveLoad)
        return 0;
    TorvLoadedModule module;
    module.Address = info->dlpi_addr + lowest;
    // Linked at 0: position-independent, it has no place of its own.
    module.PreferredAddress = lowest != 0 ? lowest : module.Address;
    module.FileName = info->dlpi_name ? info->dlpi_name : "";
    module.MainProgram = modules.empty(); // the loader reports the program first
    if (module.MainProgram) {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        if (!error)
            module.FileName = self.string();
    }
    modules.push_back(std::move(module));
    return 0;
}

} // namespace

std::string orvOsReleaseValue(std::string_view key)
{
    const std::string wanted = std::string(key) + "=";
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        if (!in)
            continue;
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, wanted.size(), wanted) == 0)
                return Unquote(line.substr(wanted.size()));
        }
        return {};
    }
    return {};
}

void orvParseKernelRelease(std::string_view release, TorvOsInfo& info)
{
    int* parts[] = {&info.Major, &info.Minor, &info.Build};
    for (int* part : parts) {
        const int value = TakeNumber(release);
        if (value < 0)
            return;
        *part = value;
        if (release.empty() || release.front() != '.')
            return;
        release.remove_prefix(1);
    }
}

TorvOsInfo orvOsInfo()
{
    TorvOsInfo info;
    info.Name = orvOsReleaseValue("PRETTY_NAME");
    if (info.Name.empty())
        info.Name = orvOsReleaseValue("NAME");
    info.ProductType = orvOsReleaseValue("VARIANT");
    utsname uts{};
    if (::uname(&uts) == 0) {
        if (info.Name.empty())
            info.Name = uts.sysname;
        orvParseKernelRelease(uts.release, info);
        info.ServicePack = uts.version;
    }
    if (info.Name.empty())
        info.Name = "Linux";
    return info;
}

TorvCpuInfo orvParseCpuInfo(std::string_view text)
{
    TorvCpuInfo cpu;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (TrimBlanks(line).empty()) {
            if (!cpu.Vendor.empty() || !cpu.Name.empty())
                break; // the first processor's block has ended
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view key = TrimBlanks(line.substr(0, colon));
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (key == "vendor_id")
            cpu.Vendor = value;
        else if (key == "model name")
            cpu.Name = value;
        else if (key == "cpu MHz")
            cpu.MHz = static_cast<int>(std::lround(std::strtod(std::string(value).c_str(), nullptr)));
        else if (key == "flags") {
            std::istringstream flags{std::string(value)};
            std::string flag;
            while (flags >> flag)
                cpu.Mmx = cpu.Mmx || flag == "mmx";
        }
    }
    return cpu;
}

TorvCpuInfo orvCpuInfo()
{
    std::ifstream in("/proc/cpuinfo");
    std::ostringstream text;
    text << in.rdbuf();
    return orvParseCpuInfo(text.str());
}

TorvMemoryInfo orvMemoryInfo()
{
    TorvMemoryInfo memory;
    struct sysinfo info
    {
    };
    if (::sysinfo(&info) != 0)
        return memory;
    const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    memory.TotalPhysical = std::uint64_t{info.totalram} * unit;
    memory.AvailablePhysical = std::uint64_t{info.freeram} * unit;
    const std::uint64_t limit = (std::uint64_t{info.totalram} + info.totalswap) * unit;
    const std::uint64_t available = (std::uint64_t{info.freeram} + info.freeswap) * unit;
    memory.Committed = limit > available ? limit - available : 0;
    return memory;
}

std::vector<TorvLoadedModule> orvLoadedModules()
{
    std::vector<TorvLoadedModule> modules;
    ::dl_iterate_phdr(CollectModule, &modules);
    std::stable_sort(
        modules.begin(), modules.end(),
        [](const TorvLoadedModule& a, const TorvLoadedModule& b) { return a.Address < b.Address; });
    return modules;
}

std::optional<TorvFileVersion> orvParseLibraryVersion(std::string_view fileName)
{
    const auto slash = fileName.rfind('/');
    if (slash != std::string_view::npos)
        fileName.remove_prefix(slash + 1);
    const auto so = fileName.find(".so.");
    if (so == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = fileName.substr(so + 4);
    TorvFileVersion version;
    std::size_t parts = 0;
    while (true) {
        const int value = TakeNumber(rest);
        if (value < 0)
            return std::nullopt; // "libfoo.so.x" or a trailing dot
        if (parts < version.Numbers.size())
            version.Numbers[parts] = static_cast<unsigned>(value);
        ++parts;
        if (rest.empty())
            break;
        if (rest.front() != '.')
            return std::nullopt;
        rest.remove_prefix(1);
    }
    version.Text = std::string(fileName.substr(so + 4));
    return version;
}

std::optional<TorvFileVersion> orvLibraryVersion(const std::string& path)
{
    // Only a file has a version: not the kernel's virtual library.
    std::error_code error;
    const auto real = std::filesystem::canonical(path, error);
    if (error)
        return std::nullopt;
    if (auto version = orvParseLibraryVersion(real.filename().string()))
        return version;
    return orvParseLibraryVersion(path);
}

TorvFileVersion orvFileVersionOf(std::string_view dotted)
{
    TorvFileVersion version;
    version.Text = std::string(dotted);
    for (unsigned& number : version.Numbers) {
        const int value = TakeNumber(dotted);
        if (value < 0)
            break;
        number = static_cast<unsigned>(value);
        if (dotted.empty() || dotted.front() != '.')
            break;
        dotted.remove_prefix(1);
    }
    return version;
}
