#pragma once

// A private folder for a fuzz target's files, in memory where the machine
// has /dev/shm, removed with everything in it at the end of the run.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

class TFuzzFolder
{
public:
    TFuzzFolder()
    {
        std::string pattern = (std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
                              std::string("/orvfuzz-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        Root = pattern;
    }
    ~TFuzzFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(Root, error);
    }
    TFuzzFolder(const TFuzzFolder&) = delete;
    TFuzzFolder& operator=(const TFuzzFolder&) = delete;

    std::filesystem::path Root;
};
