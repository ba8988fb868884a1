// Time for the server: a monotonic clock for timeouts and periodic work, and the
// wall clock for fix time stamps. Everything that depends on time takes a Clock,
// so tests drive time with ManualClock instead of sleeping (`lapid --manual-clock`).
#pragma once

#include <chrono>
#include <cstdint>

namespace lapid {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic clock (arbitrary origin).
    virtual int64_t MonoMs() const = 0;
    // Milliseconds since the Unix epoch, UTC.
    virtual int64_t WallMs() const = 0;
    // False for a clock that moves only when told: nobody waits for it to pass a deadline.
    virtual bool MovesByItself() const { return true; }
};

class SystemClock final : public Clock {
  public:
    int64_t MonoMs() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    int64_t WallMs() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }
};

// A clock that moves only when told to; monotonic time starts at 0.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(int64_t wallStartMs = 1'796'544'000'000 /* 2026-12-06T08:00:00Z */)
        : wall0_(wallStartMs) {}
    int64_t MonoMs() const override { return mono_; }
    int64_t WallMs() const override { return wall0_ + mono_; }
    bool MovesByItself() const override { return false; }
    void Advance(int64_t ms) { mono_ += ms; }

  private:
    int64_t wall0_;
    int64_t mono_ = 0;
};

}  // namespace lapid
