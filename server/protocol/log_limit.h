// A bound on the error lines about one connection: at most kPerSecond in each second
// of the server's clock. Lines over the bound are held back and counted; the caller
// reports how many before the next line it is allowed, and when the connection ends.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

namespace lapid {

class LogLimit {
  public:
    static constexpr int kPerSecond = 10;

    // Whether an error line at `nowMs` may be written; one held back when not.
    bool Allow(int64_t nowMs) {
        if (!windowMs_ || nowMs - *windowMs_ >= 1000) {
            windowMs_ = nowMs;
            lines_ = 0;
        }
        if (lines_ >= kPerSecond) {
            ++held_;
            return false;
        }
        ++lines_;
        return true;
    }
    // The lines held back since the last call.
    uint64_t TakeHeld() { return std::exchange(held_, 0); }

  private:
    std::optional<int64_t> windowMs_;  // start of the current second
    int lines_ = 0;                    // written in it
    uint64_t held_ = 0;
};

}  // namespace lapid
