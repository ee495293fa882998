#include "tests/support/RecordingDesktop.h"

#include "platform/orvKeyStore.h"
#include "platform/orvWindowMessages.h"

#include <atomic>
#include <stdexcept>

namespace orvtest {

namespace {

// A keyboard with a US layout as far as letters, digits and a few signs go.
class TRecordingKeyboard final : public TorvKeyboard
{
public:
    explicit TRecordingKeyboard(std::shared_ptr<TRecordingDesktop> desktop) : FDesktop(std::move(desktop)) {}

    std::optional<TorvKeyScan> KeyScan(char32_t c) override
    {
        if (c >= 'a' && c <= 'z')
            return TorvKeyScan{static_cast<std::uint32_t>(c - 'a' + 'A'), 0};
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            return TorvKeyScan{static_cast<std::uint32_t>(c), c >= 'A' ? orvKeyNeedsShift : std::uint8_t{0}};
        if (c == ' ')
            return TorvKeyScan{32, 0};
        return std::nullopt;
    }
    void KeyEvent(std::uint32_t key, bool up, bool) override
    {
        FDesktop->Record("key " + std::to_string(key) + (up ? " up" : " down"));
    }
    void Flush() override {}

private:
    std::shared_ptr<TRecordingDesktop> FDesktop;
};

class TRecordingSessionActions final : public TorvSessionActions
{
public:
    explicit TRecordingSessionActions(std::shared_ptr<TRecordingDesktop> desktop)
        : FDesktop(std::move(desktop))
    {
    }
    TorvSessionActionResult Reboot() override { return Act("reboot"); }
    TorvSessionActionResult LogOff() override { return Act("logoff"); }

private:
    TorvSessionActionResult Act(const char* what)
    {
        FDesktop->Record(what);
        if (FDesktop->Allowed())
            return {true, {}};
        return {false, "not authorized"};
    }
    std::shared_ptr<TRecordingDesktop> FDesktop;
};

// Programs are recorded, never started; none of them ever runs.
class TRecordingProcesses final : public TorvProcessTable
{
public:
    explicit TRecordingProcesses(std::shared_ptr<TRecordingDesktop> desktop) : FDesktop(std::move(desktop)) {}
    std::vector<TorvProcessEntry> List() override { return {}; }
    pid_t Spawn(const std::string& path, const std::vector<std::string>& arguments,
                const std::string&) override
    {
        std::string event = "spawn " + path;
        for (const std::string& argument : arguments)
            event += " " + argument;
        FDesktop->Record(event);
        return ++FNextPid;
    }
    bool IsRunning(pid_t) override { return false; }
    bool RequestEnd(pid_t, int) override { return true; }
    bool Kill(pid_t) override { return true; }

private:
    std::shared_ptr<TRecordingDesktop> FDesktop;
    std::atomic<pid_t> FNextPid{4000000};
};

} // namespace

std::vector<std::string> TRecordingDesktop::Events() const
{
    std::lock_guard lock(FMutex);
    return FEvents;
}

void TRecordingDesktop::Record(std::string event)
{
    {
        std::lock_guard lock(FMutex);
        FEvents.push_back(event);
    }
    if (OnEvent)
        OnEvent(event);
}

void TRecordingDesktop::Install(const std::string& name)
{
    std::lock_guard lock(FMutex);
    FInstalled.insert(name);
}

void TRecordingDesktop::SetAllowed(bool allowed)
{
    std::lock_guard lock(FMutex);
    FAllowed = allowed;
}

bool TRecordingDesktop::Allowed() const
{
    std::lock_guard lock(FMutex);
    return FAllowed;
}

std::unique_ptr<TorvKeyboard> TRecordingDesktop::NewKeyboard()
{
    return std::make_unique<TRecordingKeyboard>(shared_from_this());
}

std::shared_ptr<TorvProcessTable> TRecordingDesktop::Processes()
{
    return std::make_shared<TRecordingProcesses>(shared_from_this());
}

void TRecordingDesktop::Plug(TorvOSPlatform& platform)
{
    const std::shared_ptr<TRecordingDesktop> self = shared_from_this();
    platform.OpenKeyboard = [self] { return self->NewKeyboard(); };
    platform.ShowKeysMessage = [self](const std::string& text, const std::string& caption) {
        self->Record("message " + caption + ": " + text);
    };
    platform.SessionActions = std::make_shared<TRecordingSessionActions>(self);
    platform.FindProgram = [self](const std::string& name) {
        std::lock_guard lock(self->FMutex);
        return self->FInstalled.contains(name) ? "/usr/bin/" + name : std::string();
    };
}

TorvOSPlatform RecordedPlatform(const std::shared_ptr<TRecordingDesktop>& desktop)
{
    TorvOSPlatform platform;
    platform.OpenHostKey = []() -> std::unique_ptr<TorvKeyStore> {
        throw std::runtime_error("no key store here");
    };
    platform.Processes = desktop->Processes();
    platform.Windows = std::make_shared<TorvSocketWindowMessenger>();
    platform.ProgramFolder = "/nonexistent/";
    desktop->Plug(platform);
    return platform;
}

} // namespace orvtest
