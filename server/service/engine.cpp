// Engine: connections, input framing, output queues, time and the domain's events.
#include "service/engine.h"

#include <algorithm>
#include <limits>

#include "protocol/log.h"

namespace lapid {

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

const char *InvalidText(InvalidReason r) {
    switch (r) {
        case InvalidReason::kNegativeResponseTime:
            return "negative responseTime";
        case InvalidReason::kIntervalTooShort:
            return "periodic interval below 1 s";
        case InvalidReason::kPeriodicBlocking:
            return "periodic request in blocking mode";
        case InvalidReason::kNone:
            break;
    }
    return "invalid";
}

}  // namespace

Engine::Engine(const Clock &clock, Domain domain, EngineLimits limits, int32_t serverPid)
    : clock_(clock),
      d_(domain),
      limits_(limits),
      pid_(serverPid),
      sourceState_(domain.source.State()) {
    // The receiver is switched on with the server; fixStatus follows the source.
    StatusSnapshot s = d_.status.Current();
    s.hwStatus = static_cast<int32_t>(HwStatus::kOn);
    s.fixStatus = static_cast<int32_t>(sourceState_);
    d_.status.Apply(s);
}

// ---------------------------------------------------------------------------------
// Connections
// ---------------------------------------------------------------------------------

ConnId Engine::Open(PeerCred peer) {
    const ConnId id = nextConn_++;
    Connection &c = conns_[id];
    c.id = id;
    c.peer = peer;
    ++counters_.connectionsTotal;
    std::size_t &held = perUid_[peer.uid];
    if (held >= limits_.maxConnsPerUid) {
        ++counters_.connectionsRefusedUid;
        LAPID_ERR("uid %u holds %zu connections, refusing connection %llu!", peer.uid, held,
                  static_cast<unsigned long long>(id));
        c.admitted = false;
        Drop(c);
        return id;
    }
    ++held;
    SetDeadline(id, clock_.MonoMs() + limits_.registerTimeoutMs);
    return id;
}

Engine::Connection *Engine::FindConn(ConnId id) {
    auto it = conns_.find(id);
    return it == conns_.end() ? nullptr : &it->second;
}

const Engine::Connection *Engine::FindConn(ConnId id) const {
    auto it = conns_.find(id);
    return it == conns_.end() ? nullptr : &it->second;
}

Engine::Client *Engine::FindClient(int32_t globalId) {
    auto it = clients_.find(globalId);
    return it == clients_.end() ? nullptr : &it->second;
}

void Engine::Touch(Connection &c) {
    if (!c.touched) {
        c.touched = true;
        touched_.push_back(c.id);
    }
}

void Engine::Receive(ConnId id, const uint8_t *data, std::size_t len) {
    Connection *c = FindConn(id);
    if (c == nullptr || c->closing || c->dropped) {
        return;
    }
    c->in.Append(data, len);
    ProcessInput(*c);
    Settle();
}

void Engine::ProcessInput(Connection &c) {
    std::span<const uint8_t> m;
    while (!c.awaitingBlock && !c.closing && !c.dropped) {
        const MessageFramer::Status st = c.in.Next(m);
        if (st == MessageFramer::Status::kNeedMore) {
            break;
        }
        if (st == MessageFramer::Status::kTooLong) {
            ++counters_.framingErrors;
            LAPID_ERR("msgLen: %d > %d, closing connection %llu (client %d)!", c.in.BadLength(),
                      static_cast<int>(MessageFramer::kMaxBodyLen),
                      static_cast<unsigned long long>(c.id), c.client);
            c.role == Role::kNew ? Drop(c) : ReleaseClient(c.client, Reason::kProtocol);
            return;
        }
        HandleMessage(c, m);
    }
    if (!c.closing && !c.dropped && c.in.Buffered() > limits_.maxInputBytes) {
        ++counters_.framingErrors;
        LAPID_ERR("%zu bytes of unhandled input, closing connection %llu (client %d)!",
                  c.in.Buffered(), static_cast<unsigned long long>(c.id), c.client);
        c.role == Role::kNew ? Drop(c) : ReleaseClient(c.client, Reason::kProtocol);
    }
}

