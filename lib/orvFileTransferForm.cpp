#include "lib/orvFileTransferForm.h"

#include "lib/debugProc.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// The caption shows "(*.*)" as the user knows it, but "*.*" would hide files
// without a dot here; the dialog strips the last group and filters by "*".
constexpr const char* kAllFilesFilter = "all files (*.*) (*)";
constexpr const char* kConfirmCaption = "Confirm";

// File names are the core's 8-bit strings; a zero byte would cut the cell short.
QString DisplayText(const std::string& bytes)
{
    QString text = QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

std::string CorePath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Grid lines between the cells, which QTreeView does not draw itself.
class TGridDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Midlight));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

// The list tells the panel about key presses and clicks after it has handled
// them itself, so the refresh sees the new selection.
class TFileList : public QTreeWidget
{
public:
    using QTreeWidget::QTreeWidget;

    std::function<bool(int key)> OnKeyDown; // true: handled, the list skips the key
    std::function<void()> OnRefresh;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (!(OnKeyDown && OnKeyDown(event->key())))
            QTreeWidget::keyPressEvent(event);
        if (OnRefresh)
            OnRefresh();
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        QTreeWidget::mouseReleaseEvent(event);
        if (OnRefresh)
            OnRefresh();
    }
    void contextMenuEvent(QContextMenuEvent* event) override
    {
        // The pop-up menu's actions follow the row under the mouse.
        if (OnRefresh)
            OnRefresh();
        if (!actions().isEmpty())
            QMenu::exec(actions(), event->globalPos(), nullptr, this);
    }
};

} // namespace

