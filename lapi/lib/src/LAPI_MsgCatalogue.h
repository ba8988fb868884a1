// The catalogue of all 31 messages: identifier, name, direction, body length, the
// service a request belongs to and the fields that the trace prints, in print order. Each field's
// offset and width come from the packed record in <lapi/lapi.h>, so the record is the one statement
// of the layout; the checks at the end of this file prove at compile time that every description
// covers its record byte for byte.
//
// Used by the library (its trace and its request calls), by the server to validate
// and build what it exchanges, by lapictl to decode and print, and by the tests.
#pragma once

#include <lapi/lapi.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

namespace lapi::cat {

enum class Kind : uint8_t {
    Dec,           // "label: %d, ": 1- and 2-byte fields unsigned, 4-byte fields signed
    Udec,          // "label: %u, "
    Double,        // "label: %.30e, " of a wire double
    I64Double,     // "label: %.30e, " of a signed 64-bit integer converted to double
    CountedBytes,  // "label: %d, label2: " + hex dump of `count` bytes at offset2
    FileList,      // one "dbFile[i]: ..." group per element; count is the u16 at offset
};

struct Field {
    const char *label;
    uint16_t offset;
    uint16_t width;  // bytes of the value at offset
    Kind kind;
    uint8_t hex;                   // bytes of the value dumped as hex right after it (0: none)
    const char *label2 = nullptr;  // CountedBytes: the data's label
    uint16_t offset2 = 0;          // CountedBytes: data offset; FileList: first element
    uint16_t capacity = 0;         // CountedBytes: data bytes; FileList: elements
};

struct Msg {
    uint16_t msgId;
    uint16_t msgLen;       // body bytes; the whole message is msgLen + 8
    bool fromServer;       // direction S->C (else C->S)
    bool hasMode;          // a request whose u16 mode field at offset 8 the library writes
    uint8_t service;       // LAPI_SERVICE_* bit a client registers to send it; 0: none
    const char *name;      // "getLocationReq"
    const char *procName;  // "LAPI_LogGetLocationReq"
    const Field *fields;
    uint8_t fieldCount;
    uint16_t recordSize;  // sizeof of the record, checked against msgLen + 8
};

// NOLINTBEGIN(bugprone-macro-parentheses): REC is a type and member a member name.
#define LAPI_CAT_FIELD(REC, member, kind, hex)                              \
    ::lapi::cat::Field {                                                    \
#member, static_cast < uint16_t>(offsetof(REC, member)),            \
            static_cast < uint16_t>(sizeof(std::declval <REC &>().member)), \
            ::lapi::cat::Kind::kind, hex                                    \
    }
#define LAPI_CAT_BYTES(REC, count, data)                                                           \
    ::lapi::cat::Field {                                                                           \
#count, static_cast < uint16_t>(offsetof(REC, count)), 1, ::lapi::cat::Kind::CountedBytes, \
            0, #data, static_cast < uint16_t>(offsetof(REC, data)),                                \
            static_cast < uint16_t>(sizeof(std::declval <REC &>().data))                           \
    }
#define LAPI_CAT_FILES(REC)                                                                       \
    ::lapi::cat::Field {                                                                          \
        "dbFile", static_cast<uint16_t>(offsetof(REC, numFiles)), 0, ::lapi::cat::Kind::FileList, \
            0, nullptr, static_cast<uint16_t>(offsetof(REC, dbFile)), LAPI_GPS_DB_MAX_FILES       \
    }
#define LAPI_CAT_MODE(REC)                                                     \
    LAPI_CAT_FIELD(REC, mode, Dec, 0), LAPI_CAT_FIELD(REC, sessionId, Dec, 0), \
        LAPI_CAT_FIELD(REC, transactionId, Dec, 0)
#define LAPI_CAT_IDS(REC) \
    LAPI_CAT_FIELD(REC, sessionId, Dec, 0), LAPI_CAT_FIELD(REC, transactionId, Dec, 0)
// NOLINTEND(bugprone-macro-parentheses)
// The fix carried by getLocationRsp and proximityHitInd, from longitude to locationMethod.
#define LAPI_CAT_FIX(REC)                                                                         \
    LAPI_CAT_FIELD(REC, longitude, Double, 0), LAPI_CAT_FIELD(REC, latitude, Double, 0),          \
        LAPI_CAT_FIELD(REC, latLonAccuracy, Double, 0),                                           \
        LAPI_CAT_FIELD(REC, timeStamp, I64Double, 8), LAPI_CAT_FIELD(REC, altitude, Double, 0),   \
        LAPI_CAT_FIELD(REC, speed, Double, 0), LAPI_CAT_FIELD(REC, travelDirection, Double, 0),   \
        LAPI_CAT_FIELD(REC, pointingDirection, Double, 0),                                        \
        LAPI_CAT_FIELD(REC, horizontalAccuracy, Double, 0),                                       \
        LAPI_CAT_FIELD(REC, verticalAccuracy, Double, 0), LAPI_CAT_FIELD(REC, course, Double, 0), \
        LAPI_CAT_FIELD(REC, locationMethod, Dec, 4)

// Field lists. Messages with the same layout share one list.
inline constexpr Field kRegisterReqFields[] = {
    LAPI_CAT_FIELD(LAPI_REGISTER_REQ_S, service, Udec, 4)};
inline constexpr Field kGlobalIdRspFields[] = {
    LAPI_CAT_FIELD(LAPI_REGISTER_RSP_S, globalId, Dec, 0)};
inline constexpr Field kGlobalIdReqFields[] = {
    LAPI_CAT_FIELD(LAPI_GET_ASYNC_FD_REQ_S, globalId, Dec, 0)};
inline constexpr Field kGetLocationReqFields[] = {
    LAPI_CAT_MODE(LAPI_GET_LOCATION_REQ_S),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, responseTime, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, horizontalAccuracy, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, verticalAccuracy, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, preferredPowerConsumption, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, interval, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, reportCriteria, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, costAllowed, Udec, 1),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, addressInfoRequired, Udec, 1),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, speedAndCourseRequired, Udec, 1),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_REQ_S, altitudeRequired, Udec, 1)};
