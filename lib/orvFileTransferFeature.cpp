#include "lib/orvFileTransferFeature.h"

#include "lib/orvConnections.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvFileTransferForm.h"
#include "lib/orvSessionReceipt.h"

#include <QLayout>
#include <QVBoxLayout>

#include <memory>

TorvFileTransferFeature::TorvFileTransferFeature(TorvSessionHost& host, QWidget* area)
    : FHost(host), FPanel(std::make_unique<TFileTransferUI>(area))
{
    QLayout* layout = area->layout();
    if (!layout) {
        layout = new QVBoxLayout(area);
        layout->setContentsMargins(0, 0, 0, 0);
    }
    layout->addWidget(FPanel.get());
    FPanel->OnGetTransferChannel = [this] { return TransferChannel(); };
    FPanel->show();
}

TorvFileTransferFeature::~TorvFileTransferFeature() = default;

TFileTransferUI& TorvFileTransferFeature::Panel() const
{
    return *FPanel;
}

TFileTransferControlThread* TorvFileTransferFeature::TransferChannel() const
{
    return dynamic_cast<TFileTransferControlThread*>(FHost.SessionChannelThread(orvFileTransferChannel));
}

void TorvFileTransferFeature::TakeOver(TorvConnection& connection)
{
    auto thread = std::make_unique<TFileTransferControlThread>(connection);
    thread->SetOnTransferReport([receipt = FHost.SessionReceipt()](const TTransferSummary& summary) {
        if (receipt)
            receipt->Transfer(orvReceiptTransfer(summary));
    });
    orvStartChannelThread(connection, orvFileTransferChannel, std::move(thread));
}

void TorvFileTransferFeature::Refresh()
{
    FPanel->RefreshTransfers();
}
