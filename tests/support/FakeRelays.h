#pragma once

// Relays of the remote-desktop thread without programs behind them: what the
// "host" and the "viewer" produce is put in by the test, what reaches them is
// kept, and every call is counted. Shared by the thread that owns the relays
// and the test.

#include "lib/orvVNCThread.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace orvtest {

class FakeRelays
{
public:
    // Parts for a thread: these relays, and window posts that are recorded.
    TorvRemoteDesktopParts Parts();

    // What the host program and the viewer program send next.
    void HostSays(const std::string& bytes);
    void ViewerSays(const std::string& bytes);
    // What reached them so far.
    std::string ToHost();
    std::string ToViewer();
    std::vector<bool> ViewOnlyPosts();

    // Behaviour.
    std::atomic<bool> HostConnects{true};
    std::atomic<bool> HostStartFails{false};
    std::atomic<bool> ProgramsMissing{false}; // starting raises EorvProgramMissing
    std::atomic<bool> ViewerConnects{true};
    std::atomic<bool> WindowsExist{true};
    std::atomic<bool> WindowPostFails{false}; // posting raises
    std::atomic<std::size_t> Pending{0};      // the transport's unsent messages, as the thread sees them

    // Counts.
    std::atomic<int> HostStarts{0};
    std::atomic<int> HostCloses{0};
    std::atomic<int> ViewerStarts{0};
    std::atomic<int> HostReads{0};
    std::atomic<int> LiveRelays{0};
    std::atomic<int> ViewerSettingsPosts{0};

private:
    friend class FakeHostRelay;
    friend class FakeViewerRelay;
    std::mutex FMutex;
    std::string FFromHost, FFromViewer, FToHost, FToViewer;
    std::vector<bool> FViewOnlyPosts;
};

} // namespace orvtest
