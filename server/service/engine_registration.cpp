// Engine: registration, unregistration, release of clients, registration deadlines.
#include "service/engine.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

#include "protocol/log.h"

namespace lapid {

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

}  // namespace

uint32_t RandomIdBits() {
    uint32_t v = 0;
    for (;;) {
        const ssize_t n = ::getrandom(&v, sizeof v, 0);
        if (n == static_cast<ssize_t>(sizeof v)) {
            return v;
        }
        if (n < 0 && errno != EINTR) {
            break;  // no getrandom (ENOSYS): the library's own source
        }
    }
    static std::random_device fallback;
    return fallback();
}

// A globalId nobody can predict from the ones handed out before: random, positive,
// and not held by a registered client.
int32_t Engine::NewGlobalId() {
    for (;;) {
        const auto id = static_cast<int32_t>(ids_() & 0x7fffffffU);
        if (id != 0 && !clients_.contains(id)) {
            return id;
        }
    }
}

const char *Engine::ReasonText(Reason why) {
    switch (why) {
        case Reason::kUnregistered:
            return "unregistered";
        case Reason::kDisconnected:
            return "disconnected";
        case Reason::kSlowReader:
            return "slow reader";
        case Reason::kProtocol:
            return "protocol error";
        case Reason::kTimeout:
            break;
    }
    return "registration timeout";
}

void Engine::HandleFirstMessage(Connection &c, std::span<const uint8_t> m) {
    const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(m.data());
    if (h.msgId == LAPI_MSG_REGISTER_REQ) {
        HandleRegister(c, m);
    } else if (h.msgId == LAPI_MSG_GET_ASYNC_FD_REQ) {
        HandleGetAsyncFd(c, m);
    } else {
        RefuseConnection(c, "the first message is neither registerReq nor getAsyncFdReq");
    }
}

void Engine::HandleRegister(Connection &c, std::span<const uint8_t> m) {
    if (m.size() != sizeof(LAPI_REGISTER_REQ_S)) {
        RefuseConnection(c, "registerReq of a wrong length");
        return;
    }
    const LAPI_MSG_HEADER_S h = lapi::wire::LoadHeader(m.data());
    const auto services =
        lapi::wire::Load<uint32_t>(m.data() + offsetof(LAPI_REGISTER_REQ_S, service)) &
        LAPI_SERVICE_MASK;
    if (services == 0) {
        RefuseConnection(c, "registerReq without any service");
        return;
    }
    Client cl;
    cl.globalId = NewGlobalId();
    cl.pid = h.pid;
    cl.peer = c.peer;
    cl.services = services;
    cl.sync = c.id;
    cl.deadlineMs = clock_.MonoMs() + limits_.registerTimeoutMs;
    c.role = Role::kSync;
    c.client = cl.globalId;
    clients_.emplace(cl.globalId, cl);
    ClearDeadline(c.id, c.deadlineMs);
    SetDeadline(c.id, cl.deadlineMs);
    ++counters_.clientsRegistered;
    statusClients_ += (services & LAPI_SERVICE_STATUS) != 0 ? 1 : 0;
    LAPID_INFO("client %d registered: pid %d, services %u", cl.globalId, cl.pid, services);
    Send(c.id, msg::RegisterRsp(pid_, cl.globalId));
}

