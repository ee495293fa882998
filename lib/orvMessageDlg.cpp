#include "lib/orvMessageDlg.h"

#include "lib/debugProc.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

// The design, in pixels at 96 dots per inch. The fonts are Qt's defaults.
constexpr int kClientWidth = 492;
constexpr int kClientHeight = 124;
constexpr int kLabelLeft = 10;
constexpr int kLabelTop = 15;
constexpr int kLabelDesignWidth = 477;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kOKLeft = 399;
constexpr int kOKTop = 85;
// OK is anchored to the bottom edge and keeps this distance to it.
constexpr int kOKBottomGap = kClientHeight - kOKTop - kButtonHeight;
constexpr int kProgressBarHeight = 21;
constexpr int kOfferLabelWidth = 300;

const char* const kOwnerName = "orvMessageDlgOwner";
const char* const kDialogName = "MessageDlg";

void AssertGuiThread()
{
    Q_ASSERT_X(QCoreApplication::instance() &&
                   QThread::currentThread() == QCoreApplication::instance()->thread(),
               "lib/orvMessageDlg", "message dialogs are used on the GUI thread only");
}

// The program's texts are 8-bit strings in the local encoding; a label breaks
// lines only at '\n'.
QString ToDialogText(const std::string& text)
{
    QString result = QString::fromLocal8Bit(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    result.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int left, int top,
                        bool visible)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, top, kButtonWidth, kButtonHeight);
    button->setVisible(visible);
    return button;
}

} // namespace

// Holds the dialogs that belong to the application. It is a child of qApp so
// that every user finds the same one, but it is destroyed from a post routine
// at the start of ~QApplication, while widgets can still be torn down safely
// (qApp's children go only after the application's own clean-up).
class TMessageDlgOwner : public QObject
{
    Q_OBJECT

public:
    static TMessageDlgOwner& Instance()
    {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            throw std::logic_error("lib/orvMessageDlg: message dialogs need the application object");
        if (auto* owner = Find(*app))
            return *owner;
        // Parented to qApp; freed by DestroyOwner (or with qApp at the latest).
        return *new TMessageDlgOwner(app);
    }

    ~TMessageDlgOwner() override
    {
        qRemovePostRoutine(&DestroyOwner);
        // Move the list out first: each dialog's destruction calls Forget.
        std::vector<TEntry> dialogs = std::move(FDialogs);
        FDialogs.clear();
        dialogs.clear();
    }

    TMessageDlg* Adopt(std::unique_ptr<TMessageDlg> dialog)
    {
        TMessageDlg* result = dialog.get();
        result->FOwnedByApplication = true;
        // Unique names, so that the log tells the dialogs apart.
        if (FCreated > 0)
            result->setObjectName(QStringLiteral("%1_%2").arg(QLatin1String(kDialogName)).arg(FCreated));
        ++FCreated;
        const QObject* key = result;
        connect(result, &QObject::destroyed, this, [this, key](QObject*) { Forget(key); });
        FDialogs.push_back(TEntry{key, std::move(dialog)});
        return result;
    }

private:
    struct TEntry
    {
        const QObject* Key; // the address as a QObject, for the destroyed signal
        std::unique_ptr<TMessageDlg> Dialog;
    };

    explicit TMessageDlgOwner(QObject* parent) : QObject(parent)
    {
        setObjectName(QLatin1String(kOwnerName));
        qAddPostRoutine(&DestroyOwner);
    }

    // A dialog freed itself (OK): drop it without freeing it again.
    void Forget(const QObject* key)
    {
        auto it =
            std::find_if(FDialogs.begin(), FDialogs.end(), [key](const TEntry& e) { return e.Key == key; });
        if (it == FDialogs.end())
            return;
        (void)it->Dialog.release();
        FDialogs.erase(it);
    }

    static TMessageDlgOwner* Find(const QCoreApplication& app)
    {
        return app.findChild<TMessageDlgOwner*>(QLatin1String(kOwnerName), Qt::FindDirectChildrenOnly);
    }

    static void DestroyOwner()
    {
        // Taken back from qApp and freed now.
        if (QCoreApplication* app = QCoreApplication::instance())
            delete Find(*app);
    }

    std::vector<TEntry> FDialogs;
    int FCreated = 0;
};

