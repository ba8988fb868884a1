// The server's status: the values of getStatusRsp and statusChangeInd, their value sets,
// setters by field, and change detection.
//
// Every change that alters at least one value returns the new full snapshot, which the
// server sends as statusChangeInd to each client registered for the status service. A
// set that leaves every value as it was returns nothing, so nothing is sent.
#pragma once

#include <cstdint>
#include <optional>

#include "domain/fix.h"

namespace lapid {

// userStatus: whether the user allows location services.
enum class UserStatus : int32_t { kDisabled = 0, kEnabled = 1 };
// hwStatus: the positioning hardware (or the source standing in for it).
enum class HwStatus : int32_t { kOff = 0, kOn = 1, kError = 2 };
// fixStatus: the state of the position source, in the numbers of FixState.
// emergencyStatus: whether an emergency location session is in progress.
enum class EmergencyStatus : int32_t { kNone = 0, kActive = 1 };
// fixResultStatus.status: the result of the latest fix attempt.
enum class FixResult : int32_t { kNone = 0, kSuccess = 1, kFailure = 2 };
// fixResultStatus.cause: why the latest attempt failed (kNone with kNone or kSuccess).
enum class FixResultCause : int32_t {
    kNone = 0,
    kTimeout = 1,         // no fix within the time allowed
    kAccuracyNotMet = 2,  // fixes came, none accurate enough
    kNoSignal = 3,        // no satellites or no input from the source
    kHardwareError = 4,
};
// proximityStatus: whether any proximity listener is active.
enum class ProximityMonitoring : int32_t { kInactive = 0, kActive = 1 };

struct StatusSnapshot {
    int32_t userStatus = static_cast<int32_t>(UserStatus::kEnabled);
    int32_t hwStatus = static_cast<int32_t>(HwStatus::kOff);
    int32_t fixStatus = static_cast<int32_t>(FixState::kNoFix);
    int32_t emergencyStatus = static_cast<int32_t>(EmergencyStatus::kNone);
    int32_t fixResultStatus = static_cast<int32_t>(FixResult::kNone);
    int32_t fixResultCause = static_cast<int32_t>(FixResultCause::kNone);
    int32_t proximityStatus = static_cast<int32_t>(ProximityMonitoring::kInactive);

    bool operator==(const StatusSnapshot &) const = default;
};

// The values of a snapshot, one by one.
enum class StatusField {
    kUserStatus,
    kHwStatus,
    kFixStatus,
    kEmergencyStatus,
    kFixResultStatus,  // fixResultStatus.status
    kFixResultCause,   // fixResultStatus.cause
    kProximityStatus,
};
inline constexpr StatusField kStatusFields[] = {
    StatusField::kUserStatus,      StatusField::kHwStatus,        StatusField::kFixStatus,
    StatusField::kEmergencyStatus, StatusField::kFixResultStatus, StatusField::kFixResultCause,
    StatusField::kProximityStatus,
};

enum class StatusError {
    kNone = 0,
    kBadValue,  // outside the value set of the field
};

struct StatusSetResult {
    StatusError error = StatusError::kNone;
    std::optional<StatusSnapshot> changed;  // the new snapshot when a value changed
};

class StatusModel {
  public:
    StatusModel() = default;
    explicit StatusModel(const StatusSnapshot &initial) : current_(initial) {}

    const StatusSnapshot &Current() const { return current_; }

    // Sets one value.
    StatusSetResult Set(StatusField field, int32_t value);
    // Sets several values at once (one statusChangeInd for all of them). Every value is
    // checked first; with any out of its set nothing changes.
    StatusSetResult Apply(const StatusSnapshot &next);

    int32_t Get(StatusField field) const;

  private:
    StatusSnapshot current_;
};

}  // namespace lapid
