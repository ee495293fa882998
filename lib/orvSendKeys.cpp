#include "lib/orvSendKeys.h"

#include "lib/orvConnections.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

namespace {

struct TKeyName
{
    std::string_view Name;
    std::uint32_t Code;
};

constexpr std::array<TKeyName, 44> KeyNames{{
    {"BKSP", 8},      {"BS", 8},      {"BACKSPACE", 8}, {"BREAK", 3},   {"CAPSLOCK", 20}, {"CLEAR", 12},
    {"DEL", 46},      {"DELETE", 46}, {"DOWN", 40},     {"END", 35},    {"START", 91},    {"RWIN", 92},
    {"APPS", 93},     {"ENTER", 13},  {"ESC", 27},      {"ESCAPE", 27}, {"F1", 112},      {"F10", 121},
    {"F11", 122},     {"F12", 123},   {"F13", 124},     {"F14", 125},   {"F15", 126},     {"F16", 127},
    {"F2", 113},      {"F3", 114},    {"F4", 115},      {"F5", 116},    {"F6", 117},      {"F7", 118},
    {"F8", 119},      {"F9", 120},    {"HELP", 47},     {"HOME", 36},   {"INS", 45},      {"LEFT", 37},
    {"NUMLOCK", 144}, {"PGDN", 34},   {"PGUP", 33},     {"PRTSC", 42},  {"RIGHT", 39},    {"SCROLLLOCK", 145},
    {"TAB", 9},       {"UP", 38},
}};

// Longer names are cut to this many characters, count included.
constexpr std::size_t MaxNameLength = 20;

char32_t AsciiUpper(char32_t c)
{
    return c >= U'a' && c <= U'z' ? c - U'a' + U'A' : c;
}

// Code points of a UTF-8 text; a byte that starts no valid sequence stands
// for the Latin-1 character of the same value, so Latin-1 text still types.
std::u32string DecodeUtf8(const std::string& text)
{
    std::u32string out;
    out.reserve(text.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = byte(i);
        std::size_t length = 0;
        char32_t cp = 0, least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, cp = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, cp = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, cp = lead & 0x07, least = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (byte(i + k) & 0xC0) == 0x80;
            cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        valid = valid && cp >= least && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (valid) {
            out.push_back(cp);
            i += length;
        } else {
            out.push_back(lead);
            ++i;
        }
    }
    return out;
}

// Like the count of "{TAB 3}": leading blanks and a sign allowed, nothing after the digits.
int ParseCount(std::u32string_view text)
{
    std::string ascii;
    for (const char32_t c : text) {
        if (c > 0x7F)
            throw EorvException("Invalid repeat count in key string");
        ascii.push_back(static_cast<char>(c));
    }
    std::size_t start = ascii.find_first_not_of(' ');
    if (start == std::string::npos)
        start = ascii.size();
    if (start < ascii.size() && ascii[start] == '+')
        ++start;
    int count = 0;
    const char* end = ascii.data() + ascii.size();
    const auto [next, error] = std::from_chars(ascii.data() + start, end, count);
    if (error != std::errc() || next != end || count > orvMaxKeyRepeat)
        throw EorvException("Invalid repeat count in key string: '" + ascii + "'");
    return count;
}

// The state of one Send call.
class TTypist
{
public:
    TTypist(TorvKeyboard& keyboard, bool wait, bool& numLock, const TorvKeysMessage& showMessage)
        : FKeyboard(keyboard), FWait(wait), FNumLock(numLock), FShowMessage(showMessage)
    {
    }

    bool Type(const std::u32string& keys);

private:
    void Event(std::uint32_t key, bool up, bool extended)
    {
        FKeyboard.KeyEvent(key, up, extended);
        if (FWait)
            FKeyboard.Flush();
    }

    void Press(std::uint32_t key, int count, bool release)
    {
        if (key == orvVK::NumLock) {
            // Num Lock is the typist's own state: nothing reaches the desktop.
            FNumLock = !FNumLock;
            return;
        }
        const bool extended = (key >= 33 && key <= 40) || key == 45 || key == 46;
        for (int i = 0; i < count; ++i) {
            Event(key, false, extended);
            if (release)
                Event(key, true, extended);
        }
    }

    void PressShifted(TorvKeyScan scan, int count = 1)
    {
        static constexpr std::pair<std::uint8_t, std::uint32_t> Modifiers[] = {
            {orvKeyNeedsShift, orvVK::Shift},
            {orvKeyNeedsCtrl, orvVK::Control},
            {orvKeyNeedsAlt, orvVK::Menu}};
        for (const auto& [bit, vk] : Modifiers)
            if (scan.Modifiers & bit)
                Press(vk, 1, false);
        Press(scan.Key, count, true);
        for (const auto& [bit, vk] : Modifiers)
            if (scan.Modifiers & bit)
                Event(vk, true, false);
    }

