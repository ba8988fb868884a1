// Location sessions: single-fix requests, periodic reports, aborts and the last known
// location, kept per client.
//
// The class holds no sockets and builds no messages. Each event (a request, a fix, a
// loss of fix, a clock tick, an abort, a client going away) returns plain answers that
// say which client, which sessionId/transactionId, which kind of answer and which fix;
// the protocol layer turns them into getLocationRsp, timeOutRsp or invalidRequestRsp on
// the connection that `blocking` selects. Time comes from the Clock given at
// construction, and NextDeadlineMs() tells the event loop when Tick() is next due.
//
// Rules (the numbers are the enums below):
// - Single fix (reportCriteria != 1): answered by the first fix whose horizontalAccuracy
//   is <= the requested one (a request of 0 or less accepts any accuracy) that arrives
//   before start + responseTime seconds; at that deadline the request gets a timeout
//   instead. A fix that arrives exactly at the deadline is too late: OnFix() first
//   settles everything that is due, so the result does not depend on whether the event
//   loop calls Tick() or OnFix() first. responseTime 0 answers at once: the current fix
//   if there is one that meets the accuracy, otherwise a timeout.
// - Periodic (reportCriteria 1): a report at start + k * interval seconds for k = 1, 2,
//   ..., on a fixed grid so late ticks do not drift the cadence; a tick that is late by
//   more than one interval sends one report and skips the missed grid points. A report
//   carries the current fix with cause kOk, or cause kAccuracyNotMet (fix included) when
//   the fix is less accurate than requested, or cause kNoFix (no fix fields) when there
//   is no current fix. responseTime is not used. Sessions run until Abort(), AbortAll()
//   or RemoveClient().
// - The "current fix" is the latest fix given to OnFix(), until OnFixLost() says the
//   source has lost it. The "last known fix" survives OnFixLost().
// - A client holds at most kMaxSessionsPerClient sessions (pending single fixes and
//   periodic sessions together), and a sessionId names at most one of them.
// - ageOfFix is the time in seconds from the fix's monoMs to the moment of the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "domain/client_key.h"
#include "domain/clock.h"
#include "domain/fix.h"

namespace lapid {

// Values of getLocationRsp.cause.
enum class LocationCause : int32_t {
    kOk = 0,               // the fix meets the request
    kNoFix = 1,            // no fix available: no fix fields, ageOfFix -1
    kAccuracyNotMet = 2,   // periodic report whose fix is less accurate than requested
    kTooManySessions = 3,  // refused: the client already holds kMaxSessionsPerClient
    kSessionIdInUse = 4,   // refused: the client already has a session with this sessionId
};

// Values of abortLocationRsp.result.
enum class AbortResult : int32_t {
    kAborted = 0,   // a pending single fix or a periodic session was ended
    kNotFound = 1,  // the client has no session with that sessionId
};

// Why a request gets invalidRequestRsp (for logs and counters; not on the wire).
enum class InvalidReason : int32_t {
    kNone = 0,
    kNegativeResponseTime = 1,  // single fix with responseTime < 0
    kIntervalTooShort = 2,      // periodic with interval < kMinIntervalS
    kPeriodicBlocking = 3,      // periodic requested in blocking mode
};

inline constexpr int32_t kReportPeriodic = 1;  // reportCriteria of a periodic request
inline constexpr int32_t kMinIntervalS = 1;    // shortest periodic interval, seconds
inline constexpr std::size_t kMaxSessionsPerClient = 8;
inline constexpr double kNoFixAge = -1.0;  // ageOfFix when there is no fix

// The fields of getLocationReq that the sessions use.
struct LocationRequest {
    ClientKey client = 0;
    uint8_t sessionId = 0;
    uint8_t transactionId = 0;
    bool blocking = false;           // blocking mode: the answer goes on the synchronous connection
    int32_t responseTime = 0;        // seconds
    int32_t horizontalAccuracy = 0;  // metres; 0 or negative accepts any accuracy
    int32_t interval = 0;            // seconds, periodic only
    int32_t reportCriteria = 0;      // kReportPeriodic for periodic reports
};

// What goes out: the protocol layer builds the message named by `kind`.
struct LocationAnswer {
    enum class Kind {
        kLocation,        // getLocationRsp with cause, fix and ageOfFix
        kTimeout,         // timeOutRsp
        kInvalidRequest,  // invalidRequestRsp
    };
    ClientKey client = 0;
    uint8_t sessionId = 0;
    uint8_t transactionId = 0;
    bool blocking = false;  // copied from the request
    bool periodic = false;  // a periodic report (or the refusal of a periodic request)
    Kind kind = Kind::kLocation;
    LocationCause cause = LocationCause::kOk;            // kLocation only
    std::optional<Fix> fix;                              // absent: all fix fields are 0
    double ageOfFix = kNoFixAge;                         // seconds
    InvalidReason invalidReason = InvalidReason::kNone;  // kInvalidRequest only
};

class LocationSessions {
  public:
    explicit LocationSessions(const Clock &clock) : clock_(clock) {}

