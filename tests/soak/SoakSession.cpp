#include "tests/soak/SoakSession.h"

#include "lib/orvAppUtils.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvSha256.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orvsoak {

using namespace std::chrono_literals;

namespace {

// A transfer that neither moves nor changes state for this long has stalled.
constexpr auto kTransferStall = 60s;
constexpr auto kNextOfferPause = 200ms;
constexpr std::size_t kBlock = 64 * 1024;
constexpr const char* kEndLine = "#end";
constexpr const char* kDoneLine = "#done";

std::uint64_t Mix(std::uint64_t x)
{
    x ^= x >> 31;
    x *= 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 32);
}

std::uint64_t RoleSeed(const std::string& role)
{
    std::uint64_t seed = 1469598103934665603ull;
    for (const char c : role)
        seed = (seed ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return seed;
}

// The text of chat line n of a side: its number, and a body whose length and
// characters (some of them multi-byte, a colon, a backslash) vary with it.
std::string ChatText(const std::string& role, std::uint64_t n)
{
    static const char* const pieces[] = {"a", "b",  "k", "z", "0", "7", " ",
                                         ":", "\\", "é", "ü", "—", "€", "?"};
    std::string text = "soak " + role + " " + std::to_string(n) + " ";
    const std::uint64_t length = 1 + Mix(RoleSeed(role) + n) % 160;
    for (std::uint64_t i = 0; i < length; ++i)
        text += pieces[Mix(n * 1000 + i) % std::size(pieces)];
    return text;
}

bool TakeNumber(std::string_view& text, std::uint64_t& value)
{
    std::size_t used = 0;
    value = 0;
    while (used < text.size() && text[used] >= '0' && text[used] <= '9')
        value = value * 10 + static_cast<std::uint64_t>(text[used++] - '0');
    text.remove_prefix(used);
    return used > 0;
}

// "#end files=N chat=N"
std::optional<TPeerEnd> ParseEnd(std::string_view text)
{
    TPeerEnd end;
    const std::string_view files = " files=", chat = " chat=";
    if (!text.starts_with(kEndLine))
        return std::nullopt;
    text.remove_prefix(std::strlen(kEndLine));
    if (!text.starts_with(files))
        return std::nullopt;
    text.remove_prefix(files.size());
    if (!TakeNumber(text, end.Files) || !text.starts_with(chat))
        return std::nullopt;
    text.remove_prefix(chat.size());
    if (!TakeNumber(text, end.Chat) || !text.empty())
        return std::nullopt;
    return end;
}

// "<role>-<n>-<size>-<sha256>.bin": what the receiving side checks the file against.
struct TFileName
{
    std::string Role;
    std::uint64_t Number = 0;
    std::uint64_t Size = 0;
    std::string Sha256;
};

std::string MakeFileName(const TFileName& name)
{
    return name.Role + "-" + std::to_string(name.Number) + "-" + std::to_string(name.Size) + "-" +
           name.Sha256 + ".bin";
}

std::optional<TFileName> ParseFileName(std::string_view text)
{
    TFileName name;
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    name.Role = std::string(text.substr(0, dash));
    text.remove_prefix(dash + 1);
    if (!TakeNumber(text, name.Number) || !text.starts_with("-"))
        return std::nullopt;
    text.remove_prefix(1);
    if (!TakeNumber(text, name.Size) || !text.starts_with("-"))
        return std::nullopt;
    text.remove_prefix(1);
    if (text.size() != 64 + 4 || !text.ends_with(".bin"))
        return std::nullopt;
    name.Sha256 = std::string(text.substr(0, 64));
    return name;
}

// SHA-256 and size of a file on disk, read back in blocks.
std::optional<std::pair<std::string, std::uint64_t>> HashFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    TorvSha256 hash;
    std::uint64_t size = 0;
    std::vector<char> block(kBlock);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        hash.Add(std::string_view(block.data(), got));
        size += got;
    }
    if (in.bad())
        return std::nullopt;
    return std::make_pair(hash.Hex(), size);
}

} // namespace

// ---------------------------------------------------------------------------

void TLog::Line(const char* prefix, const char* format, va_list args)
{
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    const double seconds = std::chrono::duration<double>(Clock::now() - FStart).count();
    std::lock_guard lock(FMutex);
    std::printf("%s[%8.1f] %s\n", prefix, seconds, text);
    std::fflush(stdout);
}