TMessageDlg::TMessageDlg()
    : QDialog(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint)
{
    AssertGuiThread();
    setObjectName(QLatin1String(kDialogName));
    setWindowTitle(QStringLiteral("Orvalis2005"));
    setModal(false);
    // A message left open must neither keep the program running nor end it.
    setAttribute(Qt::WA_QuitOnClose, false);

    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setWordWrap(true);
    lblMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblMessage->setMinimumWidth(kLabelDesignWidth);
    lblMessage->setMaximumWidth(kLabelDesignWidth);
    lblMessage->setGeometry(kLabelLeft, kLabelTop, kLabelDesignWidth, lblMessage->fontMetrics().height());

    btnOK = MakeButton(this, "btnOK", "OK", kOKLeft, kOKTop, true);
    btnYes = MakeButton(this, "btnYes", "Yes", 162, 86, false);
    btnNo = MakeButton(this, "btnNo", "No", 240, 86, false);
    btnCancel = MakeButton(this, "btnCancel", "Cancel", 320, 85, false);
    btnDownload = MakeButton(this, "btnDownload", "Download", 80, 86, false);
    connect(btnOK, &QPushButton::clicked, this, &TMessageDlg::btnOKClick);
    connect(btnYes, &QPushButton::clicked, this, &TMessageDlg::btnYesClick);
    connect(btnNo, &QPushButton::clicked, this, &TMessageDlg::btnNoClick);
    connect(btnCancel, &QPushButton::clicked, this, &TMessageDlg::btnCancelClick);
    connect(btnDownload, &QPushButton::clicked, this, &TMessageDlg::btnDownloadClick);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->hide();

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(10, 40, 471, 31);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The menu background: Qt has no role of its own for it.
    QPalette memoPalette = Memo1->palette();
    memoPalette.setColor(QPalette::Base, memoPalette.color(QPalette::Window));
    Memo1->setPalette(memoPalette);
    Memo1->hide();

    setFixedSize(kClientWidth, kClientHeight);
    ProgressBar1->setGeometry(0, kClientHeight - kProgressBarHeight, kClientWidth, kProgressBarHeight);
}

TMessageDlg::~TMessageDlg()
{
    DebugLogFmt("Destroying MessageDlg %s ", objectName().toLocal8Bit().constData());
}

void TMessageDlg::SetClientWidth(int width)
{
    setFixedWidth(width);
    // The progress bar is aligned to the bottom edge.
    ProgressBar1->setGeometry(0, height() - kProgressBarHeight, width, kProgressBarHeight);
}

void TMessageDlg::SetClientHeight(int height)
{
    setFixedHeight(height);
    ProgressBar1->setGeometry(0, height - kProgressBarHeight, width(), kProgressBarHeight);
}

void TMessageDlg::FitWidthToText(const QString& text)
{
    // The widest line: the label breaks the others apart anyway.
    const QFontMetrics metrics(lblMessage->font());
    int textWidth = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        textWidth = std::max(textWidth, metrics.horizontalAdvance(line));
    if (textWidth < kLabelDesignWidth)
        SetClientWidth(textWidth + 2 * kLabelLeft + 20);
}

void TMessageDlg::SetLabelWidth(int width)
{
    lblMessage->setMinimumWidth(width);
    lblMessage->setMaximumWidth(width);
    lblMessage->resize(width, lblMessage->height());
}

void TMessageDlg::CentreLabel()
{
    lblMessage->move((this->width() - lblMessage->width()) / 2, lblMessage->y());
}

int TMessageDlg::LabelHeight() const
{
    const int height = lblMessage->heightForWidth(lblMessage->width());
    return height > 0 ? height : lblMessage->fontMetrics().height();
}

void TMessageDlg::CentreOnScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The window's position is its frame's; the frame is known once shown.
    const QRect area = screen->availableGeometry();
    const QSize frame = frameGeometry().size();
    move(area.x() + (area.width() - frame.width()) / 2, area.y() + (area.height() - frame.height()) / 2);
}

void TMessageDlg::BringToFront()
{
    setWindowTitle(QGuiApplication::applicationDisplayName());
    CentreOnScreen();
    show();
    CentreOnScreen();
    raise();
    activateWindow();
}

void TMessageDlg::LayOutText(const QString& text)
{
    FitWidthToText(text);
    SetLabelWidth(width() - 20);
    lblMessage->setText(text);
    CentreLabel();
    lblMessage->resize(lblMessage->width(), LabelHeight());
    // Room for two button rows under the text; all buttons have the same height.
    SetClientHeight(2 * lblMessage->y() + lblMessage->height() + 2 * kButtonHeight + 20);
}

void TMessageDlg::ShowText(const QString& text, int buttons, TMessageDlgAnswerProc callback)
{
    AssertGuiThread();
    LayOutText(text);

    const int clientWidth = width();
    const int clientHeight = height();
    auto placeAtBottom = [clientHeight](QPushButton* button, int left) {
        button->move(left, clientHeight - button->height() - 10);
        button->show();
    };
    if (buttons == mdbYesNo) {
        btnOK->hide();
        placeAtBottom(btnYes, clientWidth / 2 - btnYes->width() - 5);
        placeAtBottom(btnNo, clientWidth / 2 + 5);
    } else if (buttons == mdbYesNoCancel) {
        btnOK->hide();
        placeAtBottom(btnYes, clientWidth / 2 - btnYes->width() - btnYes->width() / 2 - 5);
        placeAtBottom(btnNo, clientWidth / 2 - btnNo->width() / 2);
        placeAtBottom(btnCancel, clientWidth / 2 + btnCancel->width() / 2 + 5);
    } else {
        btnOK->move((clientWidth - btnOK->width()) / 2, clientHeight - kOKBottomGap - btnOK->height());
        btnOK->show();
    }
    FOnAnswer = std::move(callback);
    BringToFront();
}