TFileTransferUI::TFileTransferUI(QWidget* parent) : QWidget(parent, Qt::Widget | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("FileTransferUI"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    aSendFile = NewAction("aSendFile", orvFileTransferText::SendFile, "document-send", QStyle::SP_ArrowUp);
    aDeleteTask =
        NewAction("aDeleteTask", orvFileTransferText::DeleteTask, "edit-delete", QStyle::SP_TrashIcon);
    aAcceptRequest = NewAction("aAcceptRequest", orvFileTransferText::AcceptRequest, "document-save",
                               QStyle::SP_DialogSaveButton);
    aDeleteTask->setEnabled(false);
    aAcceptRequest->setEnabled(false);
    connect(aSendFile, &QAction::triggered, this, [this] { aSendFileExecute(); });
    connect(aDeleteTask, &QAction::triggered, this, [this] { aDeleteTaskExecute(); });
    connect(aAcceptRequest, &QAction::triggered, this, [this] { aAcceptRequestExecute(); });

    lblCaption = new QLabel(QString::fromLatin1(orvFileTransferText::Caption), this);
    lblCaption->setObjectName(QStringLiteral("lblCaption"));
    QFont bold = lblCaption->font();
    bold.setBold(true);
    lblCaption->setFont(bold);
    btnSendFile = NewButton(aSendFile);
    btnDeleteTask = NewButton(aDeleteTask);
    btnAcceptRequest = NewButton(aAcceptRequest);

    auto* list = new TFileList(this);
    lvFiles = list;
    lvFiles->setObjectName(QStringLiteral("lvFiles"));
    lvFiles->setColumnCount(colCount);
    lvFiles->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Status"), QStringLiteral("Size"),
                              QStringLiteral("Transfered"), QStringLiteral("%")});
    lvFiles->setRootIsDecorated(false);
    lvFiles->setItemsExpandable(false);
    lvFiles->setUniformRowHeights(true);
    lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFiles->setSortingEnabled(false);
    lvFiles->setItemDelegate(new TGridDelegate(lvFiles));
    lvFiles->header()->setSectionsClickable(false);
    lvFiles->header()->setSectionsMovable(false);
    lvFiles->header()->setStretchLastSection(false);
    const int widths[colCount] = {113, 100, 65, 75, 33};
    for (int column = 0; column < colCount; ++column)
        lvFiles->setColumnWidth(column, widths[column]);
    lvFiles->addActions({aSendFile, aAcceptRequest, aDeleteTask});
    list->OnKeyDown = [this](int key) {
        if (key != Qt::Key_Delete)
            return false;
        if (aDeleteTask->isEnabled())
            aDeleteTaskExecute();
        return true;
    };
    list->OnRefresh = [this] { RefreshTransfers(); };

    auto* header = new QHBoxLayout;
    header->setContentsMargins(4, 2, 2, 2);
    header->setSpacing(1);
    header->addWidget(lblCaption);
    header->addStretch(1);
    header->addWidget(btnSendFile);
    header->addWidget(btnDeleteTask);
    header->addWidget(btnAcceptRequest);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(header);
    layout->addWidget(lvFiles, 1);

    ChooseFilesToSend = [this] {
        QFileDialog dialog(this);
        dialog.setObjectName(QStringLiteral("odSendFile"));
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        dialog.setNameFilter(QString::fromLatin1(kAllFilesFilter));
        dialog.setSizeGripEnabled(true);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    };
    ChooseTargetPath = [this](const QString& offeredName) {
        // No folder preset: the dialog opens where it opens by default.
        QFileDialog dialog(this);
        dialog.setObjectName(QStringLiteral("sdRecvFile"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setSizeGripEnabled(true);
        dialog.selectFile(offeredName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
    Confirm = [this](const QString& question) {
        QMessageBox box(QMessageBox::Question, QString::fromLatin1(kConfirmCaption), question,
                        QMessageBox::Yes | QMessageBox::No, this);
        return box.exec() == QMessageBox::Yes;
    };
}

TFileTransferUI::~TFileTransferUI()
{
    DebugLog("started TFileTransferUI.Destroy");
    ClearRows();
    DebugLog("finished TFileTransferUI.Destroy");
}

QAction* TFileTransferUI::NewAction(const char* name, const char* hint, const char* themeIcon,
                                    QStyle::StandardPixmap fallback)
{
    auto* action = new QAction(QIcon::fromTheme(QLatin1String(themeIcon), style()->standardIcon(fallback)),
                               QString::fromLatin1(hint), this);
    action->setObjectName(QLatin1String(name));
    action->setToolTip(QString::fromLatin1(hint));
    action->setStatusTip(QString::fromLatin1(hint));
    return action;
}

QToolButton* TFileTransferUI::NewButton(QAction* action)
{
    auto* button = new QToolButton(this);
    button->setObjectName(QStringLiteral("btn") + action->objectName().mid(1));
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setAutoRaise(true);
    button->setFixedSize(orvFileTransferText::ButtonWidth, orvFileTransferText::ButtonHeight);
    return button;
}

TFileTransferControlThread* TFileTransferUI::Channel() const
{
    return OnGetTransferChannel ? OnGetTransferChannel() : nullptr;
}

QString TFileTransferUI::GetFileSizeAsString(std::int64_t bytes)
{
    if (bytes < 1000)
        return QString::number(bytes) + QStringLiteral("B");
    if (bytes > 999999)
        return QString::number(orvRoundHalfEven(bytes, 1048576)) + QStringLiteral("MB");
    return QString::number(orvRoundHalfEven(bytes, 1024)) + QStringLiteral("KB");
}

QString TFileTransferUI::StatusText(bool sending, TTransferState state)
{
    const char* text = "unknown";
    switch (state) {
    case TTransferState::SendRequested: text = sending ? "requested permission to send" : text; break;
    case TTransferState::Sending: text = sending ? "sending" : text; break;
    case TTransferState::Sent: text = sending ? "sent" : text; break;
    case TTransferState::Receiving: text = sending ? text : "receiving"; break;
    case TTransferState::Received: text = sending ? text : "received"; break;
    case TTransferState::ConfirmWanted: text = sending ? text : "waiting for permission to receive"; break;
    case TTransferState::Canceled: text = sending ? "sending cancelled" : "receiving cancelled"; break;
    case TTransferState::Finished: text = sending ? "sending completed" : "receiving completed"; break;
    case TTransferState::AllDataTransfered: text = sending ? "all data sent" : text; break;
    case TTransferState::Failed: text = sending ? "sending failed" : "receiving failed"; break;
    case TTransferState::Unknown: break;
    }
    return QString::fromLatin1(text);
}

TTransferPtr TFileTransferUI::RowTransfer(int row) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= FRowTransfers.size())
        return nullptr;
    return FRowTransfers[static_cast<std::size_t>(row)];
}

void TFileTransferUI::AddTransferRow(const TTransferPtr& transfer)
{
    auto* item = new QTreeWidgetItem(
        QStringList{DisplayText(transfer->FileName()), StatusText(transfer->IsSending(), transfer->State()),
                    GetFileSizeAsString(transfer->FileSize()), QStringLiteral("0"), QStringLiteral("0")});
    FRowTransfers.push_back(transfer);
    lvFiles->addTopLevelItem(item);
    ++FRowCount;
}

void TFileTransferUI::RefreshProgress()
{
    TFileTransferControlThread* control = Channel();
    if (!control)
        return;
    const std::size_t listed = control->TransferCount();
    const std::size_t rows =
        std::min(FRowTransfers.size(), static_cast<std::size_t>(lvFiles->topLevelItemCount()));
    for (std::size_t row = 0; row < rows && row < listed; ++row) {
        TTransferFileThread& transfer = *FRowTransfers[row];
        QTreeWidgetItem* item = lvFiles->topLevelItem(static_cast<int>(row));
        item->setText(colStatus, StatusText(transfer.IsSending(), transfer.State()));
        item->setText(colTransfered, QString::number(transfer.BytesTransferred()));
        item->setText(colPercent, QString::number(transfer.Percent()));
    }
}

void TFileTransferUI::ClearRows()
{
    lvFiles->clear();
    FRowTransfers.clear();
    FRowCount = 0;
}

void TFileTransferUI::Rebuild(const std::vector<TTransferPtr>& transfers)
{
    lvFiles->setUpdatesEnabled(false);
    ClearRows();
    for (const TTransferPtr& transfer : transfers)
        if (transfer)
            AddTransferRow(transfer);
    lvFiles->setUpdatesEnabled(true);
}

void TFileTransferUI::RefreshTransfers()
{
    TFileTransferControlThread* control = Channel();
    if (control) {
        // One copy of the list under the control lock: count and rows agree.
        const std::vector<TTransferPtr> transfers = control->Transfers();
        if (transfers.size() != static_cast<std::size_t>(FRowCount))
            Rebuild(transfers);
        RefreshProgress();
    }
    if (const TTransferPtr selected = RowTransfer(FirstSelectedRow())) {
        aDeleteTask->setEnabled(true);
        aAcceptRequest->setEnabled(!selected->IsSending() &&
                                   selected->State() == TTransferState::ConfirmWanted);
    } else {
        aDeleteTask->setEnabled(false);
        aAcceptRequest->setEnabled(false);
    }
    aSendFile->setEnabled(control && control->IsTotallyConnected());
}

int TFileTransferUI::FirstSelectedRow() const
{
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row)
        if (lvFiles->topLevelItem(row)->isSelected())
            return row;
    return -1;
}

