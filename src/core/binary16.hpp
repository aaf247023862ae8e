// binary16 conversions, shared by the f16 encoder and decoder.  Each
// direction has two paths that give identical results for every input: the
// x86 F16C instructions, used when the processor has them, and a software
// path for every other processor.  Both are exposed here so that a test can
// compare them on every input; they are defined inline so that such a test
// runs through 2^32 inputs in seconds.
//
// Patterns are the IEEE 754 interchange bits: binary16 sign in bit 15,
// exponent in bits 14..10, fraction in bits 9..0; binary32 sign in bit 31,
// exponent in bits 30..23, fraction in bits 22..0.
#pragma once

#include <bit>
#include <cstdint>

// Which F16C path is compiled in.  GCC and Clang detect the instructions
// with CPUID and compile the conversions for them with a
// target attribute; MSVC detects them with __cpuid and _xgetbv and needs no
// attribute for the intrinsics.  Every other compiler or processor (ARM,
// clang-cl) and BITLOOM_PORTABLE builds take the software path only.
#if !defined(BITLOOM_PORTABLE) && (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
#include <cpuid.h>
#include <immintrin.h>
#define BITLOOM_F16C_PATH 1
#define BITLOOM_F16C_GNU 1
#define BITLOOM_F16C_TARGET __attribute__((target("f16c")))
#elif !defined(BITLOOM_PORTABLE) && (defined(_M_X64) || defined(_M_IX86)) && \
    defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <immintrin.h>
#define BITLOOM_F16C_PATH 1
#define BITLOOM_F16C_GNU 0
#define BITLOOM_F16C_TARGET
#else
#define BITLOOM_F16C_PATH 0
#endif

namespace bitloom {

// binary32 to binary16, round to nearest, ties to even.  A NaN keeps its sign
// and the top 10 bits of its fraction and always comes out quiet.

inline std::uint16_t binary16_from_float_software(float value) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    const std::uint32_t exponent = (bits >> 23) & 0xFFu;
    const std::uint32_t fraction = bits & 0x7FFFFFu;

    if (exponent == 0xFF) {
        // Infinity stays infinity.  A NaN keeps the top 10 fraction bits and
        // gets the quiet bit, which also keeps a NaN whose payload lies only
        // in the dropped low bits from turning into an infinity.
        std::uint32_t half = 0x7C00u | (fraction >> 13);
        if (fraction != 0) half |= 0x0200u;
        return static_cast<std::uint16_t>(sign | half);
    }
    if (exponent > 142) {
        // 2^16 and above: beyond 65504 even before rounding.
        return static_cast<std::uint16_t>(sign | 0x7C00u);
    }
    if (exponent >= 113) {
        // Normal binary16.  Bit 12 of the fraction is the first bit dropped;
        // round up when it is set and the result is not an exact tie onto an
        // even value (bits 0..11 say "above half", bit 13 says "odd").  The
        // carry may run into the exponent: 65520.0 becomes infinity.
        std::uint32_t half = ((exponent - 112) << 10) | (fraction >> 13);
        if ((fraction & 0x1000u) != 0 && (fraction & 0x2FFFu) != 0) ++half;
        return static_cast<std::uint16_t>(sign | half);
    }
    if (exponent >= 102) {
        // Subnormal binary16 (down to half of the smallest subnormal): shift
        // the significand, hidden bit included, so that its units are 2^-24.
        // Bit p is the first bit dropped.  A carry out of the fraction gives
        // the smallest normal number 0x0400, which is the correct result.
        const std::uint32_t significand = fraction | 0x800000u;
        const std::uint32_t p = 125 - exponent;  // 13 .. 23
        std::uint32_t half = significand >> (p + 1);
        const bool round_bit = ((significand >> p) & 1u) != 0;
        const bool sticky = (significand & ((1u << p) - 1)) != 0;
        const bool odd = ((significand >> (p + 1)) & 1u) != 0;
        if (round_bit && (sticky || odd)) ++half;
        return static_cast<std::uint16_t>(sign | half);
    }
    // Below 2^-25, at most half the smallest subnormal: signed zero.
    return sign;
}

