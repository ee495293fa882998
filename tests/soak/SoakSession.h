#pragma once

// What both ends of the soak session do alike: the log with its ERROR lines,
// chat lines each way, files both ways one after the other, and the end
// handshake over chat that lets both sides wait for everything in flight.

#include "lib/orvChat.h"
#include "lib/orvConnections.h"
#include "lib/orvFileTransfer.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

class TorvSessionReceipt;

namespace orvsoak {

using Clock = std::chrono::steady_clock;

// Lines on stdout with the seconds since start; errors start with "ERROR" so
// that scripts/soak can count them.
class TLog
{
public:
    void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int Errors() const noexcept { return FErrors.load(); }

private:
    void Line(const char* prefix, const char* format, va_list args);

    const Clock::time_point FStart = Clock::now();
    std::mutex FMutex;
    std::atomic<int> FErrors{0};
};

// A byte stream whose every byte follows from its offset and seed, so that a
// lost, doubled or changed byte shows at once.
class TPattern
{
public:
    explicit TPattern(std::uint64_t seed) : FSeed(seed) {}
    std::string Next(std::size_t size);
    // Compares the bytes with what comes next; the offset of the first wrong byte, if any.
    std::optional<std::uint64_t> Check(std::string_view bytes);
    std::uint64_t Offset() const noexcept { return FOffset; }

private:
    char At(std::uint64_t offset) const;

    const std::uint64_t FSeed;
    std::uint64_t FOffset = 0;
};

struct TOptions
{
    std::string Role;
    std::string Dir; // shared by both roles
    double Minutes = 60;
    double ChatSeconds = 3;
    std::size_t MaxFileKiB = 1536;
    std::size_t RfbKiBPerSecond = 256;
    bool Receipt = true; // the customer keeps its session receipt, as the program does
};

// The counts the peer announces when it stops producing.
struct TPeerEnd
{
    std::uint64_t Files = 0;
    std::uint64_t Chat = 0;
};

// Chat and files of one side. Runs on the main thread, which also serves the
// chat thread's calls.
class TSide
{
public:
    TSide(TLog& log, const TOptions& options, std::string role, std::string peerRole);
    ~TSide();

    // Starts the chat and file channel threads on the connection.
    void Attach(TorvConnection& connection, const std::shared_ptr<TorvSessionReceipt>& receipt);
    // One step: a chat line when due, accepting offers, checking arrivals, the next file.
    void Step();
    // No new chat line or file from now on; the chat line that says so with the counts.
    void StopProducing();
    bool Producing() const noexcept { return FProducing; }
    // What the peer announced, once its end line came.
    const std::optional<TPeerEnd>& PeerEnd() const noexcept { return FPeerEnd; }
    bool PeerDone() const noexcept { return FPeerDone; }
    // Everything both ways has arrived and been checked.
    bool Drained();
    void SendDone();
    // A transfer made no progress for too long, or the chat went silent.
    bool Stalled() const noexcept { return FStalled; }
    void Summary(std::string& out) const;
    void Progress();

private:
    void ChatStep(Clock::time_point now);
    void OnChatLine(const std::string& text);
    void FilesStep(Clock::time_point now);
    void Offer();
    void CheckReceived(TReceiveFileThread& transfer);

    TLog& FLog;
    const TOptions FOptions;
    const std::string FRole, FPeerRole;
    const std::string FOutDir, FInDir;
    TOrvChatThread* FChat = nullptr;
    TFileTransferControlThread* FFiles = nullptr;
    bool FProducing = true;
    std::optional<TPeerEnd> FPeerEnd;
    bool FPeerDone = false;
    bool FStalled = false;

    std::uint64_t FChatSent = 0, FChatReceived = 0;
    Clock::time_point FNextChat, FLastChatIn;

    struct TOutgoing
    {
        std::shared_ptr<TSendFileThread> Transfer;
        std::string Path;
        std::string Sha256;
        std::int32_t Size = 0;
        Clock::time_point Moved; // the last change of state or bytes
        TTransferState State = TTransferState::Unknown;
        std::int32_t Bytes = 0;
    };
    std::optional<TOutgoing> FOut;
    Clock::time_point FNextOffer;
    std::uint64_t FFilesOffered = 0, FFilesSent = 0, FFilesReceived = 0;
    std::uint64_t FBytesSent = 0, FBytesReceived = 0;
    std::uint64_t FNextIncoming = 1; // the peer's file number expected next
    std::set<std::string> FAccepted;
};

// Creates the folder and its parents.
void MakeDirs(const std::string& path);
// Writes the text aside and renames it into place, so a reader never sees half of it.
void WriteAtomically(const std::string& path, const std::string& text);
// The text of the file once it exists, or nothing after the deadline.
std::optional<std::string> WaitForFile(const std::string& path, std::chrono::seconds deadline,
                                       const std::atomic<bool>& stop);

} // namespace orvsoak
