// Fuzzes the parsers of received source addresses and of destinations.
// Input: the peer's source address, optionally a 0x00 and the previous remote address.
#include "transport/MCAddress.h"
#include "transport/MCError.h"
#include "transport/MCWireFormat.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view peer = input.substr(0, nul);
    const std::string_view previous = nul == std::string_view::npos ? "gw:7000" : input.substr(nul + 1);

    auto parsed = MCParseSourceAddress(peer);
    if (parsed && parsed->HasConnection && parsed->HasHost) {
        // What we parse, we can write and parse again.
        auto again =
            MCParseSourceAddress(MCBuildSourceAddress(parsed->ConnectionID, parsed->Host, parsed->Port));
        Check(again && again->HasConnection && again->HasHost);
        Check(again->ConnectionID == parsed->ConnectionID && again->Host == parsed->Host &&
              again->Port == parsed->Port && !again->HasUID);
    }
    if (parsed && parsed->HasUID)
        Check(parsed->HasConnection);

    for (bool accepting : {false, true}) {
        TMCConnectionNumbers numbers{0, 9, std::string(previous), accepting};
        std::uint32_t counter = 100;
        std::string source = MCApplySourceAddress(numbers, peer, [&] { return ++counter; });
        Check(numbers.ConnectionID != 0 && !source.empty());
        auto remote = MCParseSourceAddress(numbers.RemoteAddress);
        Check(remote && remote->HasConnection && remote->ConnectionID == numbers.ConnectionID);
        // Numbered now: the same text again is no contradiction.
        try {
            MCApplySourceAddress(numbers, peer, [&] { return ++counter; });
        } catch (const EMCError&) {
            Check(false);
        }
    }

    try {
        auto d = MCParseDestination(input);
        Check(!d.Address.empty() && !d.QueueName.empty() && d.QueueName.size() <= MCQueueNameMax);
    } catch (const EMCError& e) {
        Check(e.ErrorCode() == MCErr::BadDestination);
    }
    (void)MCSplitHostPort(input);
    (void)MCSameHostPort(peer, previous);
    return 0;
}
