#include "protocol/messages.h"

#include <algorithm>
#include <cstddef>

#include "LAPI_MsgCatalogue.h"
#include "LAPI_SrvCli.h"

namespace lapid {

using lapi::wire::Load;
using lapi::wire::LoadHeader;
using lapi::wire::Store;

namespace {

constexpr std::size_t kHeaderLen = sizeof(LAPI_MSG_HEADER_S);

// Offset of a member inside a packed record, for Store()/Load().
#define LAPID_AT(REC, member) offsetof(REC, member)

template <typename REC>
void PutIds(WireMsg &m, Ids ids) {
    Store<uint8_t>(m.At(LAPID_AT(REC, sessionId)), ids.sessionId);
    Store<uint8_t>(m.At(LAPID_AT(REC, transactionId)), ids.transactionId);
}

// The fix fields shared by getLocationRsp and proximityHitInd (longitude to
// locationMethod); ageOfFix stands at a different offset in each.
template <typename REC>
void PutFix(WireMsg &m, const Fix &f) {
    Store<double>(m.At(LAPID_AT(REC, longitude)), f.longitude);
    Store<double>(m.At(LAPID_AT(REC, latitude)), f.latitude);
    Store<double>(m.At(LAPID_AT(REC, latLonAccuracy)), f.latLonAccuracy);
    Store<int64_t>(m.At(LAPID_AT(REC, timeStamp)), f.timeStampMs);
    Store<double>(m.At(LAPID_AT(REC, altitude)), f.altitude);
    Store<double>(m.At(LAPID_AT(REC, speed)), f.speed);
    Store<double>(m.At(LAPID_AT(REC, travelDirection)), f.travelDirection);
    Store<double>(m.At(LAPID_AT(REC, pointingDirection)), f.pointingDirection);
    Store<double>(m.At(LAPID_AT(REC, horizontalAccuracy)), f.horizontalAccuracy);
    Store<double>(m.At(LAPID_AT(REC, verticalAccuracy)), f.verticalAccuracy);
    Store<double>(m.At(LAPID_AT(REC, course)), f.course);
    Store<int32_t>(m.At(LAPID_AT(REC, locationMethod)), f.locationMethod);
}

template <typename REC>
WireMsg WithResult(int32_t pid, uint16_t msgId, Ids ids, int32_t result) {
    WireMsg m = msg::Empty(pid, msgId);
    PutIds<REC>(m, ids);
    Store<int32_t>(m.At(LAPID_AT(REC, result)), result);
    return m;
}

template <typename REC>
WireMsg ProximityStatus(int32_t pid, uint16_t msgId, Ids ids, ProximityResult status) {
    WireMsg m = msg::Empty(pid, msgId);
    PutIds<REC>(m, ids);
    Store<int32_t>(m.At(LAPID_AT(REC, status)), static_cast<int32_t>(status));
    return m;
}

template <typename REC>
WireMsg Status(int32_t pid, uint16_t msgId, Ids ids, const StatusSnapshot &s) {
    WireMsg m = msg::Empty(pid, msgId);
    PutIds<REC>(m, ids);
    Store<int32_t>(m.At(LAPID_AT(REC, userStatus)), s.userStatus);
    Store<int32_t>(m.At(LAPID_AT(REC, hwStatus)), s.hwStatus);
    Store<int32_t>(m.At(LAPID_AT(REC, fixStatus)), s.fixStatus);
    Store<int32_t>(m.At(LAPID_AT(REC, emergencyStatus)), s.emergencyStatus);
    Store<int32_t>(m.At(LAPID_AT(REC, fixResultStatus.status)), s.fixResultStatus);
    Store<int32_t>(m.At(LAPID_AT(REC, fixResultStatus.cause)), s.fixResultCause);
    Store<int32_t>(m.At(LAPID_AT(REC, proximityStatus)), s.proximityStatus);
    return m;
}

// Copies at most `capacity` bytes of `text`; returns how many.
uint8_t PutBytes(uint8_t *dst, const std::string &text, std::size_t capacity) {
    const std::size_t n = std::min(text.size(), capacity);
    std::copy_n(text.begin(), n, dst);
    return static_cast<uint8_t>(n);
}

}  // namespace

namespace msg {

WireMsg Empty(int32_t pid, uint16_t msgId) {
    WireMsg m;
    const lapi::cat::Msg *entry = lapi::cat::Find(msgId);
    const unsigned body = entry != nullptr ? entry->msgLen : 0u;
    lapi::wire::StoreHeader(m.bytes.data(), pid, msgId, body);
    m.size = static_cast<uint16_t>(kHeaderLen + body);
    return m;
}

WireMsg RegisterRsp(int32_t pid, int32_t globalId) {
    WireMsg m = Empty(pid, LAPI_MSG_REGISTER_RSP);
    Store<int32_t>(m.At(LAPID_AT(LAPI_REGISTER_RSP_S, globalId)), globalId);
    return m;
}

WireMsg GetAsyncFdRsp(int32_t pid) {
    return Empty(pid, LAPI_MSG_GET_ASYNC_FD_RSP);
}

WireMsg UnregisterRsp(int32_t pid) {
    return Empty(pid, LAPI_MSG_UNREGISTER_RSP);
}

WireMsg InvalidRequest(int32_t pid, Ids ids) {
    WireMsg m = Empty(pid, LAPI_MSG_INVALID_REQUEST_RSP);
    PutIds<LAPI_INVALID_REQUEST_RSP_S>(m, ids);
    return m;
}

WireMsg Location(int32_t pid, const LocationAnswer &a) {
    const Ids ids{a.sessionId, a.transactionId};
    if (a.kind == LocationAnswer::Kind::kInvalidRequest) {
        return InvalidRequest(pid, ids);
    }
    if (a.kind == LocationAnswer::Kind::kTimeout) {
        WireMsg m = Empty(pid, LAPI_MSG_TIME_OUT_RSP);
        PutIds<LAPI_TIME_OUT_RSP_S>(m, ids);
        return m;
    }
    using REC = LAPI_GET_LOCATION_RSP_S;
    WireMsg m = Empty(pid, LAPI_MSG_GET_LOCATION_RSP);
    PutIds<REC>(m, ids);
    if (a.fix) {
        PutFix<REC>(m, *a.fix);
    }
    Store<int32_t>(m.At(LAPID_AT(REC, cause)), static_cast<int32_t>(a.cause));
    Store<double>(m.At(LAPID_AT(REC, ageOfFix)), a.fix ? a.ageOfFix : kNoFixAge);
    return m;
}

WireMsg AbortLocationRsp(int32_t pid, Ids ids, AbortResult result) {
    return WithResult<LAPI_ABORT_LOCATION_RSP_S>(pid, LAPI_MSG_ABORT_LOCATION_RSP, ids,
                                                 static_cast<int32_t>(result));
}

WireMsg GetGpsDbDataRsp(int32_t pid, Ids ids, const std::optional<GpsDbEntry> &entry,
                        GpsDbResult result) {
    using REC = LAPI_GET_GPS_DB_DATA_RSP_S;
    WireMsg m =
        WithResult<REC>(pid, LAPI_MSG_GET_GPS_DB_DATA_RSP, ids, static_cast<int32_t>(result));
    if (entry) {
        Store<uint16_t>(m.At(LAPID_AT(REC, numFiles)), 1);
        Store<uint32_t>(m.At(LAPID_AT(REC, dbFile[0].fileId)), entry->fileId);
        Store<uint16_t>(m.At(LAPID_AT(REC, dbFile[0].length)), entry->length);
        std::copy(entry->data.begin(), entry->data.end(), m.At(LAPID_AT(REC, dbFile[0].data)));
    }
    return m;
}

WireMsg SetGpsDbDataRsp(int32_t pid, Ids ids, GpsDbResult result) {
    return WithResult<LAPI_SET_GPS_DB_DATA_RSP_S>(pid, LAPI_MSG_SET_GPS_DB_DATA_RSP, ids,
                                                  static_cast<int32_t>(result));
}

WireMsg GetStatusRsp(int32_t pid, Ids ids, const StatusSnapshot &s) {
    return Status<LAPI_GET_STATUS_RSP_S>(pid, LAPI_MSG_GET_STATUS_RSP, ids, s);
}

WireMsg StatusChangeInd(int32_t pid, const StatusSnapshot &s) {
    return Status<LAPI_STATUS_CHANGE_IND_S>(pid, LAPI_MSG_STATUS_CHANGE_IND, Ids{}, s);
}

WireMsg LocationNotificationInd(int32_t pid, const MtlrNotify &n) {
    using REC = LAPI_LOCATION_NOTIFICATION_IND_S;
    WireMsg m = Empty(pid, LAPI_MSG_LOCATION_NOTIFICATION_IND);
    PutIds<REC>(m, Ids{n.sessionId, n.transactionId});
    Store<int32_t>(m.At(LAPID_AT(REC, notificationType)), n.notificationType);
    Store<int32_t>(m.At(LAPID_AT(REC, locationType)), n.locationType);
    Store<uint8_t>(m.At(LAPID_AT(REC, dataCodingSchema)), n.dataCodingSchema);
    const uint8_t nameLen =
        PutBytes(m.At(LAPID_AT(REC, clientName)), n.clientName, LAPI_MTLR_MAX_NAME_LEN);
    Store<uint8_t>(m.At(LAPID_AT(REC, nameLength)), nameLen);
    const uint8_t addrLen = PutBytes(m.At(LAPID_AT(REC, clientExternalAddr)), n.clientExternalAddr,
                                     LAPI_MTLR_MAX_ADDR_LEN);
    Store<uint8_t>(m.At(LAPID_AT(REC, addrLength)), addrLen);
    return m;
}

WireMsg NotificationStatusInd(int32_t pid, const MtlrStatus &s) {
    using REC = LAPI_NOTIFICATION_STATUS_IND_S;
    WireMsg m = Empty(pid, LAPI_MSG_NOTIFICATION_STATUS_IND);
    PutIds<REC>(m, Ids{s.sessionId, s.transactionId});
    Store<int32_t>(m.At(LAPID_AT(REC, cause)), static_cast<int32_t>(s.cause));
    return m;
}

WireMsg DistanceAzimuthRsp(int32_t pid, Ids ids, double distance, double azimuth) {
    using REC = LAPI_DISTANCE_AZIMUTH_RSP_S;
    WireMsg m = Empty(pid, LAPI_MSG_DISTANCE_AZIMUTH_RSP);
    PutIds<REC>(m, ids);
    Store<double>(m.At(LAPID_AT(REC, distance)), distance);
    Store<double>(m.At(LAPID_AT(REC, azimuth)), azimuth);
    return m;
}

WireMsg AddProximityRsp(int32_t pid, Ids ids, ProximityResult status) {
    return ProximityStatus<LAPI_ADD_PROXIMITY_RSP_S>(pid, LAPI_MSG_ADD_PROXIMITY_RSP, ids, status);
}

WireMsg RemoveProximityRsp(int32_t pid, Ids ids, ProximityResult status) {
    return ProximityStatus<LAPI_REMOVE_PROXIMITY_RSP_S>(pid, LAPI_MSG_REMOVE_PROXIMITY_RSP, ids,
                                                        status);
}

WireMsg ProximityHitInd(int32_t pid, const ProximityHit &hit) {
    using REC = LAPI_PROXIMITY_HIT_IND_S;
    WireMsg m = Empty(pid, LAPI_MSG_PROXIMITY_HIT_IND);
    PutIds<REC>(m, Ids{hit.sessionId, hit.transactionId});
    PutFix<REC>(m, hit.fix);
    // The indication is sent as the fix arrives.
    Store<double>(m.At(LAPID_AT(REC, ageOfFix)), 0.0);
    return m;
}

}  // namespace msg

RequestCheck CheckRequest(std::span<const uint8_t> message) {
    RequestCheck check;
    const LAPI_MSG_HEADER_S h = LoadHeader(message.data());
    const std::size_t body = message.size() - kHeaderLen;
    const lapi::cat::Msg *entry = lapi::cat::Find(h.msgId);
    const bool known = entry != nullptr && !entry->fromServer;
    // An unknown message may still follow the common request layout; known messages
    // without a mode field (abortAllLocationReq, locationNotificationCfm, the
    // registration messages) never give one.
    const bool modeLayout = known ? entry->hasMode : true;
    std::optional<uint16_t> mode;
    if (modeLayout && body >= 2) {
        mode = Load<uint16_t>(message.data() + 8);
    }
    if (mode && *mode <= 1) {
        check.blocking = *mode == 1;
    }
    if (modeLayout && body >= 4) {
        check.ids = Ids{message[10], message[11]};
    } else if (known && h.msgId == LAPI_MSG_LOCATION_NOTIFICATION_CFM && body >= 2) {
        check.ids = Ids{message[8], message[9]};
    }

    if (!known) {
        check.problem = RequestProblem::kUnknownMsgId;
    } else if (h.msgLen != entry->msgLen) {
        check.problem = RequestProblem::kBadLength;
    } else if (entry->hasMode && !check.blocking) {
        check.problem = RequestProblem::kBadMode;
    }
    return check;
}

const char *RequestProblemName(RequestProblem p) noexcept {
    switch (p) {
        case RequestProblem::kNone:
            return "none";
        case RequestProblem::kUnknownMsgId:
            return "unknown msgId";
        case RequestProblem::kBadLength:
            return "wrong msgLen";
        case RequestProblem::kBadMode:
            return "mode neither 0 nor 1";
    }
    return "unknown";
}

}  // namespace lapid
