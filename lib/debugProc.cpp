#include "lib/debugProc.h"

#include "orvVersion.h"
#include "platform/orvFiles.h"
#include "platform/orvSystemInfo.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <link.h>
#include <new>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

enum class TLogPhase { NotStarted, Started, Stopped };

struct TLogState
{
    TDebugCriticalSection Lock; // serialises every write to the file
    TLogPhase Phase = TLogPhase::NotStarted;
    std::string Path;
    std::string ClosingLine;
};

// Built on first use and never destroyed: a thread that still logs while the
// process exits finds a stopped log instead of a destroyed lock.
TLogState& State() noexcept
{
    alignas(TLogState) static unsigned char storage[sizeof(TLogState)];
    static TLogState* const state = ::new (static_cast<void*>(storage)) TLogState();
    return *state;
}

std::atomic<int> GLogUsers{0};
std::atomic<int> GLockNameCounter{0};

// Something of this unit whose address tells which loaded image holds it.
void AnchorOfThisUnit() {}

std::string ExecutablePath()
{
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// "yyyy-mm-dd hh:nn:ss.zzz: " in local time.
std::string TimePrefix()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d: ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

// Continuation lines start under the first character of the text.
std::string IndentContinuationLines(std::string_view text, std::size_t indent)
{
    std::string result;
    result.reserve(text.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t crlf = text.find("\r\n", start);
        if (crlf == std::string_view::npos)
            break;
        result.append(text.substr(start, crlf + 2 - start));
        result.append(indent, ' ');
        start = crlf + 2;
    }
    result.append(text.substr(start));
    return result;
}

bool AppendToFile(const std::string& path, const std::string& data) noexcept
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    return ok;
}

// Caller holds the log lock.
void WriteEntryLocked(TLogState& state, std::string_view text)
{
    if (state.Phase != TLogPhase::Started || state.Path.empty())
        return;
    const std::string prefix = TimePrefix();
    std::string entry = prefix;
    if (text.find("\r\n") != std::string_view::npos)
        entry += IndentContinuationLines(text, prefix.size());
    else
        entry += text;
    entry += "\r\n";
    AppendToFile(state.Path, entry);
}

// True when this unit runs inside the main program rather than a shared library
// loaded by it. The first object dl_iterate_phdr visits is the main program.
bool RunsInsideMainProgram()
{
    struct TSearch
    {
        std::uintptr_t Address;
        bool First = true;
        bool InMain = false;
    } search{reinterpret_cast<std::uintptr_t>(&AnchorOfThisUnit)};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            auto* s = static_cast<TSearch*>(data);
            const bool first = s->First;
            s->First = false;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD)
                    continue;
                const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
                if (s->Address >= begin && s->Address < begin + ph.p_memsz) {
                    s->InMain = first;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.InMain;
}

// Caller holds the log lock.
void StartLocked(TLogState& state)
{
    const std::string exe = ExecutablePath();
    TDebugLogPlace place = DebugLogPlaceFor(exe);
    state.Path = std::move(place.Path);
    // The closing line ends in a line break of its own, so every run of the
    // log ends with an indented empty line.
    state.ClosingLine = "Destroying DebugProc (" + exe + ")\r\n";
    state.Phase = TLogPhase::Started;

    std::string header = RunsInsideMainProgram() ? "Application started" : "Module started";
    header += "\r\n" + GetProgramInfoText();
    // A log found away from the program must say which program wrote it.
    header += "\r\nRunning from: " + exe;
    if (!place.Fallback.empty())
        header += "\r\nLog kept in the user's state folder: " + place.Fallback;
    WriteEntryLocked(state, header);
}

void StartLog() noexcept
{
    try {
        TLogState& state = State();
        std::lock_guard<TDebugCriticalSection> guard(state.Lock);
        if (state.Phase != TLogPhase::Started)
            StartLocked(state);
    } catch (...) {
    }
}

void StopLog() noexcept
{
    try {
        TLogState& state = State();
        std::lock_guard<TDebugCriticalSection> guard(state.Lock);
        if (state.Phase != TLogPhase::Started)
            return;
        WriteEntryLocked(state, "Finalizing debugproc");
        WriteEntryLocked(state, state.ClosingLine);
        state.Phase = TLogPhase::Stopped;
        std::string().swap(state.Path);
        std::string().swap(state.ClosingLine);
    } catch (...) {
    }
}

