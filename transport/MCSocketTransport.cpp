#include "transport/MCSocketTransport.h"

#include "transport/MCAddress.h"
#include "transport/MCError.h"
#include "transport/MCTime.h"
#include "transport/MCWireFormat.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <thread>

std::uint32_t MCNextConnectionUID() noexcept
{
    static std::atomic<std::uint32_t> counter{0};
    return ++counter;
}

namespace {

// Chunk sizes below 1024 bytes are ignored: the default stands.
std::uint32_t ChunkSize(std::uint32_t configured) noexcept
{
    return configured < 1024 ? 8192 : configured;
}

// Host and port of a remote-address text ("host:port" or "id:host:port").
std::optional<TMCHostPort> HostPortOf(std::string_view remote)
{
    auto parsed = MCParseSourceAddress(remote);
    if (!parsed || !parsed->HasHost)
        return std::nullopt;
    return TMCHostPort{parsed->Host, parsed->Port};
}

bool SameHostPort(std::string_view a, std::string_view b)
{
    auto x = HostPortOf(a);
    auto y = HostPortOf(b);
    return x && y && x->Port == y->Port && MCSameText(x->Host, y->Host);
}

bool IsPoll(const TMCMessageInfo& m)
{
    return m.Kind == mkPoll || m.Kind == mkPollEmpty;
}

bool HasUnsent(const TMCMessageList& list)
{
    return std::any_of(list.begin(), list.end(), [](const TMCMessageInfoPtr& m) { return !m->Sent; });
}

TMCMessageInfoPtr MakePoll(TMCMessageKind kind)
{
    auto poll = std::make_unique<TMCMessageInfo>();
    poll->Created = MCNowUTCDayCount();
    MCGenerateID(poll->TransferIDLo, poll->TransferIDHi);
    poll->Kind = kind;
    poll->DestQueue = "EmptyRequest";
    return poll;
}

TMCTransformers TransformersOf(const TMCBaseTransport& t)
{
    return {t.Compressor, t.Encryptor, t.Sealer};
}

} // namespace

// ================================================================ jobs

// Owns one TCP connection for the whole life of its connection entry.
class TMCSocketTransportJob : public TMCThreadJob
{
public:
    TMCSocketTransportJob(TMCInetTransport& transport, TMCInetConnectionEntry& entry,
                          std::unique_ptr<TMCSocket> socket)
        : T(transport), E(entry), FSocket(std::move(socket)),
          FInBuffer(ChunkSize(transport.IncomingBufferSize)), FReader(transport.MaxMsgSize)
    {
        E.Job = this;
    }

    // From a sender's thread, with the transport's lock held (so the entry and
    // this job stay): writes the next frame at once when the link is idle and
    // nobody is working on it, instead of waking the job for it. False when
    // the job must still be woken (it is busy, the socket did not take it all,
    // or more messages wait).
    bool TrySendNow() noexcept
    {
        if (std::this_thread::get_id() == FWorker.load())
            return false;
        // A link that ends when idle counts its quiet time in the job's poll:
        // frames written past it would not reset it.
        if (T.InactivityTime != 0)
            return false;
        std::unique_lock io(E.IoLock, std::try_to_lock);
        if (!io.owns_lock() || !FLinked || E.Terminated || FSendingFrame || FSocket->HasPendingOutput())
            return false;
        try {
            PickAndBuild();
            // A large frame is the job's to write: encrypting it here would hold the transport's lock.
            if (FSendingFrame && FOutFrame.size() > ChunkSize(T.OutgoingBufferSize))
                return false;
            while (FSendingFrame) {
                const std::size_t before = FOutPos;
                if (!WriteStep() || (FSendingFrame && FOutPos == before))
                    return false; // failed or full: the job finds out when it polls
            }
            if (!FSocket->TryFlush() || FSocket->HasPendingOutput())
                return false;
            E.Unflushed = false;
        } catch (...) {
            return false;
        }
        std::lock_guard lock(E.Lock);
        return !HasUnsent(E.Outgoing);
    }

    void Run() override
    {
        FWorker = std::this_thread::get_id();
        std::int32_t code = MCErr::ConnectionLost;
        try {
            if (E.Accepted)
                RunAccepted();
            else
                RunOutgoing();
        } catch (...) {
            // Whatever escaped (a throwing event handler, memory exhausted by a
            // huge frame), the entry must still end, or its address would be
            // stuck on a connection nobody serves.
        }
        if (!E.Accepted && !FSocket->RemoteResolved())
            code = MCErr::InvalidAddress;
        FSocket->Close();
        // The entry leaves the transport's list but lives as long as this job,
        // so a Terminate() racing with the end still finds it.
        FEndedEntry = T.EndEntry(E, code, E.Terminated.load());
    }

    void Terminate() noexcept override
    {
        E.Terminated = true;
        E.Wakeup.Post(0);
    }

private:
    enum class LinkEnd { Broken, Inactive, Terminated };

    bool AttemptsLeft(bool strict) const
    {
        return T.AttemptsToConnect == 0 ||
               (strict ? E.Attempts < T.AttemptsToConnect : E.Attempts <= T.AttemptsToConnect);
    }

