// The bytes waiting to be written on one connection.
//
// The engine appends whole messages; the transport writes from Data() and reports
// what the socket took with Consume(). The queue itself does not refuse anything:
// the engine compares Size() with its backlog bound after each append and
// disconnects a client that does not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lapid {

class OutputQueue {
  public:
    void Append(std::span<const uint8_t> bytes);
    // Unsent bytes, oldest first.
    std::span<const uint8_t> Data() const { return {buf_.data() + start_, buf_.size() - start_}; }
    // The first n bytes of Data() were written.
    void Consume(std::size_t n);
    std::size_t Size() const { return buf_.size() - start_; }
    bool Empty() const { return Size() == 0; }
    void Clear();

  private:
    std::vector<uint8_t> buf_;
    std::size_t start_ = 0;
};

}  // namespace lapid
