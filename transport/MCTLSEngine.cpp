#include "transport/MCTLSEngine.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The suites we offer, in our order of preference (standard names). Whatever this OpenSSL no
// longer implements is left out when the cipher string is built; the two NULL-encryption suites
// are never on the list.
constexpr const char* kPreferredSuites[] = {
    "TLS_RSA_WITH_RC4_128_MD5",
    "TLS_RSA_EXPORT_WITH_RC4_40_MD5",
    "TLS_RSA_WITH_RC4_128_SHA",
    "TLS_RSA_EXPORT_WITH_RC2_CBC_40_MD5",
    "TLS_RSA_WITH_IDEA_CBC_SHA",
    "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA",
    "TLS_RSA_WITH_DES_CBC_SHA",
    "TLS_RSA_WITH_3DES_EDE_CBC_SHA",
    "TLS_DHE_RSA_WITH_DES_CBC_SHA",
    "TLS_DHE_RSA_WITH_3DES_EDE_CBC_SHA",
    "TLS_DHE_RSA_EXPORT_WITH_DES40_CBC_SHA",
    "TLS_DHE_DSS_WITH_DES_CBC_SHA",
    "TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA",
    "TLS_DH_anon_WITH_RC4_128_MD5",
    "TLS_DH_anon_EXPORT_WITH_RC4_40_MD5",
    "TLS_DH_anon_EXPORT_WITH_DES40_CBC_SHA",
    "TLS_DH_anon_WITH_DES_CBC_SHA",
    "TLS_DH_anon_WITH_3DES_EDE_CBC_SHA",
    "TLS_DH_RSA_WITH_DES_CBC_SHA",
    "TLS_DH_RSA_EXPORT_WITH_DES40_CBC_SHA",
    "TLS_DH_RSA_WITH_3DES_EDE_CBC_SHA",
    "TLS_DHE_DSS_EXPORT_WITH_DES40_CBC_SHA",
    "TLS_DH_DSS_EXPORT_WITH_DES40_CBC_SHA",
    "TLS_DH_DSS_WITH_DES_CBC_SHA",
    "TLS_DH_DSS_WITH_3DES_EDE_CBC_SHA",
    "TLS_RSA_WITH_AES_128_CBC_SHA",
    "TLS_RSA_WITH_AES_256_CBC_SHA",
    "TLS_DH_DSS_WITH_AES_128_CBC_SHA",
    "TLS_DH_DSS_WITH_AES_256_CBC_SHA",
    "TLS_DH_RSA_WITH_AES_128_CBC_SHA",
    "TLS_DH_RSA_WITH_AES_256_CBC_SHA",
    "TLS_DHE_DSS_WITH_AES_128_CBC_SHA",
    "TLS_DHE_DSS_WITH_AES_256_CBC_SHA",
    "TLS_DHE_RSA_WITH_AES_128_CBC_SHA",
    "TLS_DHE_RSA_WITH_AES_256_CBC_SHA",
    "TLS_DH_anon_WITH_AES_128_CBC_SHA",
    "TLS_DH_anon_WITH_AES_256_CBC_SHA",
};

struct CtxFree
{
    void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
};
struct SslFree
{
    void operator()(SSL* p) const noexcept { SSL_free(p); }
};
struct BioFree
{
    void operator()(BIO* p) const noexcept { BIO_free(p); }
};
struct PkeyFree
{
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct X509Free
{
    void operator()(X509* p) const noexcept { X509_free(p); }
};
struct BnFree
{
    void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};
struct FileClose
{
    void operator()(std::FILE* p) const noexcept { std::fclose(p); }
};
struct OpenSslFree
{
    void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};
using UniqueCtx = std::unique_ptr<SSL_CTX, CtxFree>;
using UniqueSsl = std::unique_ptr<SSL, SslFree>;
using UniqueBio = std::unique_ptr<BIO, BioFree>;

// Drains this thread's OpenSSL error queue into one readable line.
std::string TakeOpenSSLErrors()
{
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(e);
        char buf[256];
        if (!reason) {
            ERR_error_string_n(e, buf, sizeof buf);
            reason = buf;
        }
        if (!text.empty())
            text += "; ";
        text += reason;
    }
    return text;
}

std::string WithOpenSSLErrors(std::string what)
{
    const std::string detail = TakeOpenSSLErrors();
    if (!detail.empty())
        what += ": " + detail;
    return what;
}