    void RunOutgoing()
    {
        bool linked = false;
        while (!E.Terminated && AttemptsLeft(false)) {
            if (!linked) {
                bool ok = false;
                try {
                    ok = ConnectAttempt();
                    if (ok) {
                        try {
                            ok = ClientHello();
                        } catch (const EMCError& e) {
                            // The TLS layer lost the link while we waited for the hello:
                            // end now; the messages go back to the pending list.
                            if (e.ErrorCode() == MCErr::ConnectionLost)
                                return;
                            ok = false;
                        }
                    }
                } catch (...) {
                    ok = false;
                }
                if (ok) {
                    linked = true;
                    std::lock_guard lock(E.Lock);
                    if (E.ConnectionID == 0 && !E.Current)
                        PollAtHeadLocked();
                    continue;
                }
                FSocket->Close();
                if (E.Terminated)
                    break;
                if (AttemptsLeft(false)) {
                    WaitWake(T.AttemptsInterval);
                } else {
                    if (!FailOne(MCErr::ConnectionFailed))
                        break;
                    E.Attempts = 0;
                }
            } else {
                LinkEnd end = IoLoop();
                if (FAllowed)
                    NotifyDisconnected(TMCSocketSide::Client);
                if (end != LinkEnd::Broken)
                    break;
                DropPartialFrames();
                FSocket->Close();
                if (!AttemptsLeft(true)) {
                    if (!FailOne(MCErr::ConnectionLost))
                        break;
                    E.Attempts = 0;
                }
                WaitWake(T.AttemptsInterval);
                if (!E.Terminated) {
                    std::lock_guard lock(E.Lock);
                    if (!E.Current && (!HasUnsent(E.Outgoing) || E.ConnectionID == 0))
                        PollAtHeadLocked();
                }
                linked = false;
            }
        }
    }

    void RunAccepted()
    {
        try {
            FSocket->SecureHandshake(&E.Wakeup, T.ConnectionTimeout);
        } catch (...) {
            return;
        }
        FAllowed = true;
        if (T.OnConnected)
            T.OnConnected(T, TMCSocketSide::Server, FSocket->RemoteAddress(), FSocket->RemotePort(),
                          FAllowed);
        if (!FAllowed)
            return;
        bool ok = false;
        try {
            ok = ServerHello();
        } catch (...) {
            ok = false;
        }
        if (ok)
            IoLoop();
        NotifyDisconnected(TMCSocketSide::Server);
    }

    void NotifyDisconnected(TMCSocketSide side)
    {
        try {
            if (T.OnDisconnected)
                T.OnDisconnected(T, side, FSocket->RemoteAddress(), FSocket->RemotePort());
        } catch (...) {
            // The application's handler failing changes nothing for the link.
        }
    }

    // ------------------------------------------------------------ connecting

    bool ConnectAttempt()
    {
        ++E.Attempts;
        if (E.Attempts > 1)
            std::this_thread::yield();
        std::string remote;
        std::string dest;
        {
            std::lock_guard lock(E.Lock);
            remote = E.RemoteAddress;
            dest = E.DestAddress;
        }
        // Before the first frame this is the destination; afterwards the address the
        // peer announced about itself, unless it announced 0.0.0.0.
        auto target = HostPortOf(remote);
        if (!target || target->Host.empty() || target->Host == "0.0.0.0")
            target = HostPortOf(dest);
        if (!target)
            throw EMCError(MCErr::InvalidAddress);
        if (FSocket->State() != TMCSocketState::Closed && FSocket->State() != TMCSocketState::Created)
            FSocket->Close();
        FSocket->SetRemoteAddress(target->Host);
        FSocket->SetRemotePort(target->Port);
        if (!FSocket->ConnectWithTimeout(&E.Wakeup, T.ConnectionTimeout))
            return false;
        FSocket->SecureHandshake(&E.Wakeup, T.ConnectionTimeout);
        DropPartialFrames();
        FAllowed = true;
        if (T.OnConnected)
            T.OnConnected(T, TMCSocketSide::Client, target->Host, target->Port, FAllowed);
        return FAllowed;
    }

