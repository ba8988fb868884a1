#include "transport/event_loop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace lapid {

namespace {

constexpr int kMaxEvents = 256;

uint64_t Pack(int fd, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

}  // namespace

EventLoop::EventLoop(const Clock &clock) : clock_(clock) {
    epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
}

EventLoop::~EventLoop() {
    if (epfd_ >= 0) {
        ::close(epfd_);
    }
}

bool EventLoop::Watch(int fd, uint32_t events, Handler handler) {
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    const auto index = static_cast<std::size_t>(fd);
    if (index >= slots_.size()) {
        slots_.resize(index + 1);
    }
    Slot &s = slots_[index];
    ++s.generation;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = Pack(fd, s.generation);
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        return false;
    }
    s.handler = std::move(handler);
    s.watched = true;
    return true;
}

bool EventLoop::Modify(int fd, uint32_t events) {
    const auto index = static_cast<std::size_t>(fd);
    if (fd < 0 || index >= slots_.size() || !slots_[index].watched) {
        errno = EBADF;
        return false;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = Pack(fd, slots_[index].generation);
    return ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::Unwatch(int fd) {
    const auto index = static_cast<std::size_t>(fd);
    if (fd < 0 || index >= slots_.size() || !slots_[index].watched) {
        return;
    }
    ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    Slot &s = slots_[index];
    s.watched = false;
    ++s.generation;
    // The handler may be the one running now: it is dropped on the next Watch().
}

void EventLoop::AddTimer(NextDeadline next, std::function<void()> fire) {
    timers_.push_back(Timer{std::move(next), std::move(fire)});
}

std::optional<int64_t> EventLoop::NextTimerDeadline() const {
    std::optional<int64_t> earliest;
    for (const Timer &t : timers_) {
        const std::optional<int64_t> d = t.next();
        if (d && (!earliest || *d < *earliest)) {
            earliest = d;
        }
    }
    return earliest;
}

int EventLoop::WaitMs(int maxWaitMs) const {
    const std::optional<int64_t> earliest = NextTimerDeadline();
    int64_t wait = maxWaitMs < 0 ? -1 : maxWaitMs;
    if (earliest && (clock_.MovesByItself() || *earliest <= clock_.MonoMs())) {
        const int64_t untilDue = std::max<int64_t>(0, *earliest - clock_.MonoMs());
        wait = wait < 0 ? untilDue : std::min<int64_t>(wait, untilDue);
    }
    return static_cast<int>(std::min<int64_t>(wait, std::numeric_limits<int>::max()));
}

void EventLoop::FireDueTimers() {
    const int64_t now = clock_.MonoMs();
    for (const Timer &t : timers_) {
        const std::optional<int64_t> d = t.next();
        if (d && *d <= now) {
            t.fire();
        }
    }
}

int EventLoop::RunOnce(int maxWaitMs) {
    if (beforeSleep_) {
        beforeSleep_();
    }
    epoll_event events[kMaxEvents];
    const int n = ::epoll_wait(epfd_, events, kMaxEvents, WaitMs(maxWaitMs));
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    for (int i = 0; i < n; ++i) {
        const auto fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        const auto generation = static_cast<uint32_t>(events[i].data.u64 >> 32);
        const auto index = static_cast<std::size_t>(fd);
        if (index >= slots_.size() || !slots_[index].watched ||
            slots_[index].generation != generation) {
            continue;  // unwatched since the wait returned
        }
        // A copy: the handler may unwatch its descriptor and watch a new one there.
        Handler h = slots_[index].handler;
        h(events[i].events);
    }
    FireDueTimers();
    return n;
}

void EventLoop::Run() {
    stop_ = false;
    while (!stop_) {
        if (RunOnce() < 0) {
            break;
        }
    }
    if (beforeSleep_) {
        beforeSleep_();
    }
}

int64_t AdvanceManualClock(EventLoop &loop, ManualClock &clock, int64_t ms) {
    const int64_t target = clock.MonoMs() + std::max<int64_t>(0, ms);
    // Each step either moves the clock to a later deadline or fires the timers due
    // now; a timer that stays due after firing ends the stepping at the target.
    std::optional<int64_t> firedAt;
    for (;;) {
        const std::optional<int64_t> d = loop.NextTimerDeadline();
        if (!d || *d > target || (firedAt && *d <= *firedAt)) {
            break;
        }
        clock.Advance(std::max<int64_t>(0, *d - clock.MonoMs()));
        firedAt = clock.MonoMs();
        loop.FireDueTimers();
    }
    clock.Advance(target - clock.MonoMs());
    loop.FireDueTimers();
    return clock.MonoMs();
}

}  // namespace lapid
