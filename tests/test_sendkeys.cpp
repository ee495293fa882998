// Key strings: the key events a string turns into on a recording keyboard,
// and one string typed for real through XTest into a Qt line edit on a
// private Xvfb.
#include "lib/orvConnections.h"
#include "lib/orvSendKeys.h"
#include "platform/orvKeyboard.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/XDisplay.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <unistd.h>
#include <vector>

void PrintTo(const TorvKeyScan& scan, std::ostream* out)
{
    *out << "{key " << scan.Key << ", modifiers " << int(scan.Modifiers) << "}";
}

namespace {

using namespace orvtest;
using namespace std::chrono_literals;

// A US-like layout; every event is written down as "D<key>" or "U<key>",
// with "x" for the extended flag.
class TRecordingKeyboard : public TorvKeyboard
{
public:
    TRecordingKeyboard()
    {
        for (char32_t c = U'a'; c <= U'z'; ++c) {
            FLayout[c] = {static_cast<std::uint32_t>(c - U'a' + 'A'), 0};
            FLayout[c - U'a' + U'A'] = {static_cast<std::uint32_t>(c - U'a' + 'A'), orvKeyNeedsShift};
        }
        for (char32_t c = U'0'; c <= U'9'; ++c)
            FLayout[c] = {static_cast<std::uint32_t>(c), 0};
        FLayout[U' '] = {32, 0};
        FLayout[U'!'] = {'1', orvKeyNeedsShift};
        FLayout[U','] = {188, 0};
        FLayout[U'+'] = {187, orvKeyNeedsShift};
        FLayout[U'['] = {219, 0};
        FLayout[U'{'] = {219, orvKeyNeedsShift};
        FLayout[U'}'] = {221, orvKeyNeedsShift};
        FLayout[U'é'] = {222, 0};
        FLayout[U'€'] = {'E', orvKeyNeedsCtrl | orvKeyNeedsAlt};
    }

    std::optional<TorvKeyScan> KeyScan(char32_t character) override
    {
        const auto found = FLayout.find(character);
        return found == FLayout.end() ? std::nullopt : std::optional(found->second);
    }
    void KeyEvent(std::uint32_t key, bool up, bool extended) override
    {
        Events += (Events.empty() ? "" : " ") + std::string(up ? "U" : "D") + std::to_string(key) +
                  (extended ? "x" : "");
        ++EventCount;
    }
    void Flush() override { ++Flushes; }

    std::string Events;
    int EventCount = 0;
    int Flushes = 0;

private:
    std::map<char32_t, TorvKeyScan> FLayout;
};

class SendKeys : public ::testing::Test
{
protected:
    // The events of one string; its result in Result.
    std::string Typed(const std::string& keys, bool wait = false)
    {
        Keyboard.Events.clear();
        Result = Keys.Send(Keyboard, keys, wait);
        return Keyboard.Events;
    }

