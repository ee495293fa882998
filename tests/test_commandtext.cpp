// Command texts, the registration record encoding and the result texts.
#include "lib/orvAppUtils.h"

#include <gtest/gtest.h>

namespace {

TRegisteringData Request()
{
    TRegisteringData d;
    d.ProgramVersion = "beta4";
    d.Language = "EN";
    d.SessionID = 1000042;
    return d;
}

// Builds a record text from lines, each ended by 0xFF.
std::string Lines(std::initializer_list<std::string_view> lines)
{
    std::string s;
    for (auto l : lines) {
        s += l;
        s += '\xFF';
    }
    return s;
}

TEST(CommandText, SplitsAtTheFirstColonOnly)
{
    auto p = SplitCommandText("12:host:7000");
    EXPECT_EQ(p.Code, "12");
    EXPECT_EQ(p.Data, "host:7000");

    p = SplitCommandText("5:");
    EXPECT_EQ(p.Code, "5");
    EXPECT_EQ(p.Data, "");

    p = SplitCommandText("no colon here");
    EXPECT_EQ(p.Code, "");
    EXPECT_EQ(p.Data, "no colon here");

    p = SplitCommandText(":x");
    EXPECT_EQ(p.Code, "");
    EXPECT_EQ(p.Data, "x");

    // Binary data travels unchanged, zero bytes included.
    const std::string binary("7:a\0:b\xFF", 7);
    p = SplitCommandText(binary);
    EXPECT_EQ(p.Code, "7");
    EXPECT_EQ(p.Data, std::string("a\0:b\xFF", 5));
}

TEST(CommandText, JoinKeepsTheColonForEmptyData)
{
    EXPECT_EQ(JoinCommand(orvCmd::Leave, ""), "2:");
    EXPECT_EQ(JoinCommand(orvCmd::Acknowledge, "101"), "100:101");
    const auto p = SplitCommandText(JoinCommand("20", "x:y"));
    EXPECT_EQ(p.Code, "20");
    EXPECT_EQ(p.Data, "x:y");
}

TEST(RegisteringData, EncodesOneLinePerFieldEachEndedByFF)
{
    EXPECT_EQ(EncodeRegisteringData(Request()), Lines({"1", "beta4", "EN", "", "1000042", "0", ""}));
    TRegisteringData negative = Request();
    negative.SessionID = -5;
    negative.ResultCode = 103;
    negative.ResultText = "gw2.example:7001";
    EXPECT_EQ(EncodeRegisteringData(negative),
              Lines({"1", "beta4", "EN", "", "-5", "103", "gw2.example:7001"}));
}

TEST(RegisteringData, RoundTrips)
{
    TRegisteringData d = Request();
    d.ResultCode = 150;
    d.ResultText = "a:b";
    const auto back = DecodeRegisteringData(EncodeRegisteringData(d));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, d);
}

TEST(RegisteringData, LineBreaksInTextsBecomeFEAndDecodeAsQuestionMarks)
{
    TRegisteringData d = Request();
    d.Language = "E\r\nN";
    const auto text = EncodeRegisteringData(d);
    EXPECT_EQ(text, Lines({"1", "beta4", "E\xFEN", "", "1000042", "0", ""}));
    auto back = DecodeRegisteringData(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Language, "E?N");
    EXPECT_EQ(back->ResultText, "");

    // Bytes that would end a line or the text must not shift the later fields.
    d.Language = std::string("a\rb\nc\xFF"
                             "d\0e",
                             9);
    back = DecodeRegisteringData(EncodeRegisteringData(d));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Language, "a?b?c?d?e");
    EXPECT_EQ(back->SessionID, 1000042);
}

TEST(RegisteringData, LineCountRules)
{
    // Exactly 7 ended lines decode; the final line end opens no 8th line.
    EXPECT_TRUE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "0", ""})));
    // 6 lines do not.
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "0"})));
    // 9 lines decode from their first 7; the surplus need not be numbers.
    auto d = DecodeRegisteringData(Lines({"1", "v", "EN", "r", "1000001", "0", "t", "x", "y"}));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->SessionID, 1000001);
    EXPECT_EQ(d->Reserved, "r");
    EXPECT_EQ(d->ResultText, "t");
    // A 7th line without its line end still counts.
    d = DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "103"}) + "gw:1");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->ResultText, "gw:1");
    // 6 lines and an extra line end: the 7th line is empty and present.
    EXPECT_TRUE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "0"}) + "\xFF"));
    EXPECT_FALSE(DecodeRegisteringData(""));
    EXPECT_FALSE(DecodeRegisteringData("1"));
}

