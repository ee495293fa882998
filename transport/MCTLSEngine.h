#pragma once

// The TLS engine of the secure sockets: OpenSSL driven through memory buffers only.
// It never touches a socket; its owner moves ciphertext between the engine and the TCP stream.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TMCTLSEngine;

// Asked about the peer's leaf certificate (DER bytes) during the handshake; true accepts it.
// A server that shows no certificate (an anonymous suite) is asked about with empty bytes at the
// end of the handshake, before any data leaves: otherwise it would slip past the check.
// Called on the thread that drives the engine, so it must be safe to call from several threads.
using TMCCertificateValidator = std::function<bool(std::string_view derCertificate)>;

// One SSL_CTX with our protocol settings: TLS 1.0 only, the fixed suite list, security
// level 0 (on this context only). Shared by the engines of one socket factory.
class TMCTLSContext : public std::enable_shared_from_this<TMCTLSContext>
{
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };

public:
    // Client side. Without a validator every server certificate is accepted (no chain, name or
    // date check). No client certificate is ever sent.
    static std::shared_ptr<TMCTLSContext> CreateClient(TMCCertificateValidator validator = {});
    // Server side with a PEM certificate (chain) and key; throws std::runtime_error naming the
    // file and the reason when they cannot be used. Client certificates are not asked for.
    static std::shared_ptr<TMCTLSContext> CreateServer(const std::string& certFile,
                                                       const std::string& keyFile);

    TMCTLSContext(PrivateTag, bool server); // through the Create functions only
    ~TMCTLSContext();
    TMCTLSContext(const TMCTLSContext&) = delete;
    TMCTLSContext& operator=(const TMCTLSContext&) = delete;

    bool IsServer() const noexcept { return FServer; }
    // A fresh engine for one connection; throws std::runtime_error when OpenSSL cannot make one.
    std::unique_ptr<TMCTLSEngine> NewEngine();

    // The standard (IANA) names of the suites a client hello of ours carries, in preference order.
    static std::vector<std::string> OfferedCipherSuites();
    // The OpenSSL cipher string built from the suites this OpenSSL still implements.
    static std::string CipherString();

private:
    struct Private;
    bool FServer;
    std::unique_ptr<Private> FP;
    friend class TMCTLSEngine;
};

// One TLS connection. Used by one thread at a time; engines of one context may run on any threads.
class TMCTLSEngine
{
public:
    // Usually made by TMCTLSContext::NewEngine(); the engine keeps the context alive.
    explicit TMCTLSEngine(std::shared_ptr<TMCTLSContext> context);
    ~TMCTLSEngine();
    TMCTLSEngine(const TMCTLSEngine&) = delete;
    TMCTLSEngine& operator=(const TMCTLSEngine&) = delete;

    // Client: writes the client hello into the ciphertext output. Server: waits for one.
    void StartHandshake();
    // Ciphertext read from the TCP socket; consumed by the next Process().
    void PutCiphertext(std::string_view bytes);
    // Advances the handshake, sends data held back for it and decrypts everything buffered.
    void Process();
    // The TCP peer closed: whatever is still buffered is processed, then the engine is closed.
    void SignalEof();

    bool HandshakeComplete() const noexcept;
    // Peer's close_notify, end of the TCP stream, an alert, an engine error or our own Close().
    bool Closed() const noexcept;
    // True when Closed() came from an error or alert rather than an orderly close.
    bool Failed() const noexcept;

    bool HasCiphertext() const;
    // All pending ciphertext (handshake records, data records, alerts) to write to the socket.
    std::string TakeCiphertext();

    bool HasPlaintext() const noexcept;
    std::size_t PlaintextSize() const noexcept;
    // Moves up to `max` decrypted bytes to the end of `appendTo`; returns how many.
    std::size_t TakePlaintext(std::string& appendTo, std::size_t max = SIZE_MAX);
    // Moves up to `max` decrypted bytes into `buffer`; returns how many.
    std::size_t TakePlaintext(char* buffer, std::size_t max);
    // Puts bytes back in front of the decrypted input (the socket's push-back).
    void UntakePlaintext(std::string_view bytes);

    // Encrypts application data into the ciphertext output; data given before the handshake
    // completes is kept and sent right after it. False (nothing taken) when closed.
    bool Encrypt(std::string_view plain);
    // Sends close_notify (into the ciphertext output) and closes the engine.
    void Close();

    // Standard name of the negotiated suite; empty before the handshake.
    std::string CipherName() const;
    // Protocol version text of the connection ("TLSv1"); empty before the handshake.
    std::string ProtocolVersion() const;
    // Why the engine failed; empty when it has not.
    std::string LastError() const;

private:
    struct Private;
    std::shared_ptr<TMCTLSContext> FContext;
    std::unique_ptr<Private> FP;
};

// Writes a fresh self-signed RSA certificate and its key (PEM; the key file readable by the owner
// only). On failure returns false and, when `error` is given, the reason.
bool MCGenerateSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                                     std::string* error, int validDays = 3650);

// The pin of a certificate's key: "sha256/" and the base64 (with padding) of the SHA-256 of its
// DER SubjectPublicKeyInfo. Empty when the bytes are not exactly one DER certificate.
std::string MCPublicKeyPin(std::string_view derCertificate);
// The pin of the first certificate of a PEM file; empty, with the reason in `error` when given,
// when the file holds none.
std::string MCPublicKeyPinOfCertificateFile(const std::string& pemFile, std::string* error);
