#include "tests/support/ChannelCollector.h"

#include <algorithm>

namespace orvtest {

std::vector<std::string> ChannelCollector::Texts()
{
    std::lock_guard lock(FMutex);
    return FTexts;
}

bool ChannelCollector::HasReceived(const std::string& text)
{
    std::lock_guard lock(FMutex);
    return std::find(FTexts.begin(), FTexts.end(), text) != FTexts.end();
}

void ChannelCollector::Execute()
{
    while (!Terminated()) {
        if (MessageCount() == 0) {
            Sleep(20);
            continue;
        }
        std::string text = GetMessage();
        std::lock_guard lock(FMutex);
        FTexts.push_back(std::move(text));
    }
}

} // namespace orvtest
