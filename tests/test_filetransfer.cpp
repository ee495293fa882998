// Files on channel 4 end to end: the customer's and the helpdesk's control
// threads through the development gateway, or the customer's against a raw
// helpdesk that sends and collects channel texts by hand.
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvSha256.h"
#include "lib/orvThreads.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/GatewaySuite.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

// Far above what the tests move, so that only the protocol paces them.
constexpr std::int32_t kUnlimited = 1'000'000'000;

std::string Sha256(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

TReceiveFileThread& Receiving(const TTransferPtr& transfer)
{
    return dynamic_cast<TReceiveFileThread&>(*transfer);
}

class FileTransfer : public GatewaySuite
{
protected:
    void TearDown() override
    {
        FHelpdesk.reset();
        FCustomer.reset();
    }

    void JoinCustomer(std::int32_t budget = kUnlimited)
    {
        FSettings = FDir.File("orvcustomer.ini");
        Gateway->WriteClientSettings(FSettings);
        FCustomer = JoinSession(FSettings, 0, orvKindCustomer);
        ASSERT_TRUE(FCustomer);
        auto files = std::make_unique<TFileTransferControlThread>(*FCustomer, budget);
        files->SetOnTransferReport([this](const TTransferSummary& summary) {
            std::lock_guard lock(FReportsMutex);
            FReports.push_back(summary);
        });
        FCustomerFiles = &orvStartChannelThread(*FCustomer, orvFileTransferChannel, std::move(files));
    }

    // The customer's reports of one transfer so far.
    std::vector<TTransferSummary> Reports(const std::string& id)
    {
        std::lock_guard lock(FReportsMutex);
        std::vector<TTransferSummary> reports;
        for (const TTransferSummary& report : FReports)
            if (report.TransferId == id)
                reports.push_back(report);
        return reports;
    }
    bool ReportedEnd(const std::string& id)
    {
        const auto reports = Reports(id);
        return !reports.empty() && reports.back().Ended;
    }

    // The helpdesk joins with a control thread of its own, or raw (texts by hand).
    void JoinHelpdesk(bool raw, std::int32_t budget = kUnlimited)
    {
        FHelpdesk = JoinSession(FSettings, FCustomer->SessionIdentifier(), orvKindHelpdesk);
        ASSERT_TRUE(FHelpdesk);
        if (raw)
            FRaw = &orvStartChannelThread(*FHelpdesk, orvFileTransferChannel,
                                          std::make_unique<ChannelCollector>());
        else
            FHelpdeskFiles =
                &orvStartChannelThread(*FHelpdesk, orvFileTransferChannel,
                                       std::make_unique<TFileTransferControlThread>(*FHelpdesk, budget));
        ASSERT_TRUE(ServeUntil([&] { return FCustomer->ServerConnectionState() == scsTotallyConnected; }));
        ASSERT_TRUE(ServeUntil([&] { return FHelpdesk->ServerConnectionState() == scsTotallyConnected; }));
    }

    void Session(bool raw, std::int32_t budget = kUnlimited)
    {
        JoinCustomer(budget);
        if (!HasFatalFailure())
            JoinHelpdesk(raw, budget);
    }

    void RawSays(const std::string& text) { FHelpdesk->Send(orvFileTransferChannel, text); }

    // The raw helpdesk's texts from the n-th on, once there are count of them.
    std::vector<std::string> RawGot(std::size_t from, std::size_t count)
    {
        std::vector<std::string> got;
        EXPECT_TRUE(ServeUntil([&] {
            got = FRaw->Texts();
            return got.size() >= from + count;
        })) << "got "
            << got.size();
        if (got.size() < from)
            return {};
        return {got.begin() + static_cast<std::ptrdiff_t>(from), got.end()};
    }

    TTransferPtr WaitForTransfer(TFileTransferControlThread& files, const std::string& id)
    {
        TTransferPtr transfer;
        EXPECT_TRUE(ServeUntil([&] { return (transfer = files.FindTransfer(id)) != nullptr; })) << id;
        return transfer;
    }

    static bool WaitForState(const TTransferPtr& transfer, TTransferState state,
                             std::chrono::milliseconds wait = 60s)
    {
        return ServeUntil([&] { return transfer->State() == state; }, wait);
    }

    struct TEnds
    {
        TTransferPtr Sent;
        TTransferPtr Received;
    };

    // Offers source from one side, accepts it into target on the other.
    TEnds Offer(TFileTransferControlThread& from, TFileTransferControlThread& to, const std::string& source,
                const std::string& target)
    {
        TEnds ends;
        auto sent = from.NewSentFile(source);
        from.SendFileRequestCommand(*sent);
        ends.Sent = sent;
        ends.Received = WaitForTransfer(to, sent->TransferId());
        if (ends.Received) {
            Receiving(ends.Received).SetTargetPath(target);
            to.SendFileAcceptCommand(Receiving(ends.Received));
        }
        return ends;
    }

    void ExpectArrivesWhole(TFileTransferControlThread& from, TFileTransferControlThread& to,
                            const std::string& bytes, const std::string& name)
    {
        SCOPED_TRACE(name + ", " + std::to_string(bytes.size()) + " bytes");
        const std::string source = FDir.File(name + ".out");
        const std::string target = FDir.File(name + ".in");
        WriteFile(source, bytes);
        TEnds ends = Offer(from, to, source, target);
        ASSERT_TRUE(ends.Received);
        ASSERT_TRUE(WaitForState(ends.Received, TTransferState::Finished));
        ASSERT_TRUE(WaitForState(ends.Sent, TTransferState::Finished));
        EXPECT_EQ(Sha256(ReadFile(target)), Sha256(bytes));
        EXPECT_EQ(ends.Received->BytesTransferred(), static_cast<std::int32_t>(bytes.size()));
        EXPECT_EQ(ends.Sent->Percent(), 100);
        EXPECT_EQ(ends.Received->Percent(), 100);
    }

    TempDir FDir;
    std::string FSettings;
    std::unique_ptr<TorvConnection> FCustomer;
    std::unique_ptr<TorvConnection> FHelpdesk;
    TFileTransferControlThread* FCustomerFiles = nullptr;
    TFileTransferControlThread* FHelpdeskFiles = nullptr;
    ChannelCollector* FRaw = nullptr;
    std::mutex FReportsMutex;
    std::vector<TTransferSummary> FReports;
};

const std::string kId = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

TEST(FileTransferMessages, SplittingNamingAndRounding)
{
    auto split = SplitTransferMessage("1:{id}:12:C:\\dir\\a:b.txt");
    EXPECT_EQ(split.Code, "1");
    EXPECT_EQ(split.TransferId, "{id}");
    EXPECT_EQ(split.Parameter, "12:C:\\dir\\a:b.txt");
    split = SplitTransferMessage("6:{id}"); // without its last colon: no identifier
    EXPECT_EQ(split.TransferId, "");
    EXPECT_EQ(split.Parameter, "{id}");
    EXPECT_EQ(JoinTransferMessage('6', "{id}"), "6:{id}:");

    const std::string id = NewTransferId();
    ASSERT_EQ(id.size(), 38u);
    EXPECT_EQ(id.front(), '{');
    EXPECT_EQ(id.back(), '}');
    for (std::size_t at : {9u, 14u, 19u, 24u})
        EXPECT_EQ(id[at], '-');
    EXPECT_EQ(id.find_first_not_of("{}-0123456789ABCDEF"), std::string::npos) << id;
    EXPECT_NE(NewTransferId(), id);
    EXPECT_TRUE(SameTransferId("{abc-D}", "{ABC-d}"));

    // The offered name presets a save dialog: never a folder, never a control byte.
    EXPECT_EQ(OfferedNameFromPath("C:\\Users\\me\\report.pdf"), "report.pdf");
    EXPECT_EQ(OfferedNameFromPath("../../.bashrc"), ".bashrc");
    EXPECT_EQ(OfferedNameFromPath("a/b"), "b");
    EXPECT_EQ(OfferedNameFromPath("C:\\x\\.."), orvSafeReceivedName);
    EXPECT_EQ(OfferedNameFromPath("C:"), orvSafeReceivedName);
    EXPECT_EQ(OfferedNameFromPath(std::string("\0", 1)), orvSafeReceivedName);
    EXPECT_EQ(OfferedNameFromPath("bell\a.txt"), orvSafeReceivedName);
    const std::string longName = std::string(296, 'n') + ".txt";
    const std::string cut = OfferedNameFromPath(longName);
    EXPECT_EQ(cut.size(), 255u);
    EXPECT_TRUE(cut.ends_with(".txt"));
    const std::string accented =
        std::string(299, 'x') + "\xC3\xA9"; // no extension, a two-byte letter at the cut
    EXPECT_EQ(OfferedNameFromPath("d/" + accented).size(), 255u);
    EXPECT_EQ(OfferedNameFromPath(std::string(254, 'y') + "\xC3\xA9").size(), 254u);
    // Cut back over bytes that only continue a character: never nothing, never a folder.
    const std::string continuing(300, '\x80');
    EXPECT_EQ(OfferedNameFromPath(continuing), orvSafeReceivedName);
    EXPECT_EQ(OfferedNameFromPath(continuing + "."), orvSafeReceivedName);
    EXPECT_EQ(OfferedNameFromPath("C:\\in\\.." + continuing + "."), orvSafeReceivedName);

    EXPECT_EQ(orvRoundHalfEven(5 * 100, 1000), 0);
    EXPECT_EQ(orvRoundHalfEven(15 * 100, 1000), 2);
    EXPECT_EQ(orvRoundHalfEven(25 * 100, 1000), 2);
    EXPECT_EQ(orvRoundHalfEven(26 * 100, 1000), 3);
    EXPECT_EQ(orvRoundHalfEven(1, 0), 0);
}

TEST(FileTransferStates, IllegalChangesAreRefusedAndLoggedWithTheirOwnTexts)
{
    TLogCapture log;
    TempDir dir;
    // No control thread: nothing can be sent, the record still works.
    TSendFileThread missing(nullptr, dir.File("not there"));
    EXPECT_EQ(missing.State(), TTransferState::Failed);
    missing.SetState(TTransferState::Sending);
    EXPECT_EQ(missing.State(), TTransferState::Failed);
    EXPECT_TRUE(
        log.Has("Illegal statechange in TSendFileThread.SetState. New state: Sending and OldState: Failed"));

    TReceiveFileThread offered(kId, nullptr, 10, "C:\\a.txt");
    EXPECT_EQ(offered.State(), TTransferState::ConfirmWanted);
    offered.SetState(TTransferState::Sending);
    EXPECT_TRUE(log.Has(
        "Illegal statechange in TReceiveFileThread.SetState. New state: SendingOldState: ConfirmWanted"));
    offered.SetState(TTransferState::Canceled);
    offered.SetState(TTransferState::Failed); // final stays final
    EXPECT_EQ(offered.State(), TTransferState::Canceled);
    EXPECT_TRUE(
        log.InOrder({"Receiving thread \"" + kId + "\" changed state from Unknown to ConfirmWanted",
                     "Receiving thread \"" + kId + "\" changed state from ConfirmWanted to Canceled"}));
}

TEST(FileTransferStates, ASummaryTellsTheReceiptHowTheTransferEnded)
{
    TTransferSummary summary;
    summary.Sending = false;
    summary.Name = "report.pdf";
    summary.Path = "/home/a/Downloads/report.pdf";
    summary.Size = 10;
    summary.Bytes = 4;
    summary.Sha256 = "ab";
    const TorvReceiptTransfer offered = orvReceiptTransfer(summary);
    EXPECT_FALSE(offered.ToHelpdesk);
    EXPECT_EQ(offered.Name, "report.pdf");
    EXPECT_EQ(offered.Path, "/home/a/Downloads/report.pdf");
    EXPECT_EQ(offered.Size, 10);
    EXPECT_EQ(offered.Bytes, 4);
    EXPECT_EQ(offered.Sha256, "ab");
    EXPECT_EQ(offered.Outcome, TorvTransferOutcome::Offered);

    const auto outcome = [&](TTransferState state, bool interrupted) {
        summary.State = state;
        summary.Ended = true;
        summary.Interrupted = interrupted;
        return orvReceiptTransfer(summary).Outcome;
    };
    EXPECT_EQ(outcome(TTransferState::Finished, false), TorvTransferOutcome::Completed);
    EXPECT_EQ(outcome(TTransferState::Failed, false), TorvTransferOutcome::Failed);
    EXPECT_EQ(outcome(TTransferState::Canceled, false), TorvTransferOutcome::Cancelled);
    // Let go because the session went, whatever state it was left in.
    EXPECT_EQ(outcome(TTransferState::Canceled, true), TorvTransferOutcome::Interrupted);
    EXPECT_EQ(outcome(TTransferState::Sending, false), TorvTransferOutcome::Interrupted);
    // An end it had reached stands.
    EXPECT_EQ(outcome(TTransferState::Finished, true), TorvTransferOutcome::Completed);
    EXPECT_EQ(outcome(TTransferState::Failed, true), TorvTransferOutcome::Failed);
}

TEST_F(FileTransfer, FilesOfManySizesArriveWholeBothWays)
{
    Session(false);
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<std::size_t> sizes = {1, 1023, 1024, 1025, 2048, 77'777, 1 << 20};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        ExpectArrivesWhole(*FCustomerFiles, *FHelpdeskFiles, RandomBytes(sizes[i], i),
                           "up" + std::to_string(i));
        ExpectArrivesWhole(*FHelpdeskFiles, *FCustomerFiles, RandomBytes(sizes[i], 100 + i),
                           "down" + std::to_string(i));
    }
    EXPECT_EQ(FCustomerFiles->TransferCount(), 2 * sizes.size());
}