void TLog::Info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Line("", format, args);
    va_end(args);
}

void TLog::Error(const char* format, ...)
{
    ++FErrors;
    va_list args;
    va_start(args, format);
    Line("ERROR ", format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------

char TPattern::At(std::uint64_t offset) const
{
    // Eight bytes per mixed word: cheap enough for a stream of megabytes.
    return static_cast<char>(Mix(FSeed ^ (offset >> 3)) >> (8 * (offset & 7)));
}

std::string TPattern::Next(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = At(FOffset + i);
    FOffset += size;
    return bytes;
}

std::optional<std::uint64_t> TPattern::Check(std::string_view bytes)
{
    std::optional<std::uint64_t> wrong;
    for (std::size_t i = 0; i < bytes.size() && !wrong; ++i)
        if (bytes[i] != At(FOffset + i))
            wrong = FOffset + i;
    FOffset += bytes.size();
    return wrong;
}

// ---------------------------------------------------------------------------

void MakeDirs(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + prefix + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            return;
    }
}

void WriteAtomically(const std::string& path, const std::string& text)
{
    const std::string aside = path + ".new";
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + aside);
    }
    if (std::rename(aside.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + aside + ": " + std::strerror(errno));
}

std::optional<std::string> WaitForFile(const std::string& path, std::chrono::seconds deadline,
                                       const std::atomic<bool>& stop)
{
    const auto end = Clock::now() + deadline;
    while (!stop && Clock::now() < end) {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return text;
        }
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------

TSide::TSide(TLog& log, const TOptions& options, std::string role, std::string peerRole)
    : FLog(log), FOptions(options), FRole(std::move(role)), FPeerRole(std::move(peerRole)),
      FOutDir(options.Dir + "/" + FRole + "/out"), FInDir(options.Dir + "/" + FRole + "/in")
{
    MakeDirs(FOutDir);
    MakeDirs(FInDir);
}

TSide::~TSide() = default;

void TSide::Attach(TorvConnection& connection, const std::shared_ptr<TorvSessionReceipt>& receipt)
{
    auto chat = std::make_unique<TOrvChatThread>();
    chat->SetOnChatMessage([this](const std::string& text) { OnChatLine(text); });
    if (receipt)
        chat->SetOnChatLine([receipt](bool fromPeer) { receipt->ChatLine(fromPeer); });
    FChat = &orvStartChannelThread(connection, orvChatChannel, std::move(chat));

    // The customer program's own budget: 100000 bytes of Data messages a second.
    auto files = std::make_unique<TFileTransferControlThread>(connection);
    if (receipt)
        files->SetOnTransferReport(
            [receipt](const TTransferSummary& summary) { receipt->Transfer(orvReceiptTransfer(summary)); });
    FFiles = &orvStartChannelThread(connection, orvFileTransferChannel, std::move(files));
}

void TSide::Step()
{
    const auto now = Clock::now();
    if (FLastChatIn == Clock::time_point{}) {
        FLastChatIn = now;
        FNextChat = now;
        FNextOffer = now;
    }
    ChatStep(now);
    FilesStep(now);
}

void TSide::ChatStep(Clock::time_point now)
{
    if (FProducing && now >= FNextChat) {
        FChat->SendChatMessage(ChatText(FRole, ++FChatSent));
        FNextChat +=
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(FOptions.ChatSeconds));
        if (FNextChat < now)
            FNextChat = now;
    }
    // The peer's lines come every few seconds until it announces its end.
    const auto silence =
        std::max<Clock::duration>(30s, std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(10 * FOptions.ChatSeconds)));
    if (!FPeerEnd && !FStalled && now - FLastChatIn > silence) {
        FLog.Error("no chat line from the %s for %.0f s", FPeerRole.c_str(),
                   std::chrono::duration<double>(now - FLastChatIn).count());
        FStalled = true;
    }
}

