#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "LAPI_MsgCatalogue.h"
#include "codes.h"
#include "control.h"
#include "format.h"
#include "lapi/lapi.h"
#include "session.h"
#include "track.h"

#ifndef LAPICTL_VERSION
#define LAPICTL_VERSION "unknown"
#endif

namespace lapictl {
namespace {

// A command's request carries sessionId 1 (a periodic session left running in the
// shell's background gets one of its own) and a transactionId that tells its answer
// from late answers to earlier commands: 1 for the only request of a one-shot client,
// then 2, 3, ... in the shell.
constexpr uint8_t kSessionId = 1;

using Buffer = std::array<uint8_t, lapi::cat::kMaxMessageLen>;

// A request record with the next ids of the link, everything else 0.
template <class Req>
Req Request(Link &link) {
    Req req{};
    req.sessionId = kSessionId;
    link.transactionId =
        static_cast<uint8_t>(link.transactionId == 255 ? 1 : link.transactionId + 1);
    req.transactionId = link.transactionId;
    return req;
}

// The message that a LAPI_BLOCK call placed in buf (the library has checked that it
// fits).
Bytes Received(const Buffer &buf) {
    return Bytes(buf.data(), sizeof(LAPI_MSG_HEADER_S) + HeaderOf(buf).msgLen);
}

uint16_t MsgIdOf(Bytes msg) {
    return HeaderOf(msg).msgId;
}

// Every message of the server opens its body with the sessionId and the transactionId
// of the request.
uint8_t SessionIdOf(Bytes msg) {
    constexpr std::size_t kAt = offsetof(LAPI_TIME_OUT_RSP_S, sessionId);
    return msg.size() > kAt ? msg[kAt] : 0;
}

template <class Req>
bool Answers(Bytes msg, const Req &req) {
    constexpr std::size_t kAt = offsetof(LAPI_TIME_OUT_RSP_S, transactionId);
    return SessionIdOf(msg) == req.sessionId && msg.size() > kAt && msg[kAt] == req.transactionId;
}

std::string NameOf(Bytes msg) {
    const std::string_view name = MessageName(MsgIdOf(msg));
    return name.empty() ? "message " + std::to_string(MsgIdOf(msg)) : std::string(name);
}

// JSON for scripts, or the text for people line by line (nothing when it is empty).
void Show(const GlobalOptions &global, Bytes msg, std::string_view text) {
    if (global.json) {
        PrintLine(MessageJson(msg));
        return;
    }
    while (!text.empty()) {
        const std::size_t nl = std::min(text.find('\n'), text.size());
        PrintLine(text.substr(0, nl));
        text.remove_prefix(std::min(nl + 1, text.size()));
    }
}

int Unexpected(const GlobalOptions &global, Bytes msg) {
    Show(global, msg, {});
    Complain("unexpected " + NameOf(msg) + " from the location server");
    return kExitFailure;
}

int Malformed(Bytes msg) {
    Complain("malformed " + NameOf(msg) + " from the location server (msgLen " +
             std::to_string(HeaderOf(msg).msgLen) + ")");
    return kExitFailure;
}

int CallFailed(std::string_view what) {
    Complain(std::string(what) + " failed: the connection to the location server was lost");
    return kExitFailure;
}

// The time limit of a wait: --max-wait when given, otherwise `fallback` seconds (none
// when fallback is 0).
double LimitOf(const GlobalOptions &global, double fallback = 0) {
    return global.maxWait > 0 ? global.maxWait : fallback;
}

Deadline DeadlineAfter(double seconds) {
    if (seconds <= 0) {
        return std::nullopt;
    }
    return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

}  // namespace

int GaveUp(double seconds, std::string_view what) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    Complain("gave up after " + std::string(text) + " s waiting for " + std::string(what));
    return kExitFailure;
}

namespace {

// The current time to the second, for events whose message carries no time.
std::string NowText() {
    const auto now = std::chrono::system_clock::now();
    return FormatTime(
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() * 1000);
}

// ---- One blocking call -----------------------------------------------------------

// A blocking request of the library: LAPI_GetLocation and the like.
template <class Req>
using CallFn = int (*)(int, unsigned char, Req *, void *);

// The answer that a command waits for, and the refusals that end it with a complaint
// (any other message is unexpected).
struct Answer {
    uint16_t msgId;                  // the message that carries the result
    const char *invalid = nullptr;   // the complaint for invalidRequestRsp
    const char *timedOut = nullptr;  // the complaint for timeOutRsp
};

// One kind of blocking call.
struct CallPlan {
    uint16_t request;  // the client registers for this request's service
    const char *what;  // "<what> failed: ..." when the connection is lost
    Answer answer;
    const char *awaited = "the location server";  // "waiting for <awaited>..." on a terminal
};

constexpr const char *kInvalidLocation = "the location server refused the request as invalid";
constexpr CallPlan kLocate{LAPI_MSG_GET_LOCATION_REQ,
                           "the location request",
                           {LAPI_MSG_GET_LOCATION_RSP, kInvalidLocation, "request timed out"},
                           "a fix"};
constexpr CallPlan kLast{LAPI_MSG_LAST_KNOWN_LOCATION_REQ,
                         "the last known location request",
                         {LAPI_MSG_GET_LOCATION_RSP, kInvalidLocation, "request timed out"}};
constexpr CallPlan kWatch{
    LAPI_MSG_GET_LOCATION_REQ,
    "the periodic location request",
    {LAPI_MSG_GET_LOCATION_RSP, "the location server refused the periodic request as invalid"}};
constexpr CallPlan kStatus{
    LAPI_MSG_GET_STATUS_REQ, "the status request", {LAPI_MSG_GET_STATUS_RSP}};
constexpr CallPlan kDbGet{
    LAPI_MSG_GET_GPS_DB_DATA_REQ,
    "the GPS database read",
    {LAPI_MSG_GET_GPS_DB_DATA_RSP, "the location server refused the read as invalid"}};
constexpr CallPlan kDbSet{
    LAPI_MSG_SET_GPS_DB_DATA_REQ,
    "the GPS database write",
    {LAPI_MSG_SET_GPS_DB_DATA_RSP, "the location server refused the write as invalid"}};
constexpr CallPlan kDistance{
    LAPI_MSG_DISTANCE_AZIMUTH_REQ,
    "the distance request",
    {LAPI_MSG_DISTANCE_AZIMUTH_RSP, "the location server refused the coordinates"}};
constexpr CallPlan kProximityAdd{
    LAPI_MSG_ADD_PROXIMITY_REQ, "the proximity request", {LAPI_MSG_ADD_PROXIMITY_RSP}};
constexpr CallPlan kProximityRemove{
    LAPI_MSG_REMOVE_PROXIMITY_REQ, "the proximity removal", {LAPI_MSG_REMOVE_PROXIMITY_RSP}};

// The client a command runs on: the shell's, or one registered for the service of
// `request` that lives as long as the command.
class ClientUse {
  public:
    ClientUse(const Link &link, uint16_t request)
        : owned_(link.client != nullptr ? nullptr
                                        : Client::Register(lapi::cat::Find(request)->service)),
          client_(link.client != nullptr ? link.client : owned_.get()) {}
    explicit operator bool() const { return client_ != nullptr; }
    const Client &operator*() const { return *client_; }
    const Client *operator->() const { return client_; }

