// Sign-magnitude, ones' complement and two's complement decoders.  They take
// the pattern as the encoders and the packet parser produce it (below 2^N)
// and never fail.  Widths without a meaningful field use the sign position
// (N - 1) mod 64; all arithmetic is on unsigned words, so nothing overflows.
#include "codecs/decoder/integer.hpp"

#include "core/bits.hpp"

namespace bitloom {

std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) noexcept {
    const unsigned sign_position = (bits - 1u) & 63u;
    // Bits above the sign bit are ignored; the magnitude lies below it and so
    // is below 2^63, which makes its negation safe.
    const auto m = as_signed(pattern & low_mask(sign_position));
    return bit_is_set(pattern, sign_position) ? -m : m;
}

std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) noexcept {
    if (bits == 0) return as_signed(pattern);
    if (bits >= 64) {
        // Negative zero (all ones) reads -1 + 1 = 0.
        return as_signed(pattern) + (bit_is_set(pattern, 63) ? 1 : 0);
    }
    if (bit_is_set(pattern, bits - 1)) return as_signed(pattern - low_mask(bits));
    return as_signed(pattern);
}

std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) noexcept {
    if (bits >= 64) return as_signed(pattern);
    if (bits == 0) return bit_is_set(pattern, 63) ? 0 : as_signed(pattern);
    if (bit_is_set(pattern, bits - 1)) {
        // Sign-extend the field; bits above it are ignored.
        return as_signed(pattern | ~low_mask(bits));
    }
    return as_signed(pattern);
}

}  // namespace bitloom
