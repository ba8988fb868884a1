// The trace's number formatters against the C library's printf: edge values, every
// power of two, exact ties, and seeded random samples (LAPI_NUMFMT_COUNT values; 300000
// by default).

#include "LAPI_NumFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

namespace nf = lapi::numfmt;
constexpr double kInf = std::numeric_limits<double>::infinity();

double FromBits(uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// AppendE30 of v and of its neighbours equals "%.30e", with nothing written past its end.
int E30Mismatches(double v) {
    int bad = 0;
    for (const double x : {v, std::nextafter(v, -kInf), std::nextafter(v, kInf)}) {
        char want[64];
        char got[nf::kE30MaxChars + 4];
        std::memset(got, '#', sizeof got);
        const int n = std::snprintf(want, sizeof want, "%.30e", x);
        const std::string text(got, nf::AppendE30(got, x));
        if ((text != want || got[n] != '#') && bad++ == 0) {
            ADD_FAILURE() << "printf \"" << want << "\", AppendE30 \"" << text << "\"";
        }
    }
    return bad;
}

TEST(NumFormat, E30MatchesPrintf) {
    const char *env = std::getenv("LAPI_NUMFMT_COUNT");
    const size_t count = env != nullptr && std::atol(env) > 0 ? std::stoul(env) : 300000;
    int bad = 0;
    for (const double v :
         {0.0, 0.1, 9.999999999999999, 0.9999999999999999, 99999999999999.99, 1e300, 1e-100,
          13.4049554, 0x1p53 + 2, kInf, std::numeric_limits<double>::max()}) {
        bad += E30Mismatches(v) + E30Mismatches(-v);
    }
    for (int e = -1074; e <= 1023 && bad < 10; ++e) {
        bad += E30Mismatches(std::ldexp(1.0, e)) + E30Mismatches(std::ldexp(1.0, e) + 0.5);
    }
    std::mt19937_64 rng(0x4c415049u);
    for (size_t i = 0; i < count && bad < 10; ++i) {
        const double any = FromBits(rng());
        bad += std::isnan(any) ? 0 : E30Mismatches(any);
        // where the trace's values live: 2^-70 .. 2^64
        bad += E30Mismatches(
            std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 134) + 12));
        // an exact tie at the 32nd digit (I + j / 2^k has k fraction digits): to even
        const int k = 22 + static_cast<int>(rng() % 10);
        const auto lo = static_cast<uint64_t>(std::pow(10.0, 31 - k));
        const uint64_t ip = lo + rng() % (std::min(lo * 10, uint64_t{1} << (53 - k)) - lo);
        const uint64_t j = (rng() & ((uint64_t{1} << k) - 1)) | 1;
        bad += E30Mismatches(static_cast<double>(ip) + std::ldexp(static_cast<double>(j), -k));
    }
    EXPECT_EQ(bad, 0);
    char buf[nf::kE30MaxChars];
    EXPECT_EQ(std::string(buf, nf::AppendE30(buf, FromBits(0x7ff8000000000000u))), "nan");
    EXPECT_EQ(std::string(buf, nf::AppendE30(buf, FromBits(0xfff8000000000001u))), "-nan");
}

TEST(NumFormat, IntegersAndHexBytes) {
    std::mt19937_64 rng(7);
    for (uint32_t u : {0u, 9u, 2147483648u, 4294967295u}) {
        for (int i = 0; i < 10000; ++i, u = static_cast<uint32_t>(rng() >> (rng() % 33))) {
            char want[2][16];
            char got[2][16];
            std::snprintf(want[0], 16, "%u", u);
            std::snprintf(want[1], 16, "%d", static_cast<int32_t>(u));
            *nf::AppendU32(got[0], u) = '\0';
            *nf::AppendI32(got[1], static_cast<int32_t>(u)) = '\0';
            ASSERT_STREQ(got[0], want[0]);
            ASSERT_STREQ(got[1], want[1]);
        }
    }
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
    char hex[12] = "##########|";
    EXPECT_EQ(nf::AppendHexBytes(hex, bytes, 5), hex + 10);
    EXPECT_STREQ(hex, "000fa0ff5c|");
}

}  // namespace
