#include "lib/orvUpdateFeature.h"

#include "lib/debugProc.h"
#include "lib/orvMessageDlg.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QThread>

#include <QProgressBar>
#include <QWidget>
#include <algorithm>

#include <climits>
#include <cstdlib>

namespace {

// The download thread hands everything over to the GUI thread first; a
// widget touched from elsewhere is a programming error worth stopping for.
void GuiThreadOnly(const char* what)
{
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
        DebugLogError(std::string("Update dialogs used off the GUI thread: ") + what);
        std::abort();
    }
}

} // namespace

// ================================================================== dialogs

TorvUpdateDialogs::TorvUpdateDialogs()
{
    // The first call of each only creates the hidden dialog.
    ::ShowDownloadOffer({}, {}, FOffer, nullptr);
    ::ShowProgressDialog({}, FProgress, nullptr);
    FOffer->setObjectName(QStringLiteral("UpdateOffer"));
    FProgress->setObjectName(QStringLiteral("UpdateProgress"));
}

TorvUpdateDialogs::~TorvUpdateDialogs()
{
    SetBusyCursor(false);
}

void TorvUpdateDialogs::SetAnswerHandler(std::function<void(TorvUpdateDialog, int)> handler)
{
    FOnAnswer = std::move(handler);
}

TMessageDlg& TorvUpdateDialogs::Dialog(TorvUpdateDialog dialog) const
{
    return dialog == TorvUpdateDialog::Offer ? *FOffer : *FProgress;
}

void TorvUpdateDialogs::Answer(TorvUpdateDialog dialog, int answer)
{
    if (FOnAnswer)
        FOnAnswer(dialog, answer);
}

void TorvUpdateDialogs::ShowMessage(const std::string& text)
{
    GuiThreadOnly("ShowMessage");
    ::ShowMessageText(text);
}

void TorvUpdateDialogs::ShowDownloadOffer(const std::string& text, const std::vector<std::string>& lines)
{
    GuiThreadOnly("ShowDownloadOffer");
    ::ShowDownloadOffer(text, lines, FOffer,
                        [this](TMessageDlg&, int answer) { Answer(TorvUpdateDialog::Offer, answer); });
}

void TorvUpdateDialogs::ShowProgressDialog(const std::string& text)
{
    GuiThreadOnly("ShowProgressDialog");
    ::ShowProgressDialog(text, FProgress,
                         [this](TMessageDlg&, int answer) { Answer(TorvUpdateDialog::Progress, answer); });
}

void TorvUpdateDialogs::HideDialog(TorvUpdateDialog dialog)
{
    GuiThreadOnly("HideDialog");
    Dialog(dialog).hide();
}

void TorvUpdateDialogs::SetProgressMax(std::int64_t max)
{
    GuiThreadOnly("SetProgressMax");
    FBytesPerStep = max > INT_MAX ? max / INT_MAX + 1 : 1;
    // An unknown size (0) leaves the bar busy rather than full.
    FProgress->ProgressBar1->setRange(0, static_cast<int>(std::max<std::int64_t>(max, 0) / FBytesPerStep));
    FProgress->ProgressBar1->setValue(0);
}

void TorvUpdateDialogs::SetProgressPosition(std::int64_t position)
{
    GuiThreadOnly("SetProgressPosition");
    QProgressBar& bar = *FProgress->ProgressBar1;
    const int value = static_cast<int>(std::max<std::int64_t>(position, 0) / FBytesPerStep);
    if (bar.maximum() > 0)
        bar.setValue(std::min(value, bar.maximum()));
}

void TorvUpdateDialogs::SetBusyCursor(bool busy)
{
    GuiThreadOnly("SetBusyCursor");
    if (busy == FBusy)
        return;
    FBusy = busy;
    // The busy arrow, not the hourglass: Cancel stays clickable meanwhile.
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

// ================================================================== feature

TorvUpdateFeature::TorvUpdateFeature(QWidget* link, TorvUpdateRequest request, TorvUpdateDesktop desktop)
    : FLink(link), FRequest(std::move(request)), FDesktop(std::move(desktop))
{
}

TorvUpdateFeature::~TorvUpdateFeature() = default;

void TorvUpdateFeature::lblUpdateClick()
{
    if (FModule)
        return;
    auto dialogs = std::make_unique<TorvUpdateDialogs>();
    TorvUpdateDialogs* shown = dialogs.get();
    FModule = std::make_unique<TdmUpdateOrvalis>(FRequest, std::move(dialogs), FDesktop);
    FDialogs = shown;
    FLink->setEnabled(false);
}

void TorvUpdateFeature::EndOfTick()
{
    if (!FModule || !FModule->Done())
        return;
    DebugLog("Freeing update module");
    FDialogs = nullptr;
    FModule.reset();
    FLink->setEnabled(true);
}
