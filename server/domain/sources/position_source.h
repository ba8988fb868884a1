// What the event loop needs from a source of position fixes: the built-in simulator,
// and the gpsd client (receiver/gpsd_source.h).
//
// The loop drives a source through these calls and then collects what they produced:
//   - Fd(): a descriptor to watch for readability (-1: the source has none), the same
//     for the whole life of the source, so the loop watches it once. When it is
//     readable the loop calls OnReadable().
//   - Tick(nowMonoMs): called at the latest at NextDeadlineMs(), and whenever else the
//     loop wakes up, with the loop clock's monotonic time (Clock::MonoMs()).
//   - After Tick() or OnReadable() (or after a control operation on a source), the loop
//     calls TakeNewFixes() for the fixes produced since the previous call, oldest
//     first, and compares State() with the state it saw before to learn of changes,
//     and TakeNotices() for the lines the source wants in the server's log.
//   - SetDemand(wanted): whether anyone needs fixes now; the server calls it when the
//     answer changes (and collects as above afterwards).
// Sources never block and never throw across these calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "domain/fix.h"

namespace lapid {

// A change of the source's own state worth one line in the server's log.
struct SourceNotice {
    bool failure = false;  // an error line rather than a trace line
    std::string text;
};

// One "KEY VALUE" line of the control command `source`.
using SourceDetail = std::pair<std::string, std::string>;

class PositionSource {
  public:
    virtual ~PositionSource() = default;

    // Short name for logs and the control socket ("simulator", ...).
    virtual const char *Name() const = 0;

    // Descriptor to watch for readability, or -1 for none.
    virtual int Fd() const { return -1; }
    // Called by the loop when Fd() is readable.
    virtual void OnReadable() {}

    // Lets the source do its time-driven work up to nowMonoMs.
    virtual void Tick(int64_t nowMonoMs) = 0;
    // Monotonic time (ms) by which Tick() must be called next; INT64_MAX if none.
    virtual int64_t NextDeadlineMs() const = 0;

    // The current fix: present only while State() is FixState::kFix. Remembering the last
    // known position after the fix is lost is the server's business, not the source's.
    virtual std::optional<Fix> LatestFix() const = 0;
    virtual FixState State() const = 0;

    // Fixes produced since the previous call, oldest first; the source forgets them.
    virtual std::vector<Fix> TakeNewFixes() = 0;

    // Whether anyone needs fixes now (a location session, a proximity listener or a
    // client of the status service). A source may let its receiver sleep while nobody
    // does; one that cannot ignores it.
    virtual void SetDemand(bool /*wanted*/) {}
    // Log lines produced since the previous call, oldest first; the source forgets them.
    virtual std::vector<SourceNotice> TakeNotices() { return {}; }
    // What the control command `source` lists about the source after its name.
    virtual std::vector<SourceDetail> Details() const { return {}; }
};

}  // namespace lapid
