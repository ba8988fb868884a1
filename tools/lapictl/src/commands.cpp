#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <array>
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

namespace lapictl {
namespace {

// lapictl runs one request (or one periodic session) per process: one pair of ids.
constexpr uint8_t kSessionId = 1;
constexpr uint8_t kTransactionId = 1;

using Buffer = std::array<uint8_t, lapi::cat::kMaxMessageLen>;

// A request record with lapictl's ids, everything else 0.
template <class Req>
Req Request() {
    Req req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
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

// Every message of the server opens its body with the sessionId of the request.
uint8_t SessionIdOf(Bytes msg) {
    constexpr std::size_t kAt = offsetof(LAPI_TIME_OUT_RSP_S, sessionId);
    return msg.size() > kAt ? msg[kAt] : 0;
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

// The time limit of a wait for pushed messages: --max-wait when given, otherwise
// `fallback` seconds (none when fallback is 0).
Deadline DeadlineFor(const GlobalOptions &global, double fallback = 0) {
    const double seconds = global.maxWait > 0 ? global.maxWait : fallback;
    if (seconds <= 0) {
        return std::nullopt;
    }
    return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

int GaveUp(const GlobalOptions &global, std::string_view what) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", global.maxWait);
    Complain("gave up after " + std::string(seconds) + " s waiting for " + std::string(what));
    return kExitFailure;
}

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
    const char *notice = "waiting for the location server...";  // nullptr: no notice
};

constexpr const char *kInvalidLocation = "the location server refused the request as invalid";
constexpr CallPlan kLocate{LAPI_MSG_GET_LOCATION_REQ,
                           "the location request",
                           {LAPI_MSG_GET_LOCATION_RSP, kInvalidLocation, "request timed out"},
                           "waiting for a fix..."};
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
    LAPI_MSG_ADD_PROXIMITY_REQ, "the proximity request", {LAPI_MSG_ADD_PROXIMITY_RSP}, nullptr};
constexpr CallPlan kProximityRemove{LAPI_MSG_REMOVE_PROXIMITY_REQ,
                                    "the proximity removal",
                                    {LAPI_MSG_REMOVE_PROXIMITY_RSP},
                                    nullptr};

std::unique_ptr<Client> Register(const CallPlan &plan) {
    return Client::Register(lapi::cat::Find(plan.request)->service);
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
        std::optional<WaitNotice> notice;
        if (plan.notice != nullptr) {
            notice.emplace(plan.notice);
        }
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

// A one-shot subcommand: registers for the request's service, makes the blocking call
// with req, settles the answer and unregisters. `then`, when given, goes on with the
// client after a successful answer (Ctrl-C then stops it rather than the process).
template <class Rsp, class Req, class Decide>
int OneShot(const GlobalOptions &global, const CallPlan &plan, CallFn<Req> call, const Req &req,
            Decide decide, const std::function<int(const Client &)> &then = nullptr) {
    // Ctrl-C is caught before the client exists, so that it never ends the process
    // between registration and the wait (the client is then always unregistered).
    if (then) {
        CatchStopSignals();
    }
    const auto client = Register(plan);
    if (!client) {
        return kExitFailure;
    }
    Buffer buf{};
    const auto msg = Send(*client, plan, call, req, buf);
    if (!msg) {
        return kExitFailure;
    }
    const int rc = Settle<Rsp>(global, *msg, plan.answer, decide);
    return rc == kExitOk && then ? then(*client) : rc;
}

// ---- Pushed messages -------------------------------------------------------------

// What a handler of pushed messages answers besides an exit code.
constexpr int kSkip = -1;   // not ours: wait for the next
constexpr int kCount = -2;  // handled: one more towards --count

// Hands the messages pushed to the client to `each` until `count` of them counted (0:
// no limit), Ctrl-C (exit 0), --max-wait passes (a complaint naming `gaveUp`), the
// connection is lost (*lost set) or `each` returns an exit code. When `inputFd` gives a
// descriptor (not -1), `each` gets an empty msg once that is readable.
template <class Each>
int ForEachPushed(const GlobalOptions &global, const Client &client, std::string_view what,
                  std::string_view gaveUp, int count, Each each, bool *lost = nullptr,
                  const std::function<int()> &inputFd = nullptr) {
    const Deadline deadline = DeadlineFor(global);
    std::vector<uint8_t> msg;
    for (int counted = 0; count == 0 || counted < count;) {
        const WaitResult wait = NextMessage(client, &msg, deadline, what, inputFd ? inputFd() : -1);
        if (wait == WaitResult::kStopped) {
            break;
        }
        if (wait == WaitResult::kTimedOut) {
            return GaveUp(global, gaveUp);
        }
        if (wait == WaitResult::kFailed) {
            if (lost != nullptr) {
                *lost = true;
            }
            return kExitFailure;
        }
        const int verdict = each(wait == WaitResult::kInput ? Bytes() : Bytes(msg));
        if (verdict == kCount) {
            ++counted;
        } else if (verdict != kSkip) {
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

}  // namespace

// ---- locate, last, watch ---------------------------------------------------------

int RunLocate(const GlobalOptions &global, const LocateOptions &opts) {
    auto req = Request<LAPI_GET_LOCATION_REQ_S>();
    req.responseTime = opts.timeout;
    req.horizontalAccuracy = opts.accuracy;
    req.speedAndCourseRequired = 1;
    req.altitudeRequired = 1;
    const auto decide = [](const LAPI_GET_LOCATION_RSP_S &rsp) { return Located(rsp, false); };
    if (!opts.nonblock) {
        return OneShot<LAPI_GET_LOCATION_RSP_S>(global, kLocate, LAPI_GetLocation, req, decide);
    }

    const auto client = Register(kLocate);
    if (!client) {
        return kExitFailure;
    }
    if (LAPI_GetLocation(client->id(), LAPI_NONBLOCK, &req, nullptr) != 0) {
        return CallFailed(kLocate.what);
    }
    // The server answers by responseTime at the latest; allow it some slack.
    const Deadline deadline = DeadlineFor(global, opts.timeout + 10.0);
    std::vector<uint8_t> msg;
    for (;;) {
        switch (NextMessage(*client, &msg, deadline, "a fix")) {
            case WaitResult::kMessage:
                break;
            case WaitResult::kTimedOut:
                Complain("no answer from the location server");
                return kExitFailure;
            case WaitResult::kStopped:
            case WaitResult::kInput:
            case WaitResult::kFailed:
                return kExitFailure;
        }
        const int rc = SessionIdOf(msg) == kSessionId ? SettlePushed<LAPI_GET_LOCATION_RSP_S>(
                                                            global, msg, kLocate.answer, decide)
                                                      : kSkip;
        if (rc != kSkip) {
            return rc == kCount ? kExitOk : rc;
        }
        // Anything else on the asynchronous connection is not ours to report.
    }
}

int RunLast(const GlobalOptions &global) {
    return OneShot<LAPI_GET_LOCATION_RSP_S>(
        global, kLast, LAPI_GetLastKnownLocation, Request<LAPI_LAST_KNOWN_LOCATION_REQ_S>(),
        [](const LAPI_GET_LOCATION_RSP_S &rsp) { return Located(rsp, true); });
}

int RunWatch(const GlobalOptions &global, const WatchOptions &opts) {
    CatchStopSignals();  // before the client exists: see OneShot
    const auto client = Register(kWatch);
    if (!client) {
        return kExitFailure;
    }
    auto req = Request<LAPI_GET_LOCATION_REQ_S>();
    req.horizontalAccuracy = opts.accuracy;
    req.interval = opts.interval;
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    req.speedAndCourseRequired = 1;
    req.altitudeRequired = 1;
    if (LAPI_GetLocation(client->id(), LAPI_NONBLOCK, &req, nullptr) != 0) {
        return CallFailed(kWatch.what);
    }

    const auto report = [](const LAPI_GET_LOCATION_RSP_S &rsp) {
        const int32_t cause = rsp.cause;
        if (cause == 3 || cause == 4) {
            return Fail("the location server refused the periodic request: " +
                        WithName(cause, LocationCauseName(cause)));
        }
        return Outcome{cause == 1 ? NowText() + "  no fix"
                                  : FixLine(rsp) + (cause == 2 ? "  (accuracy not met)" : ""),
                       {}};
    };
    bool lost = false;
    const int rc = ForEachPushed(
        global, *client, "the next report", "reports", opts.count,
        [&](Bytes msg) {
            return SessionIdOf(msg) == kSessionId
                       ? SettlePushed<LAPI_GET_LOCATION_RSP_S>(global, msg, kWatch.answer, report)
                       : kSkip;
        },
        &lost);
    if (!lost) {
        // Ends the periodic session in the server before the client goes away.
        LAPI_AbortAllLocationRequest(client->id());
    }
    return rc;
}

// ---- status ----------------------------------------------------------------------

int RunStatus(const GlobalOptions &global, const StatusOptions &opts) {
    StatusValues current{};
    const auto follow = [&](const Client &client) {
        return ForEachPushed(
            global, client, "a status change", "status changes", opts.count, [&](Bytes msg) {
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
        global, kStatus, LAPI_GetStatus, Request<LAPI_GET_STATUS_REQ_S>(),
        [&](const LAPI_GET_STATUS_RSP_S &rsp) {
            current = StatusOf(rsp);
            return Outcome{StatusTable(current), {}};
        },
        opts.follow ? follow : std::function<int(const Client &)>());
}

// ---- db --------------------------------------------------------------------------

int RunDbGet(const GlobalOptions &global, uint32_t fileId) {
    auto req = Request<LAPI_GET_GPS_DB_DATA_REQ_S>();
    req.fileId = fileId;
    return OneShot<LAPI_GET_GPS_DB_DATA_RSP_S>(
        global, kDbGet, LAPI_GetGpsDatabaseData, req, [&](const LAPI_GET_GPS_DB_DATA_RSP_S &rsp) {
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

int RunDbSet(const GlobalOptions &global, const std::vector<DbEntry> &entries) {
    if (entries.empty() || entries.size() > LAPI_GPS_DB_MAX_FILES) {
        Complain("give 1 to 22 entries");
        return kExitUsage;
    }
    auto req = Request<LAPI_SET_GPS_DB_DATA_REQ_S>();
    req.numFiles = static_cast<uint16_t>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        req.dbFile[i].fileId = entries[i].fileId;
        req.dbFile[i].length = static_cast<uint16_t>(entries[i].data.size());
        std::memcpy(req.dbFile[i].data, entries[i].data.data(), entries[i].data.size());
    }
    return OneShot<LAPI_SET_GPS_DB_DATA_RSP_S>(
        global, kDbSet, LAPI_SetGpsDatabaseData, req, [&](const LAPI_SET_GPS_DB_DATA_RSP_S &rsp) {
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

int RunDistance(const GlobalOptions &global, const DistanceOptions &opts) {
    auto req = Request<LAPI_DISTANCE_AZIMUTH_REQ_S>();
    req.latitude1 = opts.latitude1;
    req.longitude1 = opts.longitude1;
    req.latitude2 = opts.latitude2;
    req.longitude2 = opts.longitude2;
    req.distanceOnly = opts.distanceOnly ? 1 : 0;
    return OneShot<LAPI_DISTANCE_AZIMUTH_RSP_S>(
        global, kDistance, LAPI_CalculateDistanceAzimuth, req,
        [&](const LAPI_DISTANCE_AZIMUTH_RSP_S &rsp) {
            return Outcome{DistanceLine(rsp, opts.distanceOnly), {}};
        });
}

int RunProximityAdd(const GlobalOptions &global, const ProximityAddOptions &opts) {
    auto req = Request<LAPI_ADD_PROXIMITY_REQ_S>();
    req.latitude = opts.latitude;
    req.longitude = opts.longitude;
    req.altitude = opts.altitude;
    req.radius = opts.radius;
    const auto wait = [&](const Client &client) {
        bool lost = false;
        const int rc = ForEachPushed(
            global, client, "a proximity hit", "a proximity hit", opts.count,
            [&](Bytes msg) {
                return SettlePushed<LAPI_PROXIMITY_HIT_IND_S>(
                    global, msg, {LAPI_MSG_PROXIMITY_HIT_IND},
                    [](const LAPI_PROXIMITY_HIT_IND_S &hit) {
                        return Outcome{"proximity hit: " + FixLine(hit), {}};
                    });
            },
            &lost);
        Buffer buf{};
        // The listener dies with the client anyway; removing it first keeps the
        // server's proximity status honest at once. Only a lost connection or a
        // malformed answer is worth a word here.
        const auto msg = lost ? std::nullopt
                              : Send(client, kProximityRemove, LAPI_RemoveProximityListener,
                                     Request<LAPI_REMOVE_PROXIMITY_REQ_S>(), buf);
        if (msg && MsgIdOf(*msg) == LAPI_MSG_REMOVE_PROXIMITY_RSP &&
            !Decode<LAPI_REMOVE_PROXIMITY_RSP_S>(*msg)) {
            Malformed(*msg);
        }
        return rc;
    };
    return OneShot<LAPI_ADD_PROXIMITY_RSP_S>(
        global, kProximityAdd, LAPI_AddProximityListener, req,
        [&](const LAPI_ADD_PROXIMITY_RSP_S &rsp) {
            const int32_t status = rsp.status;
            if (status != 0) {
                return Fail("the location server refused the listener: " +
                            WithName(status, ProximityResultName(status)));
            }
            return Outcome{"proximity listener added: " + FormatLatitude(opts.latitude) + ' ' +
                               FormatLongitude(opts.longitude) + "  radius " +
                               FormatMetres(opts.radius) + " m",
                           {}};
        },
        opts.wait ? wait : std::function<int(const Client &)>());
}

int RunProximityRemove(const GlobalOptions &global, int32_t removeType) {
    auto req = Request<LAPI_REMOVE_PROXIMITY_REQ_S>();
    req.removeType = removeType;
    return OneShot<LAPI_REMOVE_PROXIMITY_RSP_S>(
        global, kProximityRemove, LAPI_RemoveProximityListener, req,
        [](const LAPI_REMOVE_PROXIMITY_RSP_S &rsp) {
            const int32_t status = rsp.status;
            if (status == -3) {
                return Fail(
                    "nothing to remove: listeners belong to the client that added them, and "
                    "each lapictl run is a client of its own");
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

void Prompt(const Pending &p) {
    Tell("Allow the location request " + std::to_string(p.sessionId) + '/' +
         std::to_string(p.transactionId) + " from " + p.from + "? [y/n] ");
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
                          : "answered MT-LR request " + std::to_string(sessionId) + '/' +
                                std::to_string(transactionId) + ": " + (allow ? "allow" : "deny"));
    return true;
}

}  // namespace

int RunMtlr(const GlobalOptions &global, const MtlrOptions &opts) {
    CatchStopSignals();  // before the client exists: see OneShot
    const auto client = Client::Register(LAPI_SERVICE_MTLR);
    if (!client) {
        return kExitFailure;
    }
    const bool autoAnswer = !opts.answer.empty();
    int inputFd = !autoAnswer && ::isatty(STDIN_FILENO) == 1 ? STDIN_FILENO : -1;
    std::deque<Pending> prompts;  // the front one is on the terminal
    // A line from the user answers the front request, or asks it again.
    const auto onInput = [&] {
        char line[256];
        if (::read(STDIN_FILENO, line, sizeof line - 1) <= 0) {
            inputFd = -1;  // end of input: leave the rest to the defaults
            return kSkip;
        }
        const char c = line[0];
        if (c == 'y' || c == 'Y' || c == 'n' || c == 'N') {
            const Pending p = prompts.front();
            prompts.pop_front();
            if (!Reply(global, *client, p.sessionId, p.transactionId, c == 'y' || c == 'Y')) {
                return kExitFailure;
            }
        }
        if (!prompts.empty()) {
            Prompt(prompts.front());
        }
        return kSkip;
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
        global, *client, "an MT-LR request", "MT-LR requests", opts.count,
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
                           ? kSkip
                           : kExitFailure;
            }
            if ((type == 1 || type == 2) && inputFd >= 0) {
                prompts.push_back(Pending{ind->sessionId, ind->transactionId, ClientName(*ind)});
                if (prompts.size() == 1) {
                    Prompt(prompts.front());
                }
            }
            return kSkip;
        },
        nullptr, [&] { return prompts.empty() ? -1 : inputFd; });
}

// ---- admin -----------------------------------------------------------------------

int RunAdmin(const GlobalOptions &global, const AdminOptions &opts) {
    const std::string problem = CheckControlWords(opts.words);
    if (!problem.empty()) {
        Complain(problem);
        return kExitUsage;
    }
    std::string error;
    const int fd = ControlClient::Connect(opts.controlPath, &error);
    if (fd < 0) {
        Complain("cannot reach the control socket at " + opts.controlPath + " (" + error +
                 "): is lapid running?");
        return kExitFailure;
    }
    ControlClient control(fd);
    const std::string command = JoinWords(opts.words);
    ControlReply reply;
    if (!control.Transact(command, &reply, &error)) {
        Complain("control socket " + opts.controlPath + ": " + error);
        return kExitFailure;
    }
    for (const std::string &line : reply.lines) {
        PrintLine(global.json ? ControlLineJson(opts.words.front(), line) : line);
    }
    if (!reply.ok) {
        Complain("lapid refused '" + command + "': " + reply.reason);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace lapictl