    // A getLocationReq. Returns the answer when there is one at once (a refusal, or
    // responseTime 0); nothing when the request now waits for a fix, a deadline or its
    // first report.
    std::optional<LocationAnswer> Request(const LocationRequest &req);

    // abortLocationReq: ends the client's session with that sessionId, single or periodic.
    // The aborted session sends nothing more.
    AbortResult Abort(ClientKey client, uint8_t sessionId);
    // abortAllLocationReq: ends every session of the client. Returns how many ended.
    std::size_t AbortAll(ClientKey client);
    // The client is gone: everything it held is released. Returns how many sessions ended.
    std::size_t RemoveClient(ClientKey client);

    // lastKnownLocationReq: the last fix ever seen with its age, or cause kNoFix.
    LocationAnswer LastKnown(ClientKey client, uint8_t sessionId, uint8_t transactionId,
                             bool blocking) const;

    // A new fix from the position source (its monoMs set by the source). Settles what
    // was due up to the fix's monoMs first, then answers the waiting single fixes that it
    // satisfies; what falls due after the fix is left to Tick().
    std::vector<LocationAnswer> OnFix(const Fix &fix);
    // The source has lost its fix: there is no current fix until the next OnFix().
    void OnFixLost() { current_.reset(); }

    // Timeouts and periodic reports due at the clock's current time, in deadline order.
    std::vector<LocationAnswer> Tick();
    // Monotonic time (ms) of the earliest pending deadline, or nothing when none waits.
    std::optional<int64_t> NextDeadlineMs() const;

    std::size_t SessionCount() const { return sessions_.size(); }
    std::size_t SessionCount(ClientKey client) const;
    const std::optional<Fix> &CurrentFix() const { return current_; }
    const std::optional<Fix> &LastKnownFix() const { return last_; }

  private:
    using Key = std::pair<ClientKey, uint8_t>;  // client, sessionId
    struct Session {
        LocationRequest req;
        int64_t startMs = 0;
        int64_t deadlineMs = 0;  // timeout of a single fix, next report of a periodic one
    };

    static bool IsPeriodic(const Session &s) { return s.req.reportCriteria == kReportPeriodic; }
    static LocationAnswer Answer(const LocationRequest &req, LocationAnswer::Kind kind);
    static LocationAnswer FixAnswer(const LocationRequest &req, const Fix &fix, LocationCause cause,
                                    int64_t nowMs);
    LocationAnswer PeriodicReport(const Session &s, int64_t nowMs) const;
    // Timeouts and periodic reports whose deadline is at or before `upToMs`, in deadline
    // order; the answers carry the clock's time.
    std::vector<LocationAnswer> SettleUpTo(int64_t upToMs);
    void Erase(std::map<Key, Session>::iterator it);
    std::size_t EraseClient(ClientKey client);

    const Clock &clock_;
    std::map<Key, Session> sessions_;
    std::set<std::pair<int64_t, Key>> deadlines_;  // (deadlineMs, key) of every session
    std::optional<Fix> current_;
    std::optional<Fix> last_;
};

}  // namespace lapid