inline constexpr Field kModeOnlyReqFields[] = {LAPI_CAT_MODE(LAPI_ABORT_LOCATION_REQ_S)};
inline constexpr Field kGetGpsDbDataReqFields[] = {
    LAPI_CAT_MODE(LAPI_GET_GPS_DB_DATA_REQ_S),
    LAPI_CAT_FIELD(LAPI_GET_GPS_DB_DATA_REQ_S, fileId, Udec, 4)};
inline constexpr Field kSetGpsDbDataReqFields[] = {
    LAPI_CAT_MODE(LAPI_SET_GPS_DB_DATA_REQ_S),
    LAPI_CAT_FIELD(LAPI_SET_GPS_DB_DATA_REQ_S, numFiles, Dec, 2),
    LAPI_CAT_FILES(LAPI_SET_GPS_DB_DATA_REQ_S)};
inline constexpr Field kLocationNotificationCfmFields[] = {
    LAPI_CAT_IDS(LAPI_LOCATION_NOTIFICATION_CFM_S),
    LAPI_CAT_FIELD(LAPI_LOCATION_NOTIFICATION_CFM_S, responseType, Dec, 4)};
inline constexpr Field kDistanceAzimuthReqFields[] = {
    LAPI_CAT_MODE(LAPI_DISTANCE_AZIMUTH_REQ_S),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_REQ_S, latitude1, Double, 0),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_REQ_S, longitude1, Double, 0),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_REQ_S, latitude2, Double, 0),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_REQ_S, longitude2, Double, 0),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_REQ_S, distanceOnly, Dec, 1)};
inline constexpr Field kAddProximityReqFields[] = {
    LAPI_CAT_MODE(LAPI_ADD_PROXIMITY_REQ_S),
    LAPI_CAT_FIELD(LAPI_ADD_PROXIMITY_REQ_S, latitude, Double, 0),
    LAPI_CAT_FIELD(LAPI_ADD_PROXIMITY_REQ_S, longitude, Double, 0),
    LAPI_CAT_FIELD(LAPI_ADD_PROXIMITY_REQ_S, altitude, Double, 0),
    LAPI_CAT_FIELD(LAPI_ADD_PROXIMITY_REQ_S, radius, Double, 0)};
