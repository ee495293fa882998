#include "lib/kelExceptDlg.h"

#include "lib/debugProc.h"
#include "lib/orvConnections.h"

#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextLayout>
#include <QTimer>

#include <utility>

namespace {

// Asks for the report once the dialog is on the screen (the first user code + 256).
const QEvent::Type kGenerateReportEvent = static_cast<QEvent::Type>(QEvent::User + 256);

// The layout, in the client area's pixels.
constexpr int kClientWidth = 548;
constexpr int kClientHeight = 379;
constexpr int kMessageLeft = 55;
constexpr int kMessageTop = 5;
constexpr int kMessageHeight = 121;
constexpr int kMessageWidth = 397;
constexpr int kMessageRightSpace = kClientWidth - kMessageLeft - kMessageWidth;
constexpr int kIconSize = 32;
constexpr int kIconGap = 15;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 25;
constexpr int kSeparatorTop = 151;
constexpr int kDetailsTop = 284;
constexpr int kPaintWaitMs = 1000;

QString ShownText(const std::string& crLfText)
{
    return QString::fromLocal8Bit(kelToLf(crLfText));
}

std::string Local(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

// Runs its action on every way out of a scope.
template <typename F> class TOnExit
{
public:
    explicit TOnExit(F action) : FAction(std::move(action)) {}
    ~TOnExit() { FAction(); }
    TOnExit(const TOnExit&) = delete;
    TOnExit& operator=(const TOnExit&) = delete;

private:
    F FAction;
};

// Lines the text takes in the edit when wrapped at width.
int WrappedLineCount(const QPlainTextEdit& edit, qreal width)
{
    width = std::max<qreal>(1, width - 2 * edit.document()->documentMargin());
    int count = 0;
    const QStringList paragraphs = edit.toPlainText().split(QLatin1Char('\n'));
    for (const QString& paragraph : paragraphs) {
        QTextLayout layout(paragraph, edit.font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        int lines = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            ++lines;
        }
        layout.endLayout();
        count += std::max(lines, 1);
    }
    return count;
}

} // namespace

TKelExceptionDialog::TKelExceptionDialog(TKelReportSettings settings, TKelMailClient& mail)
    : FSettings(std::move(settings)), FMail(mail)
{
    setObjectName(QStringLiteral("KelExceptionDialog"));
    // A title, the system menu and close: no minimise or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    BuildControls();
    // Wider only when the buttons' captions need it; the message keeps its width.
    resize(kMessageLeft + kMessageWidth + MessageRightSpace(), kClientHeight);
    setMinimumWidth(200);
    FExpandedClientHeight = height();
    ShowDetails(false);
    setWindowIcon(QApplication::windowIcon());
    setWindowTitle(QStringLiteral("%1 - Application error").arg(QGuiApplication::applicationDisplayName()));
}

TKelExceptionDialog::~TKelExceptionDialog() = default;

void TKelExceptionDialog::BuildControls()
{
    TextLabel = new QPlainTextEdit(this);
    TextLabel->setObjectName(QStringLiteral("TextLabel"));
    TextLabel->setReadOnly(true);
    TextLabel->setFrameStyle(QFrame::NoFrame);
    TextLabel->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TextLabel->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TextLabel->setToolTip(QStringLiteral("Use Ctrl+C to copy the report to the clipboard"));
    QPalette formColour = TextLabel->palette();
    formColour.setColor(QPalette::Base, palette().color(QPalette::Window));
    TextLabel->setPalette(formColour);

    btnOk = new QPushButton(QStringLiteral("&OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setDefault(true);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);

    btnDetails = new QPushButton(QStringLiteral("&Information"), this);
    btnDetails->setObjectName(QStringLiteral("btnDetails"));
    btnDetails->setToolTip(QStringLiteral("Show/hide error log"));
    btnDetails->setEnabled(false);
    // Wide enough for either caption in the desktop's font.
    btnDetails->setText(QStringLiteral("<< &Information >>"));
    FButtonWidth = std::max(kButtonWidth, btnDetails->sizeHint().width());
    btnDetails->setText(QStringLiteral("&Information"));
    connect(btnDetails, &QPushButton::clicked, this, [this] {
        orvGuarded("TKelExceptionDialog.btnDetailsClick", [this] { ShowDetails(!FDetailsShown); });
    });

    LblGenerateReport = new QLabel(QStringLiteral("Writing error log, please wait..."), this);
    LblGenerateReport->setObjectName(QStringLiteral("LblGenerateReport"));
    LblGenerateReport->hide();

    Bevel = new QFrame(this);
    Bevel->setObjectName(QStringLiteral("Bevel"));
    Bevel->setFrameShape(QFrame::HLine);
    Bevel->setFrameShadow(QFrame::Sunken);

    FCommentsLabel = new QLabel(QStringLiteral("Comments:"), this);
    MemoComments = new QPlainTextEdit(this);
    MemoComments->setObjectName(QStringLiteral("MemoComments"));
    MemoComments->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FCommentsLabel->setBuddy(MemoComments);

    BtnSend = new QPushButton(QStringLiteral("Send"), this);
    BtnSend->setObjectName(QStringLiteral("BtnSend"));
    BtnSend->setToolTip(QStringLiteral("Sends error log to program vendor"));
    BtnSend->setEnabled(false);
    BtnSend->setAutoDefault(false);
    connect(BtnSend, &QPushButton::clicked, this,
            [this] { orvGuarded("TKelExceptionDialog.BtnSendClick", [this] { BtnSendClick(); }); });

    BtnCopy = new QPushButton(QStringLiteral("Copy to clipboard"), this);
    BtnCopy->setObjectName(QStringLiteral("BtnCopy"));
    BtnCopy->setToolTip(QStringLiteral("Copy error log to clipboard"));
    BtnCopy->setAutoDefault(false);
    connect(BtnCopy, &QPushButton::clicked, this,
            [this] { orvGuarded("TKelExceptionDialog.BtnCopyClick", [this] { CopyReportToClipboard(); }); });

    FDetailsLabel = new QLabel(QStringLiteral("Error log:"), this);
    MemoDetails = new QPlainTextEdit(this);
    MemoDetails->setObjectName(QStringLiteral("MemoDetails"));
    MemoDetails->setReadOnly(true);
    MemoDetails->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoDetails->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoDetails->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont courier(QStringLiteral("Courier New"));
    courier.setStyleHint(QFont::TypeWriter);
    MemoDetails->setFont(courier);
    FDetailsLabel->setBuddy(MemoDetails);

    // The form sees every key first, whichever control has the focus.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
}

int TKelExceptionDialog::MessageRightSpace() const
{
    return std::max(kMessageRightSpace, FButtonWidth + 12);
}

void TKelExceptionDialog::LayOut()
{
    const int w = width();
    const int buttonLeft = w - FButtonWidth - 4;
    TextLabel->setGeometry(kMessageLeft, kMessageTop, std::max(1, w - kMessageLeft - MessageRightSpace()),
                           kMessageHeight);
    btnOk->setGeometry(buttonLeft, 5, FButtonWidth, kButtonHeight);
    btnDetails->setGeometry(buttonLeft, 36, FButtonWidth, kButtonHeight);
    LblGenerateReport->setGeometry(kMessageLeft, 129, TextLabel->width(), 18);
    Bevel->setGeometry(0, kSeparatorTop, w, 2);
    FCommentsLabel->setGeometry(4, 156, 200, 16);
    MemoComments->setGeometry(4, 172, std::max(1, w - 7), 61);
    BtnSend->setGeometry(4, 239, 120, kButtonHeight);
    BtnCopy->setGeometry(128, 239, 130, kButtonHeight);
    FDetailsLabel->setGeometry(4, 268, 200, 16);
    MemoDetails->setGeometry(4, kDetailsTop, std::max(1, w - 8), std::max(1, height() - kDetailsTop - 3));
}

void TKelExceptionDialog::SetError(const TorvUnhandledError& error)
{
    // The record first: later throws could push it out of the ring.
    FThrowRecord = orvFindThrowRecord(error.Error);
    FActiveControl = QApplication::focusWidget();

    FMessage = kelDialogMessage(orvExceptionMessage(error.Error));
    TextLabel->setPlainText(ShownText(FMessage));
    AdjustMessageScrollBar();

    AddDetailLines(kelExceptionLines(orvExceptionClassName(error.Error),
                                     FThrowRecord ? FThrowRecord->Address : 0, GetProgramInfoText()));
    AddDelimiterLine();
}

void TKelExceptionDialog::AddDetailLine(const std::string& line)
{
    FDetails += line;
    FDetails += "\r\n";
    MemoDetails->appendPlainText(QString::fromLocal8Bit(line));
}

void TKelExceptionDialog::AddDetailLines(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        AddDetailLine(line);
}

void TKelExceptionDialog::AddDelimiterLine()
{
    AddDetailLine(std::string(static_cast<std::size_t>(std::max(0, ReportWidth())), DelimiterChar()));
}

void TKelExceptionDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (FReportRequested)
        return;
    FReportRequested = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    LblGenerateReport->show();
    btnOk->setEnabled(false);
    QApplication::beep();
    // The report follows the first paint, so the message is on the screen
    // first; a platform that does not paint soon gets it anyway.
    FAwaitingPaint = true;
    QTimer::singleShot(kPaintWaitMs, this, [this] { PostGenerateReport(); });
}

void TKelExceptionDialog::PostGenerateReport()
{
    if (!FAwaitingPaint)
        return;
    FAwaitingPaint = false;
    QCoreApplication::postEvent(this, new QEvent(kGenerateReportEvent));
}

bool TKelExceptionDialog::event(QEvent* event)
{
    if (event->type() != kGenerateReportEvent)
        return QDialog::event(event);
    // The user reads the message while the details are collected.
    repaint();
    GenerateReport();
    return true;
}

void TKelExceptionDialog::GenerateReport()
{
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    MemoDetails->setUpdatesEnabled(false);
    const TOnExit finish([this] {
        LblGenerateReport->hide();
        MemoDetails->setUpdatesEnabled(true);
        btnOk->setEnabled(true);
        btnDetails->setEnabled(true);
        btnOk->setFocus();
        QGuiApplication::restoreOverrideCursor();
    });
    CreateReport(kelAllSections);
    MemoDetails->moveCursor(QTextCursor::Start);
    MemoDetails->ensureCursorVisible();
}

void TKelExceptionDialog::CreateReport(int sections)
{
    if ((sections & kelStackList) && FThrowRecord) {
        AddDetailLines(kelStackLines(*FThrowRecord, orvResolveStack(FThrowRecord->Frames)));
        AddDelimiterLine();
    }
    if (sections & kelSystemData) {
        TKelScreen screen;
        if (const QScreen* primary = QGuiApplication::primaryScreen()) {
            const QSize size = primary->geometry().size() * primary->devicePixelRatio();
            screen = {size.width(), size.height(), primary->depth()};
        }
        AddDetailLines(kelSystemLines(orvOsInfo(), orvCpuInfo(), orvMemoryInfo(), screen));
        AddDelimiterLine();
    }
    if (sections & kelLoadedModules) {
        const std::vector<TorvLoadedModule> modules = orvLoadedModules();
        if (!modules.empty()) {
            const std::string program = Local(QGuiApplication::applicationDisplayName());
            AddDetailLines(kelModuleLines(modules, [&program](const TorvLoadedModule& module) {
                return kelModuleVersion(module, program);
            }));
            AddDelimiterLine();
        }
    }
    if ((sections & kelActiveControls) && FActiveControl) {
        std::vector<TKelControl> chain;
        for (const QWidget* w = FActiveControl; w; w = w->parentWidget()) {
            chain.push_back({w->metaObject()->className(), Local(w->objectName())});
            if (w->isWindow())
                break;
        }
        AddDetailLines(kelControlLines(chain));
        AddDelimiterLine();
    }
    std::string_view logged = FDetails;
    if (logged.ends_with("\r\n"))
        logged.remove_suffix(2);
    DebugLogError(logged);
    BtnSend->setEnabled(true);
}

std::string TKelExceptionDialog::CommentsText() const
{
    return kelToCrLf(Local(MemoComments->toPlainText()));
}

std::string TKelExceptionDialog::ReportAsText() const
{
    return kelReportAsText(FMessage, CommentsText(), FDetails);
}

void TKelExceptionDialog::CopyReportToClipboard()
{
    QGuiApplication::clipboard()->setText(QString::fromLocal8Bit(ReportAsText()));
}

void TKelExceptionDialog::ShowDetails(bool show)
{
    QString caption = btnDetails->text();
    caption.remove(QLatin1Char('<')).remove(QLatin1Char('>'));
    caption = caption.trimmed();
    btnDetails->setText(show ? QStringLiteral("<< ") + caption : caption + QStringLiteral(" >>"));
    if (show) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        setMaximumHeight(screen ? screen->geometry().height() : QWIDGETSIZE_MAX);
        setMinimumHeight(FCollapsedHeight + 100);
        resize(width(), FExpandedClientHeight);
    } else {
        FExpandedClientHeight = height();
        setMinimumHeight(0);
        if (FCollapsedHeight == 0) {
            resize(width(), kSeparatorTop);
            FCollapsedHeight = height();
        } else {
            resize(width(), FCollapsedHeight);
        }
        setMaximumHeight(FCollapsedHeight);
        setMinimumHeight(FCollapsedHeight);
    }
    MemoDetails->setEnabled(show);
    FDetailsShown = show;
    LayOut();
}

void TKelExceptionDialog::AdjustMessageScrollBar()
{
    // From the geometry, not the viewport: that is only laid out once shown.
    const QRect client = TextLabel->contentsRect();
    int width = client.width();
    if (TextLabel->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        width -= TextLabel->verticalScrollBar()->sizeHint().width();
    const int lineHeight = TextLabel->fontMetrics().size(Qt::TextSingleLine, QStringLiteral("Wg")).height();
    const bool tooHigh = WrappedLineCount(*TextLabel, width) * lineHeight > client.height();
    TextLabel->setVerticalScrollBarPolicy(tooHigh ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

void TKelExceptionDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    LayOut();
    AdjustMessageScrollBar();
}

void TKelExceptionDialog::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    QPainter painter(this);
    const QIcon icon = style()->standardIcon(QStyle::SP_MessageBoxCritical, nullptr, this);
    icon.paint(&painter, QRect(TextLabel->x() - kIconGap - kIconSize, TextLabel->y(), kIconSize, kIconSize));
    PostGenerateReport();
}

bool TKelExceptionDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_C && key->modifiers() == Qt::ControlModifier) {
            if (event->type() == QEvent::KeyPress)
                orvGuarded("TKelExceptionDialog.FormKeyDown", [this] {
                    CopyReportToClipboard();
                    QApplication::beep();
                });
            event->accept();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TKelExceptionDialog::BtnSendClick()
{
    BtnSend->setEnabled(false);
    const std::string subject =
        kelReportSubject(FSettings.ErrorReportSubject, Local(QGuiApplication::applicationDisplayName()));
    const TKelMail mail{FSettings.ErrorReportAddress, subject,
                        kelMailBody(subject, FDetails, CommentsText())};
    try {
        FMail.Compose(mail, [dialog = QPointer<TKelExceptionDialog>(this)](const std::string& failure) {
            orvGuarded("TKelExceptionDialog.BtnSendClick", [&] {
                if (dialog)
                    dialog->BtnSend->setEnabled(true);
                if (!failure.empty())
                    throw EorvException(failure);
            });
        });
    } catch (...) {
        BtnSend->setEnabled(true);
        throw;
    }
}