void Engine::HandleMessage(Connection &c, std::span<const uint8_t> m) {
    ++counters_.messagesIn;
    LAPID_TRACE_MSG(m.data(), m.size());
    if (c.role == Role::kNew) {
        HandleFirstMessage(c, m);
        return;
    }
    Client *cl = FindClient(c.client);
    if (cl == nullptr || cl->released) {
        Drop(c);
        return;
    }
    if (c.role == Role::kAsync) {
        ++counters_.registrationsRefused;
        LAPID_ERR("Message on the asynchronous connection of client %d, closing it!", c.client);
        ReleaseClient(c.client, Reason::kProtocol);
        return;
    }
    if (!cl->async) {
        ++counters_.registrationsRefused;
        LAPID_ERR("Request before registration completed, client %d, closing it!", c.client);
        ReleaseClient(c.client, Reason::kProtocol);
        return;
    }
    const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(m.data());
    if (h.msgId == LAPI_MSG_UNREGISTER_REQ && h.msgLen == 0) {
        HandleUnregister(c, *cl);
        return;
    }
    HandleRequest(c, *cl, m);
}

void Engine::Drop(Connection &c) {
    c.dropped = true;
    queued_ -= c.out.Size();
    c.out.Clear();
    ClearDeadline(c.id, c.deadlineMs);
    Touch(c);
}

void Engine::Closed(ConnId id) {
    Connection *c = FindConn(id);
    if (c == nullptr) {
        return;
    }
    if (c->role != Role::kNew) {
        ReleaseClient(c->client, Reason::kDisconnected);
    }
    ClearDeadline(id, c->deadlineMs);
    queued_ -= c->out.Size();
    if (auto held = perUid_.find(c->peer.uid); c->admitted && held != perUid_.end()) {
        if (--held->second == 0) {
            perUid_.erase(held);
        }
    }
    conns_.erase(id);
    Settle();
}

std::vector<ConnId> Engine::TakeTouched() {
    std::vector<ConnId> out;
    out.swap(touched_);
    std::erase_if(out, [this](ConnId id) {
        Connection *c = FindConn(id);
        if (c != nullptr) {
            c->touched = false;
        }
        return c == nullptr;
    });
    return out;
}

std::span<const uint8_t> Engine::Pending(ConnId id) const {
    const Connection *c = FindConn(id);
    return c == nullptr ? std::span<const uint8_t>{} : c->out.Data();
}

void Engine::Consume(ConnId id, std::size_t n) {
    if (Connection *c = FindConn(id)) {
        n = std::min(n, c->out.Size());
        queued_ -= n;
        c->out.Consume(n);
    }
}

bool Engine::WantsClose(ConnId id) const {
    const Connection *c = FindConn(id);
    return c == nullptr || c->dropped || (c->closing && c->out.Empty());
}

// ---------------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------------

void Engine::Send(ConnId id, const WireMsg &m) {
    Connection *c = FindConn(id);
    if (c == nullptr || c->closing || c->dropped) {
        return;
    }
    LAPID_TRACE_MSG(m.bytes.data(), m.size);
    c->out.Append(m.View());
    queued_ += m.View().size();
    ++counters_.messagesOut;
    Touch(*c);
    if (c->out.Size() > limits_.maxBacklog) {
        ++counters_.disconnectsSlowReader;
        LAPID_ERR("Backlog of %zu bytes passes %zu on connection %llu, disconnecting client %d!",
                  c->out.Size(), limits_.maxBacklog, static_cast<unsigned long long>(id),
                  c->client);
        c->role == Role::kNew ? Drop(*c) : ReleaseClient(c->client, Reason::kSlowReader);
    }
    LimitTotalBacklog();
}

// All connections together may hold at most maxTotalBacklog unsent bytes: past it, the
// client of the connection that holds the most is disconnected, until the total fits.
void Engine::LimitTotalBacklog() {
    while (queued_ > limits_.maxTotalBacklog) {
        Connection *most = nullptr;
        for (auto &[id, c] : conns_) {
            if (!c.dropped && (most == nullptr || c.out.Size() > most->out.Size())) {
                most = &c;
            }
        }
        if (most == nullptr || most->out.Empty()) {
            return;
        }
        ++counters_.disconnectsTotalBacklog;
        LAPID_ERR("%zu unsent bytes in all pass %zu, disconnecting client %d (%zu bytes)!", queued_,
                  limits_.maxTotalBacklog, most->client, most->out.Size());
        // Drops its connections at once, so their bytes leave the total.
        most->role == Role::kNew ? Drop(*most) : ReleaseClient(most->client, Reason::kSlowReader);
        if (!most->dropped) {
            Drop(*most);
        }
    }
}

