// The messenger: routing, list order, dispatch, replies, time-outs, errors and
// teardown, driven end to end over the in-process loopback transport.
#include "tests/support/MCLoopbackTransport.h"
#include "tests/support/TestUtil.h"
#include "transport/MCError.h"
#include "transport/MCMessenger.h"
#include "transport/MCTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Outcomes reported to one sender, in order.
struct Recorder
{
    struct Outcome
    {
        char What; // 'R' reply, 'T' timeout, 'E' error
        std::int32_t Code;
        std::int32_t Result;
        std::string Data;
        void* UserData;
    };
    std::vector<Outcome> Outcomes;

    TMCReplyProc Reply()
    {
        return [this](void* u, TMCMessage& m) { Outcomes.push_back({'R', 0, m.Result, m.Data, u}); };
    }
    TMCTimeoutProc Timeout()
    {
        return [this](void* u, TMCMessage& m) { Outcomes.push_back({'T', 0, m.Result, m.Data, u}); };
    }
    TMCErrorProc Error()
    {
        return [this](void* u, TMCMessage& m, std::int32_t code) {
            Outcomes.push_back({'E', code, m.Result, m.Data, u});
        };
    }
};

TMCMessage Record(std::int32_t code, std::int8_t priority = 0, std::string data = {})
{
    TMCMessage m;
    m.MsgCode = code;
    m.Priority = priority;
    m.Param2 = 1;
    m.Data = std::move(data);
    return m;
}

TMCMessageInfoPtr Envelope(std::int8_t priority, bool expectsReply, std::int32_t tag)
{
    auto info = std::make_unique<TMCMessageInfo>();
    info->Message.Priority = priority;
    info->Message.MsgCode = tag;
    info->IsSync = expectsReply ? 0xFFFFFFFFu : 0u;
    return info;
}

std::vector<std::int32_t> Tags(const TMCMessageList& list)
{
    std::vector<std::int32_t> tags;
    for (auto& info : list)
        tags.push_back(info->Message.MsgCode);
    return tags;
}

int SendError(TMCMessenger& messenger, const std::string& destination, Recorder& rec)
{
    TMCMessage m = Record(1);
    try {
        messenger.SendWithCallbacks(destination, m, 0, rec.Reply(), rec.Timeout(), rec.Error(), nullptr);
    } catch (const EMCError& e) {
        return e.ErrorCode();
    }
    return 0;
}

TEST(MessageList, RepliesFirstThenPriorityThenArrival)
{
    TMCMessageList list;
    MCInsertOrdered(list, Envelope(50, true, 1));
    MCInsertOrdered(list, Envelope(75, true, 2));
    MCInsertOrdered(list, Envelope(75, true, 3));
    MCInsertOrdered(list, Envelope(127, false, 4)); // one-way never overtakes a request
    MCInsertOrdered(list, Envelope(-5, true, 5));   // signed: below 50
    MCInsertOrdered(list, Envelope(-128, true, 6));
    MCInsertOrdered(list, Envelope(0, false, 7));
    EXPECT_EQ(Tags(list), (std::vector<std::int32_t>{2, 3, 1, 5, 6, 4, 7}));

    TMCMessageList arrival;
    MCInsertOrdered(arrival, Envelope(10, false, 1), true);
    MCInsertOrdered(arrival, Envelope(50, true, 2), true);
    MCInsertOrdered(arrival, Envelope(75, true, 3), true);
    MCInsertOrdered(arrival, Envelope(99, false, 4), true);
    EXPECT_EQ(Tags(arrival), (std::vector<std::int32_t>{2, 3, 1, 4}));
}

// Two messengers joined by a loopback pair; B's queue "SendNote" answers.
class MessengerLoop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Queue.SetQueueName("SendNote");
        Queue.SetMessenger(&MB);
        Pair.A.SetMessenger(&MA);
        Pair.B.SetMessenger(&MB);
        Pair.A.SetActive(true);
        Pair.B.SetActive(true);
        MA.SetCleanupInterval(1);
        MB.SetCleanupInterval(1);
    }

    void Send(TMCMessage m, std::uint32_t timeout = 0, const std::string& dest = "LOOP:gw:7000|SendNote",
              void* user = nullptr)
    {
        MA.SendWithCallbacks(dest, m, timeout, Rec.Reply(), Rec.Timeout(), Rec.Error(), user);
    }
    void SendOneWay(TMCMessage m, const std::string& dest = "LOOP:gw:7000|SendNote")
    {
        MA.SendWithCallbacks(dest, m, 0, nullptr, Rec.Timeout(), Rec.Error(), nullptr);
    }
    void Pump()
    {
        MB.DispatchPending();
        MA.DispatchPending();
    }
    // Handler taking every code; records the codes in order.
    void RecordCodes(std::vector<std::int32_t>& codes)
    {
        auto& h = Queue.Handlers.Add();
        h.OnMessage = [&codes](TMCQueue&, TMCMessage& m, bool& handled) {
            codes.push_back(m.MsgCode);
            handled = true;
        };
    }

    Recorder Rec; // outlives the messengers: their teardown still reports
    TMCMessenger MA, MB;
    TMCLoopbackPair Pair;
    TMCQueue Queue;
};

