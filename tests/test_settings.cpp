// The settings file path, its gateway list and the parsing of gateway values.
#include "lib/orvConnectionsUtils.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Values = std::vector<std::string>;

Values ReadList(const std::string& content)
{
    orvtest::TempDir dir;
    const auto path = dir.File("customer.ini");
    orvtest::WriteFile(path, content);
    return ReadGatewayList(path);
}

TEST(SettingsPath, ReplacesOrAppendsTheExtension)
{
    EXPECT_EQ(SettingsFilePath("/opt/orv/customer"), "/opt/orv/customer.ini");
    EXPECT_EQ(SettingsFilePath("/opt/orv/customer.bin"), "/opt/orv/customer.ini");
    EXPECT_EQ(SettingsFilePath("/opt/orv/customer.tar.gz"), "/opt/orv/customer.tar.ini");
    // A dot in a folder name is not an extension of the file.
    EXPECT_EQ(SettingsFilePath("/opt/orv.d/customer"), "/opt/orv.d/customer.ini");
    EXPECT_EQ(SettingsFilePath(""), "");
}

TEST(SettingsPath, RunningProgramUsesItsExecutable)
{
    const auto exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(SettingsFilePath(), exe + ".ini"); // test programs have no extension
}

TEST(GatewayList, ReadsKeysInOrderUpToTheFirstGap)
{
    EXPECT_EQ(ReadList("[gateway]\ngateway2=b:2\ngateway1=a:1\ngateway3=c:3\n"),
              (Values{"a:1", "b:2", "c:3"}));
    EXPECT_EQ(ReadList("[gateway]\ngateway1=a:1\ngateway3=c:3\n"), (Values{"a:1"}));
    EXPECT_EQ(ReadList("[gateway]\ngateway2=b:2\n"), Values{});
    // Other sections and keys do not count.
    EXPECT_EQ(ReadList("[other]\ngateway1=x:1\n[Gateway]\nGATEWAY1=a:1\nserver=s:1\n"), (Values{"a:1"}));
}

TEST(GatewayList, TheEndValueEndsTheListAndIsNeverReturned)
{
    EXPECT_EQ(ReadList("[gateway]\ngateway1=a:1\ngateway2=127.0.0.1:6000\ngateway3=c:3\n"), (Values{"a:1"}));
    EXPECT_EQ(ReadList("[gateway]\ngateway1=127.0.0.1:6000\n"), Values{});
    EXPECT_EQ(ReadList("[gateway]\ngateway1=a:1\ngateway2=\"127.0.0.1:6000\"\n"), (Values{"a:1"}));
}

TEST(GatewayList, ValuesAreKeptAsWrittenButTrimmed)
{
    // An empty value is no gap: the list goes on and the caller skips it.
    EXPECT_EQ(ReadList("[gateway]\r\n  gateway1 = http://A:1 \r\ngateway2=\r\n\tgateway3='c:3'\r\n"),
              (Values{"http://A:1", "", "c:3"}));
    // A key given twice: the first value counts.
    EXPECT_EQ(ReadList("[gateway]\ngateway1=a:1\ngateway1=b:2\n"), (Values{"a:1"}));
    // Garbage lines do not hide the good ones.
    EXPECT_EQ(ReadList("[gateway]\nthis is not ini\ngateway1=a:1\n"), (Values{"a:1"}));
}

TEST(GatewayList, MissingOrUnreadableFileIsAnEmptyList)
{
    orvtest::TempDir dir;
    EXPECT_EQ(ReadGatewayList(dir.File("absent.ini")), Values{});
    EXPECT_EQ(ReadGatewayList(dir.Path()), Values{}); // a folder
    EXPECT_EQ(ReadGatewayList(""), Values{});
    const auto locked = dir.File("locked.ini");
    orvtest::WriteFile(locked, "[gateway]\ngateway1=a:1\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    if (geteuid() != 0) { // root reads it anyway
        EXPECT_EQ(ReadGatewayList(locked), Values{});
    }
}

