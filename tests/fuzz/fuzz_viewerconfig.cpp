// Fuzzes orvviewer's configuration file as the launcher reads it, and checks
// that what the program writes there is read as it was meant.
// Input: the file's content; one of at most 9 bytes is also the password the
// program writes into a configuration of its own.
#include "launchers/orvLauncherConfig.h"
#include "lib/orvOSUtils.h"
#include "tests/fuzz/FuzzFolder.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

const std::string& ConfigPath()
{
    static TFuzzFolder folder;
    static const std::string path = (folder.Root / "viewer.ini").string();
    return path;
}

// Plain system calls: a stream's buffer would cost more than the parse.
void WriteConfig(std::string_view content)
{
    const int fd = ::open(ConfigPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    ::close(fd);
}

bool Same(const TorvViewerConfig& a, const TorvViewerConfig& b)
{
    return a.Host == b.Host && a.Port == b.Port && a.Password == b.Password && a.ViewOnly == b.ViewOnly;
}

// The configuration as the program would write it, with any password bytes.
std::string Text(const TorvViewerConfig& config)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string hex;
    for (const unsigned char b : config.Password) {
        hex += Hex[b >> 4];
        hex += Hex[b & 15];
    }
    return "[connection]\r\nhost=" + config.Host + "\r\nport=" + std::to_string(config.Port) +
           "\r\npassword=" + hex + "\r\nviewonly=" + (config.ViewOnly ? "1" : "0") + "\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    WriteConfig(input);
    try {
        const TorvViewerConfig config = orvReadViewerConfig(ConfigPath());
        // What the viewer is started with.
        Check(!config.Host.empty() &&
              config.Host.find_first_of(std::string(" \t\n\0", 4)) == std::string::npos);
        Check(config.Port >= 1 && config.Port <= 65535);
        Check(config.Password.size() == 8);
        // Written again, it reads the same.
        WriteConfig(Text(config));
        Check(Same(orvReadViewerConfig(ConfigPath()), config));
    } catch (const std::runtime_error&) {
        // Refused with its reason; any other error is ours.
    }

    // What the program writes for its viewer is read as meant. A short input
    // is also taken as its password; DES costs milliseconds here, so each
    // password is tried once, and only the first two hundred.
    static std::set<std::string> tried;
    if (size <= 9 && tried.size() < 200 && tried.insert(std::string(input)).second) {
        const std::string password(input);
        const int port = 1 + static_cast<int>((size * 7919 + (size ? data[0] : 0)) % 65535);
        WriteConfig(orvViewerConfigText(std::to_string(port), password));
        const TorvViewerConfig mine = orvReadViewerConfig(ConfigPath());
        Check(Same(mine, TorvViewerConfig{"127.0.0.1", port, EncryptVNCPassword(password), false}));
    }
    return 0;
}
