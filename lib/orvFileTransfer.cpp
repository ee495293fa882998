#include "lib/orvFileTransfer.h"

#include "lib/orvSessionReceipt.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUnit = "lib/orvFileTransfer";
// Receiving at most this far beyond the receiver's acknowledged count; fixed
// by the protocol, whatever the chunk size.
constexpr std::int32_t kAckWindow = 1024;
constexpr std::size_t kMaxNameBytes = 255;

// A read or write of the file itself failed: the transfer cannot go on.
class EorvFileError : public std::runtime_error
{
public:
    EorvFileError(const std::string& what, int error) : std::runtime_error(what + ": " + std::strerror(error))
    {
    }
};

// A decimal number as the peer wrote it: digits only, within 0 .. 2^31-1.
bool ParseCount(std::string_view text, std::int32_t& value)
{
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    std::int64_t wide = 0;
    std::from_chars(text.data(), text.data() + text.size(), wide);
    if (wide > orvMaxTransferSize)
        return false;
    value = static_cast<std::int32_t>(wide);
    return true;
}

std::int32_t RequireCount(std::string_view text)
{
    std::int32_t value = 0;
    if (!ParseCount(text, value))
        throw EorvException("Invalid number \"" + std::string(text.substr(0, 32)) + "\"");
    return value;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) {
                   return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

// Cuts a name to at most max bytes without splitting a UTF-8 sequence.
std::string CutUtf8(std::string_view text, std::size_t max)
{
    if (text.size() <= max)
        return std::string(text);
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return std::string(text.substr(0, end));
}

} // namespace

// ================================================================ messages and names

const char* TransferStateName(TTransferState state)
{
    switch (state) {
    case TTransferState::Unknown: return "Unknown";
    case TTransferState::SendRequested: return "SendRequested";
    case TTransferState::Sending: return "Sending";
    case TTransferState::Sent: return "Sent";
    case TTransferState::Receiving: return "Receiving";
    case TTransferState::Received: return "Received";
    case TTransferState::ConfirmWanted: return "ConfirmWanted";
    case TTransferState::Canceled: return "Canceled";
    case TTransferState::Finished: return "Finished";
    case TTransferState::AllDataTransfered: return "AllDataTransfered";
    case TTransferState::Failed: return "Failed";
    }
    return "Unknown";
}

bool IsFinalState(TTransferState state)
{
    return state == TTransferState::Canceled || state == TTransferState::Finished ||
           state == TTransferState::Failed;
}

std::string JoinTransferMessage(char code, std::string_view transferId, std::string_view parameter)
{
    std::string text;
    text.reserve(3 + transferId.size() + parameter.size());
    text += code;
    text += ':';
    text += transferId;
    text += ':';
    text += parameter;
    return text;
}

TTransferMessage SplitTransferMessage(std::string_view text)
{
    TTransferMessage message;
    std::string_view rest = text;
    if (auto colon = rest.find(':'); colon != std::string_view::npos) {
        message.Code = rest.substr(0, colon);
        rest.remove_prefix(colon + 1);
        if (colon = rest.find(':'); colon != std::string_view::npos) {
            message.TransferId = rest.substr(0, colon);
            rest.remove_prefix(colon + 1);
        }
    }
    message.Parameter = rest;
    return message;
}

std::string NewTransferId()
{
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return std::string("{") + text + "}";
}

bool SameTransferId(std::string_view a, std::string_view b)
{
    return AsciiEqualNoCase(a, b);
}

std::string OfferedNameFromPath(std::string_view path)
{
    const auto slash = path.find_last_of("\\:/");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
    if (name.empty() || name == "." || name == ".." || control)
        return orvSafeReceivedName;
    if (name.size() <= kMaxNameBytes)
        return std::string(name);
    // Too long for a file name here: keep a short extension, cut the stem.
    const auto dot = name.rfind('.');
    const std::size_t extension = (dot != std::string_view::npos && dot > 0) ? name.size() - dot : 0;
    const std::string cut =
        extension == 0 || extension > 32
            ? CutUtf8(name, kMaxNameBytes)
            : CutUtf8(name.substr(0, dot), kMaxNameBytes - extension) + std::string(name.substr(dot));
    // Cut back over bytes that only continue a character, a name can shrink to nothing or to dots.
    if (cut.empty() || cut == "." || cut == "..")
        return orvSafeReceivedName;
    return cut;
}

