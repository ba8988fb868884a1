// The trace formatters against the C library's own printf, value by value.
//
// LAPI_NUMFMT_COUNT sets how many values each random group draws (default
// 1,000,000), for slow builds such as emulated or sanitized ones.

#include "LAPI_NumFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>

namespace {

namespace nf = lapi::numfmt;

constexpr std::uint64_t kSeed = 0x4c415049u;  // fixed, printed on failure
constexpr int kShowMismatches = 10;

std::size_t RandomCount() {
    if (const char *s = std::getenv("LAPI_NUMFMT_COUNT")) {
        const long long n = std::atoll(s);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
    }
    return 1000000;
}

double FromBits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::uint64_t ToBits(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Compares AppendE30 with snprintf("%.30e") and checks that nothing is
// written past the returned end (no NUL, no stray byte).
class E30Checker {
  public:
    explicit E30Checker(std::string group) : group_(std::move(group)) {}

    void Check(double v) {
        ++checked_;
        char expect[64];
        const int n = std::snprintf(expect, sizeof expect, "%.30e", v);
        char got[nf::kE30MaxChars + 8];
        std::memset(got, '#', sizeof got);
        const char *end = nf::AppendE30(got, v);
        const auto len = static_cast<std::size_t>(end - got);
        bool ok = n >= 0 && len == static_cast<std::size_t>(n) && len <= nf::kE30MaxChars &&
                  std::memcmp(got, expect, len) == 0;
        for (std::size_t i = len; ok && i < sizeof got; ++i) {
            ok = got[i] == '#';
        }
        longest_ = std::max(longest_, len);
        if (!ok) {
            if (mismatches_ < kShowMismatches) {
                const std::size_t shown = std::min(len, sizeof got);
                ADD_FAILURE() << group_ << ": bits 0x" << std::hex << ToBits(v) << std::dec
                              << " (seed " << kSeed << ")\n  printf:    \"" << expect
                              << "\"\n  AppendE30: \"" << std::string(got, shown) << "\""
                              << (len > nf::kE30MaxChars ? " (longer than kE30MaxChars)" : "");
            }
            ++mismatches_;
        }
    }

    void CheckBits(std::uint64_t bits) { Check(FromBits(bits)); }

    // The value and both of its neighbours.
    void CheckAround(double v) {
        Check(v);
        Check(std::nextafter(v, -std::numeric_limits<double>::infinity()));
        Check(std::nextafter(v, std::numeric_limits<double>::infinity()));
    }

    ~E30Checker() {
        EXPECT_EQ(mismatches_, 0u)
            << group_ << ": " << mismatches_ << " of " << checked_ << " values differ from printf";
    }

    std::size_t checked() const { return checked_; }
    std::size_t longest() const { return longest_; }

  private:
    std::string group_;
    std::size_t checked_ = 0;
    std::size_t mismatches_ = 0;
    std::size_t longest_ = 0;
};

std::string E30(double v) {
    char buf[nf::kE30MaxChars];
    return std::string(buf, nf::AppendE30(buf, v));
}

// ---------------------------------------------------------------------------
// AppendE30

TEST(AppendE30, SpecialValuesUseThePrintfSpellings) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(E30(inf), "inf");
    EXPECT_EQ(E30(-inf), "-inf");
    EXPECT_EQ(E30(FromBits(0x7ff8000000000000u)), "nan");
    EXPECT_EQ(E30(FromBits(0xfff8000000000000u)), "-nan");
    EXPECT_EQ(E30(0.0), "0.000000000000000000000000000000e+00");
    EXPECT_EQ(E30(-0.0), "-0.000000000000000000000000000000e+00");
    EXPECT_EQ(E30(1000.0), "1.000000000000000000000000000000e+03");
    EXPECT_EQ(E30(13.4049554), "1.340495540000000040947725210572e+01");

    E30Checker c("special");
    c.Check(0.0);
    c.Check(-0.0);
    c.Check(inf);
    c.Check(-inf);
    // NaNs: quiet and signalling, both signs, assorted payloads.
    const std::uint64_t payloads[] = {1,
                                      2,
                                      0x8000000000000u,
                                      0x8000000000001u,
                                      0xfffffffffffffu,
                                      0x123456789abcu,
                                      0x4000000000000u};
    for (std::uint64_t p : payloads) {
        c.CheckBits(0x7ff0000000000000u | p);
        c.CheckBits(0xfff0000000000000u | p);
    }
    c.Check(std::numeric_limits<double>::max());
    c.Check(-std::numeric_limits<double>::max());
    c.Check(std::numeric_limits<double>::min());
    c.Check(std::numeric_limits<double>::denorm_min());
    c.Check(-std::numeric_limits<double>::denorm_min());
    c.Check(std::numeric_limits<double>::epsilon());
}

TEST(AppendE30, ThreeDigitExponentsAndLongestOutput) {
    EXPECT_EQ(E30(1e308), "1.000000000000000010979063629440e+308");
    EXPECT_EQ(E30(-std::numeric_limits<double>::denorm_min()),
              "-4.940656458412465441765687928682e-324");
    EXPECT_EQ(E30(1e-100), "1.000000000000000019991899802603e-100");
    EXPECT_EQ(E30(-std::numeric_limits<double>::denorm_min()).size(), nf::kE30MaxChars);
}

TEST(AppendE30, Subnormals) {
    E30Checker c("subnormal");
    for (int bit = 0; bit < 52; ++bit) {
        c.CheckBits(std::uint64_t{1} << bit);
        c.CheckBits((std::uint64_t{1} << bit) | (std::uint64_t{1} << 63));
        c.CheckBits((std::uint64_t{1} << bit) - 1);
    }
    c.CheckBits(0x000fffffffffffffu);  // largest subnormal
    c.CheckBits(0x0010000000000000u);  // smallest normal
    std::mt19937_64 rng(kSeed);
    const std::size_t n = RandomCount() / 10;
    for (std::size_t i = 0; i < n; ++i) {
        c.CheckBits(rng() & 0x800fffffffffffffu);
    }
}

TEST(AppendE30, PowersOfTwoAndTen) {
    E30Checker c("powers");
    for (int e = -1074; e <= 1023; ++e) {
        const double v = std::ldexp(1.0, e);
        c.CheckAround(v);
        c.CheckAround(-v);
        c.CheckAround(3 * v);
    }
    for (int e = -323; e <= 308; ++e) {
        char text[16];
        std::snprintf(text, sizeof text, "1e%d", e);
        const double v = std::strtod(text, nullptr);
        c.CheckAround(v);
        c.CheckAround(-v);
        std::snprintf(text, sizeof text, "9.5e%d", e);
        c.CheckAround(std::strtod(text, nullptr));
    }
}

TEST(AppendE30, IntegersAndHalves) {
    E30Checker c("integers");
    for (std::int64_t k = -300000; k <= 300000; ++k) {
        const auto v = static_cast<double>(k);
        c.Check(v);
        c.Check(v + 0.5);
    }
    // Millisecond and microsecond timestamps, and the 2^53 / 2^64 limits.
    std::mt19937_64 rng(kSeed + 1);
    for (int i = 0; i < 200000; ++i) {
        c.Check(
            static_cast<double>(1700000000000 + static_cast<std::int64_t>(rng() % 100000000000)));
        c.Check(static_cast<double>(static_cast<std::int64_t>(rng())));
        c.Check(static_cast<double>(rng()));
    }
    for (int e = 50; e <= 66; ++e) {
        c.CheckAround(std::ldexp(1.0, e));
        c.CheckAround(std::ldexp(1.0, e) - 1);
        c.CheckAround(std::ldexp(1.0, e) + 0.5);
    }
    c.CheckAround(static_cast<double>(std::numeric_limits<std::int64_t>::max()));
    c.CheckAround(static_cast<double>(std::numeric_limits<std::int64_t>::min()));
}

// Values whose exact decimal expansion has 32 significant digits ending in 5,
// i.e. exactly half way between two 31-digit results, and their neighbours.
// A value I + j / 2^k with j odd has exactly k fraction digits, the last one
// a 5, so the integer part I gets 32 - k digits; below 1, j / 2^k has
// 32 significant digits when it lies in [10^-(z+1), 10^-z) with z = k - 32.
TEST(AppendE30, ExactTiesRoundToEven) {
    E30Checker c("ties");
    std::mt19937_64 rng(kSeed + 2);
    std::size_t made = 0;
    std::size_t ties = 0;
    const auto add = [&](double v) {
        ++made;
        // 46 significant digits show the whole expansion of these values.
        char wide[64];
        std::snprintf(wide, sizeof wide, "%.45e", v);
        if (wide[32] == '5' && wide[33 + std::strspn(wide + 33, "0")] == 'e') {
            ++ties;
        }
        c.CheckAround(v);
        c.CheckAround(-v);
    };
    for (int k = 22; k <= 31; ++k) {
        const std::uint64_t lo = static_cast<std::uint64_t>(std::pow(10.0, 31 - k));
        const std::uint64_t hi = std::min(lo * 10, std::uint64_t{1} << (53 - k));
        for (int i = 0; i < 5000; ++i) {
            const std::uint64_t ip = lo + rng() % (hi - lo);
            const std::uint64_t j = (rng() & ((std::uint64_t{1} << k) - 1)) | 1;
            add(static_cast<double>(ip) + std::ldexp(static_cast<double>(j), -k));
        }
    }
    for (int k = 32; k <= 37; ++k) {
        const double scale = std::ldexp(1.0, k);
        const double lo = std::pow(10.0, 31 - k) * scale;
        const auto first = static_cast<std::uint64_t>(lo) + 1;
        const auto span = static_cast<std::uint64_t>(lo * 9);
        for (int i = 0; i < 5000; ++i) {
            add(static_cast<double>((first + rng() % span) | 1) / scale);
        }
    }
    // The generator must really produce ties, or this group tests nothing.
    EXPECT_EQ(ties, made);
}

// Digits ending in a run of nines that round up carry into the digits before.
TEST(AppendE30, RoundingCarries) {
    E30Checker c("carries");
    c.CheckAround(10.0);
    c.CheckAround(100.0);
    c.CheckAround(1.0);
    c.CheckAround(0.1);
    c.CheckAround(0.001);
    c.CheckAround(9.999999999999999);
    c.CheckAround(0.9999999999999999);
    c.CheckAround(99999999999999.99);
    std::mt19937_64 rng(kSeed + 3);
    std::size_t carries = 0;
    const std::size_t n = RandomCount() / 4;
    for (std::size_t i = 0; i < n; ++i) {
        const double v =
            std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 80));
        char wide[64];
        std::snprintf(wide, sizeof wide, "%.31e", v);
        const char *e = std::strchr(wide, 'e');
        if (e[-2] == '9' && e[-1] >= '5') {
            ++carries;
            c.Check(v);
        }
    }
    EXPECT_GT(carries, n / 50);
}

