#include "commands.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>

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

using Buffer = std::array<uint8_t, LAPI_ASYNC_MSG_BUF_LEN>;

// The message that a LAPI_BLOCK call placed in buf (the library has checked that it
// fits).
Bytes Received(const Buffer &buf) {
    const LAPI_MSG_HEADER_S header = HeaderOf(Bytes(buf.data(), sizeof(LAPI_MSG_HEADER_S)));
    return Bytes(buf.data(), sizeof header + header.msgLen);
}

uint16_t MsgIdOf(Bytes msg) {
    return HeaderOf(msg).msgId;
}

std::string NameOf(Bytes msg) {
    const std::string_view name = MessageName(MsgIdOf(msg));
    return name.empty() ? "message " + std::to_string(MsgIdOf(msg)) : std::string(name);
}

// JSON for scripts, or the human line (nothing when it is empty).
void Show(const GlobalOptions &global, Bytes msg, std::string_view human) {
    if (global.json) {
        PrintLine(MessageJson(msg));
    } else if (!human.empty()) {
        PrintLine(human);
    }
}

// A human text of several lines, printed line by line.
void ShowLines(const GlobalOptions &global, Bytes msg, const std::string &text) {
    if (global.json) {
        PrintLine(MessageJson(msg));
        return;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            nl = text.size();
        }
        PrintLine(std::string_view(text).substr(start, nl - start));
        start = nl + 1;
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

// The answer to a single fix or to a last known location request. timeOutRsp,
// invalidRequestRsp and a getLocationRsp without a fix are failures.
int LocationAnswer(const GlobalOptions &global, Bytes msg, bool showAge) {
    switch (MsgIdOf(msg)) {
        case LAPI_MSG_GET_LOCATION_RSP: {
            const auto rsp = Decode<LAPI_GET_LOCATION_RSP_S>(msg);
            if (!rsp) {
                return Malformed(msg);
            }
            const int32_t cause = rsp->cause;
            if (cause != 0 && cause != 2) {
                Show(global, msg, {});
                if (cause == 1) {
                    Complain("no position available");
                } else {
                    Complain("the location server refused the request: " +
                             WithName(cause, LocationCauseName(cause)));
                }
                return kExitFailure;
            }
            std::string line = FixLine(FixOf(*rsp));
            if (showAge) {
                char age[48];
                std::snprintf(age, sizeof age, "  age %.1f s", rsp->ageOfFix);
                line += age;
            }
            if (cause == 2) {
                line += "  (accuracy not met)";
            }
            Show(global, msg, line);
            return kExitOk;
        }
        case LAPI_MSG_TIME_OUT_RSP:
            Show(global, msg, {});
            Complain("request timed out");
            return kExitFailure;
        case LAPI_MSG_INVALID_REQUEST_RSP:
            Show(global, msg, {});
            Complain("the location server refused the request as invalid");
            return kExitFailure;
        default:
            return Unexpected(global, msg);
    }
}

uint8_t SessionIdOf(Bytes msg) {
    return msg.size() > 8 ? msg[8] : 0;
}

}  // namespace

// ---- locate, last, watch ---------------------------------------------------------

int RunLocate(const GlobalOptions &global, const LocateOptions &opts) {
    const auto client = Client::Register(LAPI_SERVICE_MOLR);
    if (!client) {
        return kExitFailure;
    }
    LAPI_GET_LOCATION_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.responseTime = opts.timeout;
    req.horizontalAccuracy = opts.accuracy;
    req.speedAndCourseRequired = 1;
    req.altitudeRequired = 1;

    if (!opts.nonblock) {
        Buffer rsp{};
        int rc = 0;
        {
            WaitNotice notice("waiting for a fix...");
            rc = LAPI_GetLocation(client->id(), LAPI_BLOCK, &req, rsp.data());
        }
        if (rc != 0) {
            return CallFailed("the location request");
        }
        return LocationAnswer(global, Received(rsp), false);
    }

    if (LAPI_GetLocation(client->id(), LAPI_NONBLOCK, &req, nullptr) != 0) {
        return CallFailed("the location request");
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
        const uint16_t id = MsgIdOf(msg);
        const bool answer = id == LAPI_MSG_GET_LOCATION_RSP || id == LAPI_MSG_TIME_OUT_RSP ||
                            id == LAPI_MSG_INVALID_REQUEST_RSP;
        if (answer && SessionIdOf(msg) == kSessionId) {
            return LocationAnswer(global, msg, false);
        }
        // Anything else on the asynchronous connection is not ours to report.
    }
}

