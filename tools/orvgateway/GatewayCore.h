#pragma once

#include "lib/orvAppUtils.h"
#include "tools/orvgateway/GatewayLog.h"
#include "tools/orvgateway/SessionTable.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

enum class TGatewayRole { Unknown, Customer, Helpdesk };

// Customer programs draw their message code from 1000000000 to 1099999999,
// helpdesk programs from 2000000000 on.
TGatewayRole RoleOfMessageCode(std::int32_t msgCode) noexcept;

// The message code of the gateway's own messages (passed-through texts keep their sender's).
inline constexpr std::int32_t orvGatewayMsgCode = 0;

// Test and demo switches: with one of the first two set, every registration
// gets the same answer whatever it asks for.
struct TGatewayRules
{
    std::string RedirectTarget;     // "host:port" for result code 103
    std::optional<int> RefusalCode; // refusal with this result code
    std::uint32_t IdleTimeoutMs = 60000;
};

// Sends one channel text to a connection; address is the destination that
// reaches it, msgCode the code the message carries.
using TGatewaySendFn = std::function<void(TGatewayLinkId to, const std::string& address, int channel,
                                          std::int32_t msgCode, const std::string& text)>;

// The gateway's rules: greeting, registration, pairing customer and helpdesk
// by session code, passing texts between them and ending their parts. Knows
// no transport; everything it says goes through the send function. One
// thread at a time.
class TGatewayCore
{
public:
    TGatewayCore(TGatewayRules rules, TGatewayLog& log, TGatewaySendFn send, std::uint64_t seed);

    // A channel text received from a connection; now is the tick counter in ms.
    void OnText(TGatewayLinkId from, const std::string& address, std::int32_t msgCode, int channel,
                const std::string& text, std::uint32_t now);
    // The connection's socket has closed.
    void OnLinkLost(TGatewayLinkId id);
    // A message to the connection got an error or no reply in time.
    void OnSendFailed(TGatewayLinkId id, int channel, const std::string& reason);
    // Drops the connections that have sent nothing for the idle time.
    void CheckIdle(std::uint32_t now);

    std::size_t LinkCount() const noexcept { return FLinks.size(); }
    std::size_t SessionCount() const noexcept { return FSessions.Count(); }

private:
    struct TLink
    {
        TGatewayLinkId Id = 0;
        std::string Address;
        TGatewayRole Role = TGatewayRole::Unknown;
        int Code = 0;         // session code while in a session
        bool Retired = false; // its part has ended: what it still sends is only answered
        std::uint32_t LastHeard = 0;
    };
    enum class TLeave { Left, Lost, Dropped };

    TLink* FindLink(TGatewayLinkId id);
    void Register(TLink& link, std::int32_t msgCode, const std::string& data);
    void Accept(TLink& link, TGatewayRole role, TRegisteringData record, int code);
    // The acceptance of the link's session, the rest of the record as the request had it.
    void SendRegistered(const TLink& link, TRegisteringData record);
    void Refuse(TLink& link, TRegisteringData record, int resultCode, std::string text);
    void Pass(TLink& from, std::int32_t msgCode, int channel, const std::string& text);
    void Leave(TLink& link, TLeave how);
    void SendTo(const TLink& to, int channel, const std::string& text,
                std::int32_t msgCode = orvGatewayMsgCode);
    static std::string Describe(const TLink& link);

    TGatewayRules FRules;
    TGatewayLog& FLog;
    TGatewaySendFn FSend;
    TGatewaySessionTable FSessions;
    std::map<TGatewayLinkId, TLink> FLinks;
};