  private:
    std::unique_ptr<Client> owned_;
    const Client *client_;
};

// Ends a location session of the client; its answer is not awaited.
void AbortSession(const Client &client, uint8_t sessionId) {
    LAPI_ABORT_LOCATION_REQ_S req{};
    req.sessionId = sessionId;
    (void)LAPI_AbortLocationRequest(client.id(), LAPI_NONBLOCK, &req, nullptr);
}

// What a command makes of the answer it expected: the text for people, or the
// complaint that makes it fail (scripts still get the answer as JSON).
struct Outcome {
    std::string text;
    std::string complaint;
};

Outcome Fail(std::string complaint) {
    return {{}, std::move(complaint)};
}

// Makes the call; the answer is in buf, or nothing after a complaint.
template <class Req>
std::optional<Bytes> Send(const Client &client, const CallPlan &plan, CallFn<Req> call, Req req,
                          Buffer &buf) {
    int rc = 0;
    {
        const WaitNotice notice("waiting for " + std::string(plan.awaited) + "...");
        rc = call(client.id(), LAPI_BLOCK, &req, buf.data());
    }
    if (rc != 0) {
        CallFailed(plan.what);
        return std::nullopt;
    }
    return Received(buf);
}

// The complaint for msg when it is a refusal that the answer names, else nullptr.
const char *RefusalOf(const Answer &answer, Bytes msg) {
    switch (MsgIdOf(msg)) {
        case LAPI_MSG_INVALID_REQUEST_RSP:
            return answer.invalid;
        case LAPI_MSG_TIME_OUT_RSP:
            return answer.timedOut;
        default:
            return nullptr;
    }
}

// Shows the answer msg and returns the exit code: the expected record, decoded, goes to
// decide; a refusal, another message or a malformed record is reported here.
template <class Rsp, class Decide>
int Settle(const GlobalOptions &global, Bytes msg, const Answer &answer, Decide decide) {
    Outcome outcome;
    if (const char *refusal = RefusalOf(answer, msg)) {
        outcome = Fail(refusal);
    } else if (MsgIdOf(msg) != answer.msgId) {
        return Unexpected(global, msg);
    } else if (const auto rsp = Decode<Rsp>(msg)) {
        outcome = decide(*rsp);
    } else {
        return Malformed(msg);
    }
    Show(global, msg, outcome.complaint.empty() ? outcome.text : std::string());
    if (!outcome.complaint.empty()) {
        Complain(outcome.complaint);
        return kExitFailure;
    }
    return kExitOk;
}

// ---- Pushed messages -------------------------------------------------------------

// What a handler of pushed messages answers besides an exit code.
constexpr int kSkip = -1;   // not ours: wait for the next (the shell shows it)
constexpr int kCount = -2;  // handled: one more towards --count
constexpr int kShown = -3;  // handled, not counted

// Hands the messages pushed to the client to `each` until `count` of them counted (0:
// no limit), Ctrl-C (StoppedStatus()), the time limit passes (--max-wait, else
// `fallback` seconds when not 0: a complaint naming `gaveUp`), the connection is lost
// (*lost and link.lost set) or `each` returns an exit code. When `inputFd` gives a
// descriptor (not -1), `each` gets an empty msg once that is readable. In the shell a
// message that `each` leaves (kSkip) is shown as a pushed message.
template <class Each>
int ForEachPushed(const GlobalOptions &global, Link &link, const Client &client,
                  std::string_view what, std::string_view gaveUp, int count, Each each,
                  bool *lost = nullptr, const std::function<int()> &inputFd = nullptr,
                  double fallback = 0) {
    const double limit = LimitOf(global, fallback);
    const Deadline deadline = DeadlineAfter(limit);
    std::vector<uint8_t> msg;
    for (int counted = 0; count == 0 || counted < count;) {
        const WaitResult wait = NextMessage(client, &msg, deadline, what, inputFd ? inputFd() : -1);
        if (wait == WaitResult::kStopped) {
            return StoppedStatus();
        }
        if (wait == WaitResult::kTimedOut) {
            return GaveUp(limit, gaveUp);
        }
        if (wait == WaitResult::kFailed) {
            link.lost = true;
            if (lost != nullptr) {
                *lost = true;
            }
            return kExitFailure;
        }
        const Bytes pushed = wait == WaitResult::kInput ? Bytes() : Bytes(msg);
        const int verdict = each(pushed);
        if (verdict == kSkip && !pushed.empty()) {
            ShowPushed(link, pushed);
        }
        if (!pushed.empty()) {
            NotePushed(link, pushed);
        }
        if (verdict == kCount) {
            ++counted;
        } else if (verdict != kSkip && verdict != kShown) {
            return verdict;
        }
    }
    return kExitOk;
}

// Settles a message that ForEachPushed hands over: kSkip when it is neither the answer
// nor a refusal that the answer names, kCount once it is shown.
template <class Rsp, class Decide>
int SettlePushed(const GlobalOptions &global, Bytes msg, const Answer &answer, Decide decide) {
    if (MsgIdOf(msg) != answer.msgId && RefusalOf(answer, msg) == nullptr) {
        return kSkip;
    }
    const int rc = Settle<Rsp>(global, msg, answer, decide);
    return rc == kExitOk ? kCount : rc;
}

// A one-shot subcommand: makes the call with req on the link's client (one-shot: one
// registered for the request's service and unregistered at the end), settles the answer
// and returns its exit code. The call blocks in one-shot mode; with --max-wait, with
// nonblock set, and in the shell it is sent without blocking and its answer awaited on
// the asynchronous connection, where Ctrl-C and the time limit (--max-wait, else
// `fallback` seconds when not 0) end the wait. `then`, when given, goes on with the
// client after a successful answer (Ctrl-C then stops it rather than the process).
template <class Rsp, class Req, class Decide>
int OneShot(const GlobalOptions &global, Link &link, const CallPlan &plan, CallFn<Req> call,
            Req req, Decide decide, const std::function<int(const Client &)> &then = nullptr,
            bool nonblock = false, double fallback = 0) {
    const bool block = link.client == nullptr && !nonblock && global.maxWait <= 0;
    // Ctrl-C is caught before the client exists, so that it never ends the process
    // between registration and the wait (the client is then always unregistered). A
    // blocking call cannot be interrupted: during one, Ctrl-C ends the process.
    if (then || !block) {
        CatchStopSignals();
    }
    const ClientUse client(link, plan.request);
    if (!client) {
        return kExitFailure;
    }
    int rc = kExitOk;
    if (block) {
        Buffer buf{};
        const auto msg = Send(*client, plan, call, req, buf);
        if (!msg) {
            return kExitFailure;
        }
        rc = Settle<Rsp>(global, *msg, plan.answer, decide);
    } else {
        if (call(client->id(), LAPI_NONBLOCK, &req, nullptr) != 0) {
            return CallFailed(plan.what);
        }
        bool answered = false;
        rc = ForEachPushed(
            global, link, *client, plan.awaited, plan.awaited, 1,
            [&](Bytes msg) {
                const int verdict =
                    Answers(msg, req) ? SettlePushed<Rsp>(global, msg, plan.answer, decide) : kSkip;
                answered = answered || verdict != kSkip;
                return verdict;
            },
            nullptr, nullptr, fallback);
        if (!answered && !link.lost && plan.request == LAPI_MSG_GET_LOCATION_REQ) {
            AbortSession(*client, req.sessionId);  // the fix is no longer awaited
        }
    }
    return rc == kExitOk && then ? then(*client) : rc;
}

// The answer to a single fix or to a last known location request: a getLocationRsp
// without a fix is a failure.
Outcome Located(const LAPI_GET_LOCATION_RSP_S &rsp, bool showAge) {
    const int32_t cause = rsp.cause;
    if (cause == 1) {
        return Fail("no position available");
    }
    if (cause != 0 && cause != 2) {
        return Fail("the location server refused the request: " +
                    WithName(cause, LocationCauseName(cause)));
    }
    std::string line = FixLine(rsp);
    if (showAge) {
        char age[48];
        std::snprintf(age, sizeof age, "  age %.1f s", rsp.ageOfFix);
        line += age;
    }
    return {line + (cause == 2 ? "  (accuracy not met)" : ""), {}};
}

// A report of a periodic session: a refusal fails, a report without a fix says so.
Outcome PeriodicReport(const LAPI_GET_LOCATION_RSP_S &rsp) {
    const int32_t cause = rsp.cause;
    if (cause == 3 || cause == 4) {
        return Fail("the location server refused the periodic request: " +
                    WithName(cause, LocationCauseName(cause)));
    }
    return Outcome{cause == 1 ? NowText() + "  no fix"
                              : FixLine(rsp) + (cause == 2 ? "  (accuracy not met)" : ""),
                   {}};
}

Outcome HitReport(const LAPI_PROXIMITY_HIT_IND_S &hit) {
    return Outcome{"proximity hit: " + FixLine(hit), {}};
}

}  // namespace

// ---- locate, last, watch ---------------------------------------------------------

int RunLocate(const GlobalOptions &global, Link &link, const LocateOptions &opts) {
    auto req = Request<LAPI_GET_LOCATION_REQ_S>(link);
    req.responseTime = opts.timeout;
    req.horizontalAccuracy = opts.accuracy;
    req.speedAndCourseRequired = 1;
    req.altitudeRequired = 1;
    // Without blocking, the server answers by responseTime at the latest; allow it some
    // slack.
    return OneShot<LAPI_GET_LOCATION_RSP_S>(
        global, link, kLocate, LAPI_GetLocation, req,
        [](const LAPI_GET_LOCATION_RSP_S &rsp) { return Located(rsp, false); }, nullptr,
        opts.nonblock, opts.timeout + 10.0);
}

int RunLast(const GlobalOptions &global, Link &link) {
    return OneShot<LAPI_GET_LOCATION_RSP_S>(
        global, link, kLast, LAPI_GetLastKnownLocation,
        Request<LAPI_LAST_KNOWN_LOCATION_REQ_S>(link),
        [](const LAPI_GET_LOCATION_RSP_S &rsp) { return Located(rsp, true); });
}

namespace {

using Tracks = std::vector<std::pair<std::string, std::unique_ptr<Track>>>;  // by file name

// "cannot <doing> the track file <path>: <error>"
std::string TrackFailure(std::string_view doing, const std::string &path,
                         const std::string &error) {
    return "cannot " + std::string(doing) + " the track file " + path + ": " + error;
}

// The track files that --gpx and --geojson ask for; nothing after a complaint.
std::optional<Tracks> CreateTracks(const WatchOptions &opts) {
    Tracks tracks;
    for (const auto &[path, create] : {std::pair{opts.gpxPath, &CreateGpxTrack},
                                       std::pair{opts.geoJsonPath, &CreateGeoJsonTrack}}) {
        std::string error;
        if (path.empty()) {
            continue;
        }
        auto track = create(path, "lapictl " LAPICTL_VERSION, &error);
        if (!track) {
            Complain(TrackFailure("create", path, error));
            return std::nullopt;
        }
        tracks.emplace_back(path, std::move(track));
    }
    return tracks;
}

// A sessionId for a periodic session in the shell's background (0: none left).
uint8_t FreeSessionId(const Link &link) {
    for (uint8_t id = kSessionId + 1; id != 0; ++id) {
        if (std::find(link.periodic.begin(), link.periodic.end(), id) == link.periodic.end()) {
            return id;
        }
    }
    return 0;
}

}  // namespace

int RunWatch(const GlobalOptions &global, Link &link, const WatchOptions &opts) {
    auto tracks = CreateTracks(opts);
    if (!tracks) {
        return kExitFailure;
    }
    CatchStopSignals();  // before the client exists: see OneShot
    const ClientUse client(link, kWatch.request);
    if (!client) {
        return kExitFailure;
    }
    auto req = Request<LAPI_GET_LOCATION_REQ_S>(link);
    if (opts.background && (req.sessionId = FreeSessionId(link)) == 0) {
        Complain("too many periodic sessions: abort ends them");
        return kExitFailure;
    }
    req.horizontalAccuracy = opts.accuracy;
    req.interval = opts.interval;
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    req.speedAndCourseRequired = 1;
    req.altitudeRequired = 1;
    if (LAPI_GetLocation(client->id(), LAPI_NONBLOCK, &req, nullptr) != 0) {
        return CallFailed(kWatch.what);
    }
    if (opts.background) {
        // Its reports are shown as pushed messages (ShowPushed).
        link.periodic.push_back(req.sessionId);
        PrintLine(global.json ? SentJson(Bytes(reinterpret_cast<const uint8_t *>(&req), sizeof req))
                              : "reporting every " + std::to_string(opts.interval) +
                                    " s in the background until abort");
        return kExitOk;
    }

    const auto report = [&](const LAPI_GET_LOCATION_RSP_S &rsp) {
        const int32_t cause = rsp.cause;
        if (Outcome refused = PeriodicReport(rsp); !refused.complaint.empty()) {
            return refused;
        }
        const TrackPoint point{
            rsp.latitude,           rsp.longitude,        rsp.altitude, rsp.timeStamp,
            rsp.horizontalAccuracy, rsp.verticalAccuracy, rsp.speed,    rsp.course};
        for (auto &[path, track] : *tracks) {
            std::string error;
            if (cause != 1 && !track->Add(point, &error)) {
                return Fail(TrackFailure("write", path, error));
            }
        }
        return PeriodicReport(rsp);
    };
    bool lost = false;
    int rc = ForEachPushed(
        global, link, *client, "the next report", "reports", opts.count,
        [&](Bytes msg) {
            return SessionIdOf(msg) == req.sessionId
                       ? SettlePushed<LAPI_GET_LOCATION_RSP_S>(global, msg, kWatch.answer, report)
                       : kSkip;
        },
        &lost);
    if (!lost) {
        // Ends the periodic session in the server (the shell's client lives on).
        AbortSession(*client, req.sessionId);
    }
    for (auto &[path, track] : *tracks) {
        std::string error;
        if (!track->Close(&error)) {
            Complain(TrackFailure("complete", path, error));
            rc = kExitFailure;
        }
    }
    return rc;
}

// ---- status ----------------------------------------------------------------------

int RunStatus(const GlobalOptions &global, Link &link, const StatusOptions &opts) {
    StatusValues current{};
    const auto follow = [&](const Client &client) {
        return ForEachPushed(
            global, link, client, "a status change", "status changes", opts.count, [&](Bytes msg) {
                return SettlePushed<LAPI_STATUS_CHANGE_IND_S>(
                    global, msg, {LAPI_MSG_STATUS_CHANGE_IND},
                    [&](const LAPI_STATUS_CHANGE_IND_S &ind) {
                        const StatusValues next = StatusOf(ind);
                        const std::string line = NowText() + "  " + StatusChangeLine(current, next);
                        current = next;
                        return Outcome{line, {}};
                    });
            });
    };
    return OneShot<LAPI_GET_STATUS_RSP_S>(
        global, link, kStatus, LAPI_GetStatus, Request<LAPI_GET_STATUS_REQ_S>(link),
        [&](const LAPI_GET_STATUS_RSP_S &rsp) {
            current = StatusOf(rsp);
            return Outcome{StatusTable(current), {}};
        },
        opts.follow ? follow : std::function<int(const Client &)>());
}

// ---- db --------------------------------------------------------------------------

int RunDbGet(const GlobalOptions &global, Link &link, uint32_t fileId) {
    auto req = Request<LAPI_GET_GPS_DB_DATA_REQ_S>(link);
    req.fileId = fileId;
    return OneShot<LAPI_GET_GPS_DB_DATA_RSP_S>(
        global, link, kDbGet, LAPI_GetGpsDatabaseData, req,
        [&](const LAPI_GET_GPS_DB_DATA_RSP_S &rsp) {
            const int32_t result = rsp.result;
            if (result == -1) {
                return Fail("no entry for file " + std::to_string(fileId));
            }
            if (result != 0) {
                return Fail("cannot read file " + std::to_string(fileId) + ": " +
                            WithName(result, GpsDbResultName(result)));
            }
            return Outcome{DbEntriesText(rsp), {}};
        });
}

int RunDbSet(const GlobalOptions &global, Link &link, const std::vector<DbEntry> &entries) {
    if (entries.empty() || entries.size() > LAPI_GPS_DB_MAX_FILES) {
        Complain("give 1 to 22 entries");
        return kExitUsage;
    }
    auto req = Request<LAPI_SET_GPS_DB_DATA_REQ_S>(link);
    req.numFiles = static_cast<uint16_t>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        req.dbFile[i].fileId = entries[i].fileId;
        req.dbFile[i].length = static_cast<uint16_t>(entries[i].data.size());
        std::memcpy(req.dbFile[i].data, entries[i].data.data(), entries[i].data.size());
    }
    return OneShot<LAPI_SET_GPS_DB_DATA_RSP_S>(
        global, link, kDbSet, LAPI_SetGpsDatabaseData, req,
        [&](const LAPI_SET_GPS_DB_DATA_RSP_S &rsp) {
            const int32_t result = rsp.result;
            if (result != 0) {
                return Fail("the location server did not store the entries: " +
                            WithName(result, GpsDbResultName(result)));
            }
            const std::size_t n = entries.size();
            return Outcome{"stored " + std::to_string(n) + (n == 1 ? " entry" : " entries"), {}};
        });
}

