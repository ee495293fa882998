// Round trips and payload throughput between two messengers over TLS on
// loopback, beside a bare OpenSSL TLS 1.0 echo measured in the same run, and
// the CPU an idle linked connection costs.
#include "bench/Figure.h"
#include "tests/support/TestUtil.h"
#include "transport/MCMessenger.h"
#include "transport/MCSSLSocket.h"
#include "transport/MCSocketTransport.h"
#include "transport/MCTLSEngine.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRunTime = std::chrono::seconds(2);

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Dispatches as fast as it can, so the figures are the transport's, not a sleep's.
class BusyPump
{
public:
    explicit BusyPump(TMCMessenger& m)
        : FThread([this, &m] {
              while (!FStop) {
                  m.DispatchPending();
                  std::this_thread::yield();
              }
          })
    {
    }
    ~BusyPump()
    {
        FStop = true;
        FThread.join();
    }

private:
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Set when the messenger says it has work; a dispatcher sleeps on it.
class WorkSignal
{
public:
    explicit WorkSignal(TMCMessenger& m) : FMessenger(m)
    {
        m.SetOnWork([this] {
            {
                std::lock_guard lock(FMutex);
                FWork = true;
            }
            FChanged.notify_one();
        });
    }
    ~WorkSignal() { FMessenger.SetOnWork(nullptr); }

    // Sleeps until there is work (or a stop), then dispatches it; false once stopped.
    bool DispatchWhenWoken()
    {
        {
            std::unique_lock lock(FMutex);
            FChanged.wait(lock, [this] { return FWork || FStop; });
            if (FStop)
                return false;
            FWork = false;
        }
        FMessenger.DispatchPending();
        return true;
    }
    void Stop()
    {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FChanged.notify_all();
    }

private:
    TMCMessenger& FMessenger;
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FWork = false;
    bool FStop = false;
};

// Dispatches as the program's connection thread does: sleeps until woken.
class WokenPump
{
public:
    explicit WokenPump(TMCMessenger& m)
        : FSignal(m), FThread([this] {
              while (FSignal.DispatchWhenWoken()) {
              }
          })
    {
    }
    ~WokenPump()
    {
        FSignal.Stop();
        FThread.join();
    }

private:
    WorkSignal FSignal;
    std::thread FThread;
};

struct Result
{
    double roundTripsPerSecond;
    double payloadBytesPerSecond;
};

struct Pair
{
    Pair(const std::string& cert, const std::string& key)
    {
        serverQueue.SetQueueName("SendNote");
        serverQueue.SetMessenger(&serverMessenger);
        serverQueue.Handlers.Add().OnMessage = [](TMCQueue&, TMCMessage&, bool& handled) { handled = true; };
        serverFactory.SSLEnabled = true;
        serverFactory.SetServerCertificate(cert, key);
        server.SetSocketFactory(&serverFactory);
        server.SetTransportMode(stmServer);
        server.SetMessenger(&serverMessenger);
        server.SetMessengerAddress("127.0.0.1");
        server.SetActive(true);

        clientFactory.SSLEnabled = true;
        client.SetSocketFactory(&clientFactory);
        client.SetTransportMode(stmClient);
        client.SetMessenger(&clientMessenger);
        client.SetMessengerPort(7000);
        client.AttemptsToConnect = 60;
        client.AttemptsInterval = 500;
        client.SetActive(true);
        destination = "Socket:127.0.0.1:" + std::to_string(server.ListeningPort()) + "|SendNote";
    }
    ~Pair()
    {
        client.SetActive(false);
        server.SetActive(false);
    }

