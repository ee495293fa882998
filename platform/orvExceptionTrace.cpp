#include "platform/orvExceptionTrace.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <typeinfo>

namespace {

constexpr int kMaxFrames = 48;
constexpr std::size_t kSlots = 32;

// Fixed size, so that recording never allocates: a throw of std::bad_alloc
// must not fail in here.
struct TThrowSlot
{
    const void* Object = nullptr;
    const std::type_info* Type = nullptr;
    std::chrono::system_clock::time_point Time;
    int Count = 0;
    std::array<void*, kMaxFrames> Frames{};
};

struct TThrowRing
{
    std::mutex Mutex;
    std::array<TThrowSlot, kSlots> Slots{};
    std::size_t Next = 0;
};

constinit TThrowRing GRing;
constinit std::atomic<bool> GTracking{false};
constinit std::atomic<bool> GRingUsed{false};

// A new exception object may take the address of one recorded earlier; that
// record is not its own (it may never be thrown, or thrown untracked).
void ForgetObject(const void* object) noexcept
{
    if (!object || !GRingUsed.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> lock(GRing.Mutex);
    for (TThrowSlot& slot : GRing.Slots)
        if (slot.Object == object)
            slot = TThrowSlot{};
}

// throwSite is the hook's return address: the frames before it (this
// function, the hook, and a sanitizer's own when there is one) are dropped.
void RecordThrow(const void* object, const std::type_info* type, void* throwSite) noexcept
{
    if (!GTracking.load(std::memory_order_relaxed))
        return;
    std::array<void*, kMaxFrames + 8> frames;
    const int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
    int first = 0;
    while (first < count && frames[static_cast<std::size_t>(first)] != throwSite)
        ++first;
    if (first == count) // not found: keep everything rather than nothing
        first = 0;
    const auto now = std::chrono::system_clock::now();
    GRingUsed.store(true, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(GRing.Mutex);
    TThrowSlot& slot = GRing.Slots[GRing.Next];
    GRing.Next = (GRing.Next + 1) % kSlots;
    slot.Object = object;
    slot.Type = type;
    slot.Time = now;
    slot.Count = std::min(count - first, kMaxFrames);
    for (int i = 0; i < slot.Count; ++i)
        slot.Frames[static_cast<std::size_t>(i)] = frames[static_cast<std::size_t>(first + i)];
}

using TRealThrow = void (*)(void*, std::type_info*, void (*)(void*));
using TRealAllocate = void* (*)(std::size_t) noexcept;

TRealThrow RealThrow() noexcept
{
    static const TRealThrow real = reinterpret_cast<TRealThrow>(::dlsym(RTLD_NEXT, "__cxa_throw"));
    return real;
}

struct TErrorIdentity
{
    const void* Object = nullptr; // the thrown object, as the throw hook saw it
    const std::type_info* Type = nullptr;
};

TErrorIdentity IdentityOf(const std::exception_ptr& error)
{
    if (!error)
        return {};
    // libstdc++'s exception_ptr is the thrown object's address and nothing else.
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    TErrorIdentity id;
    std::memcpy(&id.Object, static_cast<const void*>(&error), sizeof id.Object);
    try {
        std::rethrow_exception(error);
    } catch (...) {
        id.Type = abi::__cxa_current_exception_type();
    }
    return id;
}

std::string Demangle(const char* name)
{
    if (!name)
        return {};
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                      &std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

std::string BaseName(const char* path)
{
    if (!path)
        return {};
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace

// Every exception object is made here (a throw, make_exception_ptr).
namespace __cxxabiv1 {
extern "C" void* __cxa_allocate_exception(std::size_t size) noexcept
{
    static const TRealAllocate real =
        reinterpret_cast<TRealAllocate>(::dlsym(RTLD_NEXT, "__cxa_allocate_exception"));
    if (!real)
        std::abort();
    void* object = real(size);
    ForgetObject(object);
    return object;
}
} // namespace __cxxabiv1

// The process-wide throw hook: every `throw` of this program, and of the
// libraries that resolve it here, passes through it on its way to the runtime.
namespace __cxxabiv1 {
extern "C" void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*))
{
    RecordThrow(object, type, __builtin_return_address(0));
    const TRealThrow real = RealThrow();
    if (!real)
        std::abort();
    real(object, type, destructor);
    std::abort(); // the runtime's throw does not return
}
} // namespace __cxxabiv1

void orvSetExceptionTracking(bool on) noexcept
{
    if (on) {
        // The first backtrace loads the unwinder; do it now rather than in a throw.
        std::array<void*, 2> warmUp;
        ::backtrace(warmUp.data(), static_cast<int>(warmUp.size()));
        (void)RealThrow();
    }
    GTracking.store(on);
}

bool orvExceptionTracking() noexcept
{
    return GTracking.load();
}

std::optional<TorvThrowRecord> orvFindThrowRecord(const std::exception_ptr& error)
{
    const TErrorIdentity id = IdentityOf(error);
    if (!id.Type || !id.Object)
        return std::nullopt;
    TThrowSlot found;
    {
        // Nothing in here may allocate: a bad_alloc would come back into the hook.
        std::lock_guard<std::mutex> lock(GRing.Mutex);
        for (const TThrowSlot& slot : GRing.Slots)
            if (slot.Object == id.Object && slot.Type && *slot.Type == *id.Type)
                found = slot;
    }
    if (!found.Type)
        return std::nullopt;
    TorvThrowRecord record;
    record.Time = found.Time;
    for (int i = 0; i < found.Count; ++i)
        record.Frames.push_back(reinterpret_cast<std::uintptr_t>(found.Frames[static_cast<std::size_t>(i)]));
    if (!record.Frames.empty())
        record.Address = record.Frames.front();
    return record;
}

std::string orvExceptionClassName(const std::exception_ptr& error)
{
    const TErrorIdentity id = IdentityOf(error);
    return id.Type ? Demangle(id.Type->name()) : std::string();
}

std::string orvExceptionMessage(const std::exception_ptr& error)
{
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            return e.what();
        } catch (...) {
        }
    }
    return "Unknown error";
}

// ---------------------------------------------------------------------------
// Resolving addresses
// ---------------------------------------------------------------------------

namespace {

// Only the modules' own debug information counts: no separate debug files,
// and never a debuginfod server.
int NoSeparateDebugInfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*, GElf_Word,
                        char**)
{
    return -1;
}

char* GDebugInfoPath = nullptr;

const Dwfl_Callbacks kCallbacks = {
    .find_elf = dwfl_linux_proc_find_elf,
    .find_debuginfo = NoSeparateDebugInfo,
    .section_address = nullptr,
    .debuginfo_path = &GDebugInfoPath,
};

struct TDwflEnd
{
    void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};

// The first line of the function around pc, when its source file is file.
int FunctionFirstLine(Dwfl_Module* module, Dwarf_Addr pc, const char* file)
{
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, pc, &bias);
    if (!unit)
        return -1;
    Dwarf_Die* scopes = nullptr;
    const int count = dwarf_getscopes(unit, pc - bias, &scopes);
    std::unique_ptr<Dwarf_Die, decltype(&std::free)> owned(scopes, &std::free);
    for (int i = 0; i < count; ++i) {
        if (dwarf_tag(&scopes[i]) != DW_TAG_subprogram)
            continue;
        int line = 0;
        const char* declFile = dwarf_decl_file(&scopes[i]);
        if (dwarf_decl_line(&scopes[i], &line) != 0 || !declFile || !file || std::strcmp(declFile, file) != 0)
            return -1;
        return line;
    }
    return -1;
}

