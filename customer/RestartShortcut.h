#pragma once

// The restart entry: an XDG autostart entry that starts the program once at
// the next desktop log-on with the arguments that rejoin the session.

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view orvRestartEntryName = "remotesupport.desktop";

// $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that is unset or not absolute.
std::string DefaultAutostartFolder();

// One argument of a desktop entry's Exec line, quoted when it holds a
// reserved character, "%" written as "%%".
std::string DesktopExecArgument(std::string_view arg);
// A value of type string: backslash, newline, tab and carriage return escaped.
std::string DesktopStringValue(std::string_view text);
// The whole desktop entry file.
std::string BuildRestartEntry(const std::string& executable, const std::vector<std::string>& args);

// The entry file in one folder. Nothing here throws.
class TorvRestartShortcut
{
public:
    explicit TorvRestartShortcut(std::string folder = DefaultAutostartFolder());

    // The folder with a trailing separator.
    std::string Folder() const;
    std::string EntryPath() const;
    bool Exists() const;
    // Deletes the entry; true when none is left.
    bool Remove() const;
    // Replaces the entry with one that starts executable with args; true when written.
    bool Write(const std::string& executable, const std::vector<std::string>& args) const;

private:
    std::string FFolder;
};
