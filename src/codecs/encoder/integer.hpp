// Encoders of signed integers into fixed-width patterns: sign-magnitude,
// ones' complement and two's complement.  A width-N pattern occupies bits
// N-1 .. 0 of the returned word; bit N-1 is the sign bit.
#pragma once

#include <cstdint>

#include "core/codec_result.hpp"

namespace bitloom {

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

}  // namespace bitloom