void TMessageDlg::ShowOffer(const QString& text, const std::vector<std::string>& lines,
                            TMessageDlgAnswerProc callback)
{
    AssertGuiThread();
    SetLabelWidth(kOfferLabelWidth);
    QFont bold = lblMessage->font();
    bold.setBold(true);
    lblMessage->setFont(bold);
    lblMessage->setWordWrap(true);
    lblMessage->move(10, 10);
    lblMessage->setText(text);
    lblMessage->resize(lblMessage->width(), LabelHeight());
    SetClientWidth(lblMessage->width() + 20);
    SetClientHeight(btnDownload->height() + 190);

    QStringList notes;
    for (const std::string& line : lines)
        notes.append(ToDialogText(line));
    Memo1->setPlainText(notes.join(QLatin1Char('\n')));
    const int labelHeight = lblMessage->height();
    // A text too long for the design leaves no room for the list rather than a negative height.
    const int memoHeight = std::max(0, height() - 20 - labelHeight - 2 * btnYes->height() - 20);
    Memo1->setGeometry(10, labelHeight + 20, width() - 25, memoHeight);
    Memo1->show();

    btnOK->hide();
    const int clientWidth = width();
    const int clientHeight = height();
    btnDownload->move(clientWidth / 2 - btnDownload->width() - 5, clientHeight - btnDownload->height() - 10);
    btnDownload->show();
    btnCancel->move(clientWidth / 2 + 5, clientHeight - btnCancel->height() - 10);
    btnCancel->show();
    FOnAnswer = std::move(callback);
    BringToFront();
}

void TMessageDlg::ShowProgress(const QString& text, TMessageDlgAnswerProc callback)
{
    AssertGuiThread();
    // Disabled while it is laid out, so that nothing is pressed half-way.
    setEnabled(false);
    FOnAnswer = std::move(callback);
    LayOutText(text);
    btnOK->hide();
    btnCancel->move(width() - btnCancel->width() - 5, height() - 75);
    btnCancel->show();
    ProgressBar1->setValue(0);
    ProgressBar1->show();
    BringToFront();
    setEnabled(true);
}

void TMessageDlg::Answer(int answer)
{
    if (!FOnAnswer)
        return;
    // A copy: the callback may store a new one in this dialog.
    const TMessageDlgAnswerProc callback = FOnAnswer;
    callback(*this, answer);
}

void TMessageDlg::btnOKClick()
{
    FOKPressed = true;
    if (FOwnedByApplication)
        deleteLater();
    else
        hide(); // its owner frees it
}

void TMessageDlg::btnYesClick()
{
    FYesPressed = true;
    Answer(mdaYes);
}

void TMessageDlg::btnNoClick()
{
    FNoPressed = true;
    Answer(mdaNo);
}

void TMessageDlg::btnCancelClick()
{
    FCancelPressed = true;
    Answer(mdaCancel);
}

void TMessageDlg::btnDownloadClick()
{
    FDownloadPressed = true;
    Answer(mdaDownload);
}

void TMessageDlg::reject()
{
    close();
}

void TMessageDlg::closeEvent(QCloseEvent* event)
{
    event->accept();
    FormClose();
}

void TMessageDlg::FormClose()
{
    // Only a dialog the user could see was closed by the user; closing a
    // hidden one again answers nothing.
    const bool wasVisible = isVisible();
    hide();
    const bool answered = FYesPressed || FNoPressed || FCancelPressed || FOKPressed || FDownloadPressed;
    if (wasVisible && !answered)
        Answer(mdaClosed);
}

void ShowMessageText(const std::string& text)
{
    (void)ShowQuestion(text, mdbOK, nullptr);
}

TMessageDlg* ShowQuestion(const std::string& text, int buttons, TMessageDlgAnswerProc callback)
{
    if (text.empty())
        return nullptr;
    TMessageDlg* dialog = TMessageDlgOwner::Instance().Adopt(std::make_unique<TMessageDlg>());
    dialog->ShowText(ToDialogText(text), buttons, std::move(callback));
    return dialog;
}

TMessageDlg* ShowCommandQuestion(const std::string& text, int buttons, int kind, const std::string& command,
                                 TMessageDlgAnswerProc callback)
{
    TMessageDlg* dialog = ShowQuestion(text, buttons, std::move(callback));
    if (!dialog) {
        DebugLog("ShowCommandQuestion: empty question text, nothing shown");
        return nullptr;
    }
    dialog->Kind = kind;
    dialog->Command = command;
    return dialog;
}

TMessageDlg* ShowDownloadOffer(const std::string& text, const std::vector<std::string>& lines,
                               std::unique_ptr<TMessageDlg>& dialog, TMessageDlgAnswerProc callback)
{
    if (!dialog)
        dialog = std::make_unique<TMessageDlg>();
    else
        dialog->ShowOffer(ToDialogText(text), lines, std::move(callback));
    return dialog.get();
}

TMessageDlg* ShowProgressDialog(const std::string& text, std::unique_ptr<TMessageDlg>& dialog,
                                TMessageDlgAnswerProc callback)
{
    if (!dialog)
        dialog = std::make_unique<TMessageDlg>();
    else
        dialog->ShowProgress(ToDialogText(text), std::move(callback));
    return dialog.get();
}

#include "orvMessageDlg.moc"
