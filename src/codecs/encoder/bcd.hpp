// Packed and unpacked (zoned) binary-coded decimal encoders.  Digit position
// 0 is the least significant decimal digit and sits at bit 0 (unsigned) or
// just above the sign nibble (signed packed).
#pragma once

#include <cstdint>

#include "core/codec_result.hpp"

namespace bitloom {

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

// The decimal digits of `value` (below 10^8), digit i in byte i.
std::uint64_t decimal_digit_bytes(std::uint32_t value) noexcept;
// The decimal digits of `value` (below 10^16), digit i in nibble i.
std::uint64_t decimal_digit_nibbles(std::uint64_t value) noexcept;

}  // namespace bitloom
