#pragma once

// The customer program's application object: no error that escapes an event
// handler ends the program; it is logged and shown instead.

#include "lib/orvApplicationErrors.h"

#include <QApplication>

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
