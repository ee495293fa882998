#include "platform/orvProcesses.h"

#include "platform/orvUniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::string_view DeletedSuffix = " (deleted)";

// What a starting child tells its starter through the pipe that exec closes.
struct TReport
{
    enum EStage : int { Pid, Fork, Chdir, Exec };
    int Stage = Pid;
    int Value = 0;
};

// Everything the child needs, prepared before fork: after it only
// async-signal-safe calls are allowed.
struct TExecPlan
{
    std::vector<std::string> Args;
    std::vector<char*> Argv;
    std::string WorkDir;
    TorvUniqueFd DevNull;
    bool Quiet = false;
    bool EndWithParent = false;
    pid_t Parent = 0;

    TExecPlan(const std::string& path, const std::vector<std::string>& arguments,
              const TorvChildOptions& options)
        : WorkDir(options.WorkDir), DevNull(::open("/dev/null", O_RDWR | O_CLOEXEC)), Quiet(options.Quiet),
          EndWithParent(options.EndWithParent), Parent(::getpid())
    {
        if (!DevNull.Valid())
            throw std::system_error(errno, std::generic_category(), "cannot open /dev/null");
        Args.push_back(path);
        Args.insert(Args.end(), arguments.begin(), arguments.end());
        for (auto& arg : Args)
            Argv.push_back(arg.data());
        Argv.push_back(nullptr);
    }
    TExecPlan(const TExecPlan&) = delete; // Argv points into Args
    TExecPlan& operator=(const TExecPlan&) = delete;
};

void Report(int fd, int stage, int value)
{
    const TReport report{stage, value};
    [[maybe_unused]] const auto n = ::write(fd, &report, sizeof report); // atomic: below PIPE_BUF
}

[[noreturn]] void ExecChild(const TExecPlan& plan, int reportFd)
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &byDefault, nullptr);
    if (plan.EndWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != plan.Parent) // the parent went before the line above
            ::_exit(127);
    }
    ::dup2(plan.DevNull.Get(), STDIN_FILENO);
    if (plan.Quiet) {
        ::dup2(plan.DevNull.Get(), STDOUT_FILENO);
        ::dup2(plan.DevNull.Get(), STDERR_FILENO);
    }
    if (!plan.WorkDir.empty() && ::chdir(plan.WorkDir.c_str()) != 0) {
        Report(reportFd, TReport::Chdir, errno);
        ::_exit(127);
    }
    ::execvp(plan.Argv[0], plan.Argv.data());
    Report(reportFd, TReport::Exec, errno);
    ::_exit(127);
}

struct TPipe
{
    TorvUniqueFd Read, Write;
    TPipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        Read.Reset(fds[0]);
        Write.Reset(fds[1]);
    }
};

// Reads the reports until every writer has exec'd or ended.
std::vector<TReport> ReadReports(int fd)
{
    std::vector<TReport> reports;
    TReport report;
    for (;;) {
        const ssize_t n = ::read(fd, &report, sizeof report);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof report))
            return reports;
        reports.push_back(report);
    }
}

// Raises when a report says the start failed; the pid reported, if any.
pid_t CheckReports(const std::vector<TReport>& reports, const std::string& path, const std::string& workDir)
{
    pid_t pid = -1;
    for (const auto& report : reports) {
        switch (report.Stage) {
        case TReport::Pid: pid = report.Value; break;
        case TReport::Fork: throw std::system_error(report.Value, std::generic_category(), "fork");
        case TReport::Chdir:
            throw std::system_error(report.Value, std::generic_category(), "cannot enter " + workDir);
        default: throw std::system_error(report.Value, std::generic_category(), "cannot run " + path);
        }
    }
    return pid;
}

void WaitFor(pid_t pid, int* status)
{
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z', ...), or 0 when it cannot be read.
char ProcessState(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    TorvUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return 0;
    char buffer[512];
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n <= 0)
        return 0;
    // "pid (name) S ...": the name may hold blanks and parentheses itself.
    const std::string_view text(buffer, static_cast<std::size_t>(n));
    const auto close = text.rfind(')');
    if (close == std::string_view::npos || close + 2 >= text.size())
        return 0;
    return text[close + 2];
}

} // namespace

