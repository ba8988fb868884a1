// The server's messages as bytes, and the checks every request passes first.
//
// Builders take the domain layer's plain answers and lay them out in the packed,
// little-endian records of <lapi/lapi.h>; lengths come from the message catalogue
// shared with the library, so no length is restated here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "LAPI_MsgCatalogue.h"
#include "domain/fix.h"
#include "domain/location_sessions.h"
#include "domain/mtlr.h"
#include "domain/proximity.h"
#include "domain/status.h"
#include "domain/gps_db.h"

namespace lapid {

// One whole message, header included.
struct WireMsg {
    std::array<uint8_t, lapi::cat::kMaxMessageLen> bytes{};
    uint16_t size = 0;

    std::span<const uint8_t> View() const { return {bytes.data(), size}; }
    uint8_t *At(std::size_t offset) { return bytes.data() + offset; }
};

// The sessionId/transactionId pair that every answer starts its body with.
struct Ids {
    uint8_t sessionId = 0;
    uint8_t transactionId = 0;
};

namespace msg {

// A message of the catalogue's length for msgId, header filled in, body zero.
WireMsg Empty(int32_t pid, uint16_t msgId);

WireMsg RegisterRsp(int32_t pid, int32_t globalId);
WireMsg GetAsyncFdRsp(int32_t pid);
WireMsg UnregisterRsp(int32_t pid);

// getLocationRsp, timeOutRsp or invalidRequestRsp, as the answer's kind says.
WireMsg Location(int32_t pid, const LocationAnswer &answer);
WireMsg InvalidRequest(int32_t pid, Ids ids);
WireMsg AbortLocationRsp(int32_t pid, Ids ids, AbortResult result);

WireMsg GetGpsDbDataRsp(int32_t pid, Ids ids, const std::optional<GpsDbEntry> &entry,
                        GpsDbResult result);
WireMsg SetGpsDbDataRsp(int32_t pid, Ids ids, GpsDbResult result);
// getStatusRsp (ids of the request) or statusChangeInd (ids 0).
WireMsg GetStatusRsp(int32_t pid, Ids ids, const StatusSnapshot &s);
WireMsg StatusChangeInd(int32_t pid, const StatusSnapshot &s);

WireMsg LocationNotificationInd(int32_t pid, const MtlrNotify &n);
WireMsg NotificationStatusInd(int32_t pid, const MtlrStatus &s);

WireMsg DistanceAzimuthRsp(int32_t pid, Ids ids, double distance, double azimuth);
WireMsg AddProximityRsp(int32_t pid, Ids ids, ProximityResult status);
WireMsg RemoveProximityRsp(int32_t pid, Ids ids, ProximityResult status);
WireMsg ProximityHitInd(int32_t pid, const ProximityHit &hit);

}  // namespace msg

// Why a message that arrived on a client's synchronous connection is not a request
// the server can carry out.
enum class RequestProblem {
    kNone = 0,
    kUnknownMsgId,  // not in the catalogue, or not something a client sends there
    kBadLength,     // msgLen is not the catalogue's value for this msgId
    kBadMode,       // the mode field is neither 0 nor 1
};

struct RequestCheck {
    RequestProblem problem = RequestProblem::kNone;
    // The mode when it can be read: the message has a mode field (or, for an unknown
    // msgId, two body bytes at offset 8) holding 0 or 1. Absent: answers about this
    // message go on the asynchronous connection.
    std::optional<bool> blocking;
    Ids ids;  // copied from the request where its body holds them, else 0
};

// Checks msgId, msgLen and mode of one whole message against the catalogue.
RequestCheck CheckRequest(std::span<const uint8_t> message);

const char *RequestProblemName(RequestProblem p) noexcept;

}  // namespace lapid
