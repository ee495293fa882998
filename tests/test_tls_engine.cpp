// The TLS engine against OpenSSL's own s_server and against itself in memory.
#include "transport/MCTLSEngine.h"

#include "tests/support/TestUtil.h"
#include "tests/support/TlsTestPeer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orvtest::TempDir;
using orvtest::TlsCertificate;
using orvtest::TlsServerProcess;
using orvtest::TlsTcpClient;

// What Debian 12's OpenSSL 3.0 still implements of our list (no RC4, DES, 3DES, IDEA, export or
// static-DH suites), with the suite numbers and OpenSSL's names.
struct Suite
{
    const char* Standard;
    const char* OpenSsl;
    unsigned Id;
};
constexpr Suite kExpectedSuites[] = {
    {"TLS_RSA_WITH_AES_128_CBC_SHA", "AES128-SHA", 0x002F},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", "AES256-SHA", 0x0035},
    {"TLS_DHE_DSS_WITH_AES_128_CBC_SHA", "DHE-DSS-AES128-SHA", 0x0032},
    {"TLS_DHE_DSS_WITH_AES_256_CBC_SHA", "DHE-DSS-AES256-SHA", 0x0038},
    {"TLS_DHE_RSA_WITH_AES_128_CBC_SHA", "DHE-RSA-AES128-SHA", 0x0033},
    {"TLS_DHE_RSA_WITH_AES_256_CBC_SHA", "DHE-RSA-AES256-SHA", 0x0039},
    {"TLS_DH_anon_WITH_AES_128_CBC_SHA", "ADH-AES128-SHA", 0x0034},
    {"TLS_DH_anon_WITH_AES_256_CBC_SHA", "ADH-AES256-SHA", 0x003A},
};

std::string Binary(std::size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen() % 4 == 0 ? 0 : gen() & 0xFF); // plenty of zero bytes
    return s;
}

// ----- engines pumped in memory ----------------------------------------------------------------

struct MemoryLink
{
    std::unique_ptr<TMCTLSEngine> Client;
    std::unique_ptr<TMCTLSEngine> Server;

    // Moves ciphertext both ways until neither side has anything to say.
    void Pump()
    {
        for (int round = 0; round < 10000; ++round) {
            bool moved = false;
            if (Client->HasCiphertext()) {
                Server->PutCiphertext(Client->TakeCiphertext());
                moved = true;
            }
            Server->Process();
            if (Server->HasCiphertext()) {
                Client->PutCiphertext(Server->TakeCiphertext());
                moved = true;
            }
            Client->Process();
            if (!moved && !Client->HasCiphertext() && !Server->HasCiphertext())
                return;
        }
        ADD_FAILURE() << "the engines never went quiet";
    }
    void Connect()
    {
        Server->StartHandshake();
        Client->StartHandshake();
        Pump();
    }
};

std::string TakeAll(TMCTLSEngine& e)
{
    std::string s;
    e.TakePlaintext(s);
    return s;
}

class TlsMemory : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        Dir = std::make_unique<TempDir>();
        Cert = Dir->File("gw.crt");
        Key = Dir->File("gw.key");
        std::string error;
        ASSERT_TRUE(MCGenerateSelfSignedCertificate(Cert, Key, &error)) << error;
        ServerContext = TMCTLSContext::CreateServer(Cert, Key);
        ClientContext = TMCTLSContext::CreateClient();
    }
    static void TearDownTestSuite()
    {
        ServerContext.reset();
        ClientContext.reset();
        Dir.reset();
    }
    MemoryLink NewLink(const std::shared_ptr<TMCTLSContext>& client = ClientContext)
    {
        return {client->NewEngine(), ServerContext->NewEngine()};
    }

    static inline std::unique_ptr<TempDir> Dir;
    static inline std::string Cert, Key;
    static inline std::shared_ptr<TMCTLSContext> ServerContext, ClientContext;
};

