#pragma once

// Channel 4: files both ways between the customer and the helpdesk.
//
// TFileTransferControlThread is the channel's thread: it keeps every transfer
// of the session and turns the user's requests and the peer's messages into
// state changes. Each transfer is a TSendFileThread or a TReceiveFileThread,
// at once the transfer's record and the worker thread that reads or writes
// its file.
//
// Messages: "<code>:<transfer id>:<parameter>", the parameter any bytes.
//
// Locks, in this order: the control lock, a transfer's lock, the
// connection's own. A worker never waits for the control lock while it holds
// its transfer's lock.

#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvSha256.h"
#include "lib/orvThreads.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr int orvFileTransferChannel = 4;

namespace orvFileCode {
inline constexpr char Offer = '1';       // "<size>:<offering side's path>"
inline constexpr char Accept = '2';      // the target file has been created
inline constexpr char Data = '4';        // 1 to 1024 bytes of the file
inline constexpr char Done = '5';        // "" from the offering side, "OK" from the receiving side
inline constexpr char Cancel = '6';      // deleted or refused; also the answer to a duplicate offer
inline constexpr char AllReceived = '7'; // the receiving side has the announced size
inline constexpr char Failure = '8';     // "100": the file could not be opened or created
inline constexpr char Progress = '9';    // the receiving side's file position
} // namespace orvFileCode

inline constexpr const char* orvFileFailureCode = "100";
inline constexpr std::size_t orvFileChunkSize = 1024;
// FileSize is a signed 32-bit number on the wire: 2 GiB and more cannot be announced.
inline constexpr std::int64_t orvMaxTransferSize = 0x7FFFFFFF;

namespace orvFileText {
inline constexpr const char* ZeroLength = "Unable to send zero-length file";
inline constexpr const char* TooLarge = "Unable to send a file of 2 GB or more";
inline constexpr const char* CreationFailed = "File creation failed.";
} // namespace orvFileText

enum class TTransferState : std::uint8_t {
    Unknown = 0,
    SendRequested = 1,
    Sending = 2,
    Sent = 3,
    Receiving = 4,
    Received = 5,
    ConfirmWanted = 6,
    Canceled = 7,
    Finished = 8,
    AllDataTransfered = 9,
    Failed = 10,
};

// The name written to the log ("SendRequested").
const char* TransferStateName(TTransferState state);
// Canceled, Finished and Failed: the transfer ignores every later message.
bool IsFinalState(TTransferState state);

struct TTransferMessage
{
    std::string Code;
    std::string TransferId;
    std::string Parameter; // may hold colons and any bytes
};

std::string JoinTransferMessage(char code, std::string_view transferId, std::string_view parameter = {});
// Where a colon is missing the field at its place is empty and the text stays
// in the following field: "6:{id}" has an empty identifier.
TTransferMessage SplitTransferMessage(std::string_view text);

// A new identifier: a braced upper-case GUID, 38 characters.
std::string NewTransferId();
bool SameTransferId(std::string_view a, std::string_view b);

// The offered path's last component (after "\", ":" or "/"), made safe to
// preset a save dialog with: never a folder part, never "." or "..", no
// control bytes, at most 255 bytes.
std::string OfferedNameFromPath(std::string_view path);
inline constexpr const char* orvSafeReceivedName = "received file";

// numerator / denominator rounded to the nearest integer, halves to even;
// 0 for a denominator of 0 or less.
std::int64_t orvRoundHalfEven(std::int64_t numerator, std::int64_t denominator);

class TFileTransferControlThread;

// What a transfer came to, for the session's receipt.
struct TTransferSummary
{
    std::string TransferId;
    bool Sending = false;
    std::string Name; // sending: the local path; receiving: the offered name
    std::string Path; // sending: the local path; receiving: the target file once created
    std::int32_t Size = 0;
    std::int32_t Bytes = 0; // read and sent, or written
    std::string Sha256;     // of those bytes
    TTransferState State = TTransferState::Unknown;
    bool Ended = false;       // final, or let go before it got there
    bool Interrupted = false; // let go unfinished because the session went
};

