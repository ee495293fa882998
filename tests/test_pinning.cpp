// Gateway pinning: the pin of a key, the pins of the settings file, and the
// establishment against gateways (the development gateway and openssl
// s_server) whose keys match a pin or not, directly and after a redirect.
#include "lib/orvConnectionsUtils.h"
#include "lib/orvGatewayPins.h"
#include "lib/orvThreads.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TlsTestPeer.h"
#include "transport/MCTLSEngine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

// Standard output of a shell command, and whether it exited with 0.
std::pair<std::string, bool> Shell(const std::string& command)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(::popen(command.c_str(), "r"), &::pclose);
    std::string text;
    char buffer[512];
    for (std::size_t n; out && (n = std::fread(buffer, 1, sizeof buffer, out.get())) > 0;)
        text.append(buffer, n);
    const int status = out ? ::pclose(out.release()) : -1;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return {text, status == 0};
}

// The pin as a deployment computes it with the openssl tool.
std::string OpenSslPin(const std::string& certFile)
{
    const auto [base64, ok] = Shell("openssl x509 -in '" + certFile +
                                    "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst "
                                    "-sha256 -binary | base64");
    return ok ? "sha256/" + base64 : "";
}

class Pinning : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        orvSync::SetMainThread();
        orvStartConnectionCore();
        Dir = std::make_unique<TempDir>();
        Ours = MakeSelfSignedRsaCertificate(*Dir, "ours");
        Foreign = MakeSelfSignedRsaCertificate(*Dir, "foreign");
        OurPin = OpenSslPin(Ours.CertFile);
        ForeignPin = OpenSslPin(Foreign.CertFile);
    }
    static void TearDownTestSuite()
    {
        orvShutdownConnectionCore();
        Dir.reset();
    }

    static std::vector<std::string> Serving(const TlsCertificate& c, std::vector<std::string> more = {})
    {
        more.insert(more.end(), {"--cert", c.CertFile, "--key", c.KeyFile});
        return more;
    }
    // s_server speaking our TLS 1.0 (or an anonymous suite without a certificate), tracing its records.
    static std::unique_ptr<TlsServerProcess> OpenSslServer(const TlsCertificate* c)
    {
        std::vector<std::string> args{"-tls1", "-rev", "-msg", "-cipher"};
        if (c)
            args.insert(args.end(), {"ALL:@SECLEVEL=0", "-cert", c->CertFile, "-key", c->KeyFile});
        else
            args.insert(args.end(), {"ADH-AES128-SHA:@SECLEVEL=0", "-nocert"});
        return std::make_unique<TlsServerProcess>(*Dir, args);
    }

    std::string Settings(const std::vector<int>& ports, const std::vector<std::string>& pins)
    {
        std::string ini = "[gateway]\n";
        for (std::size_t i = 0; i < ports.size(); ++i)
            ini += "gateway" + std::to_string(i + 1) + "=127.0.0.1:" + std::to_string(ports[i]) + "\n";
        for (std::size_t i = 0; i < pins.size(); ++i)
            ini += "pin" + std::to_string(i + 1) + "=" + pins[i] + "\n";
        const std::string path = FDir.File("orvcustomer-" + std::to_string(FIni++) + ".ini");
        WriteFile(path, ini);
        return path;
    }

    // Runs an establishment to its end; true when it registered.
    static bool Registers(TOrvServers& servers)
    {
        servers.Start(0, orvKindCustomer, "beta4", "EN", orvRegisteringDataVersion);
        return Establish(servers, 50s) != nullptr;
    }

    static inline std::unique_ptr<TempDir> Dir;
    static inline TlsCertificate Ours, Foreign;
    static inline std::string OurPin, ForeignPin;
    TempDir FDir;
    int FIni = 0;
};

std::string Der(const TempDir& dir, const std::string& certFile)
{
    const std::string der = dir.File("cert.der");
    EXPECT_EQ(RunOpenSsl({"x509", "-in", certFile, "-outform", "der", "-out", der}), 0);
    return ReadFile(der);
}

