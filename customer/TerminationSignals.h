#pragma once

// SIGINT, SIGTERM and SIGHUP close the main window the ordinary way (so the
// helpdesk hears that the customer left) instead of killing the process.

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class TorvTerminationSignals : public QObject
{
    Q_OBJECT

public:
    // onSignal runs on the GUI thread, once per signal that arrives.
    explicit TorvTerminationSignals(std::function<void()> onSignal);
    ~TorvTerminationSignals() override;
    TorvTerminationSignals(const TorvTerminationSignals&) = delete;
    TorvTerminationSignals& operator=(const TorvTerminationSignals&) = delete;

private:
    std::function<void()> FOnSignal;
    int FFds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> FNotifier;
};