struct TorvReceiptTransfer;
// The receipt's entry for a summary (lib/orvSessionReceipt.h).
TorvReceiptTransfer orvReceiptTransfer(const TTransferSummary& summary);

// One transfer: its record and its worker. Created with the worker not
// running; shared by the control thread's list and the panel's rows.
class TTransferFileThread : public TorvThread
{
public:
    ~TTransferFileThread() override;

    virtual bool IsSending() const = 0;
    // Opens the file: for sending, at construction; for receiving, on acceptance.
    virtual void Open() = 0;
    // Closes the file when one is open.
    virtual void Close();
    // Refused and logged when the kind's table does not allow the change.
    virtual void SetState(TTransferState state) = 0;

    TTransferState State();
    std::string TransferId();
    std::string FileName();
    std::int32_t Percent();
    std::int32_t BytesTransferred();
    std::int32_t FileSize();
    bool HasFile();
    // SHA-256 of the bytes read for sending, or written, so far.
    std::string Sha256();
    virtual TTransferSummary Summary();

    // Starts the worker unless it has been started before.
    void StartWorker();
    // Tells the worker to stop and waits until it has ended (never under a lock of ours).
    void StopWorker();

protected:
    TTransferFileThread(TFileTransferControlThread* control, std::string transferId);

    // Changes the state when allowed by allowed(old, new), and logs either way.
    template <typename Allowed>
    void ChangeState(TTransferState state, Allowed allowed, const char* kindText, const char* illegalText);
    // Sends through the control thread; nothing once it has let the transfer go.
    void SendMessage(char code, std::string_view parameter = {});
    void SetPercentFromBytes();
    // Failed, the file closed, the peer told "8:<id>:100".
    void Fail();
    // A copy of a field, read under the transfer's lock.
    template <typename T> T Locked(const T& field) const
    {
        TDebugLock lock(FLock, "TTransferFileThread.Locked");
        return field;
    }
    // Stops the worker before the derived class's fields go.
    void EndWorker();

    mutable TDebugCriticalSection FLock; // every field below
    TTransferState FState = TTransferState::Unknown;
    int FFile = -1;
    std::string FTransferId;
    std::string FFileName;
    std::int32_t FPercent = 0;
    std::int32_t FBytesTransferred = 0;
    std::int32_t FWrittenBytes = 0;
    std::int32_t FFileSize = 0;
    TorvSha256 FHash;
    TFileTransferControlThread* FControl; // not owned; none once the control thread let the transfer go

private:
    friend class TFileTransferControlThread;
    void Detach();
};

class TSendFileThread : public TTransferFileThread
{
public:
    // Opens path; the state is SendRequested, or Failed (and "8:<id>:100" sent).
    TSendFileThread(TFileTransferControlThread* control, const std::string& path);
    ~TSendFileThread() override;

    bool IsSending() const override { return true; }
    void Open() override;
    void SetState(TTransferState state) override;

    std::int32_t AckedBytes();
    void SetAckedBytes(std::int32_t value);

protected:
    void Execute() override;

private:
    void SendNextChunk();
    // "4:<id>:" and the next piece of the file; empty at the end of the file.
    std::string ReadChunk();

    std::uint32_t FChunkSize = orvFileChunkSize;
    std::int32_t FAckedBytes = 0;
};

class TReceiveFileThread : public TTransferFileThread
{
public:
    TReceiveFileThread(const std::string& transferId, TFileTransferControlThread* control,
                       std::int32_t fileSize, const std::string& path);
    ~TReceiveFileThread() override;

    bool IsSending() const override { return false; }
    // Creates the file at TargetPath, replacing one of that name.
    void Open() override;
    // A Received transfer then moves to Finished and sends "5:<id>:OK".
    void Close() override;
    void SetState(TTransferState state) override;

    std::string OfferedName();
    std::string TargetPath();
    TTransferSummary Summary() override;
    void SetTargetPath(const std::string& path);
    // A payload from the peer, for the worker to write; wakes it.
    void AppendChunk(std::string payload);
    std::size_t PendingChunkCount();

protected:
    void Execute() override;

private:
    void WriteChunk(const std::string& payload);

