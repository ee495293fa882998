// Fuzzes the file-transfer channel thread with the peer's texts and the
// user's answers; the receiving workers write into a private folder, the
// sending ones read files of ours.
// Input: records split at '\n'. A record whose first byte is 0x01..0x04 is:
//   0x01 N   the user accepts the N-th waiting offer, saving it under its offered name
//   0x02 N   the user deletes the N-th transfer
//   0x03 S   the user offers a file of S * 37 + 1 bytes
//   0x04     the helpdesk leaves, and another joins
// Any other record is a text from the peer; "$N" as its transfer identifier
// stands for the identifier of our N-th offer.
#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvSha256.h"
#include "tests/fuzz/FuzzFolder.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string Upper(std::string_view id)
{
    std::string text(id);
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "save" is where the user saves, "src" holds what we offer.
TFuzzFolder& Folder()
{
    static TFuzzFolder folder;
    static const bool made =
        fs::create_directory(folder.Root / "save") && fs::create_directory(folder.Root / "src");
    Check(made);
    return folder;
}

// A connection that is never switched on; it only tells whether the helpdesk is in the session.
TorvConnection& Connection()
{
    static const std::unique_ptr<TorvConnection> connection = [] {
        orvStartConnectionCore();  // a connection registers with the core's thread,
        orvStopConnectionThread(); // which need not run
        return std::make_unique<TorvConnection>();
    }();
    return *connection;
}

// What the checks know of the transfers; shared with the workers' sends.
struct TKnown
{
    std::mutex Mutex;
    std::map<std::string, std::string> OurFiles;     // id (upper case): the content we offered
    std::map<std::string, std::string> SentData;     // id: the data sent so far
    std::map<std::string, std::int32_t> TheirSizes;  // id: the size the peer announced
    std::map<std::string, std::int32_t> TargetSizes; // path: the largest size accepted into it
    std::map<std::string, int> TargetUsers;          // path: how many transfers were accepted into it
};

// The control thread with what it sends checked and dropped instead of sent.
class TFuzzControl final : public TFileTransferControlThread
{
public:
    explicit TFuzzControl(TKnown& known) : TFileTransferControlThread(Connection(), 1'000'000'000), K(known)
    {
    }
    ~TFuzzControl() override
    {
        // The workers first: they send through this object.
        for (const TTransferPtr& transfer : Transfers())
            transfer->StopWorker();
    }
    TFuzzControl(const TFuzzControl&) = delete;
    TFuzzControl& operator=(const TFuzzControl&) = delete;

    bool Send(const std::string& text) override
    {
        const TTransferMessage message = SplitTransferMessage(text);
        Check(message.Code.size() == 1);
        const std::string id = Upper(message.TransferId);
        std::lock_guard lock(K.Mutex);
        switch (message.Code[0]) {
        case orvFileCode::Data: {
            // Only our files, in pieces, never beyond what they hold.
            const auto file = K.OurFiles.find(id);
            Check(file != K.OurFiles.end());
            Check(!message.Parameter.empty() && message.Parameter.size() <= orvFileChunkSize);
            std::string& sent = K.SentData[id];
            sent += message.Parameter;
            Check(file->second.compare(0, sent.size(), sent) == 0 && sent.size() <= file->second.size());
            break;
        }
        case orvFileCode::Progress: {
            const auto size = K.TheirSizes.find(id);
            Check(size != K.TheirSizes.end());
            Check(std::stoll(message.Parameter) <= size->second);
            break;
        }
        case orvFileCode::Accept: Check(K.TheirSizes.count(id) == 1); break;
        default: break;
        }
        return true;
    }

private:
    TKnown& K;
};

bool SafeName(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.size() > 255)
        return false;
    for (const char c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return true;
}

class TRun
{
public:
    TRun() : FControl(K)
    {
        FControl.SetChannel(orvFileTransferChannel);
        Connection().SetServerConnectionState(scsTotallyConnected);
    }
    ~TRun()
    {
        // Only the files the user accepted exist there (CheckDisk).
        for (const auto& [path, size] : K.TargetSizes)
            ::unlink(path.c_str());
    }
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

    void Record(std::string_view record)
    {
        const unsigned char kind = record.empty() ? 0 : static_cast<unsigned char>(record[0]);
        const unsigned char number = record.size() < 2 ? 0 : static_cast<unsigned char>(record[1]);
        switch (kind) {
        case 0x01: Accept(number); break;
        case 0x02: {
            const std::vector<TTransferPtr> all = FControl.Transfers();
            if (!all.empty())
                FControl.RemoveFile(all[number % all.size()]->TransferId());
            break;
        }
        case 0x03: Offer(number); break;
        case 0x04:
            // The control thread's loop lets every transfer go while no helpdesk is there.
            Connection().SetServerConnectionState(scsRegisteredToServer);
            FControl.RemoveAllFiles();
            Connection().SetServerConnectionState(scsTotallyConnected);
            break;
        default: Receive(record); break;
        }
        Settle();
        CheckState();
        CheckSizes();
    }

    void Finish()
    {
        for (const TTransferPtr& transfer : FControl.Transfers())
            transfer->StopWorker();
        CheckState(true);
        CheckSizes();
        CheckDisk();
    }

private:
    void Receive(std::string_view record)
    {
        std::string text(record);
        // "$N": our N-th offer's identifier, which the peer learned from the offer.
        TTransferMessage message = SplitTransferMessage(text);
        if (message.TransferId.size() == 2 && message.TransferId[0] == '$' && !FOffers.empty()) {
            const std::string& id =
                FOffers[static_cast<unsigned char>(message.TransferId[1]) % FOffers.size()];
            text = message.Code + ":" + id + ":" + message.Parameter;
        }
        message = SplitTransferMessage(text);
        const TTransferPtr before =
            message.TransferId.empty() ? nullptr : FControl.FindTransfer(message.TransferId);
        FControl.AddReceived(text);
        try {
            FControl.HandleQueue();
        } catch (const std::logic_error&) {
            Check(false); // a programming error, not a peer's
        } catch (const std::exception&) {
            // As the loop does: logged, and on to the next.
        }
        // A new offer of theirs: what it announced.
        if (message.TransferId.empty())
            return;
        if (const TTransferPtr transfer = FControl.FindTransfer(message.TransferId);
            transfer && transfer != before && !transfer->IsSending()) {
            std::lock_guard lock(K.Mutex);
            K.TheirSizes[Upper(transfer->TransferId())] = transfer->FileSize();
        }
    }

    // As the panel's Accept: only an offer that waits, saved where the user chose.
    void Accept(unsigned char number)
    {
        std::vector<std::shared_ptr<TReceiveFileThread>> waiting;
        for (const TTransferPtr& transfer : FControl.Transfers())
            if (auto receiving = std::dynamic_pointer_cast<TReceiveFileThread>(transfer);
                receiving && receiving->State() == TTransferState::ConfirmWanted)
                waiting.push_back(receiving);
        if (waiting.empty())
            return;
        TReceiveFileThread& transfer = *waiting[number % waiting.size()];
        const std::string name = transfer.OfferedName();
        Check(SafeName(name)); // the name the save dialog starts with
        const std::string target = (Folder().Root / "save" / name).string();
        {
            std::lock_guard lock(K.Mutex);
            std::int32_t& size = K.TargetSizes[target];
            size = std::max(size, transfer.FileSize());
            ++K.TargetUsers[target];
        }
        transfer.SetTargetPath(target);
        FControl.SendFileAcceptCommand(transfer);
    }

    void Offer(unsigned char sizeByte)
    {
        const std::size_t size = std::size_t{sizeByte} * 37 + 1;
        const fs::path path = Folder().Root / "src" / ("f" + std::to_string(size));
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 7 + sizeByte);
        if (!fs::exists(path))
            std::ofstream(path, std::ios::binary) << content;
        std::shared_ptr<TSendFileThread> transfer = FControl.NewSentFile(path.string());
        {
            std::lock_guard lock(K.Mutex);
            K.OurFiles.emplace(Upper(transfer->TransferId()), content);
        }
        FOffers.push_back(transfer->TransferId());
        FControl.SendFileRequestCommand(*transfer);
    }

    // Whether a worker has done all it can with what it was given so far.
    static bool Idle(TTransferFileThread& transfer)
    {
        if (!transfer.Started() || transfer.Finished() || transfer.Terminated())
            return true;
        if (auto* receiving = dynamic_cast<TReceiveFileThread*>(&transfer))
            return receiving->PendingChunkCount() == 0;
        auto& sending = dynamic_cast<TSendFileThread&>(transfer);
        const TTransferState state = sending.State();
        if (state == TTransferState::SendRequested)
            return false;
        // Sending waits for acknowledgements once a window ahead.
        return state != TTransferState::Sending ||
               std::int64_t{sending.BytesTransferred()} > std::int64_t{sending.AckedBytes()} + 1024;
    }

    void Settle()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (const TTransferPtr& transfer : FControl.Transfers())
            while (!Idle(*transfer)) {
                Check(std::chrono::steady_clock::now() < deadline);
                std::this_thread::yield();
            }
    }

    // After each record from what is cheap to read (a summary hashes); the
    // whole of it at the end and once a transfer has finished.
    void CheckState(bool whole = false)
    {
        for (const TTransferPtr& transfer : FControl.Transfers()) {
            const std::int32_t bytes = transfer->BytesTransferred();
            Check(bytes >= 0 && bytes <= transfer->FileSize());
            const std::int32_t percent = transfer->Percent();
            Check(percent >= 0 && percent <= 100);
            if (transfer->IsSending())
                continue;
            auto& receiving = dynamic_cast<TReceiveFileThread&>(*transfer);
            const bool finished =
                receiving.State() == TTransferState::Finished && FWholeChecked.insert(transfer.get()).second;
            std::optional<TTransferSummary> summary;
            if (whole || finished)
                summary = receiving.Summary();
            const std::string path = summary               ? summary->Path
                                     : receiving.HasFile() ? receiving.TargetPath()
                                                           : "";
            if (path.empty())
                continue;
            // A file is only ever created where the user chose.
            {
                std::lock_guard lock(K.Mutex);
                Check(K.TargetSizes.count(path) == 1);
            }
            // The harness's own map: no worker touches it.
            if (finished && K.TargetUsers[path] == 1) {
                const std::string content = ReadAll(path);
                Check(content.size() == static_cast<std::size_t>(summary->Size));
                Check(TorvSha256::Of(content) == summary->Sha256);
            }
        }
    }

    // No file grows beyond the size announced for it.
    void CheckSizes()
    {
        std::lock_guard lock(K.Mutex);
        for (const auto& [path, size] : K.TargetSizes) {
            struct stat status
            {
            };
            if (::stat(path.c_str(), &status) == 0)
                Check(status.st_size <= size);
        }
    }

    void CheckDisk()
    {
        // Nothing beside our two folders, nothing but those files in "save".
        int entries = 0;
        for (const auto& entry : fs::directory_iterator(Folder().Root)) {
            ++entries;
            Check(entry.path().filename() == "save" || entry.path().filename() == "src");
        }
        Check(entries == 2);
        std::lock_guard lock(K.Mutex);
        for (const auto& entry : fs::directory_iterator(Folder().Root / "save")) {
            Check(entry.is_regular_file());
            const auto size = K.TargetSizes.find(entry.path().string());
            Check(size != K.TargetSizes.end());
            Check(entry.file_size() <= static_cast<std::uintmax_t>(size->second));
        }
    }

    TKnown K;
    TFuzzControl FControl;
    std::vector<std::string> FOffers;
    std::set<const TTransferFileThread*> FWholeChecked; // finished files already read back
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    RedirectDebugLogForTesting(""); // the log would cost more than the channel
    Folder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    TRun run;
    for (std::size_t start = 0; start < input.size();) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        run.Record(input.substr(start, end - start));
        start = end + 1;
    }
    run.Finish();
    return 0;
}
