#include "tools/orvgateway/GatewayCore.h"

#include "lib/orvAppUtils.h"
#include "lib/orvConnections.h"

#include "transport/MCTime.h"

#include <vector>

namespace {

constexpr int LastPassedChannel = 4;

const char* RoleName(TGatewayRole role)
{
    switch (role) {
    case TGatewayRole::Customer: return "customer";
    case TGatewayRole::Helpdesk: return "helpdesk";
    case TGatewayRole::Unknown: break;
    }
    return "connection";
}

} // namespace

TGatewayRole RoleOfMessageCode(std::int32_t msgCode) noexcept
{
    if (msgCode >= 1000000000 && msgCode <= 1099999999)
        return TGatewayRole::Customer;
    if (msgCode >= 2000000000)
        return TGatewayRole::Helpdesk;
    return TGatewayRole::Unknown;
}

TGatewayCore::TGatewayCore(TGatewayRules rules, TGatewayLog& log, TGatewaySendFn send, std::uint64_t seed)
    : FRules(std::move(rules)), FLog(log), FSend(std::move(send)), FSessions(seed)
{
}

TGatewayCore::TLink* TGatewayCore::FindLink(TGatewayLinkId id)
{
    auto it = FLinks.find(id);
    return it == FLinks.end() ? nullptr : &it->second;
}

std::string TGatewayCore::Describe(const TLink& link)
{
    std::string text = std::string(RoleName(link.Role)) + " #" + std::to_string(link.Id);
    if (link.Code != 0)
        text += " (session " + std::to_string(link.Code) + ")";
    return text;
}

void TGatewayCore::SendTo(const TLink& to, int channel, const std::string& text, std::int32_t msgCode)
{
    if (FLog.Verbose())
        FLog.Traffic("send " + Describe(to) + " ch" + std::to_string(channel) + ": " +
                     EscapeChannelText(text));
    FSend(to.Id, to.Address, channel, msgCode, text);
}

void TGatewayCore::OnText(TGatewayLinkId from, const std::string& address, std::int32_t msgCode, int channel,
                          const std::string& text, std::uint32_t now)
{
    auto [it, fresh] = FLinks.try_emplace(from);
    TLink& link = it->second;
    if (fresh) {
        link.Id = from;
        link.Address = address;
    }
    link.LastHeard = now;
    if (FLog.Verbose())
        FLog.Traffic("recv " + Describe(link) + " ch" + std::to_string(channel) + ": " +
                     EscapeChannelText(text));

    const bool command = channel == orvCommandChannel;
    const TorvCommandParts parts = command ? SplitCommandText(text) : TorvCommandParts{};
    if (fresh && !(command && parts.Code == orvCmd::Leave)) {
        FLog.Event("new " + Describe(link) + " from " + address);
        SendTo(link, orvCommandChannel, JoinCommand(orvCmd::Greeting, ""));
    }
    if (link.Retired || channel == orvKeepAliveChannel)
        return; // answered by the reply step, nothing more
    if (channel < orvCommandChannel || channel > LastPassedChannel) {
        FLog.Traffic("  ignored: channel " + std::to_string(channel) + " is not passed on");
        return;
    }
    if (command && parts.Code == orvCmd::Register) {
        Register(link, msgCode, parts.Data);
    } else if (command && parts.Code == orvCmd::Leave) {
        Leave(link, TLeave::Left);
    } else {
        Pass(link, msgCode, channel, text);
    }
}

void TGatewayCore::Register(TLink& link, std::int32_t msgCode, const std::string& data)
{
    std::optional<TRegisteringData> request = DecodeRegisteringData(data);
    if (link.Code != 0) {
        // Registered already: the same answer again, the session stays as it is.
        SendRegistered(link, request.value_or(TRegisteringData{}));
        return;
    }
    if (!request) {
        Refuse(link, TRegisteringData{}, orvResult::InvalidProtocolVersion, "invalid registering data");
        return;
    }
    if (!FRules.RedirectTarget.empty()) {
        Refuse(link, *request, orvResult::Redirect, FRules.RedirectTarget);
        return;
    }
    if (FRules.RefusalCode) {
        Refuse(link, *request, *FRules.RefusalCode, "refused");
        return;
    }

    const std::int64_t requestedCode = std::int64_t{request->SessionID} - orvSessionIDBase;
    const bool validCode =
        requestedCode >= TGatewaySessionTable::MinCode && requestedCode <= TGatewaySessionTable::MaxCode;
    const int code = validCode ? static_cast<int>(requestedCode) : 0;

    switch (RoleOfMessageCode(msgCode)) {
    case TGatewayRole::Customer:
        if (request->SessionID == 0) {
            if (std::optional<int> fresh = FSessions.Create(link.Id))
                Accept(link, TGatewayRole::Customer, *request, *fresh);
            else
                Refuse(link, *request, orvResult::GatewayBusy, "no free session code");
        } else if (!validCode) {
            Refuse(link, *request, orvResult::Rejected, "not a session code");
        } else if (!FSessions.CreateWithCode(code, link.Id)) {
            // Someone holds that code; handing it over would let anyone take a session over.
            Refuse(link, *request, orvResult::GatewayBusy, "session code in use");
        } else {
            Accept(link, TGatewayRole::Customer, *request, code);
        }
        return;
    case TGatewayRole::Helpdesk: {
        TGatewaySession* session = validCode ? FSessions.Find(code) : nullptr;
        if (!session) {
            Refuse(link, *request, orvResult::Rejected, "unknown session code");
        } else if (session->Helpdesk != 0) {
            Refuse(link, *request, orvResult::GatewayBusy, "the session has a helpdesk already");
        } else {
            session->Helpdesk = link.Id;
            const TGatewayLinkId customer = session->Customer;
            Accept(link, TGatewayRole::Helpdesk, *request, code);
            SendTo(link, orvCommandChannel, JoinCommand(orvCmd::HelpdeskJoined, ""));
            if (TLink* c = FindLink(customer))
                SendTo(*c, orvCommandChannel, JoinCommand(orvCmd::HelpdeskJoined, ""));
        }
        return;
    }
    case TGatewayRole::Unknown: break;
    }
    Refuse(link, *request, orvResult::InvalidApplicationID, "message code " + std::to_string(msgCode));
}

