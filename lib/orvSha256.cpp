#include "lib/orvSha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace {

[[noreturn]] void Fail(const char* what)
{
    throw std::runtime_error(std::string("SHA-256: ") + what);
}

} // namespace

void TorvSha256::Free::operator()(evp_md_ctx_st* context) const noexcept
{
    EVP_MD_CTX_free(context);
}

TorvSha256::TorvSha256() : FContext(EVP_MD_CTX_new())
{
    if (!FContext)
        Fail("out of memory");
    Reset();
}

TorvSha256::~TorvSha256() = default;

void TorvSha256::Reset()
{
    if (EVP_DigestInit_ex(FContext.get(), EVP_sha256(), nullptr) != 1)
        Fail("cannot start");
}

void TorvSha256::Add(std::string_view bytes)
{
    if (!bytes.empty() && EVP_DigestUpdate(FContext.get(), bytes.data(), bytes.size()) != 1)
        Fail("cannot add bytes");
}

std::string TorvSha256::Hex() const
{
    // A copy is finished, so the running digest can take more bytes.
    std::unique_ptr<evp_md_ctx_st, Free> copy(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), FContext.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), digest, &size) != 1)
        Fail("cannot finish");
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}

std::string TorvSha256::Of(std::string_view bytes)
{
    TorvSha256 digest;
    digest.Add(bytes);
    return digest.Hex();
}