void TFileTransferUI::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (std::exchange(FShown, true))
        return;
    if (TFileTransferControlThread* control = Channel()) {
        Rebuild(control->Transfers());
        RefreshProgress();
    }
}

void TFileTransferUI::aSendFileExecute()
{
    if (!Channel() || !ChooseFilesToSend)
        return;
    const QStringList files = ChooseFilesToSend();
    // The dialog ran the event loop: the session may have gone meanwhile.
    TFileTransferControlThread* control = Channel();
    if (!control)
        return;
    // An empty file raises and ends the loop: the files after it are not sent.
    for (const QString& path : files) {
        const std::shared_ptr<TSendFileThread> transfer = control->NewSentFile(CorePath(path));
        if (transfer && transfer->State() != TTransferState::Failed)
            control->SendFileRequestCommand(*transfer);
    }
}

void TFileTransferUI::aAcceptRequestExecute()
{
    if (!Channel() || !ChooseTargetPath)
        return;
    const auto transfer = std::dynamic_pointer_cast<TReceiveFileThread>(RowTransfer(FirstSelectedRow()));
    if (!transfer || transfer->State() != TTransferState::ConfirmWanted)
        return;
    const QString path = ChooseTargetPath(DisplayText(transfer->OfferedName()));
    if (path.isEmpty())
        return; // the offer keeps waiting
    TFileTransferControlThread* control = Channel();
    if (!control)
        return;
    transfer->SetTargetPath(CorePath(path));
    control->SendFileAcceptCommand(*transfer);
    // Back with the next refresh while no data has come.
    aAcceptRequest->setEnabled(false);
}

void TFileTransferUI::aDeleteTaskExecute()
{
    if (!Channel())
        return;
    std::vector<TTransferPtr> chosen;
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row)
        if (lvFiles->topLevelItem(row)->isSelected())
            chosen.push_back(RowTransfer(row));
    if (chosen.empty() || !chosen.front())
        return;
    const TTransferState first = chosen.front()->State();
    if (first == TTransferState::Sending || first == TTransferState::Receiving) {
        if (!Confirm || !Confirm(QString::fromLatin1(orvFileTransferText::AskCancel)))
            return;
    }
    // The question ran the event loop: the session may be gone, and a refresh
    // may have rebuilt the rows, so the chosen transfers are looked up again.
    TFileTransferControlThread* control = Channel();
    if (!control)
        return;
    for (const TTransferPtr& transfer : chosen) {
        if (!transfer)
            continue;
        control->RemoveFile(transfer->TransferId());
        const auto at = std::find(FRowTransfers.begin(), FRowTransfers.end(), transfer);
        if (at == FRowTransfers.end())
            continue;
        std::unique_ptr<QTreeWidgetItem> row(
            lvFiles->takeTopLevelItem(static_cast<int>(at - FRowTransfers.begin())));
        FRowTransfers.erase(at);
        --FRowCount;
    }
    aDeleteTask->setEnabled(false);
    aAcceptRequest->setEnabled(false);
}
