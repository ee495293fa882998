#pragma once

// Key strings typed into the desktop: plain characters, the modifier
// prefixes "+" (Shift), "^" (Ctrl) and "%" (Alt), groups in parentheses,
// "~" for Enter and key names in braces ("{TAB 3}", "{{}", "{}}").

#include "platform/orvKeyboard.h"

#include <functional>
#include <string>

// Shows a modal message box with an OK button: text, caption.
using TorvKeysMessage = std::function<void(const std::string& text, const std::string& caption)>;

// The virtual-key code of a key name ("DEL", "f12", ...), 0 for an unknown name.
std::uint32_t orvKeyNameCode(const std::string& name);

// The most presses one repeat count asks for: a larger one would hold the
// GUI thread (and the user's keyboard) for hours.
inline constexpr int orvMaxKeyRepeat = 1000;

// One typist with the keyboard state of its own (Num Lock is flipped here,
// never sent). Not thread-safe: the GUI thread owns it.
class TorvSendKeys
{
public:
    explicit TorvSendKeys(TorvKeysMessage showMessage);

    // Types keys; true when the whole string was processed, false for an
    // empty string or a brace without its closing brace. With wait, every
    // event has reached the desktop before the next is sent. A repeat count
    // that is not a number, or above orvMaxKeyRepeat, raises EorvException.
    bool Send(TorvKeyboard& keyboard, const std::string& keys, bool wait);

    bool NumLock() const { return FNumLock; }

private:
    TorvKeysMessage FShowMessage;
    bool FNumLock = false;
};
