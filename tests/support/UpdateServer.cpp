#include "tests/support/UpdateServer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace orvtest {

namespace {

constexpr const char* kListening = "orvupdateserver listening on ";

} // namespace

TUpdateServer::TUpdateServer(std::vector<std::string> extra)
{
    std::filesystem::create_directories(FDir.File("root"));
    std::vector<std::string> argv{
        "/usr/bin/python3", std::string(ORV_TEST_SOURCE_DIR) + "/../tools/orvupdateserver/orvupdateserver.py",
        "--root",           FDir.File("root"),
        "--headers",        FDir.File("headers.log"),
        "--quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    FProgram = std::make_unique<TChildProgram>(argv);
    const std::string line = FProgram->FirstLine();
    if (line.rfind(kListening, 0) != 0)
        throw std::runtime_error("orvupdateserver did not start: " + FProgram->Output());
    FPort = std::stoi(line.substr(std::string(kListening).size()));
}

std::string TUpdateServer::Host() const
{
    return "127.0.0.1:" + std::to_string(FPort);
}

std::string TUpdateServer::Url(const std::string& path) const
{
    return "http://" + Host() + "/" + path;
}

void TUpdateServer::Put(const std::string& path, const std::string& content) const
{
    const std::filesystem::path file = FDir.File("root/" + path);
    std::filesystem::create_directories(file.parent_path());
    WriteFile(file.string(), content);
}

std::string TUpdateServer::HeadersSeen() const
{
    return std::filesystem::exists(FDir.File("headers.log")) ? ReadFile(FDir.File("headers.log")) : "";
}

std::string UpdateIni(const std::string& version, const std::string& date, const std::string& packageUrl,
                      const std::vector<std::string>& notes)
{
    std::string text = "[ENG]\nCustomerVersion=" + version + "\n";
    for (std::size_t i = 0; i < notes.size(); ++i)
        text += "CustomerVersionDescriptionLine" + std::to_string(i + 1) + "=" + notes[i] + "\n";
    if (!date.empty())
        text += "CustomerVersionDate=" + date + "\n";
    text += "UpdateFileForCustomer=" + packageUrl + "\n";
    return text;
}

int UnusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace orvtest
