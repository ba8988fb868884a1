#include "domain/status.h"

#include <iterator>

namespace lapid {

namespace {

template <typename E>
constexpr int32_t V(E e) {
    return static_cast<int32_t>(e);
}

// Where a field is kept and its value set.
struct FieldPlace {
    int32_t StatusSnapshot::*member;
    int32_t min;
    int32_t max;
};

FieldPlace Place(StatusField field) {
    switch (field) {
        case StatusField::kUserStatus:
            return {&StatusSnapshot::userStatus, V(UserStatus::kDisabled), V(UserStatus::kEnabled)};
        case StatusField::kHwStatus:
            return {&StatusSnapshot::hwStatus, V(HwStatus::kOff), V(HwStatus::kError)};
        case StatusField::kFixStatus:
            return {&StatusSnapshot::fixStatus, V(FixState::kNoFix), V(FixState::kFix)};
        case StatusField::kEmergencyStatus:
            return {&StatusSnapshot::emergencyStatus, V(EmergencyStatus::kNone),
                    V(EmergencyStatus::kActive)};
        case StatusField::kFixResultStatus:
            return {&StatusSnapshot::fixResultStatus, V(FixResult::kNone), V(FixResult::kFailure)};
        case StatusField::kFixResultCause:
            return {&StatusSnapshot::fixResultCause, V(FixResultCause::kNone),
                    V(FixResultCause::kHardwareError)};
        case StatusField::kProximityStatus:
            break;
    }
    return {&StatusSnapshot::proximityStatus, V(ProximityMonitoring::kInactive),
            V(ProximityMonitoring::kActive)};
}

static_assert(std::size(kStatusFields) ==
                  static_cast<std::size_t>(StatusField::kProximityStatus) + 1,
              "kStatusFields lists every field");

}  // namespace

int32_t StatusModel::Get(StatusField field) const {
    return current_.*(Place(field).member);
}

StatusSetResult StatusModel::Set(StatusField field, int32_t value) {
    StatusSnapshot next = current_;
    next.*(Place(field).member) = value;
    return Apply(next);
}

StatusSetResult StatusModel::Apply(const StatusSnapshot &next) {
    StatusSetResult result;
    for (const StatusField field : kStatusFields) {
        const FieldPlace f = Place(field);
        if (next.*(f.member) < f.min || next.*(f.member) > f.max) {
            result.error = StatusError::kBadValue;
            return result;
        }
    }
    if (next == current_) {
        return result;
    }
    current_ = next;
    result.changed = current_;
    return result;
}

}  // namespace lapid
