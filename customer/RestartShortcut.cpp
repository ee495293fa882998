#include "customer/RestartShortcut.h"

#include "lib/debugProc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

// mkdir -p with the mode the XDG specification asks for (0700).
bool MakeFolders(const std::string& path)
{
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        start = slash + 1;
    }
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string DefaultAutostartFolder()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base = (config && config[0] == '/') ? std::string(config) : HomeFolder() + "/.config";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base + "/autostart";
}

std::string DesktopExecArgument(std::string_view arg)
{
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string_view::npos;
    std::string out;
    if (quote)
        out += '"';
    for (char c : arg) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        out += c;
    }
    if (quote)
        out += '"';
    return out;
}

std::string DesktopStringValue(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::string BuildRestartEntry(const std::string& executable, const std::vector<std::string>& args)
{
    std::string exec = DesktopExecArgument(executable);
    for (const std::string& arg : args)
        exec += ' ' + DesktopExecArgument(arg);
    std::string entry;
    entry += "[Desktop Entry]\n";
    entry += "Type=Application\n";
    entry += "Name=Remote support\n";
    entry += "Comment=Rejoins the remote support session after the restart\n";
    entry += "Exec=" + DesktopStringValue(exec) + "\n";
    entry += "Terminal=false\n";
    entry += "NoDisplay=true\n";
    entry += "X-GNOME-Autostart-enabled=true\n";
    return entry;
}

TorvRestartShortcut::TorvRestartShortcut(std::string folder) : FFolder(std::move(folder))
{
    while (FFolder.size() > 1 && FFolder.back() == '/')
        FFolder.pop_back();
}

std::string TorvRestartShortcut::Folder() const
{
    return FFolder + "/";
}

std::string TorvRestartShortcut::EntryPath() const
{
    return Folder() + std::string(orvRestartEntryName);
}

bool TorvRestartShortcut::Exists() const
{
    struct stat st
    {
    };
    return ::lstat(EntryPath().c_str(), &st) == 0;
}

bool TorvRestartShortcut::Remove() const
{
    return ::unlink(EntryPath().c_str()) == 0 || errno == ENOENT;
}

bool TorvRestartShortcut::Write(const std::string& executable, const std::vector<std::string>& args) const
{
    const std::string path = EntryPath();
    Remove();
    if (!MakeFolders(FFolder)) {
        DebugLogFmt("Unable to create the startup folder %s: %s", FFolder.c_str(), std::strerror(errno));
        return false;
    }
    // Written beside and renamed into place, so a session never finds half an entry.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        DebugLogFmt("Unable to write the shelllink %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = WriteAll(fd, BuildRestartEntry(executable, args));
    ok = ::fchmod(fd, 0644) == 0 && ok;
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    DebugLogFmt("Unable to write the shelllink %s: %s", path.c_str(), std::strerror(errno));
    ::unlink(temp.c_str());
    return false;
}
