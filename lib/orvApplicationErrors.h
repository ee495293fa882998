#pragma once

// The application's handling of errors that escape an event handler: they are
// logged and handed to the application's error handler, which the error
// report installs; without one, the standard error box shows them. No error
// ends the program.

#include <exception>
#include <functional>
#include <string>
#include <string_view>

struct TorvUnhandledError
{
    std::string Where; // the handler that failed ("TfrmCustomer.MainTimerTimer")
    std::exception_ptr Error;
};

using TorvApplicationErrorHandler = std::function<void(const TorvUnhandledError&)>;

// Makes handler the application's error handler (empty: the standard box again).
void orvSetApplicationErrorHandler(TorvApplicationErrorHandler handler);

// Logs the error and hands it to the application's error handler. Never throws.
void orvReportUnhandledError(std::string_view where, std::exception_ptr error) noexcept;

// The application's own display of an error: an application-modal message box
// with the error's text that does not hold up the caller. One at a time: while
// one is open, further errors are only logged. Never throws.
void orvShowStandardError(const TorvUnhandledError& error) noexcept;

// Frees the standard error boxes still open (at program end).
void orvCloseErrorReports() noexcept;

// Runs deliver; an error escaping it is reported and false is returned.
bool orvDeliverGuarded(std::string_view where, const std::function<bool()>& deliver) noexcept;

// Runs a handler of ours; an error escaping it is reported.
template <typename F> void orvGuarded(std::string_view where, F&& handler) noexcept
{
    orvDeliverGuarded(where, [&] {
        handler();
        return true;
    });
}
