#include "customer/CustomerApplication.h"

#include "lib/orvThreads.h"

#include <QMetaObject>

#include <atomic>

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
