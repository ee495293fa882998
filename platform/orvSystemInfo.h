#pragma once

// What an error report says about the machine and the process: the operating
// system, the processor, the memory and the loaded modules.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TorvOsInfo
{
    std::string Name;        // PRETTY_NAME of os-release ("Debian GNU/Linux 12 (bookworm)")
    std::string ProductType; // VARIANT of os-release, often empty
    int Major = 0;           // the kernel's release numbers
    int Minor = 0;
    int Build = 0;
    std::string ServicePack; // the kernel's build text ("#1 SMP PREEMPT_DYNAMIC Debian ...")
};

// A value of /etc/os-release (or /usr/lib/os-release), unquoted; empty when absent.
std::string orvOsReleaseValue(std::string_view key);
TorvOsInfo orvOsInfo();
// "6.1.0-18-amd64" gives 6, 1, 0; missing numbers stay 0.
void orvParseKernelRelease(std::string_view release, TorvOsInfo& info);

struct TorvCpuInfo
{
    std::string Vendor; // "GenuineIntel"
    std::string Name;   // the model name
    int MHz = 0;        // rounded to a whole number
    bool Mmx = false;
};

// The first processor of a /proc/cpuinfo text.
TorvCpuInfo orvParseCpuInfo(std::string_view text);
TorvCpuInfo orvCpuInfo();

struct TorvMemoryInfo
{
    std::uint64_t TotalPhysical = 0;     // bytes of RAM
    std::uint64_t Committed = 0;         // RAM and swap in use
    std::uint64_t AvailablePhysical = 0; // free RAM
};

TorvMemoryInfo orvMemoryInfo();

struct TorvLoadedModule
{
    std::uintptr_t Address = 0;          // where its first segment is mapped
    std::uintptr_t PreferredAddress = 0; // where it was linked to go; Address when it may go anywhere
    std::string FileName;                // full path as loaded (the program's own from /proc/self/exe)
    bool MainProgram = false;
};

// The modules of this process in ascending order of their addresses.
std::vector<TorvLoadedModule> orvLoadedModules();

struct TorvFileVersion
{
    std::array<unsigned, 4> Numbers{}; // missing parts are 0
    std::string Text;                  // as written ("6.4.2")
};

// The version in a shared library's file name: "libQt6Core.so.6.4.2" gives
// 6.4.2; nothing without numbers after ".so.".
std::optional<TorvFileVersion> orvParseLibraryVersion(std::string_view fileName);
// The version of a loaded library: from the name of the file its path finally
// leads to (the soname link's target), else from the path's own name.
std::optional<TorvFileVersion> orvLibraryVersion(const std::string& path);
// "1.0.0.0" as a file version.
TorvFileVersion orvFileVersionOf(std::string_view dotted);
