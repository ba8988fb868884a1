// Engine: the service requests of registered clients.
#include <cmath>

#include "LAPI_MsgCatalogue.h"
#include "domain/geodesy.h"
#include "service/engine.h"
#include "protocol/log.h"

namespace lapid {

namespace {

constexpr const char *kLapiFile = LAPI_BaseName(__FILE__);

using lapi::wire::Load;

template <typename T>
T Field(std::span<const uint8_t> m, std::size_t offset) {
    return Load<T>(m.data() + offset);
}

}  // namespace

void Engine::HandleRequest(Connection &c, Client &cl, std::span<const uint8_t> m) {
    const RequestCheck check = CheckRequest(m);
    const uint16_t msgId = lapi::wire::LoadHeader(m.data()).msgId;
    if (check.problem != RequestProblem::kNone) {
        Invalid(cl, check, msgId, RequestProblemName(check.problem));
        return;
    }
    const lapi::cat::Msg *entry = lapi::cat::Find(msgId);
    const uint32_t service = entry != nullptr ? entry->service : 0;
    if (service == 0) {
        Invalid(cl, check, msgId, "not a service request");
        return;
    }
    if ((cl.services & service) == 0) {
        Invalid(cl, check, msgId, "service not registered");
        return;
    }
    const bool blocking = check.blocking.value_or(false);
    const Ids ids = check.ids;
    switch (msgId) {
        case LAPI_MSG_GET_LOCATION_REQ:
            return OnGetLocation(c, cl, blocking, m);
        case LAPI_MSG_ABORT_LOCATION_REQ:
            return OnAbortLocation(cl, blocking, ids);
        case LAPI_MSG_ABORT_ALL_LOCATION_REQ:
            d_.sessions.AbortAll(cl.globalId);  // nothing is read in answer
            return;
        case LAPI_MSG_LAST_KNOWN_LOCATION_REQ:
            return OnLastKnown(cl, blocking, ids);
        case LAPI_MSG_GET_GPS_DB_DATA_REQ:
            return OnGetGpsDbData(cl, blocking, ids, m);
        case LAPI_MSG_SET_GPS_DB_DATA_REQ:
            return OnSetGpsDbData(cl, blocking, ids, m);
        case LAPI_MSG_GET_STATUS_REQ:
            return Answer(cl, blocking, msg::GetStatusRsp(pid_, ids, d_.status.Current()));
        case LAPI_MSG_LOCATION_NOTIFICATION_CFM:
            return OnLocationCfm(cl, m);
        case LAPI_MSG_DISTANCE_AZIMUTH_REQ:
            return OnDistanceAzimuth(cl, check, m);
        case LAPI_MSG_ADD_PROXIMITY_REQ:
            return OnAddProximity(cl, blocking, ids, m);
        case LAPI_MSG_REMOVE_PROXIMITY_REQ:
            return OnRemoveProximity(cl, blocking, ids, m);
        default:
            return;
    }
}

void Engine::Invalid(Client &cl, const RequestCheck &check, uint16_t msgId, const char *why) {
    ++counters_.invalidRequests;
    if (MayLogError(cl)) {
        LAPID_ERR("Invalid request msgId: %d from client %d, pid is: %d: %s!", msgId, cl.globalId,
                  cl.pid, why);
    }
    Answer(cl, check.blocking.value_or(false), msg::InvalidRequest(pid_, check.ids));
}

// Error lines about a client's requests are bounded per client (its requests all come
// on its synchronous connection) by its LogLimit.
bool Engine::MayLogError(Client &cl) {
    if (!cl.errorLines.Allow(clock_.MonoMs())) {
        ++counters_.errorLinesSuppressed;
        return false;
    }
    ReportSuppressed(cl);
    return true;
}

void Engine::ReportSuppressed(Client &cl) {
    if (const uint64_t held = cl.errorLines.TakeHeld(); held > 0) {
        LAPID_ERR("%llu error lines suppressed for client %d!",
                  static_cast<unsigned long long>(held), cl.globalId);
    }
}

// A blocking answer is the next message on the synchronous connection; everything
// else goes on the asynchronous one.
void Engine::Answer(Client &cl, bool blocking, const WireMsg &m) {
    if (blocking) {
        Send(cl.sync, m);
    } else if (cl.async) {
        Send(*cl.async, m);
    }
}

void Engine::OnGetLocation(Connection &c, Client &cl, bool blocking, std::span<const uint8_t> m) {
    using REC = LAPI_GET_LOCATION_REQ_S;
    LocationRequest req;
    req.client = cl.globalId;
    req.sessionId = Field<uint8_t>(m, offsetof(REC, sessionId));
    req.transactionId = Field<uint8_t>(m, offsetof(REC, transactionId));
    req.blocking = blocking;
    req.responseTime = Field<int32_t>(m, offsetof(REC, responseTime));
    req.horizontalAccuracy = Field<int32_t>(m, offsetof(REC, horizontalAccuracy));
    req.interval = Field<int32_t>(m, offsetof(REC, interval));
    req.reportCriteria = Field<int32_t>(m, offsetof(REC, reportCriteria));
    if (std::optional<LocationAnswer> now = d_.sessions.Request(req)) {
        Deliver(*now);
    } else if (blocking) {
        c.awaitingBlock = true;  // answered by a later fix or the timeout
    }
}

void Engine::OnAbortLocation(Client &cl, bool blocking, Ids ids) {
    const AbortResult r = d_.sessions.Abort(cl.globalId, ids.sessionId);
    Answer(cl, blocking, msg::AbortLocationRsp(pid_, ids, r));
}

void Engine::OnLastKnown(Client &cl, bool blocking, Ids ids) {
    Deliver(d_.sessions.LastKnown(cl.globalId, ids.sessionId, ids.transactionId, blocking));
}

void Engine::OnGetGpsDbData(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m) {
    const auto fileId = Field<uint32_t>(m, offsetof(LAPI_GET_GPS_DB_DATA_REQ_S, fileId));
    const Result<std::optional<GpsDbEntry>> entry = d_.db.Get(fileId);
    const GpsDbResult result =
        !entry ? GpsDbResult::kStorageError : (*entry ? GpsDbResult::kOk : GpsDbResult::kNotFound);
    Answer(cl, blocking, msg::GetGpsDbDataRsp(pid_, ids, entry ? *entry : std::nullopt, result));
}

void Engine::OnSetGpsDbData(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m) {
    using REC = LAPI_SET_GPS_DB_DATA_REQ_S;
    const auto numFiles = Field<uint16_t>(m, offsetof(REC, numFiles));
    GpsDbResult result = GpsDbResult::kBadCount;
    if (numFiles >= 1 && numFiles <= LAPI_GPS_DB_MAX_FILES) {
        std::vector<GpsDbEntry> entries(numFiles);
        const std::size_t first = offsetof(REC, dbFile);
        for (std::size_t i = 0; i < numFiles; ++i) {
            const std::size_t at = first + i * sizeof(LAPI_GPS_DB_FILE_S);
            entries[i].fileId = Field<uint32_t>(m, at + offsetof(LAPI_GPS_DB_FILE_S, fileId));
            entries[i].length = Field<uint16_t>(m, at + offsetof(LAPI_GPS_DB_FILE_S, length));
            const uint8_t *data = m.data() + at + offsetof(LAPI_GPS_DB_FILE_S, data);
            std::copy(data, data + LAPI_GPS_DB_MAX_DATA_LEN, entries[i].data.begin());
        }
        const Result<GpsDbResult> written = d_.db.SetMany(entries);
        if (!written && MayLogError(cl)) {
            LAPID_ERR("GPS database write failed: %s!", written.ErrorText().c_str());
        }
        result = written ? *written : GpsDbResult::kStorageError;
    }
    Answer(cl, blocking, msg::SetGpsDbDataRsp(pid_, ids, result));
}

void Engine::OnLocationCfm(Client &cl, std::span<const uint8_t> m) {
    using REC = LAPI_LOCATION_NOTIFICATION_CFM_S;
    const auto sessionId = Field<uint8_t>(m, offsetof(REC, sessionId));
    const auto transactionId = Field<uint8_t>(m, offsetof(REC, transactionId));
    const auto responseType = Field<int32_t>(m, offsetof(REC, responseType));
    const AnswerOutcome outcome =
        d_.mtlr.Answer(cl.globalId, sessionId, transactionId, responseType);
    if (outcome.result != AnswerResult::kAccepted && MayLogError(cl)) {
        LAPID_ERR(
            "locationNotificationCfm from client %d refused (%d), sessionId: %d, "
            "transactionId: %d!",
            cl.globalId, static_cast<int>(outcome.result), sessionId, transactionId);
    }
    Deliver(outcome.events);
}

void Engine::OnDistanceAzimuth(Client &cl, const RequestCheck &check, std::span<const uint8_t> m) {
    using REC = LAPI_DISTANCE_AZIMUTH_REQ_S;
    const auto lat1 = Field<double>(m, offsetof(REC, latitude1));
    const auto lon1 = Field<double>(m, offsetof(REC, longitude1));
    const auto lat2 = Field<double>(m, offsetof(REC, latitude2));
    const auto lon2 = Field<double>(m, offsetof(REC, longitude2));
    const std::optional<geo::InverseResult> inv = geo::Inverse(lat1, lon1, lat2, lon2);
    if (!inv) {
        Invalid(cl, check, LAPI_MSG_DISTANCE_AZIMUTH_REQ, "point out of range");
        return;
    }
    const bool distanceOnly = Field<uint8_t>(m, offsetof(REC, distanceOnly)) != 0;
    Answer(
        cl, check.blocking.value_or(false),
        msg::DistanceAzimuthRsp(pid_, check.ids, inv->distance, distanceOnly ? 0.0 : inv->azimuth));
}

void Engine::OnAddProximity(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m) {
    using REC = LAPI_ADD_PROXIMITY_REQ_S;
    ProximityCircle circle;
    circle.latitude = Field<double>(m, offsetof(REC, latitude));
    circle.longitude = Field<double>(m, offsetof(REC, longitude));
    circle.altitude = Field<double>(m, offsetof(REC, altitude));
    circle.radius = Field<double>(m, offsetof(REC, radius));
    const ProximityResult r =
        d_.proximity.Add(cl.globalId, circle, ids.sessionId, ids.transactionId);
    Answer(cl, blocking, msg::AddProximityRsp(pid_, ids, r));
    FollowProximityCount();
}

void Engine::OnRemoveProximity(Client &cl, bool blocking, Ids ids, std::span<const uint8_t> m) {
    const auto removeType = Field<int32_t>(m, offsetof(LAPI_REMOVE_PROXIMITY_REQ_S, removeType));
    const ProximityResult r = d_.proximity.Remove(cl.globalId, removeType);
    Answer(cl, blocking, msg::RemoveProximityRsp(pid_, ids, r));
    FollowProximityCount();
}

}  // namespace lapid
