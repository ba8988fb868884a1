// The built-in position source: a deterministic simulated receiver.
//
// Time. The simulator starts at the clock's monotonic time t0 of its construction and
// works on a grid of whole seconds t0 + k * 1000 ms (k >= 1). It produces at most one
// fix per grid second, with monoMs set to that grid time and timeStampMs to the wall
// time of the same instant (the clock's current wall-minus-monotonic offset added to
// it). When Tick() comes late it produces the fixes of every grid second it missed,
// but never more than kMaxCatchUpFixes: older missed seconds are skipped.
// NextDeadlineMs() is always the next grid second, whatever the fix state.
//
// Fix state.
//   - At start the receiver is acquiring (FixState::kAcquiring). The first fix comes at
//     the first grid second at or after t0 + timeToFirstFixMs (at least t0 + 1 s).
//   - From then on (FixState::kFix) every grid second produces a fix.
//   - ForceNoFix() stops fixes at once (FixState::kNoFix) until ForceFix().
//   - ForceFix() skips any remaining acquisition: the state becomes kAcquiring at once
//     (if it was not kFix already) and the next grid second produces a fix.
//   Control operations change the state immediately; time changes it in Tick().
//
// Movement. The position follows a route of waypoints at a set speed along the
// geodesics between consecutive waypoints, with the altitude interpolated linearly by
// distance. A looping route returns from the last waypoint to the first and goes round
// again; a non-looping route stops at its last waypoint (speed 0, course kept from the
// last leg). A route (or a fixed position) takes effect at the next grid second still
// to come, the route's origin: the fix of that second is at the first waypoint, and the
// fix N seconds later is speed * N metres along the route. The position moves whether
// or not fixes are being produced. A fixed position is a one-point route with speed 0.
//
// Derived values. speed is the route speed while moving and 0 when standing still;
// course, travelDirection and pointingDirection are all the direction of travel at the
// fix position (the geodesic's forward azimuth there, degrees in [0, 360)), 0 for a
// position that never moved. locationMethod is kMethodSimulated.
//
// Accuracy model (metres). On a route: the k-th fix since the last (re)acquisition
// (k = 0 for the first) has horizontalAccuracy max(finalAccuracy, initialAccuracy / 2^k),
// with the defaults 50, 25, 12.5, 6.25, then 5 from the fifth fix on. At a fixed
// position the horizontal accuracy is the one given with the position. Always
// latLonAccuracy = horizontalAccuracy and verticalAccuracy = 1.5 * horizontalAccuracy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "domain/clock.h"
#include "domain/fix.h"
#include "domain/result.h"
#include "domain/sources/position_source.h"

namespace lapid {

struct Waypoint {
    double latitude = 0;   // degrees
    double longitude = 0;  // degrees
    double altitude = 0;   // metres
};

// Outcome of a simulator control operation.
enum class SimulatorResult : int32_t {
    kOk = 0,
    kInvalidPosition = -1,  // a latitude/longitude/altitude is NaN or infinite, |lat| > 90
    kInvalidAccuracy = -2,  // horizontal accuracy not finite or <= 0
    kInvalidSpeed = -3,     // speed not finite or negative
    kEmptyRoute = -4,       // no waypoints
};

const char *SimulatorResultName(SimulatorResult r) noexcept;

struct SimulatorConfig {
    std::vector<Waypoint> route;  // empty: Simulator::DefaultRoute()
    double speedMps = 10.0;
    bool loop = true;
    int64_t timeToFirstFixMs = 3000;
    double initialAccuracyM = 50.0;
    double finalAccuracyM = 5.0;
};

class Simulator final : public PositionSource {
  public:
    static constexpr int kMaxCatchUpFixes = 10;
    // TakeNewFixes() keeps at most this many fixes; older ones are dropped.
    static constexpr std::size_t kMaxQueuedFixes = 64;

    // A simulator started at the clock's time, or the error of an invalid configuration
    // (bad waypoint, speed, accuracies, or a negative time to first fix).
    static Result<Simulator> Create(const Clock &clock, SimulatorConfig config = {});

    // A loop of about 1.3 km: four corners of a rectangle in a park.
    static std::vector<Waypoint> DefaultRoute();

    const char *Name() const override { return "simulator"; }
    void Tick(int64_t nowMonoMs) override;
    int64_t NextDeadlineMs() const override { return lastSlotMs_ + 1000; }
    std::optional<Fix> LatestFix() const override;
    FixState State() const override;
    std::vector<Fix> TakeNewFixes() override;
    // It produces fixes whether or not anyone needs them: always "watching".
    std::vector<SourceDetail> Details() const override { return {{"watching", "yes"}}; }

    // Control operations.
    SimulatorResult SetFixedPosition(double latitude, double longitude, double altitude,
                                     double horizontalAccuracy);
    SimulatorResult SetRoute(std::vector<Waypoint> route, double speedMps, bool loop);
    void ForceNoFix();
    void ForceFix();

  private:
    struct Leg {
        Waypoint from;
        Waypoint to;
        double azimuth = 0;        // at `from`
        double length = 0;         // metres
        double startDistance = 0;  // distance along the route where this leg starts
    };
    enum class Mode { kAcquiring, kFixing, kForcedOff };

    struct Position {
        double latitude = 0, longitude = 0, altitude = 0;
        double speed = 0, course = 0;
    };

    Simulator(const Clock &clock, const SimulatorConfig &config);
    SimulatorResult InstallRoute(std::vector<Waypoint> route, double speedMps, bool loop,
                                 std::optional<double> fixedAccuracy);
    int64_t NextSlotNotBefore(int64_t monoMs) const;
    Position PositionAt(int64_t monoMs) const;
    void ProduceFix(int64_t slotMs);

    const Clock &clock_;
    double initialAccuracy_;
    double finalAccuracy_;
    int64_t t0_;
    int64_t lastSlotMs_;  // last grid second handled by Tick()

    Mode mode_ = Mode::kAcquiring;
    int64_t acquiredAtMs_ = 0;  // grid second of the first fix while acquiring
    int fixesSinceAcquired_ = 0;

    std::vector<Leg> legs_;
    Waypoint origin_;  // first waypoint (the whole route when legs_ is empty)
    double routeLength_ = 0;
    double speed_ = 0;
    bool loop_ = true;
    int64_t routeStartMs_ = 0;
    std::optional<double> fixedAccuracy_;

    std::optional<Fix> latest_;
    std::vector<Fix> queue_;
};

}  // namespace lapid
