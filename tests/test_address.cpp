// Destination and source-address texts of the socket transport.
#include "transport/MCAddress.h"
#include "transport/MCError.h"

#include <gtest/gtest.h>

namespace {

int DestinationError(const char* text)
{
    try {
        MCParseDestination(text);
    } catch (const EMCError& e) {
        return e.ErrorCode();
    }
    return 0;
}

TEST(Destination, SplitsTheGatewayDestination)
{
    auto d = MCParseDestination("Socket:gw.example:7000|SendNote");
    EXPECT_EQ(d.TransportName, "Socket");
    EXPECT_EQ(d.Address, "gw.example:7000");
    EXPECT_FALSE(d.HasConnection);
    EXPECT_EQ(d.QueueName, "SendNote");
    EXPECT_TRUE(d.ForwardRoute.empty());
    EXPECT_TRUE(MCDestinationMatches("Socket:gw:1|Q", "SOCKET"));
    EXPECT_FALSE(MCDestinationMatches("Sockets:gw:1|Q", "SOCKET"));
}

TEST(Destination, ConnectionPartPathAndRouteAreSeparated)
{
    auto d = MCParseDestination("SOCKET:17\\4:10.0.0.1:7000/some/path|r1|r2|Queue");
    EXPECT_TRUE(d.HasConnection);
    EXPECT_EQ(d.ConnectionID, 17u);
    EXPECT_EQ(d.ConnectionUID, 4u);
    EXPECT_EQ(d.Address, "10.0.0.1:7000");
    EXPECT_EQ(d.Path, "/some/path");
    EXPECT_EQ(d.ForwardRoute, "r1|r2");
    EXPECT_EQ(d.QueueName, "Queue");

    auto bare = MCParseDestination("SOCKET:9:h:1|Q");
    EXPECT_EQ(bare.ConnectionID, 9u);
    EXPECT_EQ(bare.ConnectionUID, 9u);
}

TEST(Destination, MalformedTextsRaiseFive)
{
    EXPECT_EQ(DestinationError("Socket:host:7000"), 5);    // no "|"
    EXPECT_EQ(DestinationError("Socket:|SendNote"), 5);    // empty address
    EXPECT_EQ(DestinationError("Socket:host:7000|"), 5);   // empty queue
    EXPECT_EQ(DestinationError("Socket:host:7000|a|"), 5); // empty queue after a route
    EXPECT_EQ(DestinationError("nocolon"), 5);
    EXPECT_EQ(MCParseDestination("S:h:1|0123456789012345678901234567890123").QueueName.size(), 31u);
}

TEST(SourceAddress, FormsOfTheText)
{
    auto full = MCParseSourceAddress(" 17:192.0.2.7:7001 ");
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->HasConnection);
    EXPECT_EQ(full->ConnectionID, 17u);
    EXPECT_EQ(full->Host, "192.0.2.7");
    EXPECT_EQ(full->Port, 7001);

    auto uid = MCParseSourceAddress("3\\8:h:1");
    ASSERT_TRUE(uid);
    EXPECT_TRUE(uid->HasUID);
    EXPECT_EQ(uid->ConnectionUID, 8u);

    auto trailing = MCParseSourceAddress("12:");
    ASSERT_TRUE(trailing);
    EXPECT_EQ(trailing->ConnectionID, 12u);
    EXPECT_FALSE(trailing->HasHost);

    auto hostPort = MCParseSourceAddress("host:99");
    ASSERT_TRUE(hostPort);
    EXPECT_FALSE(hostPort->HasConnection);
    EXPECT_EQ(hostPort->Host, "host");

    auto bare = MCParseSourceAddress("5");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->ConnectionID, 5u);

    EXPECT_FALSE(MCParseSourceAddress("x:h:1"));
    EXPECT_FALSE(MCParseSourceAddress("1:h:70000"));
    EXPECT_EQ(MCBuildSourceAddress(0, "192.0.2.10", 7000), "0:192.0.2.10:7000");
}

TEST(HostPort, ComparisonIgnoresLetterCaseAndLeadingZeros)
{
    EXPECT_TRUE(MCSameHostPort("GW.Example:7000", "gw.example:07000"));
    EXPECT_FALSE(MCSameHostPort("gw:7000", "gw:7001"));
    EXPECT_FALSE(MCSplitHostPort("gw"));
    EXPECT_FALSE(MCSplitHostPort("gw:65536"));
}

} // namespace
