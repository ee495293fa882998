#include "tests/support/UpdateServer.h"

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

std::string UpdateText(const char* format, const std::string& first, const std::string& second)
{
    std::string text(format);
    text.replace(text.find("%s"), 2, first);
    if (const auto next = text.find("%s"); next != std::string::npos)
        text.replace(next, 2, second);
    return text;
}

} // namespace orvtest