TEST(TlsSuites, OfferedListKeepsOurOrderAndNeverANullSuite)
{
    std::vector<std::string> expected;
    std::string cipherString;
    for (const auto& s : kExpectedSuites) {
        expected.emplace_back(s.Standard);
        // Separate appends: g++ 12 -O2 reports a false -Wrestrict on the one-expression form.
        if (!cipherString.empty())
            cipherString += ':';
        cipherString += s.OpenSsl;
    }
    EXPECT_EQ(TMCTLSContext::OfferedCipherSuites(), expected);
    EXPECT_EQ(TMCTLSContext::CipherString(), cipherString);

    // Our settings stay on our contexts: others keep OpenSSL's defaults, no extra provider.
    auto ours = TMCTLSContext::CreateClient();
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> plain(SSL_CTX_new(TLS_method()), &SSL_CTX_free);
    ASSERT_TRUE(plain);
    EXPECT_GE(SSL_CTX_get_security_level(plain.get()), 1);
    EXPECT_FALSE(OSSL_PROVIDER_available(nullptr, "legacy"));
}

TEST(TlsSuites, ClientHelloIsTls10WithExactlyTheOfferedSuites)
{
    auto engine = TMCTLSContext::CreateClient()->NewEngine();
    EXPECT_FALSE(engine->HasCiphertext());
    engine->StartHandshake();
    const std::string hello = engine->TakeCiphertext();
    ASSERT_GT(hello.size(), 50u);
    auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(hello.at(i))); };
    EXPECT_EQ(byte(0), 0x16u); // handshake record
    EXPECT_EQ(byte(1) << 8 | byte(2), 0x0301u);
    EXPECT_EQ(byte(5), 0x01u);                   // client hello
    EXPECT_EQ(byte(9) << 8 | byte(10), 0x0301u); // highest version offered: TLS 1.0
    std::size_t at = 11 + 32;                    // after the random
    at += 1 + byte(at);                          // session id
    const std::size_t suitesLength = byte(at) << 8 | byte(at + 1);
    std::vector<unsigned> ids;
    for (std::size_t i = 0; i < suitesLength; i += 2)
        ids.push_back(byte(at + 2 + i) << 8 | byte(at + 3 + i));
    std::vector<unsigned> expected;
    for (const auto& s : kExpectedSuites)
        expected.push_back(s.Id);
    expected.push_back(0x00FF); // the empty renegotiation-info signal OpenSSL adds
    EXPECT_EQ(ids, expected);
    EXPECT_FALSE(engine->HandshakeComplete());
    EXPECT_FALSE(engine->Closed());
}

TEST_F(TlsMemory, HandshakeAndDataBothWaysKeepZeroBytes)
{
    auto link = NewLink();
    // Given before the handshake: held and sent once it completes.
    ASSERT_TRUE(link.Client->Encrypt(std::string("early\0bird", 10)));
    link.Connect();
    ASSERT_TRUE(link.Client->HandshakeComplete());
    ASSERT_TRUE(link.Server->HandshakeComplete());
    EXPECT_EQ(link.Client->CipherName(), "TLS_RSA_WITH_AES_128_CBC_SHA");
    EXPECT_EQ(link.Server->CipherName(), link.Client->CipherName());
    EXPECT_EQ(link.Client->ProtocolVersion(), "TLSv1");
    EXPECT_EQ(TakeAll(*link.Server), std::string("early\0bird", 10));

    const std::string up = Binary(3000, 1), down = Binary(5000, 2);
    ASSERT_TRUE(link.Client->Encrypt(up));
    ASSERT_TRUE(link.Server->Encrypt(down));
    link.Pump();
    EXPECT_EQ(TakeAll(*link.Server), up);
    EXPECT_EQ(TakeAll(*link.Client), down);
    EXPECT_FALSE(link.Client->HasPlaintext());
    EXPECT_FALSE(link.Client->Closed());
    EXPECT_TRUE(link.Client->LastError().empty());
}

