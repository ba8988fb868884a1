// lapid's service layer: connections, clients, registration, routing of answers, and
// the request handlers that drive the domain layer, with the messages of protocol/. It
// holds no sockets: the transport feeds it bytes and closes, and takes back the bytes
// to write and the connections to close. Tests drive it directly with a ManualClock.
//
// Transport contract. After every call into the engine (Open, Receive, Closed,
// OnTime, OnSourceReadable, PollSource and the operator actions), the transport calls
// TakeTouched() and, for each connection listed, writes Pending() (reporting progress
// with Consume()) and closes the connection once WantsClose() says so, telling the
// engine with Closed(). It also calls Closed() when a peer goes away or a write fails.
//
// Connections. A new connection's first message decides its role: registerReq makes
// it a client's synchronous connection (answered with registerRsp and a fresh
// globalId: a random positive 31-bit number that no registered client holds);
// getAsyncFdReq with that globalId, on another new connection of the same peer (pid
// and uid as the transport read them at accept), makes it the client's asynchronous
// connection (getAsyncFdRsp). A globalId that is unknown, registered by another peer or
// already bound, any other first message, a
// request before the asynchronous connection is bound, a message on the
// asynchronous connection, or no completed registration within the registration
// timeout closes the connection (and the client) with an error line.
//
// Routing. A request's mode selects the connection of its answer: 1 (blocking) the
// synchronous one, as the next message there; 0 the asynchronous one. Periodic
// reports and every indication go on the asynchronous connection. While a blocking
// request waits for its answer (a single fix waiting for a fix or its timeout), the
// client's further messages stay buffered, so answers on the synchronous connection
// keep the order of the requests.
//
// Release. When either connection of a client closes, or the client is
// disconnected, everything it held (location sessions, proximity listeners, open
// MT-LR notifications) is released at once and its other connection is closed.
//
// Demand. Fixes are needed while at least one location session, one proximity
// listener or one registered client of the status service exists; at the end of every
// entry point the engine tells the position source (SetDemand) when that changed.
// The last known position stays in LocationSessions whatever the source does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "domain/clock.h"
#include "domain/location_sessions.h"
#include "domain/mtlr.h"
#include "domain/proximity.h"
#include "domain/status.h"
#include "protocol/framer.h"
#include "protocol/log_limit.h"
#include "protocol/messages.h"
#include "protocol/output_queue.h"
#include "domain/sources/position_source.h"
#include "domain/gps_db.h"

namespace lapid {

using ConnId = uint64_t;

// The process at the other end of a service connection, as the kernel reports it.
struct PeerCred {
    int32_t pid = 0;
    uint32_t uid = 0;
    bool operator==(const PeerCred &) const = default;
};

// Draws the random numbers of new globalIds (the engine keeps the low 31 bits).
using IdSource = std::function<uint32_t()>;
// Random numbers from the kernel's CSPRNG (getrandom).
uint32_t RandomIdBits();

struct EngineLimits {
    std::size_t maxBacklog = 262144;    // unsent bytes per connection before disconnecting
    int64_t registerTimeoutMs = 5000;   // new connection to completed registration
    std::size_t maxInputBytes = 65536;  // received bytes per connection not yet handled
    std::size_t maxTotalBacklog = std::size_t{64} << 20;  // unsent bytes, all connections
    std::size_t maxConnsPerUid = 1024;                    // open connections of one uid
};

// The domain objects the engine drives; they belong to the caller.
struct Domain {
    LocationSessions &sessions;
    StatusModel &status;
    MtlrNotifications &mtlr;
    ProximityListeners &proximity;
    GpsDb &db;
    PositionSource &source;
};

struct Counters {
    uint64_t connectionsTotal = 0;         // accepted since start
    uint64_t messagesIn = 0;               // whole messages read
    uint64_t messagesOut = 0;              // messages queued for writing
    uint64_t invalidRequests = 0;          // answered with invalidRequestRsp
    uint64_t disconnectsSlowReader = 0;    // backlog passed the bound
    uint64_t disconnectsTotalBacklog = 0;  // the largest backlog, all together past the bound
    uint64_t connectionsRefusedUid = 0;    // closed at accept: its uid holds too many
    uint64_t registrationTimeouts = 0;     // registration not completed in time
    uint64_t registrationsRefused = 0;     // bad first message, unknown/bound globalId, ...
    uint64_t framingErrors = 0;            // msgLen above the limit, input flood
    uint64_t clientsRegistered = 0;        // registerRsp sent
    uint64_t clientsReleased = 0;          // clients ended, for whatever reason
    uint64_t errorLinesSuppressed = 0;     // over a client's error line bound (LogLimit)
};

// What is open and held now, all clients together.
struct Holdings {
    std::size_t connections = 0;  // service connections
    std::size_t clients = 0;      // registered clients
    std::size_t sessions = 0;
    std::size_t listeners = 0;
    std::size_t pendingNotifications = 0;
};

// One registered client as the control socket lists it.
struct ClientInfo {
    int32_t globalId = 0;
    int32_t pid = 0;
    uint32_t services = 0;
    std::size_t sessions = 0;
    std::size_t listeners = 0;
    std::size_t pendingNotifications = 0;
    bool asyncBound = false;
};

class Engine {
  public:
    Engine(const Clock &clock, Domain domain, EngineLimits limits, int32_t serverPid);

