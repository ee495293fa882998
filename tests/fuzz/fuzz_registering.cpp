// Fuzzes the registration record as the gateway sends it ("11:" and "12:" data)
// and as we write it. The whole input is a received record; the same bytes also
// build a record of our own (two integers, then four texts split at 0x1F) that
// must come back from its encoding.
#include "lib/orvAppUtils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool IsLineByte(char c)
{
    return c == '\r' || c == '\n' || c == '\xFF' || c == '\0' || c == '\xFE';
}

// What a text of ours reads as on the other side: each CR LF pair and each
// other byte that would break the line arrives as one "?".
std::string Received(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        out += IsLineByte(text[i]) ? '?' : text[i];
    }
    return out;
}

// The lines as the record's rules describe them, written independently of the
// decoder: CR LF first becomes one line end, then FF, CR and LF each end a line.
std::vector<std::string> ReferenceLines(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    std::string joined;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        joined += text[i] == '\r' || text[i] == '\n' ? '\xFF' : text[i];
    }
    std::vector<std::string> lines;
    std::string line;
    for (char c : joined) {
        if (c == '\xFF') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// Blanks (and CR, LF) around, an optional sign, one or more digits, 32-bit range.
std::optional<std::int32_t> ReferenceInteger(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::int64_t{1} << 32)
            return std::nullopt;
    }
    value = negative ? -value : value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

void CheckDecoded(std::string_view text)
{
    const std::optional<TRegisteringData> record = DecodeRegisteringData(text);

    const std::vector<std::string> lines = ReferenceLines(text);
    const bool decodes = lines.size() >= 7 && ReferenceInteger(lines[0]) == orvRegisteringDataVersion &&
                         ReferenceInteger(lines[4]) && ReferenceInteger(lines[5]);
    Check(record.has_value() == decodes);
    if (!record)
        return;
    Check(record->RecordVersion == orvRegisteringDataVersion);
    Check(record->SessionID == *ReferenceInteger(lines[4]));
    Check(record->ResultCode == *ReferenceInteger(lines[5]));
    Check(record->ProgramVersion == Received(lines[1]) && record->Language == Received(lines[2]) &&
          record->Reserved == Received(lines[3]) && record->ResultText == Received(lines[6]));

    // A decoded record holds nothing that would not survive our encoding.
    const std::string encoded = EncodeRegisteringData(*record);
    Check(DecodeRegisteringData(encoded) == record);
    // Surplus lines are ignored, whatever they hold.
    Check(DecodeRegisteringData(encoded + std::string(text)) == record);
}

void CheckOwn(std::string_view bytes)
{
    if (bytes.size() < 8)
        return;
    TRegisteringData own;
    std::memcpy(&own.SessionID, bytes.data(), 4);
    std::memcpy(&own.ResultCode, bytes.data() + 4, 4);
    bytes.remove_prefix(8);
    std::string* texts[] = {&own.ProgramVersion, &own.Language, &own.Reserved, &own.ResultText};
    for (std::string* text : texts) {
        const auto split = bytes.find('\x1F');
        *text = std::string(bytes.substr(0, split));
        bytes = split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1);
    }

    const std::string encoded = EncodeRegisteringData(own);
    // Seven lines, each ended by 0xFF, and nothing else that ends a line or the text.
    std::size_t ends = 0;
    for (char c : encoded) {
        ends += c == '\xFF' ? 1 : 0;
        Check(c != '\0' && c != '\r' && c != '\n');
    }
    Check(ends == 7 && encoded.back() == '\xFF');

    TRegisteringData expected = own;
    for (std::string* text :
         {&expected.ProgramVersion, &expected.Language, &expected.Reserved, &expected.ResultText})
        *text = Received(*text);
    Check(DecodeRegisteringData(encoded) == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckDecoded(input);
    CheckOwn(input);
    return 0;
}
