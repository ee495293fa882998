#pragma once

// The customer program's application object: no error that escapes an event
// handler ends the program; it is logged and shown instead.

#include <QApplication>

#include <exception>
#include <functional>
#include <memory>
#include <string_view>

// Logs the error and shows it in a message box (one at a time; while one is
// open further errors are only logged). Never throws.
void orvReportUnhandledError(std::string_view where, std::exception_ptr error) noexcept;

// Frees the error message boxes still open (at program end).
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

class TorvCustomerApplication : public QApplication
{
public:
    TorvCustomerApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Makes the calling thread the main thread and lets worker threads' calls
// into it (orvSync::Synchronize) run from the Qt event loop. Removed again on
// destruction; by then every worker thread must have ended.
class TorvSyncWake
{
public:
    TorvSyncWake();
    ~TorvSyncWake();
    TorvSyncWake(const TorvSyncWake&) = delete;
    TorvSyncWake& operator=(const TorvSyncWake&) = delete;
};