TEST(AppendE30, RandomBitPatterns) {
    E30Checker c("random bits");
    std::mt19937_64 rng(kSeed);
    const std::size_t n = RandomCount();
    for (std::size_t i = 0; i < n; ++i) {
        c.CheckBits(rng());
    }
    EXPECT_EQ(c.checked(), n);
    EXPECT_LE(c.longest(), nf::kE30MaxChars);
}

// Uniform bit patterns rarely land where the trace's values live; these draw
// the exponent from around [2^-80, 2^80] so the range limits of the integer
// path are crossed often.
TEST(AppendE30, RandomModerateMagnitudes) {
    E30Checker c("moderate");
    std::mt19937_64 rng(kSeed + 4);
    const std::size_t n = RandomCount();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t biased = 1023 - 80 + rng() % 161;
        c.CheckBits((rng() & 0x800fffffffffffffu) | (biased << 52));
    }
}

TEST(AppendE30, RealisticTraceValues) {
    E30Checker c("realistic");
    std::mt19937_64 rng(kSeed + 5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 200000; ++i) {
        // Coordinates in 1e-7 degrees, accuracies in cm, speeds, angles.
        const auto lon = static_cast<std::int64_t>(rng() % 3600000001u) - 1800000000;
        const auto lat = static_cast<std::int64_t>(rng() % 1800000001u) - 900000000;
        c.Check(static_cast<double>(lon) / 1e7);
        c.Check(static_cast<double>(lat) / 1e7);
        c.Check(static_cast<double>(rng() % 1000000) / 100.0);
        c.Check(unit(rng) * 360.0);
        c.Check(unit(rng) * 70.0);
        c.Check(unit(rng) * 9000.0 - 500.0);
    }
}

