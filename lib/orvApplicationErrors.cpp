#include "lib/orvApplicationErrors.h"

#include "lib/debugProc.h"
#include "platform/orvExceptionTrace.h"

#include <QApplication>
#include <QMessageBox>

#include <vector>

namespace {

constexpr const char* kErrorBoxName = "orvUnhandledError";

// Set and used on the GUI thread only.
TorvApplicationErrorHandler& ApplicationErrorHandler()
{
    static TorvApplicationErrorHandler handler;
    return handler;
}

std::vector<QWidget*> ErrorBoxes()
{
    std::vector<QWidget*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(kErrorBoxName))
            boxes.push_back(w);
    return boxes;
}

} // namespace

void orvSetApplicationErrorHandler(TorvApplicationErrorHandler handler)
{
    ApplicationErrorHandler() = std::move(handler);
}

void orvReportUnhandledError(std::string_view where, std::exception_ptr error) noexcept
{
    try {
        DebugLogFmt("Unhandled error in %.*s: %s", static_cast<int>(where.size()), where.data(),
                    orvExceptionMessage(error).c_str());
        const TorvUnhandledError unhandled{std::string(where), error};
        // A copy: the handler may replace itself while it runs.
        const TorvApplicationErrorHandler handler = ApplicationErrorHandler();
        if (handler)
            handler(unhandled);
        else
            orvShowStandardError(unhandled);
    } catch (...) {
        DebugLog("Unable to show an unhandled error");
    }
}

void orvShowStandardError(const TorvUnhandledError& error) noexcept
{
    try {
        if (!qApp)
            return;
        for (QWidget* box : ErrorBoxes())
            if (box->isVisible())
                return;
        // Not exec(): a nested event loop inside the handler that failed would
        // stop its timer, and the same error could come back into it.
        auto* box =
            new QMessageBox(QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                            QString::fromLocal8Bit(orvExceptionMessage(error.Error)), QMessageBox::Ok);
        box->setObjectName(QLatin1String(kErrorBoxName));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::ApplicationModal);
        box->show();
    } catch (...) {
        DebugLog("Unable to show an unhandled error");
    }
}

void orvCloseErrorReports() noexcept
{
    for (QWidget* box : ErrorBoxes())
        delete box;
}

bool orvDeliverGuarded(std::string_view where, const std::function<bool()>& deliver) noexcept
{
    try {
        return deliver();
    } catch (...) {
        orvReportUnhandledError(where, std::current_exception());
        return false;
    }
}