TEST_F(TlsMemory, LargeDataIsSplitIntoRecordsAndTakenInPieces)
{
    auto link = NewLink();
    link.Connect();
    const std::string data = Binary(1 << 20, 3);
    ASSERT_TRUE(link.Client->Encrypt(data));
    const std::string wire = link.Client->TakeCiphertext();
    std::size_t records = 0;
    for (std::size_t at = 0; at + 5 <= wire.size(); ++records) {
        EXPECT_EQ(wire[at], 0x17) << "application-data record expected at " << at;
        const std::size_t length =
            static_cast<unsigned char>(wire[at + 3]) << 8 | static_cast<unsigned char>(wire[at + 4]);
        EXPECT_LE(length, 16384u + 2048u);
        at += 5 + length;
    }
    EXPECT_GE(records, 64u);

    // Fed in odd-sized pieces and taken in small ones, the bytes come out whole and in order.
    std::string received;
    for (std::size_t at = 0; at < wire.size(); at += 7777) {
        link.Server->PutCiphertext(std::string_view(wire).substr(at, 7777));
        link.Server->Process();
        while (link.Server->TakePlaintext(received, 1000) > 0) {
        }
    }
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);

    // Pushed-back bytes are served again first.
    ASSERT_TRUE(link.Client->Encrypt("tail"));
    link.Pump();
    std::string first;
    ASSERT_EQ(link.Server->TakePlaintext(first, 2), 2u);
    link.Server->UntakePlaintext(first);
    EXPECT_EQ(link.Server->PlaintextSize(), 4u);
    EXPECT_EQ(TakeAll(*link.Server), "tail");
}

TEST_F(TlsMemory, HandshakeSurvivesOneByteAtATime)
{
    auto link = NewLink();
    link.Server->StartHandshake();
    link.Client->StartHandshake();
    for (int round = 0; round < 20 && !(link.Client->HandshakeComplete() && link.Server->HandshakeComplete());
         ++round) {
        for (auto [from, to] :
             {std::pair{link.Client.get(), link.Server.get()}, {link.Server.get(), link.Client.get()}}) {
            for (char c : from->TakeCiphertext()) {
                to->PutCiphertext(std::string_view(&c, 1));
                to->Process();
            }
        }
    }
    EXPECT_TRUE(link.Client->HandshakeComplete());
    EXPECT_TRUE(link.Server->HandshakeComplete());
}

TEST_F(TlsMemory, CloseNotifyIsSeenAsAnOrderlyClose)
{
    auto link = NewLink();
    link.Connect();
    ASSERT_TRUE(link.Client->Encrypt("last words"));
    link.Client->Close();
    EXPECT_TRUE(link.Client->Closed());
    EXPECT_FALSE(link.Client->Encrypt("too late"));
    link.Pump();
    EXPECT_TRUE(link.Server->Closed());
    EXPECT_FALSE(link.Server->Failed());
    EXPECT_TRUE(link.Server->LastError().empty());
    EXPECT_EQ(TakeAll(*link.Server), "last words"); // data before the close is not lost
    EXPECT_FALSE(link.Server->Encrypt("answer"));
}

TEST_F(TlsMemory, EndOfStreamWithoutCloseNotifyIsAFailureButKeepsDecryptedData)
{
    auto link = NewLink();
    link.Connect();
    ASSERT_TRUE(link.Client->Encrypt("before the cut"));
    link.Server->PutCiphertext(link.Client->TakeCiphertext());
    link.Server->SignalEof(); // what was buffered is still decrypted
    EXPECT_TRUE(link.Server->Closed());
    EXPECT_TRUE(link.Server->Failed());
    EXPECT_FALSE(link.Server->LastError().empty());
    EXPECT_EQ(TakeAll(*link.Server), "before the cut");

    auto early = NewLink();
    early.Client->StartHandshake();
    early.Client->SignalEof();
    EXPECT_TRUE(early.Client->Closed());
    EXPECT_FALSE(early.Client->HandshakeComplete());
}