int RunLast(const GlobalOptions &global) {
    const auto client = Client::Register(LAPI_SERVICE_MOLR);
    if (!client) {
        return kExitFailure;
    }
    LAPI_LAST_KNOWN_LOCATION_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    Buffer rsp{};
    int rc = 0;
    {
        WaitNotice notice("waiting for the location server...");
        rc = LAPI_GetLastKnownLocation(client->id(), LAPI_BLOCK, &req, rsp.data());
    }
    if (rc != 0) {
        return CallFailed("the last known location request");
    }
    return LocationAnswer(global, Received(rsp), true);
}

int RunWatch(const GlobalOptions &global, const WatchOptions &opts) {
    const auto client = Client::Register(LAPI_SERVICE_MOLR);
    if (!client) {
        return kExitFailure;
    }
    CatchStopSignals();
    LAPI_GET_LOCATION_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.horizontalAccuracy = opts.accuracy;
    req.interval = opts.interval;
    req.reportCriteria = LAPI_REPORT_PERIODIC;
    req.speedAndCourseRequired = 1;
    req.altitudeRequired = 1;
    if (LAPI_GetLocation(client->id(), LAPI_NONBLOCK, &req, nullptr) != 0) {
        return CallFailed("the periodic location request");
    }

    const Deadline deadline = DeadlineFor(global);
    int rc = kExitOk;
    int reports = 0;
    bool connected = true;
    std::vector<uint8_t> msg;
    while (opts.count == 0 || reports < opts.count) {
        const WaitResult wait = NextMessage(*client, &msg, deadline, "the next report");
        if (wait == WaitResult::kStopped) {
            break;
        }
        if (wait == WaitResult::kTimedOut) {
            rc = GaveUp(global, "reports");
            break;
        }
        if (wait != WaitResult::kMessage) {
            rc = kExitFailure;
            connected = false;
            break;
        }
        const uint16_t id = MsgIdOf(msg);
        if (SessionIdOf(msg) != kSessionId) {
            continue;
        }
        if (id == LAPI_MSG_INVALID_REQUEST_RSP) {
            Show(global, msg, {});
            Complain("the location server refused the periodic request as invalid");
            rc = kExitFailure;
            break;
        }
        if (id != LAPI_MSG_GET_LOCATION_RSP) {
            continue;
        }
        const auto rsp = Decode<LAPI_GET_LOCATION_RSP_S>(msg);
        if (!rsp) {
            rc = Malformed(msg);
            break;
        }
        const int32_t cause = rsp->cause;
        if (cause == 3 || cause == 4) {
            Show(global, msg, {});
            Complain("the location server refused the periodic request: " +
                     WithName(cause, LocationCauseName(cause)));
            rc = kExitFailure;
            break;
        }
        ++reports;
        if (cause == 1) {
            Show(global, msg, NowText() + "  no fix");
        } else {
            Show(global, msg, FixLine(FixOf(*rsp)) + (cause == 2 ? "  (accuracy not met)" : ""));
        }
    }
    if (connected) {
        // Ends the periodic session in the server before the client goes away.
        LAPI_AbortAllLocationRequest(client->id());
    }
    return rc;
}

// ---- status ----------------------------------------------------------------------

