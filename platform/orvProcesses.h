#pragma once

// Processes: the list of running processes with their executables, starting
// a program, and ending one (SIGTERM in place of a window's close request,
// then SIGKILL).

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

struct TorvProcessEntry
{
    pid_t Pid = 0;
    std::string ExePath; // full path of the executable, from /proc/<pid>/exe
};

class TorvProcessTable
{
public:
    virtual ~TorvProcessTable() = default;
    // Every running process whose executable can be read (zombies and other
    // users' processes are left out).
    virtual std::vector<TorvProcessEntry> List() = 0;
    // Starts path with the arguments in the folder workDir (empty: the current
    // one); a path without '/' is looked up in PATH. The process is not our
    // child for long: it is never left behind as a zombie. Returns its pid;
    // raises std::system_error when it cannot be started (exec failure included).
    virtual pid_t Spawn(const std::string& path, const std::vector<std::string>& arguments,
                        const std::string& workDir) = 0;
    // Whether the process exists and is not a zombie.
    virtual bool IsRunning(pid_t pid) = 0;
    // Asks the process to end (SIGTERM) and waits up to closeWaitMs for it to go;
    // false when it is still running then.
    virtual bool RequestEnd(pid_t pid, int closeWaitMs) = 0;
    // Ends it at once (SIGKILL); false when it could not be signalled.
    virtual bool Kill(pid_t pid) = 0;
};

// The real table, from /proc.
class TorvLinuxProcessTable final : public TorvProcessTable
{
public:
    std::vector<TorvProcessEntry> List() override;
    pid_t Spawn(const std::string& path, const std::vector<std::string>& arguments,
                const std::string& workDir) override;
    bool IsRunning(pid_t pid) override;
    bool RequestEnd(pid_t pid, int closeWaitMs) override;
    bool Kill(pid_t pid) override;
};

// How a TorvChildProcess starts.
struct TorvChildOptions
{
    std::string WorkDir;        // empty: the current folder
    bool Quiet = false;         // its output and errors go to /dev/null
    bool EndWithParent = false; // it gets SIGTERM when our thread that started it ends
};

// A program started as our own child, for a program that watches over it
// (the launchers): we learn when and how it ends. Its standard input is
// /dev/null; its signal mask and ignored signals are reset. A child still
// running when the object goes is ended as by End(1000).
class TorvChildProcess
{
public:
    // Raises std::system_error when it cannot be started (exec failure included).
    TorvChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                     const TorvChildOptions& options = {});
    ~TorvChildProcess();
    TorvChildProcess(const TorvChildProcess&) = delete;
    TorvChildProcess& operator=(const TorvChildProcess&) = delete;

    pid_t Pid() const noexcept { return FPid; }
    // Its wait status once it has ended (reaping it), nothing while it runs. Never blocks.
    std::optional<int> Poll();
    // Asks it to end (SIGTERM), waits up to waitMs, then kills it; its wait status.
    int End(int waitMs);
    // Leaves it running and stops watching it (the system reaps it once we have ended).
    void Release() noexcept { FPid = -1; }

private:
    pid_t FPid = -1;
    std::optional<int> FStatus;
};

// Splits a command-line argument text: blanks separate, double quotes group
// (and are removed). "-a \"b c\"" gives {"-a", "b c"}.
std::vector<std::string> orvSplitArguments(const std::string& text);

// Whether path names a regular file that we may execute.
bool orvIsExecutableFile(const std::string& path);
// The full path of a program as a shell would find it in $PATH (a name with a
// '/' is taken as it is); empty when there is none.
std::string orvFindInPath(const std::string& name);
// The folder of the running program, with a trailing '/'.
std::string orvExecutableFolder();