TEST_F(FileTransfer, AOneByteFileTakesTheExactMessagesOfTheProtocol)
{
    Session(true);
    ASSERT_FALSE(HasFatalFailure());
    TLogCapture log;

    // The helpdesk offers one byte; the customer accepts.
    RawSays("1:" + kId + ":1:C:\\dir\\one.txt");
    TTransferPtr incoming = WaitForTransfer(*FCustomerFiles, kId);
    ASSERT_TRUE(incoming);
    EXPECT_EQ(incoming->State(), TTransferState::ConfirmWanted);
    EXPECT_EQ(Receiving(incoming).OfferedName(), "one.txt");
    Receiving(incoming).SetTargetPath(FDir.File("one.txt"));
    FCustomerFiles->SendFileAcceptCommand(Receiving(incoming));
    EXPECT_EQ(RawGot(0, 1), std::vector<std::string>{"2:" + kId + ":"});
    EXPECT_EQ(incoming->State(), TTransferState::ConfirmWanted); // until the first data
    RawSays("4:" + kId + ":x");
    EXPECT_EQ(RawGot(1, 3),
              (std::vector<std::string>{"9:" + kId + ":1", "7:" + kId + ":", "5:" + kId + ":OK"}));
    ASSERT_TRUE(WaitForState(incoming, TTransferState::Finished));
    EXPECT_EQ(ReadFile(FDir.File("one.txt")), "x");
    const std::string r = "Receiving thread \"" + kId + "\" changed state from ";
    EXPECT_TRUE(log.InOrder({r + "ConfirmWanted to Receiving", r + "Receiving to Received",
                             "File closed " + kId, r + "Received to Finished"}));

    // The customer sends one byte; the raw helpdesk plays the receiver.
    WriteFile(FDir.File("y.txt"), "y");
    auto sent = FCustomerFiles->NewSentFile(FDir.File("y.txt"));
    FCustomerFiles->SendFileRequestCommand(*sent);
    const std::string id = sent->TransferId();
    EXPECT_EQ(RawGot(4, 1), std::vector<std::string>{"1:" + id + ":1:" + FDir.File("y.txt")});
    RawSays("2:" + id + ":");
    EXPECT_EQ(RawGot(5, 2), (std::vector<std::string>{"4:" + id + ":y", "5:" + id + ":"}));
    ASSERT_TRUE(WaitForState(sent, TTransferState::Sent));
    RawSays("9:" + id + ":1");
    RawSays("7:" + id + ":");
    EXPECT_EQ(RawGot(7, 1), std::vector<std::string>{"5:" + id + ":"});
    ASSERT_TRUE(WaitForState(sent, TTransferState::AllDataTransfered));
    RawSays("5:" + id + ":OK");
    ASSERT_TRUE(WaitForState(sent, TTransferState::Finished));
    const std::string s = "Sending thread \"" + id + "\" changed state from ";
    EXPECT_TRUE(
        log.InOrder({s + "Unknown to SendRequested", s + "SendRequested to Sending", s + "Sending to Sent",
                     s + "Sent to AllDataTransfered", s + "AllDataTransfered to Finished"}));
}

