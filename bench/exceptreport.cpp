// The error report's costs: what recording the stack adds to every throw of
// the program, and how long the report's details take to collect (which the
// dialog does after it has been painted).
#include "bench/Figure.h"
#include "lib/kelExceptReport.h"
#include "platform/orvExceptionTrace.h"
#include "platform/orvSystemInfo.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

using Clock = std::chrono::steady_clock;

namespace {

// A throw from some frames down, as errors of the program come.
[[gnu::noinline]] void ThrowAt(int depth)
{
    if (depth == 0)
        throw std::runtime_error("bench");
    ThrowAt(depth - 1);
}

std::exception_ptr Caught()
{
    try {
        ThrowAt(12);
    } catch (...) {
        return std::current_exception();
    }
    return {};
}

double NanosecondsPerThrow(int count)
{
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        (void)Caught();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
}

template <typename F> double Milliseconds(F&& work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main()
{
    constexpr int kThrows = 20000;
    orvSetExceptionTracking(false);
    NanosecondsPerThrow(1000); // warm up
    const double plain = NanosecondsPerThrow(kThrows);
    orvSetExceptionTracking(true);
    const double tracked = NanosecondsPerThrow(kThrows);

    const std::exception_ptr error = Caught();
    const auto record = orvFindThrowRecord(error);
    if (!record) {
        std::fprintf(stderr, "exceptreport: no record of the throw\n");
        return 1;
    }
    std::size_t frames = 0;
    const double stackMs = Milliseconds([&] { frames = orvResolveStack(record->Frames).size(); });
    std::size_t moduleLines = 0;
    const double modulesMs = Milliseconds([&] {
        moduleLines = kelModuleLines(orvLoadedModules(), [](const TorvLoadedModule& module) {
                          return kelModuleVersion(module, "bench");
                      }).size();
    });
    const double systemMs =
        Milliseconds([] { (void)kelSystemLines(orvOsInfo(), orvCpuInfo(), orvMemoryInfo(), {}); });

    std::printf("throw and catch, 13 frames deep: %.0f ns untracked, %.0f ns with the stack recorded\n",
                plain, tracked);
    std::printf(
        "report details: stack list of %zu frames %.1f ms, %zu module lines %.1f ms, system data %.1f ms\n",
        frames, stackMs, moduleLines, modulesMs, systemMs);
    Figure("throw_ns_untracked", plain, 0);
    Figure("throw_ns_tracked", tracked, 0);
    Figure("report_stack_list_ms", stackMs, 1);
    Figure("report_modules_ms", modulesMs, 1);
    Figure("report_system_data_ms", systemMs, 1);
    return 0;
}
