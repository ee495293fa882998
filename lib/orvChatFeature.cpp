#include "lib/orvChatFeature.h"

#include "lib/orvChat.h"
#include "lib/orvChatForm.h"
#include "lib/orvConnections.h"
#include "lib/orvSessionReceipt.h"

#include <QAction>
#include <QPointer>
#include <QPushButton>

TorvChatFeature::TorvChatFeature(TorvSessionHost& host, QWidget* window, QAction* toggle)
    : FHost(host), FToggle(toggle), FForm(std::make_unique<TChatForm>(window))
{
    FForm->hide();
    FForm->OnGetChatChannel = [this] { return ChatChannel(); };
    FToggle->setEnabled(true);
    QObject::connect(FToggle, &QAction::triggered, FForm.get(),
                     [this](bool pressed) { aToggleChatExecute(pressed); });
}

TorvChatFeature::~TorvChatFeature() = default;

TOrvChatThread* TorvChatFeature::ChatChannel() const
{
    return dynamic_cast<TOrvChatThread*>(FHost.SessionChannelThread(orvChatChannel));
}

void TorvChatFeature::TakeOver(TorvConnection& connection)
{
    auto thread = std::make_unique<TOrvChatThread>();
    // Lines come on the GUI thread; the window outlives every connection, but
    // a guard costs nothing.
    thread->SetOnChatMessage([form = QPointer<TChatForm>(FForm.get())](const std::string& text) {
        if (form)
            form->AddChatMessage(text);
    });
    // Only counted: what was written stays between the two people.
    thread->SetOnChatLine([receipt = FHost.SessionReceipt()](bool fromPeer) {
        if (receipt)
            receipt->ChatLine(fromPeer);
    });
    orvStartChannelThread(connection, orvChatChannel, std::move(thread));
}

void TorvChatFeature::Refresh()
{
    TorvConnection* connection = FHost.SessionConnection();
    FForm->btnSend->setEnabled(connection && connection->GetConnectionState() == csConnected &&
                               FHost.SessionChannelThread(orvChatChannel) != nullptr);
    FToggle->setChecked(FForm->isVisible());
}

void TorvChatFeature::aToggleChatExecute(bool pressed)
{
    FForm->setVisible(pressed);
}
