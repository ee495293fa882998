#pragma once

#include <string>

// The temporary folder: $TMPDIR, or /tmp, with a trailing '/'.
std::string orvTempFolder();
// The user's own folder inside the temporary folder, "<name>-<uid>/" (with the
// trailing '/'): created with mode 0700, or reused when it is a real folder
// owned by this user that nobody else may enter. Raises std::system_error
// otherwise, so that fixed file names inside it cannot be taken by others.
std::string orvPrivateTempFolder(const std::string& name);
// Creates a new empty file (mode 0600) in the temporary folder named prefix,
// a unique part and ".tmp"; returns its full name. Raises std::system_error.
std::string orvCreateTempFile(const std::string& prefix);

// A file of orvCreateTempFile that is removed with the object, for secrets
// handed to another program by file name.
class TorvTempFile
{
public:
    explicit TorvTempFile(const std::string& prefix) : FPath(orvCreateTempFile(prefix)) {}
    ~TorvTempFile();
    TorvTempFile(const TorvTempFile&) = delete;
    TorvTempFile& operator=(const TorvTempFile&) = delete;

    const std::string& Path() const { return FPath; }
    // Replaces the content and flushes it to disk; raises std::system_error.
    void Write(const std::string& bytes);

private:
    std::string FPath;
};
