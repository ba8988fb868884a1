#include "core/status.h"

#include <array>

#include "sources/position_source.h"

namespace lapid {

// Position sources report their state in the numbers of fixStatus.
static_assert(static_cast<int32_t>(FixState::kNoFix) == static_cast<int32_t>(FixStatus::kNoFix));
static_assert(static_cast<int32_t>(FixState::kAcquiring) ==
              static_cast<int32_t>(FixStatus::kAcquiring));
static_assert(static_cast<int32_t>(FixState::kFix) == static_cast<int32_t>(FixStatus::kFix));

namespace {

template <typename E>
constexpr int32_t V(E e) {
    return static_cast<int32_t>(e);
}

const std::array<StatusField, 7> kFields{{
    {"userStatus", &StatusSnapshot::userStatus, V(UserStatus::kDisabled), V(UserStatus::kEnabled)},
    {"hwStatus", &StatusSnapshot::hwStatus, V(HwStatus::kOff), V(HwStatus::kError)},
    {"fixStatus", &StatusSnapshot::fixStatus, V(FixStatus::kNoFix), V(FixStatus::kFix)},
    {"emergencyStatus", &StatusSnapshot::emergencyStatus, V(EmergencyStatus::kNone),
     V(EmergencyStatus::kActive)},
    {"fixResultStatus.status", &StatusSnapshot::fixResultStatus, V(FixResult::kNone),
     V(FixResult::kFailure)},
    {"fixResultStatus.cause", &StatusSnapshot::fixResultCause, V(FixResultCause::kNone),
     V(FixResultCause::kHardwareError)},
    {"proximityStatus", &StatusSnapshot::proximityStatus, V(ProximityMonitoring::kInactive),
     V(ProximityMonitoring::kActive)},
}};

const StatusField *FindField(std::string_view name) {
    for (const StatusField &f : kFields) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

bool InRange(const StatusField &f, int32_t value) {
    return value >= f.min && value <= f.max;
}

}  // namespace

std::span<const StatusField> StatusModel::Fields() {
    return kFields;
}

std::optional<int32_t> StatusModel::Get(std::string_view field) const {
    const StatusField *f = FindField(field);
    if (f == nullptr) {
        return std::nullopt;
    }
    return current_.*(f->member);
}

StatusSetResult StatusModel::Set(std::string_view field, int32_t value) {
    StatusSetResult result;
    const StatusField *f = FindField(field);
    if (f == nullptr) {
        result.error = StatusError::kUnknownField;
        return result;
    }
    StatusSnapshot next = current_;
    next.*(f->member) = value;
    return Apply(next);
}

StatusSetResult StatusModel::Apply(const StatusSnapshot &next) {
    StatusSetResult result;
    for (const StatusField &f : kFields) {
        if (!InRange(f, next.*(f.member))) {
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