void WriteEntry(std::string_view text) noexcept
{
    try {
        TLogState& state = State();
        std::lock_guard<TDebugCriticalSection> guard(state.Lock);
        // Code of a unit that does not include our header may log before any
        // unit's start-up has run; the log starts for it then.
        if (state.Phase == TLogPhase::NotStarted)
            StartLocked(state);
        WriteEntryLocked(state, text);
    } catch (...) {
    }
}

std::string OsVersionText()
{
    std::string name = orvOsReleaseValue("PRETTY_NAME");
    if (name.empty())
        name = orvOsReleaseValue("NAME");
    utsname uts{};
    const bool haveUname = uname(&uts) == 0;
    if (name.empty())
        name = haveUname ? uts.sysname : "Linux";
    if (haveUname)
        name += std::string(" ") + uts.release;
    return name;
}

std::string InstanceAddressText()
{
    Dl_info info{};
    std::uintptr_t base = 0;
    if (dladdr(reinterpret_cast<void*>(&AnchorOfThisUnit), &info) != 0)
        base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    char text[32];
    std::snprintf(text, sizeof text, "%08" PRIXPTR, base);
    return text;
}

[[noreturn]] void LockMisuse(const char* what, const char* operation) noexcept
{
    const char* op = operation ? operation : "?";
    std::fprintf(stderr, "lib/debugProc: %s (%s)\n", what, op);
    std::fflush(stderr);
    DebugLogFmt("lib/debugProc: %s (%s)", what, op);
    std::abort();
}

} // namespace

void DebugLog(std::string_view text) noexcept
{
    WriteEntry(text);
}

void DebugLogError(std::string_view text) noexcept
{
    try {
        std::string entry = "error: \"";
        entry += text;
        entry += '"';
        WriteEntry(entry);
    } catch (...) {
    }
}

void DebugLogFmt(const char* format, ...) noexcept
{
    if (!format)
        return;
    try {
        char small[512];
        va_list args;
        va_start(args, format);
        const int needed = std::vsnprintf(small, sizeof small, format, args);
        va_end(args);
        if (needed < 0)
            return;
        if (static_cast<std::size_t>(needed) < sizeof small) {
            WriteEntry(std::string_view(small, static_cast<std::size_t>(needed)));
            return;
        }
        std::string large(static_cast<std::size_t>(needed) + 1, '\0');
        va_start(args, format);
        std::vsnprintf(large.data(), large.size(), format, args);
        va_end(args);
        large.resize(static_cast<std::size_t>(needed));
        WriteEntry(large);
    } catch (...) {
    }
}

std::string GetProgramInfoText()
{
    try {
        const std::string version = ORV_FILE_VERSION;
        if (version.empty())
            return {};
        return version + "\r\nInstance address: " + InstanceAddressText() +
               "\r\nOS version: " + OsVersionText();
    } catch (...) {
        return {};
    }
}

TDebugLogPlace DebugLogPlaceFor(const std::string& executable)
{
    const std::size_t slash = executable.rfind('/');
    if (slash == std::string::npos)
        return {};
    const std::string folder = executable.substr(0, slash + 1);
    // What lies under /usr belongs to the package manager, even where root may
    // write. Appending nothing tells whether the log can be written (and
    // creates it, for the header that follows at once).
    const bool systemFolder = folder.starts_with("/usr/");
    if (!systemFolder && AppendToFile(folder + "debug.log", {}))
        return {folder + "debug.log", {}};
    const std::string state = orvUserStateFolder();
    if (state.empty())
        return {};
    try {
        orvEnsurePrivateFolder(state, true);
    } catch (const std::exception&) {
        return {};
    }
    return {state + "/debug.log",
            systemFolder ? folder + " is a system folder" : folder + "debug.log cannot be written"};
}

std::string DebugLogFilePath()
{
    TLogState& state = State();
    std::lock_guard<TDebugCriticalSection> guard(state.Lock);
    return state.Phase == TLogPhase::Started ? state.Path : std::string();
}

std::string RedirectDebugLogForTesting(std::string path) noexcept
{
    TLogState& state = State();
    try {
        std::lock_guard<TDebugCriticalSection> guard(state.Lock);
        if (state.Phase == TLogPhase::NotStarted)
            StartLocked(state);
        std::swap(state.Path, path);
    } catch (...) {
    }
    return path;
}

