#pragma once

// An X display of a test's own: a private Xvfb, with the few Xlib calls
// tests need to look at it (root window colour, pixels, the pointer).

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

struct _XDisplay;

namespace orvtest {

struct TRgb
{
    std::uint8_t R = 0, G = 0, B = 0;
    bool operator==(const TRgb&) const = default;
};

struct TPoint
{
    int X = 0, Y = 0;
    bool operator==(const TPoint&) const = default;
};

// Starts Xvfb on a display number it picks itself (-displayfd), 640x480x24,
// no TCP, and waits until it accepts connections; stops it with the object.
// Raises std::runtime_error when it does not come up.
class TXvfb
{
public:
    TXvfb();
    ~TXvfb();
    TXvfb(const TXvfb&) = delete;
    TXvfb& operator=(const TXvfb&) = delete;

    // ":N", for DISPLAY.
    const std::string& Name() const { return FName; }
    pid_t Pid() const { return FPid; }

    void PaintRoot(TRgb colour);
    TRgb Pixel(int x, int y);
    // Moves there and presses and releases the first button: a viewer passes
    // pointer input on from the first button press.
    void Click(int x, int y);
    TPoint Pointer();

private:
    struct TCloser
    {
        void operator()(_XDisplay* display) const;
    };
    pid_t FPid = -1;
    std::string FName;
    std::unique_ptr<_XDisplay, TCloser> FDisplay;
};

} // namespace orvtest