void Engine::HandleGetAsyncFd(Connection &c, std::span<const uint8_t> m) {
    if (m.size() != sizeof(LAPI_GET_ASYNC_FD_REQ_S)) {
        RefuseConnection(c, "getAsyncFdReq of a wrong length");
        return;
    }
    const auto gid =
        lapi::wire::Load<int32_t>(m.data() + offsetof(LAPI_GET_ASYNC_FD_REQ_S, globalId));
    Client *cl = FindClient(gid);
    if (cl == nullptr || cl->released) {
        LAPID_ERR("getAsyncFdReq with unknown globalId: %d!", gid);
        RefuseConnection(c, "unknown globalId");
        return;
    }
    // Only the process that registered may bind: refused like an unknown globalId.
    if (c.peer != cl->peer) {
        LAPID_ERR("getAsyncFdReq with globalId: %d from pid %d uid %u, not its registrant!", gid,
                  c.peer.pid, c.peer.uid);
        RefuseConnection(c, "unknown globalId");
        return;
    }
    if (cl->async) {
        LAPID_ERR("getAsyncFdReq with globalId: %d, which is already bound!", gid);
        RefuseConnection(c, "globalId already bound");
        return;
    }
    c.role = Role::kAsync;
    c.client = gid;
    cl->async = c.id;
    ClearDeadline(c.id, c.deadlineMs);
    if (Connection *sync = FindConn(cl->sync)) {
        ClearDeadline(sync->id, sync->deadlineMs);
    }
    Send(c.id, msg::GetAsyncFdRsp(pid_));
}

void Engine::HandleUnregister(Connection &c, Client &cl) {
    Send(c.id, msg::UnregisterRsp(pid_));
    ReleaseClient(cl.globalId, Reason::kUnregistered);
}

void Engine::RefuseConnection(Connection &c, const char *why) {
    ++counters_.registrationsRefused;
    LAPID_ERR("Refused connection %llu: %s!", static_cast<unsigned long long>(c.id), why);
    Drop(c);
}

// Marks the client released and closes its connections: after an unregistration
// once the answer is written, otherwise at once. What it held is given back in
// FinishRelease(), from Settle().
void Engine::ReleaseClient(int32_t globalId, Reason why) {
    Client *cl = FindClient(globalId);
    if (cl == nullptr || cl->released) {
        return;
    }
    cl->released = true;
    toRelease_.push_back(globalId);
    ReportSuppressed(*cl);
    LAPID_INFO("client %d released: %s", globalId, ReasonText(why));
    for (const std::optional<ConnId> &id : {std::optional<ConnId>(cl->sync), cl->async}) {
        Connection *c = id ? FindConn(*id) : nullptr;
        if (c == nullptr) {
            continue;
        }
        if (why == Reason::kUnregistered) {
            c->closing = true;
            ClearDeadline(c->id, c->deadlineMs);
            Touch(*c);
        } else {
            Drop(*c);
        }
    }
}

void Engine::FinishRelease(Client &cl) {
    const int32_t gid = cl.globalId;
    const std::size_t sessions = d_.sessions.RemoveClient(gid);
    const std::size_t listeners = d_.proximity.RemoveClient(gid);
    const std::size_t notifications = d_.mtlr.RemoveClient(gid);
    ++counters_.clientsReleased;
    statusClients_ -= (cl.services & LAPI_SERVICE_STATUS) != 0 ? 1 : 0;
    clients_.erase(gid);
    if (sessions + listeners + notifications > 0) {
        LAPID_INFO("client %d gave back %zu sessions, %zu listeners, %zu notifications", gid,
                   sessions, listeners, notifications);
    }
    FollowProximityCount();
}

void Engine::SetDeadline(ConnId id, int64_t deadlineMs) {
    if (Connection *c = FindConn(id)) {
        c->deadlineMs = deadlineMs;
        deadlines_.emplace(deadlineMs, id);
    }
}

void Engine::ClearDeadline(ConnId id, int64_t deadlineMs) {
    deadlines_.erase({deadlineMs, id});
}

void Engine::ExpireRegistrations() {
    const int64_t now = clock_.MonoMs();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const ConnId id = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        Connection *c = FindConn(id);
        if (c == nullptr) {
            continue;
        }
        ++counters_.registrationTimeouts;
        LAPID_ERR("Registration not completed in %lld ms, closing connection %llu (client %d)!",
                  static_cast<long long>(limits_.registerTimeoutMs),
                  static_cast<unsigned long long>(id), c->client);
        c->role == Role::kNew ? Drop(*c) : ReleaseClient(c->client, Reason::kTimeout);
    }
}

}  // namespace lapid
