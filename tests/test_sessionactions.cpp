// Restart and log-off through logind, against a fake logind on a private
// bus: the system bus is never reached from here.
#include "platform/orvSessionActions.h"

#include "tests/support/ChildProgram.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace orvtest;
using namespace std::chrono_literals;

// Debian's dbus-daemon package; the tests skip without it.
constexpr const char* DbusDaemon = "/usr/bin/dbus-daemon";

bool HaveDbusDaemon()
{
    return ::access(DbusDaemon, X_OK) == 0;
}

// A dbus-daemon of the test's own, with no service activation: a name is
// owned only while a test's fake holds it.
class TPrivateBus
{
public:
    TPrivateBus()
    {
        const std::string config = FDir.File("bus.conf");
        // Everything allowed, as on a session bus of one user.
        const std::string policy =
            "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>";
        WriteFile(config, "<busconfig><listen>unix:path=" + FDir.File("bus") +
                              "</listen><auth>EXTERNAL</auth>" + policy + "</busconfig>\n");
        const std::string log = FDir.File("daemon.log");
        // Its complaints (such as the fd limit it may not raise) only matter when it fails.
        FDaemon = std::make_unique<TChildProgram>(
            std::vector<std::string>{DbusDaemon, "--config-file=" + config, "--nofork", "--nopidfile",
                                     "--print-address=1"},
            log);
        FAddress = FDaemon->FirstLine();
        if (FAddress.empty())
            throw std::runtime_error("dbus-daemon printed no address: " + ReadFile(log));
    }

    const std::string& Address() const { return FAddress; }
    std::string DeadAddress() const { return "unix:path=" + FDir.File("nobody-listens"); }

private:
    TempDir FDir;
    std::unique_ptr<TChildProgram> FDaemon;
    std::string FAddress;
};

struct TLogindCall
{
    std::string Method;
    std::string Argument;
    bool Interactive = true; // whether the caller allowed a password prompt
};

