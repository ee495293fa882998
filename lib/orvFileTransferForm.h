#pragma once

// The file-transfer panel of the session page: one row per transfer of the
// session with its name, status, size and progress, and the actions to send
// files, accept an offered file and delete tasks. It talks to the session
// through the channel-4 thread that OnGetTransferChannel hands it.

#include "lib/orvFileTransfer.h"

#include <QStyle>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QLabel;
class QToolButton;
class QTreeWidget;

namespace orvFileTransferText {
inline constexpr const char* Caption = "File transfer";
inline constexpr const char* SendFile = "Send file";
inline constexpr const char* DeleteTask = "Delete task";
inline constexpr const char* AcceptRequest = "Accept request";
inline constexpr const char* AskCancel = "Do you want to cancel incomplete file transfer?";
inline constexpr int ButtonWidth = 23;
inline constexpr int ButtonHeight = 22;
} // namespace orvFileTransferText

class TFileTransferUI : public QWidget
{
    Q_OBJECT

public:
    enum TColumn { colFile, colStatus, colSize, colTransfered, colPercent, colCount };

    explicit TFileTransferUI(QWidget* parent = nullptr);
    ~TFileTransferUI() override;
    TFileTransferUI(const TFileTransferUI&) = delete;
    TFileTransferUI& operator=(const TFileTransferUI&) = delete;

    // The session's channel-4 thread, or none without a connection.
    std::function<TFileTransferControlThread*()> OnGetTransferChannel;
    // The files to send (odSendFile); empty when the user cancels.
    std::function<QStringList()> ChooseFilesToSend;
    // Where to save an offered file (sdRecvFile); empty when the user cancels.
    std::function<QString(const QString& offeredName)> ChooseTargetPath;
    // A Yes/No question; true for Yes.
    std::function<bool(const QString& question)> Confirm;

    static QString GetFileSizeAsString(std::int64_t bytes);
    static QString StatusText(bool sending, TTransferState state);

    std::int32_t RowCount() const { return FRowCount; }
    // The transfer a row shows, or none for a row index out of range.
    TTransferPtr RowTransfer(int row) const;

    void AddTransferRow(const TTransferPtr& transfer);
    void RefreshProgress();
    // Rebuilds the rows when the number of transfers changed, then brings
    // the cells and the actions up to date.
    void RefreshTransfers();

    void aSendFileExecute();
    void aAcceptRequestExecute();
    void aDeleteTaskExecute();

    // Controls and actions, by their object names.
    QLabel* lblCaption = nullptr;
    QToolButton* btnSendFile = nullptr;
    QToolButton* btnDeleteTask = nullptr;
    QToolButton* btnAcceptRequest = nullptr;
    QTreeWidget* lvFiles = nullptr;
    QAction* aSendFile = nullptr;
    QAction* aDeleteTask = nullptr;
    QAction* aAcceptRequest = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QAction* NewAction(const char* name, const char* hint, const char* themeIcon,
                       QStyle::StandardPixmap fallback);
    QToolButton* NewButton(QAction* action);
    void Rebuild(const std::vector<TTransferPtr>& transfers);
    void ClearRows();
    // The first selected row in list order, or -1.
    int FirstSelectedRow() const;
    TFileTransferControlThread* Channel() const;

    std::int32_t FRowCount = 0;
    // Parallel to the rows: each row keeps its transfer alive.
    std::vector<TTransferPtr> FRowTransfers;
    bool FShown = false;
};
