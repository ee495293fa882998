#pragma once

// The texts of the unhandled-error report, without any window: the message,
// the sections of the details, the report as a whole and the mail.
// Lines are the program's 8-bit texts; multi-line texts use CR LF.

#include "platform/orvExceptionTrace.h"
#include "platform/orvSystemInfo.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The deployment's report values.
struct TKelReportSettings
{
    std::string ErrorReportAddress;
    std::string ErrorReportSubject = "Orvalis Bugreport"; // empty: the application's title + " Bugreport"
};

// The report's address from the settings file's [errorreport] section
// (address=), else this build's default.
TKelReportSettings kelReportSettings(const std::string& settingsFile);

// Every line break (CR LF, LF or a lone CR) becomes CR LF.
std::string kelToCrLf(std::string_view text);
// Every CR LF becomes LF, for those that make their own line ends.
std::string kelToLf(std::string_view text);

// The dialog's message around the error's message, which gets a final "."
// unless it has one.
std::string kelDialogMessage(std::string_view errorMessage);

// "Exception class: ...", "Exception address: ..." and the program's info lines.
std::vector<std::string> kelExceptionLines(std::string_view className, std::uintptr_t address,
                                           std::string_view programInfo);

// "Stack list, generated <date and time>" and a line per frame.
std::vector<std::string> kelStackLines(const TorvThrowRecord& record,
                                       const std::vector<TorvStackFrame>& frames);

struct TKelScreen
{
    int Width = 0;
    int Height = 0;
    int Depth = 0; // bits per pixel
};

// The four lines of system data.
std::vector<std::string> kelSystemLines(const TorvOsInfo& os, const TorvCpuInfo& cpu,
                                        const TorvMemoryInfo& memory, const TKelScreen& screen);

struct TKelModuleVersion
{
    TorvFileVersion Version;
    std::string Description; // no line for it when empty
};
using TKelModuleVersionOf = std::function<std::optional<TKelModuleVersion>(const TorvLoadedModule&)>;

// What the report says of a module's version: the program carries the file
// version (with description), libraries the version their file names carry.
std::optional<TKelModuleVersion> kelModuleVersion(const TorvLoadedModule& module,
                                                  std::string_view programDescription);

// "List of loaded modules:" and the modules in the order given.
std::vector<std::string> kelModuleLines(const std::vector<TorvLoadedModule>& modules,
                                        const TKelModuleVersionOf& versionOf);

struct TKelControl
{
    std::string ClassName;
    std::string Name;
};

// "Active Controls hiearchy:" and the control, then its parents up to its window.
std::vector<std::string> kelControlLines(const std::vector<TKelControl>& chain);

// The message, the user's comments and the details as one text.
std::string kelReportAsText(std::string_view message, std::string_view comments, std::string_view details);

// The configured subject; when empty, the application's title + " Bugreport".
std::string kelReportSubject(std::string_view subject, std::string_view applicationTitle);

// The mail's body: the subject, the details and the user's comments.
std::string kelMailBody(std::string_view subject, std::string_view details, std::string_view comments);
