#pragma once

// The viewer relay, on the side that watches: a TCP server on loopback port
// 5902 that the viewer program connects to, carrying the RFB bytes both ways.

#include "lib/debugProc.h"
#include "lib/orvVNCThread.h"

#include <memory>
#include <string>

class TViewerServer;

class TdmVncViewer : public TorvViewerRelay
{
public:
    explicit TdmVncViewer(TorvVNCThread& owner, std::uint16_t port = orvViewerRelayPort);
    ~TdmVncViewer() override;
    TdmVncViewer(const TdmVncViewer&) = delete;
    TdmVncViewer& operator=(const TdmVncViewer&) = delete;

    void StartVNCViewer() override;
    bool IsViewerConnected() override;
    std::string ReadFromViewer() override;
    void SendToViewer(const std::string& bytes) override;
    void SetActive(bool on) override;

    void CreateServerSocket();
    bool Active();

    static constexpr std::uint16_t orvViewerRelayPort = 5902;
    static constexpr int WriteTimeoutMs = 5000;

private:
    void ViewerConnected();
    void ViewerDisconnected();

    TorvVNCThread& FOwner;
    std::uint16_t FPort;
    std::unique_ptr<TViewerServer> FServer;
    bool FDataSent = false;
    TDebugCriticalSection FLock;
};