int RunStatus(const GlobalOptions &global, const StatusOptions &opts) {
    const auto client = Client::Register(LAPI_SERVICE_STATUS);
    if (!client) {
        return kExitFailure;
    }
    if (opts.follow) {
        CatchStopSignals();
    }
    LAPI_GET_STATUS_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    Buffer rsp{};
    int rc = 0;
    {
        WaitNotice notice("waiting for the location server...");
        rc = LAPI_GetStatus(client->id(), LAPI_BLOCK, &req, rsp.data());
    }
    if (rc != 0) {
        return CallFailed("the status request");
    }
    const Bytes first = Received(rsp);
    if (MsgIdOf(first) != LAPI_MSG_GET_STATUS_RSP) {
        return Unexpected(global, first);
    }
    const auto status = Decode<LAPI_GET_STATUS_RSP_S>(first);
    if (!status) {
        return Malformed(first);
    }
    StatusValues current = StatusOf(*status);
    ShowLines(global, first, StatusTable(current));
    if (!opts.follow) {
        return kExitOk;
    }

    const Deadline deadline = DeadlineFor(global);
    int changes = 0;
    std::vector<uint8_t> msg;
    while (opts.count == 0 || changes < opts.count) {
        const WaitResult wait = NextMessage(*client, &msg, deadline, "a status change");
        if (wait == WaitResult::kStopped) {
            return kExitOk;
        }
        if (wait == WaitResult::kTimedOut) {
            return GaveUp(global, "status changes");
        }
        if (wait != WaitResult::kMessage) {
            return kExitFailure;
        }
        if (MsgIdOf(msg) != LAPI_MSG_STATUS_CHANGE_IND) {
            continue;
        }
        const auto ind = Decode<LAPI_STATUS_CHANGE_IND_S>(msg);
        if (!ind) {
            return Malformed(msg);
        }
        const StatusValues next = StatusOf(*ind);
        Show(global, msg, NowText() + "  " + StatusChangeLine(current, next));
        current = next;
        ++changes;
    }
    return kExitOk;
}

// ---- db --------------------------------------------------------------------------

int RunDbGet(const GlobalOptions &global, uint32_t fileId) {
    const auto client = Client::Register(LAPI_SERVICE_STATUS);
    if (!client) {
        return kExitFailure;
    }
    LAPI_GET_GPS_DB_DATA_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.fileId = fileId;
    Buffer rsp{};
    int rc = 0;
    {
        WaitNotice notice("waiting for the location server...");
        rc = LAPI_GetGpsDatabaseData(client->id(), LAPI_BLOCK, &req, rsp.data());
    }
    if (rc != 0) {
        return CallFailed("the GPS database read");
    }
    const Bytes msg = Received(rsp);
    if (MsgIdOf(msg) == LAPI_MSG_INVALID_REQUEST_RSP) {
        Show(global, msg, {});
        Complain("the location server refused the read as invalid");
        return kExitFailure;
    }
    if (MsgIdOf(msg) != LAPI_MSG_GET_GPS_DB_DATA_RSP) {
        return Unexpected(global, msg);
    }
    const auto data = Decode<LAPI_GET_GPS_DB_DATA_RSP_S>(msg);
    if (!data) {
        return Malformed(msg);
    }
    const int32_t result = data->result;
    if (result != 0) {
        Show(global, msg, {});
        if (result == -1) {
            Complain("no entry for file " + std::to_string(fileId));
        } else {
            Complain("cannot read file " + std::to_string(fileId) + ": " +
                     WithName(result, GpsDbResultName(result)));
        }
        return kExitFailure;
    }
    ShowLines(global, msg, DbEntriesText(*data));
    return kExitOk;
}

int RunDbSet(const GlobalOptions &global, const std::vector<DbEntry> &entries) {
    if (entries.empty() || entries.size() > LAPI_GPS_DB_MAX_FILES) {
        Complain("give 1 to 22 entries");
        return kExitUsage;
    }
    const auto client = Client::Register(LAPI_SERVICE_STATUS);
    if (!client) {
        return kExitFailure;
    }
    LAPI_SET_GPS_DB_DATA_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.numFiles = static_cast<uint16_t>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        req.dbFile[i].fileId = entries[i].fileId;
        req.dbFile[i].length = static_cast<uint16_t>(entries[i].data.size());
        std::memcpy(req.dbFile[i].data, entries[i].data.data(), entries[i].data.size());
    }
    Buffer rsp{};
    int rc = 0;
    {
        WaitNotice notice("waiting for the location server...");
        rc = LAPI_SetGpsDatabaseData(client->id(), LAPI_BLOCK, &req, rsp.data());
    }
    if (rc != 0) {
        return CallFailed("the GPS database write");
    }
    const Bytes msg = Received(rsp);
    if (MsgIdOf(msg) == LAPI_MSG_INVALID_REQUEST_RSP) {
        Show(global, msg, {});
        Complain("the location server refused the write as invalid");
        return kExitFailure;
    }
    if (MsgIdOf(msg) != LAPI_MSG_SET_GPS_DB_DATA_RSP) {
        return Unexpected(global, msg);
    }
    const auto set = Decode<LAPI_SET_GPS_DB_DATA_RSP_S>(msg);
    if (!set) {
        return Malformed(msg);
    }
    const int32_t result = set->result;
    if (result != 0) {
        Show(global, msg, {});
        Complain("the location server did not store the entries: " +
                 WithName(result, GpsDbResultName(result)));
        return kExitFailure;
    }
    Show(
        global, msg,
        "stored " + std::to_string(entries.size()) + (entries.size() == 1 ? " entry" : " entries"));
    return kExitOk;
}

