#pragma once

// A program a test starts and listens to: its standard output is read as it
// comes, its input is /dev/null, and it is ended (SIGTERM, then SIGKILL)
// with the object. It inherits the test's environment as it is at the start.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orvtest {

class TChildProgram
{
public:
    // argv[0] is the program's full path. errorFile: where its standard
    // error goes; empty: the test's own. Raises std::runtime_error when it
    // cannot be started.
    explicit TChildProgram(std::vector<std::string> argv, const std::string& errorFile = {});
    ~TChildProgram();
    TChildProgram(const TChildProgram&) = delete;
    TChildProgram& operator=(const TChildProgram&) = delete;

    // Whether it printed this whole line, waiting up to the deadline.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // Its first line, waiting up to the deadline; empty when none came.
    std::string FirstLine(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // Everything it printed so far.
    std::string Output();
    void Stop();

private:
    void ReadArrived();

    pid_t FPid = -1;
    int FOut = -1;
    std::string FOutput;
};

} // namespace orvtest