    void Hold(bool& held, std::uint32_t vk)
    {
        held = true;
        Press(vk, 1, false);
    }

    void ReleaseHeld()
    {
        if (FInGroup)
            return;
        for (const auto& [held, vk] : {std::pair{FShift, orvVK::Shift}, std::pair{FCtrl, orvVK::Control},
                                       std::pair{FAlt, orvVK::Menu}})
            if (held)
                Event(vk, true, false);
        FShift = FCtrl = FAlt = false;
    }

    void Message(const std::string& text)
    {
        if (FShowMessage)
            FShowMessage(text, "SendKeys");
    }

    bool TypeUntilDone(const std::u32string& keys);
    // Handles "{...": the index after what it consumed, or nothing without a closing brace.
    std::optional<std::size_t> Braced(const std::u32string& keys, std::size_t open);

    TorvKeyboard& FKeyboard;
    const bool FWait;
    bool& FNumLock;
    const TorvKeysMessage& FShowMessage;
    bool FShift = false, FCtrl = false, FAlt = false, FInGroup = false;
};

std::optional<std::size_t> TTypist::Braced(const std::u32string& keys, std::size_t open)
{
    const std::size_t close = keys.find(U'}', open + 1);
    if (close == std::u32string::npos) {
        Message("No Close");
        return std::nullopt;
    }
    if (close + 1 < keys.size() && keys[close + 1] == U'}') {
        PressShifted({orvVK::CloseBrace, orvKeyNeedsShift});
        ReleaseHeld();
        return close + 2;
    }

    std::u32string name;
    for (std::size_t i = open + 1; i < close && name.size() < MaxNameLength; ++i)
        name.push_back(AsciiUpper(keys[i]));
    int count = 1;
    if (const auto blank = name.find(U' '); blank != std::u32string::npos) {
        count = ParseCount(std::u32string_view(name).substr(blank + 1));
        name.resize(blank);
    }

    std::optional<TorvKeyScan> scan;
    if (name.size() == 1) {
        scan = FKeyboard.KeyScan(name[0]);
    } else {
        std::string ascii;
        for (const char32_t c : name)
            ascii.push_back(c <= 0x7F ? static_cast<char>(c) : '?');
        if (const std::uint32_t code = orvKeyNameCode(ascii))
            scan = TorvKeyScan{code, 0};
        else
            Message("Invalid Key Name");
    }
    if (scan) {
        PressShifted(*scan, count);
        ReleaseHeld();
    }
    return close + 1;
}

bool TTypist::Type(const std::u32string& keys)
{
    // However the string ends, no modifier is left down on the user's desktop:
    // a group that is never closed ends with it too.
    bool done = false;
    try {
        done = TypeUntilDone(keys);
    } catch (...) {
        FInGroup = false;
        ReleaseHeld();
        throw;
    }
    FInGroup = false;
    ReleaseHeld();
    return done;
}

bool TTypist::TypeUntilDone(const std::u32string& keys)
{
    for (std::size_t i = 0; i < keys.size();) {
        const char32_t c = keys[i];
        switch (c) {
        case U'%': Hold(FAlt, orvVK::Menu); break;
        case U'+': Hold(FShift, orvVK::Shift); break;
        case U'^': Hold(FCtrl, orvVK::Control); break;
        case U'(': FInGroup = true; break;
        case U')':
            FInGroup = false;
            ReleaseHeld();
            break;
        case U'~':
            Press(orvVK::Return, 1, true);
            ReleaseHeld();
            break;
        case U'{':
            if (i + 1 < keys.size() && keys[i + 1] == U'{') {
                PressShifted({orvVK::OpenBrace, orvKeyNeedsShift});
                ReleaseHeld();
                i += 3;
                continue;
            }
            if (const auto next = Braced(keys, i)) {
                i = *next;
                continue;
            }
            return false;
        default:
            if (const auto scan = FKeyboard.KeyScan(c)) {
                PressShifted(*scan);
                ReleaseHeld();
            } else {
                Message("Invalid KeyName");
            }
        }
        ++i;
    }
    ReleaseHeld();
    return true;
}

} // namespace

std::uint32_t orvKeyNameCode(const std::string& name)
{
    const auto same = [](std::string_view a, std::string_view b) {
        return std::ranges::equal(a, b, [](char x, char y) {
            return static_cast<char>(AsciiUpper(static_cast<unsigned char>(x))) == y;
        });
    };
    for (const auto& key : KeyNames)
        if (same(name, key.Name))
            return key.Code;
    return 0;
}

TorvSendKeys::TorvSendKeys(TorvKeysMessage showMessage) : FShowMessage(std::move(showMessage)) {}

bool TorvSendKeys::Send(TorvKeyboard& keyboard, const std::string& keys, bool wait)
{
    if (keys.empty())
        return false;
    return TTypist(keyboard, wait, FNumLock, FShowMessage).Type(DecodeUtf8(keys));
}