TorvStackFrame Resolve(Dwfl* dwfl, std::uintptr_t address)
{
    TorvStackFrame frame;
    frame.Address = address;
    frame.Offset = address;
    // A return address points after the call; look up the call itself.
    const Dwarf_Addr pc = address - 1;
    Dwfl_Module* module = dwfl ? dwfl_addrmodule(dwfl, pc) : nullptr;
    if (!module)
        return frame;
    Dwarf_Addr start = 0;
    const char* moduleName =
        dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
    frame.Module = BaseName(moduleName);
    frame.Offset = address - start;

    GElf_Off offset = 0;
    GElf_Sym symbol{};
    if (const char* name = dwfl_module_addrinfo(module, pc, &offset, &symbol, nullptr, nullptr, nullptr)) {
        frame.Function = Demangle(name);
        frame.Offset = offset + 1;
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module, pc)) {
        int lineNumber = 0;
        if (const char* source = dwfl_lineinfo(line, nullptr, &lineNumber, nullptr, nullptr, nullptr)) {
            frame.File = BaseName(source);
            frame.Line = lineNumber;
            const int first = FunctionFirstLine(module, pc, source);
            if (first > 0 && lineNumber >= first)
                frame.LineOffset = lineNumber - first;
        }
    }
    return frame;
}

} // namespace

std::vector<TorvStackFrame> orvResolveStack(const std::vector<std::uintptr_t>& addresses)
{
    std::unique_ptr<Dwfl, TDwflEnd> dwfl(dwfl_begin(&kCallbacks));
    if (dwfl) {
        dwfl_report_begin(dwfl.get());
        const bool reported = dwfl_linux_proc_report(dwfl.get(), ::getpid()) == 0;
        if (dwfl_report_end(dwfl.get(), nullptr, nullptr) != 0 || !reported)
            dwfl.reset();
    }
    std::vector<TorvStackFrame> frames;
    frames.reserve(addresses.size());
    for (const std::uintptr_t address : addresses)
        frames.push_back(Resolve(dwfl.get(), address));
    return frames;
}

std::string orvStackFrameText(const TorvStackFrame& frame)
{
    char offset[32];
    std::snprintf(offset, sizeof offset, " + 0x%" PRIxPTR, frame.Offset);
    if (frame.Function.empty())
        return (frame.Module.empty() ? std::string("??") : frame.Module) + offset;
    std::string text = frame.Function;
    if (frame.Line > 0) {
        text += " (Line " + std::to_string(frame.Line) + ", \"" + frame.File + "\"";
        if (frame.LineOffset >= 0)
            text += " + " + std::to_string(frame.LineOffset);
        text += ")";
    }
    return text + offset;
}
