#pragma once

// The customer's own record of one session: who joined, what the helpdesk was
// allowed and asked to do, what the desktop and the files went through, and
// how it ended. It is written to a file after every entry, so it survives the
// program being closed or the computer restarted in the middle of a session.
// Chat is only counted, never kept. Safe to use from any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

using TorvReceiptValue = std::variant<std::string, std::int64_t, bool>;

struct TorvReceiptEntry
{
    std::chrono::system_clock::time_point Time;
    std::string Event; // "connected", "permission", "file", ...
    std::vector<std::pair<std::string, TorvReceiptValue>> Details;
    std::string Text; // the same in plain words
};

// What the helpdesk may ask for.
enum class TorvHelpdeskAction {
    View,
    Control,
    Open,
    Settings,
    Printers,
    CtrlAltDel,
    StartKey,
    Restart,
    LogOff
};

enum class TorvActionOutcome {
    Asked, // the customer was asked
    GrantedByAnswer,
    GrantedByLevel, // allowed without asking
    Refused,
    Done, // carried out
};

enum class TorvEndReason {
    Disconnect, // the customer's Disconnect
    Gateway,    // the gateway's code
    Lost,       // the connection went away
    Closed,     // the program was closed during the session
    Restart,    // the helpdesk restarted the computer
    LogOff,     // the helpdesk logged the user off
};

enum class TorvTransferOutcome { Offered, Completed, Cancelled, Failed, Interrupted };

struct TorvReceiptTransfer
{
    bool ToHelpdesk = false;
    std::string Name; // as offered, or the local file's name
    std::string Path; // the local file, or where it is saved (empty until chosen)
    std::int64_t Size = 0;
    std::int64_t Bytes = 0; // actually sent, or written
    std::string Sha256;     // of those bytes, lower-case hex
    TorvTransferOutcome Outcome = TorvTransferOutcome::Offered;
};

// The cause of a permission raised by a question: "you answered Yes to “...”".
std::string orvAnsweredYes(const std::string& question);

// The permission levels in plain words ("the helpdesk must ask before ...").
std::string orvPermissionLevelText(std::uint8_t level);

// "$XDG_STATE_HOME/orvalis/sessions", else "$HOME/.local/state/orvalis/sessions";
// empty when neither variable is set.
std::string orvReceiptFolder();

inline constexpr std::size_t orvReceiptsKept = 50;

class TorvSessionReceipt
{
public:
    using TClock = std::function<std::chrono::system_clock::time_point()>;

    // folder: where the receipt is kept (made on the first entry); empty keeps none.
    TorvSessionReceipt(std::string folder, std::string programName, TClock clock = {});
    TorvSessionReceipt(const TorvSessionReceipt&) = delete;
    TorvSessionReceipt& operator=(const TorvSessionReceipt&) = delete;

    void Connected(const std::string& host, std::uint16_t port, int sessionCode,
                   std::chrono::system_clock::time_point pressed);
    void HelpdeskJoined();
    void HelpdeskLeft();
    // The first call gives the level at the start; later ones a change and its cause.
    void Permission(std::uint8_t level, const std::string& cause);
    void DesktopStarted(bool showing);
    void DesktopStopped(bool showing);
    void ViewOnly(bool on);
    void Transfer(const TorvReceiptTransfer& transfer);
    // target: what is opened (Open only); question: the text the customer was asked.
    void Action(TorvHelpdeskAction action, TorvActionOutcome outcome, const std::string& target = {},
                const std::string& question = {});
    void ChatLine(bool fromHelpdesk);
    // A code the gateway or the helpdesk sent that did not end the session.
    void Notice(int code, const std::string& text);
    // Only the first end counts, except that a lost connection learns its
    // real reason when that comes just after.
    void Ended(TorvEndReason reason, int code = 0, const std::string& text = {});

    std::vector<TorvReceiptEntry> Entries() const;
    std::pair<int, int> ChatLines() const; // from the helpdesk, to the helpdesk
    bool HasEnded() const;
    // Where the receipt is kept; empty until its first entry or when not kept.
    std::string FilePath() const;
    // Why the last write failed; empty when it did not.
    std::string WriteError() const;

    std::string AsJson() const;
    // A page of its own, for a browser.
    std::string AsHtml() const;

private:
    void Add(std::string event, std::vector<std::pair<std::string, TorvReceiptValue>> details,
             std::string text);
    // Inserts at the index, keeping the entry's text for the file beside it.
    void PutEntryLocked(std::size_t at, TorvReceiptEntry entry);
    std::string JsonLocked() const;
    void WriteLocked();
    std::string NewFilePathLocked() const;

    mutable std::mutex FLock; // every field below
    const std::string FFolder;
    const std::string FProgramName;
    const TClock FClock;
    std::vector<TorvReceiptEntry> FEntries;
    std::vector<std::string> FEntryJson; // each entry as the file has it
    std::string FGateway;
    int FSessionCode = 0;
    std::optional<std::uint8_t> FLevel;
    int FChatFromHelpdesk = 0;
    int FChatToHelpdesk = 0;
    std::optional<std::size_t> FEndEntry;
    TorvEndReason FEndReason = TorvEndReason::Lost;
    std::string FFilePath;
    std::string FWriteError;
    std::chrono::steady_clock::time_point FLastWrite;
};
