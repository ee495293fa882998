#pragma once

// The update check's HTTP client: a plain GET over libcurl.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

enum class TorvHttpResult {
    Ok,
    Failed,      // no connection, an error status, a broken transfer
    Aborted,     // Disconnect, or the caller's stop
    WriteFailed, // the body could not be stored
};

// A plain GET over libcurl with the request headers the update server is
// used to. One transfer at a time, run on the calling thread; Disconnect
// from any other thread aborts it at once.
class TorvHttpClient
{
public:
    TorvHttpClient();
    ~TorvHttpClient();
    TorvHttpClient(const TorvHttpClient&) = delete;
    TorvHttpClient& operator=(const TorvHttpClient&) = delete;

    static constexpr const char* Accept = "text/html, */*";
    static constexpr const char* ContentType = "text/html";
    static constexpr const char* UserAgent = "Mozilla/3.0 (compatible; Indy Library)";

    // Progress of the running transfer, called on the transfer's thread:
    // begin with the expected byte count (0 when unknown), the count so far,
    // and the end (also after a failure).
    std::function<void(std::int64_t max)> OnWorkBegin;
    std::function<void(std::int64_t count)> OnWork;
    std::function<void()> OnWorkEnd;

    // write gets the body piece by piece and returns false when it cannot
    // store it. stop is asked while the transfer waits. error: what failed.
    TorvHttpResult Get(const std::string& url, const std::function<bool(std::string_view)>& write,
                       const std::function<bool()>& stop, std::string& error);

    // Aborts the running transfer and any started before the next ResetAbort.
    void Disconnect();
    void ResetAbort();
    // Whether Disconnect came since the last ResetAbort.
    bool Aborted() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
