// What the benchmarks share: unaligned little-endian field access and a set of
// realistic getLocationRsp messages to trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace lapibench {

template <typename T>
void Put(unsigned char *p, T v) {
    std::memcpy(p, &v, sizeof v);
}

template <typename T>
T Get(const unsigned char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline constexpr std::size_t kLocationRspLen = 114;

struct LocationRsp {
    unsigned char bytes[kLocationRspLen];
};

// Whole getLocationRsp messages with fixes as a receiver reports them: coordinates to
// 1e-7 degrees, accuracies and altitudes to centimetres, millisecond time stamps, one
// direction unrounded, some fields zero.
inline std::vector<LocationRsp> SampleLocationRsps(std::size_t n, std::uint64_t seed) {
    const auto round = [](double v, double step) {
        return static_cast<double>(static_cast<std::int64_t>(v / step)) * step;
    };
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<LocationRsp> msgs(n);
    for (LocationRsp &m : msgs) {
        unsigned char *b = m.bytes;
        std::memset(b, 0, kLocationRspLen);
        Put<std::int32_t>(b, static_cast<std::int32_t>(1000 + rng() % 30000));
        Put<std::uint16_t>(b + 6, kLocationRspLen - 8);
        b[8] = static_cast<unsigned char>(rng() % 256);
        b[9] = static_cast<unsigned char>(rng() % 256);
        Put(b + 10, round(u(rng) * 360.0 - 180.0, 1e-7));
        Put(b + 18, round(u(rng) * 180.0 - 90.0, 1e-7));
        Put(b + 26, round(u(rng) * 50.0, 0.01));
        Put<std::int64_t>(b + 34, 1717000000000 + static_cast<std::int64_t>(rng() % 100000000));
        Put(b + 42, round(u(rng) * 800.0 - 20.0, 0.01));
        Put(b + 50, round(u(rng) * 35.0, 0.01));
        Put(b + 58, round(u(rng) * 360.0, 0.1));
        Put(b + 74, round(u(rng) * 30.0, 0.01));
        Put(b + 82, round(u(rng) * 60.0, 0.01));
        Put(b + 90, u(rng) * 360.0);
        Put<std::int32_t>(b + 98, static_cast<std::int32_t>(rng() % 4));
        Put(b + 106, round(u(rng) * 5.0, 0.001));
    }
    return msgs;
}

}  // namespace lapibench
