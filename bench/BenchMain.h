#pragma once

// The main routine of a benchmark that runs sessions: the connection core
// up around run, an error reported on stderr and as a failed exit.

#include "lib/orvConnections.h"
#include "lib/orvThreads.h"

#include <cstdio>
#include <exception>

template <typename Run> int orvBenchMain(const char* name, Run run)
{
    orvSync::SetMainThread();
    orvStartConnectionCore();
    int rc = 1;
    try {
        rc = run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
    }
    orvSync::StopServing();
    orvShutdownConnectionCore();
    return rc;
}
