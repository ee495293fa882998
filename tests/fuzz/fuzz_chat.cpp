// Fuzzes the chat channel with the helpdesk's texts: the chat thread's
// handling of each received text (its GUI step runs at once here, this being
// the main thread), and our own lines as the peer's chat thread receives them.
// Input: one separator byte, then up to 8 texts separated by it (the thread keeps
// nothing from one text to the next that more would reach).
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvChat.h"
#include "lib/orvConnections.h"
#include "lib/orvThreads.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// A chat thread whose texts go to a list instead of the link.
class TFuzzChat : public TOrvChatThread
{
public:
    TFuzzChat()
    {
        SetOnChatMessage([this](const std::string& text) { Shown.push_back(text); });
        SetOnChatLine([this](bool fromPeer) { (fromPeer ? LinesIn : LinesOut) += 1; });
    }
    using TOrvChatThread::HandleMessage;
    bool Send(const std::string& text) override
    {
        Sent.push_back(text);
        return true;
    }
    void Clear()
    {
        Shown.clear();
        Sent.clear();
        LinesIn = LinesOut = 0;
    }

    std::vector<std::string> Shown;
    std::vector<std::string> Sent;
    int LinesIn = 0;
    int LinesOut = 0;
};

struct TFixture
{
    TFixture()
    {
        RedirectDebugLogForTesting("");
        orvSync::SetMainThread();
        // Sending a line needs a helpdesk in the session; the connection is never switched on.
        orvStartConnectionCore();
        orvStopConnectionThread();
        Connection = std::make_unique<TorvConnection>();
        Connection->SetServerConnectionState(scsTotallyConnected);
        for (TFuzzChat* chat : {&Customer, &Helpdesk}) {
            chat->SetChannel(orvChatChannel);
            chat->SetConnection(Connection.get());
        }
    }

    std::unique_ptr<TorvConnection> Connection;
    TFuzzChat Customer;
    TFuzzChat Helpdesk;
};

TFixture& Fixture()
{
    static TFixture fixture;
    return fixture;
}

// One received text: a line is shown whole, another type answered once, an answer never.
void Receive(TFuzzChat& chat, const std::string& text)
{
    chat.Clear();
    chat.AddReceived(text);
    try {
        chat.HandleMessage();
    } catch (...) {
        Check(false); // the thread would log it and drop the text
    }
    Check(chat.MessageCount() == 0);
    const TorvCommandParts parts = SplitCommandText(text);
    if (parts.Code == orvChatType::Line) {
        Check(chat.Shown.size() == 1 && chat.Shown[0] == text.substr(2) && chat.LinesIn == 1);
        Check(chat.Sent.empty());
        return;
    }
    Check(chat.Shown.empty() && chat.LinesIn == 0);
    if (parts.Code == orvChatType::Unknown || text.empty()) {
        Check(chat.Sent.empty());
        return;
    }
    Check(chat.Sent.size() == 1 && chat.Sent[0] == JoinCommand(orvChatType::Unknown, text));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    TFixture& f = Fixture();
    const char separator = static_cast<char>(data[0]);
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (int count = 0; count < 8; ++count) {
        const auto end = rest.find(separator);
        const std::string text(rest.substr(0, end));

        Receive(f.Customer, text);
        // Our answer to it must not start a game of ping-pong with the peer.
        for (const std::string& answer : std::vector<std::string>(f.Customer.Sent)) {
            Receive(f.Helpdesk, answer);
            Check(f.Helpdesk.Sent.empty() && f.Helpdesk.Shown.empty());
        }

        // The same text typed by the customer reaches the helpdesk's window unchanged.
        f.Customer.Clear();
        f.Customer.SendChatMessage(text);
        Check(f.Customer.Sent.size() == 1 && f.Customer.LinesOut == 1);
        Receive(f.Helpdesk, f.Customer.Sent[0]);
        Check(f.Helpdesk.Shown.size() == 1 && f.Helpdesk.Shown[0] == text);

        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return 0;
}