TEST_F(FileTransfer, TheSenderWaitsForAcknowledgementsOfAnyCountAndAnEarlyAllReceivedEndsItsReading)
{
    Session(true);
    ASSERT_FALSE(HasFatalFailure());
    WriteFile(FDir.File("big"), RandomBytes(5000, 1));
    auto sent = FCustomerFiles->NewSentFile(FDir.File("big"));
    FCustomerFiles->SendFileRequestCommand(*sent);
    const std::string id = sent->TransferId();
    RawGot(0, 1);
    RawSays("2:" + id + ":");
    // Nothing acknowledged: two pieces go out, then the window is full.
    const auto two = RawGot(1, 2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].size(), 1065u);
    EXPECT_EQ(two[1].size(), 1065u);
    RawSays("9:" + id + ":1024");
    EXPECT_EQ(RawGot(3, 1).at(0).size(), 1065u); // one acknowledgement lets one more go
    // Told that everything arrived before it read the end: it reads no further.
    RawSays("7:" + id + ":");
    EXPECT_EQ(RawGot(4, 1), std::vector<std::string>{"5:" + id + ":"});
    ASSERT_TRUE(WaitForState(sent, TTransferState::AllDataTransfered));
    RawSays("9:" + id + ":3072");
    RawSays("5:" + id + ":OK");
    ASSERT_TRUE(WaitForState(sent, TTransferState::Finished));
    EXPECT_EQ(FRaw->Texts().size(), 5u);
    EXPECT_EQ(sent->BytesTransferred(), 3072);

    // The largest count the wire carries only opens the window: the rest goes.
    auto next = FCustomerFiles->NewSentFile(FDir.File("big"));
    FCustomerFiles->SendFileRequestCommand(*next);
    const std::string nextId = next->TransferId();
    RawGot(5, 1);
    RawSays("2:" + nextId + ":");
    ASSERT_EQ(RawGot(6, 2).size(), 2u);
    RawSays("9:" + nextId + ":2147483647");
    const auto rest = RawGot(8, 4); // 1024, 1024 and 904 bytes, then Done
    ASSERT_EQ(rest.size(), 4u);
    EXPECT_EQ(rest[2].size(), 41u + 904u);
    EXPECT_EQ(rest[3], "5:" + nextId + ":");
    ASSERT_TRUE(WaitForState(next, TTransferState::Sent));
    EXPECT_EQ(next->BytesTransferred(), 5000);
}

