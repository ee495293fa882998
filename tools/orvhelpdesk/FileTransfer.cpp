#include "tools/orvhelpdesk/FileTransfer.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

namespace {

// The text after the command word, or nullopt when the line is another command.
std::optional<std::string> Arguments(const std::string& line, const std::string& word)
{
    if (line == word)
        return std::string();
    if (line.starts_with(word + " "))
        return line.substr(word.size() + 1);
    return std::nullopt;
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Numbered(std::size_t index, TTransferFileThread& transfer)
{
    return std::to_string(index + 1) + " " + transfer.FileName();
}

} // namespace

bool THelpdeskFileTransfer::Command(const std::string& line)
{
    if (auto arguments = Arguments(line, "send"))
        Send(Trimmed(*arguments));
    else if (line == "files")
        List();
    else if (auto arguments = Arguments(line, "accept"))
        Accept(*arguments);
    else if (auto arguments = Arguments(line, "cancel"))
        Cancel(*arguments);
    else
        return false;
    return true;
}

void THelpdeskFileTransfer::Poll()
{
    const std::vector<TTransferPtr> transfers = FThread.Transfers();
    std::set<std::string> listed;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        TTransferFileThread& transfer = *transfers[i];
        const std::string id = transfer.TransferId();
        listed.insert(id);
        const TTransferState state = transfer.State();
        const auto shown = FShownStates.find(id);
        if (shown == FShownStates.end() && !transfer.IsSending()) {
            auto& receiving = static_cast<TReceiveFileThread&>(transfer);
            FSay("file offer: " + std::to_string(i + 1) + " " + receiving.OfferedName() + " (" +
                 std::to_string(receiving.FileSize()) + " bytes)");
            // The offer line tells that it waits; a later state is still shown.
            if (state == TTransferState::ConfirmWanted) {
                FShownStates[id] = state;
                continue;
            }
        }
        if (shown == FShownStates.end() || shown->second != state) {
            FShownStates[id] = state;
            FSay("file " + Numbered(i, transfer) + ": " + TransferStateName(state));
        }
    }
    // A removed transfer's identifier may come again with a new offer.
    std::erase_if(FShownStates, [&](const auto& entry) { return !listed.contains(entry.first); });
}

void THelpdeskFileTransfer::Send(const std::string& path)
{
    if (path.empty()) {
        FSay("file error: send needs a path");
        return;
    }
    std::shared_ptr<TSendFileThread> transfer;
    try {
        transfer = FThread.NewSentFile(path);
    } catch (const std::exception& e) {
        FSay(std::string("file error: ") + e.what());
        return;
    }
    const bool opened = transfer->State() != TTransferState::Failed;
    if (opened)
        FThread.SendFileRequestCommand(*transfer);
    const std::vector<TTransferPtr> transfers = FThread.Transfers();
    const auto at = std::find(transfers.begin(), transfers.end(), transfer);
    const std::string number =
        at == transfers.end() ? std::string("-") : std::to_string(at - transfers.begin() + 1);
    const TTransferState state = transfer->State();
    Shown(transfer, state);
    if (!opened)
        FSay("file error: " + number + " " + path + " cannot be opened");
    else if (state == TTransferState::Failed)
        FSay("file error: " + number + " " + path + " not offered: no customer is in the session");
    else
        FSay("file offered: " + number + " " + path + " (" + std::to_string(transfer->FileSize()) +
             " bytes)");
}

void THelpdeskFileTransfer::List()
{
    const std::vector<TTransferPtr> transfers = FThread.Transfers();
    if (transfers.empty()) {
        FSay("files: none");
        return;
    }
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        TTransferFileThread& transfer = *transfers[i];
        FSay(std::to_string(i + 1) + " " + (transfer.IsSending() ? "send" : "receive") + " " +
             TransferStateName(transfer.State()) + " " + std::to_string(transfer.BytesTransferred()) + "/" +
             std::to_string(transfer.FileSize()) + " " + std::to_string(transfer.Percent()) + "% " +
             transfer.FileName());
    }
}

void THelpdeskFileTransfer::Accept(const std::string& arguments)
{
    const std::string rest = Trimmed(arguments);
    const auto blank = rest.find(' ');
    const auto index = Number(rest.substr(0, blank), "accept");
    if (!index)
        return;
    std::string target = blank == std::string::npos ? std::string() : Trimmed(rest.substr(blank + 1));
    if (target.empty()) {
        FSay("file error: accept needs a target path: accept <n> <target path or folder>");
        return;
    }
    const TTransferPtr transfer = FThread.Transfer(*index);
    if (!transfer) {
        FSay("file error: no file " + std::to_string(*index + 1));
        return;
    }
    auto receiving = std::dynamic_pointer_cast<TReceiveFileThread>(transfer);
    if (!receiving) {
        FSay("file error: " + std::to_string(*index + 1) + " is a file this side sends, not an offer");
        return;
    }
    // Accepting again would truncate a file that its first data may already be reaching.
    if (receiving->HasFile()) {
        FSay("file error: " + Numbered(*index, *receiving) + " has been accepted already");
        return;
    }
    if (receiving->State() != TTransferState::ConfirmWanted) {
        FSay("file error: " + Numbered(*index, *receiving) + " is " + TransferStateName(receiving->State()) +
             ", not waiting to be accepted");
        return;
    }
    // A folder gets the offered name, as a save dialog opened there would.
    std::error_code error;
    if (std::filesystem::is_directory(target, error))
        target = (std::filesystem::path(target) / receiving->OfferedName()).string();
    receiving->SetTargetPath(target);
    FThread.SendFileAcceptCommand(*receiving);
    // Data may follow at once, so only the states that end it early tell of a failure.
    const TTransferState state = receiving->State();
    if (state == TTransferState::Failed)
        FSay("file error: " + Numbered(*index, *receiving) + ": cannot create " + target);
    else if (state == TTransferState::Canceled)
        FSay("file error: " + Numbered(*index, *receiving) + " was canceled meanwhile");
    else
        FSay("file accepted: " + Numbered(*index, *receiving) + " -> " + target);
    // Told just now; any other state, even one reached already, is still shown by Poll.
    if (state == TTransferState::Failed || state == TTransferState::Canceled)
        Shown(receiving, state);
}

void THelpdeskFileTransfer::Cancel(const std::string& arguments)
{
    const auto index = Number(Trimmed(arguments), "cancel");
    if (!index)
        return;
    const TTransferPtr transfer = FThread.Transfer(*index);
    if (!transfer) {
        FSay("file error: no file " + std::to_string(*index + 1));
        return;
    }
    const std::string line = Numbered(*index, *transfer);
    FThread.RemoveFile(transfer->TransferId());
    FSay("file removed: " + line + " (" + TransferStateName(transfer->State()) + ")");
}

std::optional<std::size_t> THelpdeskFileTransfer::Number(const std::string& text, const char* command)
{
    const std::size_t count = FThread.TransferCount();
    const bool digits = !text.empty() && text.size() <= 9 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const std::size_t n = digits ? std::stoul(text) : 0;
    if (count == 0) {
        FSay(std::string("file error: ") + command + ": there are no files");
        return std::nullopt;
    }
    if (n < 1 || n > count) {
        FSay(std::string("file error: ") + command + " needs a file number from 1 to " +
             std::to_string(count) + " (see files)");
        return std::nullopt;
    }
    return n - 1;
}

void THelpdeskFileTransfer::Shown(const TTransferPtr& transfer, TTransferState state)
{
    FShownStates[transfer->TransferId()] = state;
}
