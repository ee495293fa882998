#include "tests/support/XDisplay.h"

#include "platform/orvUniqueFd.h"
#include "tests/support/TestUtil.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orvtest {

namespace {

constexpr auto StartDeadline = std::chrono::seconds(20);

struct TImageDestroyer
{
    void operator()(XImage* image) const { XDestroyImage(image); }
};

int LowestBit(unsigned long mask)
{
    return mask ? std::countr_zero(mask) : 0;
}

std::uint8_t FromChannel(unsigned long pixel, unsigned long mask)
{
    const unsigned long top = mask >> LowestBit(mask);
    return static_cast<std::uint8_t>(top ? ((pixel & mask) >> LowestBit(mask)) * 255 / top : 0);
}

unsigned long ToChannel(std::uint8_t value, unsigned long mask)
{
    const unsigned long top = mask >> LowestBit(mask);
    return ((value * top + 127) / 255) << LowestBit(mask);
}

// Reads "N\n" from Xvfb's display pipe (non-blocking); empty when it ended or the deadline passed.
std::string ReadDisplayNumber(int fd)
{
    std::string text;
    WaitUntil(
        [&] {
            char buffer[32];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                text.append(buffer, static_cast<std::size_t>(n));
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) ||
                   text.find('\n') != std::string::npos;
        },
        StartDeadline);
    const auto end = text.find('\n');
    return end == std::string::npos ? "" : text.substr(0, end);
}

} // namespace

void TXvfb::TCloser::operator()(_XDisplay* display) const
{
    XCloseDisplay(display);
}

TXvfb::TXvfb()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0 || ::fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    TorvUniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const TorvUniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    std::vector<std::string> args{"Xvfb",      "-displayfd", std::to_string(writeEnd.Get()),
                                  "-screen",   "0",          "640x480x24",
                                  "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    FPid = ::fork();
    if (FPid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (FPid == 0) {
        ::fcntl(writeEnd.Get(), F_SETFD, 0); // the one descriptor Xvfb inherits
        ::dup2(devNull.Get(), STDIN_FILENO);
        ::dup2(devNull.Get(), STDOUT_FILENO);
        ::dup2(devNull.Get(), STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.Reset();

    const std::string number = ReadDisplayNumber(readEnd.Get());
    if (!number.empty()) {
        FName = ":" + number;
        FDisplay.reset(XOpenDisplay(FName.c_str()));
    }
    if (!FDisplay) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        throw std::runtime_error("Xvfb did not start" + (FName.empty() ? std::string() : " on " + FName));
    }
}

TXvfb::~TXvfb()
{
    FDisplay.reset();
    ::kill(FPid, SIGTERM);
    if (!WaitUntil([&] { return ::waitpid(FPid, nullptr, WNOHANG) != 0; }, std::chrono::seconds(5))) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
}

void TXvfb::PaintRoot(TRgb colour)
{
    Display* display = FDisplay.get();
    const Visual* visual = DefaultVisual(display, DefaultScreen(display));
    const unsigned long pixel = ToChannel(colour.R, visual->red_mask) |
                                ToChannel(colour.G, visual->green_mask) |
                                ToChannel(colour.B, visual->blue_mask);
    const Window root = DefaultRootWindow(display);
    XSetWindowBackground(display, root, pixel);
    XClearWindow(display, root);
    XSync(display, False);
}

TRgb TXvfb::Pixel(int x, int y)
{
    Display* display = FDisplay.get();
    const std::unique_ptr<XImage, TImageDestroyer> image(
        XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap));
    if (!image)
        throw std::runtime_error("XGetImage failed");
    const unsigned long pixel = XGetPixel(image.get(), 0, 0);
    return {FromChannel(pixel, image->red_mask), FromChannel(pixel, image->green_mask),
            FromChannel(pixel, image->blue_mask)};
}

void TXvfb::Click(int x, int y)
{
    Display* display = FDisplay.get();
    XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
}

TPoint TXvfb::Pointer()
{
    Display* display = FDisplay.get();
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX, &windowY,
                  &mask);
    return {rootX, rootY};
}

} // namespace orvtest
