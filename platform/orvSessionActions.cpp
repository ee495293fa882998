#include "platform/orvSessionActions.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace {

constexpr const char* LogindService = "org.freedesktop.login1";
constexpr const char* LogindPath = "/org/freedesktop/login1";
constexpr const char* LogindManager = "org.freedesktop.login1.Manager";
// logind answers at once (polkit is asked without prompting); this only
// bounds a bus or daemon that hangs.
constexpr std::uint64_t CallTimeoutUsec = 25'000'000;

struct TBusClose
{
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using TBusPtr = std::unique_ptr<sd_bus, TBusClose>;

struct TMessageUnref
{
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using TMessagePtr = std::unique_ptr<sd_bus_message, TMessageUnref>;

class TBusError
{
public:
    TBusError() = default;
    ~TBusError() { sd_bus_error_free(&FError); }
    TBusError(const TBusError&) = delete;
    TBusError& operator=(const TBusError&) = delete;
    sd_bus_error* Get() { return &FError; }

private:
    sd_bus_error FError = SD_BUS_ERROR_NULL;
};

struct TFreeChars
{
    void operator()(char* text) const { std::free(text); }
};

TorvSessionActionResult Failed(std::string reason)
{
    return {false, std::move(reason)};
}

std::string ErrnoText(int negativeErrno)
{
    return std::strerror(-negativeErrno);
}

// Checked before any bus is opened: the test command must never restart
// or log off the machine it runs on.
bool Refused(const std::string& address, TorvSessionActionResult& result)
{
    if (!address.empty() || !std::getenv(orvNoSessionActionsVariable))
        return false;
    result = Failed(std::string("refused: ") + orvNoSessionActionsVariable + " is set");
    return true;
}

// A null bus comes with the reason in result.
TBusPtr Connect(const std::string& address, TorvSessionActionResult& result)
{
    if (Refused(address, result))
        return nullptr;
    sd_bus* raw = nullptr;
    if (address.empty()) {
        const int r = sd_bus_open_system(&raw);
        if (r < 0) {
            result = Failed("cannot connect to the system bus: " + ErrnoText(r));
            return nullptr;
        }
        return TBusPtr(raw);
    }
    int r = sd_bus_new(&raw);
    if (r < 0) {
        result = Failed("cannot create a bus connection: " + ErrnoText(r));
        return nullptr;
    }
    TBusPtr bus(raw);
    if ((r = sd_bus_set_address(bus.get(), address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(bus.get(), 1)) < 0 || (r = sd_bus_start(bus.get())) < 0) {
        result = Failed("cannot connect to " + address + ": " + ErrnoText(r));
        return nullptr;
    }
    return bus;
}

// One call to the manager on a connection of its own, so the object keeps
// no connection between actions and any thread may use it.
template <typename TArgument>
TorvSessionActionResult CallManager(const std::string& address, const char* method, const char* signature,
                                    TArgument argument)
{
    TorvSessionActionResult result;
    TBusPtr bus = Connect(address, result);
    if (!bus)
        return result;

    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &raw, LogindService, LogindPath, LogindManager, method);
    if (r < 0)
        return Failed(std::string("cannot build ") + method + ": " + ErrnoText(r));
    TMessagePtr call(raw);
    if ((r = sd_bus_message_append(call.get(), signature, argument)) < 0)
        return Failed(std::string("cannot build ") + method + ": " + ErrnoText(r));
    // Nobody is at the screen to answer a password prompt on the helpdesk's behalf.
    if ((r = sd_bus_message_set_allow_interactive_authorization(call.get(), 0)) < 0)
        return Failed(std::string("cannot build ") + method + ": " + ErrnoText(r));

    TBusError error;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus.get(), call.get(), CallTimeoutUsec, error.Get(), &reply);
    TMessagePtr replyOwner(reply);
    if (r < 0) {
        if (sd_bus_error_is_set(error.Get())) {
            const sd_bus_error* e = error.Get();
            return Failed(std::string(e->name) + ": " + (e->message ? e->message : ErrnoText(r)));
        }
        return Failed(std::string(method) + " failed: " + ErrnoText(r));
    }
    return {true, {}};
}

// The session this process belongs to: logind's own record first, the
// variable the session manager exports when the cgroup says nothing, and
// last the user's graphical session (programs that a systemd-managed desktop
// starts run outside the session's cgroup and may lack the variable).
std::string OwnSessionId()
{
    const auto take = [](int r, char* raw) -> std::string {
        std::unique_ptr<char, TFreeChars> id(raw);
        return r >= 0 && id ? id.get() : "";
    };
    char* raw = nullptr;
    if (std::string id = take(sd_pid_get_session(0, &raw), raw); !id.empty())
        return id;
    if (const char* fromEnv = std::getenv("XDG_SESSION_ID"); fromEnv && *fromEnv)
        return fromEnv;
    raw = nullptr;
    return take(sd_uid_get_display(::getuid(), &raw), raw);
}

} // namespace

TorvLogindSessionActions::TorvLogindSessionActions(std::string busAddress)
    : FBusAddress(std::move(busAddress))
{
}

TorvSessionActionResult TorvLogindSessionActions::Reboot()
{
    // The argument is "interactive": false, so polkit decides without asking anyone.
    return CallManager(FBusAddress, "Reboot", "b", 0);
}

TorvSessionActionResult TorvLogindSessionActions::LogOff()
{
    if (TorvSessionActionResult refused; Refused(FBusAddress, refused))
        return refused;
    const std::string session = OwnSessionId();
    if (session.empty())
        return Failed("not in a login session");
    return CallManager(FBusAddress, "TerminateSession", "s", session.c_str());
}