// Owns org.freedesktop.login1 on the private bus and answers the two manager
// methods on a thread of its own, the way logind would.
class TFakeLogind
{
public:
    explicit TFakeLogind(const std::string& address)
    {
        sd_bus* raw = nullptr;
        if (sd_bus_new(&raw) < 0)
            throw std::runtime_error("sd_bus_new failed");
        FBus = raw;
        if (sd_bus_set_address(FBus, address.c_str()) < 0 || sd_bus_set_bus_client(FBus, 1) < 0 ||
            sd_bus_start(FBus) < 0)
            Fail("cannot connect the fake logind");
        if (sd_bus_add_object_vtable(FBus, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", Vtable, this) < 0)
            Fail("cannot export the fake manager");
        // Synchronous: the name is ours before any test call goes out.
        if (sd_bus_request_name(FBus, "org.freedesktop.login1", 0) < 0)
            Fail("cannot own org.freedesktop.login1");
        FThread = std::thread([this] { Serve(); });
    }
    ~TFakeLogind()
    {
        FStop = true;
        FThread.join();
        sd_bus_flush_close_unref(FBus);
    }
    TFakeLogind(const TFakeLogind&) = delete;
    TFakeLogind& operator=(const TFakeLogind&) = delete;

    // Empty name: answer normally again.
    void ReplyWithError(std::string name, std::string message)
    {
        std::lock_guard lock(FMutex);
        FErrorName = std::move(name);
        FErrorMessage = std::move(message);
    }
    std::vector<TLogindCall> Calls()
    {
        std::lock_guard lock(FMutex);
        return FCalls;
    }

private:
    [[noreturn]] void Fail(const char* what)
    {
        sd_bus_flush_close_unref(FBus);
        throw std::runtime_error(what);
    }

    void Serve()
    {
        while (!FStop) {
            const int r = sd_bus_process(FBus, nullptr);
            if (r < 0)
                return;
            if (r == 0)
                sd_bus_wait(FBus, 50'000); // short, so stopping is prompt
        }
    }

    int Answer(sd_bus_message* m, TLogindCall call)
    {
        call.Method = sd_bus_message_get_member(m);
        call.Interactive = sd_bus_message_get_allow_interactive_authorization(m) > 0;
        std::string errorName, errorMessage;
        {
            std::lock_guard lock(FMutex);
            FCalls.push_back(std::move(call));
            errorName = FErrorName;
            errorMessage = FErrorMessage;
        }
        if (!errorName.empty())
            return sd_bus_reply_method_errorf(m, errorName.c_str(), "%s", errorMessage.c_str());
        return sd_bus_reply_method_return(m, nullptr);
    }

    static int OnReboot(sd_bus_message* m, void* self, sd_bus_error*)
    {
        int interactive = 0;
        const int r = sd_bus_message_read(m, "b", &interactive);
        if (r < 0)
            return r;
        return static_cast<TFakeLogind*>(self)->Answer(m, {{}, interactive ? "true" : "false"});
    }
    static int OnTerminateSession(sd_bus_message* m, void* self, sd_bus_error*)
    {
        const char* id = nullptr;
        const int r = sd_bus_message_read(m, "s", &id);
        if (r < 0)
            return r;
        return static_cast<TFakeLogind*>(self)->Answer(m, {{}, id});
    }

    static constexpr sd_bus_vtable Vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Reboot", "b", "", OnReboot, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("TerminateSession", "s", "", OnTerminateSession, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    sd_bus* FBus = nullptr;
    std::atomic<bool> FStop{false};
    std::mutex FMutex;
    std::vector<TLogindCall> FCalls;
    std::string FErrorName;
    std::string FErrorMessage;
    std::thread FThread;
};

// What the backend will find as this process's session.
std::optional<std::string> LogindSessionOfThisProcess()
{
    char* raw = nullptr;
    if (sd_pid_get_session(0, &raw) < 0 || !raw)
        return std::nullopt;
    std::string id = raw;
    std::free(raw);
    return id.empty() ? std::nullopt : std::optional(id);
}

class SessionActions : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!HaveDbusDaemon())
            GTEST_SKIP() << DbusDaemon << " is not installed";
        FBus.emplace();
    }
    TFakeLogind& StartLogind()
    {
        FLogind = std::make_unique<TFakeLogind>(FBus->Address());
        return *FLogind;
    }

    std::optional<TPrivateBus> FBus;
    std::unique_ptr<TFakeLogind> FLogind; // stopped before the bus goes
};

TEST_F(SessionActions, RebootAsksLogindWithoutAPrompt)
{
    TFakeLogind& logind = StartLogind();
    TorvLogindSessionActions actions(FBus->Address());

    const TorvSessionActionResult result = actions.Reboot();
    EXPECT_TRUE(result.Done) << result.Reason;
    EXPECT_EQ(result.Reason, "");
    // Answered synchronously: the call is on record once Reboot returns.
    const auto calls = logind.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Method, "Reboot");
    EXPECT_EQ(calls[0].Argument, "false");
    EXPECT_FALSE(calls[0].Interactive);
}

TEST_F(SessionActions, LogOffEndsTheSessionOfThisProcess)
{
    TFakeLogind& logind = StartLogind();
    // Outside a logind session the backend falls back to the variable.
    std::optional<std::string> expected = LogindSessionOfThisProcess();
    std::optional<TScopedEnv> sessionVariable;
    if (!expected) {
        expected = "orvtest-7";
        sessionVariable.emplace("XDG_SESSION_ID", *expected);
    }
    TorvLogindSessionActions actions(FBus->Address());

    const TorvSessionActionResult result = actions.LogOff();
    EXPECT_TRUE(result.Done) << result.Reason;
    // One object serves any number of actions.
    EXPECT_TRUE(actions.Reboot().Done);
    const auto calls = logind.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Method, "TerminateSession");
    EXPECT_EQ(calls[0].Argument, *expected);
    EXPECT_FALSE(calls[0].Interactive);
    EXPECT_EQ(calls[1].Method, "Reboot");
}

