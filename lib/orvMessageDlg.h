#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCloseEvent;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class TMessageDlg;

// Answers handed to the callback.
constexpr int mdaYes = 0;
constexpr int mdaNo = 1;
constexpr int mdaCancel = 3;
constexpr int mdaDownload = 4;
constexpr int mdaClosed = 5; // closed without pressing any button

// Button sets of a question.
constexpr int mdbYesNo = 0;
constexpr int mdbYesNoCancel = 1;
constexpr int mdbOK = 2; // any other value also gives OK only

using TMessageDlgAnswerProc = std::function<void(TMessageDlg& dialog, int answer)>;

// The program's own modeless message dialog: plain messages, questions, the
// update offer and the download progress. It stays on top, the caller goes on
// at once and the answer comes back later through the callback, on the GUI
// thread. Texts are the program's 8-bit strings in the local encoding.
class TMessageDlg : public QDialog
{
    Q_OBJECT

public:
    TMessageDlg();
    ~TMessageDlg() override;
    TMessageDlg(const TMessageDlg&) = delete;
    TMessageDlg& operator=(const TMessageDlg&) = delete;

    // What the caller attached to a question: the command to run on Yes, and
    // a tag telling its questions apart.
    std::string Command;
    int Kind = 0;

    bool YesPressed() const { return FYesPressed; }
    bool NoPressed() const { return FNoPressed; }
    bool CancelPressed() const { return FCancelPressed; }
    bool OKPressed() const { return FOKPressed; }
    bool DownloadPressed() const { return FDownloadPressed; }

    // Lays out and shows a plain message (any buttons value but 0 and 1) or a
    // question, storing the callback.
    void ShowText(const QString& text, int buttons, TMessageDlgAnswerProc callback);
    // The update offer: bold text over a scrolling list, Download and Cancel.
    void ShowOffer(const QString& text, const std::vector<std::string>& lines,
                   TMessageDlgAnswerProc callback);
    // The progress dialog: text, Cancel and the bar at 0.
    void ShowProgress(const QString& text, TMessageDlgAnswerProc callback);

    void btnOKClick();
    void btnYesClick();
    void btnNoClick();
    void btnCancelClick();
    void btnDownloadClick();

    // Components, by their object names.
    QLabel* lblMessage = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnYes = nullptr;
    QPushButton* btnNo = nullptr;
    QPushButton* btnCancel = nullptr;
    QPushButton* btnDownload = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;

public slots:
    // Escape closes the dialog like the close box does.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormClose();
    void Answer(int answer);
    // Width rule shared by messages, questions and the progress dialog.
    void FitWidthToText(const QString& text);
    // Fits the dialog to the text and leaves room for the buttons below it.
    void LayOutText(const QString& text);
    void SetLabelWidth(int width);
    void CentreLabel();
    int LabelHeight() const;
    void SetClientWidth(int width);
    void SetClientHeight(int height);
    void CentreOnScreen();
    void BringToFront();

    friend class TMessageDlgOwner;

    TMessageDlgAnswerProc FOnAnswer;
    // Set for the dialogs the application owns; only those free themselves on OK.
    bool FOwnedByApplication = false;
    bool FYesPressed = false;
    bool FNoPressed = false;
    bool FCancelPressed = false;
    bool FOKPressed = false;
    bool FDownloadPressed = false;
};

// A plain message with OK; nothing for an empty text. The dialog belongs to the
// application: OK frees it, closing hides it until the application ends.
void ShowMessageText(const std::string& text);

// A question: buttons 0 gives Yes and No, 1 Yes, No and Cancel, anything else
// OK only. Returns no dialog (and shows nothing) for an empty text. The dialog
// belongs to the application; the pointer stays valid until OK frees it or the
// application ends. A callback that wants the dialog gone closes or hides it,
// or calls deleteLater(), never deletes it directly.
TMessageDlg* ShowQuestion(const std::string& text, int buttons, TMessageDlgAnswerProc callback);

// ShowQuestion with Kind and Command set. An empty text shows nothing and
// returns no dialog.
TMessageDlg* ShowCommandQuestion(const std::string& text, int buttons, int kind, const std::string& command,
                                 TMessageDlgAnswerProc callback);

// Two calls: with an empty `dialog` it only creates a hidden dialog into it,
// which the caller owns (text, lines and callback are not used); with that
// dialog it lays out and shows the offer. Returns the dialog.
TMessageDlg* ShowDownloadOffer(const std::string& text, const std::vector<std::string>& lines,
                               std::unique_ptr<TMessageDlg>& dialog, TMessageDlgAnswerProc callback);

// The same two-call pattern for the progress dialog; the caller then moves
// dialog->ProgressBar1.
TMessageDlg* ShowProgressDialog(const std::string& text, std::unique_ptr<TMessageDlg>& dialog,
                                TMessageDlgAnswerProc callback);