    // One request at a time; the handler sends the data back (ReturnData).
    // dispatchHere: the requester dispatches its replies itself, sleeping
    // until woken; none: it spins while another thread dispatches.
    Result Measure(std::size_t payload, Clock::duration duration, WorkSignal* dispatchHere = nullptr)
    {
        std::atomic<int> replies{0};
        TMCReplyProc onReply = [&](void*, TMCMessage&) { ++replies; };
        auto once = [&] {
            TMCMessage m;
            m.Priority = 75;
            m.MsgCode = 1000000001;
            m.Param1 = 2;
            m.Param2 = 1;
            m.ReturnData = true;
            m.Data.assign(payload, 'x');
            int before = replies;
            clientMessenger.SendWithCallbacks(destination, m, 30000, onReply, nullptr, nullptr, nullptr);
            while (replies == before) {
                if (dispatchHere)
                    dispatchHere->DispatchWhenWoken();
                else
                    std::this_thread::yield();
            }
        };
        once(); // connect and warm up
        long count = 0;
        const auto start = Clock::now();
        while (Clock::now() - start < duration) {
            once();
            ++count;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // Each round trip carries the payload both ways.
        return {count / seconds, 2.0 * payload * count / seconds};
    }

    TMCMessenger serverMessenger;
    TMCQueue serverQueue;
    TMCSSLSocketFactory serverFactory;
    TMCSocketTransport server;
    TMCMessenger clientMessenger;
    TMCSSLSocketFactory clientFactory;
    TMCSocketTransport client;
    std::string destination;
};

// The same exchange with OpenSSL alone: a blocking TLS 1.0 echo on loopback.
Result OpenSSLEcho(const std::string& cert, const std::string& key, std::size_t payload,
                   Clock::duration duration)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listener, 1);
    socklen_t len = sizeof sa;
    getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);

    const std::string ciphers = TMCTLSContext::CipherString();
    auto makeContext = [&](bool serverSide) {
        SSL_CTX* ctx = SSL_CTX_new(serverSide ? TLS_server_method() : TLS_client_method());
        SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_cipher_list(ctx, ciphers.c_str());
        if (serverSide) {
            SSL_CTX_use_certificate_chain_file(ctx, cert.c_str());
            SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM);
        }
        return ctx;
    };
    SSL_CTX* serverCtx = makeContext(true);
    SSL_CTX* clientCtx = makeContext(false);

    std::thread echo([&] {
        int fd = ::accept(listener, nullptr, nullptr);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL* ssl = SSL_new(serverCtx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            char buf[16384];
            for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;)
                SSL_write(ssl, buf, n);
        }
        SSL_free(ssl);
        ::close(fd);
    });

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL* ssl = SSL_new(clientCtx);
    SSL_set_fd(ssl, fd);
    Result result{0, 0};
    if (SSL_connect(ssl) == 1) {
        std::string out(payload, 'x'), in(payload, '\0');
        long count = 0;
        const auto start = Clock::now();
        while (Clock::now() - start < duration) {
            SSL_write(ssl, out.data(), static_cast<int>(out.size()));
            std::size_t got = 0;
            while (got < payload) {
                int n = SSL_read(ssl, in.data() + got, static_cast<int>(payload - got));
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            ++count;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        result = {count / seconds, 2.0 * payload * count / seconds};
    } else {
        std::fprintf(stderr, "OpenSSL echo: handshake failed\n");
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    echo.join();
    ::close(listener);
    SSL_CTX_free(serverCtx);
    SSL_CTX_free(clientCtx);
    return result;
}

} // namespace

int main()
{
    const orvtest::TempDir dir; // removed on every way out
    const std::string cert = dir.File("cert.pem"), key = dir.File("key.pem");
    std::string error;
    if (!MCGenerateSelfSignedCertificate(cert, key, &error)) {
        std::fprintf(stderr, "certificate: %s\n", error.c_str());
        return 1;
    }

    std::printf("transport benchmark: one request at a time over TLS 1.0 on loopback, %lld s per figure\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kRunTime).count()));
    // Two ways to dispatch: spinning threads (no wake-up latency of a
    // dispatcher, but on two cores they crowd out the transport's own), and
    // as the program does it, dispatchers that sleep until the messenger
    // wakes them, the requester dispatching its own replies.
    for (const bool woken : {false, true}) {
        std::printf("\n%s\n", woken
                                  ? "dispatchers sleep until the messenger wakes them (as the program runs); "
                                    "the requester dispatches its own replies"
                                  : "dispatchers and requester spinning");
        std::printf("%-8s %14s %14s %14s %14s %8s\n", "payload", "msgr rt/s", "msgr MB/s", "openssl rt/s",
                    "openssl MB/s", "ratio");
        Pair pair(cert, key);
        std::optional<BusyPump> busyServer, busyClient;
        std::optional<WokenPump> wokenServer;
        std::optional<WorkSignal> clientSignal;
        if (woken) {
            wokenServer.emplace(pair.serverMessenger);
            clientSignal.emplace(pair.clientMessenger);
        } else {
            busyServer.emplace(pair.serverMessenger);
            busyClient.emplace(pair.clientMessenger);
        }
        for (std::size_t payload : {16u, 1024u}) {
            Result ours = pair.Measure(payload, kRunTime, woken ? &*clientSignal : nullptr);
            Result bare = OpenSSLEcho(cert, key, payload, kRunTime);
            std::printf("%-8zu %14.0f %14.2f %14.0f %14.2f %8.2f\n", payload, ours.roundTripsPerSecond,
                        ours.payloadBytesPerSecond / 1e6, bare.roundTripsPerSecond,
                        bare.payloadBytesPerSecond / 1e6,
                        ours.roundTripsPerSecond / bare.roundTripsPerSecond);
            const std::string size = std::to_string(payload) + " B";
            const std::string prefix = woken ? "woken messenger " : "messenger ";
            Figure(prefix + size + ": round trips/s", ours.roundTripsPerSecond, 0);
            Figure(prefix + size + ": MB/s", ours.payloadBytesPerSecond / 1e6, 2);
            Figure((woken ? "openssl (beside woken) " : "openssl ") + size + ": round trips/s",
                   bare.roundTripsPerSecond, 0);
            Figure((woken ? "openssl (beside woken) " : "openssl ") + size + ": MB/s",
                   bare.payloadBytesPerSecond / 1e6, 2);
            Figure(prefix + "/openssl " + size + ": round-trip ratio",
                   ours.roundTripsPerSecond / bare.roundTripsPerSecond, 2);
        }
        // No delivery may reach a pump or signal while it goes.
        pair.client.SetActive(false);
        pair.server.SetActive(false);
    }
    {
        // A linked connection with nothing to do: its job waits in poll() without a timeout.
        Pair pair(cert, key);
        {
            BusyPump a(pair.serverMessenger), b(pair.clientMessenger);
            pair.Measure(16, std::chrono::milliseconds(100));
        }
        const double before = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double used = CpuSeconds() - before;
        std::printf(
            "idle linked connection (client and server side, no dispatching): %.4f s CPU in 10 s (%.3f%% of "
            "one core)\n",
            used, used / 10.0 * 100.0);
        Figure("idle linked connection: CPU % of one core", used / 10.0 * 100.0, 3);
    }
    return 0;
}
