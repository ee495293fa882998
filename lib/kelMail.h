#pragma once

// The user's mail program through xdg-email: a new message with recipient,
// subject and body, for the user to look at and send.

#include "lib/kelExceptDlg.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class TorvChildProcess;

class TKelXdgEmail final : public QObject, public TKelMailClient
{
public:
    TKelXdgEmail();
    ~TKelXdgEmail() override;

    // Raises EorvException when xdg-email cannot be found or started. done
    // learns xdg-email's verdict when it ends; it may run as long as the mail
    // program it started (which is left running when we end).
    void Compose(const TKelMail& mail, TDone done) override;

private:
    struct TRunning;
    void Poll();

    std::vector<std::unique_ptr<TRunning>> FRunning;
    QTimer FPollTimer;
};

// What an exit code of xdg-email means.
std::string kelXdgEmailFailure(int exitCode);
