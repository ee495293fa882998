#include "lib/orvHttpClient.h"

#include "lib/orvConnections.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>

namespace {

struct TCurlGlobal
{
    TCurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~TCurlGlobal() { curl_global_cleanup(); }
};

// Progress is handed on when it changed, and at most this often while it runs.
constexpr auto kWorkInterval = std::chrono::milliseconds(50);

} // namespace

struct TorvHttpClient::TImpl
{
    CURLM* Multi = nullptr;
    CURLSH* Share = nullptr; // the cookies, from the INI file's request to the package's
    std::atomic<bool> Abort{false};

    // One transfer's state, seen by libcurl's callbacks.
    struct TTransfer
    {
        TorvHttpClient* Client = nullptr;
        const std::function<bool(std::string_view)>* Write = nullptr;
        bool WriteFailed = false;
        bool Begun = false;
        std::int64_t Total = 0;
        std::int64_t Reported = -1;
        std::chrono::steady_clock::time_point LastReport;
    };

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user)
    {
        auto* transfer = static_cast<TTransfer*>(user);
        const std::size_t bytes = size * count;
        if (!(*transfer->Write)(std::string_view(data, bytes))) {
            transfer->WriteFailed = true;
            return CURL_WRITEFUNC_ERROR;
        }
        return bytes;
    }

    static int OnProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t)
    {
        auto* transfer = static_cast<TTransfer*>(user);
        TorvHttpClient& client = *transfer->Client;
        if (client.FImpl->Abort)
            return 1;
        // Again when a redirect brings another size.
        if ((!transfer->Begun && (total > 0 || now > 0)) || (transfer->Begun && total != transfer->Total)) {
            transfer->Begun = true;
            transfer->Total = total;
            transfer->Reported = -1;
            if (client.OnWorkBegin)
                client.OnWorkBegin(total);
        }
        const auto at = std::chrono::steady_clock::now();
        if (transfer->Begun && now != transfer->Reported &&
            (at - transfer->LastReport >= kWorkInterval || now == total)) {
            transfer->Reported = now;
            transfer->LastReport = at;
            if (client.OnWork)
                client.OnWork(now);
        }
        return 0;
    }
};

TorvHttpClient::TorvHttpClient() : FImpl(std::make_unique<TImpl>())
{
    static TCurlGlobal global; // libcurl's own process-wide set-up, once
    FImpl->Multi = curl_multi_init();
    FImpl->Share = curl_share_init();
    if (!FImpl->Multi || !FImpl->Share) {
        curl_share_cleanup(FImpl->Share);
        curl_multi_cleanup(FImpl->Multi);
        throw EorvException("Unable to start the HTTP client");
    }
    curl_share_setopt(FImpl->Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

TorvHttpClient::~TorvHttpClient()
{
    curl_multi_cleanup(FImpl->Multi);
    curl_share_cleanup(FImpl->Share);
}

bool TorvHttpClient::Aborted() const
{
    return FImpl->Abort;
}

void TorvHttpClient::Disconnect()
{
    FImpl->Abort = true;
    curl_multi_wakeup(FImpl->Multi);
}

void TorvHttpClient::ResetAbort()
{
    FImpl->Abort = false;
}

TorvHttpResult TorvHttpClient::Get(const std::string& url, const std::function<bool(std::string_view)>& write,
                                   const std::function<bool()>& stop, std::string& error)
{
    using TEasy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
    using THeaders = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
    // What the transfer points at lives longer than the transfer.
    char errorText[CURL_ERROR_SIZE] = {};
    THeaders headers(nullptr, &curl_slist_free_all);
    TImpl::TTransfer transfer;
    TEasy easy(curl_easy_init(), &curl_easy_cleanup);
    if (!easy) {
        error = "cannot create a transfer";
        return TorvHttpResult::Failed;
    }
    for (const std::string& line :
         {std::string("Accept: ") + Accept, std::string("Content-Type: ") + ContentType}) {
        curl_slist* more = curl_slist_append(headers.get(), line.c_str());
        if (!more) {
            error = "out of memory";
            return TorvHttpResult::Failed;
        }
        (void)headers.release();
        headers.reset(more);
    }

    transfer.Client = this;
    transfer.Write = &write;
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_USERAGENT, UserAgent);
    curl_easy_setopt(e, CURLOPT_COOKIEFILE, ""); // cookies allowed, shared by the client's transfers
    curl_easy_setopt(e, CURLOPT_PROXY, "");      // no proxy, whatever the environment says
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // A server that stops answering ends the transfer rather than hang it.
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &TImpl::OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &TImpl::OnProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(e, CURLOPT_SHARE, FImpl->Share);
    // Ending a transfer must not wait for a slow name lookup to finish.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);

    CURLM* multi = FImpl->Multi;
    if (curl_multi_add_handle(multi, e) != CURLM_OK) {
        error = "cannot start the transfer";
        return TorvHttpResult::Failed;
    }
    CURLcode code = CURLE_OK;
    bool aborted = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left))
                if (message->msg == CURLMSG_DONE && message->easy_handle == e)
                    code = message->data.result;
            break;
        }
        if (FImpl->Abort || (stop && stop())) {
            aborted = true;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    curl_multi_remove_handle(multi, e);
    if (OnWorkEnd)
        OnWorkEnd();

    if (aborted || code == CURLE_ABORTED_BY_CALLBACK) {
        error = "aborted";
        return TorvHttpResult::Aborted;
    }
    if (transfer.WriteFailed) {
        error = "the received data could not be stored";
        return TorvHttpResult::WriteFailed;
    }
    if (code != CURLE_OK) {
        error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        return TorvHttpResult::Failed;
    }
    return TorvHttpResult::Ok;
}
