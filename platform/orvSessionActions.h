#pragma once

// Ending the desktop session: restarting the computer or logging the user
// off, through systemd-logind. The system's policy (polkit) decides whether
// we may; a refusal is an answer, not an error.

#include <string>

struct TorvSessionActionResult
{
    bool Done = false;
    std::string Reason; // why not, when not done
};

class TorvSessionActions
{
public:
    virtual ~TorvSessionActions() = default;
    virtual TorvSessionActionResult Reboot() = 0;
    // Ends the desktop session this program runs in.
    virtual TorvSessionActionResult LogOff() = 0;
};

// Environment variable that keeps the system bus out of reach: while it is
// set (the test command sets it) the system-bus backend refuses everything.
inline constexpr const char* orvNoSessionActionsVariable = "ORV_NO_SESSION_ACTIONS";

// org.freedesktop.login1 over D-Bus (sd-bus): Manager.Reboot, and
// Manager.TerminateSession with the session of this process.
class TorvLogindSessionActions final : public TorvSessionActions
{
public:
    // busAddress empty: the system bus, guarded by orvNoSessionActionsVariable.
    // Otherwise that bus (a private test bus), unguarded.
    explicit TorvLogindSessionActions(std::string busAddress = {});

    TorvSessionActionResult Reboot() override;
    TorvSessionActionResult LogOff() override;

private:
    std::string FBusAddress;
};
