#pragma once

// The desktop as the helpdesk's actions reach it, recorded instead of done:
// programs started, key events, restart and log-off. Every test that builds
// an OSUtils plugs this in, so no test can restart or log off the machine.

#include "lib/orvOSUtils.h"
#include "platform/orvKeyboard.h"
#include "platform/orvProcesses.h"
#include "platform/orvSessionActions.h"

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace orvtest {

class TRecordingDesktop : public std::enable_shared_from_this<TRecordingDesktop>
{
public:
    // Everything in the order it happened: "spawn <path> <args...>",
    // "key <vk|layout key> down|up", "message <caption>: <text>", "reboot",
    // "logoff", "pause <ms>".
    std::vector<std::string> Events() const;
    void Record(std::string event);
    // Called with each event as it is recorded, on the thread that caused it;
    // set it before the desktop is used.
    std::function<void(const std::string& event)> OnEvent;
    // Programs the desktop pretends to have (names looked up in its PATH).
    void Install(const std::string& name);
    // Whether the system lets restart and log-off happen.
    void SetAllowed(bool allowed);
    bool Allowed() const;

    // Fills the desktop parts of platform with this recorder; the rest stays.
    void Plug(TorvOSPlatform& platform);
    // The key-string messages, keyboard, session actions and program lookup.
    std::unique_ptr<TorvKeyboard> NewKeyboard();
    std::shared_ptr<TorvProcessTable> Processes();

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FEvents;
    std::set<std::string> FInstalled;
    bool FAllowed = true;
};

// An OSUtils for the whole of a window test, with its desktop recorded.
TorvOSPlatform RecordedPlatform(const std::shared_ptr<TRecordingDesktop>& desktop);

} // namespace orvtest
