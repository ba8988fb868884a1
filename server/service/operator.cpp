#include "service/operator.h"

#include <utility>

namespace lapid {

Result<> Operator::CanSteerPosition() const {
    if (sim_ == nullptr) {
        return Error{"the position source is not the simulator"};
    }
    return {};
}

// A setting the simulator took reaches the clients at once (fixStatus and its
// statusChangeInd, the fixes that follow).
Result<> Operator::Steered(SimulatorResult r) {
    if (r != SimulatorResult::kOk) {
        return Error{SimulatorResultName(r)};
    }
    engine_.PollSource();
    return {};
}

Result<> Operator::SetPosition(double latitude, double longitude, double altitude,
                               double horizontalAccuracy) {
    if (Result<> can = CanSteerPosition(); !can) {
        return can;
    }
    return Steered(sim_->SetFixedPosition(latitude, longitude, altitude, horizontalAccuracy));
}

Result<> Operator::SetRoute(std::vector<Waypoint> route, double speedMps, bool loop) {
    if (Result<> can = CanSteerPosition(); !can) {
        return can;
    }
    return Steered(sim_->SetRoute(std::move(route), speedMps, loop));
}

Result<> Operator::ForceFix(bool on) {
    if (Result<> can = CanSteerPosition(); !can) {
        return can;
    }
    if (on) {
        sim_->ForceFix();
    } else {
        sim_->ForceNoFix();
    }
    return Steered(SimulatorResult::kOk);
}

}  // namespace lapid