// ---- distance, proximity ---------------------------------------------------------

int RunDistance(const GlobalOptions &global, Link &link, const DistanceOptions &opts) {
    auto req = Request<LAPI_DISTANCE_AZIMUTH_REQ_S>(link);
    req.latitude1 = opts.latitude1;
    req.longitude1 = opts.longitude1;
    req.latitude2 = opts.latitude2;
    req.longitude2 = opts.longitude2;
    req.distanceOnly = opts.distanceOnly ? 1 : 0;
    return OneShot<LAPI_DISTANCE_AZIMUTH_RSP_S>(
        global, link, kDistance, LAPI_CalculateDistanceAzimuth, req,
        [&](const LAPI_DISTANCE_AZIMUTH_RSP_S &rsp) {
            return Outcome{DistanceLine(rsp, opts.distanceOnly), {}};
        });
}

int RunProximityAdd(const GlobalOptions &global, Link &link, const ProximityAddOptions &opts) {
    if (link.client == nullptr && !opts.wait) {
        Complain(
            "a listener ends with the client that added it, and this one ends with the "
            "command: add --wait, or use lapictl shell");
        return kExitUsage;
    }
    auto req = Request<LAPI_ADD_PROXIMITY_REQ_S>(link);
    req.latitude = opts.latitude;
    req.longitude = opts.longitude;
    req.altitude = opts.altitude;
    req.radius = opts.radius;
    const auto wait = [&](const Client &client) {
        const int32_t number = link.listeners;
        bool lost = false;
        const int rc = ForEachPushed(
            global, link, client, "a proximity hit", "a proximity hit", opts.count,
            [&](Bytes msg) {
                return Answers(msg, req) ? SettlePushed<LAPI_PROXIMITY_HIT_IND_S>(
                                               global, msg, {LAPI_MSG_PROXIMITY_HIT_IND}, HitReport)
                                         : kSkip;
            },
            &lost);
        // Removing the listener keeps the server's proximity status honest at once (in
        // one-shot mode it would die with the client anyway); its answer is not awaited.
        auto remove = Request<LAPI_REMOVE_PROXIMITY_REQ_S>(link);
        remove.removeType = number;
        if (!lost &&
            LAPI_RemoveProximityListener(client.id(), LAPI_NONBLOCK, &remove, nullptr) != 0) {
            CallFailed(kProximityRemove.what);
        }
        return rc;
    };
    return OneShot<LAPI_ADD_PROXIMITY_RSP_S>(
        global, link, kProximityAdd, LAPI_AddProximityListener, req,
        [&](const LAPI_ADD_PROXIMITY_RSP_S &rsp) {
            const int32_t status = rsp.status;
            if (status != 0) {
                return Fail("the location server refused the listener: " +
                            WithName(status, ProximityResultName(status)));
            }
            ++link.listeners;  // the server numbers a client's listeners the same way
            return Outcome{"proximity listener added: " + FormatLatitude(opts.latitude) + ' ' +
                               FormatLongitude(opts.longitude) + "  radius " +
                               FormatMetres(opts.radius) + " m",
                           {}};
        },
        opts.wait ? wait : std::function<int(const Client &)>());
}

