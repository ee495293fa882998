#include "tests/support/ChildProgram.h"

#include "tests/support/TestUtil.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvtest {

TChildProgram::TChildProgram(std::vector<std::string> argv, const std::string& errorFile)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    FOut = fds[0];
    ::fcntl(FOut, F_SETFL, O_NONBLOCK);

    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (!errorFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = ::posix_spawn(&FPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(FOut);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

TChildProgram::~TChildProgram()
{
    Stop();
    ::close(FOut);
}

void TChildProgram::Stop()
{
    if (FPid <= 0)
        return;
    ::kill(FPid, SIGTERM);
    if (!WaitUntil([this] { return ::waitpid(FPid, nullptr, WNOHANG) == FPid; }, std::chrono::seconds(10))) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    FPid = -1;
}

void TChildProgram::ReadArrived()
{
    char buffer[256];
    for (ssize_t n; (n = ::read(FOut, buffer, sizeof buffer)) > 0;)
        FOutput.append(buffer, static_cast<std::size_t>(n));
}

bool TChildProgram::WaitForLine(const std::string& line, std::chrono::milliseconds deadline)
{
    return WaitUntil(
        [&] {
            ReadArrived();
            return ("\n" + FOutput).find("\n" + line + "\n") != std::string::npos;
        },
        deadline);
}

std::string TChildProgram::FirstLine(std::chrono::milliseconds deadline)
{
    if (!WaitUntil(
            [&] {
                ReadArrived();
                return FOutput.find('\n') != std::string::npos;
            },
            deadline))
        return {};
    return FOutput.substr(0, FOutput.find('\n'));
}

std::string TChildProgram::Output()
{
    ReadArrived();
    return FOutput;
}

} // namespace orvtest
