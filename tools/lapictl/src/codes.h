// Readable names for the numeric codes that lapid puts into its messages (causes,
// results, status values, MT-LR types). lapictl prints the number and, where lapid
// defines one, the name; an unknown value gets an empty name and is printed as a
// number alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "LAPI_MsgCatalogue.h"

namespace lapictl {

std::string_view LocationCauseName(int32_t cause);      // getLocationRsp.cause
std::string_view GpsDbResultName(int32_t result);       // get/setGpsDbDataRsp.result
std::string_view ProximityResultName(int32_t status);   // add/removeProximityRsp.status
std::string_view NotificationTypeName(int32_t type);    // locationNotificationInd
std::string_view MtlrLocationTypeName(int32_t type);    // locationNotificationInd
std::string_view NotificationCauseName(int32_t cause);  // notificationStatusInd.cause

// The seven values of getStatusRsp / statusChangeInd, in message order (the fields
// after sessionId and transactionId).
enum class StatusField {
    kUser,
    kHw,
    kFix,
    kEmergency,
    kFixResult,
    kFixResultCause,
    kProximity,
};
inline constexpr int kStatusFieldCount = 7;

// The catalogue's description of the field, and its name as the message and the control
// socket spell it ("fixResultStatus.status" for kFixResult).
const lapi::cat::Field &StatusFieldOf(StatusField field);
std::string_view StatusFieldName(StatusField field);
std::string_view StatusValueName(StatusField field, int32_t value);

// "3 (too many sessions)", or "3" when the value has no name.
std::string WithName(int32_t value, std::string_view name);

}  // namespace lapictl