    // Connections (transport side). A connection past the per-uid limit is refused at
    // once: WantsClose() is true from the start.
    ConnId Open(PeerCred peer = {});
    void Receive(ConnId id, const uint8_t *data, std::size_t len);
    void Closed(ConnId id);
    std::vector<ConnId> TakeTouched();
    std::span<const uint8_t> Pending(ConnId id) const;
    void Consume(ConnId id, std::size_t n);
    bool WantsClose(ConnId id) const;

    // Time: fixes from the source, timeouts, periodic reports, MT-LR and registration
    // deadlines. OnTime() does what is due at the clock's time.
    void OnTime();
    std::optional<int64_t> NextDeadlineMs() const;
    // Collects fixes, state changes and log lines from the position source (after
    // OnTime() and after an operator changed the source).
    void PollSource();
    // The position source's descriptor (PositionSource::Fd()) is readable.
    void OnSourceReadable();
    const PositionSource &Source() const { return d_.source; }
    // What the engine last told the source: whether anyone needs fixes.
    bool Demand() const { return demand_; }

    // Operator actions (through the Operator of service/operator.h).
    StatusSetResult SetStatus(StatusField field, int32_t value);
    InjectResult InjectMtlr(const MtlrRequest &request);
    std::vector<ClientInfo> Clients() const;
    std::optional<MtlrRecord> FindMtlr(uint64_t requestId) const { return d_.mtlr.Find(requestId); }
    const Counters &Count() const { return counters_; }
    Holdings Held() const;
    std::size_t ClientCount() const { return clients_.size(); }
    // Replaces the random source of globalIds (tests).
    void SetIdSource(IdSource ids) { ids_ = std::move(ids); }

  private:
    enum class Role { kNew, kSync, kAsync };
    struct Connection {
        ConnId id = 0;
        PeerCred peer;
        Role role = Role::kNew;
        int32_t client = 0;  // globalId once the role is kSync or kAsync
        MessageFramer in;
        OutputQueue out;
        int64_t deadlineMs = 0;      // registration deadline of a new connection
        bool awaitingBlock = false;  // a blocking answer is due; further input waits
        bool closing = false;        // write what is queued, then close
        bool dropped = false;        // close at once, queued bytes discarded
        bool touched = false;
        bool admitted = true;  // counted in perUid_
    };
    struct Client {
        int32_t globalId = 0;
        int32_t pid = 0;
        PeerCred peer;  // of the synchronous connection
        uint32_t services = 0;
        ConnId sync = 0;
        std::optional<ConnId> async;
        int64_t deadlineMs = 0;  // until the asynchronous connection is bound
        bool released = false;
        LogLimit errorLines;  // error lines about its requests
    };
    enum class Reason { kUnregistered, kDisconnected, kSlowReader, kProtocol, kTimeout };
    static const char *ReasonText(Reason why);

