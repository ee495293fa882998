#include "lib/orvFileTransferFeature.h"

#include "lib/orvConnections.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvFileTransferForm.h"
#include "lib/orvSessionReceipt.h"

#include <QLayout>
#include <QVBoxLayout>

#include <memory>

namespace {

TorvReceiptTransfer ReceiptTransfer(const TTransferSummary& summary)
{
    TorvReceiptTransfer transfer;
    transfer.ToHelpdesk = summary.Sending;
    transfer.Name = summary.Name;
    transfer.Path = summary.Path;
    transfer.Size = summary.Size;
    transfer.Bytes = summary.Bytes;
    transfer.Sha256 = summary.Sha256;
    if (!summary.Ended)
        transfer.Outcome = TorvTransferOutcome::Offered;
    else if (summary.State == TTransferState::Finished)
        transfer.Outcome = TorvTransferOutcome::Completed;
    else if (summary.State == TTransferState::Failed)
        transfer.Outcome = TorvTransferOutcome::Failed;
    else if (summary.Interrupted || summary.State != TTransferState::Canceled)
        transfer.Outcome = TorvTransferOutcome::Interrupted;
    else
        transfer.Outcome = TorvTransferOutcome::Cancelled;
    return transfer;
}

} // namespace

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
            receipt->Transfer(ReceiptTransfer(summary));
    });
    orvStartChannelThread(connection, orvFileTransferChannel, std::move(thread));
}

void TorvFileTransferFeature::Refresh()
{
    FPanel->RefreshTransfers();
}