inline constexpr Field kRemoveProximityReqFields[] = {
    LAPI_CAT_MODE(LAPI_REMOVE_PROXIMITY_REQ_S),
    LAPI_CAT_FIELD(LAPI_REMOVE_PROXIMITY_REQ_S, removeType, Dec, 4)};

inline constexpr Field kGetLocationRspFields[] = {
    LAPI_CAT_IDS(LAPI_GET_LOCATION_RSP_S), LAPI_CAT_FIX(LAPI_GET_LOCATION_RSP_S),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_RSP_S, cause, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_LOCATION_RSP_S, ageOfFix, Double, 8)};
inline constexpr Field kResultRspFields[] = {
    LAPI_CAT_IDS(LAPI_ABORT_LOCATION_RSP_S),
    LAPI_CAT_FIELD(LAPI_ABORT_LOCATION_RSP_S, result, Dec, 4)};
inline constexpr Field kIdsOnlyRspFields[] = {LAPI_CAT_IDS(LAPI_TIME_OUT_RSP_S)};
inline constexpr Field kGetGpsDbDataRspFields[] = {
    LAPI_CAT_IDS(LAPI_GET_GPS_DB_DATA_RSP_S),
    LAPI_CAT_FIELD(LAPI_GET_GPS_DB_DATA_RSP_S, numFiles, Dec, 2),
    LAPI_CAT_FILES(LAPI_GET_GPS_DB_DATA_RSP_S),
    LAPI_CAT_FIELD(LAPI_GET_GPS_DB_DATA_RSP_S, result, Dec, 4)};
inline constexpr Field kStatusFields[] = {
    LAPI_CAT_IDS(LAPI_GET_STATUS_RSP_S),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, userStatus, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, hwStatus, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, fixStatus, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, emergencyStatus, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, fixResultStatus.status, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, fixResultStatus.cause, Dec, 4),
    LAPI_CAT_FIELD(LAPI_GET_STATUS_RSP_S, proximityStatus, Dec, 4)};
inline constexpr Field kLocationNotificationIndFields[] = {
    LAPI_CAT_IDS(LAPI_LOCATION_NOTIFICATION_IND_S),
    LAPI_CAT_FIELD(LAPI_LOCATION_NOTIFICATION_IND_S, notificationType, Dec, 4),
    LAPI_CAT_FIELD(LAPI_LOCATION_NOTIFICATION_IND_S, locationType, Dec, 4),
    LAPI_CAT_FIELD(LAPI_LOCATION_NOTIFICATION_IND_S, dataCodingSchema, Dec, 1),
    LAPI_CAT_BYTES(LAPI_LOCATION_NOTIFICATION_IND_S, nameLength, clientName),
    LAPI_CAT_BYTES(LAPI_LOCATION_NOTIFICATION_IND_S, addrLength, clientExternalAddr)};
inline constexpr Field kNotificationStatusIndFields[] = {
    LAPI_CAT_IDS(LAPI_NOTIFICATION_STATUS_IND_S),
    LAPI_CAT_FIELD(LAPI_NOTIFICATION_STATUS_IND_S, cause, Dec, 4)};
inline constexpr Field kDistanceAzimuthRspFields[] = {
    LAPI_CAT_IDS(LAPI_DISTANCE_AZIMUTH_RSP_S),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_RSP_S, distance, Double, 0),
    LAPI_CAT_FIELD(LAPI_DISTANCE_AZIMUTH_RSP_S, azimuth, Double, 0)};
inline constexpr Field kProximityStatusRspFields[] = {
    LAPI_CAT_IDS(LAPI_ADD_PROXIMITY_RSP_S),
    LAPI_CAT_FIELD(LAPI_ADD_PROXIMITY_RSP_S, status, Dec, 4)};
inline constexpr Field kProximityHitIndFields[] = {
    LAPI_CAT_IDS(LAPI_PROXIMITY_HIT_IND_S), LAPI_CAT_FIX(LAPI_PROXIMITY_HIT_IND_S),
    LAPI_CAT_FIELD(LAPI_PROXIMITY_HIT_IND_S, ageOfFix, Double, 8)};

