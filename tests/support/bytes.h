// Byte buffers for tests: build wire messages, append and read little-endian
// fields at any offset, print buffers as hex.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace lapitest {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kHeaderSize = 8;

// ---- appenders (least significant byte first) ----

inline void PutU8(Bytes &b, uint8_t v) {
    b.push_back(v);
}

inline void PutU16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void PutU32(Bytes &b, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        b.push_back(static_cast<uint8_t>(v >> shift));
    }
}

inline void PutU64(Bytes &b, uint64_t v) {
    for (int shift = 0; shift < 64; shift += 8) {
        b.push_back(static_cast<uint8_t>(v >> shift));
    }
}

inline void PutI16(Bytes &b, int16_t v) {
    PutU16(b, static_cast<uint16_t>(v));
}
inline void PutI32(Bytes &b, int32_t v) {
    PutU32(b, static_cast<uint32_t>(v));
}
inline void PutI64(Bytes &b, int64_t v) {
    PutU64(b, static_cast<uint64_t>(v));
}
inline void PutF64(Bytes &b, double v) {
    PutU64(b, std::bit_cast<uint64_t>(v));
}

// ---- readers; throw std::out_of_range when the field does not fit ----

namespace detail {
inline uint64_t GetLe(const Bytes &b, size_t off, size_t width) {
    if (off > b.size() || b.size() - off < width) {
        throw std::out_of_range("field of " + std::to_string(width) + " bytes at offset " +
                                std::to_string(off) + " outside a buffer of " +
                                std::to_string(b.size()) + " bytes");
    }
    uint64_t v = 0;
    for (size_t i = width; i-- > 0;) {
        v = (v << 8) | b[off + i];
    }
    return v;
}
}  // namespace detail

inline uint8_t GetU8(const Bytes &b, size_t off) {
    return static_cast<uint8_t>(detail::GetLe(b, off, 1));
}
inline uint16_t GetU16(const Bytes &b, size_t off) {
    return static_cast<uint16_t>(detail::GetLe(b, off, 2));
}
inline uint32_t GetU32(const Bytes &b, size_t off) {
    return static_cast<uint32_t>(detail::GetLe(b, off, 4));
}
inline uint64_t GetU64(const Bytes &b, size_t off) {
    return detail::GetLe(b, off, 8);
}
inline int16_t GetI16(const Bytes &b, size_t off) {
    return static_cast<int16_t>(GetU16(b, off));
}
inline int32_t GetI32(const Bytes &b, size_t off) {
    return static_cast<int32_t>(GetU32(b, off));
}
inline int64_t GetI64(const Bytes &b, size_t off) {
    return static_cast<int64_t>(GetU64(b, off));
}
inline double GetF64(const Bytes &b, size_t off) {
    return std::bit_cast<double>(GetU64(b, off));
}

// ---- messages ----

// A message whose header claims msgLen bytes of body, whatever the body
// really holds: for testing receivers against lying headers.
inline Bytes MsgWithLen(uint16_t msgId, uint16_t msgLen, const Bytes &body, int32_t pid = 0) {
    Bytes m;
    m.reserve(kHeaderSize + body.size());
    PutI32(m, pid);
    PutU16(m, msgId);
    PutU16(m, msgLen);
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

// A well-formed message: header with msgLen = body size, then the body.
inline Bytes Msg(uint16_t msgId, const Bytes &body = {}, int32_t pid = 0) {
    if (body.size() > UINT16_MAX) {
        throw std::length_error("message body longer than 65535 bytes");
    }
    return MsgWithLen(msgId, static_cast<uint16_t>(body.size()), body, pid);
}

inline int32_t MsgPid(const Bytes &m) {
    return GetI32(m, 0);
}
inline uint16_t MsgId(const Bytes &m) {
    return GetU16(m, 4);
}
inline uint16_t MsgLen(const Bytes &m) {
    return GetU16(m, 6);
}

// Splits a byte stream into whole messages by their headers. Bytes of a
// trailing incomplete message are left out; their count goes to *rest.
inline std::vector<Bytes> SplitMsgs(const Bytes &stream, size_t *rest = nullptr) {
    std::vector<Bytes> msgs;
    size_t pos = 0;
    while (stream.size() - pos >= kHeaderSize) {
        const size_t total = kHeaderSize + GetU16(stream, pos + 6);
        if (stream.size() - pos < total) {
            break;
        }
        const auto first = stream.begin() + static_cast<std::ptrdiff_t>(pos);
        msgs.emplace_back(first, first + static_cast<std::ptrdiff_t>(total));
        pos += total;
    }
    if (rest != nullptr) {
        *rest = stream.size() - pos;
    }
    return msgs;
}

// "2c 01 00 00 64 00": two lower-case hex digits per byte, single blanks.
inline std::string Hex(const Bytes &b) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 3);
    for (size_t i = 0; i < b.size(); ++i) {
        if (i != 0) {
            s.push_back(' ');
        }
        s.push_back(kDigits[b[i] >> 4]);
        s.push_back(kDigits[b[i] & 0x0f]);
    }
    return s;
}

}  // namespace lapitest