// ---- distance, proximity ---------------------------------------------------------

int RunDistance(const GlobalOptions &global, const DistanceOptions &opts) {
    const auto client = Client::Register(LAPI_SERVICE_MOLR);
    if (!client) {
        return kExitFailure;
    }
    LAPI_DISTANCE_AZIMUTH_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.latitude1 = opts.latitude1;
    req.longitude1 = opts.longitude1;
    req.latitude2 = opts.latitude2;
    req.longitude2 = opts.longitude2;
    req.distanceOnly = opts.distanceOnly ? 1 : 0;
    Buffer rsp{};
    int rc = 0;
    {
        WaitNotice notice("waiting for the location server...");
        rc = LAPI_CalculateDistanceAzimuth(client->id(), LAPI_BLOCK, &req, rsp.data());
    }
    if (rc != 0) {
        return CallFailed("the distance request");
    }
    const Bytes msg = Received(rsp);
    if (MsgIdOf(msg) == LAPI_MSG_INVALID_REQUEST_RSP) {
        Show(global, msg, {});
        Complain("the location server refused the coordinates");
        return kExitFailure;
    }
    if (MsgIdOf(msg) != LAPI_MSG_DISTANCE_AZIMUTH_RSP) {
        return Unexpected(global, msg);
    }
    const auto da = Decode<LAPI_DISTANCE_AZIMUTH_RSP_S>(msg);
    if (!da) {
        return Malformed(msg);
    }
    Show(global, msg, DistanceLine(*da, opts.distanceOnly));
    return kExitOk;
}

namespace {

// Sends removeProximityReq and returns the status of the answer, or nothing after
// reporting a failure.
std::optional<int32_t> RemoveListeners(const GlobalOptions &global, const Client &client,
                                       int32_t removeType, bool show) {
    LAPI_REMOVE_PROXIMITY_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.removeType = removeType;
    Buffer rsp{};
    if (LAPI_RemoveProximityListener(client.id(), LAPI_BLOCK, &req, rsp.data()) != 0) {
        CallFailed("the proximity removal");
        return std::nullopt;
    }
    const Bytes msg = Received(rsp);
    if (MsgIdOf(msg) != LAPI_MSG_REMOVE_PROXIMITY_RSP) {
        if (show) {
            Unexpected(global, msg);
        }
        return std::nullopt;
    }
    const auto removed = Decode<LAPI_REMOVE_PROXIMITY_RSP_S>(msg);
    if (!removed) {
        Malformed(msg);
        return std::nullopt;
    }
    const int32_t status = removed->status;
    if (show) {
        Show(global, msg, status == 0 ? "proximity listeners removed" : "");
    }
    return status;
}

}  // namespace

