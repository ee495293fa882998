#pragma once

// The development update server (tools/orvupdateserver) on a free loopback
// port, serving a private folder. Requests' headers are logged for the test.

#include "tests/support/ChildProgram.h"
#include "tests/support/TestUtil.h"

#include <memory>
#include <string>
#include <vector>

namespace orvtest {

class TUpdateServer
{
public:
    // extra: more options of the server ("--stall", "pkg.bin", ...).
    explicit TUpdateServer(std::vector<std::string> extra = {});

    int Port() const { return FPort; }
    // "127.0.0.1:<port>"
    std::string Host() const;
    // "http://127.0.0.1:<port>/" + path
    std::string Url(const std::string& path) const;
    // Puts a file under the served folder ("update/update.ini").
    void Put(const std::string& path, const std::string& content) const;
    // Every request so far: its request line, its header lines, a blank line.
    std::string HeadersSeen() const;

private:
    TempDir FDir;
    std::unique_ptr<TChildProgram> FProgram;
    int FPort = 0;
};

// An update.ini announcing a version with the customer's keys of section ENG.
std::string UpdateIni(const std::string& version, const std::string& date, const std::string& packageUrl,
                      const std::vector<std::string>& notes = {});

// An update text with its "%s" markers filled in order.
std::string UpdateText(const char* format, const std::string& first, const std::string& second = {});

} // namespace orvtest