namespace debugproc_detail {

TDebugLogUser::TDebugLogUser() noexcept
{
    if (GLogUsers.fetch_add(1) == 0)
        StartLog();
}

TDebugLogUser::~TDebugLogUser()
{
    if (GLogUsers.fetch_sub(1) == 1)
        StopLog();
}

} // namespace debugproc_detail

// ---- Named critical section ----

void TDebugCriticalSection::SetName(std::string name)
{
    std::lock_guard<std::mutex> guard(FNameMutex);
    FName = std::move(name);
}

std::string TDebugCriticalSection::Name() const
{
    std::lock_guard<std::mutex> guard(FNameMutex);
    return FName;
}

// ---- Multi-reader lock ----

std::vector<std::pair<std::thread::id, int>>::iterator
TDebugMultiReadCriticalSection::FindReader(std::thread::id id)
{
    auto it = FReaders.begin();
    while (it != FReaders.end() && it->first != id)
        ++it;
    return it;
}

void TDebugMultiReadCriticalSection::BeginRead()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(FMutex);
    if (FWriter == self) {
        ++FWriterReadDepth;
        return;
    }
    auto it = FindReader(self);
    if (it != FReaders.end()) {
        // A reader reads again at once, waiting writers or not: they wait for it.
        ++it->second;
        return;
    }
    FChanged.wait(guard, [this] { return FWriter == std::thread::id() && FWaitingWriters == 0; });
    FReaders.emplace_back(self, 1);
}

void TDebugMultiReadCriticalSection::EndRead()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(FMutex);
    if (FWriter == self && FWriterReadDepth > 0) {
        --FWriterReadDepth;
        return;
    }
    auto it = FindReader(self);
    if (it == FReaders.end()) {
        guard.unlock();
        LockMisuse("EndRead by a thread that does not read", nullptr);
    }
    if (--it->second == 0) {
        FReaders.erase(it);
        if (FReaders.empty()) {
            guard.unlock();
            FChanged.notify_all();
        }
    }
}

void TDebugMultiReadCriticalSection::BeginWrite()
{
    BeginWrite(nullptr);
}

void TDebugMultiReadCriticalSection::BeginWrite(const char* operation)
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(FMutex);
    if (FWriter == self) {
        ++FWriteDepth;
        return;
    }
    if (FindReader(self) != FReaders.end()) {
        guard.unlock();
        LockMisuse("a thread that holds the multi-read lock for reading asks to write; "
                   "release the read first",
                   operation);
    }
    ++FWaitingWriters;
    FChanged.wait(guard, [this] { return FWriter == std::thread::id() && FReaders.empty(); });
    --FWaitingWriters;
    FWriter = self;
    FWriteDepth = 1;
}

void TDebugMultiReadCriticalSection::EndWrite()
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(FMutex);
    if (FWriter != self) {
        guard.unlock();
        LockMisuse("EndWrite by a thread that does not write", nullptr);
    }
    if (--FWriteDepth > 0)
        return;
    FWriter = std::thread::id();
    if (FWriterReadDepth > 0) {
        // Reads taken inside the write outlive it: the thread goes on as a reader.
        FReaders.emplace_back(self, FWriterReadDepth);
        FWriterReadDepth = 0;
    }
    guard.unlock();
    FChanged.notify_all();
}

// ---- Lock operations ----

void AcquireLock(TDebugCriticalSection& cs, const char* /*operation*/)
{
    cs.lock();
}

void ReleaseLock(TDebugCriticalSection& cs) noexcept
{
    cs.unlock();
}

void BeginReadLock(TDebugMultiReadCriticalSection& cs, const char* /*operation*/)
{
    cs.BeginRead();
}

void EndReadLock(TDebugMultiReadCriticalSection& cs) noexcept
{
    cs.EndRead();
}

void BeginWriteLock(TDebugMultiReadCriticalSection& cs, const char* operation)
{
    cs.BeginWrite(operation);
}

void EndWriteLock(TDebugMultiReadCriticalSection& cs) noexcept
{
    cs.EndWrite();
}

// ---- Lock names ----

std::string NextDebugLockName(const char* format)
{
    const int number = GLockNameCounter.fetch_add(1) + 1;
    std::string result;
    if (!format)
        return std::to_string(number);
    bool used = false;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            result += '%';
            ++p;
        } else if (!used && p[0] == '%' && p[1] == 'd') {
            result += std::to_string(number);
            used = true;
            ++p;
        } else {
            result += *p;
        }
    }
    return result;
}