void TGatewayCore::Accept(TLink& link, TGatewayRole role, TRegisteringData record, int code)
{
    link.Role = role;
    link.Code = code;
    FLog.Event(Describe(link) + (role == TGatewayRole::Helpdesk ? " joined" : " registered"));
    SendRegistered(link, std::move(record));
}

void TGatewayCore::SendRegistered(const TLink& link, TRegisteringData record)
{
    record.SessionID = orvSessionIDBase + link.Code;
    record.ResultCode = orvResult::Accepted;
    record.ResultText.clear();
    SendTo(link, orvCommandChannel, JoinCommand(orvCmd::Registered, EncodeRegisteringData(record)));
}

void TGatewayCore::Refuse(TLink& link, TRegisteringData record, int resultCode, std::string text)
{
    record.ResultCode = resultCode;
    record.ResultText = std::move(text);
    FLog.Event(Describe(link) + " refused with " + std::to_string(resultCode) + " (" + record.ResultText +
               ")");
    SendTo(link, orvCommandChannel, JoinCommand(orvCmd::RefusedOrRedirect, EncodeRegisteringData(record)));
}

void TGatewayCore::Pass(TLink& from, std::int32_t msgCode, int channel, const std::string& text)
{
    TGatewaySession* session = from.Code != 0 ? FSessions.Find(from.Code) : nullptr;
    TLink* other = nullptr;
    if (session)
        other = FindLink(session->Customer == from.Id ? session->Helpdesk : session->Customer);
    if (!other) {
        FLog.Traffic("  dropped: nobody on the other side");
        return;
    }
    SendTo(*other, channel, text, msgCode);
}

void TGatewayCore::Leave(TLink& link, TLeave how)
{
    const char* why = how == TLeave::Left ? " left" : how == TLeave::Lost ? " lost" : " dropped";
    FLog.Event(Describe(link) + why);
    const bool inSession = link.Code != 0;
    if (TGatewaySession* session = inSession ? FSessions.Find(link.Code) : nullptr) {
        if (session->Customer == link.Id) {
            // Without its customer the session is over, for the helpdesk too.
            const TGatewayLinkId helpdesk = session->Helpdesk;
            FSessions.Remove(link.Code);
            if (TLink* h = FindLink(helpdesk)) {
                SendTo(*h, orvCommandChannel,
                       JoinCommand(orvCmd::SessionEnded, std::to_string(orvResult::Terminated)));
                FLog.Event(Describe(*h) + " ended with the session");
                h->Code = 0;
                h->Retired = true;
            }
        } else if (session->Helpdesk == link.Id) {
            session->Helpdesk = 0;
            if (TLink* c = FindLink(session->Customer))
                SendTo(*c, orvCommandChannel, JoinCommand(orvCmd::HelpdeskLeft, ""));
        }
    }
    // A connection we give up on may still be listening; tell it, it costs nothing if not.
    if (how == TLeave::Dropped && inSession)
        SendTo(link, orvCommandChannel,
               JoinCommand(orvCmd::SessionEnded, std::to_string(orvResult::Terminated)));
    link.Code = 0;
    link.Retired = true;
}

void TGatewayCore::OnLinkLost(TGatewayLinkId id)
{
    TLink* link = FindLink(id);
    if (!link)
        return;
    if (!link->Retired)
        Leave(*link, TLeave::Lost);
    FLinks.erase(id);
}

void TGatewayCore::OnSendFailed(TGatewayLinkId id, int channel, const std::string& reason)
{
    TLink* link = FindLink(id);
    if (!link || link->Retired)
        return;
    FLog.Event("message to " + Describe(*link) + " on channel " + std::to_string(channel) + ": " + reason);
    Leave(*link, TLeave::Dropped); // kept retired so that its other failures are ignored
}

void TGatewayCore::CheckIdle(std::uint32_t now)
{
    std::vector<TGatewayLinkId> idle;
    for (const auto& [id, link] : FLinks)
        if (MCTicksSince(link.LastHeard, now) >= FRules.IdleTimeoutMs)
            idle.push_back(id);
    for (TGatewayLinkId id : idle) {
        TLink& link = FLinks.at(id);
        if (!link.Retired) {
            FLog.Event(Describe(link) + " sent nothing for " + std::to_string(FRules.IdleTimeoutMs) + " ms");
            Leave(link, TLeave::Dropped);
        }
        FLinks.erase(id);
    }
}