int RunProximityAdd(const GlobalOptions &global, const ProximityAddOptions &opts) {
    const auto client = Client::Register(LAPI_SERVICE_MOLR);
    if (!client) {
        return kExitFailure;
    }
    if (opts.wait) {
        CatchStopSignals();
    }
    LAPI_ADD_PROXIMITY_REQ_S req{};
    req.sessionId = kSessionId;
    req.transactionId = kTransactionId;
    req.latitude = opts.latitude;
    req.longitude = opts.longitude;
    req.altitude = opts.altitude;
    req.radius = opts.radius;
    Buffer rsp{};
    if (LAPI_AddProximityListener(client->id(), LAPI_BLOCK, &req, rsp.data()) != 0) {
        return CallFailed("the proximity request");
    }
    const Bytes added = Received(rsp);
    if (MsgIdOf(added) != LAPI_MSG_ADD_PROXIMITY_RSP) {
        return Unexpected(global, added);
    }
    const auto addRsp = Decode<LAPI_ADD_PROXIMITY_RSP_S>(added);
    if (!addRsp) {
        return Malformed(added);
    }
    const int32_t status = addRsp->status;
    if (status != 0) {
        Show(global, added, {});
        Complain("the location server refused the listener: " +
                 WithName(status, ProximityResultName(status)));
        return kExitFailure;
    }
    Show(global, added,
         "proximity listener added: " + FormatLatitude(opts.latitude) + ' ' +
             FormatLongitude(opts.longitude) + "  radius " + FormatMetres(opts.radius) + " m");
    if (!opts.wait) {
        return kExitOk;
    }

    const Deadline deadline = DeadlineFor(global);
    int rc = kExitOk;
    int hits = 0;
    bool connected = true;
    std::vector<uint8_t> msg;
    while (opts.count == 0 || hits < opts.count) {
        const WaitResult wait = NextMessage(*client, &msg, deadline, "a proximity hit");
        if (wait == WaitResult::kStopped) {
            break;
        }
        if (wait == WaitResult::kTimedOut) {
            rc = GaveUp(global, "a proximity hit");
            break;
        }
        if (wait != WaitResult::kMessage) {
            rc = kExitFailure;
            connected = false;
            break;
        }
        if (MsgIdOf(msg) != LAPI_MSG_PROXIMITY_HIT_IND) {
            continue;
        }
        const auto hit = Decode<LAPI_PROXIMITY_HIT_IND_S>(msg);
        if (!hit) {
            rc = Malformed(msg);
            break;
        }
        ++hits;
        Show(global, msg, "proximity hit: " + FixLine(FixOf(*hit)));
    }
    if (connected) {
        // The listener dies with the client anyway; removing it first keeps the
        // server's proximity status honest at once.
        RemoveListeners(global, *client, 0, false);
    }
    return rc;
}

int RunProximityRemove(const GlobalOptions &global, int32_t removeType) {
    const auto client = Client::Register(LAPI_SERVICE_MOLR);
    if (!client) {
        return kExitFailure;
    }
    const auto status = RemoveListeners(global, *client, removeType, true);
    if (!status) {
        return kExitFailure;
    }
    if (*status == -3) {
        Complain(
            "nothing to remove: listeners belong to the client that added them, and each "
            "lapictl run is a client of its own");
        return kExitFailure;
    }
    if (*status != 0) {
        Complain("the location server refused the removal: " +
                 WithName(*status, ProximityResultName(*status)));
        return kExitFailure;
    }
    return kExitOk;
}

// ---- mtlr ------------------------------------------------------------------------

namespace {

struct Pending {
    uint8_t sessionId;
    uint8_t transactionId;
    std::string from;
};

bool ExpectsAnswer(int32_t notificationType) {
    return notificationType == 1 || notificationType == 2;
}

void Prompt(const Pending &p) {
    const std::string text = "Allow the location request " + std::to_string(p.sessionId) + '/' +
                             std::to_string(p.transactionId) + " from " + p.from + "? [y/n] ";
    [[maybe_unused]] const ssize_t n = ::write(DiagnosticFd(), text.data(), text.size());
}

bool Answer(const GlobalOptions &global, const Client &client, uint8_t sessionId,
            uint8_t transactionId, bool allow) {
    LAPI_LOCATION_NOTIFICATION_CFM_S cfm{};
    cfm.sessionId = sessionId;
    cfm.transactionId = transactionId;
    cfm.responseType = allow ? 0 : 1;
    if (LAPI_LocationVerify(client.id(), &cfm) != 0) {
        CallFailed("the answer to the MT-LR request");
        return false;
    }
    if (global.json) {
        PrintLine(JsonObject()
                      .Str("msg", "locationNotificationCfm")
                      .Int("sessionId", sessionId)
                      .Int("transactionId", transactionId)
                      .Int("responseType", cfm.responseType)
                      .Done());
    } else {
        PrintLine("answered MT-LR request " + std::to_string(sessionId) + '/' +
                  std::to_string(transactionId) + ": " + (allow ? "allow" : "deny"));
    }
    return true;
}

}  // namespace

