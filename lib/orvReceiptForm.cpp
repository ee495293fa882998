#include "lib/orvReceiptForm.h"

#include "lib/orvApplicationErrors.h"
#include "lib/orvMessageDlg.h"
#include "lib/orvSessionReceipt.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSaveFile>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <stdexcept>

namespace {

const QString kHtmlFilter = QStringLiteral("Web page (*.html)");
const QString kJsonFilter = QStringLiteral("JSON (*.json)");

} // namespace

TReceiptForm::TReceiptForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmReceipt"));
    setWindowTitle(QStringLiteral("What happened in this session"));
    resize(620, 460);

    auto* layout = new QVBoxLayout(this);
    txtReceipt = new QTextBrowser(this);
    txtReceipt->setObjectName(QStringLiteral("txtReceipt"));
    txtReceipt->setReadOnly(true);
    txtReceipt->setOpenLinks(false);
    layout->addWidget(txtReceipt);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    btnSave = new QPushButton(QStringLiteral("&Save..."), this);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnSave->setToolTip(QStringLiteral("Keep this record as a web page or as JSON."));
    btnClose = new QPushButton(QStringLiteral("&Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setDefault(true);
    buttons->addWidget(btnSave);
    buttons->addWidget(btnClose);
    layout->addLayout(buttons);

    connect(btnSave, &QPushButton::clicked, this,
            [this] { orvGuarded("TReceiptForm.btnSaveClick", [this] { btnSaveClick(); }); });
    connect(btnClose, &QPushButton::clicked, this, &QDialog::close);
}

TReceiptForm::~TReceiptForm() = default;

void TReceiptForm::SetReceipt(std::shared_ptr<TorvSessionReceipt> receipt)
{
    FReceipt = std::move(receipt);
    Reload();
}

void TReceiptForm::Reload()
{
    btnSave->setEnabled(FReceipt != nullptr);
    txtReceipt->setHtml(FReceipt ? QString::fromUtf8(FReceipt->AsHtml()) : QString());
}

void TReceiptForm::SaveTo(const QString& path, TorvReceiptFormat format) const
{
    if (!FReceipt)
        throw std::runtime_error("there is no session to save");
    const std::string content = format == TorvReceiptFormat::Json ? FReceipt->AsJson() : FReceipt->AsHtml();
    // Written whole or not at all: an earlier copy is never left half overwritten.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(content.data(), static_cast<qint64>(content.size())) !=
            static_cast<qint64>(content.size()) ||
        !file.commit())
        throw std::runtime_error(file.errorString().toStdString());
}

void TReceiptForm::btnSaveClick()
{
    if (!FReceipt)
        return;
    Reload();
    const QString suggested = QStringLiteral("orvalis-session.html");
    const auto [path, format] = OnPickFile ? OnPickFile(suggested) : PickFile(suggested);
    if (path.isEmpty())
        return;
    try {
        SaveTo(path, format);
    } catch (const std::exception& e) {
        ShowMessageText("Unable to save the record of this session: " + std::string(e.what()));
    }
}

std::pair<QString, TorvReceiptFormat> TReceiptForm::PickFile(const QString& suggestedName)
{
    QString filter = kHtmlFilter;
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the record of this session"),
                                                QDir::home().filePath(suggestedName),
                                                kHtmlFilter + QStringLiteral(";;") + kJsonFilter, &filter);
    if (path.isEmpty())
        return {};
    const bool json = filter == kJsonFilter;
    // The chosen kind also decides the ending when the name has none of its own.
    const QString ending = json ? QStringLiteral("json") : QStringLiteral("html");
    const QString other = json ? QStringLiteral("html") : QStringLiteral("json");
    const QString suffix = QFileInfo(path).suffix();
    if (suffix.isEmpty())
        path += QStringLiteral(".") + ending;
    else if (suffix.compare(other, Qt::CaseInsensitive) == 0)
        path = path.left(path.size() - suffix.size()) + ending;
    return {path, json ? TorvReceiptFormat::Json : TorvReceiptFormat::Html};
}