TEST_F(FileTransfer, CancellingMidwayOnEitherSideKeepsThePartialFile)
{
    Session(false, 20'000); // about 19 pieces a second: slow enough to stop midway
    ASSERT_FALSE(HasFatalFailure());
    const std::string bytes = RandomBytes(1 << 20, 7);
    WriteFile(FDir.File("source"), bytes);

    for (bool receiverCancels : {true, false}) {
        SCOPED_TRACE(receiverCancels ? "the receiver cancels" : "the sender cancels");
        const std::string target = FDir.File(receiverCancels ? "by receiver" : "by sender");
        TEnds ends = Offer(*FCustomerFiles, *FHelpdeskFiles, FDir.File("source"), target);
        ASSERT_TRUE(ends.Received);
        ASSERT_TRUE(ServeUntil([&] { return ends.Received->BytesTransferred() >= 4096; }));
        if (receiverCancels)
            FHelpdeskFiles->RemoveFile(ends.Received->TransferId());
        else
            FCustomerFiles->RemoveFile(ends.Sent->TransferId());
        ASSERT_TRUE(WaitForState(ends.Sent, TTransferState::Canceled));
        ASSERT_TRUE(WaitForState(ends.Received, TTransferState::Canceled));
        // The receiver's worker has ended (or ends with its state): what is on disk stays.
        ASSERT_TRUE(ServeUntil([&] { return !ends.Received->HasFile(); }));
        const std::int32_t written = ends.Received->BytesTransferred();
        EXPECT_LT(written, static_cast<std::int32_t>(bytes.size()));
        EXPECT_EQ(ReadFile(target), bytes.substr(0, static_cast<std::size_t>(written)));
    }
}

TEST_F(FileTransfer, ATargetThatCannotBeCreatedFailsBothSides)
{
    Session(false);
    ASSERT_FALSE(HasFatalFailure());
    WriteFile(FDir.File("f"), "content");
    TEnds ends = Offer(*FCustomerFiles, *FHelpdeskFiles, FDir.File("f"), FDir.File("no such folder/f"));
    ASSERT_TRUE(ends.Received);
    EXPECT_TRUE(WaitForState(ends.Received, TTransferState::Failed));
    EXPECT_TRUE(WaitForState(ends.Sent, TTransferState::Failed));
}

TEST_F(FileTransfer, EmptyTooLargeAndVanishedFilesAreRefusedBeforeAnyOffer)
{
    Session(true);
    ASSERT_FALSE(HasFatalFailure());
    WriteFile(FDir.File("empty"), "");
    try {
        FCustomerFiles->NewSentFile(FDir.File("empty"));
        ADD_FAILURE() << "an empty file was registered";
    } catch (const EorvException& e) {
        EXPECT_STREQ(e.what(), orvFileText::ZeroLength);
    }
    // A sparse file stands in for a real one of 2 GiB.
    const std::string huge = FDir.File("huge");
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 31), 0);
    ::close(fd);
    try {
        FCustomerFiles->NewSentFile(huge);
        ADD_FAILURE() << "a 2 GiB file was registered";
    } catch (const EorvException& e) {
        EXPECT_STREQ(e.what(), orvFileText::TooLarge);
    }
    EXPECT_EQ(FCustomerFiles->TransferCount(), 0u);

    // Chosen, then gone before it could be opened: Failed, the peer told, no offer.
    auto gone = FCustomerFiles->NewSentFile(FDir.File("vanished"));
    EXPECT_EQ(gone->State(), TTransferState::Failed);
    EXPECT_EQ(RawGot(0, 1), std::vector<std::string>{"8:" + gone->TransferId() + ":100"});
    EXPECT_EQ(FCustomerFiles->TransferCount(), 1u);
}

