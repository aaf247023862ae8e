// Loading a field of up to 64 bits at any bit position from the bytes that
// hold it: at most nine bytes, taken as one big-endian word and the byte
// after it.  Shared by the single-field reader and the column loops, which
// inline it.
#pragma once

#include <cstdint>

#include "core/bits.hpp"

namespace bitloom::frames {

// The field of `bits` bits (1..64) that starts `shift` bits (0..7) into a
// window whose first eight bytes are `word` and whose ninth is `ninth`.
inline std::uint64_t extract_field(std::uint64_t word, std::uint8_t ninth, unsigned shift,
                                   std::uint32_t bits) noexcept {
    std::uint64_t top = word << shift;
    // shift + bits > 64 only when shift > 0, so the shift below is 1..7.
    if (shift + bits > 64) top |= ninth >> (8 - shift);
    return top >> (64 - bits);
}

}  // namespace bitloom::frames
