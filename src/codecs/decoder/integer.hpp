// Decoders of fixed-width sign-magnitude, ones' complement and two's
// complement patterns.  They never fail.  For widths without a meaningful
// field (0, and above 64) the sign-bit position is taken as (bits - 1)
// modulo 64, so no shift ever reaches 64 places.
#pragma once

#include <cstdint>

namespace bitloom {

std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) noexcept;
std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;

}  // namespace bitloom
