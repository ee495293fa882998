#include "platform/orvKeyStore.h"

#include "platform/orvFiles.h"
#include "platform/orvUniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <variant>

namespace {

// One value a line: "name=dword:0000170d" or "name=hex:0a1bff"; '#' starts a comment line.
constexpr char FileHeader[] = "# orvalis key store: name=dword:<8 hex digits> or name=hex:<bytes>\n";
constexpr std::string_view DwordTag = "dword:";
constexpr std::string_view HexTag = "hex:";
constexpr char HexDigits[] = "0123456789abcdef";

using TValue = std::variant<std::uint32_t, std::string>;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> DecodeHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::string EncodeHex(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += HexDigits[b >> 4];
        text += HexDigits[b & 15];
    }
    return text;
}

std::string FormatValue(const TValue& value)
{
    if (const auto* number = std::get_if<std::uint32_t>(&value)) {
        char text[9];
        std::snprintf(text, sizeof text, "%08x", *number);
        return std::string(DwordTag) + text;
    }
    return std::string(HexTag) + EncodeHex(std::get<std::string>(value));
}

std::optional<TValue> ParseValue(std::string_view text)
{
    if (text.starts_with(DwordTag)) {
        text.remove_prefix(DwordTag.size());
        if (text.size() != 8)
            return std::nullopt;
        const auto bytes = DecodeHex(text);
        if (!bytes)
            return std::nullopt;
        std::uint32_t number = 0;
        for (const char c : *bytes)
            number = (number << 8) | static_cast<unsigned char>(c);
        return number;
    }
    if (text.starts_with(HexTag)) {
        if (auto bytes = DecodeHex(text.substr(HexTag.size())))
            return std::move(*bytes);
    }
    return std::nullopt;
}

void CheckName(const std::string& name)
{
    if (name.empty() || name[0] == '#' || name.find_first_of("=\r\n") != std::string::npos)
        throw std::invalid_argument("not a key store value name: \"" + name + "\"");
}

// The file's content, or nothing when it does not exist.
std::optional<std::string> ReadWholeFile(const std::string& path)
{
    TorvUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
        if (n == 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

std::map<std::string, TValue> ParseFile(const std::string& path, const std::string& content)
{
    std::map<std::string, TValue> values;
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start < content.size();) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string_view line(content.data() + start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty() || line[0] == '#')
            continue;
        const auto equals = line.find('=');
        auto value = equals == std::string_view::npos ? std::nullopt : ParseValue(line.substr(equals + 1));
        if (!value || equals == 0 ||
            !values.emplace(std::string(line.substr(0, equals)), std::move(*value)).second)
            throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": not a key store line");
    }
    return values;
}

} // namespace

struct TorvFileKeyStore::Impl
{
    std::map<std::string, TValue> Values;
    bool Changed = false;
};

TorvFileKeyStore::TorvFileKeyStore(std::string path) : FPath(std::move(path)), FImpl(std::make_unique<Impl>())
{
    if (const auto content = ReadWholeFile(FPath))
        FImpl->Values = ParseFile(FPath, *content);
}

TorvFileKeyStore::~TorvFileKeyStore()
{
    try {
        Close();
    } catch (const std::exception&) {
    }
}

void TorvFileKeyStore::WriteInteger(const std::string& name, std::uint32_t value)
{
    CheckName(name);
    FImpl->Values[name] = value;
    FImpl->Changed = true;
}

std::optional<std::uint32_t> TorvFileKeyStore::ReadInteger(const std::string& name)
{
    const auto it = FImpl->Values.find(name);
    if (it == FImpl->Values.end() || !std::holds_alternative<std::uint32_t>(it->second))
        return std::nullopt;
    return std::get<std::uint32_t>(it->second);
}

void TorvFileKeyStore::WriteBinary(const std::string& name, const std::string& bytes)
{
    CheckName(name);
    FImpl->Values[name] = bytes;
    FImpl->Changed = true;
}

std::optional<std::string> TorvFileKeyStore::ReadBinary(const std::string& name)
{
    const auto it = FImpl->Values.find(name);
    if (it == FImpl->Values.end() || !std::holds_alternative<std::string>(it->second))
        return std::nullopt;
    return std::get<std::string>(it->second);
}

void TorvFileKeyStore::Close()
{
    if (!FImpl->Changed)
        return;
    std::string content = FileHeader;
    for (const auto& [name, value] : FImpl->Values)
        content += name + "=" + FormatValue(value) + "\n";
    orvWriteFileAtomically(FPath, content);
    FImpl->Changed = false;
}

std::string orvKeyStorePath(const std::string& keyPath)
{
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    std::string relative = keyPath;
    for (char& c : relative)
        if (c == '\\')
            c = '/';
    while (!relative.empty() && relative.front() == '/')
        relative.erase(0, 1);
    return base + "/orvalis/" + relative + ".keys";
}