int RunProximityRemove(const GlobalOptions &global, Link &link, int32_t removeType) {
    if (link.client == nullptr) {
        Complain(
            "listeners belong to the client that added them, and each one-shot lapictl "
            "is a client of its own: use lapictl shell");
        return kExitUsage;
    }
    auto req = Request<LAPI_REMOVE_PROXIMITY_REQ_S>(link);
    req.removeType = removeType;
    return OneShot<LAPI_REMOVE_PROXIMITY_RSP_S>(
        global, link, kProximityRemove, LAPI_RemoveProximityListener, req,
        [&](const LAPI_REMOVE_PROXIMITY_RSP_S &rsp) {
            const int32_t status = rsp.status;
            if (status == -3) {
                return Fail(removeType == 0 ? std::string("nothing to remove: no listener left")
                                            : "nothing to remove: no listener number " +
                                                  std::to_string(removeType));
            }
            if (status != 0) {
                return Fail("the location server refused the removal: " +
                            WithName(status, ProximityResultName(status)));
            }
            return Outcome{"proximity listeners removed", {}};
        });
}

// ---- mtlr ------------------------------------------------------------------------

namespace {

struct Pending {
    uint8_t sessionId;
    uint8_t transactionId;
    std::string from;
};

std::string IdsText(uint8_t sessionId, uint8_t transactionId) {
    return std::to_string(sessionId) + '/' + std::to_string(transactionId);
}

void Prompt(const Pending &p) {
    Tell("Allow the location request from " + p.from + " (notification " +
         IdsText(p.sessionId, p.transactionId) + ")? [y/n] ");
}

bool Reply(const GlobalOptions &global, const Client &client, uint8_t sessionId,
           uint8_t transactionId, bool allow) {
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    cfm.sessionId = sessionId;
    cfm.transactionId = transactionId;
    cfm.responseType = allow ? 0 : 1;
    if (LAPI_LocationVerify(client.id(), &cfm) != 0) {
        CallFailed("the answer to the MT-LR request");
        return false;
    }
    // The call has filled in the header.
    PrintLine(global.json ? SentJson(Bytes(reinterpret_cast<const uint8_t *>(&cfm), sizeof cfm))
                          : "answered MT-LR notification " + IdsText(sessionId, transactionId) +
                                ": " + (allow ? "allow" : "deny"));
    return true;
}

}  // namespace

