// Logs from static objects' constructors and destructors and from main, so a
// test can check that the log's header comes first and its closing lines last.
// The log itself lives in another translation unit (the library), whose static
// objects the linker runs after this program's own.
#include "lib/debugProc.h"

#include <cstdio>

namespace {

class TLoggingStatic
{
public:
    explicit TLoggingStatic(const char* name) : FName(name) { DebugLogFmt("%s constructed", FName); }
    ~TLoggingStatic() { DebugLogFmt("%s destroyed", FName); }
    TLoggingStatic(const TLoggingStatic&) = delete;
    TLoggingStatic& operator=(const TLoggingStatic&) = delete;

private:
    const char* FName;
};

const TLoggingStatic GFileStatic("File static");

} // namespace

int main()
{
    static const TLoggingStatic functionStatic("Function static");
    DebugLog("main running");
    // A fresh process: the shared counter starts at 1 and both formats draw from it.
    DebugLog(NextDebugLockName("TorvConnection.FTrafficCS-%d"));
    DebugLog(NextDebugLockName("TorvChannelThread.FCriticalSection-%d"));
    std::printf("log: %s\n", DebugLogFilePath().c_str());
    return 0;
}