TEST_F(TlsMemory, NonTlsBytesFromThePeerFailTheEngine)
{
    auto link = NewLink();
    link.Client->StartHandshake();
    link.Client->PutCiphertext("HTTP/1.1 400 Bad Request\r\n\r\n");
    link.Client->Process();
    EXPECT_TRUE(link.Client->Closed());
    EXPECT_TRUE(link.Client->Failed());
    EXPECT_THAT(link.Client->LastError(), ::testing::HasSubstr("handshake"));
    EXPECT_FALSE(link.Client->Encrypt("x"));

    link.Server->StartHandshake();
    link.Server->PutCiphertext(std::string(64, '\0'));
    link.Server->Process();
    EXPECT_TRUE(link.Server->Closed());
    EXPECT_FALSE(link.Server->HandshakeComplete());
}

TEST_F(TlsMemory, ValidatorSeesTheServerCertificateAndCanRefuseIt)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(Cert.c_str(), "rb"), &std::fclose);
    ASSERT_TRUE(file);
    std::unique_ptr<X509, void (*)(X509*)> x509(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                &X509_free);
    ASSERT_TRUE(x509);
    unsigned char* der = nullptr;
    const int derLength = i2d_X509(x509.get(), &der);
    const std::string expectedDer(reinterpret_cast<const char*>(der), static_cast<std::size_t>(derLength));
    OPENSSL_free(der);

    std::string seen;
    auto accepting = NewLink(TMCTLSContext::CreateClient([&](std::string_view d) {
        seen = d;
        return true;
    }));
    accepting.Connect();
    EXPECT_TRUE(accepting.Client->HandshakeComplete());
    EXPECT_TRUE(seen == expectedDer);

    auto refusing = NewLink(TMCTLSContext::CreateClient([](std::string_view) { return false; }));
    refusing.Connect();
    EXPECT_FALSE(refusing.Client->HandshakeComplete());
    EXPECT_TRUE(refusing.Client->Closed());
    EXPECT_THAT(refusing.Client->LastError(), ::testing::HasSubstr("certificate"));
    EXPECT_TRUE(refusing.Server->Closed()); // it got our alert

    auto throwing =
        NewLink(TMCTLSContext::CreateClient([](std::string_view) -> bool { throw std::bad_alloc(); }));
    throwing.Connect();
    EXPECT_TRUE(throwing.Client->Closed());
}

TEST_F(TlsMemory, EnginesOfSharedContextsRunOnSeveralThreads)
{
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                MemoryLink link{ClientContext->NewEngine(), ServerContext->NewEngine()};
                link.Connect();
                const std::string data = Binary(20000, static_cast<unsigned>(t * 100 + i));
                link.Client->Encrypt(data);
                link.Pump();
                std::string got;
                link.Server->TakePlaintext(got);
                if (link.Client->HandshakeComplete() && got == data)
                    ++good;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(good.load(), 20);
}

TEST_F(TlsMemory, ServerContextRefusesUnusableFiles)
{
    EXPECT_THAT([] { TMCTLSContext::CreateServer(Dir->File("missing.crt"), Key); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr("missing.crt")));
    EXPECT_THAT([] { TMCTLSContext::CreateServer(Cert, Dir->File("missing.key")); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr("missing.key")));
    const std::string otherCert = Dir->File("other.crt"), otherKey = Dir->File("other.key");
    std::string error;
    ASSERT_TRUE(MCGenerateSelfSignedCertificate(otherCert, otherKey, &error)) << error;
    EXPECT_THAT([&] { TMCTLSContext::CreateServer(Cert, otherKey); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr("mismatch")));
}

