// IEEE 754 decoders.
#pragma once

#include <cstdint>

#include "core/bits.hpp"

namespace bitloom {

// The low 16 bits of `pattern` as binary16, widened exactly to binary32.
float decode_ieee754_f16(std::uint64_t pattern) noexcept;

// binary128 to binary64: truncated fraction, flush to zero below the binary64
// normal range, infinity above it, one canonical NaN.
double decode_ieee754_f128(uint128 pattern) noexcept;

}  // namespace bitloom