TEST_F(MessengerLoop, RequestAndReplyTravelEndToEnd)
{
    std::string sender;
    std::string dataSeen;
    auto& h = Queue.Handlers.Add();
    h.OnMessage = [&](TMCQueue& q, TMCMessage& m, bool& handled) {
        EXPECT_EQ(&q, &Queue);
        sender = MB.GetSenderAddress(m);
        dataSeen = m.Data;
        m.Result = 7;
        handled = true;
    };
    std::vector<TMCMessageInfo> wire;
    Pair.B.OnWire = [&](const TMCMessageInfo& info) { wire.push_back(info); };

    int user = 0;
    TMCMessage m = Record(1, 0, std::string("a\0b", 3));
    MA.SendWithCallbacks("LOOP:gw:7000|SendNote", m, 0, Rec.Reply(), Rec.Timeout(), Rec.Error(), &user);
    EXPECT_TRUE(m.MsgIDLo != 0 || m.MsgIDHi != 0);
    // Nothing runs outside DispatchPending.
    EXPECT_TRUE(Rec.Outcomes.empty());
    EXPECT_EQ(MB.IncomingCount(), 1u);
    Pump();

    ASSERT_EQ(Rec.Outcomes.size(), 1u);
    EXPECT_EQ(Rec.Outcomes[0].What, 'R');
    EXPECT_EQ(Rec.Outcomes[0].Result, 7);
    EXPECT_EQ(Rec.Outcomes[0].UserData, &user);
    EXPECT_EQ(dataSeen, std::string("a\0b", 3));
    EXPECT_EQ(sender, "LOOP:loop-a");
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].Kind, mkReply);
    EXPECT_EQ(wire[0].DestQueue, "intREPLY");
    EXPECT_EQ(Pair.A.CountPending(), 0u);
    // Outside a handler there is nothing to name.
    EXPECT_EQ(MB.GetSenderAddress(m), "");
}

TEST_F(MessengerLoop, OutgoingAndIncomingListsKeepTheirOrder)
{
    std::vector<std::int32_t> onWire;
    Pair.A.OnWire = [&](const TMCMessageInfo& info) { onWire.push_back(info.Message.MsgCode); };
    std::vector<std::int32_t> handled;
    RecordCodes(handled);
    Pair.A.SetHold(true);
    SendOneWay(Record(1, 100));
    Send(Record(2, 50));
    Send(Record(3, 75));
    Send(Record(4, 75));
    SendOneWay(Record(5, 100));
    EXPECT_EQ(Pair.A.CountPending(), 5u);
    EXPECT_EQ(Pair.A.Flush(), 5u);
    EXPECT_EQ(onWire, (std::vector<std::int32_t>{3, 4, 2, 1, 5}));
    Pump();
    EXPECT_EQ(handled, (std::vector<std::int32_t>{3, 4, 2, 1, 5}));
    EXPECT_EQ(Rec.Outcomes.size(), 3u);

    // Delivered at once, the receiver's incoming list orders them; with
    // IgnoreIncomingPriorities only the reply grouping is left.
    Pair.A.SetHold(false);
    for (bool ignore : {false, true}) {
        handled.clear();
        Pair.B.IgnoreIncomingPriorities = ignore;
        SendOneWay(Record(1, 100));
        Send(Record(2, 50));
        Send(Record(3, 75));
        Pump();
        EXPECT_EQ(handled,
                  ignore ? (std::vector<std::int32_t>{2, 3, 1}) : (std::vector<std::int32_t>{3, 2, 1}));
    }
}

