#pragma once

// The helpdesk console's requests for the customer's computer: open a file,
// folder or address, the desktop settings, the printers, Ctrl+Alt+Del, the
// start key, and restart or log-off (asked for as a helpdesk asks for
// consent, so the customer may say no). Remembers whether the customer
// agreed to end the desktop session, so the console can wait for the
// customer to come back.

#include <functional>
#include <string>
#include <utility>

class TorvConnection;

class THelpdeskActions
{
public:
    using TSay = std::function<void(const std::string& line)>;

    THelpdeskActions(TorvConnection& connection, TSay say) : FConnection(connection), FSay(std::move(say)) {}

    // A typed line; false when it is not one of ours.
    bool Command(const std::string& line);
    // A channel-1 text from the customer; notes the acknowledgement of a restart or log-off.
    void Received(const std::string& text);
    // The customer acknowledged a restart or log-off: it will come back under the same code.
    bool ComingBack() const { return FComingBack; }

    static constexpr const char* Usage =
        "open <path or address>, settings, printers, cad, startkey, restart, logoff";

private:
    void Send(const std::string& text);

    TorvConnection& FConnection;
    TSay FSay;
    bool FComingBack = false;
};