TEST(GatewayValue, SplitsAtTheFirstColonWithAPortUpTo65535)
{
    EXPECT_EQ(ParseGatewayValue("gw.example:7000"), (TorvHostPort{"gw.example", 7000}));
    EXPECT_EQ(ParseGatewayValue("gw:0"), (TorvHostPort{"gw", 0}));
    EXPECT_EQ(ParseGatewayValue("gw:65535"), (TorvHostPort{"gw", 65535}));
    EXPECT_EQ(ParseGatewayValue("gw : 80 "), (TorvHostPort{"gw", 80}));
    EXPECT_FALSE(ParseGatewayValue("gw:65536"));
    EXPECT_FALSE(ParseGatewayValue("gw:99999999999999999999"));
    EXPECT_FALSE(ParseGatewayValue("gw.example"));
    EXPECT_FALSE(ParseGatewayValue("gw:"));
    EXPECT_FALSE(ParseGatewayValue(":7000"));
    EXPECT_FALSE(ParseGatewayValue("gw:-1"));
    EXPECT_FALSE(ParseGatewayValue("gw:+80"));
    EXPECT_FALSE(ParseGatewayValue("gw:80x"));
    EXPECT_FALSE(ParseGatewayValue("gw:1:2")); // the port is everything after the first colon
    EXPECT_FALSE(ParseGatewayValue(""));
}

TEST(GatewayValue, LeadingHttpIsRemovedInAnyLetterCase)
{
    EXPECT_EQ(ParseGatewayValue("http://gw:7000"), (TorvHostPort{"gw", 7000}));
    EXPECT_EQ(ParseGatewayValue("HtTp://gw:7000"), (TorvHostPort{"gw", 7000}));
    EXPECT_FALSE(ParseGatewayValue("http://"));
    EXPECT_FALSE(ParseGatewayValue("https://gw:7000"));
    // Only a leading prefix, and the redirect split keeps the host as it stands.
    EXPECT_EQ(SplitHostAndPort("http:80"), (TorvHostPort{"http", 80}));
    EXPECT_FALSE(SplitHostAndPort("http://gw:7000"));
}

TEST(GatewayResolve, DottedAddressesResolveToThemselves)
{
    EXPECT_EQ(ResolveIPv4("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(ResolveIPv4("127.0.0.1"), "127.0.0.1");
    EXPECT_FALSE(ResolveIPv4(""));
    EXPECT_EQ(GatewayKey("10.1.2.3", 7000), "10.1.2.3:7000");
}

TEST(GatewayResolve, DuplicatesBadValuesAndUnresolvedHostsAreSkipped)
{
    const Values values{"10.0.0.1:7000",        "http://10.0.0.1:7000", "nocolon",      "10.0.0.2:65536",
                        "HTTP://10.0.0.2:7000", "10.0.0.1:7001",        "10.0.0.2:7000"};
    const std::vector<TorvGatewayEndpoint> expected{{"10.0.0.1", 7000, "10.0.0.1:7000"},
                                                    {"10.0.0.2", 7000, "10.0.0.2:7000"},
                                                    {"10.0.0.1", 7001, "10.0.0.1:7001"}};
    EXPECT_EQ(ResolveGatewayList(values), expected);

    // Two names of one address are one gateway; a name that does not resolve is dropped.
    auto fake = [](const std::string& host) -> std::optional<std::string> {
        if (host == "a.example" || host == "b.example")
            return "192.0.2.1";
        return std::nullopt;
    };
    EXPECT_EQ(ResolveGatewayList({"a.example:1", "lost.example:1", "b.example:1"}, fake),
              (std::vector<TorvGatewayEndpoint>{{"192.0.2.1", 1, "192.0.2.1:1"}}));
}

TEST(GatewayResolve, FromFileToEndpoints)
{
    const auto list = ReadList("[gateway]\ngateway1=10.0.0.5:443\ngateway2=http://10.0.0.5:443\n"
                               "gateway3=10.0.0.6:443\ngateway5=10.0.0.7:443\n");
    EXPECT_EQ(ResolveGatewayList(list),
              (std::vector<TorvGatewayEndpoint>{{"10.0.0.5", 443, "10.0.0.5:443"},
                                                {"10.0.0.6", 443, "10.0.0.6:443"}}));
}

} // namespace