std::int64_t orvRoundHalfEven(std::int64_t numerator, std::int64_t denominator)
{
    if (denominator <= 0)
        return 0;
    const bool negative = numerator < 0;
    const std::int64_t magnitude = negative ? -numerator : numerator;
    std::int64_t quotient = magnitude / denominator;
    const std::int64_t twice = 2 * (magnitude % denominator);
    if (twice > denominator || (twice == denominator && quotient % 2 != 0))
        ++quotient;
    return negative ? -quotient : quotient;
}

TorvReceiptTransfer orvReceiptTransfer(const TTransferSummary& summary)
{
    TorvReceiptTransfer transfer;
    transfer.ToHelpdesk = summary.Sending;
    transfer.Name = summary.Name;
    transfer.Path = summary.Path;
    transfer.Size = summary.Size;
    transfer.Bytes = summary.Bytes;
    transfer.Sha256 = summary.Sha256;
    if (!summary.Ended)
        transfer.Outcome = TorvTransferOutcome::Offered;
    else if (summary.State == TTransferState::Finished)
        transfer.Outcome = TorvTransferOutcome::Completed;
    else if (summary.State == TTransferState::Failed)
        transfer.Outcome = TorvTransferOutcome::Failed;
    else if (summary.Interrupted || summary.State != TTransferState::Canceled)
        transfer.Outcome = TorvTransferOutcome::Interrupted;
    else
        transfer.Outcome = TorvTransferOutcome::Cancelled;
    return transfer;
}

// ================================================================ TTransferFileThread

TTransferFileThread::TTransferFileThread(TFileTransferControlThread* control, std::string transferId)
    : FTransferId(std::move(transferId)), FControl(control)
{
    FLock.SetName(NextDebugLockName("TTransferFileThread.FLock-%d"));
}

TTransferFileThread::~TTransferFileThread()
{
    EndWorker();
    if (FFile >= 0)
        ::close(FFile);
}

void TTransferFileThread::EndWorker()
{
    Terminate();
    WaitFor();
}

TTransferState TTransferFileThread::State()
{
    return Locked(FState);
}

std::string TTransferFileThread::TransferId()
{
    return Locked(FTransferId);
}

std::string TTransferFileThread::FileName()
{
    return Locked(FFileName);
}

std::int32_t TTransferFileThread::Percent()
{
    return Locked(FPercent);
}

std::int32_t TTransferFileThread::BytesTransferred()
{
    return Locked(FBytesTransferred);
}

std::int32_t TTransferFileThread::FileSize()
{
    return Locked(FFileSize);
}

bool TTransferFileThread::HasFile()
{
    TDebugLock lock(FLock, "TTransferFileThread.HasFile");
    return FFile >= 0;
}

std::string TTransferFileThread::Sha256()
{
    TDebugLock lock(FLock, "TTransferFileThread.Sha256");
    return FHash.Hex();
}

TTransferSummary TTransferFileThread::Summary()
{
    TDebugLock lock(FLock, "TTransferFileThread.Summary");
    TTransferSummary summary;
    summary.TransferId = FTransferId;
    summary.Sending = IsSending();
    summary.Name = FFileName;
    summary.Path = FFileName;
    summary.Size = FFileSize;
    summary.Bytes = FBytesTransferred;
    summary.Sha256 = FHash.Hex();
    summary.State = FState;
    summary.Ended = IsFinalState(FState);
    return summary;
}

void TTransferFileThread::StartWorker()
{
    TDebugLock lock(FLock, "TTransferFileThread.StartWorker");
    // Once told to stop, a worker is never started again.
    if (!Terminated())
        Start();
}

void TTransferFileThread::StopWorker()
{
    {
        TDebugLock lock(FLock, "TTransferFileThread.StopWorker");
        Terminate();
    }
    WaitFor();
}

void TTransferFileThread::Detach()
{
    TDebugLock lock(FLock, "TTransferFileThread.Detach");
    FControl = nullptr;
}

void TTransferFileThread::Close()
{
    TDebugLock lock(FLock, "TTransferFileThread.Close");
    if (FFile < 0) {
        DebugLogFmt("File is already closed %s", FTransferId.c_str());
        return;
    }
    const int file = std::exchange(FFile, -1);
    if (::close(file) != 0)
        DebugLog("Error in TTransferFileThread.Close");
    else
        DebugLogFmt("File closed %s", FTransferId.c_str());
}