void Engine::SendToAsync(int32_t globalId, const WireMsg &m) {
    Client *cl = FindClient(globalId);
    if (cl != nullptr && !cl->released && cl->async) {
        Send(*cl->async, m);
    }
}

// Releases the clients marked during the work just done and lets synchronous
// connections whose blocking answer went out read on. Called at the end of every
// entry point, never while iterating over clients or connections.
void Engine::Settle() {
    while (!toRelease_.empty() || !toResume_.empty()) {
        if (!toRelease_.empty()) {
            const int32_t gid = toRelease_.back();
            toRelease_.pop_back();
            if (Client *cl = FindClient(gid)) {
                FinishRelease(*cl);
            }
            continue;
        }
        const ConnId id = toResume_.back();
        toResume_.pop_back();
        if (Connection *c = FindConn(id)) {
            ProcessInput(*c);
        }
    }
    FollowDemand();
}

// ---------------------------------------------------------------------------------
// Time and the position source
// ---------------------------------------------------------------------------------

void Engine::OnTime() {
    d_.source.Tick(clock_.MonoMs());
    PollSource();
    Deliver(d_.sessions.Tick());
    Deliver(d_.mtlr.Tick());
    ExpireRegistrations();
    Settle();
}

std::optional<int64_t> Engine::NextDeadlineMs() const {
    int64_t next = d_.source.NextDeadlineMs();
    for (const std::optional<int64_t> &d :
         {d_.sessions.NextDeadlineMs(), d_.mtlr.NextDeadlineMs()}) {
        if (d) {
            next = std::min(next, *d);
        }
    }
    if (!deadlines_.empty()) {
        next = std::min(next, deadlines_.begin()->first);
    }
    if (next == std::numeric_limits<int64_t>::max()) {
        return std::nullopt;
    }
    return next;
}

void Engine::OnSourceReadable() {
    d_.source.OnReadable();
    PollSource();
}

void Engine::PollSource() {
    CollectSource(SourceChange::kOwn);
}

void Engine::CollectSource(SourceChange why) {
    for (const SourceNotice &n : d_.source.TakeNotices()) {
        if (n.failure) {
            LAPID_ERR("%s!", n.text.c_str());
        } else {
            LAPID_INFO("%s", n.text.c_str());
        }
    }
    std::vector<Fix> fixes = d_.source.TakeNewFixes();
    const FixState state = d_.source.State();
    const bool changed = state != sourceState_;
    sourceState_ = state;
    // A fix that was just acquired is announced before the first fix goes out; a lost
    // fix after the last fixes produced before the loss.
    if (changed && state == FixState::kFix) {
        FollowSourceState(state, why);
    }
    for (const Fix &f : fixes) {
        Deliver(d_.sessions.OnFix(f));
        DeliverHits(d_.proximity.OnFix(f));
    }
    if (changed && state != FixState::kFix) {
        d_.sessions.OnFixLost();
        FollowSourceState(state, why);
    }
    Settle();
}

// A receiver put to sleep because nobody needs fixes has not failed to fix: the result
// of the last attempt stays as it was.
void Engine::FollowSourceState(FixState state, SourceChange why) {
    StatusSnapshot s = d_.status.Current();
    s.fixStatus = static_cast<int32_t>(state);
    if (state == FixState::kFix) {
        s.fixResultStatus = static_cast<int32_t>(FixResult::kSuccess);
        s.fixResultCause = static_cast<int32_t>(FixResultCause::kNone);
    } else if (state == FixState::kNoFix && why == SourceChange::kOwn) {
        s.fixResultStatus = static_cast<int32_t>(FixResult::kFailure);
        s.fixResultCause = static_cast<int32_t>(FixResultCause::kNoSignal);
    }
    Broadcast(d_.status.Apply(s).changed);
}

// Called at the end of every entry point (Settle); the source hears of changes only.
// What the source does about them (a watch that fails, say) is collected at once.
void Engine::FollowDemand() {
    const bool wanted =
        d_.sessions.SessionCount() > 0 || d_.proximity.TotalCount() > 0 || statusClients_ > 0;
    if (wanted != demand_) {
        demand_ = wanted;
        d_.source.SetDemand(wanted);
        CollectSource(wanted ? SourceChange::kOwn : SourceChange::kPutToSleep);
    }
}

