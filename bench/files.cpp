// File transfers on channel 4 through a local orvgateway: file bytes per
// second each way, one file alone and two at once, against the send budget of
// 100000 bytes of Data message text per 1-second period, which leaves
// 100000 x 1024 / 1065 bytes of file data a second. Two figures each: from
// the acceptance until both ends are Finished, and over the whole budget
// periods inside the transfer, which the first period's head start and the
// last period's short burst do not skew.
#include "bench/BenchMain.h"
#include "bench/Figure.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvThreads.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kBudget = 100000;
constexpr auto kPeriod = 1s;
// File data a full budget carries: each Data message is a 41-byte header and 1024 bytes.
constexpr double kBudgetFileBytes = kBudget * 1024.0 / 1065.0;
// About 22 periods per case, so that the whole run stays under two minutes.
constexpr std::size_t kSingleBytes = 2u << 20;
constexpr std::size_t kPairBytes = 1u << 20;
constexpr auto kCaseDeadline = 120s;

struct TSide
{
    const char* Name;
    std::unique_ptr<TorvConnection> Connection;
    TFileTransferControlThread* Files = nullptr;
};

struct TResult
{
    double EndToEnd = 0; // file bytes per second
    double Periods = 0;  // file bytes per second over whole periods
    int WholePeriods = 0;
    double UsedUpMs = 0; // median time from a period's start until its budget is spent
};

// A budget period has begun when the sender's count drops.
struct TBoundary
{
    Clock::time_point At;
    std::int64_t Received;
};

std::string RandomBytes(std::size_t size, std::mt19937_64& random)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j)
            bytes[i + j] = static_cast<char>(word >> (8 * j));
    }
    return bytes;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// count files of size bytes from one side to the other, all accepted at once.
bool Measure(TSide& from, TSide& to, int count, std::size_t size, const orvtest::TempDir& dir,
             std::mt19937_64& random, TResult& result)
{
    static int serial = 0;
    std::vector<std::string> contents, targets;
    std::vector<std::shared_ptr<TSendFileThread>> sent;
    for (int i = 0; i < count; ++i) {
        const std::string name = "file-" + std::to_string(++serial);
        contents.push_back(RandomBytes(size, random));
        orvtest::WriteFile(dir.File(name), contents.back());
        targets.push_back(dir.File(name + ".received"));
        sent.push_back(from.Files->NewSentFile(dir.File(name)));
        if (sent.back()->State() == TTransferState::Failed) {
            std::fprintf(stderr, "%s could not open %s\n", from.Name, name.c_str());
            return false;
        }
        from.Files->SendFileRequestCommand(*sent.back());
    }

    std::vector<std::shared_ptr<TReceiveFileThread>> received;
    for (const auto& transfer : sent) {
        const std::string id = transfer->TransferId();
        std::shared_ptr<TReceiveFileThread> offer;
        if (!orvtest::ServeUntil([&] {
                offer = std::dynamic_pointer_cast<TReceiveFileThread>(to.Files->FindTransfer(id));
                return offer && offer->State() == TTransferState::ConfirmWanted;
            })) {
            std::fprintf(stderr, "%s did not see the offer\n", to.Name);
            return false;
        }
        received.push_back(offer);
    }

    const auto receivedBytes = [&] {
        std::int64_t sum = 0;
        for (const auto& transfer : received)
            sum += transfer->BytesTransferred();
        return sum;
    };
    const auto finished = [&] {
        for (int i = 0; i < count; ++i)
            if (sent[i]->State() != TTransferState::Finished ||
                received[i]->State() != TTransferState::Finished)
                return false;
        return true;
    };

    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        received[i]->SetTargetPath(targets[i]);
        to.Files->SendFileAcceptCommand(*received[i]);
    }
    // Sampled every millisecond: the boundary is seen within about that much.
    std::vector<TBoundary> boundaries;
    std::vector<double> usedUp;
    bool spent = false;
    std::int32_t lastCount = from.Files->BytesThisPeriod();
    while (!finished()) {
        if (Clock::now() - start > kCaseDeadline) {
            std::fprintf(stderr, "not finished in time: %lld of %zu bytes received\n",
                         static_cast<long long>(receivedBytes()), size * count);
            return false;
        }
        orvSync::CheckSynchronize(1);
        const std::int32_t budgetUsed = from.Files->BytesThisPeriod();
        if (budgetUsed < lastCount) {
            boundaries.push_back({Clock::now(), receivedBytes()});
            spent = false;
        }
        if (!spent && budgetUsed >= kBudget && !boundaries.empty()) {
            usedUp.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - boundaries.back().At).count());
            spent = true;
        }
        lastCount = budgetUsed;
    }
    const auto elapsed = Clock::now() - start;

    for (int i = 0; i < count; ++i) {
        if (orvtest::ReadFile(targets[i]) != contents[i]) {
            std::fprintf(stderr, "the received file %s differs from the sent one\n", targets[i].c_str());
            return false;
        }
    }
    const double total = static_cast<double>(size) * count;
    result.EndToEnd = total / Seconds(elapsed);
    if (boundaries.size() < 2) {
        std::fprintf(stderr, "fewer than two budget periods were seen\n");
        return false;
    }
    result.WholePeriods = static_cast<int>(boundaries.size()) - 1;
    std::sort(usedUp.begin(), usedUp.end());
    result.UsedUpMs = usedUp.empty() ? 0 : usedUp[usedUp.size() / 2];
    result.Periods = static_cast<double>(boundaries.back().Received - boundaries.front().Received) /
                     Seconds(boundaries.back().At - boundaries.front().At);
    return true;
}