TEST_F(MessengerLoop, HandlerRangesUnhandledAndResultZero)
{
    std::vector<std::string> calls;
    auto& disabled = Queue.Handlers.Add();
    disabled.Enabled = false;
    disabled.OnMessage = [&](TMCQueue&, TMCMessage&, bool& h) { h = true; };
    auto& first = Queue.Handlers.Add(); // takes 1 but leaves it to the next
    first.MsgCodeLow = first.MsgCodeHigh = 1;
    first.OnMessage = [&](TMCQueue&, TMCMessage& m, bool&) {
        calls.push_back("first");
        m.Result = 5;
    };
    auto& second = Queue.Handlers.Add();
    second.MsgCodeLow = second.MsgCodeHigh = 1;
    second.OnMessage = [&](TMCQueue&, TMCMessage& m, bool& h) {
        calls.push_back("second");
        m.Result += 6;
        h = true;
    };
    Queue.OnUnhandledMessage = [&](TMCQueue&, TMCMessage& m, bool&) {
        calls.push_back("unhandled " + std::to_string(m.MsgCode));
        m.Result = 99; // not handled: forced to 0 in the reply
    };

    Send(Record(1));
    Send(Record(2));
    Send(Record(-1)); // signed: a range 0..max would not take it either
    Pump();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "unhandled 2", "unhandled -1"}));
    ASSERT_EQ(Rec.Outcomes.size(), 3u);
    EXPECT_EQ(Rec.Outcomes[0].Result, 11);
    EXPECT_EQ(Rec.Outcomes[1].What, 'R');
    EXPECT_EQ(Rec.Outcomes[1].Result, 0);
    EXPECT_EQ(Rec.Outcomes[2].Result, 0);

    // No taker at all: still answered, with Result 0.
    Queue.OnUnhandledMessage = nullptr;
    TMCMessage m = Record(2);
    m.Result = 123;
    Send(m);
    Pump();
    ASSERT_EQ(Rec.Outcomes.size(), 4u);
    EXPECT_EQ(Rec.Outcomes[3].Result, 0);
}

TEST_F(MessengerLoop, QueueNamesIgnoreCaseUnknownQueueAnswersFive)
{
    std::vector<std::int32_t> handled;
    RecordCodes(handled);
    Send(Record(1), 0, "loop:gw:7000|sENDnOTE");
    Send(Record(2), 0, "LOOP:gw:7000|Nobody");
    Pump();
    EXPECT_EQ(handled, (std::vector<std::int32_t>{1}));
    ASSERT_EQ(Rec.Outcomes.size(), 2u);
    EXPECT_EQ(Rec.Outcomes[0].What, 'R');
    EXPECT_EQ(Rec.Outcomes[1].What, 'E');
    EXPECT_EQ(Rec.Outcomes[1].Code, 5);

    // A queue that left its messenger no longer receives.
    Queue.SetMessenger(nullptr);
    Send(Record(3));
    Pump();
    ASSERT_EQ(Rec.Outcomes.size(), 3u);
    EXPECT_EQ(Rec.Outcomes[2].Code, 5);
    Queue.SetMessenger(&MB);
    Send(Record(4));
    Pump();
    EXPECT_EQ(handled, (std::vector<std::int32_t>{1, 4}));
}

TEST_F(MessengerLoop, DataIsCopiedOnSendAndReturnedOnlyWhenAskedFor)
{
    auto& h = Queue.Handlers.Add();
    std::vector<std::string> received;
    h.OnMessage = [&](TMCQueue&, TMCMessage& m, bool& handled) {
        received.push_back(m.Data);
        m.Data = "handled";
        handled = true;
    };
    std::vector<std::uint32_t> replySizes;
    Pair.B.OnWire = [&](const TMCMessageInfo& info) { replySizes.push_back(info.Message.DataSize()); };

    Pair.A.SetHold(true);
    TMCMessage m = Record(1, 0, "request");
    Send(m);
    m.ReturnData = true;
    Send(m);
    m.Data = "changed afterwards"; // the caller keeps its buffer
    Pair.A.Flush();
    Pump();

    EXPECT_EQ(received, (std::vector<std::string>{"request", "request"}));
    EXPECT_EQ(replySizes, (std::vector<std::uint32_t>{0, 7}));
    ASSERT_EQ(Rec.Outcomes.size(), 2u);
    EXPECT_EQ(Rec.Outcomes[0].Data, "request"); // the sender's own copy, unchanged
    EXPECT_EQ(Rec.Outcomes[1].Data, "handled");
}

