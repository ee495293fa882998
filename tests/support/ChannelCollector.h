#pragma once

#include "lib/orvConnections.h"

#include <mutex>
#include <string>
#include <vector>

namespace orvtest {

// A channel thread that keeps every text of its channel, oldest first: the
// helpdesk's end of a data channel in the tests.
class ChannelCollector : public TorvChannelThread
{
public:
    std::vector<std::string> Texts();
    bool HasReceived(const std::string& text);

protected:
    void Execute() override;

private:
    std::mutex FMutex;
    std::vector<std::string> FTexts;
};

} // namespace orvtest
