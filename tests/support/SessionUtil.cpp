#include "tests/support/SessionUtil.h"

#include "lib/orvAppUtils.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"

namespace orvtest {

bool ServeUntil(const std::function<bool()>& predicate, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        orvSync::CheckSynchronize(5);
    }
    return true;
}

std::unique_ptr<TorvConnection> Establish(TOrvServers& servers, std::chrono::milliseconds deadline)
{
    std::unique_ptr<TorvConnection> connection;
    ServeUntil(
        [&] {
            if (TorvConnection* won = servers.Poll()) {
                connection = servers.Detach(won);
                servers.CloseAll();
            }
            return connection != nullptr || servers.Failed();
        },
        deadline);
    return connection;
}

std::unique_ptr<TorvConnection> JoinSession(const std::string& settings, std::int32_t sessionID,
                                            std::uint8_t kind)
{
    TOrvServers servers(settings);
    servers.Start(sessionID, kind, "beta4", "EN", orvRegisteringDataVersion);
    return Establish(servers);
}

} // namespace orvtest
