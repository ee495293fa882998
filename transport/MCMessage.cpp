#include "transport/MCMessage.h"

#include "transport/MCTime.h"

#include <atomic>
#include <random>

namespace {

std::uint32_t RandomSeed() noexcept
{
    try {
        std::random_device device;
        std::uniform_int_distribution<std::uint32_t> range(0, 0x7FFFFFFE);
        return range(device);
    } catch (...) {
        // No entropy source: the tick counter still gives different processes different seeds.
        return MCGetTickCount() % 0x7FFFFFFF;
    }
}

std::atomic<std::uint32_t>& IDCounter() noexcept
{
    static std::atomic<std::uint32_t> counter{RandomSeed()};
    return counter;
}

// The element a new envelope goes directly after, scanning from the tail.
bool GoesAfter(const TMCMessageInfo& existing, const TMCMessageInfo& added, bool ignorePriority) noexcept
{
    if (existing.ExpectsReply() != added.ExpectsReply())
        return existing.ExpectsReply();
    return ignorePriority || existing.Message.Priority >= added.Message.Priority;
}

} // namespace

void MCInsertOrdered(TMCMessageList& list, TMCMessageInfoPtr info, bool ignorePriority)
{
    auto pos = list.end();
    while (pos != list.begin()) {
        if (GoesAfter(**(pos - 1), *info, ignorePriority))
            break;
        --pos;
    }
    list.insert(pos, std::move(info));
}

void MCGenerateID(std::uint32_t& lo, std::uint32_t& hi) noexcept
{
    lo = MCLocalTimeOfDayMs();
    // Unsigned arithmetic: both the counter and the sum wrap at 32 bits.
    hi = (IDCounter().fetch_add(1) + 1) + MCGetTickCount();
}
