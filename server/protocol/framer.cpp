#include "protocol/framer.h"

#include <cstring>

namespace lapid {

void MessageFramer::Append(const uint8_t *data, std::size_t len) {
    Compact();
    buf_.insert(buf_.end(), data, data + len);
}

void MessageFramer::Compact() {
    // Drop what was handed out once it is at least half of the buffer, so the
    // buffer neither grows without bound nor moves bytes on every call.
    if (start_ > 0 && start_ * 2 >= buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
}

MessageFramer::Status MessageFramer::Next(std::span<const uint8_t> &out) {
    if (badLength_ != 0) {
        return Status::kTooLong;
    }
    const std::size_t avail = Buffered();
    if (avail < kHeaderLen) {
        return Status::kNeedMore;
    }
    uint16_t msgLen = 0;
    std::memcpy(&msgLen, buf_.data() + start_ + 6, sizeof msgLen);  // little-endian host
    if (msgLen > kMaxBodyLen) {
        badLength_ = msgLen;
        return Status::kTooLong;
    }
    const std::size_t total = kHeaderLen + msgLen;
    if (avail < total) {
        return Status::kNeedMore;
    }
    out = std::span<const uint8_t>(buf_.data() + start_, total);
    start_ += total;
    return Status::kMessage;
}

}  // namespace lapid
