#pragma once

// Chat as a session feature of the main window: the chat window lives as long
// as the main window, a chat thread joins every connection taken over, and the
// window's chat toggle follows the chat window.

#include "lib/orvSessionFeature.h"

#include <memory>

class QAction;
class QWidget;
class TChatForm;
class TOrvChatThread;

class TorvChatFeature : public TorvSessionFeature
{
public:
    // toggle: the main window's checkable chat action (aToggleChat).
    TorvChatFeature(TorvSessionHost& host, QWidget* window, QAction* toggle);
    ~TorvChatFeature() override;
    TorvChatFeature(const TorvChatFeature&) = delete;
    TorvChatFeature& operator=(const TorvChatFeature&) = delete;

    TorvFeatureKind Kind() const override { return TorvFeatureKind::Chat; }
    void TakeOver(TorvConnection& connection) override;
    void Refresh() override;

    TChatForm& Form() const { return *FForm; }

private:
    void aToggleChatExecute(bool pressed);
    TOrvChatThread* ChatChannel() const;

    TorvSessionHost& FHost;
    QAction* FToggle;
    std::unique_ptr<TChatForm> FForm;
};