    void WaitWake(std::uint32_t ms)
    {
        if (ms == 0 || E.Terminated)
            return;
        pollfd fd{E.Wakeup.Fd(), POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&fd, 1, static_cast<int>(ms));
        } while (rc < 0 && errno == EINTR);
        if (rc > 0)
            E.Wakeup.Take();
    }

    // Writes all bytes, waiting for the socket as needed. False on failure or a break.
    bool WriteAll(const std::string& bytes)
    {
        std::size_t pos = 0;
        while (pos < bytes.size() || FSocket->HasPendingOutput()) {
            if (pos < bytes.size()) {
                auto r = FSocket->Write(bytes.data() + pos, bytes.size() - pos);
                if (r.status == TMCIoResult::Ok)
                    pos += r.count;
                else if (r.status != TMCIoResult::WouldBlock)
                    return false;
            }
            FSocket->AfterWriteFlush();
            if (pos >= bytes.size() && !FSocket->HasPendingOutput())
                break;
            if (!WaitSocket(POLLOUT))
                return false;
        }
        return true;
    }

    // Waits for the socket (events) or a wake-up; false on a break, termination or inactivity.
    bool WaitSocket(short events)
    {
        pollfd fds[2] = {{E.Wakeup.Fd(), POLLIN, 0}, {FSocket->Handle(), events, 0}};
        int timeout = T.InactivityTime ? static_cast<int>(T.InactivityTime) : -1;
        for (;;) {
            int rc = ::poll(fds, 2, timeout);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                return false;
            if (fds[0].revents & POLLIN) {
                auto byte = E.Wakeup.Take();
                if ((byte && *byte == 0) || E.Terminated)
                    return false;
            }
            if (fds[1].revents)
                return true;
        }
    }

    // Reads exactly one hello from the peer.
    std::optional<TMCTransformerIDs> ReadHello()
    {
        TMCFrameReader reader(MCHelloLength);
        while (!reader.HasFrame()) {
            if (!FSocket->HasBufferedInput()) {
                // TLS may have to answer while we wait (renegotiation, alerts).
                const short events = POLLIN | (FSocket->HasPendingOutput() ? POLLOUT : 0);
                if (!WaitSocket(events))
                    return std::nullopt;
                FSocket->AfterWriteFlush();
                const bool data = FSocket->ReadableDataCheck();
                FSocket->AfterWriteFlush();
                if (!data)
                    continue;
            }
            std::size_t want = std::min(reader.Wanted(), FInBuffer.size());
            auto r = FSocket->Read(FInBuffer.data(), want);
            if (r.status == TMCIoResult::WouldBlock)
                continue;
            if (r.status != TMCIoResult::Ok)
                return std::nullopt;
            reader.Feed(FInBuffer.data(), r.count);
        }
        return MCParseHello(reader.TakeFrame());
    }

    bool ClientHello()
    {
        const TMCTransformers ours = TransformersOf(T);
        if (!WriteAll(MCBuildHello(MCOwnIdentifiers(ours))))
            return false;
        auto peer = ReadHello();
        if (!peer || MCCheckPeerHello(*peer, ours, T.NoTransformerFallback) != TMCHelloVerdict::Accepted)
            return false;
        std::lock_guard lock(E.Lock);
        E.TransformerIDs = *peer;
        return true;
    }

    bool ServerHello()
    {
        const TMCTransformers ours = TransformersOf(T);
        auto client = ReadHello();
        if (!client)
            return false;
        TMCTransformerIDs answer = MCAnswerHello(*client, ours, T.NoTransformerFallback);
        {
            std::lock_guard lock(E.Lock);
            E.TransformerIDs = answer;
        }
        return WriteAll(MCBuildHello(answer));
    }

    // ------------------------------------------------------------ linked

    LinkEnd IoLoop()
    {
        std::unique_lock io(E.IoLock);
        FLinked = true;
        const LinkEnd end = IoLoopLocked(io);
        if (!io.owns_lock())
            io.lock();
        FLinked = false;
        return end;
    }

    // The linked connection's loop; io is held except while it waits in poll.
    LinkEnd IoLoopLocked(std::unique_lock<std::mutex>& io)
    {
        for (;;) {
            if (E.Terminated)
                return LinkEnd::Terminated;
            try {
                if (!FSendingFrame)
                    PickAndBuild();
                // A new frame is written at once: the socket nearly always takes
                // it, and asking poll() first costs a call per frame. When more
                // wait, the poll below only looks for input before the next one.
                bool moreToSend = false;
                if (FSendingFrame && FOutPos == 0 && !FSocket->HasPendingOutput()) {
                    if (!WriteStep())
                        return LinkEnd::Broken;
                    FSocket->AfterWriteFlush();
                    if (!FSendingFrame && !FSocket->HasPendingOutput()) {
                        E.Unflushed = false;
                        std::lock_guard lock(E.Lock);
                        moreToSend = HasUnsent(E.Outgoing);
                    }
                }
                bool readable = FSocket->HasBufferedInput();
                bool writable = false;
                if (!readable) {
                    const bool wantWrite = FSendingFrame || FSocket->HasPendingOutput();
                    pollfd fds[2] = {
                        {E.Wakeup.Fd(), POLLIN, 0},
                        {FSocket->Handle(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
                    int timeout = T.InactivityTime ? static_cast<int>(T.InactivityTime) : -1;
                    if (moreToSend)
                        timeout = 0;
                    io.unlock();
                    const int rc = ::poll(fds, 2, timeout);
                    const int pollError = errno;
                    io.lock();
                    if (rc < 0 && pollError == EINTR)
                        continue;
                    if (rc < 0)
                        return LinkEnd::Broken;
                    if (rc == 0 && moreToSend)
                        continue;
                    if (rc == 0)
                        return LinkEnd::Inactive;
                    // All wake-ups at once: each waiting one would cost a pass.
                    if ((fds[0].revents & POLLIN) && E.Wakeup.TakeAll())
                        return E.Terminated ? LinkEnd::Terminated : LinkEnd::Broken;
                    if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
                        readable = FSocket->ReadableDataCheck();
                    writable = (fds[1].revents & POLLOUT) != 0;
                }
                if (readable && !ReadStep())
                    return LinkEnd::Broken;
                if (writable) {
                    if (FSendingFrame && !WriteStep())
                        return LinkEnd::Broken;
                    FSocket->AfterWriteFlush();
                }
                if (!FSendingFrame && !FSocket->HasPendingOutput())
                    E.Unflushed = false;
            } catch (const std::exception&) {
                return LinkEnd::Broken; // EMCError from the socket, or no memory for a frame
            }
        }
    }

    bool ReadStep()
    {
        auto r = FSocket->Read(FInBuffer.data(), FInBuffer.size());
        if (r.status == TMCIoResult::WouldBlock)
            return true;
        if (r.status != TMCIoResult::Ok || r.count == 0)
            return false;
        std::size_t offset = 0;
        try {
            while (offset < r.count) {
                std::size_t took = FReader.Feed(FInBuffer.data() + offset, r.count - offset);
                offset += took;
                if (FReader.HasFrame()) {
                    if (!ProcessFrame(FReader.TakeFrame()))
                        return false;
                } else if (took == 0) {
                    return false; // the reader refused bytes without a frame: a broken stream
                }
            }
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    bool WriteStep()
    {
        std::size_t chunk =
            std::min<std::size_t>(ChunkSize(T.OutgoingBufferSize), FOutFrame.size() - FOutPos);
        auto r = FSocket->Write(FOutFrame.data() + FOutPos, chunk);
        if (r.status == TMCIoResult::WouldBlock)
            return true;
        if (r.status != TMCIoResult::Ok)
            return false;
        FOutPos += r.count;
        if (FOutPos >= FOutFrame.size())
            FrameWritten();
        return true;
    }

    void DropPartialFrames()
    {
        FReader.Reset();
        FOutFrame.clear();
        FOutPos = 0;
        FSendingFrame = false;
    }

    void PollAtHeadLocked()
    {
        if (!E.Outgoing.empty() && E.Outgoing.front()->Kind == mkPoll)
            return;
        E.Outgoing.insert(E.Outgoing.begin(), MakePoll(mkPoll));
    }

    static bool KindAllowed(TMCMessageKind kind, bool numbered)
    {
        if (!numbered)
            return kind == mkPoll;
        return kind == mkMessage || kind == mkReply || kind == mkErrorReply || kind == mkPoll ||
               kind == mkPollEmpty;
    }

    void PickAndBuild()
    {
        TMCMessageInfoPtr failed;
        std::int32_t failCode = 0;
        {
            std::lock_guard lock(E.Lock);
            TMCMessageInfo* m = E.Current;
            if (!m) {
                for (auto& candidate : E.Outgoing) {
                    if (!candidate->Sent && KindAllowed(candidate->Kind, E.ConnectionID != 0)) {
                        m = candidate.get();
                        break;
                    }
                }
                if (!m)
                    return;
                m->SavedKind = m->Kind;
                m->Kind = mkSending;
                E.Current = m;
            }
            TMCFrameContext context;
            context.ConnectionID = E.ConnectionID;
            context.LocalAddress = FSocket->LocalAddress();
            context.MessengerPort = T.MessengerPort();
            context.IDs = E.TransformerIDs;
            context.Transformers = TransformersOf(T);
            context.MaxFrameSize = T.MaxMsgSize;
            try {
                FOutFrame = MCBuildMessageFrame(*m, m->SavedKind, context);
                FOutPos = 0;
                FSendingFrame = true;
                E.Unflushed = true;
                return;
            } catch (const EMCError& e) {
                // This message cannot be put on the wire (too large, no transformer): fail it alone.
                failCode = e.ErrorCode();
                E.Current = nullptr;
                m->Kind = m->SavedKind;
                auto it = std::find_if(E.Outgoing.begin(), E.Outgoing.end(),
                                       [m](const TMCMessageInfoPtr& p) { return p.get() == m; });
                failed = std::move(*it);
                E.Outgoing.erase(it);
            }
        }
        T.FailMessage(std::move(failed), failCode);
    }

    void FrameWritten()
    {
        FSendingFrame = false;
        FOutFrame.clear();
        FOutPos = 0;
        TMCMessageInfoPtr done;
        {
            std::lock_guard lock(E.Lock);
            E.Attempts = 0;
            TMCMessageInfo* m = E.Current;
            E.Current = nullptr;
            if (!m)
                return; // it timed out while its frame was on the way
            auto it = std::find_if(E.Outgoing.begin(), E.Outgoing.end(),
                                   [m](const TMCMessageInfoPtr& p) { return p.get() == m; });
            if (m->SavedKind == mkMessage && m->ExpectsReply()) {
                m->Kind = mkMessage;
                m->Sent = true; // waits here for its reply
            } else {
                done = std::move(*it);
                E.Outgoing.erase(it);
            }
        }
    }

    // Fails the current or first message with code; true when messages remain.
    bool FailOne(std::int32_t code)
    {
        TMCMessageInfoPtr victim;
        bool remain;
        {
            std::lock_guard lock(E.Lock);
            // A poll at the head is dropped, also one whose frame was on its way.
            if (!E.Outgoing.empty()) {
                const TMCMessageInfo& head = *E.Outgoing.front();
                const bool poll =
                    head.Kind == mkPoll ||
                    (head.Kind == mkSending && (head.SavedKind == mkPoll || head.SavedKind == mkPollEmpty));
                if (poll) {
                    if (E.Current == E.Outgoing.front().get())
                        E.Current = nullptr;
                    E.Outgoing.erase(E.Outgoing.begin());
                }
            }
            auto it = E.Outgoing.begin();
            if (E.Current)
                it = std::find_if(E.Outgoing.begin(), E.Outgoing.end(),
                                  [this](const TMCMessageInfoPtr& p) { return p.get() == E.Current; });
            if (it != E.Outgoing.end()) {
                victim = std::move(*it);
                E.Outgoing.erase(it);
            }
            E.Current = nullptr;
            remain = !E.Outgoing.empty();
        }
        if (victim) {
            if (victim->Kind == mkSending)
                victim->Kind = victim->SavedKind;
            if (victim->Kind == mkMessage && victim->ExpectsReply())
                T.FailMessage(std::move(victim), code);
        }
        return remain;
    }

    // ------------------------------------------------------------ receiving

    bool ProcessFrame(std::string frame)
    {
        TMCReceivedFrame parsed = MCParseFrame(std::move(frame), T.MaxMsgSize);
        std::string source;
        std::uint32_t id;
        {
            std::lock_guard lock(E.Lock);
            TMCConnectionNumbers numbers{E.ConnectionID, E.ConnectionUID, E.RemoteAddress, E.Accepted};
            source = MCApplySourceAddress(numbers, parsed.SourceAddress,
                                          MCNextConnectionUID); // 12 breaks the link
            E.ConnectionID = numbers.ConnectionID;
            E.RemoteAddress = numbers.RemoteAddress;
            id = E.ConnectionID;
        }

        const TMCTransformers ours = TransformersOf(T);
        bool mismatch = false;
        if (E.Accepted) {
            TMCTransformerIDs own = MCOwnIdentifiers(ours);
            mismatch = !(parsed.IDs == own);
        }
        if (!mismatch) {
            std::lock_guard lock(E.Lock);
            E.TransformerIDs = parsed.IDs;
        }

        TMCReceivedPayload payload;
        try {
            payload = MCReadPayload(parsed, mismatch ? TMCTransformers{} : ours);
        } catch (const EMCError& e) {
            if (e.ErrorCode() == MCErr::InvalidSignature)
                throw;
            return true; // a payload we cannot decode: nothing to answer it with
        }
        TMCMessageInfoPtr info = std::move(payload.Info);
        info->SourceAddress = source;
        info->Transport = &T;
        info->Connection = &E;
        info->ConnectionID = id;
        info->ConnectionUID = E.ConnectionUID;

        switch (info->Kind) {
        case mkMessage: {
            MCGenerateID(info->Message.MsgIDLo, info->Message.MsgIDHi);
            info->Timeout = T.MaxTimeout == 0xFFFFFFFF ? 0 : T.MaxTimeout;
            info->SentTick = MCGetTickCount();
            std::int32_t refusal = 0;
            if (payload.ShortData)
                refusal = MCErr::UnexpectedFailure;
            else if (mismatch)
                refusal = MCErr::TransformerMismatch;
            else if (!parsed.ForwardRoute.empty())
                refusal = MCErr::RoutingNotAllowed; // routing through us is not supported
            if (refusal) {
                if (info->ExpectsReply())
                    QueueErrorReply(std::move(info), refusal);
                return true;
            }
            if (TMCMessenger* messenger = T.Messenger())
                messenger->AcceptMessage(std::move(info), T);
            return true;
        }
        case mkReply:
        case mkErrorReply: CompleteRequest(*info); return true;
        case mkPoll: T.MovePendingForPoll(E); return true;
        default: return true; // empty poll answers and unknown kinds are discarded
        }
    }

    void QueueErrorReply(TMCMessageInfoPtr info, std::int32_t code)
    {
        info->ErrorCode = code;
        info->Kind = mkErrorReply;
        info->DestQueue = "intREPLY";
        info->Message.Data.clear();
        std::swap(info->ReturnRoute, info->ForwardRoute);
        info->ReturnRoute.clear();
        std::lock_guard lock(E.Lock);
        MCInsertOrdered(E.Outgoing, std::move(info));
    }

    void CompleteRequest(const TMCMessageInfo& reply)
    {
        TMCMessageInfoPtr request;
        {
            std::lock_guard lock(E.Lock);
            auto it = std::find_if(E.Outgoing.begin(), E.Outgoing.end(), [&](const TMCMessageInfoPtr& m) {
                return m->TransferIDLo == reply.TransferIDLo && m->TransferIDHi == reply.TransferIDHi &&
                       m->ExpectsReply() && (m->Kind == mkMessage || m->Kind == mkSending);
            });
            if (it == E.Outgoing.end())
                return; // it may have timed out already
            if (E.Current == it->get())
                E.Current = nullptr;
            request = std::move(*it);
            E.Outgoing.erase(it);
        }
        if (request->Message.ReturnData)
            request->Message.Data = reply.Message.Data;
        request->Message.Result = reply.Message.Result;
        request->ErrorCode = reply.ErrorCode;
        request->Kind = reply.Kind;
        if (TMCMessenger* messenger = T.Messenger())
            messenger->CompleteMessage(std::move(request));
    }

    TMCInetTransport& T;
    TMCInetConnectionEntry& E;
    std::unique_ptr<TMCInetConnectionEntry> FEndedEntry;
    std::unique_ptr<TMCSocket> FSocket;
    std::vector<char> FInBuffer;
    TMCFrameReader FReader;
    // The frame being written and the link's state: under E.IoLock once linked.
    std::string FOutFrame;
    std::size_t FOutPos = 0;
    bool FSendingFrame = false;
    bool FLinked = false;
    bool FAllowed = false;
    std::atomic<std::thread::id> FWorker{};
};

// Accepts connections for the accepting side.
class TMCInetListenerJob : public TMCThreadJob
{
public:
    TMCInetListenerJob(TMCInetTransport& transport, std::unique_ptr<TMCSocket> socket)
        : T(transport), FSocket(std::move(socket))
    {
    }

    void Run() override
    {
        while (!FTerminated) {
            pollfd fds[2] = {{FWakeup.Fd(), POLLIN, 0}, {FSocket->Handle(), POLLIN, 0}};
            int rc = ::poll(fds, 2, -1);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc < 0)
                break;
            if (fds[0].revents & POLLIN)
                FWakeup.Take();
            if (fds[1].revents & POLLIN) {
                while (auto accepted = FSocket->Accept()) {
                    try {
                        auto socket = T.SocketFactory().CreateServerSocket();
                        socket->Attach(accepted->fd, accepted->host, accepted->port);
                        T.AddAccepted(std::move(socket));
                    } catch (...) {
                        // One failed accept must not end the listener.
                    }
                }
            }
        }
        FSocket->Close();
    }

    void Terminate() noexcept override
    {
        FTerminated = true;
        FWakeup.Post(0);
    }

private:
    TMCInetTransport& T;
    std::unique_ptr<TMCSocket> FSocket;
    TMCWakeup FWakeup;
    std::atomic<bool> FTerminated{false};
};

// ================================================================ transport

TMCInetTransport::TMCInetTransport() : TMCBaseTransport("SOCKET") {}

TMCInetTransport::~TMCInetTransport()
{
    SetActive(false);
    SetMessenger(nullptr);
}

void TMCInetTransport::SetTransportMode(TMCInetTransportMode value)
{
    const bool wasActive = Active();
    if (wasActive)
        SetActive(false);
    FMode = value;
    if (wasActive)
        SetActive(true);
}

std::string TMCInetTransport::MessengerAddress() const
{
    std::lock_guard lock(FSettingsLock);
    return FMessengerAddress;
}

void TMCInetTransport::SetMessengerAddress(const std::string& value)
{
    const bool wasActive = Active();
    SetActive(false);
    in_addr addr{};
    if (value != "255.255.255.255" && inet_pton(AF_INET, value.c_str(), &addr) != 1)
        throw EMCError(MCErr::InvalidAddress);
    {
        std::lock_guard lock(FSettingsLock);
        FMessengerAddress = value;
    }
    SetActive(wasActive);
}

void TMCInetTransport::SetMessengerPort(std::uint16_t value)
{
    const bool wasActive = Active();
    SetActive(false);
    FMessengerPort = value;
    SetActive(wasActive);
}

void TMCInetTransport::SetUseSocks(bool value) noexcept
{
    FUseSocks = value;
    if (value)
        FUseWebTunneling = false;
}

void TMCInetTransport::SetUseWebTunneling(bool value) noexcept
{
    FUseWebTunneling = value;
    if (value)
        FUseSocks = false;
}

void TMCInetTransport::RefuseUnsupportedSwitches() const
{
    if (FUseSocks)
        throw std::invalid_argument("Connecting through a SOCKS proxy is not supported");
    if (FUseWebTunneling)
        throw std::invalid_argument("Connecting through an HTTP proxy is not supported");
    if (IncomingSpeedLimit != 0 || OutgoingSpeedLimit != 0)
        throw std::invalid_argument("Speed limits are not supported");
    if (UseTempFilesForIncoming || UseTempFilesForOutgoing)
        throw std::invalid_argument("Spooling frames to temporary files is not supported");
}

void TMCInetTransport::ActivationChanged(bool active)
{
    if (active) {
        RefuseUnsupportedSwitches();
        {
            std::lock_guard lock(FLock);
            FStopping = false;
        }
        // A listening transport keeps one more worker: the listener's.
        FPool.SetPoolSize(ThreadPoolSize + (FMode != stmClient ? 1 : 0));
        FPool.ResetStartedJobs();
        if (FMode != stmClient)
            StartListener();
        return;
    }

    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FPool.Stop(); // every job ends and hands its messages back to the pending list
    TMCMessageList failing;
    {
        std::lock_guard lock(FLock);
        for (auto& entry : FEntries) { // jobs that never started
            std::lock_guard entryLock(entry->Lock);
            for (auto& m : entry->Outgoing)
                if (!IsPoll(*m))
                    failing.push_back(std::move(m));
        }
        FEntries.clear();
        for (auto& m : FPending)
            failing.push_back(std::move(m));
        FPending.clear();
    }
    for (auto& m : failing) {
        if (m->Kind == mkSending)
            m->Kind = m->SavedKind;
        FailMessage(std::move(m), MCErr::TransportDeactivated);
    }
}

void TMCInetTransport::StartListener()
{
    auto socket = std::make_unique<TMCSocket>(TMCSocketSide::Server);
    socket->SetLocalAddress(MessengerAddress());
    socket->SetLocalPort(FMessengerPort);
    socket->Bind(ReuseServerPort);
    socket->Listen(5);
    FListeningPort = socket->LocalPort();
    FPool.Queue(std::make_unique<TMCInetListenerJob>(*this, std::move(socket)));
    while (FPool.StartedJobs() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TMCInetConnectionEntry* TMCInetTransport::FindEntryLocked(const TMCMessageInfo& info)
{
    if (info.ConnectionUID != 0) {
        for (auto& e : FEntries)
            if (e->ConnectionUID == info.ConnectionUID)
                return e.get();
        return nullptr;
    }
    for (auto& e : FEntries) {
        std::lock_guard lock(e->Lock);
        if (info.ConnectionID != 0) {
            if (e->ConnectionID == info.ConnectionID &&
                (e->Accepted || SameHostPort(e->RemoteAddress, info.DestAddress) ||
                 SameHostPort(e->DestAddress, info.DestAddress)))
                return e.get();
        } else if (SameHostPort(e->RemoteAddress, info.DestAddress) ||
                   SameHostPort(e->DestAddress, info.DestAddress)) {
            return e.get();
        }
    }
    return nullptr;
}

void TMCInetTransport::QueueToEntry(TMCInetConnectionEntry& entry, TMCMessageInfoPtr info)
{
    {
        std::lock_guard lock(entry.Lock);
        info->Connection = &entry;
        info->ConnectionID = entry.ConnectionID;
        info->ConnectionUID = entry.ConnectionUID;
        MCInsertOrdered(entry.Outgoing, std::move(info));
    }
    // Our callers hold FLock and have seen the transport is not stopping, so
    // the entry's job cannot be destroyed meanwhile.
    if (!entry.Job || !entry.Job->TrySendNow())
        entry.Wakeup.Post(1);
}

void TMCInetTransport::DeliverMessage(TMCMessageInfoPtr info)
{
    info->Transport = this;
    {
        std::lock_guard lock(FLock);
        if (!FStopping) {
            if (TMCInetConnectionEntry* entry = FindEntryLocked(*info)) {
                QueueToEntry(*entry, std::move(info));
                return;
            }
            MCInsertOrdered(FPending, std::move(info));
            CreateConnectionLocked();
            return;
        }
    }
    FailMessage(std::move(info), MCErr::TransportDeactivated);
}

void TMCInetTransport::CreateConnectionLocked()
{
    if (FStopping || FMode == stmServer)
        return;
    // Connections are opened for requests; replies only ride on existing ones.
    auto first = std::find_if(FPending.begin(), FPending.end(),
                              [](const TMCMessageInfoPtr& m) { return m->Kind == mkMessage; });
    if (first == FPending.end())
        return;
    const std::string destination = (*first)->DestAddress;

    // Everything that can fail comes before any message moves, so a failure
    // leaves them waiting in the pending list (to time out or fail with 51).
    auto entry = std::make_unique<TMCInetConnectionEntry>(MCNextConnectionUID(), false);
    std::unique_ptr<TMCSocketTransportJob> job;
    try {
        auto socket = SocketFactory().CreateClientSocket();
        socket->CreateOSSocket();
        job = std::make_unique<TMCSocketTransportJob>(*this, *entry, std::move(socket));
        FEntries.reserve(FEntries.size() + 1);
    } catch (...) {
        return;
    }
    entry->DestAddress = destination;
    entry->RemoteAddress = destination;
    for (auto it = FPending.begin(); it != FPending.end();) {
        if ((*it)->Kind == mkMessage && MCSameHostPort((*it)->DestAddress, destination)) {
            (*it)->Connection = entry.get();
            (*it)->ConnectionID = entry->ConnectionID;
            (*it)->ConnectionUID = entry->ConnectionUID;
            entry->Outgoing.push_back(std::move(*it));
            it = FPending.erase(it);
        } else {
            ++it;
        }
    }
    FEntries.push_back(std::move(entry));
    try {
        FPool.Queue(std::move(job));
    } catch (...) {
        // No thread for it: hand the messages back and forget the entry.
        auto orphan = std::move(FEntries.back());
        FEntries.pop_back();
        for (auto& m : orphan->Outgoing) {
            m->Connection = nullptr;
            m->ConnectionUID = 0;
            MCInsertOrdered(FPending, std::move(m));
        }
    }
}

void TMCInetTransport::AddAccepted(std::unique_ptr<TMCSocket> socket)
{
    std::lock_guard lock(FLock);
    if (FStopping)
        return;
    auto entry = std::make_unique<TMCInetConnectionEntry>(MCNextConnectionUID(), true);
    entry->RemoteAddress = socket->RemoteAddress() + ":" + std::to_string(socket->RemotePort());
    entry->DestAddress = entry->RemoteAddress;
    auto job = std::make_unique<TMCSocketTransportJob>(*this, *entry, std::move(socket));
    FEntries.push_back(std::move(entry));
    FPool.Queue(std::move(job));
}

void TMCInetTransport::SendReply(TMCMessageInfoPtr info)
{
    std::lock_guard lock(FLock);
    if (!FStopping) {
        for (auto& e : FEntries) {
            if (e->ConnectionUID == info->ConnectionUID) {
                QueueToEntry(*e, std::move(info));
                return;
            }
        }
    }
    // Its connection is gone. An accepting side keeps it until the peer polls again.
    if (FMode != stmClient && !FStopping)
        MCInsertOrdered(FPending, std::move(info));
}

void TMCInetTransport::MovePendingForPoll(TMCInetConnectionEntry& entry)
{
    std::lock_guard lock(FLock);
    std::lock_guard entryLock(entry.Lock);
    for (auto it = FPending.begin(); it != FPending.end();) {
        if ((*it)->ConnectionID == entry.ConnectionID &&
            SameHostPort((*it)->SourceAddress, entry.RemoteAddress)) {
            (*it)->Connection = &entry;
            (*it)->ConnectionUID = entry.ConnectionUID;
            MCInsertOrdered(entry.Outgoing, std::move(*it));
            it = FPending.erase(it);
        } else {
            ++it;
        }
    }
    if (!HasUnsent(entry.Outgoing))
        entry.Outgoing.push_back(MakePoll(mkPollEmpty));
}

std::unique_ptr<TMCInetConnectionEntry> TMCInetTransport::EndEntry(TMCInetConnectionEntry& entry,
                                                                   std::int32_t code, bool terminated)
{
    std::unique_ptr<TMCInetConnectionEntry> owned;
    {
        std::lock_guard lock(FLock);
        auto it =
            std::find_if(FEntries.begin(), FEntries.end(),
                         [&](const std::unique_ptr<TMCInetConnectionEntry>& e) { return e.get() == &entry; });
        if (it != FEntries.end()) {
            owned = std::move(*it);
            FEntries.erase(it);
        }
    }
    if (!owned)
        return owned;
    TMCMessageList left;
    {
        std::lock_guard lock(owned->Lock);
        left.swap(owned->Outgoing);
        owned->Current = nullptr;
    }
    ReturnToPending(std::move(left), code, FailOnInactive && terminated);
    return owned;
}

void TMCInetTransport::ReturnToPending(TMCMessageList&& messages, std::int32_t code, bool fail)
{
    TMCMessageList failing;
    {
        std::lock_guard lock(FLock);
        for (auto& m : messages) {
            if (m->Kind == mkSending)
                m->Kind = m->SavedKind;
            if (IsPoll(*m))
                continue;
            // A client's replies belong to the link that is gone; the peer's
            // request times out on its side.
            if (FMode == stmClient && m->Kind != mkMessage)
                continue;
            m->Connection = nullptr;
            m->ConnectionUID = 0;
            if (fail)
                failing.push_back(std::move(m));
            else
                MCInsertOrdered(FPending, std::move(m));
        }
    }
    for (auto& m : failing)
        FailMessage(std::move(m), code);
}

void TMCInetTransport::SweepTimeouts()
{
    const std::uint32_t now = MCGetTickCount();
    TMCMessageList expired;
    auto due = [now](const TMCMessageInfoPtr& m) { return MCTimedOut(m->SentTick, m->Timeout, now); };
    {
        std::lock_guard lock(FLock);
        for (auto it = FPending.begin(); it != FPending.end();) {
            if (due(*it)) {
                expired.push_back(std::move(*it));
                it = FPending.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& e : FEntries) {
            std::lock_guard entryLock(e->Lock);
            for (auto it = e->Outgoing.begin(); it != e->Outgoing.end();) {
                if (due(*it)) {
                    // A frame already on its way is finished from the job's own copy,
                    // so the byte stream stays whole.
                    if (e->Current == it->get())
                        e->Current = nullptr;
                    expired.push_back(std::move(*it));
                    it = e->Outgoing.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    TMCMessenger* messenger = Messenger();
    for (auto& m : expired) {
        m->Kind = mkTimedOut;
        if (messenger)
            messenger->CompleteMessage(std::move(m));
    }
}

std::size_t TMCInetTransport::CountPending()
{
    std::lock_guard lock(FLock);
    std::size_t n = FPending.size();
    for (auto& e : FEntries) {
        std::lock_guard entryLock(e->Lock);
        n += e->Outgoing.size();
    }
    return n;
}

bool TMCInetTransport::HasUnsentReplies()
{
    auto isReply = [](const TMCMessageInfoPtr& m) {
        const TMCMessageKind kind = m->Kind == mkSending ? m->SavedKind : m->Kind;
        return kind == mkReply || kind == mkErrorReply;
    };
    std::lock_guard lock(FLock);
    if (std::any_of(FPending.begin(), FPending.end(), isReply))
        return true;
    for (auto& e : FEntries) {
        if (e->Unflushed)
            return true;
        std::lock_guard entryLock(e->Lock);
        if (std::any_of(e->Outgoing.begin(), e->Outgoing.end(), isReply))
            return true;
    }
    return false;
}

std::size_t TMCInetTransport::CountOutgoingConnections()
{
    std::lock_guard lock(FLock);
    return static_cast<std::size_t>(
        std::count_if(FEntries.begin(), FEntries.end(), [](const auto& e) { return !e->Accepted; }));
}

std::size_t TMCInetTransport::CountAcceptedConnections()
{
    std::lock_guard lock(FLock);
    return static_cast<std::size_t>(
        std::count_if(FEntries.begin(), FEntries.end(), [](const auto& e) { return e->Accepted; }));
}

TMCSocketTransport::TMCSocketTransport() = default;
TMCSocketTransport::~TMCSocketTransport() = default;
