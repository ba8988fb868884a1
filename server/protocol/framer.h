// Whole-message framing of one connection's input.
//
// Bytes arrive in arbitrary pieces; Append() keeps them and Next() hands out one whole
// message at a time (the 8-byte header and msgLen body bytes). A header announcing a
// body longer than kMaxBodyLen is a framing error: such a message can be neither
// answered nor skipped safely, so the connection that sent it is closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "LAPI_MsgCatalogue.h"

namespace lapid {

class MessageFramer {
  public:
    static constexpr std::size_t kHeaderLen = lapi::cat::kHeaderLen;
    static constexpr std::size_t kMaxBodyLen = lapi::cat::kMaxBodyLen;

    enum class Status {
        kMessage,   // Next() returned a whole message
        kNeedMore,  // no whole message buffered yet
        kTooLong,   // the next header announces more than kMaxBodyLen body bytes
    };

    void Append(const uint8_t *data, std::size_t len);

    // The next whole message in `out` (valid until the next Append() or Next()), or
    // why there is none. After kTooLong the framer stays in error.
    Status Next(std::span<const uint8_t> &out);

    // Bytes received and not yet handed out.
    std::size_t Buffered() const { return buf_.size() - start_; }
    // The msgLen of the offending header after kTooLong.
    uint16_t BadLength() const { return badLength_; }

  private:
    void Compact();

    std::vector<uint8_t> buf_;
    std::size_t start_ = 0;  // first byte not handed out yet
    uint16_t badLength_ = 0;
};

}  // namespace lapid
