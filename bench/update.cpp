// The update package's download from a local update server: bytes per second
// of the bare HTTP client, and of the whole module with its progress handed
// to the main thread, so that the cost of the progress reports shows.
#include "bench/BenchMain.h"
#include "bench/Figure.h"
#include "lib/orvWWWUpdate.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/UpdateServer.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kPackageBytes = 64u << 20;

double MegabytesPerSecond(std::size_t bytes, Clock::duration time)
{
    return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(time).count();
}

// Counts what the module shows; answers nothing by itself.
class TCountingWindows : public TorvUpdateWindows
{
public:
    std::function<void(TorvUpdateDialog, int)> Answer;
    int Positions = 0;
    bool Offered = false;

    void SetAnswerHandler(std::function<void(TorvUpdateDialog, int)> handler) override
    {
        Answer = std::move(handler);
    }
    void ShowMessage(const std::string& text) override
    {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    void ShowDownloadOffer(const std::string&, const std::vector<std::string>&) override { Offered = true; }
    void ShowProgressDialog(const std::string&) override {}
    void HideDialog(TorvUpdateDialog) override {}
    void SetProgressMax(std::int64_t) override {}
    void SetProgressPosition(std::int64_t) override { ++Positions; }
    void SetBusyCursor(bool) override {}
};

double BareClient(const orvtest::TUpdateServer& server)
{
    TorvHttpClient client;
    std::size_t received = 0;
    std::string error;
    const auto start = Clock::now();
    const TorvHttpResult result = client.Get(
        server.Url("update/package.bin"),
        [&](std::string_view bytes) {
            received += bytes.size();
            return true;
        },
        nullptr, error);
    const auto time = Clock::now() - start;
    if (result != TorvHttpResult::Ok || received != kPackageBytes)
        throw std::runtime_error("bare download failed: " + error);
    return MegabytesPerSecond(received, time);
}

double WholeModule(const orvtest::TUpdateServer& server, const std::string& tempFolder, int& positions)
{
    TorvUpdateRequest request;
    const TorvUpdateServer address = orvUpdateServerAt(server.Host());
    request.UpdateUrl = address.UpdateUrl;
    request.WebPageAddress = address.WebPageAddress;
    request.OwnVersion = "1.0.0.0";
    request.TempFolder = tempFolder;
    auto windows = std::make_unique<TCountingWindows>();
    TCountingWindows& shown = *windows;
    bool ended = false;
    TorvUpdateDesktop desktop{[](const std::string&) {}, [](const std::string&) {}, [&] { ended = true; }};
    TdmUpdateOrvalis module(request, std::move(windows), desktop);
    if (!orvtest::ServeUntil([&] { return shown.Offered; }, 30s))
        throw std::runtime_error("no offer");
    const auto start = Clock::now();
    shown.Answer(TorvUpdateDialog::Offer, 4);
    if (!orvtest::ServeUntil([&] { return ended; }, 120s))
        throw std::runtime_error("the package did not arrive");
    positions = shown.Positions;
    return MegabytesPerSecond(kPackageBytes, Clock::now() - start);
}

} // namespace

int main()
{
    return orvBenchMain("update", [] {
        orvtest::TUpdateServer server;
        server.Put("update/package.bin", std::string(kPackageBytes, 'u'));
        server.Put("update/update.ini",
                   orvtest::UpdateIni("9.0.0", "2030-01-01", server.Url("update/package.bin")));
        orvtest::TempDir temp;

        const double bare = BareClient(server);
        int positions = 0;
        const double whole = WholeModule(server, temp.Path() + "/", positions);
        std::printf("64 MiB package from a loopback update server:\n");
        std::printf("  HTTP client alone:            %8.1f MiB/s\n", bare);
        std::printf("  module, progress to the GUI:  %8.1f MiB/s (%d bar updates)\n", whole, positions);
        Figure("update_http_client_mib_per_s", bare, 1);
        Figure("update_module_download_mib_per_s", whole, 1);
        Figure("update_progress_updates", positions, 0);
        return 0;
    });
}
