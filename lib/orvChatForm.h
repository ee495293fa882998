#pragma once

// The chat window: a transcript, an input line, a Send button and a
// "Beep on new message" check box. It talks to the session through the chat
// channel thread that OnGetChatChannel hands it.

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TOrvChatThread;

class TChatForm : public QDialog
{
    Q_OBJECT

public:
    explicit TChatForm(QWidget* parent = nullptr);
    ~TChatForm() override;
    TChatForm(const TChatForm&) = delete;
    TChatForm& operator=(const TChatForm&) = delete;

    // The session's chat channel thread, or none without a connection.
    std::function<TOrvChatThread*()> OnGetChatChannel;
    // The system's default beep; tests count the calls instead.
    std::function<void()> Beep;

    // Sends a line through the session's chat channel, if there is one.
    void SendChatMessage(const std::string& text);
    // Shows an incoming line (GUI thread only).
    void AddChatMessage(const std::string& text);

    // Controls, by their object names.
    QPlainTextEdit* memoChat = nullptr;
    QLineEdit* editMessage = nullptr;
    QPushButton* btnSend = nullptr;
    QCheckBox* cbBeepOnNewMessage = nullptr;

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void btnSendClick();
    void FocusInput();
    // Beside the main window, so the chat does not hide it.
    void PlaceBesideParent();

    bool FPlaced = false;
};

namespace orvChatText {
inline constexpr const char* Caption = "Chat";
inline constexpr const char* YouSaid = "You said: %s";
inline constexpr int Width = 417;
inline constexpr int Height = 255;
} // namespace orvChatText
