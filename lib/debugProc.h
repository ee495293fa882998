#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// The diagnostic log debug.log beside the executable. It starts before any
// other code of ours that logs and writes its closing lines after all of it.
// Nothing here throws; an entry that cannot be written is dropped.
// An installed program's folder is not the user's to write: its log goes to
// the user's state folder instead (see DebugLogPlaceFor).

// Appends one time-stamped entry.
void DebugLog(std::string_view text) noexcept;
// Appends: error: "text"
void DebugLogError(std::string_view text) noexcept;
// printf-style convenience for the many "... %s"/"%d" texts of the program.
void DebugLogFmt(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Three lines joined by CR LF: file version, "Instance address: ...", "OS version: ...".
// Empty when the version cannot be had.
std::string GetProgramInfoText();

// A mutex the holding thread may take again, with a diagnostic name.
class TDebugCriticalSection
{
public:
    TDebugCriticalSection() = default;
    TDebugCriticalSection(const TDebugCriticalSection&) = delete;
    TDebugCriticalSection& operator=(const TDebugCriticalSection&) = delete;

    void SetName(std::string name);
    std::string Name() const;

    // BasicLockable, so std::lock_guard / std::unique_lock work.
    void lock() { FMutex.lock(); }
    void unlock() { FMutex.unlock(); }
    bool try_lock() { return FMutex.try_lock(); }

private:
    std::recursive_mutex FMutex;
    mutable std::mutex FNameMutex;
    std::string FName;
};

// Many readers or one writer. Re-entrant for its holder: a writer may take it
// again for reading or writing, a reader may read again. Waiting writers keep
// new readers out, so writers do not starve; a thread that already reads may
// always read again. A reader asking to write aborts the program (two readers
// upgrading at once would wait for each other forever). A writer that ends its
// write while it still holds reads taken inside it keeps those as plain reads.
// Releasing what the thread does not hold aborts the program too.
class TDebugMultiReadCriticalSection
{
public:
    TDebugMultiReadCriticalSection() = default;
    TDebugMultiReadCriticalSection(const TDebugMultiReadCriticalSection&) = delete;
    TDebugMultiReadCriticalSection& operator=(const TDebugMultiReadCriticalSection&) = delete;

    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();
    // As BeginWrite; operation names the caller in the abort message.
    void BeginWrite(const char* operation);

private:
    std::vector<std::pair<std::thread::id, int>>::iterator FindReader(std::thread::id id);

    std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<std::pair<std::thread::id, int>> FReaders; // reading threads and their read depth
    std::thread::id FWriter;                               // thread holding the write lock, or none
    int FWriteDepth = 0;                                   // write re-entries of FWriter
    int FWriterReadDepth = 0;                              // read holds taken by the writer while it writes
    int FWaitingWriters = 0;
};

// Lock operations; operation is the caller's "Class.Method" name (nothing is logged).
void AcquireLock(TDebugCriticalSection& cs, const char* operation);
void ReleaseLock(TDebugCriticalSection& cs) noexcept;
void BeginReadLock(TDebugMultiReadCriticalSection& cs, const char* operation);
void EndReadLock(TDebugMultiReadCriticalSection& cs) noexcept;
void BeginWriteLock(TDebugMultiReadCriticalSection& cs, const char* operation);
void EndWriteLock(TDebugMultiReadCriticalSection& cs) noexcept;

// Scope guards releasing on every way out.
class TDebugLock
{
public:
    TDebugLock(TDebugCriticalSection& cs, const char* operation) : FCS(cs) { AcquireLock(cs, operation); }
    ~TDebugLock() { ReleaseLock(FCS); }
    TDebugLock(const TDebugLock&) = delete;
    TDebugLock& operator=(const TDebugLock&) = delete;

private:
    TDebugCriticalSection& FCS;
};
class TDebugReadLock
{
public:
    TDebugReadLock(TDebugMultiReadCriticalSection& cs, const char* operation) : FCS(cs)
    {
        BeginReadLock(cs, operation);
    }
    ~TDebugReadLock() { EndReadLock(FCS); }
    TDebugReadLock(const TDebugReadLock&) = delete;
    TDebugReadLock& operator=(const TDebugReadLock&) = delete;

private:
    TDebugMultiReadCriticalSection& FCS;
};
class TDebugWriteLock
{
public:
    TDebugWriteLock(TDebugMultiReadCriticalSection& cs, const char* operation) : FCS(cs)
    {
        BeginWriteLock(cs, operation);
    }
    ~TDebugWriteLock() { EndWriteLock(FCS); }
    TDebugWriteLock(const TDebugWriteLock&) = delete;
    TDebugWriteLock& operator=(const TDebugWriteLock&) = delete;

private:
    TDebugMultiReadCriticalSection& FCS;
};

// Names a lock from a format with one %d, taking the next number of the one
// process-wide counter ("TorvConnection.FTrafficCS-%d", "TorvChannelThread.FCriticalSection-%d").
std::string NextDebugLockName(const char* format);

struct TDebugLogPlace
{
    std::string Path;     // the log file; empty: there is nowhere to write it
    std::string Fallback; // why it is not beside the executable; empty when it is
};
// Where the log of executable goes: debug.log beside it, unless that folder
// cannot be written or lies under /usr; then debug.log in the user's state
// folder ("$XDG_STATE_HOME/orvalis", made private when missing).
TDebugLogPlace DebugLogPlaceFor(const std::string& executable);

// For tests: the log file path in use (empty when the log is stopped).
std::string DebugLogFilePath();

// For tests only: sends later entries to path (empty: drop them) and returns
// the path used before, so the test can put it back.
std::string RedirectDebugLogForTesting(std::string path) noexcept;

namespace debugproc_detail {

// One of these lives in every translation unit that includes this header and
// is constructed before that unit's own static objects (and destroyed after
// them). The first one starts the log, the last one gone stops it, so static
// objects anywhere in the program may log from their constructors and
// destructors.
class TDebugLogUser
{
public:
    TDebugLogUser() noexcept;
    ~TDebugLogUser();
    TDebugLogUser(const TDebugLogUser&) = delete;
    TDebugLogUser& operator=(const TDebugLogUser&) = delete;
};

[[maybe_unused]] static const TDebugLogUser DebugLogUserOfThisUnit;

} // namespace debugproc_detail
