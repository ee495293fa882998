#pragma once

#include <string>

// The temporary folder: $TMPDIR, or /tmp, with a trailing '/'.
std::string orvTempFolder();
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