int RunMtlr(const GlobalOptions &global, Link &link, const MtlrOptions &opts) {
    CatchStopSignals();  // before the client exists: see OneShot
    const ClientUse client(link, LAPI_MSG_LOCATION_NOTIFICATION_CFM);
    if (!client) {
        return kExitFailure;
    }
    const bool autoAnswer = !opts.answer.empty();
    // The answers come from standard input, a terminal or not: a line each.
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    bool endOfInput = false;
    std::string input;            // read, not yet answered
    std::deque<Pending> prompts;  // the front one is asked
    // Each whole line read answers the front request ("y" or "n"), or asks it again; once
    // the input has ended, every request that asks is denied.
    const auto answer = [&] {
        while (!prompts.empty()) {
            const std::size_t nl = input.find('\n');
            if (nl == std::string::npos && !endOfInput) {
                return kSkip;
            }
            const Pending p = prompts.front();
            std::string line = input.substr(0, nl);
            input.erase(0, nl == std::string::npos ? input.size() : nl + 1);
            if (nl == std::string::npos && line.empty()) {
                Tell("\n");
                Complain("no answer on standard input: denying MT-LR notification " +
                         IdsText(p.sessionId, p.transactionId));
                line = "n";
            } else if (!terminal) {
                Tell(line + '\n');  // the piped answer, after its question
            }
            const char c = line.empty() ? '\0' : line[0];
            if (c == 'y' || c == 'Y' || c == 'n' || c == 'N') {
                prompts.pop_front();
                if (!Reply(global, *client, p.sessionId, p.transactionId, c == 'y' || c == 'Y')) {
                    return kExitFailure;
                }
            }
            if (!prompts.empty()) {
                Prompt(prompts.front());
            }
        }
        return kSkip;
    };
    const auto onInput = [&] {
        endOfInput = !ReadStdin(input) || endOfInput;
        return answer();
    };
    // A request settled elsewhere (another client, or its timeout) needs no answer from
    // here any more.
    const auto settled = [&](const LAPI_NOTIFICATION_STATUS_IND_S &ind) {
        for (auto it = prompts.begin(); it != prompts.end(); ++it) {
            if (it->sessionId == ind.sessionId && it->transactionId == ind.transactionId) {
                const bool wasFront = it == prompts.begin();
                prompts.erase(it);
                if (wasFront) {
                    Tell("\n");
                    if (!prompts.empty()) {
                        Prompt(prompts.front());
                    }
                }
                break;
            }
        }
        return Outcome{NotificationStatusLine(ind), {}};
    };
    return ForEachPushed(
        global, link, *client, "an MT-LR request", "MT-LR requests", opts.count,
        [&](Bytes msg) {
            if (msg.empty()) {
                return onInput();
            }
            if (MsgIdOf(msg) != LAPI_MSG_LOCATION_NOTIFICATION_IND) {
                return SettlePushed<LAPI_NOTIFICATION_STATUS_IND_S>(
                    global, msg, {LAPI_MSG_NOTIFICATION_STATUS_IND}, settled);
            }
            const auto ind = Decode<LAPI_LOCATION_NOTIFICATION_IND_S>(msg);
            if (!ind) {
                return Malformed(msg);
            }
            Show(global, msg, NotificationLine(*ind));
            // Types 1 and 2 ask for an answer; the others only notify.
            const int32_t type = ind->notificationType;
            if ((type == 1 || type == 2) && autoAnswer) {
                return Reply(global, *client, ind->sessionId, ind->transactionId,
                             opts.answer == "accept")
                           ? kShown
                           : kExitFailure;
            }
            // In the shell, standard input holds the commands: `mtlr accept|deny` answers.
            if ((type == 1 || type == 2) && link.client == nullptr) {
                prompts.push_back(Pending{ind->sessionId, ind->transactionId, ClientName(*ind)});
                if (prompts.size() == 1) {
                    Prompt(prompts.front());
                }
                return answer();  // with lines read before, or after the end of the input
            }
            return kShown;
        },
        nullptr, [&] { return prompts.empty() || endOfInput ? -1 : STDIN_FILENO; });
}

