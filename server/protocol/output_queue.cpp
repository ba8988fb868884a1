#include "protocol/output_queue.h"

#include <algorithm>

namespace lapid {

void OutputQueue::Append(std::span<const uint8_t> bytes) {
    if (start_ > 0 && start_ * 2 >= buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void OutputQueue::Consume(std::size_t n) {
    start_ += std::min(n, Size());
    if (start_ == buf_.size()) {
        Clear();
    }
}

void OutputQueue::Clear() {
    buf_.clear();
    start_ = 0;
}

}  // namespace lapid