#define LAPI_CAT_MSG(id, len, fromServer, hasMode, service, name, Proc, REC, fields)    \
    ::lapi::cat::Msg {                                                                  \
        id, len, fromServer, hasMode, service, name, "LAPI_Log" #Proc, fields,          \
            static_cast<uint8_t>(std::size(fields)), static_cast<uint16_t>(sizeof(REC)) \
    }
#define LAPI_CAT_HEADER_ONLY(id, fromServer, service, name, Proc, REC)                     \
    ::lapi::cat::Msg {                                                                     \
        id, 0, fromServer, false, service, name, "LAPI_Log" #Proc, nullptr, 0, sizeof(REC) \
    }
#define LAPI_CAT_REQ(id, len, hasMode, service, name, Proc, REC, fields) \
    LAPI_CAT_MSG(id, len, false, hasMode, service, name, Proc, REC, fields)
#define LAPI_CAT_SRV(id, len, name, Proc, REC, fields) \
    LAPI_CAT_MSG(id, len, true, false, 0, name, Proc, REC, fields)

// Every message, request range (100..116) first, then the server range (0..13).
inline constexpr Msg kMessages[] = {
    LAPI_CAT_REQ(100, 4, false, 0, "registerReq", RegisterReq, LAPI_REGISTER_REQ_S,
                 kRegisterReqFields),
    LAPI_CAT_SRV(101, 4, "registerRsp", RegisterRsp, LAPI_REGISTER_RSP_S, kGlobalIdRspFields),
    LAPI_CAT_REQ(102, 4, false, 0, "getAsyncFdReq", GetAsyncFdReq, LAPI_GET_ASYNC_FD_REQ_S,
                 kGlobalIdReqFields),
    LAPI_CAT_HEADER_ONLY(103, true, 0, "getAsyncFdRsp", GetAsyncFdRsp, LAPI_GET_ASYNC_FD_RSP_S),
    LAPI_CAT_HEADER_ONLY(104, false, 0, "unregisterReq", UnregisterReq, LAPI_UNREGISTER_REQ_S),
    LAPI_CAT_HEADER_ONLY(105, true, 0, "unregisterRsp", UnregisterRsp, LAPI_UNREGISTER_RSP_S),
    LAPI_CAT_REQ(106, 32, true, LAPI_SERVICE_MOLR, "getLocationReq", GetLocationReq,
                 LAPI_GET_LOCATION_REQ_S, kGetLocationReqFields),
    LAPI_CAT_REQ(107, 4, true, LAPI_SERVICE_MOLR, "abortLocationReq", AbortLocationReq,
                 LAPI_ABORT_LOCATION_REQ_S, kModeOnlyReqFields),
    LAPI_CAT_HEADER_ONLY(108, false, LAPI_SERVICE_MOLR, "abortAllLocationReq", AbortAllLocationReq,
                         LAPI_ABORT_ALL_LOCATION_REQ_S),
    LAPI_CAT_REQ(109, 4, true, LAPI_SERVICE_MOLR, "lastKnownLocationReq", LastKnownLocationReq,
                 LAPI_LAST_KNOWN_LOCATION_REQ_S, kModeOnlyReqFields),
    LAPI_CAT_REQ(110, 8, true, LAPI_SERVICE_STATUS, "getGpsDbDataReq", GetGpsDbDataReq,
                 LAPI_GET_GPS_DB_DATA_REQ_S, kGetGpsDbDataReqFields),
    LAPI_CAT_REQ(111, 226, true, LAPI_SERVICE_STATUS, "setGpsDbDataReq", SetGpsDbDataReq,
                 LAPI_SET_GPS_DB_DATA_REQ_S, kSetGpsDbDataReqFields),
    LAPI_CAT_REQ(112, 4, true, LAPI_SERVICE_STATUS, "getStatusReq", GetStatusReq,
                 LAPI_GET_STATUS_REQ_S, kModeOnlyReqFields),
    LAPI_CAT_REQ(113, 6, false, LAPI_SERVICE_MTLR, "locationNotificationCfm",
                 LocationNotificationCfm, LAPI_LOCATION_NOTIFICATION_CFM_S,
                 kLocationNotificationCfmFields),
    LAPI_CAT_REQ(114, 37, true, LAPI_SERVICE_MOLR, "distanceAzimuthReq", DistanceAzimuthReq,
                 LAPI_DISTANCE_AZIMUTH_REQ_S, kDistanceAzimuthReqFields),
    LAPI_CAT_REQ(115, 36, true, LAPI_SERVICE_MOLR, "addProximityReq", AddProximityReq,
                 LAPI_ADD_PROXIMITY_REQ_S, kAddProximityReqFields),
    LAPI_CAT_REQ(116, 8, true, LAPI_SERVICE_MOLR, "removeProximityReq", RemoveProximityReq,
                 LAPI_REMOVE_PROXIMITY_REQ_S, kRemoveProximityReqFields),

    LAPI_CAT_SRV(0, 106, "getLocationRsp", GetLocationRsp, LAPI_GET_LOCATION_RSP_S,
                 kGetLocationRspFields),
    LAPI_CAT_SRV(1, 6, "abortLocationRsp", AbortLocationRsp, LAPI_ABORT_LOCATION_RSP_S,
                 kResultRspFields),
    LAPI_CAT_SRV(2, 2, "timeOutRsp", TimeOutRsp, LAPI_TIME_OUT_RSP_S, kIdsOnlyRspFields),
    LAPI_CAT_SRV(3, 2, "invalidRequestRsp", InvalidRequestRsp, LAPI_INVALID_REQUEST_RSP_S,
                 kIdsOnlyRspFields),
    LAPI_CAT_SRV(4, 228, "getGpsDbDataRsp", GetGpsDbDataRsp, LAPI_GET_GPS_DB_DATA_RSP_S,
                 kGetGpsDbDataRspFields),
    LAPI_CAT_SRV(5, 6, "setGpsDbDataRsp", SetGpsDbDataRsp, LAPI_SET_GPS_DB_DATA_RSP_S,
                 kResultRspFields),
    LAPI_CAT_SRV(6, 30, "getStatusRsp", GetStatusRsp, LAPI_GET_STATUS_RSP_S, kStatusFields),
    LAPI_CAT_SRV(7, 30, "statusChangeInd", StatusChangeInd, LAPI_STATUS_CHANGE_IND_S,
                 kStatusFields),
    LAPI_CAT_SRV(8, 213, "locationNotificationInd", LocationNotificationInd,
                 LAPI_LOCATION_NOTIFICATION_IND_S, kLocationNotificationIndFields),
    LAPI_CAT_SRV(9, 6, "notificationStatusInd", NotificationStatusInd,
                 LAPI_NOTIFICATION_STATUS_IND_S, kNotificationStatusIndFields),
    LAPI_CAT_SRV(10, 18, "distanceAzimuthRsp", DistanceAzimuthRsp, LAPI_DISTANCE_AZIMUTH_RSP_S,
                 kDistanceAzimuthRspFields),
    LAPI_CAT_SRV(11, 6, "addProximityRsp", AddProximityRsp, LAPI_ADD_PROXIMITY_RSP_S,
                 kProximityStatusRspFields),
    LAPI_CAT_SRV(12, 6, "removeProximityRsp", RemoveProximityRsp, LAPI_REMOVE_PROXIMITY_RSP_S,
                 kProximityStatusRspFields),
    LAPI_CAT_SRV(13, 102, "proximityHitInd", ProximityHitInd, LAPI_PROXIMITY_HIT_IND_S,
                 kProximityHitIndFields),
};