    TRecordingKeyboard Keyboard;
    std::vector<std::string> Messages;
    TorvSendKeys Keys{[this](const std::string& text, const std::string& caption) {
        Messages.push_back(caption + ": " + text);
    }};
    bool Result = false;
};

TEST_F(SendKeys, TheMainWindowsTwoStrings)
{
    EXPECT_EQ(Typed("(^%{DEL})"), "D17 D18 D46x U46x U17 U18");
    EXPECT_TRUE(Result);
    EXPECT_EQ(Typed("{START}"), "D91 U91");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(SendKeys, ModifiersHoldForTheNextKeyOrTheWholeGroup)
{
    EXPECT_EQ(Typed("+a"), "D16 D65 U65 U16");
    EXPECT_EQ(Typed("^ab"), "D17 D65 U65 U17 D66 U66");
    EXPECT_EQ(Typed("+(ab)c"), "D16 D65 U65 D66 U66 U16 D67 U67");
    // A character's own Shift comes on top of a held one, and both go again.
    EXPECT_EQ(Typed("+A"), "D16 D16 D65 U65 U16 U16");
    // The layout's modifiers go down and up in the order Shift, Ctrl, Alt.
    EXPECT_EQ(Typed("€"), "D17 D18 D69 U69 U17 U18");
    EXPECT_EQ(Typed("~"), "D13 U13");
    EXPECT_EQ(Typed("%~x"), "D18 D13 U13 U18 D88 U88");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(SendKeys, NamedKeysAndRepeatCounts)
{
    EXPECT_EQ(Typed("{TAB 3}"), "D9 U9 D9 U9 D9 U9");
    EXPECT_EQ(Typed("{f12}{Bksp}{esc}"), "D123 U123 D8 U8 D27 U27");
    EXPECT_EQ(Typed("{PGUP}{PGDN}{END}{HOME}{LEFT}{UP}{RIGHT}{DOWN}{INS}"),
              "D33x U33x D34x U34x D35x U35x D36x U36x D37x U37x D38x U38x D39x U39x D40x U40x D45x U45x");
    // The held Shift stays down over all repeats.
    EXPECT_EQ(Typed("+{LEFT 2}"), "D16 D37x U37x D37x U37x U16");
    // A one-character name is upper-cased, then typed as that character.
    EXPECT_EQ(Typed("{a 2}"), "D16 D65 U65 D65 U65 U16");
    EXPECT_EQ(Typed("{+}"), "D16 D187 U187 U16");
    // Only the first 20 characters of a name count: here the count is cut to "0000000000000000".
    EXPECT_EQ(Typed("{TAB 00000000000000003}"), "");
    EXPECT_TRUE(Result);
    EXPECT_TRUE(Messages.empty());

    EXPECT_EQ(orvKeyNameCode("scrolllock"), 145u);
    EXPECT_EQ(orvKeyNameCode("F16"), 127u);
    EXPECT_EQ(orvKeyNameCode("F17"), 0u);
    EXPECT_EQ(orvKeyNameCode(""), 0u);
}

TEST_F(SendKeys, BracesAsCharacters)
{
    EXPECT_EQ(Typed("{{}"), "D16 D219 U219 U16");
    EXPECT_EQ(Typed("{}}"), "D16 D221 U221 U16");
    // "{{" skips three characters, whatever the third is.
    EXPECT_EQ(Typed("{{}a"), "D16 D219 U219 U16 D65 U65");
    // Any name right before a second "}" becomes "}"; the held Shift goes after it.
    EXPECT_EQ(Typed("+{TAB}}x"), "D16 D16 D221 U221 U16 U16 D88 U88");
    EXPECT_TRUE(Result);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(SendKeys, NumLockIsOwnStateOnly)
{
    EXPECT_EQ(Typed("{NUMLOCK}"), "");
    EXPECT_TRUE(Result);
    EXPECT_TRUE(Keys.NumLock());
    EXPECT_EQ(Typed("{numlock}a"), "D65 U65");
    EXPECT_FALSE(Keys.NumLock());
}

TEST_F(SendKeys, FailuresAndTheirMessages)
{
    EXPECT_EQ(Typed(""), "");
    EXPECT_FALSE(Result);
    EXPECT_TRUE(Messages.empty());

    // Stops at the brace; what came before has been typed.
    EXPECT_EQ(Typed("ab{xyz"), "D65 U65 D66 U66");
    EXPECT_FALSE(Result);
    EXPECT_EQ(Messages, std::vector<std::string>{"SendKeys: No Close"});
    // ... and no modifier stays down on the desktop, in a group or not.
    EXPECT_EQ(Typed("+{xyz"), "D16 U16");
    EXPECT_FALSE(Result);
    EXPECT_EQ(Typed("(^%{DEL}{xyz"), "D17 D18 D46x U46x U17 U18");
    // A group never closed ends with the string, its modifiers too.
    EXPECT_EQ(Typed("+(ab"), "D16 D65 U65 D66 U66 U16");
    EXPECT_TRUE(Result);
    EXPECT_THROW(Typed("+{TAB x}"), EorvException);
    EXPECT_EQ(Keyboard.Events, "D16 U16");

    // Unknown names and characters are reported and skipped.
    Messages.clear();
    EXPECT_EQ(Typed("{NOPE}a#b{}c"), "D65 U65 D66 U66 D67 U67");
    EXPECT_TRUE(Result);
    EXPECT_EQ(Messages, (std::vector<std::string>{"SendKeys: Invalid Key Name", "SendKeys: Invalid KeyName",
                                                  "SendKeys: Invalid Key Name"}));

    for (const char* bad : {"{TAB x}", "{TAB 3x}", "{TAB }", "{TAB 99999999999}"})
        EXPECT_THROW(Typed(bad), EorvException) << bad;
    // A count is at most orvMaxKeyRepeat: a larger one would hold the keyboard for hours.
    Keyboard.EventCount = 0;
    Typed("{TAB 1000}");
    EXPECT_EQ(Keyboard.EventCount, 2 * orvMaxKeyRepeat);
    EXPECT_THROW(Typed("+{TAB 1001}"), EorvException);
    EXPECT_EQ(Keyboard.Events, "D16 U16");

    // Nobody to tell: still goes on.
    TorvSendKeys silent{nullptr};
    EXPECT_TRUE(silent.Send(Keyboard, "#a", false));
}

TEST_F(SendKeys, TextIsUtf8WithLatin1Bytes)
{
    const std::string utf8 = Typed("\xC3\xA9");
    EXPECT_EQ(utf8, "D222 U222");
    // A byte that is no UTF-8 stands for its Latin-1 character; the next byte is read afresh.
    EXPECT_EQ(Typed("\xE9"
                    "a"),
              utf8 + " D65 U65");
    EXPECT_EQ(Typed("\xE2\x82"), "");
    EXPECT_EQ(Messages.size(), 2u);
}

TEST_F(SendKeys, WaitFlushesAfterEveryEvent)
{
    Typed("+(ab){TAB 2}", true);
    EXPECT_EQ(Keyboard.EventCount, 10);
    EXPECT_EQ(Keyboard.Flushes, Keyboard.EventCount);
    Typed("ab", false);
    EXPECT_EQ(Keyboard.Flushes, 10);
}

// ---- the real desktop

std::string KeyReaderPath()
{
    return std::string(ORV_BINARY_DIR) + "/testprograms/keyreader";
}

// keyreader on a display.
std::unique_ptr<TChildProgram> StartKeyReader(const std::string& display)
{
    const TScopedEnv displayEnv("DISPLAY", display), platformEnv("QT_QPA_PLATFORM", "xcb");
    return std::make_unique<TChildProgram>(std::vector<std::string>{KeyReaderPath()});
}

TEST(SendKeysDesktop, ScansTheDisplaysLayout)
{
    TXvfb xvfb;
    const auto keyboard = orvOpenDesktopKeyboard(xvfb.Name());
    const auto a = keyboard->KeyScan(U'a');
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->Modifiers, 0);
    EXPECT_EQ(keyboard->KeyScan(U'A'), (TorvKeyScan{a->Key, orvKeyNeedsShift}));
    const auto b = keyboard->KeyScan(U'b');
    ASSERT_TRUE(b.has_value());
    EXPECT_NE(b->Key, a->Key);
    const auto one = keyboard->KeyScan(U'1');
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(keyboard->KeyScan(U'!'), (TorvKeyScan{one->Key, orvKeyNeedsShift}));
    EXPECT_EQ(keyboard->KeyScan(U'\n'), keyboard->KeyScan(U'\r'));
    EXPECT_FALSE(keyboard->KeyScan(U'ж').has_value());

    EXPECT_THROW(orvOpenDesktopKeyboard("unix:65000"), std::runtime_error);
}

TEST(SendKeysDesktop, TypesIntoTheFocusedWindow)
{
    if (::access(KeyReaderPath().c_str(), X_OK) != 0)
        GTEST_SKIP() << "keyreader was not built (no GUI build)";
    TXvfb xvfb;
    const auto reader = StartKeyReader(xvfb.Name());
    ASSERT_TRUE(reader->WaitForLine("ready")) << "keyreader printed:\n" << reader->Output();

    TorvSendKeys keys{[](const std::string& text, const std::string&) { ADD_FAILURE() << text; }};
    EXPECT_TRUE(keys.Send(*orvOpenDesktopKeyboard(xvfb.Name()), "Hello, World!", true));
    EXPECT_TRUE(reader->WaitForLine("Hello, World!")) << "keyreader printed:\n" << reader->Output();
}

} // namespace
