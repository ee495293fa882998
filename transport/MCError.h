#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The transport's error: a numeric code whose text comes from a fixed table.
class EMCError : public std::runtime_error
{
public:
    explicit EMCError(std::int32_t code);
    std::int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    std::int32_t FErrorCode;
};

// The text for an error code; unknown codes give "Unspecified error".
const char* MCErrorText(std::int32_t code) noexcept;

// Error codes the transport raises or carries in ErrorCode.
namespace MCErr {
inline constexpr std::int32_t NoTransport = 4;
inline constexpr std::int32_t BadDestination = 5;
inline constexpr std::int32_t UnexpectedFailure = 8;
inline constexpr std::int32_t NoDecryptor = 9;
inline constexpr std::int32_t NoDecompressor = 10;
inline constexpr std::int32_t NoSealer = 11;
inline constexpr std::int32_t InvalidSignature = 12;
inline constexpr std::int32_t InvalidCredentials = 16;
inline constexpr std::int32_t ReplyDeferred = 25;
inline constexpr std::int32_t TransformerMismatch = 26;
inline constexpr std::int32_t RoutingNotAllowed = 27;
inline constexpr std::int32_t TransportInactive = 28;
inline constexpr std::int32_t TransportDeactivated = 51;
inline constexpr std::int32_t InvalidSocket = 201;
inline constexpr std::int32_t BadSocketState = 202;
inline constexpr std::int32_t InvalidAddress = 204;
inline constexpr std::int32_t ConnectionFailed = 205;
inline constexpr std::int32_t ConnectionLost = 206;
inline constexpr std::int32_t TLSClosed = 801;
} // namespace MCErr