std::vector<TorvProcessEntry> TorvLinuxProcessTable::List()
{
    std::vector<TorvProcessEntry> entries;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        std::string exe = std::filesystem::read_symlink(it->path() / "exe", linkError).string();
        if (linkError || exe.empty())
            continue;
        // A program replaced on disk while running (an update) is still that program.
        if (exe.ends_with(DeletedSuffix))
            exe.resize(exe.size() - DeletedSuffix.size());
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (ProcessState(pid) == 'Z')
            continue;
        entries.push_back({pid, std::move(exe)});
    }
    return entries;
}

pid_t TorvLinuxProcessTable::Spawn(const std::string& path, const std::vector<std::string>& arguments,
                                   const std::string& workDir)
{
    TorvChildOptions options;
    options.WorkDir = workDir;
    const TExecPlan plan(path, arguments, options);
    TPipe pipe;
    const pid_t child = ::fork();
    if (child < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        // The middle process only forks and ends, so init adopts the program.
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            ExecChild(plan, pipe.Write.Get());
        if (grandchild < 0)
            Report(pipe.Write.Get(), TReport::Fork, errno);
        else
            Report(pipe.Write.Get(), TReport::Pid, grandchild);
        ::_exit(0);
    }
    pipe.Write.Reset();
    const auto reports = ReadReports(pipe.Read.Get());
    int status = 0;
    WaitFor(child, &status);
    const pid_t pid = CheckReports(reports, path, workDir);
    if (pid <= 0)
        throw std::system_error(ECHILD, std::generic_category(), "cannot run " + path);
    return pid;
}

bool TorvLinuxProcessTable::IsRunning(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) == 0 && ProcessState(pid) != 'Z';
}

bool TorvLinuxProcessTable::RequestEnd(pid_t pid, int closeWaitMs)
{
    if (pid <= 0)
        return false;
    if (::kill(pid, SIGTERM) != 0)
        return errno == ESRCH;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(closeWaitMs);
    while (IsRunning(pid)) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool TorvLinuxProcessTable::Kill(pid_t pid)
{
    return pid > 0 && ::kill(pid, SIGKILL) == 0;
}

TorvChildProcess::TorvChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                                   const TorvChildOptions& options)
{
    const TExecPlan plan(path, arguments, options);
    TPipe pipe;
    FPid = ::fork();
    if (FPid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (FPid == 0)
        ExecChild(plan, pipe.Write.Get());
    pipe.Write.Reset();
    const auto reports = ReadReports(pipe.Read.Get());
    if (!reports.empty()) {
        int status = 0;
        WaitFor(FPid, &status);
        FStatus = status;
        CheckReports(reports, path, options.WorkDir);
    }
}

TorvChildProcess::~TorvChildProcess()
{
    End(1000);
}

std::optional<int> TorvChildProcess::Poll()
{
    if (FStatus || FPid <= 0)
        return FStatus;
    int status = 0;
    const pid_t done = ::waitpid(FPid, &status, WNOHANG);
    if (done == FPid)
        FStatus = status;
    else if (done < 0 && errno == ECHILD) // reaped behind our back: its status is lost
        FStatus = 255 << 8;
    return FStatus;
}

int TorvChildProcess::End(int waitMs)
{
    if (FPid <= 0) // never a group or every process
        return 0;
    if (Poll())
        return *FStatus;
    ::kill(FPid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!Poll() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!Poll()) {
        ::kill(FPid, SIGKILL);
        int status = 0;
        WaitFor(FPid, &status);
        FStatus = status;
    }
    return *FStatus;
}

std::vector<std::string> orvSplitArguments(const std::string& text)
{
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false, quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true; // "" is an empty argument
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inArgument)
                arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.push_back(std::move(current));
    return arguments;
}

bool orvIsExecutableFile(const std::string& path)
{
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string orvFindInPath(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return orvIsExecutableFile(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    // The same default search path as execvp.
    const std::string folders = path ? path : "/bin:/usr/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        // An empty entry means the current folder, as it does for a shell.
        const std::string folder = end == start ? "." : folders.substr(start, end - start);
        const std::string candidate = folder + "/" + name;
        if (orvIsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string orvExecutableFolder()
{
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    return exe.substr(0, exe.rfind('/') + 1);
}
