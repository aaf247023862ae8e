// A frame being packed holds its numeric fields in native 64-bit words: word
// k holds the frame's bits [64k, 64k + 64), the first bit most significant.
// Fields never overlap and start from zeros, so OR-ing a field's bits into
// its word (or two) places it.  Every store and load of a word is at the
// same aligned address, so packing field after field runs at the speed of
// the OR; placing each field straight into bytes would read the bytes back
// through an earlier store of another alignment, which the processor cannot
// forward.  Text and raw bytes are written into a byte image beside the
// words, and merge_words joins the two at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bitloom::frames {

// Words for a frame of `size` bytes.
constexpr std::size_t words_for(std::size_t size) noexcept { return size / 8 + 1; }

// ORs the field of `bits` bits (0..64) at bit `start` into `words`.  `value`
// has no bits set above its low `bits`; the field lies within the words.
inline void or_field(std::span<std::uint64_t> words, std::uint64_t value, std::uint64_t start,
                     std::uint32_t bits) noexcept {
    if (bits == 0) return;
    const std::size_t k = static_cast<std::size_t>(start / 64);
    const unsigned offset = static_cast<unsigned>(start % 64);
    if (offset + bits <= 64) {
        words[k] |= value << (64 - offset - bits);
        return;
    }
    const unsigned spill = offset + bits - 64;  // 1..63
    words[k] |= value >> spill;
    words[k + 1] |= value << (64 - spill);
}

// ORs the words, in big-endian byte order, into the bytes.size() bytes of
// `bytes` (words.size() * 8 >= bytes.size()); with `overwrite`, stores them
// instead, for a frame without byte fields.
void merge_words(std::span<const std::uint64_t> words, std::span<std::uint8_t> bytes,
                 bool overwrite) noexcept;

}  // namespace bitloom::frames