TEST_F(FileTransfer, ThePeersMistakesChangeNothingTheyShouldNot)
{
    Session(true);
    ASSERT_FALSE(HasFatalFailure());
    TLogCapture log;
    const std::string loopError = "Unknown error in TFileTransferControlThread.Execute";

    RawSays("1:" + kId + ":5:C:\\a.txt");
    ASSERT_TRUE(WaitForTransfer(*FCustomerFiles, kId));
    RawSays("1:" + kId + ":9:C:\\other.txt"); // the same identifier again
    EXPECT_EQ(RawGot(0, 1), std::vector<std::string>{"6:" + kId + ":"});
    EXPECT_EQ(FCustomerFiles->TransferCount(), 1u);
    EXPECT_EQ(FCustomerFiles->FindTransfer(kId)->FileSize(), 5);

    // Sizes that cannot be announced are refused with a Cancel, and not listed.
    const std::vector<std::string> badSizes = {"abc", "-1", "2147483648", "", "1e3"};
    for (std::size_t i = 0; i < badSizes.size(); ++i) {
        const std::string id = "{BAD-" + std::to_string(i) + "}";
        RawSays("1:" + id + ":" + badSizes[i] + ":C:\\x.bin");
        EXPECT_EQ(RawGot(1 + i, 1), std::vector<std::string>{"6:" + id + ":"}) << badSizes[i];
    }
    EXPECT_EQ(FCustomerFiles->TransferCount(), 1u);

    // Unknown identifiers: Data silently dropped, Progress logged once.
    RawSays("4:{NOBODY}:data");
    RawSays("9:{NOBODY}:4");
    ASSERT_TRUE(ServeUntil([&] { return log.Text().find(loopError) != std::string::npos; }));
    // "6:<id>" without its colon names nobody; a real Cancel ends the transfer.
    RawSays("6:" + kId);
    RawSays("6:" + kId + ":");
    TTransferPtr offered = FCustomerFiles->FindTransfer(kId);
    ASSERT_TRUE(WaitForState(offered, TTransferState::Canceled));
    // Final states ignore what comes later.
    RawSays("8:" + kId + ":100");
    RawSays("1:{MARKER}:1:m");
    ASSERT_TRUE(WaitForTransfer(*FCustomerFiles, "{MARKER}"));
    EXPECT_EQ(offered->State(), TTransferState::Canceled);
    const std::string text = log.Text();
    std::size_t errors = 0;
    for (std::size_t at = text.find(loopError); at != std::string::npos; at = text.find(loopError, at + 1))
        ++errors;
    EXPECT_EQ(errors, 1u) << text;
}

