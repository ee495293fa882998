#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace orvtest {

// Polls the predicate until it holds or the deadline passes; true when it held.
// Deadlines are generous: tests wait for events, they never time performance.
bool WaitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds deadline = std::chrono::seconds(20),
               std::chrono::milliseconds step = std::chrono::milliseconds(5));

// A fresh private folder under $TMPDIR, removed with the object.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

std::string ReadFile(const std::string& path);

// size bytes of every value, the same for the same seed.
std::string RandomBytes(std::size_t size, unsigned seed);
void WriteFile(const std::string& path, const std::string& content);

inline bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

} // namespace orvtest
