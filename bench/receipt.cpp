// The session receipt's costs: the SHA-256 that every transferred byte now
// passes through, and one entry written safely to disk (whole file, fsync,
// rename), which happens on every event of a session.
#include "bench/Figure.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvSha256.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

int main()
{
    // Transfers hash pieces of 1024 bytes as they go.
    const std::string piece(1024, 'x');
    constexpr int kPieces = 200000;
    TorvSha256 hash;
    auto start = Clock::now();
    for (int i = 0; i < kPieces; ++i)
        hash.Add(piece);
    (void)hash.Hex();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double mbPerSecond = kPieces * 1024.0 / 1048576.0 / seconds;

    char folder[] = "/tmp/orvbench-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::fprintf(stderr, "receipt: no temporary folder\n");
        return 1;
    }
    double entryMs = 0;
    std::size_t bytes = 0;
    {
        TorvSessionReceipt receipt(folder, "bench");
        receipt.Connected("127.0.0.1", 7000, 1234, std::chrono::system_clock::now());
        constexpr int kEntries = 200; // a long session's worth
        start = Clock::now();
        for (int i = 0; i < kEntries; ++i)
            receipt.Transfer({i % 2 == 0, "file.bin", "/home/user/file.bin", 1 << 20, 1 << 20,
                              std::string(64, 'a'), TorvTransferOutcome::Completed});
        entryMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kEntries;
        bytes = std::filesystem::file_size(receipt.FilePath());
    }
    std::filesystem::remove_all(folder);

    std::printf("SHA-256 over 1 KiB pieces: %.0f MB/s\n", mbPerSecond);
    std::printf("one receipt entry written to disk (200 entries, %zu bytes at the end): %.2f ms\n", bytes,
                entryMs);
    Figure("sha256_mb_per_s", mbPerSecond, 0);
    Figure("receipt_entry_ms_at_200", entryMs, 2);
    return 0;
}
