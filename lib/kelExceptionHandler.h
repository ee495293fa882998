#pragma once

// Connects the application's error handling to the report dialog: one report
// at a time; an error while it is open goes to the standard error box.

#include "lib/kelExceptDlg.h"

#include <memory>

// The handler object: lives from program start to end.
class TKelException
{
public:
    TKelException(TKelReportSettings settings, std::unique_ptr<TKelMailClient> mail);
    ~TKelException();
    TKelException(const TKelException&) = delete;
    TKelException& operator=(const TKelException&) = delete;

    // The application's error handler.
    void ExceptionHandler(const TorvUnhandledError& error) noexcept;

    // The report being shown, if any.
    TKelExceptionDialog* CurrentDialog() const { return FDialog.get(); }

private:
    void ShowException(const TorvUnhandledError& error);
    void DialogClosed();

    TKelReportSettings FSettings;
    std::unique_ptr<TKelMailClient> FMail;
    bool FShowing = false; // GUI thread only
    std::unique_ptr<TKelExceptionDialog> FDialog;
};

// The report dialog's part of program start and end: the stack list of every
// error is recorded from start to end.
class TKelExceptDlgUnit
{
public:
    TKelExceptDlgUnit();
    ~TKelExceptDlgUnit();
    TKelExceptDlgUnit(const TKelExceptDlgUnit&) = delete;
    TKelExceptDlgUnit& operator=(const TKelExceptDlgUnit&) = delete;
};

// The handler's part: creates the handler object and makes it the
// application's error handler; takes both back at the end.
class TKelExceptionHandlerUnit
{
public:
    TKelExceptionHandlerUnit(TKelReportSettings settings, std::unique_ptr<TKelMailClient> mail);
    ~TKelExceptionHandlerUnit();
    TKelExceptionHandlerUnit(const TKelExceptionHandlerUnit&) = delete;
    TKelExceptionHandlerUnit& operator=(const TKelExceptionHandlerUnit&) = delete;

    TKelException& Handler() { return *FHandler; }

private:
    std::unique_ptr<TKelException> FHandler;
};