int RunMtlrAnswer(const GlobalOptions &global, Link &link, bool allow) {
    if (link.asked.empty()) {
        Complain("no MT-LR notification waits for an answer");
        return kExitFailure;
    }
    for (; !link.asked.empty(); link.asked.pop_front()) {
        const Notification n = link.asked.front();
        if (!Reply(global, *link.client, n.sessionId, n.transactionId, allow)) {
            return kExitFailure;
        }
    }
    return kExitOk;
}

// ---- admin -----------------------------------------------------------------------

namespace {

// An admin command's failure on standard error: the line for people, or {"error": text}
// with --json.
int AdminFailed(const GlobalOptions &global, const std::string &text, int rc) {
    if (global.json) {
        Tell(JsonObject().Str("error", text).Done() + '\n');
    } else {
        Complain(text);
    }
    return rc;
}

// The commands that only change something in lapid: their answer has no data lines.
bool IsSetter(std::string_view command) {
    return command == "position" || command == "route" || command == "fix" || command == "status";
}

}  // namespace

int RunAdmin(const GlobalOptions &global, const AdminOptions &opts) {
    const std::string problem = CheckControlWords(opts.words);
    if (!problem.empty()) {
        return AdminFailed(global, problem, kExitUsage);
    }
    std::string error;
    const int fd = ControlClient::Connect(opts.controlPath, &error);
    if (fd < 0) {
        return AdminFailed(global,
                           "cannot reach the control socket at " + opts.controlPath + " (" + error +
                               "): is lapid running?",
                           kExitFailure);
    }
    ControlClient control(fd);
    const std::string command = JoinWords(opts.words);
    ControlReply reply;
    if (!control.Transact(command, &reply, &error)) {
        return AdminFailed(global, "control socket " + opts.controlPath + ": " + error,
                           kExitFailure);
    }
    for (const std::string &line : reply.lines) {
        PrintLine(global.json ? ControlLineJson(opts.words.front(), line) : line);
    }
    if (!reply.ok) {
        return AdminFailed(global, "lapid refused '" + command + "': " + reply.reason,
                           kExitFailure);
    }
    if (IsSetter(opts.words.front())) {
        PrintLine(global.json ? JsonObject().Str("msg", opts.words.front()).Raw("ok", "true").Done()
                              : "OK");
    }
    return kExitOk;
}

