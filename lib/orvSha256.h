#pragma once

// SHA-256 over bytes that arrive piece by piece (a file as it is sent or written).

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

class TorvSha256
{
public:
    TorvSha256();
    ~TorvSha256();
    TorvSha256(const TorvSha256&) = delete;
    TorvSha256& operator=(const TorvSha256&) = delete;

    void Add(std::string_view bytes);
    // Starts again with no bytes.
    void Reset();
    // Lower-case hex of the bytes so far; more may be added afterwards.
    std::string Hex() const;

    // The digest of one whole text, in lower-case hex.
    static std::string Of(std::string_view bytes);

private:
    struct Free
    {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, Free> FContext;
};
