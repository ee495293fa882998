#include "lib/orvChat.h"

#include "lib/orvAppUtils.h"

void TOrvChatThread::SetOnChatMessage(TChatMessageEvent handler)
{
    TDebugWriteLock lock(FFieldLock, "TOrvChatThread.SetOnChatMessage");
    FOnChatMessage = std::move(handler);
}

void TOrvChatThread::SetOnChatLine(TChatLineEvent handler)
{
    TDebugWriteLock lock(FFieldLock, "TOrvChatThread.SetOnChatLine");
    FOnChatLine = std::move(handler);
}

void TOrvChatThread::LineCounted(bool fromPeer)
{
    TChatLineEvent handler;
    {
        TDebugReadLock lock(FFieldLock, "TOrvChatThread.LineCounted");
        handler = FOnChatLine;
    }
    if (handler)
        handler(fromPeer);
}

void TOrvChatThread::SendChatMessage(const std::string& text)
{
    try {
        if (IsTotallyConnected() && Send(JoinCommand(orvChatType::Line, text)))
            LineCounted(false);
    } catch (const std::exception& e) {
        // The window's Send button is no place for a network failure.
        DebugLogFmt("Error in TOrvChatThread.SendChatMessage: %s", e.what());
    }
}

void TOrvChatThread::ReceiveChatMsgProc()
{
    TChatMessageEvent handler;
    {
        TDebugReadLock lock(FFieldLock, "TOrvChatThread.ReceiveChatMsgProc");
        handler = FOnChatMessage;
    }
    if (handler)
        handler(SplitCommandText(FLastMessage).Data);
    LineCounted(true);
}

void TOrvChatThread::Execute()
{
    while (!Terminated()) {
        try {
            if (MessageCount() == 0)
                Sleep(500);
            if (Terminated() || MessageCount() == 0)
                continue;
            HandleMessage();
        } catch (const std::exception& e) {
            DebugLogFmt("Unknown error in TOrvChatThread.Execute(\"%s\")", e.what());
        } catch (...) {
            DebugLog("Unknown error in TOrvChatThread.Execute(\"\")");
        }
    }
}

void TOrvChatThread::HandleMessage()
{
    FLastMessage = GetMessage();
    const std::string type = SplitCommandText(FLastMessage).Code;
    if (type == orvChatType::Line) {
        const bool ran = orvSync::Synchronize([this] {
            try {
                ReceiveChatMsgProc();
            } catch (const std::exception& e) {
                DebugLogFmt("Error in TOrvChatThread.ReceiveChatMsgProc (\"%s\")", e.what());
            }
        });
        if (!ran)
            DebugLog("Chat line dropped: the program is ending");
    } else if (type != orvChatType::Unknown && !FLastMessage.empty()) {
        // Never answer an answer, or two programs would bounce it for ever.
        Send(JoinCommand(orvChatType::Unknown, FLastMessage));
    }
}