TEST_F(TlsMemory, GeneratedCertificateHasItsValidityAndAPrivateKey)
{
    // The suite's own pair serves every test above; here its details.
    struct stat st
    {
    };
    ASSERT_EQ(stat(Key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string cert = Dir->File("short.crt"), key = Dir->File("short.key");
    std::string error;
    ASSERT_TRUE(MCGenerateSelfSignedCertificate(cert, key, &error, 7)) << error;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(cert.c_str(), "rb"), &std::fclose);
    std::unique_ptr<X509, void (*)(X509*)> x509(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                &X509_free);
    ASSERT_TRUE(x509);
    int days = 0, seconds = 0;
    ASSERT_TRUE(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(x509.get())));
    EXPECT_TRUE(days == 7 || (days == 6 && seconds > 86000)) << days << " days " << seconds << " s";
    ASSERT_TRUE(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notBefore(x509.get())));
    EXPECT_LE(days * 86400 + seconds, 0);

    EXPECT_FALSE(MCGenerateSelfSignedCertificate(Dir->File("a.crt"), Dir->File("a.key"), &error, 0));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(MCGenerateSelfSignedCertificate(Dir->File("no/such/dir.crt"), Dir->File("b.key"), &error));
    EXPECT_THAT(error, ::testing::HasSubstr("no/such/dir.crt"));
    EXPECT_NE(access(Dir->File("b.key").c_str(), F_OK), 0) << "half a pair was left behind";
}

// ----- against openssl s_server ------------------------------------------------------------------

// Moves bytes between a TCP socket and an engine, waiting with poll().
class SocketPump
{
public:
    SocketPump(int port, std::shared_ptr<TMCTLSContext> context) : FTcp(port), FEngine(context->NewEngine())
    {
    }
    TMCTLSEngine& Engine() { return *FEngine; }

    // Runs until `done` holds, the engine closed with nothing left to write, or the deadline.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 20s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!done()) {
            FOut += FEngine->TakeCiphertext();
            if (FEngine->Closed() && (FOut.empty() || FTcpGone))
                return done();
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return done();
            pollfd p{FTcp.Fd(), static_cast<short>(POLLIN | (FOut.empty() ? 0 : POLLOUT)), 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) < 0 && errno != EINTR)
                return false;
            if ((p.revents & POLLOUT) && !FOut.empty()) {
                const ssize_t n = send(FTcp.Fd(), FOut.data(), FOut.size(), MSG_NOSIGNAL);
                if (n > 0)
                    FOut.erase(0, static_cast<std::size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    FTcpGone = true;
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[8192];
                const ssize_t n = recv(FTcp.Fd(), buf, sizeof buf, 0);
                if (n > 0) {
                    FEngine->PutCiphertext(std::string_view(buf, static_cast<std::size_t>(n)));
                    FEngine->Process();
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    FTcpGone = true;
                    FEngine->SignalEof();
                }
            }
        }
        return true;
    }
    bool Handshake()
    {
        FEngine->StartHandshake();
        return RunUntil([&] { return FEngine->HandshakeComplete(); });
    }
    // Sends one line and waits for s_server -rev's answer to it.
    std::string Echo(const std::string& line)
    {
        FEngine->Encrypt(line + "\n");
        std::string got;
        RunUntil([&] {
            FEngine->TakePlaintext(got);
            return got.find('\n') != std::string::npos;
        });
        return got;
    }

private:
    TlsTcpClient FTcp;
    std::unique_ptr<TMCTLSEngine> FEngine;
    std::string FOut;
    bool FTcpGone = false;
};

class TlsAgainstOpenSslServer : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        Dir = std::make_unique<TempDir>();
        Rsa = orvtest::MakeSelfSignedRsaCertificate(*Dir, "selfsigned");
        Expired = orvtest::MakeExpiredRsaCertificate(*Dir, "expired");
        Dsa = orvtest::MakeSelfSignedDsaCertificate(*Dir, "dsa");
        Client = TMCTLSContext::CreateClient();
    }
    static void TearDownTestSuite()
    {
        Client.reset();
        Dir.reset();
    }
    static std::unique_ptr<TlsServerProcess> Server(const std::vector<std::string>& protocolAndSuites,
                                                    const TlsCertificate* cert)
    {
        std::vector<std::string> args = protocolAndSuites;
        if (cert) {
            args.insert(args.end(), {"-cert", cert->CertFile, "-key", cert->KeyFile});
        } else {
            args.push_back("-nocert");
        }
        args.push_back("-rev"); // answers every line reversed
        return std::make_unique<TlsServerProcess>(*Dir, args);
    }

    static inline std::unique_ptr<TempDir> Dir;
    static inline TlsCertificate Rsa, Expired, Dsa;
    static inline std::shared_ptr<TMCTLSContext> Client;
};

