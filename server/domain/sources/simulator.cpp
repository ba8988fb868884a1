#include "domain/sources/simulator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "domain/geodesy.h"

namespace lapid {

namespace {

bool ValidWaypoint(const Waypoint &w) {
    return geo::IsValidPoint(w.latitude, w.longitude) && std::isfinite(w.altitude);
}

// Smallest multiple of 1000 above `base` that is >= monoMs, as base + k * 1000, k >= 1.
int64_t FirstSlotAtOrAfter(int64_t base, int64_t monoMs) {
    if (monoMs <= base + 1000) {
        return base + 1000;
    }
    const int64_t k = (monoMs - base + 999) / 1000;
    return base + k * 1000;
}

}  // namespace

const char *SimulatorResultName(SimulatorResult r) noexcept {
    switch (r) {
        case SimulatorResult::kOk:
            return "ok";
        case SimulatorResult::kInvalidPosition:
            return "invalid position";
        case SimulatorResult::kInvalidAccuracy:
            return "invalid accuracy";
        case SimulatorResult::kInvalidSpeed:
            return "invalid speed";
        case SimulatorResult::kEmptyRoute:
            return "empty route";
    }
    return "unknown";
}

std::vector<Waypoint> Simulator::DefaultRoute() {
    return {
        {51.4769, -0.0005, 45.0},
        {51.4769, 0.0045, 40.0},
        {51.4739, 0.0045, 50.0},
        {51.4739, -0.0005, 45.0},
    };
}

Simulator::Simulator(const Clock &clock, const SimulatorConfig &config)
    : clock_(clock),
      initialAccuracy_(config.initialAccuracyM),
      finalAccuracy_(config.finalAccuracyM),
      t0_(clock.MonoMs()),
      lastSlotMs_(t0_),
      acquiredAtMs_(FirstSlotAtOrAfter(t0_, t0_ + config.timeToFirstFixMs)) {}

Result<Simulator> Simulator::Create(const Clock &clock, SimulatorConfig config) {
    if (!std::isfinite(config.initialAccuracyM) || !std::isfinite(config.finalAccuracyM) ||
        config.finalAccuracyM <= 0 || config.initialAccuracyM < config.finalAccuracyM) {
        return Error{"simulator: accuracies must satisfy 0 < final <= initial"};
    }
    if (config.timeToFirstFixMs < 0) {
        return Error{"simulator: negative time to first fix"};
    }
    if (config.route.empty()) {
        config.route = DefaultRoute();
    }
    Simulator sim(clock, config);
    const SimulatorResult r =
        sim.InstallRoute(std::move(config.route), config.speedMps, config.loop, std::nullopt);
    if (r != SimulatorResult::kOk) {
        return Error{std::string("simulator: ") + SimulatorResultName(r)};
    }
    return sim;
}

int64_t Simulator::NextSlotNotBefore(int64_t monoMs) const {
    // The next grid second that Tick() has not handled yet, and not in the past.
    return std::max(lastSlotMs_ + 1000, FirstSlotAtOrAfter(t0_, monoMs));
}

SimulatorResult Simulator::InstallRoute(std::vector<Waypoint> route, double speedMps, bool loop,
                                        std::optional<double> fixedAccuracy) {
    if (route.empty()) {
        return SimulatorResult::kEmptyRoute;
    }
    if (!std::all_of(route.begin(), route.end(), ValidWaypoint)) {
        return SimulatorResult::kInvalidPosition;
    }
    if (!std::isfinite(speedMps) || speedMps < 0) {
        return SimulatorResult::kInvalidSpeed;
    }

    std::vector<Leg> legs;
    double total = 0;
    auto addLeg = [&](const Waypoint &a, const Waypoint &b) {
        const auto inv = geo::Inverse(a.latitude, a.longitude, b.latitude, b.longitude);
        if (!inv || inv->distance <= 0) {
            return;  // a repeated waypoint adds no leg
        }
        legs.push_back(Leg{a, b, inv->azimuth, inv->distance, total});
        total += inv->distance;
    };
    for (std::size_t i = 1; i < route.size(); ++i) {
        addLeg(route[i - 1], route[i]);
    }
    if (loop && route.size() > 1) {
        addLeg(route.back(), route.front());
    }

    legs_ = std::move(legs);
    origin_ = route.front();
    routeLength_ = total;
    speed_ = speedMps;
    loop_ = loop;
    fixedAccuracy_ = fixedAccuracy;
    routeStartMs_ = NextSlotNotBefore(clock_.MonoMs());
    return SimulatorResult::kOk;
}

SimulatorResult Simulator::SetFixedPosition(double latitude, double longitude, double altitude,
                                            double horizontalAccuracy) {
    if (!ValidWaypoint(Waypoint{latitude, longitude, altitude})) {
        return SimulatorResult::kInvalidPosition;
    }
    if (!std::isfinite(horizontalAccuracy) || horizontalAccuracy <= 0) {
        return SimulatorResult::kInvalidAccuracy;
    }
    return InstallRoute({Waypoint{latitude, longitude, altitude}}, 0.0, false, horizontalAccuracy);
}

SimulatorResult Simulator::SetRoute(std::vector<Waypoint> route, double speedMps, bool loop) {
    return InstallRoute(std::move(route), speedMps, loop, std::nullopt);
}

void Simulator::ForceNoFix() {
    mode_ = Mode::kForcedOff;
    latest_.reset();
}

void Simulator::ForceFix() {
    if (mode_ == Mode::kFixing) {
        return;
    }
    const int64_t next = NextSlotNotBefore(clock_.MonoMs());
    acquiredAtMs_ = mode_ == Mode::kAcquiring ? std::min(acquiredAtMs_, next) : next;
    mode_ = Mode::kAcquiring;
}

FixState Simulator::State() const {
    switch (mode_) {
        case Mode::kAcquiring:
            return FixState::kAcquiring;
        case Mode::kFixing:
            return FixState::kFix;
        case Mode::kForcedOff:
            return FixState::kNoFix;
    }
    return FixState::kNoFix;
}

std::optional<Fix> Simulator::LatestFix() const {
    if (mode_ != Mode::kFixing) {
        return std::nullopt;
    }
    return latest_;
}

std::vector<Fix> Simulator::TakeNewFixes() {
    std::vector<Fix> out;
    out.swap(queue_);
    return out;
}

Simulator::Position Simulator::PositionAt(int64_t monoMs) const {
    Position p{origin_.latitude, origin_.longitude, origin_.altitude, 0.0, 0.0};
    if (legs_.empty() || speed_ <= 0) {
        return p;
    }
    const double elapsedS =
        static_cast<double>(std::max<int64_t>(0, monoMs - routeStartMs_)) / 1000.0;
    double d = speed_ * elapsedS;
    bool moving = true;
    if (loop_) {
        d = std::fmod(d, routeLength_);
    } else if (d >= routeLength_) {
        d = routeLength_;
        moving = false;
    }

    // The leg holding distance d: the last one that starts at or before it.
    auto it = std::upper_bound(legs_.begin(), legs_.end(), d,
                               [](double v, const Leg &leg) { return v < leg.startDistance; });
    const Leg &leg = *std::prev(it);
    const double along = std::min(d - leg.startDistance, leg.length);
    const auto pos = geo::Direct(leg.from.latitude, leg.from.longitude, leg.azimuth, along);
    if (!pos) {
        return p;  // cannot happen for validated waypoints
    }
    // Waypoints themselves are reported exactly, without the round trip through Direct.
    const Waypoint *exact = along <= 0 ? &leg.from : (along >= leg.length ? &leg.to : nullptr);
    p.latitude = exact != nullptr ? exact->latitude : pos->latitude;
    p.longitude = exact != nullptr ? exact->longitude : pos->longitude;
    p.altitude = exact != nullptr ? exact->altitude
                                  : leg.from.altitude + (leg.to.altitude - leg.from.altitude) *
                                                            (along / leg.length);
    p.course = pos->azimuth;
    p.speed = moving ? speed_ : 0.0;
    return p;
}

void Simulator::ProduceFix(int64_t slotMs) {
    const Position p = PositionAt(slotMs);
    double hacc = 0;
    if (fixedAccuracy_) {
        hacc = *fixedAccuracy_;
    } else {
        hacc = std::max(finalAccuracy_, std::ldexp(initialAccuracy_, -fixesSinceAcquired_));
    }
    if (fixesSinceAcquired_ < std::numeric_limits<int>::max()) {
        ++fixesSinceAcquired_;
    }

    Fix f;
    f.latitude = p.latitude;
    f.longitude = p.longitude;
    f.altitude = p.altitude;
    f.latLonAccuracy = hacc;
    f.horizontalAccuracy = hacc;
    f.verticalAccuracy = 1.5 * hacc;
    f.speed = p.speed;
    f.course = p.course;
    f.travelDirection = p.course;
    f.pointingDirection = p.course;
    f.locationMethod = kMethodSimulated;
    f.monoMs = slotMs;
    f.timeStampMs = slotMs + (clock_.WallMs() - clock_.MonoMs());

    latest_ = f;
    if (queue_.size() >= kMaxQueuedFixes) {
        queue_.erase(queue_.begin());
    }
    queue_.push_back(f);
}

void Simulator::Tick(int64_t nowMonoMs) {
    if (nowMonoMs < lastSlotMs_ + 1000) {
        return;
    }
    const int64_t due = (nowMonoMs - lastSlotMs_) / 1000;
    if (due > kMaxCatchUpFixes) {
        lastSlotMs_ += (due - kMaxCatchUpFixes) * 1000;
    }
    for (int64_t slot = lastSlotMs_ + 1000; slot <= nowMonoMs; slot += 1000) {
        lastSlotMs_ = slot;
        if (mode_ == Mode::kAcquiring && slot >= acquiredAtMs_) {
            mode_ = Mode::kFixing;
            fixesSinceAcquired_ = 0;
        }
        if (mode_ == Mode::kFixing) {
            ProduceFix(slot);
        }
    }
}

}  // namespace lapid
