#include "lib/orvVNCModule.h"

#include "lib/debugProc.h"
#include "lib/orvOSUtils.h"
#include "transport/MCTcpLink.h"

namespace {
constexpr const char* kHostAddress = "127.0.0.1";
}

TdmVNC::TdmVNC(TorvVNCThread& owner) : FOwner(owner), FClient(std::make_unique<TMCTcpLink>()) {}

TdmVNC::~TdmVNC()
{
    try {
        StopVNCServer();
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TdmVNC.Destroy: %s", e.what());
    }
}

void TdmVNC::StartVNCServer()
{
    OSUtils().StartHost();
    FHostPassword = OSUtils().Password;
}

void TdmVNC::StopVNCServer()
{
    OSUtils().CloseHost();
    FHostPassword.clear();
}

void TdmVNC::ConnectToVNCServer()
{
    try {
        if (IsConnected())
            SetConnected(false);
        DebugLog("Searching for remote desktop server process ...");
        if (!OSUtils().IsHostRunning()) {
            DebugLog("Remote desktop server process is not running");
            throw EorvException("Orvhost is not running.");
        }
        const std::string port = OSUtils().PortText;
        DebugLogFmt("Searching for remote desktop server at port : %s", port.c_str());
        if (!OSUtils().IsHostListening(std::stoi(port))) {
            DebugLogFmt("Remote desktop server not found at port %s ", port.c_str());
            throw EorvException("Orvhost not found at port " + port);
        }
        DebugLog("Connecting to remote desktop server...");
        FPort = static_cast<std::uint16_t>(std::stoi(port));
        SetConnected(true);
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TdmVNC.ConnectToVNCServer: %s", e.what());
    }
}

bool TdmVNC::IsConnected()
{
    return FClient && FClient->Connected();
}

std::string TdmVNC::ReadFromServer()
{
    std::string bytes;
    if (!IsConnected())
        return bytes;
    switch (FClient->ReadAvailable(bytes, 1)) {
    case TMCTcpLink::TRead::Data: return bytes;
    case TMCTcpLink::TRead::Nothing: return {};
    case TMCTcpLink::TRead::Closed:
    case TMCTcpLink::TRead::Failed: try { ServerDisconnected();
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TdmVNC.ReadFromServer: %s", e.what());
        }
        return {};
    }
    return {};
}

void TdmVNC::SendToServer(const std::string& bytes)
{
    if (bytes.empty())
        return;
    if (!IsConnected()) {
        DebugLog("Local remote desktop server lost data: " + bytes);
        return;
    }
    if (FClient->WriteAll(bytes, WriteTimeoutMs) != TMCTcpLink::TWrite::Done)
        throw EorvException("Writing to the remote desktop server failed");
}

void TdmVNC::SetConnected(bool on)
{
    if (!FClient)
        throw EorvException("TCPClient does not exist");
    if (on) {
        if (IsConnected())
            return;
        if (!FClient->Connect(kHostAddress, FPort, ConnectTimeoutMs))
            throw EorvException("Unable to connect to the remote desktop server at port " +
                                std::to_string(FPort));
        DebugLog("Remote desktop server connected");
    } else if (IsConnected()) {
        FClient->Close();
        ServerDisconnected();
    }
}

void TdmVNC::ServerDisconnected()
{
    FClient->Close();
    FOwner.AddMessage(JoinCommand(orvVNC::Close, ""));
    FOwner.Send(JoinCommand(orvVNC::Close, orvVNC::RemotelyClosed));
    CloseVNCServer();
    DebugLog("Remote desktop server disconnected");
}

void TdmVNC::CloseVNCServer()
{
    if (IsConnected())
        SetConnected(false);
    else
        OSUtils().CloseHost();
}
