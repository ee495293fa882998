#pragma once

#include "transport/MCSocket.h"
#include "transport/MCTLSEngine.h"

#include <memory>
#include <string>

enum class TMCSSLVersion { SSL2, SSL3, TLS1 };

// Makes sockets that run TLS between the TCP stream and the frames. When
// SSLEnabled is false its sockets behave exactly as plain ones.
class TMCSSLSocketFactory : public TMCSocketFactory
{
public:
    TMCSSLSocketFactory() = default;

    bool SSLEnabled = false;
    // Only TLS 1.0 is offered; the older versions are not implemented any more.
    TMCSSLVersion Versions = TMCSSLVersion::TLS1;
    // Asked about every server certificate; unset accepts every certificate.
    TMCCertificateValidator OnCertificateValidate;
    // The certificate and key of the accepting side (PEM files).
    void SetServerCertificate(const std::string& certFile, const std::string& keyFile);

    std::unique_ptr<TMCSocket> CreateClientSocket() override;
    std::unique_ptr<TMCSocket> CreateServerSocket() override;

private:
    std::shared_ptr<TMCTLSContext> ClientContext();

    std::mutex FMutex;
    std::shared_ptr<TMCTLSContext> FClientContext;
    std::shared_ptr<TMCTLSContext> FServerContext;
};

// A socket with a TLS engine between the descriptor and the transport. The
// engine is driven through memory buffers; only this class touches the socket.
class TMCSSLSocket : public TMCSocket
{
public:
    TMCSSLSocket(TMCSocketSide side, std::shared_ptr<TMCTLSContext> context);
    ~TMCSSLSocket() override;

    void CreateOSSocket() override;
    void Attach(int fd, std::string remoteHost, std::uint16_t remotePort) override;
    // Raises EMCError 206 on a timeout or a break, 801 when the engine closed the connection.
    void SecureHandshake(TMCWakeup* wakeup, std::uint32_t timeoutMs) override;
    TMCIoResult Read(char* buffer, std::size_t count) override;
    TMCIoResult Write(const char* buffer, std::size_t count) override;
    bool HasBufferedInput() const override;
    bool HasPendingOutput() const override;
    bool ReadableDataCheck() override;
    void AfterWriteFlush() override;
    bool TryFlush() override;
    void Close(bool shutdownFirst = false) override;

    const TMCTLSEngine* Engine() const noexcept { return FEngine.get(); }

private:
    bool Secure() const noexcept { return FContext != nullptr; }
    // A fresh engine for a new link, with nothing left over from the last one.
    void StartEngine();
    // Moves the engine's output to the end of FOut.
    void CollectCiphertext();
    // Reads what the descriptor holds into the engine; false when the link closed or failed.
    bool FeedEngine();
    // Moves engine output into our buffer and writes what the descriptor takes; false on a write error.
    bool Flush();

    std::shared_ptr<TMCTLSContext> FContext; // null: plain socket
    std::unique_ptr<TMCTLSEngine> FEngine;
    std::string FOut; // ciphertext not yet written
    bool FClosed = false;
};

using TMCSSLClientSocket = TMCSSLSocket;
using TMCSSLServerSocket = TMCSSLSocket;