TEST_F(Pinning, APinIsTheOneTheOpenSslPipelinePrintsAndFollowsTheKeyNotTheCertificate)
{
    ASSERT_EQ(OurPin.size(), 7u + 44u) << OurPin;
    ASSERT_NE(OurPin, ForeignPin);
    const std::string der = Der(FDir, Ours.CertFile);
    EXPECT_EQ(MCPublicKeyPin(der), OurPin);
    EXPECT_EQ(MCPublicKeyPinOfCertificateFile(Ours.CertFile, nullptr), OurPin);
    EXPECT_EQ(MCPublicKeyPin(Der(FDir, Foreign.CertFile)), ForeignPin);

    // A new certificate for the same key keeps the pin.
    const std::string renewed = FDir.File("renewed.crt");
    ASSERT_EQ(RunOpenSsl({"req", "-x509", "-key", Ours.KeyFile, "-out", renewed, "-subj", "/CN=renewed"}), 0);
    EXPECT_EQ(MCPublicKeyPinOfCertificateFile(renewed, nullptr), OurPin);

    for (const std::string& bad :
         {std::string(), der.substr(0, der.size() - 1), der + '\0', std::string(40, 'x')})
        EXPECT_EQ(MCPublicKeyPin(bad), "");
    std::string error;
    EXPECT_EQ(MCPublicKeyPinOfCertificateFile(Ours.KeyFile, &error), "");
    EXPECT_NE(error.find(Ours.KeyFile), std::string::npos) << error;
    EXPECT_EQ(MCPublicKeyPinOfCertificateFile(FDir.File("missing.crt"), &error), "");
    EXPECT_NE(error.find("missing.crt"), std::string::npos) << error;
}

TEST_F(Pinning, OnlyWellFormedSha256PinsAreAccepted)
{
    const std::string digits(42, 'A');
    for (const std::string& good : {OurPin, "sha256/" + digits + "Q=", "sha256/+/" + digits.substr(2) + "8=",
                                    "sha256/" + digits + "w="})
        EXPECT_TRUE(orvIsWellFormedPin(good)) << good;
    for (const std::string& bad :
         {std::string(), std::string("sha256/"), OurPin.substr(7), "SHA256/" + OurPin.substr(7),
          "sha1/" + OurPin.substr(7),
          "sha256/" + digits + "B=",                           // spare bits set
          "sha256/" + digits + "A", "sha256/" + digits + "AA", // no padding
          "sha256/" + digits + "==", "sha256/" + digits + "A==",
          "sha256/" + digits.substr(2) + "AA==",                                           // length
          "sha256/" + digits + "-=", "sha256/" + digits + "_=", "sha256/" + digits + " =", // alphabet
          OurPin + " ", OurPin + "A"})
        EXPECT_FALSE(orvIsWellFormedPin(bad)) << bad;

    const TorvGatewayPins good = orvCheckGatewayPins({OurPin, ForeignPin});
    EXPECT_EQ(good.Error, "");
    EXPECT_EQ(good.Pins, (std::vector<std::string>{OurPin, ForeignPin}));
    EXPECT_TRUE(orvPinAccepted(good.Pins, ForeignPin));
    EXPECT_FALSE(orvPinAccepted(good.Pins, ""));
    EXPECT_TRUE(orvPinAccepted({}, ""));

    const TorvGatewayPins bad = orvCheckGatewayPins({OurPin, "sha256/" + std::string(100, 'x')});
    EXPECT_TRUE(bad.Pins.empty());
    EXPECT_EQ(bad.Error, "The settings file has an invalid gateway pin (pin2=sha256/" + std::string(53, 'x') +
                             "...). Your connection was not opened.");
}