void TSide::OnChatLine(const std::string& text)
{
    FLastChatIn = Clock::now();
    if (text.starts_with("#")) {
        if (text == kDoneLine) {
            FPeerDone = true;
            FLog.Info("the %s has everything", FPeerRole.c_str());
        } else if (auto end = ParseEnd(text)) {
            FPeerEnd = end;
            FLog.Info("the %s stopped producing after %llu files and %llu chat lines", FPeerRole.c_str(),
                      static_cast<unsigned long long>(end->Files),
                      static_cast<unsigned long long>(end->Chat));
        } else {
            FLog.Error("chat: unknown control line \"%s\"", text.c_str());
        }
        return;
    }
    const std::string expected = ChatText(FPeerRole, FChatReceived + 1);
    if (text != expected) {
        FLog.Error("chat line %llu from the %s is wrong: \"%s\", expected \"%s\"",
                   static_cast<unsigned long long>(FChatReceived + 1), FPeerRole.c_str(), text.c_str(),
                   expected.c_str());
        // Follow the numbering the line claims, so that one lost line is one error.
        std::string_view rest(text);
        const std::string head = "soak " + FPeerRole + " ";
        std::uint64_t number = 0;
        if (rest.starts_with(head)) {
            rest.remove_prefix(head.size());
            if (TakeNumber(rest, number) && number > 0)
                FChatReceived = number - 1;
        }
    }
    ++FChatReceived;
}

void TSide::StopProducing()
{
    if (!FProducing)
        return;
    FProducing = false;
    const std::string line = std::string(kEndLine) + " files=" + std::to_string(FFilesOffered) +
                             " chat=" + std::to_string(FChatSent);
    FChat->SendChatMessage(line);
    FLog.Info("stopped producing: %s", line.c_str());
}

void TSide::SendDone()
{
    FChat->SendChatMessage(kDoneLine);
}

bool TSide::Drained()
{
    if (!FPeerEnd || FOut)
        return false;
    if (FFilesReceived < FPeerEnd->Files || FChatReceived < FPeerEnd->Chat)
        return false;
    return FFiles->TransferCount() == 0;
}

void TSide::FilesStep(Clock::time_point now)
{
    for (const TTransferPtr& transfer : FFiles->Transfers()) {
        auto* receiving = dynamic_cast<TReceiveFileThread*>(transfer.get());
        if (!receiving)
            continue;
        const std::string id = receiving->TransferId();
        const TTransferState state = receiving->State();
        if (state == TTransferState::ConfirmWanted && !FAccepted.count(id)) {
            FAccepted.insert(id);
            receiving->SetTargetPath(FInDir + "/" + receiving->OfferedName());
            FFiles->SendFileAcceptCommand(*receiving);
        } else if (state == TTransferState::Finished) {
            CheckReceived(*receiving);
            // As the panel's Remove does once the customer has the file.
            FFiles->RemoveFile(id);
            ::unlink(receiving->TargetPath().c_str());
            FAccepted.erase(id);
        } else if (state == TTransferState::Canceled || state == TTransferState::Failed) {
            FLog.Error("receiving %s ended %s", receiving->OfferedName().c_str(), TransferStateName(state));
            FFiles->RemoveFile(id);
            ::unlink(receiving->TargetPath().c_str());
            FAccepted.erase(id);
        }
    }

    if (FOut) {
        TSendFileThread& transfer = *FOut->Transfer;
        const TTransferState state = transfer.State();
        const std::int32_t bytes = transfer.BytesTransferred();
        if (state != FOut->State || bytes != FOut->Bytes) {
            FOut->State = state;
            FOut->Bytes = bytes;
            FOut->Moved = now;
        }
        if (state == TTransferState::Finished) {
            if (transfer.Sha256() != FOut->Sha256)
                FLog.Error("sent %s, but the bytes read hash to %s", FOut->Path.c_str(),
                           transfer.Sha256().c_str());
            ++FFilesSent;
            FBytesSent += static_cast<std::uint64_t>(FOut->Size);
            FFiles->RemoveFile(transfer.TransferId());
            ::unlink(FOut->Path.c_str());
            FOut.reset();
            FNextOffer = now + kNextOfferPause;
        } else if (state == TTransferState::Canceled || state == TTransferState::Failed) {
            FLog.Error("sending %s ended %s", FOut->Path.c_str(), TransferStateName(state));
            FFiles->RemoveFile(transfer.TransferId());
            ::unlink(FOut->Path.c_str());
            FOut.reset();
            FNextOffer = now + kNextOfferPause;
        } else if (!FStalled && now - FOut->Moved > kTransferStall) {
            FLog.Error("sending %s stalled in %s at %d of %d bytes", FOut->Path.c_str(),
                       TransferStateName(state), bytes, FOut->Size);
            FStalled = true;
        }
    }
    if (!FOut && FProducing && now >= FNextOffer)
        Offer();
}

