#include "lib/kelExceptionHandler.h"

#include "lib/debugProc.h"

TKelException::TKelException(TKelReportSettings settings, std::unique_ptr<TKelMailClient> mail)
    : FSettings(std::move(settings)), FMail(std::move(mail))
{
}

TKelException::~TKelException() = default;

void TKelException::ExceptionHandler(const TorvUnhandledError& error) noexcept
{
    if (FShowing) {
        orvShowStandardError(error);
        return;
    }
    FShowing = true;
    try {
        ShowException(error);
    } catch (...) {
        DebugLogFmt("Unable to show the error report: %s", orvExceptionMessage(std::current_exception()).c_str());
        FDialog.reset();
        FShowing = false;
        orvShowStandardError(error);
    }
}

void TKelException::ShowException(const TorvUnhandledError& error)
{
    if (!FDialog) {
        FDialog = std::make_unique<TKelExceptionDialog>(FSettings, *FMail);
        QObject::connect(FDialog.get(), &QDialog::finished, FDialog.get(), [this] { DialogClosed(); });
    }
    FDialog->SetError(error);
    // Modal for the user, but the failed handler returns first: the program's
    // timers keep running while the report is open.
    FDialog->setWindowModality(Qt::ApplicationModal);
    FDialog->show();
}

void TKelException::DialogClosed()
{
    // Called from the dialog's own signal: it goes once that has returned.
    if (FDialog)
        FDialog.release()->deleteLater();
    FShowing = false;
}

TKelExceptDlgUnit::TKelExceptDlgUnit()
{
    orvSetExceptionTracking(true);
}

TKelExceptDlgUnit::~TKelExceptDlgUnit()
{
    DebugLog("Finalizing orvExecptDlg");
    orvSetExceptionTracking(false);
    DebugLog("Finalizing orvExecptDlg ended");
}

TKelExceptionHandlerUnit::TKelExceptionHandlerUnit(TKelReportSettings settings,
                                                   std::unique_ptr<TKelMailClient> mail)
    : FHandler(std::make_unique<TKelException>(std::move(settings), std::move(mail)))
{
    orvSetApplicationErrorHandler(
        [handler = FHandler.get()](const TorvUnhandledError& error) { handler->ExceptionHandler(error); });
}

TKelExceptionHandlerUnit::~TKelExceptionHandlerUnit()
{
    DebugLog("Finalizing orvExecptionHandler");
    orvSetApplicationErrorHandler({});
    FHandler.reset();
    DebugLog("Finalizing orvExecptionHandler ended");
}
