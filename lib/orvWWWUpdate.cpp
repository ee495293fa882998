#include "lib/orvWWWUpdate.h"

#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvOSUtils.h"
#include "platform/orvTempFiles.h"
#include "transport/MCAddress.h"

#include "orvVersion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <system_error>

namespace {

constexpr const char* kUnit = "lib/orvWWWUpdate";

// The texts carry "%s" markers; each takes the next argument.
std::string Substitute(std::string_view format, std::initializer_list<std::string_view> args)
{
    std::string text;
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next != args.end()) {
            text += *next++;
            ++i;
        } else {
            text += format[i];
        }
    }
    return text;
}

bool HasScheme(std::string_view text)
{
    const auto colon = text.find("://");
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (char c : text.substr(0, colon))
        if (!std::isalpha(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

// ------------------------------------------------------------------ INI file

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// One section of an INI text, keys in lower case. Lines have no length limit
// (package addresses can be long); section and key names ignore case; the
// first value of a key counts; a line starting with ';' or '#' is a comment;
// quotes around a whole value are not part of it.
std::map<std::string, std::string> ReadIniSection(const std::string& text, const std::string& section)
{
    std::map<std::string, std::string> values;
    const std::string wanted = Lower(section);
    bool inSection = false;
    std::istringstream lines(text);
    for (std::string raw; std::getline(lines, raw);) {
        const std::string_view line = MCTrim(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            inSection = close != std::string_view::npos && Lower(MCTrim(line.substr(1, close - 1))) == wanted;
            continue;
        }
        const auto equals = line.find('=');
        if (!inSection || equals == std::string_view::npos)
            continue;
        std::string_view value = MCTrim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        values.emplace(Lower(MCTrim(line.substr(0, equals))), std::string(value));
    }
    return values;
}

} // namespace

TorvUpdateAnnouncement orvReadUpdateIni(const std::string& path, const std::string& section,
                                        TorvProgramKind kind)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream content;
    content << in.rdbuf();
    return orvReadUpdateIniText(content.str(), section, kind);
}

TorvUpdateAnnouncement orvReadUpdateIniText(const std::string& text, const std::string& section,
                                            TorvProgramKind kind)
{
    const bool customer = kind == TorvProgramKind::Customer;
    const std::string versionKey = customer ? "CustomerVersion" : "HelpdeskVersion";
    const std::string lineKey =
        customer ? "CustomerVersionDescriptionLine" : "HelpdeskVersionDescriptionLine";
    const std::string dateKey = customer ? "CustomerVersionDate" : "HelpdeskVersionDate";
    const std::string fileKey = customer ? "UpdateFileForCustomer" : "UpdateFileForHelpdesk";

    TorvUpdateAnnouncement announcement;
    const std::map<std::string, std::string> values = ReadIniSection(text, section);
    const auto get = [&](const std::string& key) -> const std::string* {
        const auto found = values.find(Lower(key));
        return found == values.end() ? nullptr : &found->second;
    };
    const auto getOrEmpty = [&](const std::string& key) {
        const std::string* value = get(key);
        return value ? *value : std::string();
    };
    announcement.Version = getOrEmpty(versionKey);
    // A missing line reads as "NOT FOUND", which ends the notes; so does that text itself.
    for (int line = 1;; ++line) {
        const std::string* note = get(lineKey + std::to_string(line));
        if (!note || *note == "NOT FOUND")
            break;
        announcement.Notes.push_back(*note);
    }
    announcement.DateText = getOrEmpty(dateKey);
    announcement.PackageUrl = getOrEmpty(fileKey);
    return announcement;
}

// ================================================================ the server

TorvUpdateServer orvUpdateServerAt(std::string_view address)
{
    address = MCTrim(address);
    std::string scheme = "http://";
    if (HasScheme(address)) {
        const auto end = address.find("://") + 3;
        scheme = std::string(address.substr(0, end));
        address.remove_prefix(end);
    }
    while (!address.empty() && address.back() == '/')
        address.remove_suffix(1);
    const std::string host(address);
    return {scheme + host + "/update/update.ini", host + "/update"};
}

TorvUpdateServer orvUpdateServer(const std::string& settingsFile)
{
    const std::string configured = ReadSettingsValue(settingsFile, "update", "url");
    if (!configured.empty())
        return orvUpdateServerAt(configured);
    return orvUpdateServerAt(ORV_UPDATE_HOST);
}

std::string orvWebPageUrl(const std::string& address)
{
    return HasScheme(address) ? address : "http://" + address;
}

// ======================================================== the download thread

namespace {

// The body goes into a private file beside the target and takes the
// target's name only when complete: no half-written file under that name.
class TPartialFile
{
public:
    explicit TPartialFile(const std::string& folder)
    {
        FPath = folder + "orvXXXXXX.part";
        // Not inherited: a program started meanwhile must not hold the package open.
        FFd = ::mkostemps(FPath.data(), 5, O_CLOEXEC);
        if (FFd < 0)
            FPath.clear();
    }
    ~TPartialFile()
    {
        if (FFd >= 0)
            ::close(FFd);
        if (!FPath.empty())
            ::unlink(FPath.c_str());
    }
    TPartialFile(const TPartialFile&) = delete;
    TPartialFile& operator=(const TPartialFile&) = delete;

    bool IsOpen() const { return FFd >= 0; }
    bool Write(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t written = ::write(FFd, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }
    // Flushes and gives the file its final name.
    bool Commit(const std::string& target)
    {
        const bool written = ::fsync(FFd) == 0;
        const bool closed = ::close(FFd) == 0;
        FFd = -1;
        if (!written || !closed || ::rename(FPath.c_str(), target.c_str()) != 0)
            return false;
        FPath.clear();
        return true;
    }

private:
    std::string FPath;
    int FFd = -1;
};

// Names that would leave the temporary folder or name it.
bool UsableFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

TLoadFileFromWWW::TLoadFileFromWWW(TdmUpdateOrvalis& owner, TorvHttpClient& http, std::string tempFolder)
    : FOwner(owner), FHttp(http), FTempFolder(std::move(tempFolder))
{
}

TLoadFileFromWWW::~TLoadFileFromWWW()
{
    Terminate();
    FHttp.Disconnect();
    WaitFor();
}

bool TLoadFileFromWWW::LoadFile(const std::string& fileName, const std::string& url)
{
    {
        std::lock_guard lock(FMutex);
        if (FPending)
            return false;
        FLoaded = false;
        FDownloadFailed = false;
        FSaveFailed = false;
        FFileName = fileName;
        FUrl = url;
        FPending = true;
    }
    FHttp.ResetAbort();
    Wake();
    return true;
}

bool TLoadFileFromWWW::Pending() const
{
    std::lock_guard lock(FMutex);
    return FPending;
}

void TLoadFileFromWWW::Execute()
{
    DebugLog("Executing  TLoadFileFromWWW thread");
    while (Sleep(100)) {
        std::string fileName;
        std::string url;
        {
            std::lock_guard lock(FMutex);
            if (!FPending)
                continue;
            fileName = FFileName;
            url = FUrl;
        }
        try {
            Download(fileName, url);
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TLoadFileFromWWW.Execute: %s", e.what());
            FLoaded = false;
            FDownloadFailed = true;
        }
        // The completion runs on the GUI thread, and the request is over
        // there too, so that an answer to what it shows can start the next.
        const bool served = orvSync::Synchronize([&] {
            CallFileLoadedProc(fileName, url);
            std::lock_guard lock(FMutex);
            FPending = false;
        });
        if (!served) {
            std::lock_guard lock(FMutex);
            FPending = false;
        }
    }
    DebugLog("End of TLoadFileFromWWW thread execution");
}

void TLoadFileFromWWW::Download(const std::string& fileName, const std::string& url)
{
    // A request without a usable name would stay pending for ever; it fails instead.
    if (!UsableFileName(fileName) || url.empty()) {
        DebugLogFmt("No file to load from %s", url.c_str());
        FDownloadFailed = true;
        return;
    }
    const std::string target = FTempFolder + fileName;
    std::error_code ec;
    if (std::filesystem::symlink_status(target, ec).type() != std::filesystem::file_type::not_found) {
        if (!std::filesystem::remove(target, ec) || ec)
            DebugLogFmt("cannot delete file %s", target.c_str());
    }

    TPartialFile partial(FTempFolder);
    orvSync::Synchronize([this] { FOwner.SetBusyCursor(true); });
    std::string error;
    TorvHttpResult result = TorvHttpResult::WriteFailed;
    if (partial.IsOpen())
        result = FHttp.Get(
            url, [&](std::string_view bytes) { return partial.Write(bytes); },
            [this] { return Terminated(); }, error);
    else
        error = "no temporary file";
    orvSync::Synchronize([this] { FOwner.SetBusyCursor(false); });

    if (result == TorvHttpResult::Failed || result == TorvHttpResult::Aborted) {
        DebugLogFmt("Unable to load %s: %s", url.c_str(), error.c_str());
        FLoaded = false;
        FDownloadFailed = true;
        return;
    }
    if (Terminated())
        return;
    // Cancelled after the last byte came: the package is not kept, so it cannot run.
    if (FHttp.Aborted()) {
        DebugLogFmt("Loading %s was cancelled", url.c_str());
        FDownloadFailed = true;
        return;
    }
    if (result == TorvHttpResult::Ok && partial.Commit(target)) {
        FLoaded = true;
        return;
    }
    DebugLogFmt("Unable to save %s: %s", target.c_str(),
                error.empty() ? "cannot write the file" : error.c_str());
    FLoaded = false;
    FSaveFailed = true;
}

void TLoadFileFromWWW::CallFileLoadedProc(const std::string& fileName, const std::string& url)
{
    try {
        if (FLoaded) {
            FOwner.OnFileLoadedProc(fileName);
            return;
        }
        FOwner.FileNotLoaded(fileName, url);
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TLoadFileFromWWW.CallFileLoadedProc: %s", e.what());
    }
}

// ================================================================= the module

TorvUpdateDesktop TorvUpdateDesktop::Default()
{
    TorvUpdateDesktop desktop;
    desktop.OpenWebPage = [](const std::string& address) {
        OSUtils().RunExecutable(orvWebPageUrl(address), "");
    };
    desktop.RunPackage = &orvRunPackage;
    return desktop;
}

void orvRunPackage(const std::string& path)
{
    try {
        std::ifstream in(path, std::ios::binary);
        char head[4] = {};
        in.read(head, sizeof head);
        const std::string_view magic(head, static_cast<std::size_t>(in.gcount()));
        const bool program = magic.starts_with("\x7f"
                                               "ELF") ||
                             magic.starts_with("#!");
        if (program && ::chmod(path.c_str(), S_IRWXU) != 0)
            throw std::system_error(errno, std::generic_category(), "chmod");
        OSUtils().RunExecutable(path, "");
    } catch (const std::exception& e) {
        DebugLogFmt("Unable to run %s: %s", path.c_str(), e.what());
        throw EorvException(Substitute(orvUpdateText::CannotExecute, {path}));
    }
}

namespace {

// The user's own folder in the temporary folder: the file names are fixed,
// and in a shared folder anyone could take them first.
std::string UpdateFolder()
{
    try {
        return orvPrivateTempFolder("orvalis-update");
    } catch (const std::exception& e) {
        DebugLogFmt("No private temporary folder (%s); using %s", e.what(), orvTempFolder().c_str());
        return orvTempFolder();
    }
}

} // namespace

TdmUpdateOrvalis::TdmUpdateOrvalis(TorvUpdateRequest request, std::unique_ptr<TorvUpdateWindows> windows,
                                   TorvUpdateDesktop desktop)
    : FRequest(std::move(request)),
      FTempFolder(FRequest.TempFolder.empty() ? UpdateFolder() : FRequest.TempFolder),
      FLanguage(FRequest.Language == "EN" ? "ENG" : FRequest.Language),
      FIniFileName(orvUrlFileName(FRequest.UpdateUrl)), FWindows(std::move(windows)),
      FDesktop(std::move(desktop))
{
    orvAssert(FWindows != nullptr, kUnit, "The update module needs its windows");
    orvAssert(!FTempFolder.empty() && FTempFolder.back() == '/', kUnit,
              "The temporary folder ends with a separator");
    FWindows->SetAnswerHandler([this](TorvUpdateDialog dialog, int answer) { DialogAnswer(dialog, answer); });
    IdHTTP1.OnWorkBegin = [this](std::int64_t max) { orvSync::Synchronize([&] { IdHTTP1WorkBegin(max); }); };
    IdHTTP1.OnWork = [this](std::int64_t count) { orvSync::Synchronize([&] { IdHTTP1Work(count); }); };
    IdHTTP1.OnWorkEnd = [this] { orvSync::Synchronize([&] { IdHTTP1WorkEnd(); }); };
    FThread = std::make_unique<TLoadFileFromWWW>(*this, IdHTTP1, FTempFolder);
    FThread->Start();
    FThread->LoadFile(FIniFileName, FRequest.UpdateUrl);
}

TdmUpdateOrvalis::~TdmUpdateOrvalis()
{
    DebugLog("Destroying Update module");
    // The thread goes first: its last call to us is served while we wait,
    // and it may still reach the dialogs.
    FThread->Terminate();
    IdHTTP1.Disconnect();
    FThread->WaitFor();
    FThread.reset();
    FReleaseNotes.clear();
    FWindows.reset();
    DebugLog("Update module destroyed");
}

void TdmUpdateOrvalis::SetBusyCursor(bool busy)
{
    FWindows->SetBusyCursor(busy);
}

void TdmUpdateOrvalis::IdHTTP1WorkBegin(std::int64_t max)
{
    FWindows->SetProgressMax(max);
}

void TdmUpdateOrvalis::IdHTTP1Work(std::int64_t count)
{
    FWindows->SetProgressPosition(count);
}

void TdmUpdateOrvalis::IdHTTP1WorkEnd()
{
    FWindows->HideDialog(TorvUpdateDialog::Progress);
}

void TdmUpdateOrvalis::FileNotLoaded(const std::string& fileName, const std::string& url)
{
    if (fileName == FIniFileName) {
        // The module is being freed (the program ends): no web page then.
        if (FThread->Terminated())
            return;
        try {
            FDesktop.OpenWebPage(FRequest.WebPageAddress);
        } catch (const std::exception& e) {
            DebugLogFmt("Unable to open %s: %s", FRequest.WebPageAddress.c_str(), e.what());
        }
        return; // stays: "Check for update" is not offered again in this run
    }
    if (FThread->SaveFailed())
        FWindows->ShowMessage(Substitute(orvUpdateText::CannotSave, {FTempFolder + fileName}));
    if (FThread->DownloadFailed())
        FWindows->ShowMessage(Substitute(orvUpdateText::CannotLoad, {url}));
    SetDone();
}

void TdmUpdateOrvalis::OnFileLoadedProc(const std::string& fileName)
{
    DebugLog("executing TdmUpdateOrvalis.OnFileLoadedProc");
    if (FThread->Loaded()) {
        if (fileName == FIniFileName) {
            if (CheckVersion()) {
                FWindows->ShowDownloadOffer(
                    Substitute(orvUpdateText::NewVersion, {orvFormatReleaseDate(FAnnouncedDate)}),
                    FReleaseNotes);
            } else {
                FWindows->ShowMessage(
                    Substitute(orvUpdateText::UpToDate, {orvFormatReleaseDate(FRequest.OwnReleaseDate)}));
                SetDone();
            }
        } else if (fileName == FPackageFileName) {
            ExecutePackage();
            SetDone();
        }
    }
    DebugLog("TdmUpdateOrvalis.OnFileLoadedProc executed");
}

bool TdmUpdateOrvalis::CheckVersion()
{
    const std::string path = FTempFolder + FIniFileName;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        FWindows->ShowMessage(Substitute(orvUpdateText::CannotFind, {FIniFileName, path}));
        SetDone();
    }
    TorvUpdateAnnouncement announcement = orvReadUpdateIni(path, FLanguage, FRequest.Kind);
    FAnnouncedVersion = announcement.Version;
    for (std::string& note : announcement.Notes)
        FReleaseNotes.push_back(std::move(note));
    FAnnouncedDate =
        announcement.DateText.empty() ? TorvDateTime{} : orvDecodeDateText(announcement.DateText);
    FPackageUrl = announcement.PackageUrl;
    FPackageFileName = orvUrlFileName(FPackageUrl);
    if (FAnnouncedVersion.empty() || FPackageUrl.empty() || announcement.DateText.empty()) {
        FWindows->ShowMessage(Substitute(orvUpdateText::IniError, {FIniFileName}));
        SetDone();
        return false;
    }

    const std::string own =
        FRequest.OwnVersion.empty() ? FirstLine(GetProgramInfoText()) : FRequest.OwnVersion;
    const bool newer = orvIsNewerVersion(own, FAnnouncedVersion);
    if (!std::filesystem::remove(path, ec) || ec)
        throw EorvException(Substitute(orvUpdateText::CannotDelete, {path}));
    return newer;
}

void TdmUpdateOrvalis::ExecutePackage()
{
    const std::string path = FTempFolder + FPackageFileName;
    DebugLogFmt("Running the update package %s", path.c_str());
    FDesktop.RunPackage(path);
    orvAssert(static_cast<bool>(FDesktop.EndProgram), kUnit, "The update module cannot end the program");
    FDesktop.EndProgram();
}

void TdmUpdateOrvalis::DialogAnswer(TorvUpdateDialog dialog, int answer)
{
    switch (answer) {
    case 4: // Download, from the offer
        FWindows->HideDialog(TorvUpdateDialog::Offer);
        FWindows->ShowProgressDialog(orvUpdateText::Loading);
        if (!FThread->LoadFile(FPackageFileName, FPackageUrl))
            DebugLog("The update package was not requested: a download is still running");
        break;
    case 1: // No
        FWindows->HideDialog(dialog);
        SetDone();
        break;
    case 3: // Cancel, from either dialog
        IdHTTP1.Disconnect();
        FWindows->HideDialog(dialog);
        SetDone();
        break;
    case 5: // closed
        SetDone();
        break;
    default: break;
    }
}