void TSide::Offer()
{
    const std::uint64_t number = FFilesOffered + 1;
    std::mt19937_64 random(RoleSeed(FRole) + number);
    // Mostly large files, now and then a small one (below one Data message, or a few).
    std::size_t size = 0;
    if (random() % 8 == 0)
        size = std::uniform_int_distribution<std::size_t>(1, 4096)(random);
    else
        size = std::uniform_int_distribution<std::size_t>(64 * 1024, FOptions.MaxFileKiB * 1024)(random);

    const std::string making = FOutDir + "/making";
    TorvSha256 hash;
    {
        std::ofstream out(making, std::ios::binary | std::ios::trunc);
        std::string block;
        for (std::size_t left = size; left > 0;) {
            block.resize(std::min(left, kBlock));
            for (std::size_t i = 0; i < block.size(); i += 8) {
                const std::uint64_t word = random();
                for (std::size_t j = 0; j < 8 && i + j < block.size(); ++j)
                    block[i + j] = static_cast<char>(word >> (8 * j));
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            hash.Add(block);
            left -= block.size();
        }
        if (!out.flush())
            throw std::runtime_error("cannot write " + making);
    }
    TOutgoing outgoing;
    outgoing.Sha256 = hash.Hex();
    outgoing.Size = static_cast<std::int32_t>(size);
    outgoing.Path = FOutDir + "/" + MakeFileName({FRole, number, size, outgoing.Sha256});
    if (std::rename(making.c_str(), outgoing.Path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + making + ": " + std::strerror(errno));

    outgoing.Transfer = FFiles->NewSentFile(outgoing.Path);
    outgoing.Moved = Clock::now();
    ++FFilesOffered;
    if (outgoing.Transfer->State() == TTransferState::Failed) {
        FLog.Error("could not open %s for sending", outgoing.Path.c_str());
    } else {
        FFiles->SendFileRequestCommand(*outgoing.Transfer);
    }
    FOut = std::move(outgoing);
}

void TSide::CheckReceived(TReceiveFileThread& transfer)
{
    const std::string offered = transfer.OfferedName();
    const std::optional<TFileName> name = ParseFileName(offered);
    ++FFilesReceived;
    if (!name || name->Role != FPeerRole) {
        FLog.Error("received a file of an unexpected name: %s", offered.c_str());
        return;
    }
    if (name->Number != FNextIncoming)
        FLog.Error("received file %llu of the %s, expected %llu",
                   static_cast<unsigned long long>(name->Number), FPeerRole.c_str(),
                   static_cast<unsigned long long>(FNextIncoming));
    FNextIncoming = name->Number + 1;
    const auto onDisk = HashFile(transfer.TargetPath());
    if (!onDisk) {
        FLog.Error("cannot read the received %s", transfer.TargetPath().c_str());
        return;
    }
    FBytesReceived += onDisk->second;
    if (onDisk->second != name->Size || static_cast<std::uint64_t>(transfer.FileSize()) != name->Size)
        FLog.Error("received %s with %llu bytes (announced %d)", offered.c_str(),
                   static_cast<unsigned long long>(onDisk->second), transfer.FileSize());
    if (onDisk->first != name->Sha256)
        FLog.Error("received %s, but its bytes hash to %s", offered.c_str(), onDisk->first.c_str());
    if (transfer.Sha256() != name->Sha256)
        FLog.Error("received %s, but the bytes written hash to %s", offered.c_str(),
                   transfer.Sha256().c_str());
}

void TSide::Summary(std::string& out) const
{
    const auto add = [&out](const char* key, std::uint64_t value) {
        out += std::string(" ") + key + "=" + std::to_string(value);
    };
    add("files_sent", FFilesSent);
    add("files_received", FFilesReceived);
    add("file_bytes_sent", FBytesSent);
    add("file_bytes_received", FBytesReceived);
    add("chat_sent", FChatSent);
    add("chat_received", FChatReceived);
}

void TSide::Progress()
{
    FLog.Info("files %llu sent, %llu received; chat %llu sent, %llu received",
              static_cast<unsigned long long>(FFilesSent), static_cast<unsigned long long>(FFilesReceived),
              static_cast<unsigned long long>(FChatSent), static_cast<unsigned long long>(FChatReceived));
}

} // namespace orvsoak