TEST(RegisteringData, CrLfAndFFEachEndALine)
{
    auto d = DecodeRegisteringData("1\r\nv\rEN\n\xFF"
                                   "5\r\n6\xFFt");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->ProgramVersion, "v");
    EXPECT_EQ(d->Language, "EN");
    EXPECT_EQ(d->Reserved, "");
    EXPECT_EQ(d->SessionID, 5);
    EXPECT_EQ(d->ResultCode, 6);
    EXPECT_EQ(d->ResultText, "t");
    // CR before 0xFF is two line ends (an empty Language line here).
    d = DecodeRegisteringData("1\xFFv\r\xFF"
                              "\xFF"
                              "5\xFF"
                              "6\xFFt\xFF");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Language, "");
    EXPECT_EQ(d->Reserved, "");
    EXPECT_EQ(d->SessionID, 5);
}

TEST(RegisteringData, ZeroByteEndsTheText)
{
    const std::string full = Lines({"1", "v", "EN", "", "0", "0", "t"});
    EXPECT_TRUE(DecodeRegisteringData(full + std::string(1, '\0') + "junk"));
    std::string cut = Lines({"1", "v", "EN", "", "0", "0"});
    cut += '\0';
    cut += "t\xFF";
    EXPECT_FALSE(DecodeRegisteringData(cut));
    EXPECT_FALSE(DecodeRegisteringData(std::string("\0"
                                                   "1\xFF",
                                                   3)));
}

TEST(RegisteringData, VersionAndIntegerLines)
{
    EXPECT_FALSE(DecodeRegisteringData(Lines({"2", "v", "EN", "", "0", "0", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"x", "v", "EN", "", "0", "0", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"", "v", "EN", "", "0", "0", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "12a", "0", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "1.5", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "0x10", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "0", "+-1", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "2147483648", "0", ""})));
    EXPECT_FALSE(DecodeRegisteringData(Lines({"1", "v", "EN", "", "1\xFE", "0", ""}))); // "1?"
    // Only lines 1, 5 and 6 are numbers; the texts may hold anything.
    EXPECT_TRUE(DecodeRegisteringData(Lines({"1", "12a", "", "x", "0", "0", "y"})));

    // Sign, leading zeros and blanks around the digits are accepted.
    auto d = DecodeRegisteringData(Lines({" 01 ", "v", "EN", "", "\t-2147483648", "+203 ", ""}));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->RecordVersion, 1);
    EXPECT_EQ(d->SessionID, -2147483647 - 1);
    EXPECT_EQ(d->ResultCode, 203);
}

TEST(ResultTexts, KnownCodesAndTheDefault)
{
    EXPECT_EQ(ResultText(orvResult::Accepted), "");
    EXPECT_EQ(ResultText(orvResult::Notice), "");
    EXPECT_EQ(ResultText(orvResult::RefusedQuietly), "");
    EXPECT_EQ(ResultText(10), "Unknown error");
    EXPECT_EQ(ResultText(20), "Unable to connect to gateway. Invalid application ID. Please try again.");
    EXPECT_EQ(ResultText(101), "Gateway is busy. Please try to connect again later.");
    EXPECT_EQ(ResultText(301), "Helpdesk closed connection");
    EXPECT_EQ(ResultText(1000), "Your connection was terminated.");
    const std::string fallback = ResultText(-7);
    EXPECT_EQ(fallback.rfind("Connection can\u00B4t be established. Your firewall", 0), 0u);
    EXPECT_TRUE(fallback.ends_with("Please contact the software vendor for more information."));
    for (int code : {orvResult::Redirect, orvResult::Refused, orvResult::CustomerClosed,
                     orvResult::RestartNotPrepared, 102, 999999})
        EXPECT_EQ(ResultText(code), fallback) << code;
}

} // namespace

TEST(ChannelTextEscapes, EveryByteSurvivesTheRoundTripAndBrokenEscapesAreRefused)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string shown = EscapeChannelText(all);
    for (unsigned char c : shown)
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "unprintable byte " << int(c) << " on the console";
    EXPECT_EQ(UnescapeChannelText(shown), all);
    EXPECT_EQ(EscapeChannelText(std::string("a\0\\", 3)), "a\\x00\\\\");
    EXPECT_FALSE(UnescapeChannelText("\\"));
    EXPECT_FALSE(UnescapeChannelText("\\x4"));
    EXPECT_FALSE(UnescapeChannelText("\\q"));
}