TEST_F(Pinning, AMalformedPinFailsTheEstablishmentAtStartWithoutAConnection)
{
    GatewayProcess gateway(Serving(Ours));
    const struct
    {
        std::vector<std::string> Pins;
        std::string Named;
    } cases[] = {{{"sha1/abc"}, "(pin1=sha1/abc)"},
                 {{OurPin, OurPin.substr(0, 30)}, "(pin2=" + OurPin.substr(0, 30) + ")"},
                 {{""}, "(pin1=)"},
                 {{OurPin + "x"}, "(pin1=" + OurPin + "x)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Named);
        TOrvServers servers(Settings({gateway.Port()}, c.Pins), 60s);
        servers.Start(0, orvKindCustomer, "beta4", "EN", orvRegisteringDataVersion);
        EXPECT_TRUE(servers.Failed());
        EXPECT_EQ(servers.ConnectionCount(), 0u);
        EXPECT_EQ(servers.Poll(), nullptr);
        EXPECT_NE(servers.SettingsError().find(c.Named), std::string::npos) << servers.SettingsError();
        EXPECT_FALSE(servers.IdentityRefused());
    }
    // A pin that would not be read (after a gap, or without a number) must not switch pinning off quietly.
    const std::string gateway1 = "[gateway]\ngateway1=127.0.0.1:" + std::to_string(gateway.Port()) + "\n";
    for (const auto& [pins, named] :
         {std::pair{"pin2=" + OurPin + "\n", std::string("(pin2)")},
          std::pair{"Pin=" + OurPin + "\n", std::string("(Pin)")},
          std::pair{"pin1=" + OurPin + "\npin3=" + OurPin + "\n", std::string("(pin3)")}}) {
        SCOPED_TRACE(named);
        const std::string path = FDir.File("gap.ini");
        WriteFile(path, gateway1 + pins);
        TOrvServers servers(path, 60s);
        servers.Start(0, orvKindCustomer, "beta4", "EN", orvRegisteringDataVersion);
        EXPECT_TRUE(servers.Failed());
        EXPECT_EQ(servers.ConnectionCount(), 0u);
        EXPECT_NE(servers.SettingsError().find(named), std::string::npos) << servers.SettingsError();
    }
}

TEST_F(Pinning, AGatewayWhoseKeyMatchesAnyPinRegistersAndWithoutPinsAnyKeyDoes)
{
    GatewayProcess ours(Serving(Ours));
    for (const auto& pins : {std::vector<std::string>{OurPin}, std::vector<std::string>{ForeignPin, OurPin},
                             std::vector<std::string>{}}) {
        TOrvServers servers(Settings({ours.Port()}, pins));
        EXPECT_TRUE(Registers(servers)) << pins.size() << " pins";
        EXPECT_FALSE(servers.IdentityRefused());
    }
    // Of two gateways the one with the pinned key wins; the other is refused whenever it answers.
    GatewayProcess foreign(Serving(Foreign));
    TLogCapture log;
    TOrvServers servers(Settings({foreign.Port(), ours.Port()}, {OurPin}));
    EXPECT_TRUE(Registers(servers));
    const std::string refused = "Gateway 127.0.0.1:" + std::to_string(foreign.Port()) + " refused: its key " +
                                ForeignPin + " matches no pin of the settings file";
    EXPECT_TRUE(WaitUntil([&] { return log.Has(refused); }, 30s)) << log.Text();
    // Without pins that gateway is fine.
    TOrvServers unpinned(Settings({foreign.Port()}, {}));
    EXPECT_TRUE(Registers(unpinned));
}

TEST_F(Pinning, AForeignKeyIsRefusedAtOnceAndLogged)
{
    TLogCapture log;
    GatewayProcess foreign(Serving(Foreign));
    TOrvServers servers(Settings({foreign.Port()}, {OurPin}), 60s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Registers(servers));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "it waited for the deadline";
    EXPECT_TRUE(servers.Failed());
    EXPECT_TRUE(servers.IdentityRefused());
    EXPECT_EQ(servers.SettingsError(), "");
    EXPECT_TRUE(log.Has("Gateway 127.0.0.1:" + std::to_string(foreign.Port()) + " refused: its key " +
                        ForeignPin + " matches no pin of the settings file"))
        << log.Text();
    EXPECT_EQ(foreign.ErrorOutput().find(" registered"), std::string::npos) << foreign.ErrorOutput();
}

TEST_F(Pinning, ARedirectTargetWithAForeignKeyIsRefused)
{
    TLogCapture log;
    GatewayProcess target(Serving(Foreign));
    GatewayProcess redirecting(Serving(Ours, {"--redirect", "127.0.0.1:" + std::to_string(target.Port())}));
    TOrvServers servers(Settings({redirecting.Port()}, {OurPin}), 60s);
    EXPECT_FALSE(Registers(servers));
    EXPECT_TRUE(servers.IdentityRefused());
    EXPECT_TRUE(log.Has("Gateway 127.0.0.1:" + std::to_string(target.Port()) + " refused: its key " +
                        ForeignPin + " matches no pin of the settings file"))
        << log.Text();
    EXPECT_EQ(target.ErrorOutput().find(" registered"), std::string::npos) << target.ErrorOutput();
}

// In s_server's record trace (-msg): an application data record from the client.
bool ClientSentData(const TlsServerProcess& server)
{
    return server.Output().find("<<< TLS 1.0, RecordHeader [length 0005]\n    17 03 01") != std::string::npos;
}

TEST_F(Pinning, OpenSslServersAreRefusedDuringTheHandshakeUnlessTheirKeyIsPinned)
{
    for (const TlsCertificate* c : std::initializer_list<const TlsCertificate*>{&Foreign, nullptr}) {
        SCOPED_TRACE(c ? "foreign key" : "anonymous suite, no certificate");
        TLogCapture log;
        auto server = OpenSslServer(c);
        {
            TOrvServers refused(Settings({server->Port()}, {OurPin}), 60s);
            EXPECT_FALSE(Registers(refused));
            EXPECT_TRUE(refused.IdentityRefused());
        }
        EXPECT_TRUE(log.Has("Gateway 127.0.0.1:" + std::to_string(server->Port()) + " refused: " +
                            (c ? "its key " + ForeignPin + " matches no pin of the settings file"
                               : std::string("it showed no certificate"))))
            << log.Text();
        EXPECT_FALSE(ClientSentData(*server)) << server->Output();
        if (c) { // refused at the certificate, before any key exchange
            EXPECT_EQ(server->Output().find("ClientKeyExchange"), std::string::npos) << server->Output();
        }

        // With its pin (or, anonymous, without pins) the same server gets our data.
        TOrvServers accepted(
            Settings({server->Port()}, c ? std::vector<std::string>{ForeignPin} : std::vector<std::string>{}),
            60s);
        accepted.Start(0, orvKindCustomer, "beta4", "EN", orvRegisteringDataVersion);
        EXPECT_TRUE(WaitUntil(
            [&] {
                accepted.Poll();
                return ClientSentData(*server);
            },
            30s))
            << server->Output();
        EXPECT_FALSE(accepted.IdentityRefused());
    }
}

TEST_F(Pinning, TheGatewayPrintsItsOwnPin)
{
    const std::string gateway = GatewayProcess::BinaryPath();
    EXPECT_EQ(Shell(gateway + " --print-pin --cert " + Ours.CertFile + " --key " + Ours.KeyFile),
              std::make_pair(OurPin, true));

    // Without --cert: the state folder's pair, made if missing and kept.
    const std::string state = FDir.File("state");
    const auto made = Shell(gateway + " --print-pin --state-dir " + state);
    ASSERT_TRUE(made.second);
    EXPECT_EQ(made.first, MCPublicKeyPinOfCertificateFile(state + "/gateway.crt", nullptr));
    EXPECT_EQ(made.first, OpenSslPin(state + "/gateway.crt"));
    EXPECT_EQ(Shell(gateway + " --print-pin --state-dir " + state), made);

    const auto broken =
        Shell(gateway + " --print-pin --cert " + Ours.KeyFile + " --key " + Ours.KeyFile + " 2>&1");
    EXPECT_FALSE(broken.second);
    EXPECT_NE(broken.first.find("holds no usable certificate"), std::string::npos) << broken.first;
}

} // namespace
