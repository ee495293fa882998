#include "tests/support/FakeRelays.h"

#include "lib/orvOSUtils.h"

#include <stdexcept>
#include <utility>

namespace orvtest {

class FakeHostRelay : public TorvHostRelay
{
public:
    explicit FakeHostRelay(FakeRelays& relays) : FRelays(relays) { ++FRelays.LiveRelays; }
    ~FakeHostRelay() override { --FRelays.LiveRelays; }

    void StartVNCServer() override
    {
        ++FRelays.HostStarts;
        if (FRelays.HostStartFails)
            throw std::runtime_error("no host");
        if (FRelays.ProgramsMissing)
            throw EorvProgramMissing("x11vnc is not installed");
        FPassword = orvHostPassword;
    }
    std::string HostPassword() const override { return FPassword; }
    void ConnectToVNCServer() override { FConnected = FRelays.HostConnects.load(); }
    bool IsConnected() override { return FConnected; }
    std::string ReadFromServer() override
    {
        ++FRelays.HostReads;
        std::lock_guard lock(FRelays.FMutex);
        return FConnected ? std::exchange(FRelays.FFromHost, {}) : std::string();
    }
    void SendToServer(const std::string& bytes) override
    {
        std::lock_guard lock(FRelays.FMutex);
        FRelays.FToHost += bytes;
    }
    void SetConnected(bool on) override { FConnected = on && FRelays.HostConnects; }
    void CloseVNCServer() override { ++FRelays.HostCloses; }

private:
    FakeRelays& FRelays;
    std::string FPassword;
    bool FConnected = false;
};

class FakeViewerRelay : public TorvViewerRelay
{
public:
    explicit FakeViewerRelay(FakeRelays& relays) : FRelays(relays) { ++FRelays.LiveRelays; }
    ~FakeViewerRelay() override { --FRelays.LiveRelays; }

    void StartVNCViewer() override
    {
        ++FRelays.ViewerStarts;
        if (FRelays.ProgramsMissing)
            throw EorvProgramMissing("xtigervncviewer is not installed");
    }
    bool IsViewerConnected() override { return FActive && FRelays.ViewerConnects; }
    std::string ReadFromViewer() override
    {
        std::lock_guard lock(FRelays.FMutex);
        return std::exchange(FRelays.FFromViewer, {});
    }
    void SendToViewer(const std::string& bytes) override
    {
        std::lock_guard lock(FRelays.FMutex);
        FRelays.FToViewer += bytes;
    }
    void SetActive(bool on) override { FActive = on; }

private:
    FakeRelays& FRelays;
    bool FActive = true;
};

TorvRemoteDesktopParts FakeRelays::Parts()
{
    TorvRemoteDesktopParts parts;
    parts.NewHostRelay = [this](TorvVNCThread&) { return std::make_unique<FakeHostRelay>(*this); };
    parts.NewViewerRelay = [this](TorvVNCThread&) { return std::make_unique<FakeViewerRelay>(*this); };
    parts.PostHostViewOnly = [this](bool viewOnly) {
        if (WindowPostFails)
            throw std::runtime_error("window gone");
        if (!WindowsExist)
            return false;
        std::lock_guard lock(FMutex);
        FViewOnlyPosts.push_back(viewOnly);
        return true;
    };
    parts.PostViewerSettings = [this] {
        if (WindowPostFails)
            throw std::runtime_error("window gone");
        if (!WindowsExist)
            return false;
        ++ViewerSettingsPosts;
        return true;
    };
    parts.PendingMessages = [this](TorvConnection&) { return Pending.load(); };
    return parts;
}

void FakeRelays::HostSays(const std::string& bytes)
{
    std::lock_guard lock(FMutex);
    FFromHost += bytes;
}

void FakeRelays::ViewerSays(const std::string& bytes)
{
    std::lock_guard lock(FMutex);
    FFromViewer += bytes;
}

std::string FakeRelays::ToHost()
{
    std::lock_guard lock(FMutex);
    return FToHost;
}

std::string FakeRelays::ToViewer()
{
    std::lock_guard lock(FMutex);
    return FToViewer;
}

std::vector<bool> FakeRelays::ViewOnlyPosts()
{
    std::lock_guard lock(FMutex);
    return FViewOnlyPosts;
}

} // namespace orvtest