// ---------------------------------------------------------------------------
// Integers and hex

template <typename T>
void ExpectIntLikePrintf(T v) {
    char expect[32];
    if constexpr (std::is_signed_v<T>) {
        std::snprintf(expect, sizeof expect, "%d", v);
    } else {
        std::snprintf(expect, sizeof expect, "%u", v);
    }
    char got[16];
    std::memset(got, '#', sizeof got);
    char *end;
    if constexpr (std::is_signed_v<T>) {
        end = nf::AppendI32(got, v);
        ASSERT_LE(static_cast<std::size_t>(end - got), nf::kI32MaxChars);
    } else {
        end = nf::AppendU32(got, v);
        ASSERT_LE(static_cast<std::size_t>(end - got), nf::kU32MaxChars);
    }
    ASSERT_EQ(std::string(got, end), expect) << "value " << v;
    ASSERT_EQ(*end, '#');
}

TEST(AppendInt, MatchesPrintfAtExtremesAndRandom) {
    const std::int32_t signed_cases[] = {
        0,          1,           -1,         9,           10,
        -10,        99,          100,        999999999,   1000000000,
        -999999999, -1000000000, 2147483647, -2147483647, std::numeric_limits<std::int32_t>::min()};
    for (std::int32_t v : signed_cases) {
        ExpectIntLikePrintf(v);
    }
    const std::uint32_t unsigned_cases[] = {
        0u, 1u, 9u, 10u, 99u, 100u, 999999999u, 1000000000u, 2147483647u, 2147483648u, 4294967295u};
    for (std::uint32_t v : unsigned_cases) {
        ExpectIntLikePrintf(v);
    }
    std::mt19937_64 rng(kSeed + 6);
    for (int i = 0; i < 200000; ++i) {
        const auto bits = static_cast<std::uint32_t>(rng());
        const int shift = static_cast<int>(rng() % 32);  // every digit count
        ExpectIntLikePrintf(static_cast<std::int32_t>(bits) >> shift);
        ExpectIntLikePrintf(bits >> shift);
    }
}

TEST(AppendHexBytes, LowerCaseInMemoryOrder) {
    const unsigned char bytes[] = {0xe8, 0x03, 0x00, 0x00, 0x0a, 0x0b, 0xff, 0x7f};
    char out[2 * sizeof bytes + 1];
    std::memset(out, '#', sizeof out);
    char *end = nf::AppendHexBytes(out, bytes, sizeof bytes);
    EXPECT_EQ(std::string(out, end), "e80300000a0bff7f");
    EXPECT_EQ(*end, '#');

    EXPECT_EQ(nf::AppendHexBytes(out, bytes, 0), out);

    unsigned char all[256];
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<unsigned char>(i);
    }
    char hex[512];
    nf::AppendHexBytes(hex, all, sizeof all);
    for (int i = 0; i < 256; ++i) {
        char expect[3];
        std::snprintf(expect, sizeof expect, "%02x", i);
        ASSERT_EQ(std::string(hex + 2 * i, 2), expect) << "byte " << i;
    }
}

}  // namespace
