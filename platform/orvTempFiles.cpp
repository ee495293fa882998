#include "platform/orvTempFiles.h"

#include "platform/orvFiles.h"
#include "platform/orvUniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

std::string orvTempFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp && *tmp ? tmp : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

std::string orvPrivateTempFolder(const std::string& name)
{
    const std::string folder = orvTempFolder() + name + "-" + std::to_string(::getuid());
    orvEnsurePrivateFolder(folder);
    return folder + '/';
}

std::string orvCreateTempFile(const std::string& prefix)
{
    static constexpr char Suffix[] = ".tmp";
    std::string name = orvTempFolder() + prefix + "XXXXXX" + Suffix;
    // mkstemps creates the file with mode 0600.
    TorvUniqueFd fd(::mkstemps(name.data(), sizeof(Suffix) - 1));
    if (!fd.Valid())
        throw std::system_error(errno, std::generic_category(), "cannot create a file in " + orvTempFolder());
    return name;
}

TorvTempFile::~TorvTempFile()
{
    ::unlink(FPath.c_str());
}

void TorvTempFile::Write(const std::string& bytes)
{
    TorvUniqueFd fd(::open(FPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.Valid())
        throw std::system_error(errno, std::generic_category(), "cannot open " + FPath);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::system_error(errno, std::generic_category(), "cannot write " + FPath);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot write " + FPath);
}
