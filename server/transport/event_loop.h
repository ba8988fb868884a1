// A small single-threaded event loop over epoll: descriptors with a handler each,
// and timers that tell the loop when they are next due.
//
//     EventLoop loop(clock);
//     loop.Watch(fd, EPOLLIN, [&](uint32_t events) { ... });
//     loop.AddTimer([&] { return engine.NextDeadlineMs(); }, [&] { engine.OnTime(); });
//     loop.SetBeforeSleep([&] { FlushOutput(); });
//     loop.Run();  // until Stop()
//
// A timer is not a fixed time: before each wait the loop asks it for its next
// deadline (monotonic milliseconds of the clock, or nothing), sleeps at most until
// the earliest one, and fires each timer whose deadline has come. On a clock that
// does not move by itself (ManualClock) the loop sleeps until a descriptor is ready;
// time passes only through AdvanceManualClock().
//
// Handlers may watch and unwatch descriptors, including their own; an event that
// was already fetched for a descriptor that has since been unwatched (or closed and
// reused) is not delivered.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "domain/clock.h"

namespace lapid {

class EventLoop {
  public:
    using Handler = std::function<void(uint32_t events)>;
    using NextDeadline = std::function<std::optional<int64_t>()>;

    explicit EventLoop(const Clock &clock);
    ~EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    // False (errno set) when epoll could not be created.
    bool Ok() const { return epfd_ >= 0; }

    bool Watch(int fd, uint32_t events, Handler handler);
    bool Modify(int fd, uint32_t events);
    void Unwatch(int fd);

    void AddTimer(NextDeadline next, std::function<void()> fire);
    // The earliest deadline of all timers, or nothing when none is set.
    std::optional<int64_t> NextTimerDeadline() const;
    // Fires each timer whose deadline is at or before the clock's time.
    void FireDueTimers();
    void SetBeforeSleep(std::function<void()> hook) { beforeSleep_ = std::move(hook); }

    // One wait and the handlers of what it returned; `maxWaitMs` caps the sleep
    // (-1: no cap). Returns the number of descriptor events handled, -1 on error.
    int RunOnce(int maxWaitMs = -1);
    void Run();
    void Stop() { stop_ = true; }

  private:
    struct Slot {
        Handler handler;
        uint32_t generation = 0;
        bool watched = false;
    };
    struct Timer {
        NextDeadline next;
        std::function<void()> fire;
    };
    int WaitMs(int maxWaitMs) const;

    const Clock &clock_;
    int epfd_ = -1;
    std::vector<Slot> slots_;  // by descriptor
    std::vector<Timer> timers_;
    std::function<void()> beforeSleep_;
    bool stop_ = false;
};

// Moves a manual clock forward by `ms` (>= 0), stopping at each timer deadline on the
// way and firing what is due there, as a punctual loop would have in real time.
// Returns the clock's new monotonic time.
int64_t AdvanceManualClock(EventLoop &loop, ManualClock &clock, int64_t ms);

}  // namespace lapid