TEST(MessengerRouting, SynchronousErrorsQueueNothing)
{
    Recorder rec;
    TMCMessenger messenger;
    TMCLoopbackPair first, second;
    first.A.SetMessenger(&messenger); // registered first, left off
    second.A.SetMessenger(&messenger);
    second.B.SetMessenger(&messenger);
    second.A.SetActive(true);
    second.B.SetActive(true);

    for (const char* bad : {"LOOP:gw:7000", "LOOP:|SendNote", "LOOP:gw:7000|", "LOOP:gw:7000|route|",
                            "SendNote", ":gw:7000|SendNote"})
        EXPECT_EQ(SendError(messenger, bad, rec), 5) << bad;
    EXPECT_EQ(SendError(messenger, "OTHER:gw:7000|SendNote", rec), 4);
    EXPECT_EQ(SendError(messenger, "LOOPX:gw:7000|SendNote", rec), 4);
    // The first match decides even though an active one follows.
    EXPECT_EQ(SendError(messenger, "loop:gw:7000|SendNote", rec), 28);

    // The record has its identifier before anything can fail.
    TMCMessage m = Record(1);
    m.MsgIDLo = m.MsgIDHi = 77;
    EXPECT_THROW(messenger.SendWithCallbacks("LOOP:x:1|Q", m, 0, nullptr, nullptr, nullptr, nullptr),
                 EMCError);
    EXPECT_NE(m.MsgIDHi, 77u);

    messenger.DispatchPending();
    EXPECT_TRUE(rec.Outcomes.empty());
    EXPECT_EQ(first.A.CountPending() + second.A.CountPending(), 0u);
    EXPECT_EQ(messenger.IncomingCount() + messenger.CompletedCount(), 0u);

    // Without the inactive one in the way the active one carries it.
    first.A.SetMessenger(nullptr);
    EXPECT_EQ(SendError(messenger, "Loop:gw:7000|SendNote", rec), 0);
    EXPECT_EQ(messenger.IncomingCount(), 1u);
}

TEST(MessengerRouting, ActivationNeedsAMessengerAndMaxTimeoutIsCopied)
{
    TMCLoopbackTransport lone("x");
    lone.SetActive(true);
    EXPECT_FALSE(lone.Active());
    EXPECT_EQ(lone.Name(), "LOOP");
    lone.SetName("Other");
    EXPECT_EQ(lone.Name(), "Other");

    TMCMessenger messenger;
    EXPECT_EQ(messenger.MaxTimeout(), 0xFFFFFFFFu);
    EXPECT_EQ(messenger.CleanupInterval(), 10000u);
    lone.SetMessenger(&messenger);
    lone.SetActive(true);
    EXPECT_TRUE(lone.Active());
    messenger.SetMaxTimeout(1234);
    EXPECT_EQ(lone.MaxTimeout, 1234u);
    // Leaving the messenger switches it off.
    lone.SetMessenger(nullptr);
    EXPECT_FALSE(lone.Active());
}

TEST_F(MessengerLoop, TimeoutReportsOnceAndALateReplyIsDropped)
{
    std::vector<std::int32_t> handled;
    RecordCodes(handled);
    Send(Record(1), 30);
    Send(Record(2), 0); // never times out
    ASSERT_TRUE(orvtest::WaitUntil([&] {
        MA.DispatchPending();
        return !Rec.Outcomes.empty();
    }));
    ASSERT_EQ(Rec.Outcomes.size(), 1u);
    EXPECT_EQ(Rec.Outcomes[0].What, 'T');
    EXPECT_EQ(Pair.A.WaitingCount(), 1u);

    // B answers both now; only the one still waiting completes.
    Pump();
    Pump();
    EXPECT_EQ(handled, (std::vector<std::int32_t>{1, 2}));
    ASSERT_EQ(Rec.Outcomes.size(), 2u);
    EXPECT_EQ(Rec.Outcomes[1].What, 'R');
    EXPECT_EQ(Pair.A.CountPending(), 0u);
}

TEST_F(MessengerLoop, AnIntervalOfZeroLeavesTimeoutsToExplicitSweeps)
{
    MA.SetCleanupInterval(0);
    Send(Record(1), 1);
    std::this_thread::sleep_for(20ms);
    MA.DispatchPending();
    EXPECT_TRUE(Rec.Outcomes.empty());
    MA.SweepExpired();
    MA.DispatchPending();
    ASSERT_EQ(Rec.Outcomes.size(), 1u);
    EXPECT_EQ(Rec.Outcomes[0].What, 'T');
}

