#include "lib/orvSessionReceipt.h"

#include "lib/debugProc.h"
#include "platform/orvFiles.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace fs = std::filesystem;
using TJson = nlohmann::ordered_json;
using TDetails = std::vector<std::pair<std::string, TorvReceiptValue>>;

namespace {

constexpr const char* kFilePrefix = "session-";
constexpr const char* kFileSuffix = ".json";

std::tm LocalTime(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string FormatTime(std::chrono::system_clock::time_point time, const char* format)
{
    const std::tm local = LocalTime(time);
    char text[64];
    const std::size_t size = std::strftime(text, sizeof text, format, &local);
    return std::string(text, size);
}

// ISO 8601 with the local offset: "2026-12-10T09:05:03+01:00".
std::string IsoTime(std::chrono::system_clock::time_point time)
{
    std::string text = FormatTime(time, "%Y-%m-%dT%H:%M:%S%z");
    if (text.size() >= 5)
        text.insert(text.size() - 2, ":");
    return text;
}

// Names and paths come from the helpdesk: control characters and the marks
// that reorder text ("invoice\u202Efdp.exe") would make them read as
// something else, so they show as U+FFFD.
std::string Visible(const std::string& text)
{
    static const std::string kReplacement = "\uFFFD";
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = [&](std::size_t at) {
            return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u;
        };
        const unsigned c = byte(i);
        if (c < 0x20 || c == 0x7F) {
            shown += kReplacement;
        } else if (c == 0xC2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9F) {
            shown += kReplacement; // C1 controls
            ++i;
        } else if (c == 0xE2 && ((byte(i + 1) == 0x80 && (byte(i + 2) == 0x8E || byte(i + 2) == 0x8F ||
                                                          (byte(i + 2) >= 0xAA && byte(i + 2) <= 0xAE))) ||
                                 (byte(i + 1) == 0x81 && byte(i + 2) >= 0xA6 && byte(i + 2) <= 0xA9))) {
            shown += kReplacement; // direction marks, embeddings, overrides and isolates
            i += 2;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string Quoted(const std::string& text)
{
    return "\u201C" + Visible(text) + "\u201D";
}

// A quoted question ends the sentence itself: no second full stop after it.
bool EndsSentence(const std::string& text)
{
    for (const char* end : {".\u201D", "?\u201D", "!\u201D"})
        if (text.ends_with(end))
            return true;
    return false;
}

std::string Grouped(std::int64_t number)
{
    const std::string digits = std::to_string(number);
    const std::size_t sign = number < 0 ? 1 : 0;
    std::string grouped = digits.substr(0, sign);
    for (std::size_t i = sign; i < digits.size(); ++i) {
        if (i > sign && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string ByteCount(std::int64_t bytes)
{
    return Grouped(bytes) + (bytes == 1 ? " byte" : " bytes");
}

struct TActionWords
{
    const char* Key;
    const char* Asked; // "to ..."
    const char* Done;  // "The helpdesk ..."
};

TActionWords Words(TorvHelpdeskAction action)
{
    switch (action) {
    case TorvHelpdeskAction::View: return {"view", "view your desktop", "viewed your desktop"};
    case TorvHelpdeskAction::Control:
        return {"control", "control your mouse and keyboard", "controlled your mouse and keyboard"};
    case TorvHelpdeskAction::Open: return {"open", "open %s on your computer", "opened %s on your computer"};
    case TorvHelpdeskAction::Settings:
        return {"settings", "open your desktop settings", "opened your desktop settings"};
    case TorvHelpdeskAction::Printers: return {"printers", "open your printers", "opened your printers"};
    case TorvHelpdeskAction::CtrlAltDel:
        return {"ctrl-alt-del", "press Ctrl+Alt+Del on your computer",
                "pressed Ctrl+Alt+Del on your computer"};
    case TorvHelpdeskAction::StartKey:
        return {"start-key", "press the start key on your computer",
                "pressed the start key on your computer"};
    case TorvHelpdeskAction::Restart: return {"restart", "restart your computer", "restarted your computer"};
    case TorvHelpdeskAction::LogOff: return {"log-off", "log you off", "logged you off"};
    }
    return {"unknown", "do something unknown", "did something unknown"};
}

std::string WithTarget(const char* words, const std::string& target)
{
    std::string text = words;
    const auto mark = text.find("%s");
    if (mark != std::string::npos)
        text.replace(mark, 2, Quoted(target));
    return text;
}

const char* OutcomeKey(TorvActionOutcome outcome)
{
    switch (outcome) {
    case TorvActionOutcome::Asked: return "asked";
    case TorvActionOutcome::GrantedByAnswer: return "granted";
    case TorvActionOutcome::GrantedByLevel: return "granted-by-level";
    case TorvActionOutcome::Refused: return "refused";
    case TorvActionOutcome::Done: return "done";
    }
    return "unknown";
}

const char* TransferOutcomeKey(TorvTransferOutcome outcome)
{
    switch (outcome) {
    case TorvTransferOutcome::Offered: return "offered";
    case TorvTransferOutcome::Completed: return "completed";
    case TorvTransferOutcome::Cancelled: return "cancelled";
    case TorvTransferOutcome::Failed: return "failed";
    case TorvTransferOutcome::Interrupted: return "interrupted";
    }
    return "unknown";
}

const char* EndKey(TorvEndReason reason)
{
    switch (reason) {
    case TorvEndReason::Disconnect: return "disconnect";
    case TorvEndReason::Gateway: return "gateway";
    case TorvEndReason::Lost: return "connection-lost";
    case TorvEndReason::Closed: return "program-closed";
    case TorvEndReason::Restart: return "restart";
    case TorvEndReason::LogOff: return "log-off";
    }
    return "unknown";
}

std::string CodeText(const char* lead, int code, const std::string& text)
{
    std::string words = lead;
    if (!text.empty())
        words += ": " + text;
    return words + " (code " + std::to_string(code) + ").";
}

std::string EndText(TorvEndReason reason, int code, const std::string& text)
{
    switch (reason) {
    case TorvEndReason::Disconnect: return "You ended the session with Disconnect.";
    case TorvEndReason::Gateway: return CodeText("The gateway ended the session", code, text);
    case TorvEndReason::Lost: return "The connection to the gateway was lost.";
    case TorvEndReason::Closed: return "The program was closed during the session.";
    case TorvEndReason::Restart: return "The session ended for the restart of your computer.";
    case TorvEndReason::LogOff: return "The session ended as you were logged off.";
    }
    return "The session ended.";
}

std::string TransferText(const TorvReceiptTransfer& t)
{
    const std::string size = ByteCount(t.Size);
    if (t.Outcome == TorvTransferOutcome::Offered)
        return t.ToHelpdesk ? "You offered the helpdesk the file " + Quoted(t.Path) + " (" + size + ")."
                            : "The helpdesk offered you the file " + Quoted(t.Name) + " (" + size + ").";
    if (t.Outcome == TorvTransferOutcome::Completed)
        return t.ToHelpdesk ? "Sent " + Quoted(t.Path) + " to the helpdesk: " + ByteCount(t.Bytes) +
                                  ", SHA-256 " + t.Sha256 + "."
                            : "Received " + Quoted(t.Name) + " from the helpdesk and saved it as " +
                                  Quoted(t.Path) + ": " + ByteCount(t.Bytes) + ", SHA-256 " + t.Sha256 + ".";
    std::string text = t.ToHelpdesk ? "The file " + Quoted(t.Path) + " to the helpdesk"
                                    : "The file " + Quoted(t.Name) + " from the helpdesk";
    switch (t.Outcome) {
    case TorvTransferOutcome::Cancelled: text += " was cancelled"; break;
    case TorvTransferOutcome::Failed: text += " failed"; break;
    default: text += " was interrupted"; break;
    }
    text += " after " + Grouped(t.Bytes) + " of " + size + ".";
    if (t.Bytes > 0) {
        text += " SHA-256 of those bytes: " + t.Sha256 + ".";
        if (!t.ToHelpdesk && !t.Path.empty())
            text += " They are in " + Quoted(t.Path) + ".";
    }
    return text;
}

TJson ToJson(const TorvReceiptValue& value)
{
    return std::visit([](const auto& v) { return TJson(v); }, value);
}

// An entry as it stands in the file's "entries", indented to its place there.
// Names come from the peer and paths from the disk: bytes that are not UTF-8
// are replaced rather than failing the whole receipt.
std::string EntryJson(const TorvReceiptEntry& entry)
{
    TJson details = TJson::object();
    for (const auto& [key, value] : entry.Details)
        details[key] = ToJson(value);
    const TJson json = {{"time", IsoTime(entry.Time)},
                        {"event", entry.Event},
                        {"text", entry.Text},
                        {"details", std::move(details)}};
    const std::string flat = json.dump(2, ' ', false, TJson::error_handler_t::replace);
    std::string text = "    ";
    text.reserve(flat.size() + flat.size() / 8);
    for (const char c : flat) {
        text += c;
        if (c == '\n') // never inside a value: the dump escapes line breaks
            text += "    ";
    }
    return text;
}

std::string Html(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string ChatText(int fromHelpdesk, int toHelpdesk)
{
    if (fromHelpdesk == 0 && toHelpdesk == 0)
        return "No chat lines were written.";
    auto lines = [](int n) { return Grouped(n) + (n == 1 ? " line" : " lines"); };
    return "Chat: " + lines(fromHelpdesk) + " from the helpdesk and " + lines(toHelpdesk) +
           " from you. Their text is not kept.";
}

// Keeps the newest `kept` receipts of the folder (the names sort by time),
// never the one being written, whatever the clock did.
void Prune(const std::string& folder, const std::string& own, std::size_t kept)
{
    std::vector<std::string> names;
    std::error_code error;
    const std::string ownName = fs::path(own).filename().string();
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name != ownName && name.starts_with(kFilePrefix) && name.ends_with(kFileSuffix))
            names.push_back(name);
    }
    if (names.size() < kept)
        return;
    std::sort(names.begin(), names.end());
    for (std::size_t i = 0; i + kept <= names.size(); ++i)
        fs::remove(fs::path(folder) / names[i], error);
}

} // namespace

std::string orvAnsweredYes(const std::string& question)
{
    return "you answered Yes to " + Quoted(question);
}

std::string orvPermissionLevelText(std::uint8_t level)
{
    switch (level) {
    case 0:
        return "the helpdesk had to ask before viewing or controlling your desktop and before restarting it";
    case 1:
        return "the helpdesk could view your desktop without asking, but had to ask before controlling it";
    case 2:
        return "the helpdesk could view and control your desktop without asking, but had to ask before "
               "restarting your computer or logging you off";
    default:
        return "the helpdesk could view and control your desktop, restart your computer and log you "
               "off without asking";
    }
}

std::string orvReceiptFolder()
{
    const std::string state = orvUserStateFolder();
    return state.empty() ? state : state + "/sessions";
}

TorvSessionReceipt::TorvSessionReceipt(std::string folder, std::string programName, TClock clock)
    : FFolder(std::move(folder)), FProgramName(std::move(programName)),
      FClock(clock ? std::move(clock) : TClock([] { return std::chrono::system_clock::now(); }))
{
}

void TorvSessionReceipt::Connected(const std::string& host, std::uint16_t port, int sessionCode,
                                   std::chrono::system_clock::time_point pressed)
{
    const std::string gateway = host + ":" + std::to_string(port);
    std::lock_guard lock(FLock);
    FGateway = gateway;
    FSessionCode = sessionCode;
    PutEntryLocked(FEntries.size(), {pressed,
                                     "connected",
                                     {{"gateway", gateway}, {"sessionCode", std::int64_t{sessionCode}}},
                                     "You connected to the gateway " + gateway +
                                         " and got the session code " + std::to_string(sessionCode) + "."});
    WriteLocked();
}

void TorvSessionReceipt::HelpdeskJoined()
{
    Add("helpdesk-joined", {}, "The helpdesk joined the session.");
}

void TorvSessionReceipt::HelpdeskLeft()
{
    Add("helpdesk-left", {}, "The helpdesk left the session.");
}

void TorvSessionReceipt::Permission(std::uint8_t level, const std::string& cause)
{
    bool first = false;
    {
        std::lock_guard lock(FLock);
        first = !FLevel.has_value();
        FLevel = level;
    }
    const std::string words = orvPermissionLevelText(level);
    std::string text =
        first ? "At the start, " + words + " (level " + std::to_string(level) + ", " + cause + ")."
              : "Permission raised to level " + std::to_string(level) + ": " + words + ", because " + cause +
                    (EndsSentence(cause) ? "" : ".");
    Add("permission", {{"level", std::int64_t{level}}, {"atStart", first}, {"cause", cause}},
        std::move(text));
}

void TorvSessionReceipt::DesktopStarted(bool showing)
{
    Add("desktop-started", {{"role", std::string(showing ? "showing" : "watching")}},
        showing ? "Your desktop started being shown to the helpdesk."
                : "You started watching the helpdesk's desktop.");
}

void TorvSessionReceipt::DesktopStopped(bool showing)
{
    Add("desktop-stopped", {{"role", std::string(showing ? "showing" : "watching")}},
        showing ? "Your desktop is no longer shown to the helpdesk."
                : "You stopped watching the helpdesk's desktop.");
}

void TorvSessionReceipt::ViewOnly(bool on)
{
    Add("view-only", {{"on", on}},
        on ? "View only was switched on: the helpdesk could watch, but not use your mouse and keyboard."
           : "View only was switched off: the helpdesk could use your mouse and keyboard.");
}

void TorvSessionReceipt::Transfer(const TorvReceiptTransfer& transfer)
{
    TDetails details{{"direction", std::string(transfer.ToHelpdesk ? "to-helpdesk" : "from-helpdesk")},
                     {"name", transfer.Name},
                     {"path", transfer.Path},
                     {"size", transfer.Size},
                     {"state", std::string(TransferOutcomeKey(transfer.Outcome))}};
    if (transfer.Outcome != TorvTransferOutcome::Offered) {
        details.emplace_back("bytes", transfer.Bytes);
        details.emplace_back("sha256", transfer.Sha256);
    }
    Add("file", std::move(details), TransferText(transfer));
}

void TorvSessionReceipt::Action(TorvHelpdeskAction action, TorvActionOutcome outcome,
                                const std::string& target, const std::string& question)
{
    const TActionWords words = Words(action);
    const std::string asked = WithTarget(words.Asked, target);
    std::string text;
    switch (outcome) {
    case TorvActionOutcome::Asked:
        text = "The helpdesk asked to " + asked + ".";
        if (!question.empty())
            text += " You were asked: " + Quoted(question);
        break;
    case TorvActionOutcome::GrantedByAnswer:
        text = "You allowed the helpdesk to " + asked + " (you answered Yes).";
        break;
    case TorvActionOutcome::GrantedByLevel:
        text = "The helpdesk was allowed to " + asked + " without asking you, by the permission level.";
        break;
    case TorvActionOutcome::Refused:
        text = "You refused to let the helpdesk " + asked + " (you answered No).";
        break;
    case TorvActionOutcome::Done: text = "The helpdesk " + WithTarget(words.Done, target) + "."; break;
    }
    TDetails details{{"action", std::string(words.Key)}, {"outcome", std::string(OutcomeKey(outcome))}};
    if (!target.empty())
        details.emplace_back("target", target);
    if (!question.empty())
        details.emplace_back("question", question);
    Add("action", std::move(details), std::move(text));
}

void TorvSessionReceipt::ChatLine(bool fromHelpdesk)
{
    std::lock_guard lock(FLock);
    ++(fromHelpdesk ? FChatFromHelpdesk : FChatToHelpdesk);
    // A flood of lines must not mean a flood of synced writes: counts written
    // at most once a second go out with the next entry otherwise.
    if (std::chrono::steady_clock::now() - FLastWrite >= std::chrono::seconds(1))
        WriteLocked();
}

void TorvSessionReceipt::Notice(int code, const std::string& text)
{
    Add("notice", {{"code", std::int64_t{code}}, {"message", text}},
        CodeText("Message from the gateway or the helpdesk", code, text));
}

void TorvSessionReceipt::Ended(TorvEndReason reason, int code, const std::string& text)
{
    TDetails details{{"reason", std::string(EndKey(reason))}};
    if (reason == TorvEndReason::Gateway) {
        details.emplace_back("code", std::int64_t{code});
        details.emplace_back("message", text);
    }
    std::lock_guard lock(FLock);
    if (FEntries.empty())
        return; // nothing began
    if (FEndEntry) {
        if (FEndReason != TorvEndReason::Lost || reason == TorvEndReason::Lost)
            return;
        // Made whole first, so that a failure leaves the entry and its text as they were.
        TorvReceiptEntry entry = FEntries[*FEndEntry];
        entry.Details = std::move(details);
        entry.Text = EndText(reason, code, text);
        std::string json = EntryJson(entry);
        FEntries[*FEndEntry] = std::move(entry);
        FEntryJson[*FEndEntry] = std::move(json);
    } else {
        PutEntryLocked(FEntries.size(), {FClock(), "ended", std::move(details), EndText(reason, code, text)});
        FEndEntry = FEntries.size() - 1;
    }
    FEndReason = reason;
    WriteLocked();
}

void TorvSessionReceipt::Add(std::string event, TDetails details, std::string text)
{
    std::lock_guard lock(FLock);
    TorvReceiptEntry entry{FClock(), std::move(event), std::move(details), std::move(text)};
    // What the end brought with it (a desktop or a transfer that stopped)
    // goes before the end, which stays the last word.
    if (FEndEntry) {
        entry.Time = std::max(entry.Time, FEntries[*FEndEntry].Time);
        TorvReceiptEntry end = FEntries[*FEndEntry];
        end.Time = entry.Time;
        std::string endJson = EntryJson(end);
        PutEntryLocked(*FEndEntry, std::move(entry));
        ++*FEndEntry;
        FEntries[*FEndEntry] = std::move(end);
        FEntryJson[*FEndEntry] = std::move(endJson);
    } else {
        PutEntryLocked(FEntries.size(), std::move(entry));
    }
    WriteLocked();
}

void TorvSessionReceipt::PutEntryLocked(std::size_t at, TorvReceiptEntry entry)
{
    std::string json = EntryJson(entry);
    const auto offset = static_cast<std::ptrdiff_t>(at);
    FEntries.insert(FEntries.begin() + offset, std::move(entry));
    try {
        FEntryJson.insert(FEntryJson.begin() + offset, std::move(json));
    } catch (...) {
        FEntries.erase(FEntries.begin() + offset); // the two lists stay in step
        throw;
    }
}

std::vector<TorvReceiptEntry> TorvSessionReceipt::Entries() const
{
    std::lock_guard lock(FLock);
    return FEntries;
}

std::pair<int, int> TorvSessionReceipt::ChatLines() const
{
    std::lock_guard lock(FLock);
    return {FChatFromHelpdesk, FChatToHelpdesk};
}

bool TorvSessionReceipt::HasEnded() const
{
    std::lock_guard lock(FLock);
    return FEndEntry.has_value();
}

std::string TorvSessionReceipt::FilePath() const
{
    std::lock_guard lock(FLock);
    return FFilePath;
}

std::string TorvSessionReceipt::WriteError() const
{
    std::lock_guard lock(FLock);
    return FWriteError;
}

std::string TorvSessionReceipt::AsJson() const
{
    std::lock_guard lock(FLock);
    return JsonLocked();
}

std::string TorvSessionReceipt::JsonLocked() const
{
    TJson json;
    json["receipt"] = "Orvalis session receipt";
    json["version"] = 1;
    json["program"] = FProgramName;
    json["gateway"] = FGateway;
    json["sessionCode"] = FSessionCode;
    json["started"] = FEntries.empty() ? TJson() : TJson(IsoTime(FEntries.front().Time));
    json["ended"] = FEndEntry ? TJson(IsoTime(FEntries[*FEndEntry].Time)) : TJson();
    json["chatLines"] = {{"fromHelpdesk", FChatFromHelpdesk}, {"toHelpdesk", FChatToHelpdesk}};
    json["entries"] = TJson::array();
    std::string text = json.dump(2, ' ', false, TJson::error_handler_t::replace);
    if (FEntryJson.empty())
        return text + "\n";
    // The receipt is written again with every entry and, in a chat, every
    // second: the entries' text is made once, and only joined here.
    constexpr std::string_view kEmptyTail = "[]\n}";
    if (!text.ends_with(kEmptyTail))
        throw std::logic_error("the receipt's entries are not its last key");
    text.resize(text.size() - kEmptyTail.size());
    std::size_t size = text.size() + 16;
    for (const std::string& entry : FEntryJson)
        size += entry.size() + 2;
    text.reserve(size);
    text += "[\n";
    for (std::size_t i = 0; i < FEntryJson.size(); ++i) {
        if (i)
            text += ",\n";
        text += FEntryJson[i];
    }
    text += "\n  ]\n}\n";
    return text;
}

std::string TorvSessionReceipt::AsHtml() const
{
    std::lock_guard lock(FLock);
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<title>What happened in this session</title>\n<style>\n"
                       "body { font-family: sans-serif; margin: 2em; color: #222; }\n"
                       "h1 { font-size: 1.4em; }\n"
                       "table { border-collapse: collapse; }\n"
                       "td, th { text-align: left; vertical-align: top; padding: 4px 12px 4px 0; }\n"
                       "td.time { white-space: nowrap; color: #555; }\n"
                       "p.note { color: #555; font-size: small; }\n"
                       "</style>\n</head>\n<body>\n<h1>What happened in this session</h1>\n";
    if (!FEntries.empty()) {
        html += "<p>Session code " + std::to_string(FSessionCode) + " through the gateway " + Html(FGateway) +
                ", " + FormatTime(FEntries.front().Time, "%Y-%m-%d %H:%M:%S");
        if (FEndEntry)
            html += " to " + FormatTime(FEntries[*FEndEntry].Time, "%H:%M:%S");
        html += ".</p>\n";
    }
    html += "<table>\n<tr><th>Time</th><th>What happened</th></tr>\n";
    for (const TorvReceiptEntry& entry : FEntries)
        html += "<tr><td class=\"time\">" + FormatTime(entry.Time, "%H:%M:%S") + "</td><td>" +
                Html(entry.Text) + "</td></tr>\n";
    html += "</table>\n<p>" + Html(ChatText(FChatFromHelpdesk, FChatToHelpdesk)) + "</p>\n";
    if (!FEndEntry && !FEntries.empty())
        html += "<p>The session has not ended yet.</p>\n";
    html +=
        "<p class=\"note\">Recorded on this computer by " + Html(FProgramName) + ".</p>\n</body>\n</html>\n";
    return html;
}

std::string TorvSessionReceipt::NewFilePathLocked() const
{
    const auto started = FEntries.empty() ? FClock() : FEntries.front().Time;
    const std::string stem = FFolder + "/" + kFilePrefix + FormatTime(started, "%Y%m%d-%H%M%S") + "-" +
                             std::to_string(FSessionCode);
    std::string path = stem + kFileSuffix;
    for (int n = 2; fs::exists(path); ++n)
        path = stem + "-" + std::to_string(n) + kFileSuffix;
    return path;
}

void TorvSessionReceipt::WriteLocked()
{
    if (FFolder.empty())
        return;
    try {
        if (FFilePath.empty()) {
            // The receipts say where files went and what the helpdesk did:
            // only a real folder of this user's own, never through a link.
            orvEnsurePrivateFolder(FFolder, true);
            FFilePath = NewFilePathLocked();
            orvWriteFileAtomically(FFilePath, JsonLocked());
            Prune(FFolder, FFilePath, orvReceiptsKept);
        } else {
            orvWriteFileAtomically(FFilePath, JsonLocked());
        }
        FLastWrite = std::chrono::steady_clock::now();
        FWriteError.clear();
    } catch (const std::exception& e) {
        // The session goes on; the receipt stays in memory and can still be saved by hand.
        if (FWriteError.empty())
            DebugLogFmt("Unable to keep the session receipt: %s", e.what());
        FWriteError = e.what();
    }
}
