#pragma once

// The desktop's keyboard as synthesised key presses need it: a key event
// source and the character-to-key lookup of the current layout. Keys are
// either virtual-key codes (below 256, the numbering the key strings use) or
// keys of the layout that KeyScan hands out.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Modifier bits of a TorvKeyScan, in the order they are pressed.
inline constexpr std::uint8_t orvKeyNeedsShift = 1;
inline constexpr std::uint8_t orvKeyNeedsCtrl = 2;
inline constexpr std::uint8_t orvKeyNeedsAlt = 4;

// Virtual-key codes with a meaning of their own here.
namespace orvVK {
inline constexpr std::uint32_t Shift = 16;
inline constexpr std::uint32_t Control = 17;
inline constexpr std::uint32_t Menu = 18; // Alt
inline constexpr std::uint32_t Return = 13;
inline constexpr std::uint32_t NumLock = 144;
inline constexpr std::uint32_t OpenBrace = 219;  // "[" and, shifted, "{"
inline constexpr std::uint32_t CloseBrace = 221; // "]" and, shifted, "}"
inline constexpr std::uint32_t LastVirtualKey = 255;
} // namespace orvVK

struct TorvKeyScan
{
    std::uint32_t Key = 0;
    std::uint8_t Modifiers = 0; // orvKeyNeeds* bits
    bool operator==(const TorvKeyScan&) const = default;
};

class TorvKeyboard
{
public:
    virtual ~TorvKeyboard() = default;
    // The key that types the character (a Unicode code point) in the current
    // layout, with the modifiers it needs; nothing when the layout has none.
    virtual std::optional<TorvKeyScan> KeyScan(char32_t character) = 0;
    // Presses or releases a key. Extended keys need nothing more on every
    // keyboard this runs on; the flag is kept for event sources that care.
    virtual void KeyEvent(std::uint32_t key, bool up, bool extended) = 0;
    // Waits until the events sent so far have reached the desktop.
    virtual void Flush() = 0;
};

// The keyboard of an X display (empty: the one $DISPLAY names), through
// XTest. Raises std::runtime_error when there is no display or it lacks XTest.
std::unique_ptr<TorvKeyboard> orvOpenDesktopKeyboard(const std::string& display = {});
