#pragma once

// The host relay, on the side that shows its desktop: starts the host program
// and is its TCP client on loopback, carrying the RFB bytes both ways.

#include "lib/orvVNCThread.h"

#include <memory>
#include <string>

class TMCTcpLink;

class TdmVNC : public TorvHostRelay
{
public:
    explicit TdmVNC(TorvVNCThread& owner);
    ~TdmVNC() override;
    TdmVNC(const TdmVNC&) = delete;
    TdmVNC& operator=(const TdmVNC&) = delete;

    void StartVNCServer() override;
    std::string HostPassword() const override { return FHostPassword; }
    void ConnectToVNCServer() override;
    bool IsConnected() override;
    std::string ReadFromServer() override;
    void SendToServer(const std::string& bytes) override;
    void SetConnected(bool on) override;
    void CloseVNCServer() override;

    // Wait for the host's answers, in ms.
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int WriteTimeoutMs = 5000;

private:
    void StopVNCServer();
    void ServerDisconnected();

    TorvVNCThread& FOwner;
    std::string FHostPassword;
    std::unique_ptr<TMCTcpLink> FClient;
    std::uint16_t FPort = 0;
};
