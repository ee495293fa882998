#include "platform/orvWindowMessages.h"

#include "platform/orvUniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t PacketMagic = 0x4f525657; // "ORVW"
constexpr std::uint16_t PacketVersion = 1;
// A window that answers late is as good as none; the probe of a socket
// file that exists is generous since replacing a live window is worse.
constexpr int ProbeWaitMs = 1000;

enum EKind : std::uint16_t { KindFind = 1, KindAnswer = 2, KindPost = 3 };

// One datagram, the same size for every kind.
struct [[gnu::packed]] TPacket
{
    std::uint32_t Magic;
    std::uint16_t Version;
    std::uint16_t Kind;
    std::uint64_t Token; // an answer repeats its find's
    std::uint32_t Msg;
    std::uint32_t Found; // answer: the window (and the child asked for) exists
    std::uint64_t WParam;
    std::int64_t LParam;
    char ChildClass[128]; // NUL-terminated; empty: the window itself
};
static_assert(sizeof(TPacket) == 168);

TPacket MakePacket(EKind kind, std::uint64_t token, const std::string& childClass)
{
    TPacket packet;
    std::memset(&packet, 0, sizeof packet);
    packet.Magic = PacketMagic;
    packet.Version = PacketVersion;
    packet.Kind = kind;
    packet.Token = token;
    std::memcpy(packet.ChildClass, childClass.data(),
                std::min(childClass.size(), sizeof packet.ChildClass - 1));
    return packet;
}

bool FitsPacket(const std::string& childClass)
{
    return childClass.size() < sizeof(TPacket::ChildClass) && childClass.find('\0') == std::string::npos;
}

struct TAddress
{
    sockaddr_un Addr{};
    socklen_t Length = 0;
};

TAddress PathAddress(const std::string& path)
{
    TAddress address;
    address.Addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.Addr.sun_path)
        throw std::runtime_error("window socket path too long: " + path);
    std::memcpy(address.Addr.sun_path, path.c_str(), path.size() + 1);
    address.Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return address;
}

std::string SocketName(const std::string& windowClass)
{
    std::string name = windowClass;
    for (char& c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            c = '_';
    return name;
}

std::string SocketPath(const std::string& windowClass)
{
    if (windowClass.empty())
        throw std::invalid_argument("a window needs a class name");
    return orvWindowFolder() + "/" + SocketName(windowClass);
}

TorvUniqueFd DatagramSocket()
{
    TorvUniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid())
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    return fd;
}

// A sender's socket with an automatic abstract name, so the window can answer it.
TorvUniqueFd AnswerableSocket()
{
    TorvUniqueFd fd = DatagramSocket();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t)) != 0)
        throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
    return fd;
}

bool SendPacket(int fd, const TPacket& packet, const TAddress& to)
{
    for (;;) {
        if (::sendto(fd, &packet, sizeof packet, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to.Addr),
                     to.Length) == static_cast<ssize_t>(sizeof packet))
            return true;
        if (errno != EINTR)
            return false; // no such socket, nobody bound to it, or its queue is full
    }
}

std::uint64_t NewToken()
{
    std::random_device random;
    return (static_cast<std::uint64_t>(random()) << 32) | random();
}

// Sends a find to the window's socket and waits for its answer: whether
// the window, and the child class asked for, exist.
bool Find(int fd, const TAddress& window, const std::string& childClass, int waitMs)
{
    if (!FitsPacket(childClass))
        return false;
    const std::uint64_t token = NewToken();
    if (!SendPacket(fd, MakePacket(KindFind, token, childClass), window))
        return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        TPacket answer;
        const ssize_t n = ::recv(fd, &answer, sizeof answer, MSG_TRUNC);
        if (n == static_cast<ssize_t>(sizeof answer) && answer.Magic == PacketMagic &&
            answer.Version == PacketVersion && answer.Kind == KindAnswer && answer.Token == token)
            return answer.Found != 0;
        if (n >= 0 || errno == EINTR)
            continue; // not the answer: anything may be sent to an abstract name
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd wait{fd, POLLIN, 0};
        ::poll(&wait, 1, static_cast<int>(left.count()) + 1);
    }
}

} // namespace