// A sweep reads the clock and then waits for the lists; a message stamped in
// between must not look 49 days old and time out at once.
TEST(MessageTimeout, CountsAcrossTheTickWrapButNotForStampsAheadOfTheSweep)
{
    EXPECT_TRUE(MCTimedOut(0xFFFFFF00u, 1000, 0x2E8u)); // 1000 ms across the wrap
    EXPECT_FALSE(MCTimedOut(0xFFFFFF00u, 1000, 0x2E7u));
    EXPECT_FALSE(MCTimedOut(5001, 15000, 5000));
    EXPECT_FALSE(MCTimedOut(0xFFFFFFFFu, 15000, 0xFFFFFFFEu));
    EXPECT_FALSE(MCTimedOut(0, 0, 4000000000u)) << "0 is no time-out";
}

TEST_F(MessengerLoop, AThrowingCallbackDoesNotStopLaterDeliveries)
{
    std::vector<std::int32_t> handled;
    RecordCodes(handled);
    int replies = 0;
    auto throwing = [&](void*, TMCMessage&) {
        ++replies;
        throw std::runtime_error("callback fault");
    };
    TMCMessage m = Record(1);
    MA.SendWithCallbacks("LOOP:gw:7000|SendNote", m, 0, throwing, nullptr, nullptr, nullptr);
    Send(Record(2));
    Send(Record(3));
    MB.DispatchPending();
    EXPECT_EQ(MA.CompletedCount(), 3u);

    EXPECT_NO_THROW(MA.DispatchPending());
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(MA.CompletedCount(), 2u); // the pass ended at the fault
    MA.DispatchPending();
    EXPECT_EQ(MA.CompletedCount(), 0u);
    EXPECT_EQ(Rec.Outcomes.size(), 2u);
}

TEST_F(MessengerLoop, AThrowingHandlerPropagatesAndItsSenderGetsAnError)
{
    auto& h = Queue.Handlers.Add();
    h.OnMessage = [](TMCQueue&, TMCMessage& m, bool& handled) {
        if (m.MsgCode == 1)
            throw std::runtime_error("handler fault");
        handled = true;
    };
    Send(Record(1, 10));
    Send(Record(2));
    EXPECT_THROW(MB.DispatchPending(), std::runtime_error);
    EXPECT_EQ(MB.IncomingCount(), 1u); // message 2 waits for the next call
    MB.DispatchPending();
    MA.DispatchPending();
    ASSERT_EQ(Rec.Outcomes.size(), 2u);
    EXPECT_EQ(Rec.Outcomes[0].What, 'E');
    EXPECT_EQ(Rec.Outcomes[0].Code, 8);
    EXPECT_EQ(Rec.Outcomes[1].What, 'R');
}

TEST_F(MessengerLoop, DeliveryErrorsReachOnError)
{
    Pair.A.SetHold(true);
    Send(Record(1));
    SendOneWay(Record(2)); // one-way: nobody to tell
    Pair.A.FailHeld(206);
    MA.DispatchPending();
    ASSERT_EQ(Rec.Outcomes.size(), 1u);
    EXPECT_EQ(Rec.Outcomes[0].Code, 206);

    Pair.A.SetHold(false);
    Send(Record(3));
    EXPECT_EQ(Pair.A.WaitingCount(), 1u);
    Pair.A.FailWaiting(205);
    Pair.B.SetActive(false); // the peer is gone: the next request fails at once
    Send(Record(4));
    MA.DispatchPending();
    ASSERT_EQ(Rec.Outcomes.size(), 3u);
    EXPECT_EQ(Rec.Outcomes[1].Code, 205);
    EXPECT_EQ(Rec.Outcomes[2].Code, 205);

    // Switching the sender's transport off fails what it still holds with 51.
    Pair.B.SetActive(true);
    Send(Record(5));
    Pair.A.SetActive(false);
    EXPECT_EQ(SendError(MA, "LOOP:gw:7000|SendNote", Rec), 28);
    MA.DispatchPending();
    ASSERT_EQ(Rec.Outcomes.size(), 4u);
    EXPECT_EQ(Rec.Outcomes[3].Code, 51);
    EXPECT_EQ(MB.IncomingCount(), 2u); // B still holds 3 and 5; their answers find no waiter
    MB.DispatchPending();
}

