#pragma once

// The update check: the update server's INI file announces a version; when it
// is newer than ours the user is offered the package, which is downloaded into
// the temporary folder, run, and the program ends so that it can be replaced.
//
// TdmUpdateOrvalis is the module that runs one check from start to end; the
// main window creates it on "Check for update" and frees it once it is done.
// TLoadFileFromWWW is its download thread. Neither touches a window: the
// module's two dialogs and the cursor sit behind TorvUpdateWindows, and the
// desktop (web page, running the package, ending the program) behind
// TorvUpdateDesktop.

#include "lib/orvAppUtils.h"
#include "lib/orvHttpClient.h"
#include "lib/orvThreads.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// The INI file
// ---------------------------------------------------------------------------

enum class TorvProgramKind { Customer = 0, Helpdesk = 1 };

// What the INI file announces for one program kind. Missing keys read as empty.
struct TorvUpdateAnnouncement
{
    std::string Version;
    std::vector<std::string> Notes; // description lines 1, 2, ... up to the first missing one
    std::string DateText;
    std::string PackageUrl;
};

// Reads the announcement from the section (case does not matter); a missing
// or unreadable file reads as an empty announcement. Lines may be of any length.
TorvUpdateAnnouncement orvReadUpdateIni(const std::string& path, const std::string& section,
                                        TorvProgramKind kind);
// The same on the file's text.
TorvUpdateAnnouncement orvReadUpdateIniText(const std::string& text, const std::string& section,
                                            TorvProgramKind kind);

// ---------------------------------------------------------------------------
// Where the update server is
// ---------------------------------------------------------------------------

struct TorvUpdateServer
{
    std::string UpdateUrl;      // "http://" + host + "/update/update.ini"
    std::string WebPageAddress; // host + "/update", no scheme
};

// The build's update host, unless the settings file names another in its
// [update] section (url=host[:port], with or without "http://").
TorvUpdateServer orvUpdateServer(const std::string& settingsFile);
TorvUpdateServer orvUpdateServerAt(std::string_view address);

// A web page address without a scheme, as a URL the desktop opens.
std::string orvWebPageUrl(const std::string& address);

// ---------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------

enum class TorvUpdateDialog { Offer, Progress };

// The module's two dialogs and the cursor; the GUI thread only.
class TorvUpdateWindows
{
public:
    virtual ~TorvUpdateWindows() = default;
    // Where the dialogs' answers go (the answers of the message dialog).
    virtual void SetAnswerHandler(std::function<void(TorvUpdateDialog, int answer)> handler) = 0;
    // A plain message with OK that lives on its own.
    virtual void ShowMessage(const std::string& text) = 0;
    virtual void ShowDownloadOffer(const std::string& text, const std::vector<std::string>& lines) = 0;
    virtual void ShowProgressDialog(const std::string& text) = 0;
    virtual void HideDialog(TorvUpdateDialog dialog) = 0;
    virtual void SetProgressMax(std::int64_t max) = 0;
    virtual void SetProgressPosition(std::int64_t position) = 0;
    virtual void SetBusyCursor(bool busy) = 0;
};

// What the module asks of the desktop; the GUI thread only.
struct TorvUpdateDesktop
{
    // Opens a web page address (raising on failure).
    std::function<void(const std::string& address)> OpenWebPage;
    // Runs the downloaded package (raising on failure).
    std::function<void(const std::string& path)> RunPackage;
    // Ends the program normally.
    std::function<void()> EndProgram;

    // Web page and package through OSUtils; EndProgram stays to be given.
    static TorvUpdateDesktop Default();
};

// Runs a downloaded package: a program (ELF or a script with "#!") is made
// executable and started, anything else is opened with the desktop's handler.
// Raises EorvException on failure.
void orvRunPackage(const std::string& path);

// The creator's values.
struct TorvUpdateRequest
{
    std::string UpdateUrl;
    std::string WebPageAddress;
    TorvDateTime OwnReleaseDate;
    std::string Language = "EN"; // "EN" becomes "ENG"
    TorvProgramKind Kind = TorvProgramKind::Customer;
    std::string OwnVersion; // empty: the running program's file version
    std::string TempFolder; // empty: the user's own folder in the temporary folder; with a trailing '/'
};

class TdmUpdateOrvalis;

