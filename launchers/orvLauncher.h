#pragma once

// What orvhost and orvviewer share: short log lines on stderr, the signals
// read through a signalfd, and one poll loop over the signals and the
// launcher's message window that runs until an end is asked for or the
// launched program ends.

#include "platform/orvProcesses.h"
#include "platform/orvUniqueFd.h"
#include "platform/orvWindowMessages.h"

#include <sys/signalfd.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

class TorvLauncher
{
public:
    // Blocks the signals it reads, so call it first: children reset their mask.
    explicit TorvLauncher(std::string name) : FName(std::move(name))
    {
        sigset_t watched;
        sigemptyset(&watched);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD})
            sigaddset(&watched, signal);
        if (::sigprocmask(SIG_BLOCK, &watched, &FOldMask) != 0)
            throw std::runtime_error(std::string("sigprocmask: ") + std::strerror(errno));
        FSignals.Reset(::signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK));
        if (!FSignals.Valid())
            throw std::runtime_error(std::string("signalfd: ") + std::strerror(errno));
    }
    ~TorvLauncher() { ::sigprocmask(SIG_SETMASK, &FOldMask, nullptr); }
    TorvLauncher(const TorvLauncher&) = delete;
    TorvLauncher& operator=(const TorvLauncher&) = delete;

    void Log(const std::string& text) const
    {
        const std::string line = FName + ": " + text + "\n";
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, line.data(), line.size());
    }

    struct THooks
    {
        std::function<void(const TorvMessageWindow::Posted&)> Message;
        std::function<void()> ChildSignal; // some child may have ended
        std::function<int()> TimeoutMs;    // until the next timer; -1: none
        std::function<void()> Timeout;
    };

    // Runs until an end is asked for (the child is ended: exit 0) or the
    // child ends by itself (nonzero when it failed). The exit status.
    int Run(TorvMessageWindow& window, TorvChildProcess& child, const std::string& childName,
            const THooks& hooks)
    {
        for (;;) {
            pollfd fds[2] = {{FSignals.Get(), POLLIN, 0}, {window.Fd(), POLLIN, 0}};
            const int timeout = hooks.TimeoutMs ? hooks.TimeoutMs() : -1;
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR)
                throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
            if (hooks.Timeout) // it checks its own deadline
                hooks.Timeout();
            if (fds[0].revents & POLLIN) {
                bool end = false, childChanged = false;
                ReadSignals(end, childChanged);
                if (end) {
                    Log("ending " + childName);
                    child.End(1000);
                    return 0;
                }
                if (childChanged) {
                    if (const auto status = child.Poll()) {
                        Log(childName + " ended (" + Describe(*status) + ")");
                        return WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? 0 : 1;
                    }
                    if (hooks.ChildSignal)
                        hooks.ChildSignal();
                }
            }
            if (fds[1].revents & POLLIN) {
                while (const auto posted = window.Receive())
                    if (hooks.Message)
                        hooks.Message(*posted);
            }
        }
    }

    static std::string Describe(int status)
    {
        if (WIFEXITED(status))
            return "exit " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status))
            return std::string("signal ") + ::strsignal(WTERMSIG(status));
        return "status " + std::to_string(status);
    }

private:
    void ReadSignals(bool& end, bool& childChanged)
    {
        signalfd_siginfo info;
        while (::read(FSignals.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGCHLD)
                childChanged = true;
            else
                end = true;
        }
    }

    std::string FName;
    sigset_t FOldMask;
    TorvUniqueFd FSignals;
};

// A launcher's main routine: runs it and turns an error into a log line and exit status 1.
inline int orvLauncherMain(const char* name, int argc, char** argv, int (*run)(TorvLauncher&, int, char**))
{
    try {
        TorvLauncher launcher(name);
        try {
            return run(launcher, argc, argv);
        } catch (const std::exception& error) {
            launcher.Log(error.what());
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", name, error.what());
        return 1;
    }
}