TEST_F(MessengerLoop, RefusedCredentialsAndEmptyRequests)
{
    std::vector<std::int32_t> handled;
    RecordCodes(handled);
    MB.OnValidateCredentials = [](TMCMessenger&, TMCMessage&, const TMCMessageCredentials& c, bool& valid) {
        valid = c[0] == 0;
    };
    TMCMessageCredentials bad{};
    bad[0] = 1;
    TMCMessage m = Record(1);
    MA.SendWithCallbacks("LOOP:gw:7000|SendNote", m, 0, Rec.Reply(), nullptr, Rec.Error(), nullptr, &bad);
    TMCMessage oneWay = Record(2);
    MA.SendWithCallbacks("LOOP:gw:7000|SendNote", oneWay, 0, nullptr, nullptr, nullptr, nullptr, &bad);
    Send(Record(3));
    EXPECT_EQ(MB.IncomingCount(), 2u); // the refused one-way message is gone already
    Pump();
    EXPECT_EQ(handled, (std::vector<std::int32_t>{3}));
    ASSERT_EQ(Rec.Outcomes.size(), 2u);
    EXPECT_EQ(Rec.Outcomes[0].What, 'E');
    EXPECT_EQ(Rec.Outcomes[0].Code, 16);

    TMCQueue empty;
    empty.SetQueueName("EmptyRequest");
    empty.SetMessenger(&MB);
    int calls = 0;
    empty.OnUnhandledMessage = [&](TMCQueue&, TMCMessage&, bool& h) { h = ++calls > 0; };
    SendOneWay(Record(4), "LOOP:gw:7000|EmptyRequest");
    EXPECT_EQ(MB.IncomingCount(), 0u);
    Pump();
    EXPECT_EQ(calls, 0);
}

TEST_F(MessengerLoop, SenderAddressIsEmptyOnceItsTransportLeft)
{
    std::string before, after;
    Queue.OnUnhandledMessage = [&](TMCQueue&, TMCMessage& m, bool& h) {
        before = MB.GetSenderAddress(m);
        Pair.B.SetMessenger(nullptr);
        after = MB.GetSenderAddress(m);
        h = true;
    };
    Send(Record(1));
    Pump();
    EXPECT_EQ(before, "LOOP:loop-a");
    EXPECT_EQ(after, "");
    EXPECT_EQ(MB.IncomingCount(), 0u); // answered into nothing and freed
    EXPECT_EQ(Pair.A.WaitingCount(), 1u);
}

TEST_F(MessengerLoop, HandlersAndCallbacksRunWithoutMessengerLocks)
{
    // Sending, dispatching and querying from inside user code must not deadlock.
    int nested = 0;
    Queue.OnUnhandledMessage = [&](TMCQueue&, TMCMessage& m, bool& h) {
        h = true;
        if (m.MsgCode == 1) {
            TMCMessage again = Record(2);
            MA.SendWithCallbacks("LOOP:gw:7000|SendNote", again, 0, Rec.Reply(), nullptr, nullptr, nullptr);
            MB.DispatchPending(); // nested: handles message 2, skips the one in hand
            ++nested;
        }
    };
    TMCMessage first = Record(1);
    MA.SendWithCallbacks(
        "LOOP:gw:7000|SendNote", first, 0,
        [&](void*, TMCMessage&) {
            TMCMessage followUp = Record(3);
            MA.SendWithCallbacks("LOOP:gw:7000|SendNote", followUp, 0, Rec.Reply(), nullptr, nullptr,
                                 nullptr);
            MA.DispatchPending();
        },
        nullptr, nullptr, nullptr);
    Pump();
    Pump();
    Pump();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(Rec.Outcomes.size(), 2u);
    EXPECT_EQ(Pair.A.CountPending(), 0u);
}