TEST_F(SessionActions, LogOffOutsideAnySessionAsksNothing)
{
    char* display = nullptr;
    const bool graphical = sd_uid_get_display(::getuid(), &display) >= 0;
    std::free(display);
    if (LogindSessionOfThisProcess() || graphical)
        GTEST_SKIP() << "this process or its user is in a logind session";
    TFakeLogind& logind = StartLogind();
    TorvLogindSessionActions actions(FBus->Address());
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        TScopedEnv sessionVariable("XDG_SESSION_ID", value);
        const TorvSessionActionResult result = actions.LogOff();
        EXPECT_FALSE(result.Done);
        EXPECT_EQ(result.Reason, "not in a login session");
    }
    EXPECT_TRUE(logind.Calls().empty());
}

TEST_F(SessionActions, RefusalCarriesTheErrorNameAndMessage)
{
    TFakeLogind& logind = StartLogind();
    TScopedEnv sessionVariable("XDG_SESSION_ID", "orvtest-7");
    TorvLogindSessionActions actions(FBus->Address());

    logind.ReplyWithError("org.freedesktop.DBus.Error.AccessDenied", "Interactive authentication required.");
    TorvSessionActionResult result = actions.Reboot();
    EXPECT_FALSE(result.Done);
    EXPECT_EQ(result.Reason, "org.freedesktop.DBus.Error.AccessDenied: Interactive authentication required.");

    logind.ReplyWithError("org.freedesktop.login1.NoSuchSession", "No session 'x' known");
    result = actions.LogOff();
    EXPECT_FALSE(result.Done);
    EXPECT_EQ(result.Reason, "org.freedesktop.login1.NoSuchSession: No session 'x' known");

    // A refusal leaves nothing behind: the next answer counts on its own.
    logind.ReplyWithError({}, {});
    EXPECT_TRUE(actions.Reboot().Done);
    EXPECT_EQ(logind.Calls().size(), 3u);
}

TEST_F(SessionActions, NoLogindOrNoBusIsAnAnswer)
{
    TScopedEnv sessionVariable("XDG_SESSION_ID", "orvtest-7");
    // The bus answers for a name nobody owns; no waiting for a timeout.
    TorvLogindSessionActions actions(FBus->Address());
    TorvSessionActionResult result = actions.Reboot();
    EXPECT_FALSE(result.Done);
    EXPECT_NE(result.Reason.find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos)
        << result.Reason;
    result = actions.LogOff();
    EXPECT_FALSE(result.Done);
    EXPECT_NE(result.Reason.find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos)
        << result.Reason;

    TorvLogindSessionActions unreachable(FBus->DeadAddress());
    result = unreachable.Reboot();
    EXPECT_FALSE(result.Done);
    EXPECT_NE(result.Reason.find("No such file or directory"), std::string::npos) << result.Reason;
    EXPECT_FALSE(unreachable.LogOff().Done);
}

// The system bus is pointed at the private bus too, so a guard that let a
// call through would show as a call on the fake, never on the machine.
TEST(SessionActionsGuard, SystemBusBackendRefusesWhileTheVariableIsSet)
{
    TScopedEnv guard(orvNoSessionActionsVariable, "1");
    TempDir dir;
    std::optional<TPrivateBus> bus;
    std::unique_ptr<TFakeLogind> logind;
    std::string systemBus = "unix:path=" + dir.File("nobody-listens");
    if (HaveDbusDaemon()) {
        bus.emplace();
        logind = std::make_unique<TFakeLogind>(bus->Address());
        systemBus = bus->Address();
    }
    TScopedEnv redirect("DBUS_SYSTEM_BUS_ADDRESS", systemBus);
    TScopedEnv sessionVariable("XDG_SESSION_ID", "orvtest-7");

    for (const char* value : {"1", ""}) { // set, even to nothing, is set
        TScopedEnv setting(orvNoSessionActionsVariable, value);
        TorvLogindSessionActions actions;
        for (const TorvSessionActionResult& result : {actions.Reboot(), actions.LogOff()}) {
            EXPECT_FALSE(result.Done);
            EXPECT_NE(result.Reason.find(orvNoSessionActionsVariable), std::string::npos) << result.Reason;
        }
    }
    if (logind) {
        EXPECT_TRUE(logind->Calls().empty());
    }
}

} // namespace
