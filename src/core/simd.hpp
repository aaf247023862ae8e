// Wide loads and stores for the text codecs.  SSE2 is part of every x86-64
// processor, so its paths need no run-time detection; BITLOOM_PORTABLE builds
// test the plain loops instead, which give the same results.
//
// AVX2 (and the byte shuffle of SSSE3 that comes with it) is compiled with a
// target attribute, for GCC and Clang, and taken where the processor has it:
// processor_has_avx2() asks once per process.
#pragma once

#include <cstddef>
#include <cstdint>

#if !defined(BITLOOM_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define BITLOOM_SSE2 1
#else
#define BITLOOM_SSE2 0
#endif

#if BITLOOM_SSE2 && (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
#include <immintrin.h>
#define BITLOOM_AVX2 1
#else
#define BITLOOM_AVX2 0
#endif

namespace bitloom {

#if BITLOOM_AVX2
// Also false when the operating system does not save the AVX registers.  A
// function-local static is initialised once, safely even when two threads
// arrive together.
inline bool processor_has_avx2() noexcept {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
#endif

#if BITLOOM_SSE2
inline __m128i load16(const void* bytes) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(bytes));
}

inline void store16(void* out, __m128i block) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(out), block);
}

// The four 32-bit lanes of `units` with their bytes reversed: the bytes of
// every 16-bit half swapped, then the halves.  (Compilers turn the plain
// shifts into one scalar bswap per unit, which SSE2 has no instruction for.)
inline __m128i byte_swap_lanes32(__m128i units) noexcept {
    units = _mm_or_si128(_mm_slli_epi16(units, 8), _mm_srli_epi16(units, 8));
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(units, 0xB1), 0xB1);
}

// The two bytes of every 16-bit lane swapped.
inline __m128i byte_swap_lanes16(__m128i units) noexcept {
    return _mm_or_si128(_mm_slli_epi16(units, 8), _mm_srli_epi16(units, 8));
}

// Sixteen bytes stored as sixteen units of `Unit`, each byte its own value.
template <class Unit>
inline void store_bytes_widened(Unit* out, __m128i bytes) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        store16(out, bytes);
    } else {
        const __m128i zero = _mm_setzero_si128();
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        if constexpr (sizeof(Unit) == 2) {
            store16(out, low);
            store16(out + 8, high);
        } else {
            store16(out, _mm_unpacklo_epi16(low, zero));
            store16(out + 4, _mm_unpackhi_epi16(low, zero));
            store16(out + 8, _mm_unpacklo_epi16(high, zero));
            store16(out + 12, _mm_unpackhi_epi16(high, zero));
        }
    }
}

// Eight 16-bit units stored as units of `Unit` (of two or four bytes).
template <class Unit>
inline void store_units16_widened(Unit* out, __m128i units) noexcept {
    if constexpr (sizeof(Unit) == 2) {
        store16(out, units);
    } else {
        const __m128i zero = _mm_setzero_si128();
        store16(out, _mm_unpacklo_epi16(units, zero));
        store16(out + 4, _mm_unpackhi_epi16(units, zero));
    }
}

// Lanes of 16 bits that hold a surrogate (0xD800..0xDFFF), as a byte mask.
inline int surrogate_lanes16(__m128i units) noexcept {
    const __m128i marked = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xF800)));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(marked, _mm_set1_epi16(static_cast<short>(0xD800))));
}
#endif

}  // namespace bitloom
