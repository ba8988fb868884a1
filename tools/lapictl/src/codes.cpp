#include "codes.h"

#include <array>
#include <utility>

namespace lapictl {
namespace {

using Entry = std::pair<int32_t, std::string_view>;

template <std::size_t N>
std::string_view Lookup(const std::array<Entry, N> &table, int32_t value) {
    for (const auto &[code, name] : table) {
        if (code == value) {
            return name;
        }
    }
    return {};
}

constexpr std::array<Entry, 5> kLocationCauses{{
    {0, "ok"},
    {1, "no fix available"},
    {2, "accuracy not met"},
    {3, "too many sessions"},
    {4, "session id in use"},
}};

constexpr std::array<Entry, 5> kGpsDbResults{{
    {0, "ok"},
    {-1, "no such entry"},
    {-2, "bad number of entries"},
    {-3, "bad entry length"},
    {-4, "storage error"},
}};

constexpr std::array<Entry, 5> kProximityResults{{
    {0, "ok"},
    {-1, "invalid position or radius"},
    {-2, "too many listeners"},
    {-3, "nothing to remove"},
    {-4, "unknown removeType"},
}};

constexpr std::array<Entry, 4> kNotificationTypes{{
    {0, "notify only, location allowed"},
    {1, "verify, allowed without an answer"},
    {2, "verify, denied without an answer"},
    {3, "location not allowed, notify only"},
}};

constexpr std::array<Entry, 3> kMtlrLocationTypes{{
    {0, "current location"},
    {1, "current or last known location"},
    {2, "initial location"},
}};

constexpr std::array<Entry, 6> kNotificationCauses{{
    {0, "allowed by the user"},
    {1, "denied by the user"},
    {2, "allowed by default"},
    {3, "denied by default"},
    {4, "notified only"},
    {5, "location not allowed"},
}};

constexpr std::array<Entry, 2> kUserStatus{{{0, "disabled"}, {1, "enabled"}}};
constexpr std::array<Entry, 3> kHwStatus{{{0, "off"}, {1, "on"}, {2, "error"}}};
constexpr std::array<Entry, 3> kFixStatus{{{0, "no fix"}, {1, "acquiring"}, {2, "fix"}}};
constexpr std::array<Entry, 2> kEmergencyStatus{{{0, "none"}, {1, "active"}}};
constexpr std::array<Entry, 3> kFixResult{{{0, "none"}, {1, "success"}, {2, "failure"}}};
constexpr std::array<Entry, 5> kFixResultCause{{
    {0, "none"},
    {1, "timeout"},
    {2, "accuracy not met"},
    {3, "no signal"},
    {4, "hardware error"},
}};
constexpr std::array<Entry, 2> kProximityStatus{{{0, "inactive"}, {1, "active"}}};

}  // namespace

std::string_view LocationCauseName(int32_t cause) {
    return Lookup(kLocationCauses, cause);
}
std::string_view GpsDbResultName(int32_t result) {
    return Lookup(kGpsDbResults, result);
}
std::string_view ProximityResultName(int32_t status) {
    return Lookup(kProximityResults, status);
}
std::string_view NotificationTypeName(int32_t type) {
    return Lookup(kNotificationTypes, type);
}
std::string_view MtlrLocationTypeName(int32_t type) {
    return Lookup(kMtlrLocationTypes, type);
}
std::string_view NotificationCauseName(int32_t cause) {
    return Lookup(kNotificationCauses, cause);
}

// getStatusRsp: sessionId, transactionId, then the status values.
constexpr const lapi::cat::Msg &kStatusMsg = lapi::cat::Of(LAPI_MSG_GET_STATUS_RSP);
static_assert(kStatusMsg.fieldCount == kStatusFieldCount + 2);

const lapi::cat::Field &StatusFieldOf(StatusField field) {
    return kStatusMsg.fields[2 + static_cast<int>(field)];
}

std::string_view StatusFieldName(StatusField field) {
    return StatusFieldOf(field).label;
}

std::string_view StatusValueName(StatusField field, int32_t value) {
    switch (field) {
        case StatusField::kUser:
            return Lookup(kUserStatus, value);
        case StatusField::kHw:
            return Lookup(kHwStatus, value);
        case StatusField::kFix:
            return Lookup(kFixStatus, value);
        case StatusField::kEmergency:
            return Lookup(kEmergencyStatus, value);
        case StatusField::kFixResult:
            return Lookup(kFixResult, value);
        case StatusField::kFixResultCause:
            return Lookup(kFixResultCause, value);
        case StatusField::kProximity:
            return Lookup(kProximityStatus, value);
    }
    return {};
}

std::string WithName(int32_t value, std::string_view name) {
    std::string out = std::to_string(value);
    if (!name.empty()) {
        out += " (";
        out += name;
        out += ')';
    }
    return out;
}

}  // namespace lapictl
