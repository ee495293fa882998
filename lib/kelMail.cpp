#include "lib/kelMail.h"

#include "lib/orvConnections.h"
#include "platform/orvProcesses.h"

#include <sys/wait.h>

#include <system_error>

struct TKelXdgEmail::TRunning
{
    std::unique_ptr<TorvChildProcess> Process;
    TDone Done;
};

namespace {
constexpr int kPollMs = 200;
} // namespace

TKelXdgEmail::TKelXdgEmail()
{
    FPollTimer.setInterval(kPollMs);
    connect(&FPollTimer, &QTimer::timeout, this, [this] { Poll(); });
}

TKelXdgEmail::~TKelXdgEmail()
{
    // The user may still be writing the mail: the mail program stays.
    for (const auto& running : FRunning)
        running->Process->Release();
}

void TKelXdgEmail::Compose(const TKelMail& mail, TDone done)
{
    const std::string program = orvFindInPath("xdg-email");
    if (program.empty())
        throw EorvException("Unable to send the error report: xdg-email was not found (package xdg-utils)");
    // xdg-email turns each line end into CR LF itself; a CR of ours would be doubled.
    const std::string body = kelToLf(mail.Body);
    auto running = std::make_unique<TRunning>();
    try {
        running->Process = std::make_unique<TorvChildProcess>(
            program,
            std::vector<std::string>{"--utf8", "--subject", mail.Subject, "--body", body, mail.Recipient});
    } catch (const std::system_error& e) {
        throw EorvException(std::string("Unable to send the error report: ") + e.what());
    }
    running->Done = std::move(done);
    FRunning.push_back(std::move(running));
    FPollTimer.start();
}

void TKelXdgEmail::Poll()
{
    // Taken out first: a done callback may show a window and run events.
    std::vector<std::unique_ptr<TRunning>> finished;
    std::vector<int> statuses;
    for (auto it = FRunning.begin(); it != FRunning.end();) {
        if (const std::optional<int> status = (*it)->Process->Poll()) {
            statuses.push_back(*status);
            finished.push_back(std::move(*it));
            it = FRunning.erase(it);
        } else {
            ++it;
        }
    }
    if (FRunning.empty())
        FPollTimer.stop();
    for (std::size_t i = 0; i < finished.size(); ++i) {
        const int status = statuses[i];
        const int code =
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (finished[i]->Done)
            finished[i]->Done(code == 0 ? std::string() : kelXdgEmailFailure(code));
    }
}

std::string kelXdgEmailFailure(int exitCode)
{
    const char* reason = "it failed";
    switch (exitCode) {
    case 1: reason = "the mail could not be handed over"; break;
    case 2: reason = "a file was missing"; break;
    case 3: reason = "no mail program was found"; break;
    case 4: reason = "the mail program failed"; break;
    case 5: reason = "it was not allowed"; break;
    default: break;
    }
    return "Unable to send the error report: xdg-email ended with code " + std::to_string(exitCode) + " (" +
           reason + ")";
}