// ---- pushed messages in the shell ------------------------------------------------

bool ShowPushed(Link &link, Bytes msg) {
    if (link.client == nullptr) {
        return false;
    }
    const GlobalOptions &global = link.global;
    const uint16_t id = MsgIdOf(msg);
    const Answer plain{id};
    switch (id) {
        case LAPI_MSG_GET_LOCATION_RSP:
            if (std::find(link.periodic.begin(), link.periodic.end(), SessionIdOf(msg)) ==
                link.periodic.end()) {
                return false;  // a late answer to a command that has ended
            }
            Settle<LAPI_GET_LOCATION_RSP_S>(global, msg, kWatch.answer, PeriodicReport);
            break;
        case LAPI_MSG_PROXIMITY_HIT_IND:
            Settle<LAPI_PROXIMITY_HIT_IND_S>(global, msg, plain, HitReport);
            break;
        case LAPI_MSG_STATUS_CHANGE_IND:
            Settle<LAPI_STATUS_CHANGE_IND_S>(
                global, msg, plain, [&](const LAPI_STATUS_CHANGE_IND_S &ind) {
                    const StatusValues next = StatusOf(ind);
                    return Outcome{
                        NowText() + "  " + StatusChangeLine(link.status.value_or(next), next), {}};
                });
            break;
        case LAPI_MSG_LOCATION_NOTIFICATION_IND:
            Settle<LAPI_LOCATION_NOTIFICATION_IND_S>(
                global, msg, plain, [](const LAPI_LOCATION_NOTIFICATION_IND_S &ind) {
                    return Outcome{NotificationLine(ind), {}};
                });
            break;
        case LAPI_MSG_NOTIFICATION_STATUS_IND:
            Settle<LAPI_NOTIFICATION_STATUS_IND_S>(
                global, msg, plain, [](const LAPI_NOTIFICATION_STATUS_IND_S &ind) {
                    return Outcome{NotificationStatusLine(ind), {}};
                });
            break;
        default:
            return false;  // late answers, answers to aborts
    }
    ++link.shown[id];
    return true;
}