UniqueCtx NewBareContext()
{
    ERR_clear_error();
    UniqueCtx ctx(SSL_CTX_new(TLS_method()));
    if (!ctx)
        throw std::runtime_error(WithOpenSSLErrors("TLS context could not be created"));
    // Our suites are all below what the default level allows; this context only.
    SSL_CTX_set_security_level(ctx.get(), 0);
    return ctx;
}

// Builds the cipher string in our order from the suites this library really has. Suites whose
// algorithms are missing (for example not built, or only in a provider that is not loaded) are
// not in the library's full list and drop out here.
std::string BuildCipherString()
{
    UniqueCtx probe = NewBareContext();
    if (!SSL_CTX_set_cipher_list(probe.get(), "ALL:COMPLEMENTOFALL"))
        throw std::runtime_error(WithOpenSSLErrors("TLS cipher list could not be read"));
    std::map<std::string, std::string, std::less<>> byStandardName;
    STACK_OF(SSL_CIPHER)* all = SSL_CTX_get_ciphers(probe.get());
    for (int i = 0; i < sk_SSL_CIPHER_num(all); ++i) {
        const SSL_CIPHER* c = sk_SSL_CIPHER_value(all, i);
        const char* standard = SSL_CIPHER_standard_name(c);
        if (standard && SSL_CIPHER_get_cipher_nid(c) != NID_undef) // never a NULL-encryption suite
            byStandardName.emplace(standard, SSL_CIPHER_get_name(c));
    }
    std::string list;
    for (const char* suite : kPreferredSuites) {
        auto it = byStandardName.find(suite);
        if (it == byStandardName.end())
            continue;
        if (!list.empty())
            list += ':';
        list += it->second;
    }
    if (list.empty())
        throw std::runtime_error("This OpenSSL implements none of our TLS 1.0 cipher suites");
    return list;
}

} // namespace

// ---------------------------------------------------------------------------------------------

struct TMCTLSContext::Private
{
    UniqueCtx Ctx;
    TMCCertificateValidator Validator;
};

TMCTLSContext::TMCTLSContext(PrivateTag, bool server) : FServer(server), FP(std::make_unique<Private>())
{
    FP->Ctx = NewBareContext();
    SSL_CTX* ctx = FP->Ctx.get();
    if (!SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_VERSION))
        throw std::runtime_error(WithOpenSSLErrors("TLS 1.0 could not be selected"));
    if (!SSL_CTX_set_cipher_list(ctx, BuildCipherString().c_str()))
        throw std::runtime_error(WithOpenSSLErrors("TLS cipher suites could not be set"));
    SSL_CTX_set_ciphersuites(ctx, ""); // no TLS 1.3 suites, the version is capped anyway

    // Every connection is a fresh full handshake: no session cache, no tickets.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    // The held-back data is written from a buffer that moves as it is consumed.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);

    if (server) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_dh_auto(ctx, 1); // parameters for the DHE and anonymous DH suites
    } else {
        // Older gateways may not know the secure-renegotiation extension; OpenSSL 3 would refuse them.
        SSL_CTX_set_options(ctx, SSL_OP_LEGACY_SERVER_CONNECT);
        // Our callback replaces the chain check; VERIFY_PEER makes its "no" end the handshake.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(
            ctx,
            [](X509_STORE_CTX* store, void* arg) -> int {
                const auto* p = static_cast<const Private*>(arg);
                if (!p->Validator)
                    return 1;
                X509* cert = X509_STORE_CTX_get0_cert(store);
                unsigned char* der = nullptr;
                const int len = cert ? i2d_X509(cert, &der) : -1;
                bool accepted = false;
                if (len > 0) {
                    try {
                        accepted = p->Validator(std::string_view(reinterpret_cast<const char*>(der), len));
                    } catch (...) {
                        accepted = false;
                    }
                }
                OPENSSL_free(der);
                if (!accepted)
                    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
                return accepted ? 1 : 0;
            },
            FP.get());
    }
}

TMCTLSContext::~TMCTLSContext() = default;

std::shared_ptr<TMCTLSContext> TMCTLSContext::CreateClient(TMCCertificateValidator validator)
{
    auto context = std::make_shared<TMCTLSContext>(PrivateTag{}, false);
    context->FP->Validator = std::move(validator);
    return context;
}