void Engine::FollowProximityCount() {
    const auto want =
        static_cast<int32_t>(d_.proximity.TotalCount() > 0 ? ProximityMonitoring::kActive
                                                           : ProximityMonitoring::kInactive);
    if (d_.status.Current().proximityStatus != want) {
        Broadcast(d_.status.Set(StatusField::kProximityStatus, want).changed);
    }
}

// ---------------------------------------------------------------------------------
// Events of the domain layer
// ---------------------------------------------------------------------------------

void Engine::Deliver(const LocationAnswer &a) {
    Client *cl = FindClient(a.client);
    if (cl == nullptr || cl->released) {
        return;
    }
    if (a.kind == LocationAnswer::Kind::kInvalidRequest) {
        ++counters_.invalidRequests;
        if (MayLogError(*cl)) {
            LAPID_ERR("Invalid getLocationReq from client %d: %s!", a.client,
                      InvalidText(a.invalidReason));
        }
    }
    Answer(*cl, a.blocking, msg::Location(pid_, a));
    if (a.blocking) {
        if (Connection *sync = FindConn(cl->sync); sync != nullptr && sync->awaitingBlock) {
            sync->awaitingBlock = false;
            toResume_.push_back(sync->id);
        }
    }
}

void Engine::Deliver(const std::vector<LocationAnswer> &answers) {
    for (const LocationAnswer &a : answers) {
        Deliver(a);
    }
}

void Engine::Deliver(const MtlrEvents &events) {
    for (const MtlrNotify &n : events.notify) {
        SendToAsync(n.client, msg::LocationNotificationInd(pid_, n));
    }
    for (const MtlrStatus &s : events.status) {
        SendToAsync(s.client, msg::NotificationStatusInd(pid_, s));
    }
}

void Engine::DeliverHits(const std::vector<ProximityHit> &hits) {
    for (const ProximityHit &h : hits) {
        SendToAsync(h.client, msg::ProximityHitInd(pid_, h));
    }
}

void Engine::Broadcast(const std::optional<StatusSnapshot> &changed) {
    if (!changed) {
        return;
    }
    const WireMsg m = msg::StatusChangeInd(pid_, *changed);
    for (auto &[gid, cl] : clients_) {
        if ((cl.services & LAPI_SERVICE_STATUS) != 0 && !cl.released && cl.async) {
            Send(*cl.async, m);
        }
    }
}

// ---------------------------------------------------------------------------------
// Operator actions
// ---------------------------------------------------------------------------------

StatusSetResult Engine::SetStatus(StatusField field, int32_t value) {
    StatusSetResult r = d_.status.Set(field, value);
    Broadcast(r.changed);
    Settle();
    return r;
}

InjectResult Engine::InjectMtlr(const MtlrRequest &request) {
    std::vector<ClientKey> targets;
    for (const auto &[gid, cl] : clients_) {
        if ((cl.services & LAPI_SERVICE_MTLR) != 0 && !cl.released && cl.async) {
            targets.push_back(gid);
        }
    }
    std::sort(targets.begin(), targets.end());
    InjectResult r = d_.mtlr.Inject(request, targets);
    Deliver(r.events);
    Settle();
    return r;
}

Holdings Engine::Held() const {
    return Holdings{conns_.size(), clients_.size(), d_.sessions.SessionCount(),
                    d_.proximity.TotalCount(), d_.mtlr.OpenNotifications()};
}

std::vector<ClientInfo> Engine::Clients() const {
    std::vector<ClientInfo> out;
    for (const auto &[gid, cl] : clients_) {
        if (cl.released) {
            continue;
        }
        ClientInfo i;
        i.globalId = gid;
        i.pid = cl.pid;
        i.services = cl.services;
        i.sessions = d_.sessions.SessionCount(gid);
        i.listeners = d_.proximity.Count(gid);
        i.pendingNotifications = d_.mtlr.OpenNotifications(gid);
        i.asyncBound = cl.async.has_value();
        out.push_back(i);
    }
    std::sort(out.begin(), out.end(),
              [](const ClientInfo &a, const ClientInfo &b) { return a.globalId < b.globalId; });
    return out;
}

}  // namespace lapid
