#pragma once

// The update check as a feature of the main window: "Check for update"
// creates the update module, the end of a timer tick frees it once it is
// done, and the window's destruction frees one that still runs. The module's
// two dialogs are message dialogs, and the download's progress moves the bar.

#include "lib/orvSessionFeature.h"
#include "lib/orvWWWUpdate.h"

#include <memory>

class QWidget;
class TMessageDlg;

// The module's windows as message dialogs, both created hidden at once.
class TorvUpdateDialogs final : public TorvUpdateWindows
{
public:
    TorvUpdateDialogs();
    ~TorvUpdateDialogs() override;
    TorvUpdateDialogs(const TorvUpdateDialogs&) = delete;
    TorvUpdateDialogs& operator=(const TorvUpdateDialogs&) = delete;

    void SetAnswerHandler(std::function<void(TorvUpdateDialog, int answer)> handler) override;
    void ShowMessage(const std::string& text) override;
    void ShowDownloadOffer(const std::string& text, const std::vector<std::string>& lines) override;
    void ShowProgressDialog(const std::string& text) override;
    void HideDialog(TorvUpdateDialog dialog) override;
    void SetProgressMax(std::int64_t max) override;
    void SetProgressPosition(std::int64_t position) override;
    void SetBusyCursor(bool busy) override;

    TMessageDlg& Offer() const { return *FOffer; }
    TMessageDlg& Progress() const { return *FProgress; }

private:
    TMessageDlg& Dialog(TorvUpdateDialog dialog) const;
    void Answer(TorvUpdateDialog dialog, int answer);

    std::unique_ptr<TMessageDlg> FOffer;
    std::unique_ptr<TMessageDlg> FProgress;
    std::function<void(TorvUpdateDialog, int)> FOnAnswer;
    // The bar counts in steps of this many bytes, so that large packages fit its range.
    std::int64_t FBytesPerStep = 1;
    bool FBusy = false;
};

class TorvUpdateFeature : public TorvSessionFeature
{
public:
    // link: the window's "Check for update" (lblUpdate), disabled while a
    // module exists. desktop: EndProgram must be set.
    TorvUpdateFeature(QWidget* link, TorvUpdateRequest request, TorvUpdateDesktop desktop);
    ~TorvUpdateFeature() override;
    TorvUpdateFeature(const TorvUpdateFeature&) = delete;
    TorvUpdateFeature& operator=(const TorvUpdateFeature&) = delete;

    TorvFeatureKind Kind() const override { return TorvFeatureKind::Update; }
    void EndOfTick() override;

    // The link's click: a module unless one exists.
    void lblUpdateClick();

    TdmUpdateOrvalis* Module() const { return FModule.get(); }
    TorvUpdateDialogs* Dialogs() const { return FDialogs; }

private:
    QWidget* FLink;
    const TorvUpdateRequest FRequest;
    const TorvUpdateDesktop FDesktop;
    std::unique_ptr<TdmUpdateOrvalis> FModule;
    TorvUpdateDialogs* FDialogs = nullptr; // the module's, while it exists
};