template <typename Allowed>
void TTransferFileThread::ChangeState(TTransferState state, Allowed allowed, const char* kindText,
                                      const char* illegalText)
{
    TDebugLock lock(FLock, "TTransferFileThread.SetState");
    const TTransferState old = FState;
    if (allowed(old, state)) {
        FState = state;
        DebugLogFmt("%s thread \"%s\" changed state from %s to %s", kindText, FTransferId.c_str(),
                    TransferStateName(old), TransferStateName(state));
    } else {
        DebugLogFmt(
            "%s%s%s", illegalText, TransferStateName(state),
            (std::string(IsSending() ? " and OldState: " : "OldState: ") + TransferStateName(old)).c_str());
    }
}

void TTransferFileThread::SendMessage(char code, std::string_view parameter)
{
    TFileTransferControlThread* control = Locked(FControl);
    if (control)
        control->Send(JoinTransferMessage(code, TransferId(), parameter));
}

void TTransferFileThread::Fail()
{
    TDebugLock lock(FLock, "TTransferFileThread.Fail");
    SetState(TTransferState::Failed);
    Close();
    SendMessage(orvFileCode::Failure, orvFileFailureCode);
}

void TTransferFileThread::SetPercentFromBytes()
{
    FPercent = static_cast<std::int32_t>(orvRoundHalfEven(std::int64_t{FBytesTransferred} * 100, FFileSize));
}

// ================================================================ TSendFileThread

TSendFileThread::TSendFileThread(TFileTransferControlThread* control, const std::string& path)
    : TTransferFileThread(control, NewTransferId())
{
    FFileName = path;
    FChunkSize = orvFileChunkSize;
    Open();
    if (State() != TTransferState::Failed)
        SetState(TTransferState::SendRequested);
}

TSendFileThread::~TSendFileThread()
{
    EndWorker();
}

void TSendFileThread::Open()
{
    TDebugLock lock(FLock, "TSendFileThread.Open");
    // Non-blocking, so that a FIFO put in the file's place cannot hang the window.
    const int file = ::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat status
    {
    };
    if (file >= 0 && ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_size <= orvMaxTransferSize) {
        FFile = file;
        FFileSize = static_cast<std::int32_t>(status.st_size);
        return;
    }
    if (file >= 0)
        ::close(file);
    DebugLogFmt("Unable to open %s for sending", FFileName.c_str());
    Fail();
}

void TSendFileThread::SetState(TTransferState state)
{
    ChangeState(
        state,
        [](TTransferState old, TTransferState next) {
            using enum TTransferState;
            switch (next) {
            case SendRequested: return old == Unknown;
            case Sending: return old == SendRequested;
            case Sent: return old == Sending;
            case AllDataTransfered: return old == Sending || old == Sent;
            case Canceled:
            case Finished:
            case Failed: return !IsFinalState(old);
            default: return false;
            }
        },
        "Sending", "Illegal statechange in TSendFileThread.SetState. New state: ");
}

std::int32_t TSendFileThread::AckedBytes()
{
    TDebugLock lock(FLock, "TSendFileThread.AckedBytes");
    return FAckedBytes;
}

void TSendFileThread::SetAckedBytes(std::int32_t value)
{
    {
        TDebugLock lock(FLock, "TSendFileThread.SetAckedBytes");
        FAckedBytes = value;
    }
    // The window may have opened: send on now rather than at the next poll.
    Wake();
}

void TSendFileThread::Execute()
{
    while (!Terminated()) {
        try {
            if (State() == TTransferState::SendRequested)
                SetState(TTransferState::Sending);
            // Nothing is left to do once the transfer has ended; the record stays.
            if (IsFinalState(State()))
                break;
            TFileTransferControlThread* control = Locked(FControl);
            if (!control || control->PendingMessageCount() != 0) {
                Sleep(1);
            } else {
                SendNextChunk();
                SendNextChunk();
            }
        } catch (const EorvFileError& e) {
            DebugLogFmt("Unknown error in TSendFileThread.Execute (\"%s\")", e.what());
            Fail();
            break;
        } catch (const std::exception& e) {
            DebugLogFmt("Unknown error in TSendFileThread.Execute (\"%s\")", e.what());
            Sleep(1);
        }
    }
}

