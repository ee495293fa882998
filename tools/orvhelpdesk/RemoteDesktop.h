#pragma once

// The helpdesk console's end of the remote desktop: the same channel thread
// and launchers as the customer program, driven from the prompt. The
// customer's requests are asked at the prompt and answered with yes or no.

#include "lib/orvVNCThread.h"

#include <functional>
#include <string>

class THelpdeskRemoteDesktop
{
public:
    using TSay = std::function<void(const std::string& line)>;

    // thread: the connection's channel-2 thread, which outlives this object.
    THelpdeskRemoteDesktop(TorvVNCThread& thread, TSay say) : FThread(thread), FSay(std::move(say)) {}

    // A typed line; false when it is not one of ours.
    bool Command(const std::string& line);
    // One waiting entry of the channel thread, and the state when it changed.
    void Poll();

    static constexpr const char* Usage =
        "view, show, stop, control ask|yes|no, and yes or no to a question of the customer";

private:
    void Handle(const std::string& entry);
    void Ask(const std::string& question, const std::string& request);
    void Answer(bool yes);

    TorvVNCThread& FThread;
    TSay FSay;
    std::string FQuestion; // the request a question waits to be answered for
    TVNCState FShownState = vsDisconnected;
};