std::shared_ptr<TMCTLSContext> TMCTLSContext::CreateServer(const std::string& certFile,
                                                           const std::string& keyFile)
{
    auto context = std::make_shared<TMCTLSContext>(PrivateTag{}, true);
    SSL_CTX* ctx = context->FP->Ctx.get();
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1)
        throw std::runtime_error(
            WithOpenSSLErrors("TLS certificate file \"" + certFile + "\" cannot be used"));
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error(WithOpenSSLErrors("TLS key file \"" + keyFile + "\" cannot be used"));
    if (SSL_CTX_check_private_key(ctx) != 1)
        throw std::runtime_error(WithOpenSSLErrors(
            "TLS key file \"" + keyFile + "\" does not belong to the certificate in \"" + certFile + "\""));
    return context;
}

std::unique_ptr<TMCTLSEngine> TMCTLSContext::NewEngine()
{
    return std::make_unique<TMCTLSEngine>(shared_from_this());
}

std::string TMCTLSContext::CipherString()
{
    return BuildCipherString();
}

std::vector<std::string> TMCTLSContext::OfferedCipherSuites()
{
    auto context = CreateClient();
    UniqueSsl ssl(SSL_new(context->FP->Ctx.get()));
    if (!ssl)
        throw std::runtime_error(WithOpenSSLErrors("TLS connection object could not be created"));
    // What a client hello of ours carries: the list after version and security filtering.
    STACK_OF(SSL_CIPHER)* offered = SSL_get1_supported_ciphers(ssl.get());
    std::vector<std::string> names;
    for (int i = 0; i < sk_SSL_CIPHER_num(offered); ++i)
        names.emplace_back(SSL_CIPHER_standard_name(sk_SSL_CIPHER_value(offered, i)));
    sk_SSL_CIPHER_free(offered);
    return names;
}

// ---------------------------------------------------------------------------------------------

namespace {

// A byte buffer consumed from the front without moving the rest on every take.
class ByteQueue
{
public:
    bool Empty() const noexcept { return FData.size() == FHead; }
    std::size_t Size() const noexcept { return FData.size() - FHead; }
    const char* Front() const noexcept { return FData.data() + FHead; }
    void Append(std::string_view bytes) { FData.append(bytes); }
    void Prepend(std::string_view bytes)
    {
        if (bytes.size() <= FHead) {
            FHead -= bytes.size();
            std::memcpy(FData.data() + FHead, bytes.data(), bytes.size());
        } else {
            FData.replace(0, FHead, bytes);
            FHead = 0;
        }
    }
    void Consume(std::size_t n) noexcept
    {
        FHead += std::min(n, Size());
        if (FHead == FData.size()) {
            FData.clear();
            FHead = 0;
        }
    }
    // Space for up to `n` more bytes at the end; Commit() says how many were filled.
    char* Reserve(std::size_t n)
    {
        if (FHead > 0 && FHead >= FData.size() / 2) {
            FData.erase(0, FHead);
            FHead = 0;
        }
        FReserved = FData.size();
        FData.resize(FReserved + n);
        return FData.data() + FReserved;
    }
    void Commit(std::size_t n) { FData.resize(FReserved + n); }
    void Clear() noexcept
    {
        FData.clear();
        FData.shrink_to_fit();
        FHead = 0;
    }

private:
    std::string FData;
    std::size_t FHead = 0;
    std::size_t FReserved = 0;
};

constexpr std::size_t kReadChunk = 16 * 1024; // one full TLS record

} // namespace

struct TMCTLSEngine::Private
{
    UniqueSsl Ssl;
    BIO* In = nullptr;  // ciphertext from the peer (owned by Ssl)
    BIO* Out = nullptr; // ciphertext for the peer (owned by Ssl)
    bool Server = false;
    bool Started = false;
    bool HandshakeDone = false;
    bool Closed = false;
    bool Failed = false;
    bool Eof = false;
    const TMCCertificateValidator* Validator = nullptr; // the context's; clients only
    std::string LastError;
    ByteQueue Plain; // decrypted, not yet taken
    ByteQueue Held;  // given to Encrypt(), not yet encrypted

    void Advance();
    void Handshake();
    bool CertificateLessServerAccepted();
    void ReadAll();
    void FlushHeld();
    // Looks at a failed SSL call; false when the engine is now closed.
    bool Check(int ret, const char* operation);
    void Fail(std::string what);
};

void TMCTLSEngine::Private::Fail(std::string what)
{
    if (LastError.empty())
        LastError = std::move(what);
    Closed = true;
    Failed = true;
    Held.Clear();
}