void TSendFileThread::SendNextChunk()
{
    TFileTransferControlThread* control = nullptr;
    {
        TDebugLock lock(FLock, "TSendFileThread.SendNextChunk");
        // Wide: the peer may acknowledge up to 2^31-1, and the window's end must not wrap.
        if (std::int64_t{FBytesTransferred} <= std::int64_t{FAckedBytes} + kAckWindow)
            control = FControl;
    }
    // The control lock is taken only while no transfer lock is held.
    if (!control || control->BytesThisPeriod() >= control->MaxBytesPerPeriod() ||
        State() != TTransferState::Sending) {
        Sleep(1);
        return;
    }
    const std::string message = ReadChunk();
    if (!message.empty()) {
        control->SendCounted(message);
        return;
    }
    Close();
    if (State() == TTransferState::Sending) {
        SetState(TTransferState::Sent);
        SendMessage(orvFileCode::Done);
    }
    Terminate();
}

std::string TSendFileThread::ReadChunk()
{
    TDebugLock lock(FLock, "TSendFileThread.ReadChunk");
    if (FFile < 0)
        return {};
    // Never more than was announced, even if the file grew meanwhile.
    const std::int64_t left = std::int64_t{FFileSize} - FBytesTransferred;
    const std::size_t wanted = static_cast<std::size_t>(std::clamp<std::int64_t>(left, 0, FChunkSize));
    std::string message = JoinTransferMessage(orvFileCode::Data, FTransferId);
    const std::size_t header = message.size();
    message.resize(header + wanted);
    ssize_t got = 0;
    if (wanted > 0) {
        do
            got = ::read(FFile, message.data() + header, wanted);
        while (got < 0 && errno == EINTR);
        if (got < 0) {
            const int error = errno;
            throw EorvFileError("Unable to read " + FFileName, error);
        }
    }
    FBytesTransferred += static_cast<std::int32_t>(got);
    SetPercentFromBytes();
    if (got == 0)
        return {};
    message.resize(header + static_cast<std::size_t>(got));
    FHash.Add(std::string_view(message).substr(header));
    return message;
}

// ================================================================ TReceiveFileThread

TReceiveFileThread::TReceiveFileThread(const std::string& transferId, TFileTransferControlThread* control,
                                       std::int32_t fileSize, const std::string& path)
    : TTransferFileThread(control, transferId)
{
    FFileSize = fileSize;
    FOfferedName = OfferedNameFromPath(path);
    FTargetPath = FOfferedName;
    FFileName = FOfferedName;
    FBytesTransferred = 0;
    SetState(TTransferState::ConfirmWanted);
}

TReceiveFileThread::~TReceiveFileThread()
{
    EndWorker();
}

