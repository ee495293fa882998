#include "launchers/orvLauncherConfig.h"

#include <INIReader.h>

#include <cctype>
#include <stdexcept>

namespace {

std::optional<std::string> DecodePassword(const std::string& hex)
{
    if (hex.size() != 16)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
            return std::nullopt;
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

[[noreturn]] void Fail(const std::string& path, int line, const std::string& what)
{
    throw std::runtime_error(path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what);
}

} // namespace

TorvViewerConfig orvReadViewerConfig(const std::string& path)
{
    const INIReader ini(path);
    if (ini.ParseError() < 0)
        throw std::runtime_error("cannot read the configuration " + path);
    if (ini.ParseError() > 0)
        Fail(path, ini.ParseError(), "not an INI line");
    // The reader joins a key given twice with a line break.
    auto value = [&](const char* key) -> std::optional<std::string> {
        if (!ini.HasValue("connection", key))
            return std::nullopt;
        std::string text = ini.Get("connection", key, "");
        if (text.find('\n') != std::string::npos)
            Fail(path, 0, std::string(key) + " given twice");
        return text;
    };
    const std::optional<std::string> host = value("host"), port = value("port"), password = value("password"),
                                     viewOnly = value("viewonly");

    TorvViewerConfig config;
    if (!host || host->empty() || host->find_first_of(" \t") != std::string::npos)
        Fail(path, 0, "[connection] needs host=<name or address>");
    config.Host = *host;
    if (!port || port->empty() || port->size() > 5 ||
        port->find_first_not_of("0123456789") != std::string::npos || std::stoi(*port) < 1 ||
        std::stoi(*port) > 65535)
        Fail(path, 0, "[connection] needs port=<1..65535>");
    config.Port = std::stoi(*port);
    const auto bytes = password ? DecodePassword(*password) : std::nullopt;
    if (!bytes)
        Fail(path, 0, "[connection] needs password=<16 hex digits>");
    config.Password = *bytes;
    if (viewOnly && *viewOnly != "0" && *viewOnly != "1")
        Fail(path, 0, "viewonly must be 0 or 1");
    config.ViewOnly = viewOnly && *viewOnly == "1";
    return config;
}

std::optional<std::string> orvReadHostPassword(TorvKeyStore& store)
{
    std::optional<std::string> password = store.ReadBinary("password");
    if (!password || password->size() != 8)
        return std::nullopt;
    return password;
}
