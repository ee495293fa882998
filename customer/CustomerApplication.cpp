#include "customer/CustomerApplication.h"

#include "lib/debugProc.h"
#include "lib/orvThreads.h"

#include <QMessageBox>
#include <QMetaObject>

#include <atomic>
#include <string>
#include <vector>

namespace {

constexpr const char* kErrorBoxName = "orvUnhandledError";

std::string ErrorText(std::exception_ptr error)
{
    try {
        if (error)
            std::rethrow_exception(error);
        return "Unknown error";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

bool ErrorBoxOpen()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(kErrorBoxName) && w->isVisible())
            return true;
    return false;
}

} // namespace

void orvReportUnhandledError(std::string_view where, std::exception_ptr error) noexcept
{
    try {
        const std::string text = ErrorText(error);
        DebugLogFmt("Unhandled error in %.*s: %s", static_cast<int>(where.size()), where.data(),
                    text.c_str());
        if (!qApp || ErrorBoxOpen())
            return;
        // Modeless: a modal box would run a nested event loop inside the
        // handler that failed, and the timer could fail into it again.
        auto* box = new QMessageBox(QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                                    QString::fromLocal8Bit(text.c_str()), QMessageBox::Ok);
        box->setObjectName(QLatin1String(kErrorBoxName));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
    } catch (...) {
        DebugLog("Unable to show an unhandled error");
    }
}

void orvCloseErrorReports() noexcept
{
    std::vector<QWidget*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(kErrorBoxName))
            boxes.push_back(w);
    for (QWidget* box : boxes)
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

TorvCustomerApplication::TorvCustomerApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TorvCustomerApplication::notify(QObject* receiver, QEvent* event)
{
    return orvDeliverGuarded("event handler", [&] { return QApplication::notify(receiver, event); });
}

TorvSyncWake::TorvSyncWake()
{
    orvSync::SetMainThread();
    // One queued run at a time is enough: it serves every call waiting by then.
    auto posted = std::make_shared<std::atomic<bool>>(false);
    orvSync::SetWakeMainThread([posted] {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || posted->exchange(true))
            return;
        QMetaObject::invokeMethod(
            app,
            [posted] {
                posted->store(false);
                orvSync::CheckSynchronize();
            },
            Qt::QueuedConnection);
    });
}

TorvSyncWake::~TorvSyncWake()
{
    orvSync::SetWakeMainThread(nullptr);
}
