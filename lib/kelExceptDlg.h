#pragma once

// The unhandled-error report: tells the user what happened, takes their
// comments, shows the technical report (collected after the dialog has been
// painted), copies it and sends it with the user's mail program.

#include "lib/kelExceptReport.h"
#include "lib/orvApplicationErrors.h"

#include <QDialog>
#include <QPointer>

#include <functional>
#include <optional>
#include <string>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

struct TKelMail
{
    std::string Recipient;
    std::string Subject;
    std::string Body;
};

// The user's mail program, opened with a message to edit and send.
class TKelMailClient
{
public:
    using TDone = std::function<void(const std::string& failure)>;
    virtual ~TKelMailClient() = default;
    // Raises when the mail program cannot be reached at all; otherwise done
    // runs later on the GUI thread, with an empty failure when it has the message.
    virtual void Compose(const TKelMail& mail, TDone done) = 0;
};

// Sections of CreateReport.
enum : int {
    kelStackList = 1,
    kelSystemData = 2,
    kelLoadedModules = 4,
    kelActiveControls = 8,
    kelAllSections = 15,
};

class TKelExceptionDialog : public QDialog
{
    Q_OBJECT

public:
    TKelExceptionDialog(TKelReportSettings settings, TKelMailClient& mail);
    ~TKelExceptionDialog() override;

    // Fills the message and the first lines of the details for error; the
    // control with the keyboard focus now is the one the report names.
    void SetError(const TorvUnhandledError& error);

    void CreateReport(int sections);
    std::string ReportAsText() const;
    void CopyReportToClipboard();
    void ShowDetails(bool show);
    bool DetailsShown() const { return FDetailsShown; }

    // The texts as the report holds them, with CR LF line ends.
    const std::string& MessageText() const { return FMessage; }
    const std::string& DetailsText() const { return FDetails; }
    std::string CommentsText() const;

    virtual int ReportWidth() const { return 78; }
    virtual char DelimiterChar() const { return '-'; }
    void AddDelimiterLine();

    // The controls, named as their object names.
    QPlainTextEdit* TextLabel;
    QPushButton* btnOk;
    QPushButton* btnDetails;
    QLabel* LblGenerateReport;
    QFrame* Bevel;
    QPlainTextEdit* MemoComments;
    QPushButton* BtnSend;
    QPushButton* BtnCopy;
    QPlainTextEdit* MemoDetails;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void BuildControls();
    int MessageRightSpace() const;
    void LayOut();
    void AddDetailLine(const std::string& line);
    void AddDetailLines(const std::vector<std::string>& lines);
    void PostGenerateReport();
    void GenerateReport();
    void AdjustMessageScrollBar();
    void BtnSendClick();

    TKelReportSettings FSettings;
    TKelMailClient& FMail;

    bool FDetailsShown = false;
    QPointer<QWidget> FActiveControl;
    int FCollapsedHeight = 0;
    int FExpandedClientHeight = 0;
    int FButtonWidth = 0;

    bool FReportRequested = false;
    bool FAwaitingPaint = false;
    std::string FMessage;
    std::string FDetails;
    std::optional<TorvThrowRecord> FThrowRecord;
    QLabel* FCommentsLabel;
    QLabel* FDetailsLabel;
};