// binary16 to binary32, exact.  A NaN keeps its sign and payload and comes
// out quiet.
inline float binary16_to_float_software(std::uint16_t half) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t exponent = half & 0x7C00u;
    const std::uint32_t fraction = half & 0x03FFu;

    std::uint32_t bits;
    if ((half & 0x7FFFu) == 0) {
        bits = sign;
    } else if (exponent == 0x7C00u) {
        bits = fraction == 0 ? sign | 0x7F800000u : sign | 0x7FC00000u | (fraction << 13);
    } else if (exponent != 0) {
        // Rebias 15 -> 127: the exponent field moves up by 112.
        bits = sign | (((exponent >> 10) + 112) << 23) | (fraction << 13);
    } else {
        // Subnormal binary16, f * 2^-24, is a normal binary32.  With its
        // leading 1 at bit 15 - k of the 16-bit field, the value is
        // 1.x * 2^(-9 - k): exponent field 118 - k (0x3B000000 holds 118).
        // Shifting by k + 8 moves that leading 1 to bit 23, where the mask
        // drops it as the hidden bit.
        const int leading_zeros = std::countl_zero(static_cast<std::uint16_t>(fraction));
        const auto k = static_cast<std::uint32_t>(leading_zeros);  // 6 .. 15
        bits = ((sign | 0x3B000000u) - (k << 23)) | ((fraction << (k + 8)) & 0x7FFFFFu);
    }
    return std::bit_cast<float>(bits);
}

#if BITLOOM_F16C_PATH

namespace binary16_detail {

#if BITLOOM_F16C_GNU
// Read from CPUID directly: not every compiler knows "f16c" as a feature name
// of __builtin_cpu_supports (clang 14 does not).
inline bool detect_f16c() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    constexpr unsigned kNeeded = bit_OSXSAVE | bit_AVX | bit_F16C;
    if ((ecx & kNeeded) != kNeeded) return false;
    // The F16C instructions are VEX-encoded, so the operating system must
    // also save the SSE and AVX register state (XCR0 bits 1 and 2).
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 0x6u) == 0x6u;
}
#else
inline bool detect_f16c() noexcept {
    int registers[4] = {};
    __cpuid(registers, 1);
    const auto features = static_cast<unsigned>(registers[2]);  // ECX
    const bool osxsave = (features >> 27) & 1u;
    const bool avx = (features >> 28) & 1u;
    const bool f16c = (features >> 29) & 1u;
    if (!(osxsave && avx && f16c)) return false;
    // As above: the operating system must save the SSE and AVX state
    // (XCR0 bits 1 and 2) for VEX-encoded instructions to run.
    return (_xgetbv(0) & 0x6u) == 0x6u;
}
#endif

}  // namespace binary16_detail

inline bool processor_has_f16c() noexcept {
    // A function-local static is initialised once, safely even when two
    // threads arrive together.
    static const bool available = binary16_detail::detect_f16c();
    return available;
}

inline BITLOOM_F16C_TARGET std::uint16_t binary16_from_float_f16c(float value) noexcept {
    // The rounding mode comes from the immediate, not from MXCSR, so a
    // caller that changed the rounding mode cannot change the result.
    return static_cast<std::uint16_t>(_cvtss_sh(value, _MM_FROUND_TO_NEAREST_INT));
}

inline BITLOOM_F16C_TARGET float binary16_to_float_f16c(std::uint16_t half) noexcept {
    return _cvtsh_ss(half);
}

#else

inline bool processor_has_f16c() noexcept { return false; }

// Never chosen on these processors; defined so that callers link.
inline std::uint16_t binary16_from_float_f16c(float value) noexcept {
    return binary16_from_float_software(value);
}
inline float binary16_to_float_f16c(std::uint16_t half) noexcept {
    return binary16_to_float_software(half);
}

#endif

}  // namespace bitloom