bool TMCTLSEngine::Private::Check(int ret, const char* operation)
{
    switch (SSL_get_error(Ssl.get(), ret)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: // the output is memory and never full; treated like want-read
        ERR_clear_error();
        return true;
    case SSL_ERROR_ZERO_RETURN: // close_notify
        ERR_clear_error();
        Closed = true;
        Held.Clear();
        return false;
    case SSL_ERROR_SYSCALL: {
        std::string detail = TakeOpenSSLErrors();
        Fail(std::string("TLS ") + operation +
             " failed: " + (detail.empty() ? std::string("connection closed by the peer") : detail));
        return false;
    }
    case SSL_ERROR_SSL: {
        std::string detail = TakeOpenSSLErrors();
        const long verify = SSL_get_verify_result(Ssl.get());
        if (verify != X509_V_OK)
            detail += std::string(detail.empty() ? "" : " (") + X509_verify_cert_error_string(verify) +
                      (detail.empty() ? "" : ")");
        Fail(std::string("TLS ") + operation + " failed: " + (detail.empty() ? "protocol error" : detail));
        return false;
    }
    default:
        Fail(std::string("TLS ") + operation + " failed: " + WithOpenSSLErrors("unexpected engine state"));
        return false;
    }
}

void TMCTLSEngine::Private::Handshake()
{
    ERR_clear_error();
    const int ret = SSL_do_handshake(Ssl.get());
    if (ret != 1) {
        Check(ret, "handshake");
        return;
    }
    if (!CertificateLessServerAccepted()) {
        Fail("TLS handshake failed: the server showed no certificate");
        return;
    }
    HandshakeDone = true;
}

// The verify callback never runs for an anonymous suite, so the validator is asked here instead.
bool TMCTLSEngine::Private::CertificateLessServerAccepted()
{
    if (Server || !Validator || !*Validator || SSL_get0_peer_certificate(Ssl.get()))
        return true;
    try {
        return (*Validator)(std::string_view());
    } catch (...) {
        return false;
    }
}

void TMCTLSEngine::Private::ReadAll()
{
    while (!Closed) {
        char* space = Plain.Reserve(kReadChunk);
        std::size_t got = 0;
        ERR_clear_error();
        const int ret = SSL_read_ex(Ssl.get(), space, kReadChunk, &got);
        Plain.Commit(ret == 1 ? got : 0);
        if (ret != 1) {
            Check(ret, "read");
            return;
        }
    }
}

void TMCTLSEngine::Private::FlushHeld()
{
    while (!Closed && HandshakeDone && !Held.Empty()) {
        std::size_t written = 0;
        ERR_clear_error();
        const int ret = SSL_write_ex(Ssl.get(), Held.Front(), Held.Size(), &written);
        if (ret != 1) {
            Check(ret, "write"); // want-read (a renegotiation): tried again on the next Process()
            return;
        }
        Held.Consume(written);
    }
}

void TMCTLSEngine::Private::Advance()
{
    if (Closed)
        return;
    Started = true;
    if (!HandshakeDone) {
        Handshake();
        if (!HandshakeDone)
            return;
    }
    FlushHeld();
    ReadAll();
    FlushHeld(); // a renegotiation finished by the read lets held data go
}

TMCTLSEngine::TMCTLSEngine(std::shared_ptr<TMCTLSContext> context)
    : FContext(std::move(context)), FP(std::make_unique<Private>())
{
    if (!FContext)
        throw std::invalid_argument("TMCTLSEngine needs a context");
    ERR_clear_error();
    FP->Ssl.reset(SSL_new(FContext->FP->Ctx.get()));
    UniqueBio in(BIO_new(BIO_s_mem()));
    UniqueBio out(BIO_new(BIO_s_mem()));
    if (!FP->Ssl || !in || !out)
        throw std::runtime_error(WithOpenSSLErrors("TLS connection object could not be created"));
    BIO_set_mem_eof_return(in.get(), -1); // empty input means "wait for more" until SignalEof()
    FP->In = in.release();
    FP->Out = out.release();
    SSL_set_bio(FP->Ssl.get(), FP->In, FP->Out);
    FP->Server = FContext->IsServer();
    FP->Validator = &FContext->FP->Validator;
    if (FP->Server)
        SSL_set_accept_state(FP->Ssl.get());
    else
        SSL_set_connect_state(FP->Ssl.get());
}