TEST_F(FileTransfer, BytesBeyondTheAnnouncedSizeAreNeverWritten)
{
    Session(true);
    ASSERT_FALSE(HasFatalFailure());
    RawSays("1:" + kId + ":3:/home/helpdesk/three.txt");
    TTransferPtr incoming = WaitForTransfer(*FCustomerFiles, kId);
    ASSERT_TRUE(incoming);
    EXPECT_EQ(Receiving(incoming).OfferedName(), "three.txt");
    Receiving(incoming).SetTargetPath(FDir.File("three.txt"));
    FCustomerFiles->SendFileAcceptCommand(Receiving(incoming));
    RawSays("4:" + kId + ":ab");
    RawSays("4:" + kId + ":cdef");
    EXPECT_EQ(RawGot(0, 3),
              (std::vector<std::string>{"2:" + kId + ":", "9:" + kId + ":2", "8:" + kId + ":100"}));
    ASSERT_TRUE(WaitForState(incoming, TTransferState::Failed));
    EXPECT_EQ(ReadFile(FDir.File("three.txt")), "ab");
}

TEST_F(FileTransfer, AnOfferThatArrivesBeforeTheHelpdeskIsSeenIsKept)
{
    JoinCustomer();
    ASSERT_FALSE(HasFatalFailure());
    // As if the offer overtook the gateway's word that the helpdesk joined.
    FCustomerFiles->AddReceived("1:" + kId + ":4:early.txt");
    JoinHelpdesk(true);
    ASSERT_FALSE(HasFatalFailure());
    TTransferPtr offered = WaitForTransfer(*FCustomerFiles, kId);
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->State(), TTransferState::ConfirmWanted);
}

