#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The wake-up channel of one connection job: a pipe private to the process, so
// nothing outside can nudge or break our links. One byte: nonzero wakes, zero
// breaks the current link.
class TMCWakeup
{
public:
    TMCWakeup();
    ~TMCWakeup();
    TMCWakeup(const TMCWakeup&) = delete;
    TMCWakeup& operator=(const TMCWakeup&) = delete;

    int Fd() const noexcept { return FRead; } // poll for POLLIN
    void Post(std::uint8_t byte) noexcept;
    // One waiting byte, or nullopt when none waits.
    std::optional<std::uint8_t> Take() noexcept;
    // Every waiting byte at once; true when a break (0) was among them.
    bool TakeAll() noexcept;

private:
    int FRead = -1;
    int FWrite = -1;
};

enum class TMCSocketState { Closed, Creating, Created, Bound, Connected, Listening, Connecting };
enum class TMCSocketSide { Client, Server };

// Result of one non-blocking read or write.
struct TMCIoResult
{
    enum Status { Ok, WouldBlock, Closed, Failed };
    Status status = Ok;
    std::size_t count = 0;
};

// A non-blocking TCP socket. Descendants (TLS) override the data operations.
class TMCSocket
{
public:
    explicit TMCSocket(TMCSocketSide side) : FSide(side) {}
    virtual ~TMCSocket();
    TMCSocket(const TMCSocket&) = delete;
    TMCSocket& operator=(const TMCSocket&) = delete;

    TMCSocketSide Side() const noexcept { return FSide; }
    TMCSocketState State() const noexcept { return FState; }
    int Handle() const noexcept { return FFd; }

    // Address properties may change only while the socket is closed or just created (else 202).
    const std::string& LocalAddress() const noexcept { return FLocalAddress; }
    std::uint16_t LocalPort() const noexcept { return FLocalPort; }
    const std::string& RemoteAddress() const noexcept { return FRemoteAddress; }
    std::uint16_t RemotePort() const noexcept { return FRemotePort; }
    void SetLocalAddress(std::string value);
    void SetLocalPort(std::uint16_t value);
    void SetRemoteAddress(std::string value);
    void SetRemotePort(std::uint16_t value);
    // True once the remote address has been resolved by a connect.
    bool RemoteResolved() const noexcept { return FRemoteResolved; }

    virtual void CreateOSSocket();
    void Bind(bool reuseAddress);
    void Listen(int backlog);
    // Accepts one waiting connection: the new descriptor and the peer's address, or nullopt.
    struct Accepted
    {
        int fd;
        std::string host;
        std::uint16_t port;
    };
    std::optional<Accepted> Accept();
    // Takes over an accepted descriptor (server side).
    virtual void Attach(int fd, std::string remoteHost, std::uint16_t remotePort);

    // Connects within timeoutMs; a zero byte on the wake-up channel aborts.
    // Raises EMCError 204 when the remote host does not resolve. False on failure or timeout.
    bool ConnectWithTimeout(TMCWakeup* wakeup, std::uint32_t timeoutMs);
    // Plain sockets have nothing to do; TLS sockets run their handshake. Raises EMCError on failure.
    virtual void SecureHandshake(TMCWakeup* wakeup, std::uint32_t timeoutMs);

    virtual TMCIoResult Read(char* buffer, std::size_t count);
    virtual TMCIoResult Write(const char* buffer, std::size_t count);
    virtual bool HasBufferedInput() const { return false; }
    virtual bool HasPendingOutput() const { return false; }
    // Called when the descriptor is readable: true when data for Read is there.
    // Plain sockets always say yes and let Read find out.
    virtual bool ReadableDataCheck() { return true; }
    virtual void AfterWriteFlush() {}
    // Sends what is held back, as far as the kernel takes it, without closing
    // on failure (another thread may be waiting on the socket); false on failure.
    virtual bool TryFlush() { return true; }
    virtual void Close(bool shutdownFirst = false);

protected:
    // The raw descriptor operations, for descendants that layer over them.
    TMCIoResult RawRead(char* buffer, std::size_t count);
    TMCIoResult RawWrite(const char* buffer, std::size_t count);
    void SetConnected();

private:
    void CheckChangeable() const;

    TMCSocketSide FSide;
    TMCSocketState FState = TMCSocketState::Closed;
    int FFd = -1;
    std::string FLocalAddress = "0.0.0.0";
    std::uint16_t FLocalPort = 0;
    std::string FRemoteAddress;
    std::uint16_t FRemotePort = 0;
    bool FRemoteResolved = false;
};

using TMCStdSocket = TMCSocket;

// Resolves a dotted address or a host name to its first IPv4 address in dotted form.
std::optional<std::string> MCResolveIPv4(const std::string& host);

// Makes the sockets of a transport. The TLS factory plugs in here.
class TMCSocketFactory
{
public:
    virtual ~TMCSocketFactory() = default;
    virtual std::unique_ptr<TMCSocket> CreateClientSocket() = 0;
    virtual std::unique_ptr<TMCSocket> CreateServerSocket() = 0;
    // Runs after each creation.
    std::function<void(TMCSocketFactory& sender, TMCSocket& socket, TMCSocketSide side)> OnSocketCreation;

protected:
    std::unique_ptr<TMCSocket> Created(std::unique_ptr<TMCSocket> socket)
    {
        if (OnSocketCreation)
            OnSocketCreation(*this, *socket, socket->Side());
        return socket;
    }
};

class TMCStdSocketFactory : public TMCSocketFactory
{
public:
    std::unique_ptr<TMCSocket> CreateClientSocket() override;
    std::unique_ptr<TMCSocket> CreateServerSocket() override;
};
