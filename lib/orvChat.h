#pragma once

// Channel 3: chat lines between the customer and the helpdesk person.

#include "lib/orvConnections.h"

#include <functional>
#include <string>

inline constexpr int orvChatChannel = 3;

namespace orvChatType {
inline constexpr const char* Line = "1";
inline constexpr const char* Unknown = "100"; // the answer to a type we do not know
} // namespace orvChatType

// Sends the customer's lines and hands each incoming line to the GUI thread,
// waiting there until it is shown, so the last message stays put meanwhile.
class TOrvChatThread : public TorvChannelThread
{
public:
    // Called on the GUI thread with the text of each incoming chat line.
    using TChatMessageEvent = std::function<void(const std::string& text)>;

    TOrvChatThread() = default;
    ~TOrvChatThread() override = default;

    // Set before the thread starts.
    void SetOnChatMessage(TChatMessageEvent handler);
    // Told of every line sent (false) or shown (true); only counted, never kept.
    using TChatLineEvent = std::function<void(bool fromPeer)>;
    void SetOnChatLine(TChatLineEvent handler);

    // Sends "1:" + text while the helpdesk is in the session; otherwise nothing.
    void SendChatMessage(const std::string& text);

    // The GUI thread's share of an incoming line.
    void ReceiveChatMsgProc();

protected:
    void Execute() override;
    // The oldest waiting text: a line goes to the GUI thread, another type is answered.
    void HandleMessage();

private:
    void LineCounted(bool fromPeer);

    TChatMessageEvent FOnChatMessage;
    TChatLineEvent FOnChatLine;
    std::string FLastMessage; // written by this thread, read by the GUI step while this thread waits
};