std::string orvWindowFolder()
{
    std::string folder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        folder = std::string(runtime) + "/orvalis-windows";
    else
        folder = "/tmp/orvalis-windows-" + std::to_string(::geteuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + folder + ": " + std::strerror(errno));
    // Anyone who may enter it could pose as a window or read what is posted.
    struct stat info;
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0)
        throw std::runtime_error(folder + " is not a private folder of ours");
    return folder;
}

bool TorvSocketWindowMessenger::FindWindow(const std::string& windowClass, const std::string& childClass)
{
    try {
        const auto fd = AnswerableSocket();
        return Find(fd.Get(), PathAddress(SocketPath(windowClass)), childClass, FAnswerWaitMs);
    } catch (const std::exception&) {
        return false;
    }
}

bool TorvSocketWindowMessenger::PostMessage(const std::string& windowClass, const std::string& childClass,
                                            const TorvWindowMessage& message)
{
    try {
        const auto fd = AnswerableSocket();
        const auto window = PathAddress(SocketPath(windowClass));
        if (!Find(fd.Get(), window, childClass, FAnswerWaitMs))
            return false;
        auto packet = MakePacket(KindPost, 0, childClass);
        packet.Msg = message.Msg;
        packet.WParam = message.WParam;
        packet.LParam = message.LParam;
        return SendPacket(fd.Get(), packet, window);
    } catch (const std::exception&) {
        return false;
    }
}

TorvMessageWindow::TorvMessageWindow(std::string windowClass, std::vector<std::string> childClasses)
    : FClass(std::move(windowClass)), FChildren(std::move(childClasses)), FPath(SocketPath(FClass))
{
    for (const auto& child : FChildren)
        if (child.empty() || !FitsPacket(child))
            throw std::invalid_argument("not a child window class: \"" + child + "\"");
    const auto address = PathAddress(FPath);
    auto fd = DatagramSocket();
    const auto bindIt = [&] {
        return ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address.Addr), address.Length) == 0;
    };
    if (!bindIt()) {
        if (errno != EADDRINUSE)
            throw std::runtime_error("cannot create the window socket " + FPath + ": " +
                                     std::strerror(errno));
        // Left behind by an owner that died, or still someone's window.
        const auto probe = AnswerableSocket();
        if (Find(probe.Get(), address, "", ProbeWaitMs))
            throw std::runtime_error("a window of class \"" + FClass + "\" already exists");
        ::unlink(FPath.c_str());
        if (!bindIt())
            throw std::runtime_error("cannot create the window socket " + FPath + ": " +
                                     std::strerror(errno));
    }
    struct stat info;
    if (::stat(FPath.c_str(), &info) == 0) {
        FDevice = info.st_dev;
        FInode = info.st_ino;
    }
    FFd = fd.Release();
}

TorvMessageWindow::~TorvMessageWindow()
{
    // Only our own socket: a later owner may have replaced ours already.
    struct stat info;
    if (::stat(FPath.c_str(), &info) == 0 && info.st_dev == FDevice && info.st_ino == FInode)
        ::unlink(FPath.c_str());
    ::close(FFd);
}

std::optional<TorvMessageWindow::Posted> TorvMessageWindow::Receive()
{
    for (;;) {
        TPacket packet;
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(FFd, &packet, sizeof packet, MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n != static_cast<ssize_t>(sizeof packet) || packet.Magic != PacketMagic ||
            packet.Version != PacketVersion)
            continue;
        packet.ChildClass[sizeof packet.ChildClass - 1] = '\0';
        const std::string child = packet.ChildClass;
        if (packet.Kind == KindFind) {
            const bool found =
                child.empty() || std::find(FChildren.begin(), FChildren.end(), child) != FChildren.end();
            TPacket answer = MakePacket(KindAnswer, packet.Token, child);
            answer.Found = found ? 1 : 0;
            // A sender without a name cannot be answered.
            if (fromLength > sizeof(sa_family_t)) {
                ::sendto(FFd, &answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&from), fromLength);
            }
        } else if (packet.Kind == KindPost) {
            return Posted{child, TorvWindowMessage{packet.Msg, packet.WParam, packet.LParam}};
        }
    }
}
