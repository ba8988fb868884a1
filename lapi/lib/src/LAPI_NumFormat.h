// Number formatting for the message trace.
//
// Every function appends characters at `out` and returns the new end; none
// writes a terminating NUL, allocates, throws or looks at the locale. The
// caller provides room for the longest output (the k...MaxChars constants).
//
// AppendE30 produces exactly what glibc's snprintf(buf, n, "%.30e", v) writes
// in the "C" locale with the default rounding mode (round to nearest, ties to
// even): 31 significant digits, an exponent of at least two digits, and
// "inf", "-inf", "nan", "-nan" for the non-finite values (the sign of a NaN
// is its sign bit; the payload is not shown).
//
// Finite values in [2^-12, 2^64) -- coordinates, accuracies, speeds, angles,
// timestamps -- take a fixed-size integer path: the exact binary fraction is
// expanded 19 decimal digits at a time with one 64x64->128 multiplication,
// then rounded on the digits. Everything else (very large or small values,
// subnormals) goes through std::to_chars, whose scientific form with a
// precision matches printf's for finite values.
#pragma once

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lapi::numfmt {

// "-4.940656458412465441765687928682e-324": sign, 31 digits, point, "e-324".
inline constexpr std::size_t kE30MaxChars = 38;
// "-2147483648" and "4294967295".
inline constexpr std::size_t kI32MaxChars = 11;
inline constexpr std::size_t kU32MaxChars = 10;

namespace detail {

struct CharTable200 {
    char c[200];
};
struct CharTable512 {
    char c[512];
};

constexpr CharTable200 MakeDecimalPairs() {
    CharTable200 t{};
    for (std::size_t i = 0; i < 100; ++i) {
        t.c[2 * i] = static_cast<char>('0' + i / 10);
        t.c[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}

constexpr CharTable512 MakeHexPairs() {
    constexpr char kHex[] = "0123456789abcdef";
    CharTable512 t{};
    for (std::size_t i = 0; i < 256; ++i) {
        t.c[2 * i] = kHex[i >> 4];
        t.c[2 * i + 1] = kHex[i & 15];
    }
    return t;
}

// "00" "01" ... "99"
inline constexpr CharTable200 kDecimalPairs = MakeDecimalPairs();
// "00" "01" ... "ff"
inline constexpr CharTable512 kHexPairs = MakeHexPairs();

inline void Put2(char *p, std::uint32_t v) noexcept {  // v < 100
    std::memcpy(p, &kDecimalPairs.c[2 * std::size_t{v}], 2);
}

// Exactly 8 digits, leading zeros kept. v < 10^8.
inline void Put8(char *p, std::uint32_t v) noexcept {
    const std::uint32_t a = v / 10000;
    const std::uint32_t b = v % 10000;
    Put2(p, a / 100);
    Put2(p + 2, a % 100);
    Put2(p + 4, b / 100);
    Put2(p + 6, b % 100);
}

// Exactly 19 digits, leading zeros kept. v < 10^19.
inline void Put19(char *p, std::uint64_t v) noexcept {
    const auto top = static_cast<std::uint32_t>(v / 10000000000000000u);  // < 1000
    const std::uint64_t rest = v % 10000000000000000u;
    p[0] = static_cast<char>('0' + top / 100);
    Put2(p + 1, top % 100);
    Put8(p + 3, static_cast<std::uint32_t>(rest / 100000000u));
    Put8(p + 11, static_cast<std::uint32_t>(rest % 100000000u));
}

// Decimal digits of v without leading zeros (v > 0); returns the count.
inline int PutU64(char *p, std::uint64_t v) noexcept {
    int n = 1;
    for (std::uint64_t t = v; t >= 10; t /= 10) {
        ++n;
    }
    char *q = p + n;
    while (v >= 100) {
        q -= 2;
        Put2(q, static_cast<std::uint32_t>(v % 100));
        v /= 100;
    }
    if (v >= 10) {
        Put2(q - 2, static_cast<std::uint32_t>(v));
    } else {
        q[-1] = static_cast<char>('0' + v);
    }
    return n;
}

struct U128 {
    std::uint64_t hi;
    std::uint64_t lo;
};

inline U128 Mul64(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 Wide;
    const Wide p = static_cast<Wide>(a) * b;
    return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
#else
    const std::uint64_t a0 = a & 0xffffffffu;
    const std::uint64_t a1 = a >> 32;
    const std::uint64_t b0 = b & 0xffffffffu;
    const std::uint64_t b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0;
    const std::uint64_t p01 = a0 * b1;
    const std::uint64_t p10 = a1 * b0;
    const std::uint64_t p11 = a1 * b1;
    const std::uint64_t mid = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | (p00 & 0xffffffffu)};
#endif
}

// With frac = r / 2^k (r < 2^k, 1 <= k <= 64), returns the next 19 decimal
// digits of frac as an integer and leaves the rest of the fraction in r.
inline std::uint64_t Next19(std::uint64_t &r, unsigned k) noexcept {
    const U128 p = Mul64(r, 10000000000000000000u);
    if (k == 64) {
        r = p.lo;
        return p.hi;
    }
    r = p.lo & ((std::uint64_t{1} << k) - 1);
    return (p.hi << (64 - k)) | (p.lo >> k);
}

// v = m * 2^e with 2^52 <= m < 2^53 and -64 <= e <= 11, so 2^-12 <= v < 2^64.
// Writes the unsigned "%.30e" form.
inline char *AppendE30Normal(char *out, std::uint64_t m, int e) noexcept {
    // Decimal digits of v from the first significant one, at least 32 (31
    // kept plus the rounding digit); `sticky` tells whether anything non-zero
    // follows the digits in the buffer.
    char dig[64];
    int n = 0;      // digits written to dig
    int start = 0;  // index of the first significant digit
    int exp10 = 0;
    std::uint64_t r = 0;  // remaining binary fraction, r / 2^k
    if (e >= 0) {
        n = PutU64(dig, m << e);
        exp10 = n - 1;
    } else {
        const auto k = static_cast<unsigned>(-e);
        const std::uint64_t ip = k >= 53 ? 0 : m >> k;
        r = k >= 53 ? m : m & ((std::uint64_t{1} << k) - 1);
        if (ip != 0) {
            n = PutU64(dig, ip);
            exp10 = n - 1;
        } else {
            // v >= 2^-12, so a significant digit is among the first four.
            Put19(dig, Next19(r, k));
            n = 19;
            while (dig[start] == '0') {
                ++start;
            }
            exp10 = -(start + 1);
        }
        while (r != 0 && n - start < 32) {
            Put19(dig + n, Next19(r, k));
            n += 19;
        }
    }
    if (n - start < 32) {
        std::memset(dig + n, '0', static_cast<std::size_t>(start + 32 - n));
        n = start + 32;
    }

    char *s = dig + start;
    bool up = false;
    if (s[31] > '5') {
        up = true;
    } else if (s[31] == '5') {
        // Exactly half way only if nothing non-zero follows: then to even.
        up = r != 0 || (s[30] - '0') % 2 != 0;
        for (int i = start + 32; i < n && !up; ++i) {
            up = dig[i] != '0';
        }
    }
    if (up) {
        int i = 30;
        while (i >= 0 && s[i] == '9') {
            s[i] = '0';
            --i;
        }
        if (i >= 0) {
            ++s[i];
        } else {
            s[0] = '1';
            ++exp10;
        }
    }

    out[0] = s[0];
    out[1] = '.';
    std::memcpy(out + 2, s + 1, 30);
    out[32] = 'e';
    out[33] = exp10 < 0 ? '-' : '+';
    Put2(out + 34, static_cast<std::uint32_t>(exp10 < 0 ? -exp10 : exp10));  // |exp10| <= 19
    return out + 36;
}

}  // namespace detail

// snprintf(.., "%.30e", v) without the NUL; needs kE30MaxChars of room.
inline char *AppendE30(char *out, double v) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const bool negative = (bits >> 63) != 0;
    const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);

    if (biased == 0x7ff) {
        if (negative) {
            *out++ = '-';
        }
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): no NUL is wanted here
        std::memcpy(out, fraction != 0 ? "nan" : "inf", 3);
        return out + 3;
    }
    if (biased == 0 && fraction == 0) {
        static constexpr char kZero[] = "0.000000000000000000000000000000e+00";
        if (negative) {
            *out++ = '-';
        }
        std::memcpy(out, kZero, sizeof kZero - 1);
        return out + (sizeof kZero - 1);
    }
    const int e = biased - 1075;
    if (biased != 0 && e >= -64 && e <= 11) {
        if (negative) {
            *out++ = '-';
        }
        return detail::AppendE30Normal(out, fraction | (std::uint64_t{1} << 52), e);
    }
    const std::to_chars_result res =
        std::to_chars(out, out + kE30MaxChars, v, std::chars_format::scientific, 30);
    return res.ec == std::errc{} ? res.ptr : out;
}

// "%d"; needs kI32MaxChars of room.
inline char *AppendI32(char *out, std::int32_t v) noexcept {
    return std::to_chars(out, out + kI32MaxChars, v).ptr;
}

// "%u"; needs kU32MaxChars of room.
inline char *AppendU32(char *out, std::uint32_t v) noexcept {
    return std::to_chars(out, out + kU32MaxChars, v).ptr;
}

// Two lower-case hex digits per byte, in memory order, nothing between them;
// needs 2 * n of room.
inline char *AppendHexBytes(char *out, const unsigned char *p, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(out + 2 * i, &detail::kHexPairs.c[2 * std::size_t{p[i]}], 2);
    }
    return out + 2 * n;
}

// The reverse of AppendHexBytes for one byte: the value of the two hex digits at p
// (either case), or -1 when either is not a hex digit.
constexpr int ParseHexByte(const char *p) noexcept {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    const int hi = digit(p[0]);
    const int lo = digit(p[1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace lapi::numfmt
