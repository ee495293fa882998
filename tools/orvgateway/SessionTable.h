#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>

// A connection of the gateway: the transport's connection UID, unique for the process's life.
using TGatewayLinkId = std::uint32_t;

struct TGatewaySession
{
    int Code = 0;
    TGatewayLinkId Customer = 0;
    TGatewayLinkId Helpdesk = 0; // 0 while no helpdesk is in the session
};

// The live sessions by session code.
class TGatewaySessionTable
{
public:
    static constexpr int MinCode = 100000;
    static constexpr int MaxCode = 999999;

    explicit TGatewaySessionTable(std::uint64_t seed) : FRandom(seed) {}

    static bool ValidCode(int code) noexcept { return code >= MinCode && code <= MaxCode; }

    // A session under a fresh random code; nullopt when every code is in use.
    std::optional<int> Create(TGatewayLinkId customer);
    // A session under the given code; false when the code is invalid or in use.
    bool CreateWithCode(int code, TGatewayLinkId customer);
    TGatewaySession* Find(int code);
    void Remove(int code) { FSessions.erase(code); }
    std::size_t Count() const noexcept { return FSessions.size(); }

private:
    std::map<int, TGatewaySession> FSessions;
    std::mt19937_64 FRandom;
};
