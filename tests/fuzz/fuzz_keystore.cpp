// Fuzzes the key store file as the host launcher reads it for its password
// and as the program rewrites it with its settings.
// Input: the file's content.
#include "launchers/orvLauncherConfig.h"
#include "platform/orvKeyStore.h"
#include "tests/fuzz/FuzzFolder.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
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

const std::string& StorePath()
{
    static TFuzzFolder folder;
    static const std::string path = (folder.Root / "orvalis2005_host.keys").string();
    return path;
}

// Plain system calls: a stream's buffer would cost more than the parse.
std::string ReadAll()
{
    std::string content;
    const int fd = ::open(StorePath().c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0);
    char buffer[1024];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return content;
}

void WriteAll(std::string_view content)
{
    const int fd = ::open(StorePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    ::close(fd);
}

// Lines that must hold a value: all but empty ones and comments.
std::size_t ValueLines(std::string_view content)
{
    std::size_t count = 0;
    for (std::size_t start = 0; start < content.size();) {
        std::size_t end = content.find('\n', start);
        if (end == std::string_view::npos)
            end = content.size();
        std::string_view line = content.substr(start, end - start);
        start = end + 1;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        count += !line.empty() && line[0] != '#';
    }
    return count;
}

// The value of a name in either store, whatever its kind.
bool SameValue(TorvKeyStore& a, TorvKeyStore& b, const std::string& name)
{
    return a.ReadInteger(name) == b.ReadInteger(name) && a.ReadBinary(name) == b.ReadBinary(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    WriteAll(input);

    std::optional<TorvFileKeyStore> store;
    try {
        store.emplace(StorePath());
    } catch (const std::runtime_error&) {
        // Refused, and left as it was rather than overwritten.
        Check(ReadAll() == input);
        return 0;
    }

    // The host launcher's password: the stored bytes, when there are eight.
    const std::optional<std::string> password = orvReadHostPassword(*store);
    Check(!password || (password->size() == 8 && store->ReadBinary("password") == password));

    // The program writes its settings: every value found is kept.
    const bool hadPort = store->ReadInteger("PortNumber") || store->ReadBinary("PortNumber");
    store->WriteInteger("PortNumber", 5905);
    store->Close();
    const std::string written = ReadAll();
    TorvFileKeyStore again(StorePath());
    Check(again.ReadInteger("PortNumber") == 5905u);
    // A header, then one line a value.
    std::size_t start = written.find('\n');
    Check(written.starts_with('#') && start != std::string::npos);
    std::size_t names = 0;
    for (++start; start < written.size(); ++names) {
        const std::size_t end = written.find('\n', start);
        Check(end != std::string::npos);
        const std::string line = written.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        Check(equals != std::string::npos && equals > 0);
        Check(SameValue(*store, again, line.substr(0, equals)));
    }
    Check(names == ValueLines(input) + (hadPort ? 0 : 1));
    Check(orvReadHostPassword(again) == password);

    // Written again unchanged, it is the same file.
    again.WriteInteger("PortNumber", 5905);
    again.Close();
    Check(ReadAll() == written);
    return 0;
}