TMCTLSEngine::~TMCTLSEngine() = default;

void TMCTLSEngine::StartHandshake()
{
    if (FP->Started)
        return;
    FP->Advance();
}

void TMCTLSEngine::PutCiphertext(std::string_view bytes)
{
    if (FP->Closed || bytes.empty())
        return;
    std::size_t written = 0;
    if (BIO_write_ex(FP->In, bytes.data(), bytes.size(), &written) != 1 || written != bytes.size())
        FP->Fail(WithOpenSSLErrors("TLS input could not be buffered"));
}

void TMCTLSEngine::Process()
{
    FP->Advance();
}

void TMCTLSEngine::SignalEof()
{
    if (FP->Eof)
        return;
    FP->Eof = true;
    BIO_set_mem_eof_return(FP->In, 0);
    FP->Advance(); // what is still buffered first, then the end of the stream
    if (!FP->Closed)
        FP->Fail("TLS connection closed by the peer");
}

bool TMCTLSEngine::HandshakeComplete() const noexcept
{
    return FP->HandshakeDone;
}

bool TMCTLSEngine::Closed() const noexcept
{
    return FP->Closed;
}

bool TMCTLSEngine::Failed() const noexcept
{
    return FP->Failed;
}

bool TMCTLSEngine::HasCiphertext() const
{
    return BIO_ctrl_pending(FP->Out) > 0;
}

std::string TMCTLSEngine::TakeCiphertext()
{
    std::string out(BIO_ctrl_pending(FP->Out), '\0');
    std::size_t got = 0;
    if (!out.empty() && BIO_read_ex(FP->Out, out.data(), out.size(), &got) != 1)
        got = 0;
    out.resize(got);
    return out;
}

bool TMCTLSEngine::HasPlaintext() const noexcept
{
    return !FP->Plain.Empty();
}

std::size_t TMCTLSEngine::PlaintextSize() const noexcept
{
    return FP->Plain.Size();
}

std::size_t TMCTLSEngine::TakePlaintext(std::string& appendTo, std::size_t max)
{
    const std::size_t n = std::min(max, FP->Plain.Size());
    appendTo.append(FP->Plain.Front(), n);
    FP->Plain.Consume(n);
    return n;
}

std::size_t TMCTLSEngine::TakePlaintext(char* buffer, std::size_t max)
{
    const std::size_t n = std::min(max, FP->Plain.Size());
    std::memcpy(buffer, FP->Plain.Front(), n);
    FP->Plain.Consume(n);
    return n;
}

void TMCTLSEngine::UntakePlaintext(std::string_view bytes)
{
    FP->Plain.Prepend(bytes);
}

bool TMCTLSEngine::Encrypt(std::string_view plain)
{
    if (FP->Closed)
        return false;
    FP->Held.Append(plain);
    FP->FlushHeld();
    return !FP->Closed;
}

void TMCTLSEngine::Close()
{
    if (FP->Closed)
        return;
    if (FP->HandshakeDone) {
        FP->FlushHeld();
        if (!FP->Closed) {
            ERR_clear_error();
            SSL_shutdown(FP->Ssl.get()); // queues close_notify; the peer's answer is not awaited
            ERR_clear_error();
        }
    }
    FP->Closed = true;
    FP->Held.Clear();
}

std::string TMCTLSEngine::CipherName() const
{
    const SSL_CIPHER* cipher = FP->HandshakeDone ? SSL_get_current_cipher(FP->Ssl.get()) : nullptr;
    const char* name = cipher ? SSL_CIPHER_standard_name(cipher) : nullptr;
    return name ? name : "";
}

std::string TMCTLSEngine::ProtocolVersion() const
{
    return FP->HandshakeDone ? SSL_get_version(FP->Ssl.get()) : "";
}

std::string TMCTLSEngine::LastError() const
{
    return FP->LastError;
}

// ---------------------------------------------------------------------------------------------

namespace {

bool SetError(std::string* error, std::string what)
{
    if (error)
        *error = WithOpenSSLErrors(std::move(what));
    else
        ERR_clear_error();
    return false;
}

} // namespace