int RunMtlr(const GlobalOptions &global, const MtlrOptions &opts) {
    const auto client = Client::Register(LAPI_SERVICE_MTLR);
    if (!client) {
        return kExitFailure;
    }
    CatchStopSignals();
    const bool autoAnswer = !opts.answer.empty();
    int inputFd = !autoAnswer && ::isatty(STDIN_FILENO) == 1 ? STDIN_FILENO : -1;
    std::deque<Pending> prompts;  // the front one is on the terminal
    const Deadline deadline = DeadlineFor(global);
    int settled = 0;
    std::vector<uint8_t> msg;
    while (opts.count == 0 || settled < opts.count) {
        const int watchFd = prompts.empty() ? -1 : inputFd;
        const WaitResult wait = NextMessage(*client, &msg, deadline, "an MT-LR request", watchFd);
        if (wait == WaitResult::kStopped) {
            return kExitOk;
        }
        if (wait == WaitResult::kTimedOut) {
            return GaveUp(global, "MT-LR requests");
        }
        if (wait == WaitResult::kFailed) {
            return kExitFailure;
        }
        if (wait == WaitResult::kInput) {
            char line[256];
            const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
            if (n <= 0) {
                inputFd = -1;  // end of input: leave the rest to the defaults
                continue;
            }
            const char c = line[0];
            if (c != 'y' && c != 'Y' && c != 'n' && c != 'N') {
                Prompt(prompts.front());
                continue;
            }
            const Pending p = prompts.front();
            prompts.pop_front();
            if (!Answer(global, *client, p.sessionId, p.transactionId, c == 'y' || c == 'Y')) {
                return kExitFailure;
            }
            if (!prompts.empty()) {
                Prompt(prompts.front());
            }
            continue;
        }

        const uint16_t id = MsgIdOf(msg);
        if (id == LAPI_MSG_LOCATION_NOTIFICATION_IND) {
            const auto ind = Decode<LAPI_LOCATION_NOTIFICATION_IND_S>(msg);
            if (!ind) {
                return Malformed(msg);
            }
            Show(global, msg, NotificationLine(*ind));
            if (!ExpectsAnswer(ind->notificationType)) {
                continue;
            }
            if (autoAnswer) {
                if (!Answer(global, *client, ind->sessionId, ind->transactionId,
                            opts.answer == "accept")) {
                    return kExitFailure;
                }
            } else if (inputFd >= 0) {
                const uint8_t nameLength = ind->nameLength < LAPI_MTLR_MAX_NAME_LEN
                                               ? ind->nameLength
                                               : static_cast<uint8_t>(LAPI_MTLR_MAX_NAME_LEN);
                prompts.push_back(Pending{ind->sessionId, ind->transactionId,
                                          BytesForPeople(ind->clientName, nameLength)});
                if (prompts.size() == 1) {
                    Prompt(prompts.front());
                }
            }
        } else if (id == LAPI_MSG_NOTIFICATION_STATUS_IND) {
            const auto ind = Decode<LAPI_NOTIFICATION_STATUS_IND_S>(msg);
            if (!ind) {
                return Malformed(msg);
            }
            // A request settled elsewhere (another client, or its timeout) needs no
            // answer from here any more.
            for (auto it = prompts.begin(); it != prompts.end(); ++it) {
                if (it->sessionId == ind->sessionId && it->transactionId == ind->transactionId) {
                    const bool wasFront = it == prompts.begin();
                    prompts.erase(it);
                    if (wasFront) {
                        [[maybe_unused]] const ssize_t n = ::write(DiagnosticFd(), "\n", 1);
                        if (!prompts.empty()) {
                            Prompt(prompts.front());
                        }
                    }
                    break;
                }
            }
            Show(global, msg, NotificationStatusLine(*ind));
            ++settled;
        }
    }
    return kExitOk;
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
