#include "lib/orvChatForm.h"

#include "lib/orvChat.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

// Chat texts are the program's 8-bit strings. A zero byte would cut the line
// short in the transcript, so it shows as a replacement character.
QString DisplayText(const std::string& bytes)
{
    QString text = QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

} // namespace

TChatForm::TChatForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ChatForm"));
    setWindowTitle(QString::fromLatin1(orvChatText::Caption));
    setModal(false);
    setSizeGripEnabled(true);
    resize(orvChatText::Width, orvChatText::Height);

    memoChat = new QPlainTextEdit(this);
    memoChat->setObjectName(QStringLiteral("memoChat"));
    memoChat->setReadOnly(true);
    memoChat->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    editMessage = new QLineEdit(this);
    editMessage->setObjectName(QStringLiteral("editMessage"));

    btnSend = new QPushButton(QStringLiteral("Send"), this);
    btnSend->setObjectName(QStringLiteral("btnSend"));
    btnSend->setDefault(true); // Enter sends
    connect(btnSend, &QPushButton::clicked, this, [this] { btnSendClick(); });

    cbBeepOnNewMessage = new QCheckBox(QStringLiteral("Beep on new message"), this);
    cbBeepOnNewMessage->setObjectName(QStringLiteral("cbBeepOnNewMessage"));
    cbBeepOnNewMessage->setChecked(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addWidget(memoChat, 1);
    auto* input = new QHBoxLayout;
    input->addWidget(editMessage, 1);
    input->addWidget(btnSend);
    layout->addLayout(input);
    layout->addWidget(cbBeepOnNewMessage);

    Beep = [] { QApplication::beep(); };
}

TChatForm::~TChatForm() = default;

void TChatForm::SendChatMessage(const std::string& text)
{
    TOrvChatThread* channel = OnGetChatChannel ? OnGetChatChannel() : nullptr;
    if (channel)
        channel->SendChatMessage(text);
}

void TChatForm::btnSendClick()
{
    const QByteArray bytes = editMessage->text().toLocal8Bit();
    const std::string text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    // An empty line goes out too; the transcript shows the line even when
    // nothing could be sent.
    SendChatMessage(text);
    QString line = QString::fromLatin1(orvChatText::YouSaid);
    line.replace(QStringLiteral("%s"), DisplayText(text));
    memoChat->appendPlainText(line);
    editMessage->clear();
    FocusInput();
}

void TChatForm::AddChatMessage(const std::string& text)
{
    if (text.empty())
        return;
    if (isHidden())
        show();
    if (cbBeepOnNewMessage->isChecked() && Beep)
        Beep();
    memoChat->appendPlainText(DisplayText(text));
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
    FocusInput();
}

void TChatForm::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FocusInput();
}

void TChatForm::showEvent(QShowEvent* event)
{
    if (!std::exchange(FPlaced, true))
        PlaceBesideParent();
    QDialog::showEvent(event);
}

void TChatForm::PlaceBesideParent()
{
    QWidget* main = parentWidget() ? parentWidget()->window() : nullptr;
    QScreen* screen = main ? main->screen() : nullptr;
    if (!main || !main->isVisible() || !screen)
        return;
    constexpr int kGap = 8;
    const QRect area = screen->availableGeometry();
    const QRect beside = main->frameGeometry();
    const int frame = frameGeometry().width() - width(); // decorations, once known
    const int right = beside.right() + 1 + kGap;
    const int left = beside.left() - kGap - width() - frame;
    int x = right;
    if (right + width() + frame > area.right() + 1)
        x = left >= area.left() ? left : std::max(area.left(), area.right() + 1 - width() - frame);
    // Before its first show a window's frame is unknown and a move places its client area.
    const int top = frame == 0 ? main->geometry().top() : beside.top();
    const int y = std::clamp(top, area.top(), std::max(area.top(), area.bottom() + 1 - height()));
    move(x, y);
}

void TChatForm::FocusInput()
{
    if (editMessage->isEnabled() && editMessage->isVisibleTo(this))
        editMessage->setFocus(Qt::OtherFocusReason);
}