TEST_F(TlsAgainstOpenSslServer, SelfSignedAndExpiredCertificatesAreAccepted)
{
    for (const TlsCertificate* cert : {&Rsa, &Expired}) {
        SCOPED_TRACE(cert->CertFile);
        auto server = Server({"-tls1", "-cipher", "ALL:@SECLEVEL=0"}, cert);
        SocketPump pump(server->Port(), Client);
        ASSERT_TRUE(pump.Handshake()) << pump.Engine().LastError() << "\n" << server->Output();
        EXPECT_EQ(pump.Engine().ProtocolVersion(), "TLSv1");
        EXPECT_EQ(pump.Engine().CipherName(), "TLS_RSA_WITH_AES_128_CBC_SHA"); // our first choice
        EXPECT_EQ(pump.Echo("hello gateway"), "yawetag olleh\n");
        EXPECT_EQ(pump.Echo(std::string(5000, 'a') + "b"), "b" + std::string(5000, 'a') + "\n");

        // The server going away ends the engine; no data is invented.
        server->Stop();
        EXPECT_TRUE(pump.RunUntil([&] { return pump.Engine().Closed(); }));
        EXPECT_FALSE(pump.Engine().HasPlaintext());
    }
}

TEST_F(TlsAgainstOpenSslServer, ServerAskingForAClientCertificateGetsNone)
{
    auto server = Server({"-tls1", "-cipher", "ALL:@SECLEVEL=0", "-verify", "1"}, &Rsa);
    SocketPump pump(server->Port(), Client);
    ASSERT_TRUE(pump.Handshake()) << pump.Engine().LastError() << "\n" << server->Output();
    EXPECT_EQ(pump.Echo("x"), "x\n");
    EXPECT_THAT(server->Output(), ::testing::HasSubstr("No peer certificate"));
}

TEST_F(TlsAgainstOpenSslServer, EveryOfferedSuiteReallyNegotiates)
{
    for (const auto& suite : kExpectedSuites) {
        SCOPED_TRACE(suite.Standard);
        const std::string name = suite.OpenSsl;
        const TlsCertificate* cert = name.find("ADH") == 0                   ? nullptr
                                     : name.find("DSS") != std::string::npos ? &Dsa
                                                                             : &Rsa;
        auto server = Server({"-tls1", "-cipher", name + ":@SECLEVEL=0"}, cert);
        SocketPump pump(server->Port(), Client);
        ASSERT_TRUE(pump.Handshake()) << pump.Engine().LastError() << "\n" << server->Output();
        EXPECT_EQ(pump.Engine().CipherName(), suite.Standard);
        EXPECT_EQ(pump.Echo("abc"), "cba\n");
    }
}

TEST_F(TlsAgainstOpenSslServer, NullOnlyOrNewerOnlyServersAreRefused)
{
    struct Case
    {
        std::vector<std::string> Args;
    };
    for (const auto& c : {Case{{"-tls1", "-cipher", "NULL-SHA:@SECLEVEL=0"}},
                          Case{{"-tls1", "-cipher", "NULL-MD5:NULL-SHA:@SECLEVEL=0"}},
                          Case{{"-tls1_2", "-cipher", "ALL:@SECLEVEL=0"}}}) {
        SCOPED_TRACE(c.Args[0] + " " + c.Args[2]);
        auto server = Server(c.Args, &Rsa);
        SocketPump pump(server->Port(), Client);
        EXPECT_FALSE(pump.Handshake());
        EXPECT_TRUE(pump.Engine().Closed());
        EXPECT_TRUE(pump.Engine().Failed());
        EXPECT_FALSE(pump.Engine().LastError().empty());
        EXPECT_FALSE(pump.Engine().Encrypt("x"));
    }
}

} // namespace