bool MCGenerateSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                                     std::string* error, int validDays)
{
    ERR_clear_error();
    if (validDays < 1)
        return SetError(error, "A certificate must be valid for at least one day");
    if (certFile.empty() || keyFile.empty() || certFile == keyFile)
        return SetError(error, "Certificate and key need two different file names");

    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(2048));
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!key || !cert)
        return SetError(error, "RSA key or certificate could not be created");

    // A random positive 63-bit serial keeps renewed certificates apart.
    unsigned char serialBytes[8];
    if (RAND_bytes(serialBytes, sizeof serialBytes) != 1)
        return SetError(error, "No random serial number");
    serialBytes[0] &= 0x7F;
    std::unique_ptr<BIGNUM, BnFree> serial(BN_bin2bn(serialBytes, sizeof serialBytes, nullptr));
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (!serial || X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) || // tolerate a peer's clock running late
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), validDays, 0, nullptr) ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Orvalis development gateway"), -1,
                                   -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key.get()) != 1 ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return SetError(error, "Certificate could not be built");

    // The key is readable by its owner only, also when the file existed before.
    const int fd = ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return SetError(error, "Key file \"" + keyFile + "\" cannot be written: " + std::strerror(errno));
    if (::fchmod(fd, 0600) != 0) {
        const int err = errno;
        ::close(fd);
        return SetError(error, "Key file \"" + keyFile + "\" cannot be protected: " + std::strerror(err));
    }
    std::unique_ptr<std::FILE, FileClose> keyOut(::fdopen(fd, "wb"));
    if (!keyOut) {
        ::close(fd);
        return SetError(error, "Key file \"" + keyFile + "\" cannot be written");
    }
    const bool keyWritten =
        PEM_write_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (std::fclose(keyOut.release()) != 0 || !keyWritten) {
        ::unlink(keyFile.c_str());
        return SetError(error, "Key file \"" + keyFile + "\" could not be written completely");
    }

    std::unique_ptr<std::FILE, FileClose> certOut(std::fopen(certFile.c_str(), "wb"));
    if (!certOut) {
        const int err = errno;
        ::unlink(keyFile.c_str());
        return SetError(error,
                        "Certificate file \"" + certFile + "\" cannot be written: " + std::strerror(err));
    }
    const bool certWritten = PEM_write_X509(certOut.get(), cert.get()) == 1;
    if (std::fclose(certOut.release()) != 0 || !certWritten) {
        ::unlink(certFile.c_str());
        ::unlink(keyFile.c_str());
        return SetError(error, "Certificate file \"" + certFile + "\" could not be written completely");
    }
    ERR_clear_error();
    return true;
}

// ---------------------------------------------------------------------------------------------

namespace {

std::string PublicKeyPinOf(X509* cert)
{
    X509_PUBKEY* key = X509_get_X509_PUBKEY(cert);
    unsigned char* spki = nullptr;
    const int length = key ? i2d_X509_PUBKEY(key, &spki) : -1;
    std::unique_ptr<unsigned char, OpenSslFree> owned(spki);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (length <= 0 || EVP_Digest(spki, static_cast<std::size_t>(length), digest, &digestLength, EVP_sha256(),
                                  nullptr) != 1) {
        ERR_clear_error();
        return {};
    }
    unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int base64Length = EVP_EncodeBlock(base64, digest, static_cast<int>(digestLength));
    return "sha256/" +
           std::string(reinterpret_cast<const char*>(base64), static_cast<std::size_t>(base64Length));
}

} // namespace

std::string MCPublicKeyPin(std::string_view derCertificate)
{
    if (derCertificate.empty() || derCertificate.size() > static_cast<std::size_t>(LONG_MAX))
        return {};
    const auto* begin = reinterpret_cast<const unsigned char*>(derCertificate.data());
    const unsigned char* p = begin;
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(derCertificate.size())));
    // Bytes after the certificate mean it is not the certificate we were given.
    if (!cert || p != begin + derCertificate.size()) {
        ERR_clear_error();
        return {};
    }
    return PublicKeyPinOf(cert.get());
}

std::string MCPublicKeyPinOfCertificateFile(const std::string& pemFile, std::string* error)
{
    ERR_clear_error();
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(pemFile.c_str(), "rb"));
    if (!file) {
        if (error)
            *error = "Certificate file \"" + pemFile + "\" cannot be read: " + std::strerror(errno);
        return {};
    }
    std::unique_ptr<X509, X509Free> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    std::string pin = cert ? PublicKeyPinOf(cert.get()) : std::string();
    if (pin.empty()) {
        SetError(error, "Certificate file \"" + pemFile + "\" holds no usable certificate");
        return {};
    }
    ERR_clear_error();
    return pin;
}