    // Connections and input.
    Connection *FindConn(ConnId id);
    const Connection *FindConn(ConnId id) const;
    Client *FindClient(int32_t globalId);
    void Touch(Connection &c);
    void ProcessInput(Connection &c);
    void HandleMessage(Connection &c, std::span<const uint8_t> m);
    void Drop(Connection &c);
    void Send(ConnId id, const WireMsg &m);
    void LimitTotalBacklog();
    void SendToAsync(int32_t globalId, const WireMsg &m);
    void Settle();

    // Registration (engine_registration.cpp).
    int32_t NewGlobalId();
    void HandleFirstMessage(Connection &c, std::span<const uint8_t> m);
    void HandleRegister(Connection &c, std::span<const uint8_t> m);
    void HandleGetAsyncFd(Connection &c, std::span<const uint8_t> m);
    void HandleUnregister(Connection &c, Client &cl);
    void RefuseConnection(Connection &c, const char *why);
    void ReleaseClient(int32_t globalId, Reason why);
    void FinishRelease(Client &cl);
    void ExpireRegistrations();
    void SetDeadline(ConnId id, int64_t deadlineMs);
    void ClearDeadline(ConnId id, int64_t deadlineMs);

    // Requests (engine_handlers.cpp).
    void HandleRequest(Connection &c, Client &cl, std::span<const uint8_t> m);
    void Invalid(Client &cl, const RequestCheck &check, uint16_t msgId, const char *why);
    bool MayLogError(Client &cl);
    static void ReportSuppressed(Client &cl);
    void Answer(Client &cl, bool blocking, const WireMsg &m);
    void OnGetLocation(Connection &c, Client &cl, bool blocking, std::span<const uint8_t> m);
    void OnAbortLocation(Client &cl, bool blocking, Ids ids);
    void OnLastKnown(Client &cl, bool blocking, Ids ids);
    void OnGetGpsDbData(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m);
    void OnSetGpsDbData(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m);
    void OnLocationCfm(Client &cl, std::span<const uint8_t> m);
    void OnDistanceAzimuth(Client &cl, const RequestCheck &check, std::span<const uint8_t> m);
    void OnAddProximity(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m);
    void OnRemoveProximity(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m);

    // Outgoing events of the domain layer.
    void Deliver(const LocationAnswer &a);
    void Deliver(const std::vector<LocationAnswer> &answers);
    void Deliver(const MtlrEvents &events);
    void DeliverHits(const std::vector<ProximityHit> &hits);
    void Broadcast(const std::optional<StatusSnapshot> &changed);
    // How the source's state came to change: on its own, or because the engine has
    // just told it that nobody needs fixes (the receiver was put to sleep).
    enum class SourceChange { kOwn, kPutToSleep };
    void CollectSource(SourceChange why);
    void FollowSourceState(FixState state, SourceChange why);
    void FollowProximityCount();
    void FollowDemand();

    const Clock &clock_;
    Domain d_;
    EngineLimits limits_;
    int32_t pid_;
    ConnId nextConn_ = 1;
    IdSource ids_ = RandomIdBits;
    std::size_t queued_ = 0;                            // unsent bytes, all connections
    std::unordered_map<uint32_t, std::size_t> perUid_;  // open connections by uid
    std::unordered_map<ConnId, Connection> conns_;
    std::unordered_map<int32_t, Client> clients_;
    std::set<std::pair<int64_t, ConnId>> deadlines_;  // registration deadlines
    std::vector<ConnId> touched_;
    std::vector<int32_t> toRelease_;  // clients to release once the current work is done
    std::vector<ConnId> toResume_;    // synchronous connections whose blocking answer went out
    FixState sourceState_;
    bool demand_ = false;
    std::size_t statusClients_ = 0;  // registered clients of the status service
    Counters counters_;
};

}  // namespace lapid
