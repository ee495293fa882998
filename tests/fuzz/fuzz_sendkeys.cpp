// Fuzzes the key notation of SendKeys against a recording keyboard: whatever
// the string, the typist must leave no key down on the user's desktop, send
// only keys it may send, and fail only in the documented ways.
// Input: one byte (bit 0: wait for every event), then the key string.
#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvSendKeys.h"
#include "platform/orvKeyboard.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// The layout's own keys (those KeyScan hands out) lie above the virtual keys.
constexpr std::uint32_t LayoutKeyBase = 0x1000;

// A layout with letters, digits and some signs on virtual keys, and other
// characters on keys of its own behind any mix of modifiers (some not at all).
class TRecordingKeyboard : public TorvKeyboard
{
public:
    std::optional<TorvKeyScan> KeyScan(char32_t c) override
    {
        if (c >= U'a' && c <= U'z')
            return TorvKeyScan{static_cast<std::uint32_t>(c - U'a' + 'A'), 0};
        if (c >= U'A' && c <= U'Z')
            return TorvKeyScan{static_cast<std::uint32_t>(c), orvKeyNeedsShift};
        if ((c >= U'0' && c <= U'9') || c == U' ')
            return TorvKeyScan{static_cast<std::uint32_t>(c), 0};
        if (c == U'{' || c == U'[')
            return TorvKeyScan{orvVK::OpenBrace, c == U'{' ? orvKeyNeedsShift : std::uint8_t{0}};
        if (c % 7 == 0)
            return std::nullopt;
        return TorvKeyScan{LayoutKeyBase + static_cast<std::uint32_t>(c), static_cast<std::uint8_t>(c % 8)};
    }

    void KeyEvent(std::uint32_t key, bool up, bool) override
    {
        // Num Lock is the typist's own; nothing but virtual keys and the layout's reaches the desktop.
        Check(key != orvVK::NumLock && key != 0);
        Check(key <= orvVK::LastVirtualKey || key > LayoutKeyBase);
        if (up)
            Down.erase(key);
        else
            Down.insert(key);
        ++Events;
    }

    void Flush() override { ++Flushes; }

    std::set<std::uint32_t> Down;
    std::size_t Events = 0;
    std::size_t Flushes = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    RedirectDebugLogForTesting("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool wait = (data[0] & 1) != 0;
    const std::string keys(reinterpret_cast<const char*>(data + 1), size - 1);

    std::size_t messages = 0;
    bool noClose = false;
    TorvSendKeys typist([&](const std::string& text, const std::string& caption) {
        Check(caption == "SendKeys");
        noClose = noClose || text == "No Close";
        ++messages;
    });
    TRecordingKeyboard keyboard;
    std::optional<bool> done;
    try {
        done = typist.Send(keyboard, keys, wait);
    } catch (const EorvException&) {
        // A repeat count that is not a number: the documented failure.
    } catch (...) {
        Check(false);
    }

    // However it ended, no key and no modifier stays down.
    Check(keyboard.Down.empty());
    Check(keyboard.Flushes == (wait ? keyboard.Events : 0));
    // Only an empty string or a brace without its closing brace fails.
    if (done == false)
        Check(keys.empty() || noClose);
    if (done == true)
        Check(!noClose);
    Check(messages <= keys.size());
    // Bounded work: no key string holds the keyboard (and the GUI thread) for long.
    Check(keyboard.Events <= keys.size() * 2 * (orvMaxKeyRepeat + 3));
    return 0;
}
