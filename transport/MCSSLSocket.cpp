#include "transport/MCSSLSocket.h"

#include "transport/MCError.h"
#include "transport/MCTime.h"

#include <cerrno>
#include <poll.h>

// ---------------------------------------------------------------- factory

void TMCSSLSocketFactory::SetServerCertificate(const std::string& certFile, const std::string& keyFile)
{
    auto context = TMCTLSContext::CreateServer(certFile, keyFile);
    std::lock_guard lock(FMutex);
    FServerContext = std::move(context);
}

std::shared_ptr<TMCTLSContext> TMCSSLSocketFactory::ClientContext()
{
    std::lock_guard lock(FMutex);
    if (!FClientContext)
        FClientContext = TMCTLSContext::CreateClient(OnCertificateValidate);
    return FClientContext;
}

std::unique_ptr<TMCSocket> TMCSSLSocketFactory::CreateClientSocket()
{
    return Created(
        std::make_unique<TMCSSLSocket>(TMCSocketSide::Client, SSLEnabled ? ClientContext() : nullptr));
}

std::unique_ptr<TMCSocket> TMCSSLSocketFactory::CreateServerSocket()
{
    std::shared_ptr<TMCTLSContext> context;
    if (SSLEnabled) {
        std::lock_guard lock(FMutex);
        if (!FServerContext)
            throw EMCError(MCErr::InvalidSocket); // an accepting TLS side needs its certificate
        context = FServerContext;
    }
    return Created(std::make_unique<TMCSSLSocket>(TMCSocketSide::Server, std::move(context)));
}

// ---------------------------------------------------------------- socket

TMCSSLSocket::TMCSSLSocket(TMCSocketSide side, std::shared_ptr<TMCTLSContext> context)
    : TMCSocket(side), FContext(std::move(context))
{
}

TMCSSLSocket::~TMCSSLSocket() = default;

void TMCSSLSocket::StartEngine()
{
    FEngine = FContext->NewEngine();
    FOut.clear();
    FClosed = false;
}

void TMCSSLSocket::CreateOSSocket()
{
    TMCSocket::CreateOSSocket();
    if (Secure() && !FEngine)
        StartEngine();
}

void TMCSSLSocket::Attach(int fd, std::string remoteHost, std::uint16_t remotePort)
{
    TMCSocket::Attach(fd, std::move(remoteHost), remotePort);
    if (Secure())
        StartEngine();
}

void TMCSSLSocket::CollectCiphertext()
{
    if (FEngine && FEngine->HasCiphertext())
        FOut += FEngine->TakeCiphertext();
}

bool TMCSSLSocket::FeedEngine()
{
    char buffer[8192];
    for (;;) {
        auto r = RawRead(buffer, sizeof buffer);
        if (r.status == TMCIoResult::Ok) {
            FEngine->PutCiphertext(std::string_view(buffer, r.count));
            if (r.count < sizeof buffer)
                break;
            continue;
        }
        if (r.status == TMCIoResult::WouldBlock)
            break;
        // The peer closed (or reset) the TCP connection.
        FEngine->SignalEof();
        FClosed = true;
        break;
    }
    FEngine->Process();
    if (FEngine->Closed())
        FClosed = true;
    return !FClosed;
}

bool TMCSSLSocket::Flush()
{
    CollectCiphertext();
    while (!FOut.empty()) {
        auto r = RawWrite(FOut.data(), FOut.size());
        if (r.status == TMCIoResult::WouldBlock)
            return true;
        if (r.status != TMCIoResult::Ok)
            return false;
        FOut.erase(0, r.count);
    }
    return true;
}

void TMCSSLSocket::SecureHandshake(TMCWakeup* wakeup, std::uint32_t timeoutMs)
{
    if (!Secure())
        return;
    if (!FEngine)
        throw EMCError(MCErr::InvalidSocket);
    FEngine->StartHandshake();
    const std::uint32_t start = MCGetTickCount();
    while ((!FEngine->HandshakeComplete() || HasPendingOutput()) && !FClosed) {
        if (!Flush()) {
            FClosed = true;
            break;
        }
        if (FEngine->HandshakeComplete() && !HasPendingOutput())
            break;
        const std::uint32_t elapsed = MCTicksSince(start, MCGetTickCount());
        if (elapsed >= timeoutMs)
            throw EMCError(MCErr::ConnectionLost);
        pollfd fds[2] = {{Handle(), static_cast<short>(POLLIN | (HasPendingOutput() ? POLLOUT : 0)), 0},
                         {wakeup ? wakeup->Fd() : -1, POLLIN, 0}};
        int rc = ::poll(fds, wakeup ? 2 : 1, static_cast<int>(timeoutMs - elapsed));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            throw EMCError(MCErr::ConnectionLost);
        if (wakeup && (fds[1].revents & POLLIN)) {
            auto byte = wakeup->Take();
            if (byte && *byte == 0)
                throw EMCError(MCErr::ConnectionLost);
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP))
            FeedEngine();
    }
    if (FClosed || FEngine->Closed()) {
        TMCSocket::Close();
        throw EMCError(MCErr::TLSClosed);
    }
}

TMCIoResult TMCSSLSocket::Read(char* buffer, std::size_t count)
{
    if (!Secure())
        return TMCSocket::Read(buffer, count);
    if (FEngine && FEngine->HasPlaintext())
        return {TMCIoResult::Ok, FEngine->TakePlaintext(buffer, count)};
    if (FClosed || !FEngine)
        return {TMCIoResult::Failed, 0}; // 10057: not connected
    return {TMCIoResult::WouldBlock, 0};
}

TMCIoResult TMCSSLSocket::Write(const char* buffer, std::size_t count)
{
    if (!Secure())
        return TMCSocket::Write(buffer, count);
    if (FClosed || !FEngine || !FEngine->Encrypt(std::string_view(buffer, count)))
        return {TMCIoResult::Failed, 0};
    CollectCiphertext();
    return {TMCIoResult::Ok, count};
}

bool TMCSSLSocket::HasBufferedInput() const
{
    return Secure() && FEngine && FEngine->HasPlaintext();
}

bool TMCSSLSocket::HasPendingOutput() const
{
    return Secure() && (!FOut.empty() || (FEngine && FEngine->HasCiphertext()));
}

bool TMCSSLSocket::ReadableDataCheck()
{
    if (!Secure())
        return true;
    if (!FEngine)
        throw EMCError(MCErr::ConnectionLost);
    FeedEngine();
    if (FEngine->HasPlaintext())
        return true;
    if (!FClosed)
        return false;
    throw EMCError(MCErr::ConnectionLost);
}

void TMCSSLSocket::AfterWriteFlush()
{
    if (!Secure())
        return;
    if (!Flush()) {
        FClosed = true;
        TMCSocket::Close();
        throw EMCError(MCErr::ConnectionLost);
    }
}

bool TMCSSLSocket::TryFlush()
{
    return !Secure() || (!FClosed && Flush());
}

void TMCSSLSocket::Close(bool shutdownFirst)
{
    if (FEngine) {
        if (!FClosed && FEngine->HandshakeComplete()) {
            FEngine->Close();
            Flush(); // one try; the peer may be gone already
        }
        FEngine.reset();
    }
    FOut.clear();
    FClosed = false;
    TMCSocket::Close(shutdownFirst);
}
