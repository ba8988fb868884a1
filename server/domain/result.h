// How lapid reports failure, in every layer.
//
// - A function that can fail returns Result<T>: its value, or the Error that prevented
//   it, with one line of text for the operator ("cannot bind PATH: ..."). Result<> is
//   the value-less form.
// - Outcomes that are answers rather than failures (a refused request, a simulator
//   setting out of range, a status value out of its set) are enum values; each enum has
//   one text function, a switch over every enumerator.
// - Nothing throws across layers. Only main prints, and the server's log module
//   (protocol/log.h) writes the trace and error lines.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>  // std::monostate

namespace lapid {

struct Error {
    std::string text;
};

template <typename T = std::monostate>
class [[nodiscard]] Result {
  public:
    Result() requires std::is_same_v<T, std::monostate> : value_(T{}) {}
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error.text)) {}

    bool Ok() const { return value_.has_value(); }
    explicit operator bool() const { return Ok(); }

    // The value; only when Ok().
    T &operator*() & { return *value_; }
    const T &operator*() const & { return *value_; }
    T &&operator*() && { return *std::move(value_); }
    T *operator->() { return &*value_; }
    const T *operator->() const { return &*value_; }

    // The text of the error; empty when Ok().
    const std::string &ErrorText() const { return error_; }

  private:
    std::optional<T> value_;
    std::string error_;
};

}  // namespace lapid
