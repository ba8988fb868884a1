// What an operator may do to a running server, in one place: steer the simulated
// position source and read the state of any source, set status values, inject MT-LR
// requests and read their outcome, list the clients, read the counters and move a
// manual clock. The control commands (operator/control.h) reach the server only
// through this class; it forwards to the Engine, which tells the clients of every
// change.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "domain/mtlr.h"
#include "domain/result.h"
#include "domain/sources/simulator.h"
#include "domain/status.h"
#include "service/engine.h"

namespace lapid {

class Operator {
  public:
    // `simulator` is the position source when it is the simulator, else nullptr: the
    // position operations are then refused.
    Operator(Engine &engine, Simulator *simulator) : engine_(engine), sim_(simulator) {}

    // Ok when the position source can be steered (it is the simulator).
    Result<> CanSteerPosition() const;
    // Fixed position or route from the next fix; forced fix or no fix. The error text
    // is SimulatorResultName() of a refused setting.
    Result<> SetPosition(double latitude, double longitude, double altitude,
                         double horizontalAccuracy);
    Result<> SetRoute(std::vector<Waypoint> route, double speedMps, bool loop);
    Result<> ForceFix(bool on);
    // The position source in use, and whether anyone needs its fixes now.
    const PositionSource &Source() const { return engine_.Source(); }
    bool Demand() const { return engine_.Demand(); }

    StatusSetResult SetStatus(StatusField field, int32_t value) {
        return engine_.SetStatus(field, value);
    }
    InjectResult InjectMtlr(const MtlrRequest &request) { return engine_.InjectMtlr(request); }
    std::optional<MtlrRecord> FindMtlr(uint64_t requestId) const {
        return engine_.FindMtlr(requestId);
    }
    std::vector<ClientInfo> Clients() const { return engine_.Clients(); }
    const Counters &Totals() const { return engine_.Count(); }
    Holdings Held() const { return engine_.Held(); }

    // Moves the server's manual clock by the given milliseconds and returns its new
    // monotonic time. Without it the clock cannot be moved.
    using AdvanceClock = std::function<int64_t(int64_t ms)>;
    void SetClockControl(AdvanceClock advance) { advance_ = std::move(advance); }
    bool ClockIsManual() const { return static_cast<bool>(advance_); }
    // Only when ClockIsManual().
    int64_t Advance(int64_t ms) { return advance_(ms); }

  private:
    Result<> Steered(SimulatorResult r);

    Engine &engine_;
    Simulator *sim_;
    AdvanceClock advance_;
};

}  // namespace lapid