void TReceiveFileThread::Open()
{
    TDebugLock lock(FLock, "TReceiveFileThread.Open");
    // Accepted again before the first data: the new choice wins.
    if (FFile >= 0)
        TTransferFileThread::Close();
    const int file = FTargetPath.empty()
                         ? -1
                         : ::open(FTargetPath.c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    struct stat status
    {
    };
    if (file >= 0 && ::fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
        FFile = file;
        FCreated = true;
        FHash.Reset(); // the file starts again empty
        return;
    }
    if (file >= 0)
        ::close(file);
    DebugLogFmt("Unable to create %s for receiving", FTargetPath.c_str());
    Fail();
}

void TReceiveFileThread::Close()
{
    TDebugLock lock(FLock, "TReceiveFileThread.Close");
    TTransferFileThread::Close();
    if (FState == TTransferState::Received) {
        SetState(TTransferState::Finished);
        SendMessage(orvFileCode::Done, "OK");
    }
}

void TReceiveFileThread::SetState(TTransferState state)
{
    ChangeState(
        state,
        [](TTransferState old, TTransferState next) {
            using enum TTransferState;
            switch (next) {
            case ConfirmWanted: return old == Unknown;
            case Receiving: return old == ConfirmWanted;
            case Received: return old == Receiving;
            case Finished: return old == Received;
            case Canceled:
            case Failed: return !IsFinalState(old);
            case AllDataTransfered: return true;
            default: return false;
            }
        },
        "Receiving", "Illegal statechange in TReceiveFileThread.SetState. New state: ");
}

std::string TReceiveFileThread::OfferedName()
{
    TDebugLock lock(FLock, "TReceiveFileThread.OfferedName");
    return FOfferedName;
}

TTransferSummary TReceiveFileThread::Summary()
{
    TDebugLock lock(FLock, "TReceiveFileThread.Summary");
    TTransferSummary summary = TTransferFileThread::Summary();
    summary.Name = FOfferedName;
    summary.Path = FCreated ? FTargetPath : std::string();
    return summary;
}

std::string TReceiveFileThread::TargetPath()
{
    TDebugLock lock(FLock, "TReceiveFileThread.TargetPath");
    return FTargetPath;
}

void TReceiveFileThread::SetTargetPath(const std::string& path)
{
    TDebugLock lock(FLock, "TReceiveFileThread.SetTargetPath");
    FTargetPath = path;
}

void TReceiveFileThread::AppendChunk(std::string payload)
{
    {
        TDebugLock lock(FLock, "TReceiveFileThread.AppendChunk");
        FPendingChunks.push_back(std::move(payload));
    }
    // Wake() is remembered, so a payload appended just before the worker waits is not missed.
    Wake();
}

std::size_t TReceiveFileThread::PendingChunkCount()
{
    TDebugLock lock(FLock, "TReceiveFileThread.PendingChunkCount");
    return FPendingChunks.size();
}

void TReceiveFileThread::Execute()
{
    while (!Terminated()) {
        try {
            if (State() == TTransferState::ConfirmWanted)
                SetState(TTransferState::Receiving);
            if (PendingChunkCount() == 0) {
                if (IsFinalState(State()))
                    break;
                Sleep(1000);
                continue;
            }
            TDebugLock lock(FLock, "TReceiveFileThread.Execute");
            if (FPendingChunks.empty())
                continue;
            std::string payload = std::move(FPendingChunks.front());
            FPendingChunks.pop_front();
            if (FFile < 0) {
                // Cancelled or failed: what waits is dropped and never acknowledged.
                FPendingChunks.clear();
                continue;
            }
            WriteChunk(payload);
        } catch (const EorvFileError& e) {
            DebugLogFmt("Unknown error in TReceiveFileThread.Execute (\"%s\")", e.what());
            Fail();
        } catch (const std::exception& e) {
            DebugLogFmt("Unknown error in TReceiveFileThread.Execute (\"%s\")", e.what());
        }
    }
}

void TReceiveFileThread::WriteChunk(const std::string& payload)
{
    // The peer announced the size; more would fill the disk at its will.
    if (std::int64_t{FBytesTransferred} + static_cast<std::int64_t>(payload.size()) > FFileSize) {
        DebugLogFmt("Receiving thread \"%s\" got more data than announced", FTransferId.c_str());
        Fail();
        return;
    }
    for (std::size_t written = 0; written < payload.size();) {
        const ssize_t n = ::write(FFile, payload.data() + written, payload.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            throw EorvFileError("Unable to write " + FTargetPath, error);
        }
        written += static_cast<std::size_t>(n);
    }
    FHash.Add(payload);
    orvAssert(FBytesTransferred == FWrittenBytes, kUnit, "Bytes written out of step");
    FBytesTransferred += static_cast<std::int32_t>(payload.size());
    const off_t position = ::lseek(FFile, 0, SEEK_CUR);
    orvAssert(position == FBytesTransferred, kUnit, "File position out of step");
    SetPercentFromBytes();
    SendMessage(orvFileCode::Progress, std::to_string(position));
    FWrittenBytes = FBytesTransferred;
    if (FBytesTransferred == FFileSize && FState == TTransferState::Receiving) {
        SetState(TTransferState::Received);
        SendMessage(orvFileCode::AllReceived);
        Close();
        Terminate();
    }
}

// ================================================================ TFileTransferControlThread

TFileTransferControlThread::TFileTransferControlThread(TorvConnection& connection,
                                                       std::int32_t maxBytesPerPeriod,
                                                       TClock::duration period)
    : FMaxBytesPerPeriod(maxBytesPerPeriod), FPeriod(period)
{
    SetConnection(&connection);
    FLock.SetName(NextDebugLockName("TFileTransferControlThread.FLock-%d"));
}

TFileTransferControlThread::~TFileTransferControlThread()
{
    // The loop first: it must not touch a list that is being emptied.
    Terminate();
    WaitFor();
    for (;;) {
        TTransferPtr transfer;
        {
            TDebugLock lock(FLock, "TFileTransferControlThread.Destroy");
            if (FTransfers.empty())
                break;
            transfer = std::move(FTransfers.back().second);
            FTransfers.pop_back();
        }
        transfer->StopWorker();
        // A row may keep the record; it must not reach this thread any more.
        transfer->Detach();
        // Never out of a destructor: the record is worth less than the program.
        try {
            ReportLetGo(*transfer, !IsFinalState(transfer->State()));
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TFileTransferControlThread.Destroy: %s", e.what());
        }
    }
}

std::shared_ptr<TSendFileThread> TFileTransferControlThread::NewSentFile(const std::string& path)
{
    struct stat status
    {
    };
    if (::stat(path.c_str(), &status) == 0) {
        if (status.st_size == 0)
            throw EorvException(orvFileText::ZeroLength);
        if (status.st_size > orvMaxTransferSize)
            throw EorvException(orvFileText::TooLarge);
    }
    auto transfer = std::make_shared<TSendFileThread>(this, path);
    TDebugLock lock(FLock, "TFileTransferControlThread.NewSentFile");
    FTransfers.emplace_back(transfer->TransferId(), transfer);
    return transfer;
}

void TFileTransferControlThread::SendFileRequestCommand(TSendFileThread& transfer)
{
    if (IsTotallyConnected()) {
        Send(JoinTransferMessage(orvFileCode::Offer, transfer.TransferId(),
                                 std::to_string(transfer.FileSize()) + ":" + transfer.FileName()));
        return;
    }
    transfer.SetState(TTransferState::Failed);
    transfer.Close();
    transfer.Terminate();
}

void TFileTransferControlThread::SendFileAcceptCommand(TReceiveFileThread& transfer)
{
    const std::string id = transfer.TransferId();
    {
        // A row can outlive its transfer's place in the list (the session changed meanwhile).
        TDebugLock lock(FLock, "TFileTransferControlThread.SendFileAcceptCommand");
        if (FindLocked(id).get() != &transfer) {
            DebugLogFmt("Accept of a transfer no longer listed: %s", id.c_str());
            return;
        }
    }
    transfer.Open();
    Send(JoinTransferMessage(orvFileCode::Accept, id));
}

void TFileTransferControlThread::RemoveFile(const std::string& transferId)
{
    Remove(transferId, false);
}

void TFileTransferControlThread::Remove(const std::string& transferId, bool interrupted)
{
    SendCancelCommand(transferId);
    bool cancelled = false;
    TTransferPtr transfer = TakeOut(transferId, cancelled);
    if (!transfer)
        return;
    // Outside the control lock: a sending worker may be waiting for it.
    transfer->StopWorker();
    transfer->Detach();
    ReportLetGo(*transfer, interrupted && cancelled);
}

void TFileTransferControlThread::ReportChanges()
{
    if (!FOnTransferReport)
        return;
    std::vector<TTransferSummary> summaries;
    {
        TDebugLock lock(FLock, "TFileTransferControlThread.ReportChanges");
        for (const auto& [id, transfer] : FTransfers) {
            // A summary (with its hash) only for what has something to tell.
            if (FJoinReported.count(id) && (FEndReported.count(id) || !IsFinalState(transfer->State())))
                continue;
            TakeUnreported(transfer->Summary(), summaries);
        }
    }
    Report(std::move(summaries));
}

void TFileTransferControlThread::ReportLetGo(TTransferFileThread& transfer, bool interrupted)
{
    if (!FOnTransferReport)
        return;
    TTransferSummary summary = transfer.Summary();
    summary.Ended = true;
    summary.Interrupted = interrupted;
    std::vector<TTransferSummary> summaries;
    {
        TDebugLock lock(FLock, "TFileTransferControlThread.ReportLetGo");
        TakeUnreported(std::move(summary), summaries);
    }
    Report(std::move(summaries));
}

void TFileTransferControlThread::TakeUnreported(TTransferSummary summary, std::vector<TTransferSummary>& to)
{
    if (FJoinReported.insert(summary.TransferId).second) {
        to.push_back(summary);
        to.back().Ended = false;
    }
    if (summary.Ended && FEndReported.insert(summary.TransferId).second)
        to.push_back(std::move(summary));
}

void TFileTransferControlThread::Report(std::vector<TTransferSummary> summaries)
{
    for (const TTransferSummary& summary : summaries) {
        try {
            FOnTransferReport(summary);
        } catch (const std::exception& e) {
            DebugLogFmt("Error in TFileTransferControlThread.Report: %s", e.what());
        }
    }
}

TTransferPtr TFileTransferControlThread::TakeOut(const std::string& transferId, bool& cancelled)
{
    TDebugLock lock(FLock, "TFileTransferControlThread.RemoveFile");
    auto entry = std::find_if(FTransfers.begin(), FTransfers.end(),
                              [&](const auto& e) { return SameTransferId(e.first, transferId); });
    if (entry == FTransfers.end())
        return nullptr;
    TTransferPtr transfer = std::move(entry->second);
    FTransfers.erase(entry);
    cancelled = !IsFinalState(transfer->State());
    if (cancelled) {
        transfer->SetState(TTransferState::Canceled);
        transfer->Close();
    }
    transfer->Terminate();
    return transfer;
}

TTransferPtr TFileTransferControlThread::FindTransfer(const std::string& transferId)
{
    TDebugLock lock(FLock, "TFileTransferControlThread.FindTransfer");
    return FindLocked(transferId);
}

void TFileTransferControlThread::SendCancelCommand(const std::string& transferId)
{
    if (IsTotallyConnected())
        Send(JoinTransferMessage(orvFileCode::Cancel, transferId));
}

void TFileTransferControlThread::RemoveAllFiles()
{
    std::vector<std::string> ids;
    {
        TDebugLock lock(FLock, "TFileTransferControlThread.RemoveAllFiles");
        for (auto it = FTransfers.rbegin(); it != FTransfers.rend(); ++it)
            ids.push_back(it->first);
    }
    // The session has gone: whatever was still under way is interrupted.
    for (const std::string& id : ids)
        Remove(id, true);
}

std::size_t TFileTransferControlThread::TransferCount()
{
    TDebugLock lock(FLock, "TFileTransferControlThread.TransferCount");
    return FTransfers.size();
}

TTransferPtr TFileTransferControlThread::Transfer(std::size_t index)
{
    TDebugLock lock(FLock, "TFileTransferControlThread.Transfer");
    return index < FTransfers.size() ? FTransfers[index].second : nullptr;
}

std::vector<TTransferPtr> TFileTransferControlThread::Transfers()
{
    TDebugLock lock(FLock, "TFileTransferControlThread.Transfers");
    std::vector<TTransferPtr> all;
    all.reserve(FTransfers.size());
    for (const auto& entry : FTransfers)
        all.push_back(entry.second);
    return all;
}

std::int32_t TFileTransferControlThread::BytesThisPeriod()
{
    TDebugLock lock(FLock, "TFileTransferControlThread.BytesThisPeriod");
    return FBytesThisPeriod;
}

void TFileTransferControlThread::SetBytesThisPeriod(std::int32_t value)
{
    TDebugLock lock(FLock, "TFileTransferControlThread.SetBytesThisPeriod");
    FBytesThisPeriod = value;
}

void TFileTransferControlThread::SendCounted(const std::string& message)
{
    TDebugLock lock(FLock, "TFileTransferControlThread.SendCounted");
    Send(message);
    FBytesThisPeriod += static_cast<std::int32_t>(message.size());
}

std::size_t TFileTransferControlThread::PendingMessageCount()
{
    TorvConnection* connection = GetConnection();
    return connection ? connection->PendingMessageCount() : 0;
}

TTransferPtr TFileTransferControlThread::FindLocked(std::string_view transferId)
{
    for (const auto& entry : FTransfers)
        if (SameTransferId(entry.first, transferId))
            return entry.second;
    return nullptr;
}

TTransferPtr TFileTransferControlThread::RequireLocked(std::string_view transferId)
{
    TTransferPtr transfer = FindLocked(transferId);
    if (!transfer)
        throw EorvException("Unknown file transfer \"" + std::string(transferId.substr(0, 64)) + "\"");
    return transfer;
}

void TFileTransferControlThread::HandleQueue()
{
    TDebugLock lock(FLock, "TFileTransferControlThread.HandleQueue");
    if (MessageCount() > 0)
        ReceiveCommand(GetMessage());
}

void TFileTransferControlThread::ReceiveCommand(const std::string& text)
{
    TDebugLock lock(FLock, "TFileTransferControlThread.ReceiveCommand");
    if (text.empty())
        return;
    const TTransferMessage message = SplitTransferMessage(text);
    switch (text[0]) {
    case orvFileCode::Offer: HandleOffer(message); break;
    case orvFileCode::Accept: {
        TTransferPtr transfer = RequireLocked(message.TransferId);
        // Only what we offered can be accepted.
        if (!IsFinalState(transfer->State()) && transfer->IsSending())
            transfer->StartWorker();
        break;
    }
    case orvFileCode::Data: {
        TTransferPtr transfer = FindLocked(message.TransferId);
        auto* receiving = dynamic_cast<TReceiveFileThread*>(transfer.get());
        if (receiving && !IsFinalState(receiving->State())) {
            receiving->AppendChunk(message.Parameter);
            receiving->StartWorker();
        }
        break;
    }
    case orvFileCode::Done: {
        TTransferPtr transfer = FindLocked(message.TransferId);
        if (transfer && transfer->IsSending() && !IsFinalState(transfer->State())) {
            transfer->SetState(TTransferState::Finished);
            transfer->Close();
        }
        break;
    }
    case orvFileCode::Cancel: {
        TTransferPtr transfer = FindLocked(message.TransferId);
        if (transfer && !IsFinalState(transfer->State())) {
            transfer->SetState(TTransferState::Canceled);
            transfer->Close();
        }
        break;
    }
    case orvFileCode::AllReceived: {
        TTransferPtr transfer = RequireLocked(message.TransferId);
        if (!IsFinalState(transfer->State())) {
            Send(JoinTransferMessage(orvFileCode::Done, message.TransferId));
            transfer->SetState(TTransferState::AllDataTransfered);
        }
        break;
    }
    case orvFileCode::Failure: {
        TTransferPtr transfer = RequireLocked(message.TransferId);
        if (!IsFinalState(transfer->State())) {
            transfer->SetState(TTransferState::Failed);
            transfer->Close();
        }
        break;
    }
    case orvFileCode::Progress: {
        TTransferPtr transfer = RequireLocked(message.TransferId);
        auto* sending = dynamic_cast<TSendFileThread*>(transfer.get());
        if (sending && !IsFinalState(sending->State()))
            sending->SetAckedBytes(RequireCount(message.Parameter));
        break;
    }
    default: break;
    }
}

void TFileTransferControlThread::HandleOffer(const TTransferMessage& message)
{
    if (message.TransferId.empty()) {
        // Nothing could ever name it again, not even to cancel it.
        DebugLog("Offer without a transfer identifier ignored");
        return;
    }
    if (FindLocked(message.TransferId)) {
        SendCancelCommand(message.TransferId);
        return;
    }
    const std::string_view parameter = message.Parameter;
    const auto colon = parameter.find(':');
    const std::string_view sizeText = parameter.substr(0, colon);
    const std::string path =
        colon == std::string_view::npos ? std::string() : std::string(parameter.substr(colon + 1));
    std::int32_t size = 0;
    if (!ParseCount(sizeText, size)) {
        // The offering side waits for an answer; refuse instead of leaving it hanging.
        DebugLogFmt("Offer %s refused: invalid size \"%s\"", message.TransferId.c_str(),
                    std::string(sizeText.substr(0, 32)).c_str());
        SendCancelCommand(message.TransferId);
        return;
    }
    TTransferPtr transfer;
    try {
        transfer = std::make_shared<TReceiveFileThread>(message.TransferId, this, size, path);
    } catch (const std::exception&) {
        throw EorvAssertion(kUnit, orvFileText::CreationFailed);
    }
    FTransfers.emplace_back(message.TransferId, std::move(transfer));
}

void TFileTransferControlThread::Execute()
{
    TClock::time_point deadline = TClock::now() + FPeriod;
    while (!Terminated()) {
        try {
            TClock::time_point now = TClock::now();
            if (now >= deadline) {
                SetBytesThisPeriod(0);
                // Periods follow each other without drift, so the budget is the whole budget.
                deadline += FPeriod;
                if (deadline <= now)
                    deadline = now + FPeriod;
            }
            const bool totally = IsTotallyConnected();
            // Texts that come before the helpdesk's arrival has been seen wait for it.
            if (MessageCount() == 0 || !totally) {
                const auto untilDeadline =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
                Sleep(static_cast<int>(std::clamp<std::int64_t>(untilDeadline, 1, 100)));
            }
            if (Terminated())
                break;
            if (totally && MessageCount() > 0)
                HandleQueue();
            if (!IsTotallyConnected())
                RemoveAllFiles();
            ReportChanges();
        } catch (const std::exception& e) {
            DebugLogFmt("Unknown error in TFileTransferControlThread.Execute (\"%s\")", e.what());
        }
    }
}
