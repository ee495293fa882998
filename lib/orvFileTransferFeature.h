#pragma once

// File transfer as a session feature of the main window: the panel lives in
// the window's file-transfer area as long as the window, a channel-4 thread
// joins every connection taken over, and the panel follows the transfers on
// every tick of a session.

#include "lib/orvSessionFeature.h"

#include <memory>

class QWidget;
class TFileTransferControlThread;
class TFileTransferUI;

class TorvFileTransferFeature : public TorvSessionFeature
{
public:
    // area: the window's file-transfer area; the panel fills its layout.
    TorvFileTransferFeature(TorvSessionHost& host, QWidget* area);
    ~TorvFileTransferFeature() override;
    TorvFileTransferFeature(const TorvFileTransferFeature&) = delete;
    TorvFileTransferFeature& operator=(const TorvFileTransferFeature&) = delete;

    TorvFeatureKind Kind() const override { return TorvFeatureKind::FileTransfer; }
    void TakeOver(TorvConnection& connection) override;
    void Refresh() override;

    TFileTransferUI& Panel() const;

private:
    TFileTransferControlThread* TransferChannel() const;

    TorvSessionHost& FHost;
    std::unique_ptr<TFileTransferUI> FPanel; // inside the area; freed at the destruction hook
};