TEST(MessengerTeardown, DestroyingTheReceiverAnswersItsIncomingRequests)
{
    TMCMessenger sender;
    auto receiver = std::make_unique<TMCMessenger>();
    TMCLoopbackPair pair;
    TMCQueue queue;
    queue.SetQueueName("SendNote");
    queue.SetMessenger(receiver.get());
    pair.A.SetMessenger(&sender);
    pair.B.SetMessenger(receiver.get());
    pair.A.SetActive(true);
    pair.B.SetActive(true);
    Recorder rec;
    for (int i = 0; i < 3; ++i) {
        TMCMessage m = Record(i, 0, std::string(100, 'x'));
        sender.SendWithCallbacks("LOOP:gw:1|SendNote", m, 0, rec.Reply(), rec.Timeout(), rec.Error(),
                                 nullptr);
    }
    TMCMessage oneWay = Record(9, 0, std::string(100, 'y'));
    sender.SendWithCallbacks("LOOP:gw:1|SendNote", oneWay, 0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(receiver->IncomingCount(), 4u);

    receiver.reset();
    EXPECT_EQ(pair.B.Messenger(), nullptr);
    EXPECT_FALSE(pair.B.Active());
    EXPECT_EQ(queue.Messenger(), nullptr);
    sender.DispatchPending();
    ASSERT_EQ(rec.Outcomes.size(), 3u);
    for (auto& o : rec.Outcomes) {
        EXPECT_EQ(o.What, 'E');
        EXPECT_NE(o.Code, 0);
    }
}

TEST(MessengerTeardown, DestroyingTheSenderReportsWhatIsStillOpen)
{
    Recorder rec;
    TMCLoopbackPair pair;
    TMCMessenger receiver;
    TMCQueue queue;
    queue.SetQueueName("SendNote");
    queue.SetMessenger(&receiver);
    pair.B.SetMessenger(&receiver);
    pair.B.SetActive(true);
    {
        TMCMessenger sender;
        pair.A.SetMessenger(&sender);
        pair.A.SetActive(true);
        TMCMessage answered = Record(1, 10, "a");
        sender.SendWithCallbacks("LOOP:gw:1|SendNote", answered, 0, rec.Reply(), rec.Timeout(), rec.Error(),
                                 nullptr);
        receiver.DispatchPending(); // only the first is there yet: its reply waits in the completed list
        TMCMessage open = Record(2, 0, "b");
        sender.SendWithCallbacks("LOOP:gw:1|SendNote", open, 0, rec.Reply(), rec.Timeout(), rec.Error(),
                                 nullptr);
        pair.A.SetHold(true);
        TMCMessage held = Record(3, 0, "c");
        sender.SendWithCallbacks("LOOP:gw:1|SendNote", held, 0, rec.Reply(), rec.Timeout(), rec.Error(),
                                 nullptr);
        EXPECT_EQ(sender.CompletedCount(), 1u);
    }
    // The reply that had arrived, then the two the switched-off transport failed.
    ASSERT_EQ(rec.Outcomes.size(), 3u);
    EXPECT_EQ(rec.Outcomes[0].What, 'R');
    EXPECT_EQ(rec.Outcomes[1].Code, 51);
    EXPECT_EQ(rec.Outcomes[2].Code, 51);
    EXPECT_EQ(pair.A.Messenger(), nullptr);
    EXPECT_EQ(pair.A.CountPending(), 0u);
    receiver.DispatchPending(); // message 2 is answered into a transport that is off
}

TEST(MessengerThreads, ConcurrentSendersEachGetOneReply)
{
    TMCMessenger sender, receiver;
    TMCLoopbackPair pair;
    TMCQueue queue;
    queue.SetQueueName("SendNote");
    queue.SetMessenger(&receiver);
    queue.OnUnhandledMessage = [](TMCQueue&, TMCMessage& m, bool& h) {
        m.Result = m.Param1 * 2;
        h = true;
    };
    pair.A.SetMessenger(&sender);
    pair.B.SetMessenger(&receiver);
    pair.A.SetActive(true);
    pair.B.SetActive(true);
    sender.SetCleanupInterval(5);

    constexpr int Threads = 4;
    constexpr int PerThread = 300;
    std::vector<std::atomic<int>> replies(Threads * PerThread);
    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        while (!stop) {
            receiver.DispatchPending();
            sender.DispatchPending();
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < Threads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i) {
                const int n = t * PerThread + i;
                TMCMessage m = Record(1, static_cast<std::int8_t>(i % 3), std::string(n % 50, 'z'));
                m.Param1 = n;
                sender.SendWithCallbacks(
                    "LOOP:gw:1|SendNote", m, 60000,
                    [&](void* u, TMCMessage& r) {
                        const int k = static_cast<int>(reinterpret_cast<std::intptr_t>(u));
                        if (r.Result != k * 2)
                            ++wrong;
                        ++replies[k];
                    },
                    nullptr, [&](void*, TMCMessage&, std::int32_t) { ++wrong; },
                    reinterpret_cast<void*>(static_cast<std::intptr_t>(n)));
            }
        });
    for (auto& s : senders)
        s.join();
    const bool done =
        orvtest::WaitUntil([&] { return pair.A.CountPending() == 0 && sender.CompletedCount() == 0; });
    stop = true;
    pump.join();
    sender.DispatchPending();
    ASSERT_TRUE(done);
    EXPECT_EQ(wrong.load(), 0);
    for (auto& r : replies)
        EXPECT_EQ(r.load(), 1);
}

