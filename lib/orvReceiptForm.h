#pragma once

// "What happened in this session": the session's receipt in plain words,
// read-only, with Save to keep it as a web page or as JSON.

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QPushButton;
class QTextBrowser;
class TorvSessionReceipt;

enum class TorvReceiptFormat { Html, Json };

class TReceiptForm : public QDialog
{
    Q_OBJECT

public:
    explicit TReceiptForm(QWidget* parent = nullptr);
    ~TReceiptForm() override;
    TReceiptForm(const TReceiptForm&) = delete;
    TReceiptForm& operator=(const TReceiptForm&) = delete;

    // Shows this receipt (and keeps it while shown).
    void SetReceipt(std::shared_ptr<TorvSessionReceipt> receipt);
    // Reads the receipt again: entries may still come in after the session.
    void Reload();

    // Where Save writes and in which format; an empty path cancels. The
    // default asks with the desktop's save dialog.
    std::function<std::pair<QString, TorvReceiptFormat>(const QString& suggestedName)> OnPickFile;
    // Writes the receipt there; throws std::runtime_error with the reason.
    void SaveTo(const QString& path, TorvReceiptFormat format) const;
    void btnSaveClick();

    // Controls, by their object names.
    QTextBrowser* txtReceipt = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnClose = nullptr;

private:
    std::pair<QString, TorvReceiptFormat> PickFile(const QString& suggestedName);

    std::shared_ptr<TorvSessionReceipt> FReceipt;
};
