#include "lib/orvVNCViewerModule.h"

#include "lib/orvOSUtils.h"
#include "transport/MCSocket.h"
#include "transport/MCTcpLink.h"

#include <cerrno>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>

namespace {
// Only programs on this computer may reach the relay: it carries the
// desktop's picture and its input.
constexpr const char* kListenAddress = "127.0.0.1";
} // namespace

// The listening socket with one viewer connection at most. Its thread only
// accepts and watches for the viewer leaving; the channel thread reads and
// writes.
class TViewerServer
{
public:
    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;

    ~TViewerServer() { Deactivate(); }

    bool Active() const { return FThread.joinable(); }

    // Raises when the port cannot be had.
    void Activate(std::uint16_t port)
    {
        if (Active())
            return;
        if (!FListener.Listen(kListenAddress, port, true))
            throw EorvException("Unable to listen at port " + std::to_string(port));
        FThread = std::thread([this] { Run(); });
    }

    void Deactivate()
    {
        if (FThread.joinable()) {
            FWakeup.Post(0);
            FThread.join();
            while (FWakeup.Take()) {
            }
        }
        FListener.Close();
        std::lock_guard lock(FMutex);
        FConnection.reset();
    }

    std::shared_ptr<TMCTcpLink> Connection()
    {
        std::lock_guard lock(FMutex);
        return FConnection;
    }

private:
    // Nothing may leave this thread by an exception.
    static void Notify(const std::function<void()>& handler)
    {
        try {
            if (handler)
                handler();
        } catch (const std::exception& e) {
            DebugLogFmt("Exception in TCPServer: %s", e.what());
        }
    }

    void Run()
    {
        for (;;) {
            const std::shared_ptr<TMCTcpLink> held = Connection();
            pollfd fds[3] = {{FWakeup.Fd(), POLLIN, 0}, {FListener.Fd(), POLLIN, 0}, {-1, 0, 0}};
            if (held)
                fds[2] = {held->Fd(), POLLRDHUP, 0};
            if (::poll(fds, 3, -1) < 0 && errno != EINTR) {
                DebugLog("ListenException in TCPServer");
                return;
            }
            if (fds[0].revents)
                return;
            // The leaving viewer first: a newcomer in the same round then finds the place free.
            if (held && (fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                {
                    std::lock_guard lock(FMutex);
                    if (FConnection == held)
                        FConnection.reset();
                }
                Notify(OnDisconnect);
            }
            if (fds[1].revents & POLLIN) {
                if (std::optional<int> fd = FListener.Accept()) {
                    auto link = std::make_shared<TMCTcpLink>(*fd);
                    if (Connection())
                        continue; // one viewer at a time: the newcomer is closed
                    {
                        std::lock_guard lock(FMutex);
                        FConnection = std::move(link);
                    }
                    Notify(OnConnect);
                }
            }
        }
    }

    TMCTcpListener FListener;
    TMCWakeup FWakeup;
    std::thread FThread;
    std::mutex FMutex;
    std::shared_ptr<TMCTcpLink> FConnection; // guarded by FMutex
};

TdmVncViewer::TdmVncViewer(TorvVNCThread& owner, std::uint16_t port) : FOwner(owner), FPort(port)
{
    FLock.SetName("TdmVncViewer.FLock");
    OSUtils().PortText = std::to_string(port);
    CreateServerSocket();
}

TdmVncViewer::~TdmVncViewer()
{
    DebugLog("Remote desktop viewer connection closing");
    FServer.reset();
}

void TdmVncViewer::CreateServerSocket()
{
    FServer.reset();
    FServer = std::make_unique<TViewerServer>();
    FServer->OnConnect = [this] { ViewerConnected(); };
    FServer->OnDisconnect = [this] { ViewerDisconnected(); };
}

bool TdmVncViewer::Active()
{
    return FServer && FServer->Active();
}

void TdmVncViewer::StartVNCViewer()
{
    try {
        SetActive(true);
        OSUtils().StartViewer();
    } catch (const EorvProgramMissing&) {
        throw; // says what to install, for the user
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TdmVncViewer.StartVNCViewer: %s", e.what());
        throw EorvException("Unable to start remote desktop viewer.");
    }
}

bool TdmVncViewer::IsViewerConnected()
{
    return FServer && FServer->Connection() != nullptr;
}

void TdmVncViewer::ViewerConnected()
{
    DebugLog("Remote desktop viewer connected");
}

void TdmVncViewer::ViewerDisconnected()
{
    FOwner.AddMessage(JoinCommand(orvVNC::Close, ""));
    FOwner.Send(JoinCommand(orvVNC::Close, orvVNC::RemotelyClosed));
    DebugLog("Remote desktop viewer disconnected");
}

std::string TdmVncViewer::ReadFromViewer()
{
    std::string bytes;
    if (!Active())
        return bytes;
    const std::shared_ptr<TMCTcpLink> connection = FServer->Connection();
    if (!connection)
        return bytes;
    if (connection->ReadAvailable(bytes, 1) != TMCTcpLink::TRead::Data)
        return {};
    return bytes;
}

void TdmVncViewer::SendToViewer(const std::string& bytes)
{
    if (bytes.empty())
        return;
    const std::shared_ptr<TMCTcpLink> connection = Active() ? FServer->Connection() : nullptr;
    if (!connection) {
        DebugLog("Data was not sent : remote desktop viewer is not connected");
        return;
    }
    switch (connection->WriteAll(bytes, WriteTimeoutMs)) {
    case TMCTcpLink::TWrite::Done:
        if (!FDataSent) {
            FDataSent = true;
            DebugLog("Data was sent to remote desktop viewer - remote desktop session started ");
        }
        break;
    case TMCTcpLink::TWrite::Closed: break; // the viewer left; its leaving ends the session
    case TMCTcpLink::TWrite::Failed:
        DebugLog("Sending data to local remote desktop viewer failed: the viewer does not take the data");
        SetActive(false);
        break;
    }
}

void TdmVncViewer::SetActive(bool on)
{
    TDebugLock lock(FLock, "TdmVncViewer.SetActive");
    if (!FServer)
        throw EorvException("TCPServer does not exist");
    if (on)
        FServer->Activate(FPort);
    else
        FServer->Deactivate();
}