TEST(MessengerThreads, DetachingATransportWaitsForSendsInProgress)
{
    TMCMessenger sender, receiver;
    TMCLoopbackPair pair;
    pair.B.SetMessenger(&receiver);
    pair.B.SetActive(true);
    std::atomic<int> sent{0}, refused{0}, other{0};
    constexpr int Attempts = 3000;
    std::thread sending([&] {
        for (int i = 0; i < Attempts; ++i) {
            TMCMessage m = Record(1);
            try {
                sender.SendWithCallbacks("LOOP:gw:1|SendNote", m, 0, nullptr, nullptr, nullptr, nullptr);
                ++sent;
            } catch (const EMCError& e) {
                (e.ErrorCode() == 4 || e.ErrorCode() == 28 ? refused : other)++;
            }
        }
    });
    while (sent + refused + other < Attempts) {
        pair.A.SetMessenger(&sender);
        pair.A.SetActive(true);
        std::this_thread::yield();
        pair.A.SetMessenger(nullptr);
        receiver.DispatchPending(); // no queue there: the one-way messages are dropped
    }
    sending.join();
    EXPECT_EQ(other.load(), 0);
}

TEST(MessengerThreads, DetachingAQueueWaitsForItsRunningHandler)
{
    TMCMessenger messenger;
    TMCLoopbackPair pair;
    pair.A.SetMessenger(&messenger);
    pair.B.SetMessenger(&messenger);
    pair.A.SetActive(true);
    pair.B.SetActive(true);
    auto queue = std::make_unique<TMCQueue>();
    queue->SetQueueName("SendNote");
    queue->SetMessenger(&messenger);
    std::atomic<bool> entered{false}, left{false};
    queue->OnUnhandledMessage = [&](TMCQueue&, TMCMessage&, bool& h) {
        entered = true;
        std::this_thread::sleep_for(100ms);
        left = true;
        h = true;
    };
    TMCMessage m = Record(1);
    messenger.SendWithCallbacks("LOOP:gw:1|SendNote", m, 0, nullptr, nullptr, nullptr, nullptr);
    std::thread dispatching([&] { messenger.DispatchPending(); });
    ASSERT_TRUE(orvtest::WaitUntil([&] { return entered.load(); }));
    queue.reset();
    EXPECT_TRUE(left.load());
    dispatching.join();
}

// The one slow test: with the default 10 s sweep a 10 s timeout is noticed
// between 10 and 20 s after the send, whatever the phase of the sweep.
TEST(MessengerSlow, DefaultSweepNoticesATimeoutWithinTwoIntervals)
{
    using Clock = std::chrono::steady_clock;
    TMCMessenger sender, receiver; // the receiver is never dispatched
    TMCLoopbackPair pair;
    pair.A.SetMessenger(&sender);
    pair.B.SetMessenger(&receiver);
    pair.A.SetActive(true);
    pair.B.SetActive(true);

    Clock::time_point sent[2];
    Clock::time_point noticed[2];
    int count = 0;
    auto onTimeout = [&](void* u, TMCMessage&) {
        noticed[reinterpret_cast<std::intptr_t>(u)] = Clock::now();
        ++count;
    };
    auto send = [&](std::intptr_t k) {
        TMCMessage m = Record(1);
        sent[k] = Clock::now();
        sender.SendWithCallbacks(
            "LOOP:gw:1|Q", m, 10000, [](void*, TMCMessage&) {}, onTimeout, nullptr,
            reinterpret_cast<void*>(k));
    };
    sender.DispatchPending(); // the first sweep happens now
    send(0);                  // just after a sweep
    const auto start = Clock::now();
    while (count < 2 && Clock::now() - start < 30s) {
        if (count == 0 && sent[1] == Clock::time_point() && Clock::now() - start >= 3s)
            send(1); // in the middle of an interval
        sender.DispatchPending();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(count, 2);
    // Ticks count whole milliseconds, so a wait may look up to 1 ms short.
    for (int k = 0; k < 2; ++k) {
        const auto waited = noticed[k] - sent[k];
        EXPECT_GE(waited, 10s - 2ms) << k;
        EXPECT_LE(waited, 20s + 2s) << k;
    }
}

} // namespace
