#pragma once

// Files that others must neither read half-written nor slip a link into.

#include <string>

// The program's folder for what it keeps for the user between runs:
// "$XDG_STATE_HOME/orvalis", else "$HOME/.local/state/orvalis"; empty when
// neither is set (a relative XDG_STATE_HOME is ignored, as the XDG rules say),
// and for root when it lies inside another user's folder.
std::string orvUserStateFolder();

// Creates the folder (and any missing folder above it) with mode 0700. Raises
// std::system_error when it is a link, not a folder, or someone else's, so
// that names inside it cannot be taken by anyone else. A folder of ours that
// is open to others is refused too (others may have been in it), unless
// tighten asks to close it instead.
void orvEnsurePrivateFolder(const std::string& folder, bool tighten = false);

// Writes content beside path (mode 0600) and renames it over path, synced
// with its folder, so a reader or a crash sees the old or the new whole file.
// Missing folders are created private. Raises std::runtime_error.
void orvWriteFileAtomically(const std::string& path, const std::string& content);
