// Sign-magnitude, ones' complement and two's complement encoders.  The sign
// bit of a width-N field is bit N-1; for N = 0 the position (N - 1) mod 64 =
// 63 is used, which lets width 0 through without a shift by 64.
#include "codecs/encoder/integer.hpp"

#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

namespace {

// 2^((bits - 1) mod 64): the smallest magnitude that no longer fits.
constexpr std::uint64_t sign_bit_value(std::uint32_t bits) noexcept {
    return power_of_two((bits - 1u) & 63u);
}

}  // namespace

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) {
        return make_error(ErrorKind::value_error,
                          "bits must be between 2 and 64 for sign-magnitude encoding");
    }
    const std::uint64_t m = magnitude(value);
    const std::uint64_t sign_bit = sign_bit_value(bits);
    if (m >= sign_bit) {
        return make_error(ErrorKind::value_error, "Magnitude of {} is too large for {} bits",
                          {value, bits});
    }
    return value < 0 ? (m | sign_bit) : m;
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) {
        return make_error(ErrorKind::value_error,
                          "bits must be <= 64 for ones' complement encoding");
    }
    const std::uint64_t sign_bit = sign_bit_value(bits);
    if (value >= 0) {
        if (as_unsigned(value) > sign_bit - 1) {
            return make_error(ErrorKind::value_error, "Value {} is too large for {} bits",
                              {value, bits});
        }
        return as_unsigned(value);
    }
    const std::uint64_t m = magnitude(value);
    if (m >= sign_bit) {
        return make_error(ErrorKind::value_error,
                          "Value {} is too large (magnitude) for {} bits", {value, bits});
    }
    // (2^bits - 1) - m, which is ~m within the field; width 0 keeps nothing.
    return ~m & low_mask(bits);
}

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) {
        return make_error(ErrorKind::value_error,
                          "bits must be <= 64 for two's complement encoding");
    }
    if (bits == 64) return as_unsigned(value);
    const std::uint64_t half = sign_bit_value(bits);
    const std::int64_t min = as_signed(~half + 1);
    const std::int64_t max = as_signed(half - 1);
    if (value < min || value > max) {
        return make_error(ErrorKind::value_error,
                          "Value {} out of range for {} bits (range: {} to {})",
                          {value, bits, min, max});
    }
    return as_unsigned(value) & low_mask(bits);
}

}  // namespace bitloom