// The download thread: one request at a time into the temporary folder.
class TLoadFileFromWWW : public TorvThread
{
public:
    TLoadFileFromWWW(TdmUpdateOrvalis& owner, TorvHttpClient& http, std::string tempFolder);
    ~TLoadFileFromWWW() override;

    // False while a request is pending (nothing changes); otherwise clears
    // the results and takes the request.
    bool LoadFile(const std::string& fileName, const std::string& url);

    bool Loaded() const { return FLoaded; }
    bool DownloadFailed() const { return FDownloadFailed; }
    bool SaveFailed() const { return FSaveFailed; }
    bool Pending() const;

protected:
    void Execute() override;

private:
    void Download(const std::string& fileName, const std::string& url);
    void CallFileLoadedProc(const std::string& fileName, const std::string& url);

    TdmUpdateOrvalis& FOwner;
    TorvHttpClient& FHttp;
    const std::string FTempFolder;
    mutable std::mutex FMutex; // guards the request
    std::string FFileName;
    std::string FUrl;
    bool FPending = false;
    std::atomic<bool> FLoaded{false};
    std::atomic<bool> FDownloadFailed{false};
    std::atomic<bool> FSaveFailed{false};
};

class TdmUpdateOrvalis
{
public:
    // Creates the hidden dialogs and the thread and asks for the INI file.
    TdmUpdateOrvalis(TorvUpdateRequest request, std::unique_ptr<TorvUpdateWindows> windows,
                     TorvUpdateDesktop desktop);
    // Stops the thread (serving its pending call meanwhile) and frees the dialogs.
    ~TdmUpdateOrvalis();
    TdmUpdateOrvalis(const TdmUpdateOrvalis&) = delete;
    TdmUpdateOrvalis& operator=(const TdmUpdateOrvalis&) = delete;

    // Set once the check has ended; the main window then frees the module.
    bool Done() const { return FDone; }

    // The dialogs' answers (GUI thread).
    void DialogAnswer(TorvUpdateDialog dialog, int answer);
    // The completion of a loaded file (GUI thread).
    void OnFileLoadedProc(const std::string& fileName);
    // Progress of the running transfer (GUI thread).
    void IdHTTP1WorkBegin(std::int64_t max);
    void IdHTTP1Work(std::int64_t count);
    void IdHTTP1WorkEnd();

    const std::string& IniFileName() const { return FIniFileName; }
    const std::string& PackageFileName() const { return FPackageFileName; }
    const std::string& PackageUrl() const { return FPackageUrl; }
    const std::string& AnnouncedVersion() const { return FAnnouncedVersion; }
    const std::vector<std::string>& ReleaseNotes() const { return FReleaseNotes; }
    const TLoadFileFromWWW& Thread() const { return *FThread; }

private:
    friend class TLoadFileFromWWW;

    bool CheckVersion();
    void ExecutePackage();
    void SetDone() { FDone = true; }
    void FileNotLoaded(const std::string& fileName, const std::string& url);
    void SetBusyCursor(bool busy);

    const TorvUpdateRequest FRequest;
    const std::string FTempFolder;
    const std::string FLanguage;
    const std::string FIniFileName;
    std::string FAnnouncedVersion;
    std::vector<std::string> FReleaseNotes;
    TorvDateTime FAnnouncedDate;
    std::string FPackageUrl;
    std::string FPackageFileName;
    std::atomic<bool> FDone{false};

    std::unique_ptr<TorvUpdateWindows> FWindows;
    TorvUpdateDesktop FDesktop;
    TorvHttpClient IdHTTP1;
    std::unique_ptr<TLoadFileFromWWW> FThread;
};

// The module's texts, shared with the tests.
namespace orvUpdateText {
inline constexpr const char* NewVersion =
    "There is a new version available. It was released %s. Do you want to update?";
inline constexpr const char* UpToDate = "You already have the latest version. Your version was released %s";
inline constexpr const char* CannotFind = "Cannot find %s file from %s";
inline constexpr const char* IniError = "Error in %s file";
inline constexpr const char* CannotSave = "Unable to save %s. File might be in use. Update failed.";
inline constexpr const char* CannotLoad = "Unable to load file from %s. Update failed.";
inline constexpr const char* Loading = "Loading update package. Please wait.";
inline constexpr const char* CannotCompare = orvCannotCompareVersions;
inline constexpr const char* CannotDelete = "Deleting file %s failed";
inline constexpr const char* CannotExecute = "Unable to execute file %s";
} // namespace orvUpdateText
