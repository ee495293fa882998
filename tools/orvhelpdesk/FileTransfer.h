#pragma once

// The helpdesk console's end of the file transfers: the same channel-4 thread
// as the customer program, driven from the prompt. Transfers are numbered as
// the thread lists them, from 1; what is remembered about them is kept by
// their identifier, since numbers move when a transfer is removed.

#include "lib/orvFileTransfer.h"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

class THelpdeskFileTransfer
{
public:
    using TSay = std::function<void(const std::string& line)>;

    // thread: the connection's channel-4 thread, which outlives this object's use of it.
    THelpdeskFileTransfer(TFileTransferControlThread& thread, TSay say)
        : FThread(thread), FSay(std::move(say))
    {
    }

    // A typed line; false when it is not one of ours.
    bool Command(const std::string& line);
    // New offers and state changes, each shown once.
    void Poll();

    static constexpr const char* Usage =
        "send <path>, files, accept <n> <target path or folder>, cancel <n> (also refuses an offer)";

private:
    void Send(const std::string& path);
    void List();
    void Accept(const std::string& arguments);
    void Cancel(const std::string& arguments);
    // The transfer numbered by text (from 1), or none after saying why.
    std::optional<std::size_t> Number(const std::string& text, const char* command);
    void Shown(const TTransferPtr& transfer, TTransferState state);

    TFileTransferControlThread& FThread;
    TSay FSay;
    std::map<std::string, TTransferState> FShownStates; // by TransferId
};
