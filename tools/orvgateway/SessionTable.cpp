#include "tools/orvgateway/SessionTable.h"

std::optional<int> TGatewaySessionTable::Create(TGatewayLinkId customer)
{
    constexpr std::size_t CodeCount = MaxCode - MinCode + 1;
    if (FSessions.size() >= CodeCount)
        return std::nullopt;
    std::uniform_int_distribution<int> pick(MinCode, MaxCode);
    // Random tries find a free code at once unless the table is nearly full; then walk on from one.
    int code = pick(FRandom);
    for (int tries = 0; tries < 64 && FSessions.count(code); ++tries)
        code = pick(FRandom);
    while (FSessions.count(code))
        code = code == MaxCode ? MinCode : code + 1;
    FSessions[code] = TGatewaySession{code, customer, 0};
    return code;
}

bool TGatewaySessionTable::CreateWithCode(int code, TGatewayLinkId customer)
{
    if (!ValidCode(code) || FSessions.count(code))
        return false;
    FSessions[code] = TGatewaySession{code, customer, 0};
    return true;
}

TGatewaySession* TGatewaySessionTable::Find(int code)
{
    auto it = FSessions.find(code);
    return it == FSessions.end() ? nullptr : &it->second;
}
