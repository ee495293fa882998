// Stands in for the host program: "fakehost -password=X -port=N" listens on
// 127.0.0.1:5900+N, greets every client with $ORV_FAKEHOST_GREETING (default
// "RFB 003.006\n") and keeps each connection, reading and dropping what
// comes, until the client leaves. With ORV_FAKEHOST_IGNORE_TERM=1 it ignores
// SIGTERM, like a host that hangs while closing.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    int display = -1;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "-port=", 6) == 0)
            display = std::atoi(argv[i] + 6);
    if (display < 0 || display > 1000) {
        std::fprintf(stderr, "fakehost: -port=N missing\n");
        return 2;
    }
    const char* greeting = std::getenv("ORV_FAKEHOST_GREETING");
    if (!greeting)
        greeting = "RFB 003.006\n";
    // Before listening, so a test that has seen the greeting knows it holds.
    if (const char* ignore = std::getenv("ORV_FAKEHOST_IGNORE_TERM"); ignore && std::strcmp(ignore, "1") == 0)
        std::signal(SIGTERM, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(5900 + display));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0) {
        std::perror("fakehost: listen");
        return 1;
    }
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (std::size_t i = fds.size(); i-- > 1;) {
            if (!fds[i].revents)
                continue;
            char buffer[4096];
            if (::read(fds[i].fd, buffer, sizeof buffer) <= 0) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ::send(client, greeting, std::strlen(greeting), MSG_NOSIGNAL);
                fds.push_back({client, POLLIN, 0});
            }
        }
    }
}