TEST_F(FileTransfer, WhenTheHelpdeskLeavesEveryTransferGoesWithoutACancel)
{
    Session(true);
    ASSERT_FALSE(HasFatalFailure());
    WriteFile(FDir.File("mine"), "mine");
    auto sent = FCustomerFiles->NewSentFile(FDir.File("mine"));
    FCustomerFiles->SendFileRequestCommand(*sent);
    RawSays("1:" + kId + ":4:theirs");
    ASSERT_TRUE(WaitForTransfer(*FCustomerFiles, kId));
    RawGot(0, 1);

    dynamic_cast<TorvCommandThread&>(*FHelpdesk->FindChannelThread(orvCommandChannel)).SendLeave();
    ASSERT_TRUE(ServeUntil([&] { return FCustomerFiles->TransferCount() == 0; }));
    EXPECT_EQ(sent->State(), TTransferState::Canceled);
    FHelpdesk.reset();

    // The next helpdesk's first text on the channel is the next offer, not a late Cancel.
    JoinHelpdesk(true);
    ASSERT_FALSE(HasFatalFailure());
    auto next = FCustomerFiles->NewSentFile(FDir.File("mine"));
    FCustomerFiles->SendFileRequestCommand(*next);
    const auto got = RawGot(0, 1);
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got[0].starts_with("1:" + next->TransferId() + ":")) << got[0];
}

