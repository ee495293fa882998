// Threads of the connection core and the hand-over of calls to the main thread.
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvThreads.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

class MainThread : public ::testing::Test
{
protected:
    void SetUp() override { orvSync::SetMainThread(); }
};

// A channel thread that hands every text to the main thread, as the chat thread does.
class HandingThread : public TorvChannelThread
{
public:
    std::atomic<int> handed{0};
    std::atomic<bool> inCall{false};

protected:
    void Execute() override
    {
        while (!Terminated()) {
            inCall = true;
            orvSync::Synchronize([this] { ++handed; });
            inCall = false;
            Sleep(1);
        }
    }
};

TEST_F(MainThread, CallsFromWorkersRunOnTheMainThreadWhenItServesThem)
{
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        EXPECT_TRUE(orvSync::Synchronize([&] { ranOn = std::this_thread::get_id(); }));
        returned = true;
    });
    EXPECT_TRUE(orvtest::WaitUntil([&] { return orvSync::CheckSynchronize(10) || returned; }));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // On the main thread itself a call runs at once.
    bool direct = false;
    EXPECT_TRUE(orvSync::Synchronize([&] { direct = true; }));
    EXPECT_TRUE(direct);
}

TEST_F(MainThread, WaitingForAThreadKeepsServingItsCalls)
{
    // Without serving, ending a thread that waits in Synchronize would never finish.
    orvStartConnectionCore();
    {
        TorvConnection connection;
        auto thread = std::make_unique<HandingThread>();
        thread->SetChannel(3);
        HandingThread* running = thread.get();
        connection.AddChannelThread(std::move(thread));
        running->Start();
        ASSERT_TRUE(orvtest::WaitUntil([&] { return running->inCall.load(); }));
        connection.ClearChannelThreads();
        EXPECT_EQ(connection.FindChannelThread(3), nullptr);
    }
    orvShutdownConnectionCore();
}

TEST_F(MainThread, AfterServingStopsCallsAreRefusedInsteadOfHanging)
{
    orvSync::StopServing();
    std::atomic<bool> result{true};
    std::thread worker([&] { result = orvSync::Synchronize([] {}); });
    worker.join();
    EXPECT_FALSE(result);
    orvSync::SetMainThread(); // serves again
}

TEST(Threads, ASleepingThreadEndsPromptlyWhenTerminated)
{
    struct Sleeper : TorvThread
    {
        void Execute() override
        {
            while (Sleep(600000)) {
            }
        }
    } sleeper;
    sleeper.Start();
    sleeper.Terminate();
    std::atomic<bool> ended{false};
    std::thread waiter([&] {
        sleeper.WaitFor();
        ended = true;
    });
    EXPECT_TRUE(orvtest::WaitUntil([&] { return ended.load(); }, 10s));
    waiter.join();
}

TEST(Threads, AWaitForStopOutlastsWakesButNotATerminate)
{
    struct Waiter : TorvThread
    {
        void Execute() override
        {
            stillRunning = WaitForStop(600000);
            done = true;
        }
        std::atomic<bool> stillRunning{true};
        std::atomic<bool> done{false};
    } waiter;
    waiter.Start();
    waiter.Wake(); // as a text arriving on its channel would
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(waiter.done);
    waiter.Terminate();
    EXPECT_TRUE(orvtest::WaitUntil([&] { return waiter.done.load(); }, 10s));
    EXPECT_FALSE(waiter.stillRunning);
    waiter.WaitFor();
}

TEST(CommandThread, TheUnhandledListKeepsTheNewestHundred)
{
    TorvCommandThread thread;
    for (int i = 1; i <= 101; ++i)
        thread.AddUnhandledCommand(std::to_string(i) + ":");
    EXPECT_EQ(thread.UnhandledCount(), 100u);
    EXPECT_EQ(thread.GetUnhandledCommand(), "2:");
    thread.ClearUnhandledCommands();
    EXPECT_EQ(thread.GetUnhandledCommand(), "");
}

TEST(Channels, AChannelOutsideTheTableIsAProgrammingError)
{
    EXPECT_THROW(orvChannelInfo(7), EorvAssertion);
    EXPECT_THROW(orvChannelInfo(0), EorvAssertion);
}

} // namespace