void NotePushed(Link &link, Bytes msg) {
    if (link.client == nullptr) {
        return;
    }
    switch (MsgIdOf(msg)) {
        case LAPI_MSG_GET_STATUS_RSP:
        case LAPI_MSG_STATUS_CHANGE_IND:
            if (const auto values = Decode<LAPI_GET_STATUS_RSP_S>(msg)) {
                link.status = StatusOf(*values);
            }
            break;
        case LAPI_MSG_GET_LOCATION_RSP:
            // A refused periodic request has no session.
            if (const auto rsp = Decode<LAPI_GET_LOCATION_RSP_S>(msg);
                rsp && (rsp->cause == 3 || rsp->cause == 4)) {
                std::erase(link.periodic, rsp->sessionId);
            }
            break;
        case LAPI_MSG_LOCATION_NOTIFICATION_IND:
            if (const auto ind = Decode<LAPI_LOCATION_NOTIFICATION_IND_S>(msg);
                ind && (ind->notificationType == 1 || ind->notificationType == 2)) {
                link.asked.push_back({ind->sessionId, ind->transactionId});
            }
            break;
        case LAPI_MSG_NOTIFICATION_STATUS_IND:
            if (const auto ind = Decode<LAPI_NOTIFICATION_STATUS_IND_S>(msg)) {
                std::erase_if(link.asked, [&](const Notification &n) {
                    return n.sessionId == ind->sessionId && n.transactionId == ind->transactionId;
                });
            }
            break;
        default:
            break;
    }
}

}  // namespace lapictl