// The session's receipt hears of each transfer twice: when it joins and when
// it ends, with the SHA-256 of exactly the bytes that were sent or written.
TEST_F(FileTransfer, EachTransferIsReportedWhenItJoinsAndWhenItEndsWithTheHashOfItsBytes)
{
    Session(false, 20'000); // slow enough to stop a large file midway
    ASSERT_FALSE(HasFatalFailure());
    const std::string up = RandomBytes(3000, 1);
    const std::string down = RandomBytes(2500, 2);
    WriteFile(FDir.File("up"), up);
    WriteFile(FDir.File("down"), down);
    TEnds sent = Offer(*FCustomerFiles, *FHelpdeskFiles, FDir.File("up"), FDir.File("up.in"));
    TEnds received = Offer(*FHelpdeskFiles, *FCustomerFiles, FDir.File("down"), FDir.File("down.in"));
    ASSERT_TRUE(sent.Received && received.Received);
    const std::string upId = sent.Sent->TransferId();
    const std::string downId = received.Sent->TransferId();
    ASSERT_TRUE(ServeUntil([&] { return ReportedEnd(upId) && ReportedEnd(downId); }));

    auto reports = Reports(upId);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].Ended);
    EXPECT_TRUE(reports[0].Sending);
    EXPECT_EQ(reports[0].Path, FDir.File("up"));
    EXPECT_EQ(reports[1].State, TTransferState::Finished);
    EXPECT_EQ(reports[1].Bytes, 3000);
    EXPECT_EQ(reports[1].Sha256, TorvSha256::Of(up));
    reports = Reports(downId);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].Sending);
    EXPECT_EQ(reports[0].Name, "down");
    EXPECT_EQ(reports[1].State, TTransferState::Finished);
    EXPECT_EQ(reports[1].Path, FDir.File("down.in"));
    EXPECT_EQ(reports[1].Sha256, TorvSha256::Of(down));
    EXPECT_EQ(reports[1].Size, 2500);

    // Cancelled by the peer midway: the hash covers what was written, nothing more.
    const std::string large = RandomBytes(1 << 20, 3);
    WriteFile(FDir.File("large"), large);
    TEnds cut = Offer(*FHelpdeskFiles, *FCustomerFiles, FDir.File("large"), FDir.File("large.in"));
    ASSERT_TRUE(cut.Received);
    ASSERT_TRUE(ServeUntil([&] { return cut.Received->BytesTransferred() >= 4096; }));
    FHelpdeskFiles->RemoveFile(cut.Sent->TransferId());
    const std::string cutId = cut.Sent->TransferId();
    ASSERT_TRUE(ServeUntil([&] { return ReportedEnd(cutId) && !cut.Received->HasFile(); }));
    reports = Reports(cutId);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].State, TTransferState::Canceled);
    EXPECT_FALSE(reports[1].Interrupted);
    const std::string partial = ReadFile(FDir.File("large.in"));
    EXPECT_EQ(reports[1].Bytes, static_cast<std::int32_t>(partial.size()));
    EXPECT_EQ(reports[1].Sha256, TorvSha256::Of(partial));

    // One under way when the helpdesk leaves is interrupted, and still reported once.
    TEnds left = Offer(*FCustomerFiles, *FHelpdeskFiles, FDir.File("large"), FDir.File("left.in"));
    ASSERT_TRUE(left.Received);
    ASSERT_TRUE(ServeUntil([&] { return left.Received->BytesTransferred() >= 4096; }));
    dynamic_cast<TorvCommandThread&>(*FHelpdesk->FindChannelThread(orvCommandChannel)).SendLeave();
    const std::string leftId = left.Sent->TransferId();
    ASSERT_TRUE(ServeUntil([&] { return ReportedEnd(leftId); }));
    reports = Reports(leftId);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[1].Interrupted);
    EXPECT_GT(reports[1].Bytes, 0);
    EXPECT_EQ(reports[1].Sha256, TorvSha256::Of(large.substr(0, static_cast<std::size_t>(reports[1].Bytes))));
    // Nothing is reported twice, not even when the control thread goes.
    FCustomer.reset();
    for (const std::string& id : {upId, downId, cutId, leftId})
        EXPECT_EQ(Reports(id).size(), 2u) << id;
}

} // namespace