    std::string FOfferedName;
    std::string FTargetPath;
    bool FCreated = false; // the target file was created
    std::deque<std::string> FPendingChunks;
};

using TTransferPtr = std::shared_ptr<TTransferFileThread>;

// The thread of channel 4.
class TFileTransferControlThread : public TorvChannelThread
{
public:
    using TClock = std::chrono::steady_clock;

    TFileTransferControlThread(TorvConnection& connection, std::int32_t maxBytesPerPeriod = 100000,
                               TClock::duration period = std::chrono::seconds(1));
    ~TFileTransferControlThread() override;

    // Told once when a transfer joins the list and once when it ends; on a
    // thread of the channel or RemoveFile's caller, never under a lock of
    // ours. Set before the thread starts.
    using TTransferReport = std::function<void(const TTransferSummary&)>;
    void SetOnTransferReport(TTransferReport report) { FOnTransferReport = std::move(report); }

    // Registers an outgoing transfer. Raises for an empty file and for one of
    // 2 GiB or more; a file that cannot be opened gives a Failed transfer.
    std::shared_ptr<TSendFileThread> NewSentFile(const std::string& path);
    // Sends the transfer's Offer; Failed when no helpdesk is in the session.
    void SendFileRequestCommand(TSendFileThread& transfer);
    // Creates the target file and sends Accept; a transfer no longer in the list is left alone.
    void SendFileAcceptCommand(TReceiveFileThread& transfer);
    // Cancels the transfer (the peer is told) and removes it; its worker has ended on return.
    void RemoveFile(const std::string& transferId);
    TTransferPtr FindTransfer(const std::string& transferId);
    void SendCancelCommand(const std::string& transferId);
    void RemoveAllFiles();

    std::size_t TransferCount();
    TTransferPtr Transfer(std::size_t index);
    std::vector<TTransferPtr> Transfers();

    // The shared send budget, for the sending workers.
    std::int32_t BytesThisPeriod();
    void SetBytesThisPeriod(std::int32_t value);
    std::int32_t MaxBytesPerPeriod() const { return FMaxBytesPerPeriod; }
    // Sends a Data message and counts it against the budget, as one step.
    void SendCounted(const std::string& message);
    // The transport's backlog, for the sending workers.
    std::size_t PendingMessageCount();

    // One waiting message (the loop's own step; tests call it too).
    void HandleQueue();
    void ReceiveCommand(const std::string& text);

protected:
    void Execute() override;

private:
    TTransferPtr FindLocked(std::string_view transferId);
    TTransferPtr RequireLocked(std::string_view transferId);
    void HandleOffer(const TTransferMessage& message);
    // Takes the transfer out of the list, cancelled when it had not ended; the
    // caller lets it go outside the lock.
    TTransferPtr TakeOut(const std::string& transferId, bool& cancelled);
    void Remove(const std::string& transferId, bool interrupted);
    // Reports what joined or ended since the last call.
    void ReportChanges();
    // Reports a transfer that has left the list, unless it was reported ended;
    // interrupted: it had not ended when the session went.
    void ReportLetGo(TTransferFileThread& transfer, bool interrupted);
    // Under the control lock: what of the summary has not been told yet (its
    // joining, and its end when it has ended) goes to `to`, marked as told.
    void TakeUnreported(TTransferSummary summary, std::vector<TTransferSummary>& to);
    void Report(std::vector<TTransferSummary> summaries);

    const std::int32_t FMaxBytesPerPeriod;
    const TClock::duration FPeriod;
    TDebugCriticalSection FLock; // the list and FBytesThisPeriod
    std::vector<std::pair<std::string, TTransferPtr>> FTransfers;
    std::int32_t FBytesThisPeriod = 0;
    TTransferReport FOnTransferReport;
    std::set<std::string> FJoinReported; // under FLock
    std::set<std::string> FEndReported;  // under FLock
};
