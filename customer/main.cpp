// The customer program: its start-up order, its message loop and its end.

#include "customer/CustomerApplication.h"
#include "customer/Mainform.h"
#include "customer/Pictures.h"
#include "customer/TerminationSignals.h"
#include "lib/debugProc.h"
#include "lib/kelExceptionHandler.h"
#include "lib/kelMail.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvOSUtils.h"
#include "lib/orvThreads.h"

#include <QMessageBox>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

// The key strings' complaints: modal, OK only, owned by no window.
void ShowKeysMessageBox(const std::string& text, const std::string& caption)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok);
    box.exec();
}

std::unique_ptr<TorvOSUtils> NewOSUtils()
{
    TorvOSPlatform platform = TorvOSPlatform::Default();
    platform.ShowKeysMessage = ShowKeysMessageBox;
    return std::make_unique<TorvWDefaultUtils>(std::move(platform));
}

} // namespace

int main(int argc, char** argv)
{
    // The diagnostic log has started before main. Errors record where they
    // were raised from here on, for the error report.
    TKelExceptDlgUnit exceptDlg;
    orvStartConnectionCore();
    // Process-wide, outliving the window: ended after the connection core.
    TorvOSUtilsScope osUtils(NewOSUtils());
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    int result = 0;
    {
        DebugLog("Initializing application");
        TorvCustomerApplication app(argc, argv);
        // The window decides when the program ends: closing it ends the loop,
        // whatever message dialogs are still open.
        QApplication::setQuitOnLastWindowClosed(false);
        // Every window of the program carries its icon, the error report's too.
        QApplication::setWindowIcon(orvPicture(TorvPicture::Icon));
        TKelExceptionHandlerUnit exceptionHandler(kelReportSettings(SettingsFilePath()),
                                                  std::make_unique<TKelXdgEmail>());
        {
            TorvSyncWake syncWake;
            std::vector<std::string> args;
            const QStringList arguments = QCoreApplication::arguments();
            for (qsizetype i = 1; i < arguments.size(); ++i)
                args.push_back(arguments[i].toLocal8Bit().toStdString());

            DebugLog("Creating main form");
            auto form = std::make_unique<TfrmCustomer>(std::move(args));
            DebugLog("Main form created");
            if (!form->StopRequested()) {
                QObject::connect(form.get(), &TfrmCustomer::closed, &app, &QCoreApplication::quit,
                                 Qt::QueuedConnection);
                TorvTerminationSignals termination([&form] {
                    if (form && form->isVisible())
                        form->close();
                });
                form->show();
                result = app.exec();
            }
            form.reset();
            orvCloseErrorReports();
            // Worker threads may still wait for the GUI thread; none is served any more.
            orvSync::StopServing();
            orvShutdownConnectionCore();
        }
    }
    try {
        CheckAllServersDestroyed();
    } catch (const std::exception& e) {
        DebugLogFmt("%s", e.what());
    }
    return result;
}