bool Case(const std::string& label, TSide& from, TSide& to, int count, std::size_t size,
          const orvtest::TempDir& dir, std::mt19937_64& random)
{
    TResult r;
    if (!Measure(from, to, count, size, dir, random, r))
        return false;
    const double endShare = 100.0 * r.EndToEnd / kBudgetFileBytes;
    const double periodShare = 100.0 * r.Periods / kBudgetFileBytes;
    std::printf(
        "%s, %d x %zu bytes: accept to finished %.0f bytes/s (%.1f%% of the budget); "
        "over %d whole periods %.0f bytes/s (%.1f%%); a period's budget spent after %.0f ms (median)\n",
        label.c_str(), count, size, r.EndToEnd, endShare, r.WholePeriods, r.Periods, periodShare, r.UsedUpMs);
    Figure(label + ", accept to finished: bytes/s", r.EndToEnd, 0);
    Figure(label + ", accept to finished: % of budget", endShare, 1);
    Figure(label + ", whole periods: bytes/s", r.Periods, 0);
    Figure(label + ", whole periods: % of budget", periodShare, 1);
    Figure(label + ", budget spent after: ms", r.UsedUpMs, 0);
    return true;
}

int Run()
{
    orvtest::GatewayProcess gateway;
    orvtest::TempDir dir;
    const std::string settings = dir.File("orvcustomer.ini");
    gateway.WriteClientSettings(settings);

    TSide customer{"the customer", orvtest::JoinSession(settings, 0, orvKindCustomer)};
    if (!customer.Connection) {
        std::fprintf(stderr, "the customer did not register\n");
        return 1;
    }
    TSide helpdesk{"the helpdesk",
                   orvtest::JoinSession(settings, customer.Connection->SessionIdentifier(), orvKindHelpdesk)};
    if (!helpdesk.Connection) {
        std::fprintf(stderr, "the helpdesk did not join\n");
        return 1;
    }
    for (TSide* side : {&customer, &helpdesk})
        side->Files = &orvStartChannelThread(
            *side->Connection, orvFileTransferChannel,
            std::make_unique<TFileTransferControlThread>(*side->Connection, kBudget, kPeriod));
    if (!orvtest::ServeUntil([&] {
            return customer.Connection->ServerConnectionState() == scsTotallyConnected &&
                   helpdesk.Connection->ServerConnectionState() == scsTotallyConnected;
        })) {
        std::fprintf(stderr, "the session did not become totally connected\n");
        return 1;
    }

    std::printf("budget %d bytes of Data messages per second = %.0f bytes of file data per second\n", kBudget,
                kBudgetFileBytes);
    std::mt19937_64 random(20240611);
    const bool ok =
        Case("customer to helpdesk", customer, helpdesk, 1, kSingleBytes, dir, random) &&
        Case("helpdesk to customer", helpdesk, customer, 1, kSingleBytes, dir, random) &&
        Case("two at once, customer to helpdesk", customer, helpdesk, 2, kPairBytes, dir, random) &&
        Case("two at once, helpdesk to customer", helpdesk, customer, 2, kPairBytes, dir, random);
    // The channel threads go with the connections, the helpdesk's first.
    helpdesk.Connection.reset();
    customer.Connection.reset();
    return ok ? 0 : 1;
}

} // namespace

int main()
{
    return orvBenchMain("files", Run);
}
