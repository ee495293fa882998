#include "tools/orvgateway/GatewayCertificate.h"

#include "transport/MCTLSEngine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::runtime_error SystemError(const std::string& what, int err)
{
    return std::runtime_error(what + ": " + std::strerror(err));
}

// An exclusive lock on a file of the folder, held for the object's life.
class TFolderLock
{
public:
    explicit TFolderLock(const std::string& path)
    {
        FFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (FFd < 0)
            throw SystemError("cannot open \"" + path + "\"", errno);
        int rc;
        do {
            rc = ::flock(FFd, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            ::close(FFd);
            throw SystemError("cannot lock \"" + path + "\"", err);
        }
    }
    ~TFolderLock() { ::close(FFd); } // closing releases the lock
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

private:
    int FFd = -1;
};

bool NonEmptyFile(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

void MakePrivateFolder(const std::string& dir)
{
    const std::filesystem::path path(dir);
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw SystemError("cannot create the state folder \"" + dir + "\"", errno);
    if (!std::filesystem::is_directory(path, ec))
        throw std::runtime_error("the state folder \"" + dir + "\" is not a folder");
}

} // namespace

std::string DefaultGatewayStateDir()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/orvalis-gateway";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/state/orvalis-gateway";
    return {};
}

TGatewayCertificateFiles EnsureSelfSignedCertificate(const std::string& stateDir)
{
    if (stateDir.empty())
        throw std::runtime_error("no state folder: neither XDG_STATE_HOME nor HOME is set; give --state-dir "
                                 "or --cert and --key");
    MakePrivateFolder(stateDir);
    TGatewayCertificateFiles files{stateDir + "/gateway.crt", stateDir + "/gateway.key"};
    TFolderLock lock(stateDir + "/.lock");
    if (NonEmptyFile(files.CertFile) && NonEmptyFile(files.KeyFile))
        return files;

    // Written under other names and renamed, so that a crash never leaves half a pair behind.
    const std::string suffix = ".new-" + std::to_string(::getpid());
    const std::string cert = files.CertFile + suffix, key = files.KeyFile + suffix;
    std::string error;
    if (!MCGenerateSelfSignedCertificate(cert, key, &error)) {
        ::unlink(cert.c_str());
        ::unlink(key.c_str());
        throw std::runtime_error("cannot make a self-signed certificate: " + error);
    }
    if (::rename(key.c_str(), files.KeyFile.c_str()) != 0 ||
        ::rename(cert.c_str(), files.CertFile.c_str()) != 0) {
        const int err = errno;
        ::unlink(cert.c_str());
        ::unlink(key.c_str());
        throw SystemError("cannot store the certificate in \"" + stateDir + "\"", err);
    }
    return files;
}
