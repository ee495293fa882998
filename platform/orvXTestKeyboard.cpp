#include "platform/orvKeyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <stdexcept>

namespace {

// Keys KeyScan hands out carry the keycode of the current layout in the low byte.
constexpr std::uint32_t LayoutKey = 0x10000;

KeySym VirtualKeySym(std::uint32_t vk)
{
    if (vk >= 'A' && vk <= 'Z')
        return XK_a + (vk - 'A');
    if (vk >= '0' && vk <= '9')
        return XK_0 + (vk - '0');
    if (vk >= 112 && vk <= 127)
        return XK_F1 + (vk - 112);
    switch (vk) {
    case 3: return XK_Break;
    case 8: return XK_BackSpace;
    case 9: return XK_Tab;
    case 12: return XK_Clear;
    case 13: return XK_Return;
    case 16: return XK_Shift_L;
    case 17: return XK_Control_L;
    case 18: return XK_Alt_L;
    case 20: return XK_Caps_Lock;
    case 27: return XK_Escape;
    case 32: return XK_space;
    case 33: return XK_Prior;
    case 34: return XK_Next;
    case 35: return XK_End;
    case 36: return XK_Home;
    case 37: return XK_Left;
    case 38: return XK_Up;
    case 39: return XK_Right;
    case 40: return XK_Down;
    case 42: return XK_Print;
    case 45: return XK_Insert;
    case 46: return XK_Delete;
    case 47: return XK_Help;
    case 91: return XK_Super_L;
    case 92: return XK_Super_R;
    case 93: return XK_Menu;
    case 144: return XK_Num_Lock;
    case 145: return XK_Scroll_Lock;
    case 219: return XK_bracketleft;
    case 221: return XK_bracketright;
    default: return NoSymbol;
    }
}

KeySym CharacterKeySym(char32_t c)
{
    if (c == U'\n' || c == U'\r')
        return XK_Return;
    if (c == U'\t')
        return XK_Tab;
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF))
        return c;
    if (c > 0xFF && c <= 0x10FFFF)
        return 0x01000000 | c;
    return NoSymbol;
}

struct TXkbFree
{
    void operator()(XkbDescPtr xkb) const { XkbFreeKeyboard(xkb, 0, True); }
};

class TorvXTestKeyboard final : public TorvKeyboard
{
public:
    explicit TorvXTestKeyboard(const std::string& name)
        : FDisplay(XOpenDisplay(name.empty() ? nullptr : name.c_str()))
    {
        const std::string shown = name.empty() ? "$DISPLAY" : name;
        if (!FDisplay)
            throw std::runtime_error("cannot open X display " + shown);
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(FDisplay.get(), &event, &error, &major, &minor))
            throw std::runtime_error("X display " + shown + " has no XTest extension");
        int opcode = 0;
        major = XkbMajorVersion;
        minor = XkbMinorVersion;
        FHasXkb = XkbQueryExtension(FDisplay.get(), &opcode, &event, &error, &major, &minor);
    }

    std::optional<TorvKeyScan> KeyScan(char32_t character) override
    {
        const KeySym wanted = CharacterKeySym(character);
        if (wanted == NoSymbol || !FHasXkb)
            return std::nullopt;
        XkbStateRec state{};
        if (XkbGetState(FDisplay.get(), XkbUseCoreKbd, &state) != Success)
            return std::nullopt;
        // Read afresh each time: the user may switch layouts between two key strings.
        const std::unique_ptr<XkbDescRec, TXkbFree> xkb(
            XkbGetMap(FDisplay.get(), XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
        if (!xkb || !xkb->map)
            return std::nullopt;
        // Plain keys first, so a character on two keys is typed without Shift.
        for (int level = 0; level < 2; ++level)
            for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
                const auto key = static_cast<KeyCode>(code);
                const int group = EffectiveGroup(xkb.get(), key, state.group);
                if (group < 0 || level >= XkbKeyGroupWidth(xkb.get(), key, group))
                    continue;
                if (XkbKeySymEntry(xkb.get(), key, level, group) != wanted)
                    continue;
                if (level == 0)
                    return TorvKeyScan{LayoutKey | key, 0};
                if (ShiftGivesSecondLevel(XkbKeyKeyType(xkb.get(), key, group)))
                    return TorvKeyScan{LayoutKey | key, orvKeyNeedsShift};
            }
        return std::nullopt;
    }

    void KeyEvent(std::uint32_t key, bool up, bool /*extended*/) override
    {
        KeyCode code = 0;
        if (key & LayoutKey) {
            code = static_cast<KeyCode>(key & 0xFF);
        } else if (const KeySym sym = VirtualKeySym(key); sym != NoSymbol) {
            code = XKeysymToKeycode(FDisplay.get(), sym);
        }
        // A key the layout lacks is left out, as a keyboard without it would.
        if (code == 0)
            return;
        XTestFakeKeyEvent(FDisplay.get(), code, up ? False : True, CurrentTime);
        XFlush(FDisplay.get());
    }

    void Flush() override { XSync(FDisplay.get(), False); }

private:
    // The group the key shows in the current group, as the server works it out; -1 for none.
    static int EffectiveGroup(XkbDescPtr xkb, KeyCode key, int group)
    {
        const int groups = XkbKeyNumGroups(xkb, key);
        if (groups == 0)
            return -1;
        if (group < groups)
            return group;
        const unsigned info = XkbKeyGroupInfo(xkb, key);
        switch (XkbOutOfRangeGroupAction(info)) {
        case XkbClampIntoRange: return groups - 1;
        case XkbRedirectIntoRange: {
            const int target = XkbOutOfRangeGroupNumber(info);
            return target < groups ? target : 0;
        }
        default: return group % groups;
        }
    }

    // Whether Shift alone selects the second level of keys of this type.
    static bool ShiftGivesSecondLevel(const XkbKeyTypeRec* type)
    {
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            if (entry.active && entry.level == 1 && entry.mods.mask == ShiftMask)
                return true;
        }
        return false;
    }

    struct TCloser
    {
        void operator()(Display* display) const { XCloseDisplay(display); }
    };
    std::unique_ptr<Display, TCloser> FDisplay;
    bool FHasXkb = false;
};

} // namespace

std::unique_ptr<TorvKeyboard> orvOpenDesktopKeyboard(const std::string& display)
{
    return std::make_unique<TorvXTestKeyboard>(display);
}
