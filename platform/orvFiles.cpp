#include "platform/orvFiles.h"

#include "platform/orvUniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

// Creates the missing folders of the file's path, private to us.
void CreateFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), "cannot create " + folder);
    }
}

} // namespace

void orvWriteFileAtomically(const std::string& path, const std::string& content)
{
    CreateFolders(path);
    std::string temp = path + ".XXXXXX";
    TorvUniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC)); // mode 0600
    if (!fd.Valid())
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    const auto fail = [&](const char* what) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw std::runtime_error("cannot " + std::string(what) + " " + path + ": " + std::strerror(error));
    };
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd.Get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("write");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0)
        fail("write");
    fd.Reset();
    if (::rename(temp.c_str(), path.c_str()) != 0)
        fail("replace");
    // The rename itself reaches the disk with the folder.
    const auto folder = path.substr(0, path.rfind('/') + 1);
    TorvUniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid())
        ::fsync(dir.Get());
}

void orvEnsurePrivateFolder(const std::string& folder, bool tighten)
{
    const std::string path = folder.ends_with('/') ? folder.substr(0, folder.size() - 1) : folder;
    CreateFolders(path);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "cannot create " + path);
    struct stat status
    {
    };
    if (::lstat(path.c_str(), &status) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot look at " + path);
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::getuid() || ((status.st_mode & 077) != 0 && !tighten))
        throw std::system_error(EPERM, std::generic_category(), path + " is not this user's own folder");
    if ((status.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot make " + path + " private");
}

namespace {

// Whether root may make folders at path: not inside another user's folder,
// where they would be root's and lock the user out of their own state (a
// root run that kept the user's HOME, as "sudo -E" does).
bool RootMayCreateAt(std::string path)
{
    if (::geteuid() != 0)
        return true; // the system keeps others' folders from us
    for (;;) {
        struct stat status;
        if (::stat(path.c_str(), &status) == 0)
            return status.st_uid == 0;
        const std::size_t slash = path.rfind('/');
        if (errno != ENOENT || slash == std::string::npos || slash == 0)
            return true;
        path.resize(slash);
    }
}

} // namespace

std::string orvUserStateFolder()
{
    std::string folder;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && *state == '/')
        folder = std::string(state) + "/orvalis";
    else if (home && *home)
        folder = std::string(home) + "/.local/state/orvalis";
    return !folder.empty() && RootMayCreateAt(folder) ? folder : std::string();
}