// No message is longer than the buffer LAPI_GetAsyncMsg is given, header included;
// everything that holds or frames a whole message is sized by these two.
inline constexpr unsigned kHeaderLen = sizeof(LAPI_MSG_HEADER_S);
inline constexpr unsigned kMaxMessageLen = LAPI_ASYNC_MSG_BUF_LEN;
inline constexpr unsigned kMaxBodyLen = kMaxMessageLen - kHeaderLen;

inline constexpr size_t kRequestSlots =
    LAPI_MSG_REQUEST_RANGE_LAST - LAPI_MSG_REQUEST_RANGE_FIRST + 1;
inline constexpr size_t kServerSlots = LAPI_MSG_SERVER_RANGE_LAST + 1;

// The description of msgId, or nullptr for an identifier outside both ranges.
constexpr const Msg *Find(unsigned msgId) {
    if (msgId <= LAPI_MSG_SERVER_RANGE_LAST) {
        return &kMessages[kRequestSlots + msgId];
    }
    if (msgId >= LAPI_MSG_REQUEST_RANGE_FIRST && msgId <= LAPI_MSG_REQUEST_RANGE_LAST) {
        return &kMessages[msgId - LAPI_MSG_REQUEST_RANGE_FIRST];
    }
    return nullptr;
}

// The description of an assigned msgId known at compile time (a LAPI_MSG_* constant):
// for the messages a program builds itself.
consteval const Msg &Of(unsigned msgId) {
    return *Find(msgId);
}

