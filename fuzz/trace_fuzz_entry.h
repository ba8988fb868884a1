// One fuzz input through the message trace; shared by the libFuzzer target and by
// the replay program that runs the saved corpus as a test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lapifuzz {

// Input layout: byte 0 is the side flag, bytes 1 and 2 a little-endian number whose
// value modulo 301 is the length handed to LAPI_LogApMsg, and the rest the message.
// The message is copied into a heap block of exactly that length (zero-filled where
// the input is shorter), so a sanitizer sees any read past it. Missing prefix bytes
// count as zero.
inline constexpr size_t kPrefixLen = 3;
inline constexpr int kMaxLength = 300;

// Traces one input with standard error sent to /dev/null for the call and returns
// what LAPI_LogApMsg returned. Aborts when the trace wrote nothing: every call must
// end in a trace line or an error line.
int TraceOne(const uint8_t *data, size_t size);

}  // namespace lapifuzz
