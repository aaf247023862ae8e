// SSE2 is part of every x86-64 processor, so its paths need no run-time
// detection; BITLOOM_PORTABLE builds test the plain loops instead.
#pragma once

#if !defined(BITLOOM_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define BITLOOM_SSE2 1
#else
#define BITLOOM_SSE2 0
#endif

namespace bitloom {

#if BITLOOM_SSE2
// The four 32-bit lanes of `units` with their bytes reversed: the bytes of
// every 16-bit half swapped, then the halves.  (Compilers turn the plain
// shifts into one scalar bswap per unit, which SSE2 has no instruction for.)
inline __m128i byte_swap_lanes32(__m128i units) noexcept {
    units = _mm_or_si128(_mm_slli_epi16(units, 8), _mm_srli_epi16(units, 8));
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(units, 0xB1), 0xB1);
}
#endif

}  // namespace bitloom