// "LAPI_SERVICE_MOLR" for the bit LAPI_SERVICE_MOLR, and so on; "" for anything else.
constexpr const char *ServiceName(uint32_t service) {
    switch (service) {
        case LAPI_SERVICE_MOLR:
            return "LAPI_SERVICE_MOLR";
        case LAPI_SERVICE_MTLR:
            return "LAPI_SERVICE_MTLR";
        case LAPI_SERVICE_STATUS:
            return "LAPI_SERVICE_STATUS";
        default:
            return "";
    }
}

namespace detail {

constexpr unsigned Covered(const Field &f) {
    switch (f.kind) {
        case Kind::CountedBytes:
            return f.width + f.capacity;
        case Kind::FileList:
            return f.capacity * static_cast<unsigned>(sizeof(LAPI_GPS_DB_FILE_S));
        default:
            return f.width;
    }
}

constexpr unsigned ExpectedWidth(Kind k) {
    return k == Kind::Double || k == Kind::I64Double ? 8 : 0;  // 0: any integer width
}

// True when the fields of m tile its record from byte 8 to its end, in offset order,
// with widths that fit their kinds, and when the record is msgLen + 8 bytes long.
constexpr bool Tiles(const Msg &m) {
    if (m.recordSize != m.msgLen + 8u) {
        return false;
    }
    unsigned at = 8;
    for (unsigned i = 0; i < m.fieldCount; ++i) {
        const Field &f = m.fields[i];
        // A file list follows its count field directly; counted bytes follow their
        // one-byte count.
        const bool placed =
            f.kind == Kind::FileList
                ? f.offset2 == at && m.fields[i - 1].offset == f.offset
                : f.offset == at && (f.kind != Kind::CountedBytes || f.offset2 == f.offset + 1);
        if (!placed) {
            return false;
        }
        const unsigned w = ExpectedWidth(f.kind);
        const bool intWidth = f.width == 1 || f.width == 2 || f.width == 4;
        if ((w != 0 && f.width != w) ||
            ((f.kind == Kind::Dec || f.kind == Kind::Udec) && !intWidth) ||
            (f.hex != 0 && f.hex != f.width)) {
            return false;
        }
        at = (f.kind == Kind::FileList ? f.offset2 : f.offset) + Covered(f);
    }
    return at == m.recordSize;
}

constexpr bool IsServiceBit(uint32_t s) {
    return s == LAPI_SERVICE_MOLR || s == LAPI_SERVICE_MTLR || s == LAPI_SERVICE_STATUS;
}

// Every entry in its slot, tiling its record, no longer than the maximum, and a
// service only on requests (exactly one bit).
constexpr bool CatalogueIsConsistent() {
    for (const Msg &m : kMessages) {
        if (Find(m.msgId) != &m || !Tiles(m) || m.recordSize > kMaxMessageLen ||
            (m.service != 0 && (m.fromServer || !IsServiceBit(m.service)))) {
            return false;
        }
    }
    return std::size(kMessages) == kRequestSlots + kServerSlots;
}

}  // namespace detail

static_assert(detail::CatalogueIsConsistent(),
              "message catalogue out of step with the records of lapi.h");

}  // namespace lapi::cat
