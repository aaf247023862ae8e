// Where the packet parser finds a field.  A field is read from the whole
// bytes that hold it: its window starts at byte floor(start / 8) and spans
// ceil(bits / 8) bytes, and the field value is the low `bits` bits of that
// window read as one number in the item's byte order.  The bit offset within
// the first byte is deliberately not used, which is why parsing only mirrors
// packing for fields that end on a byte boundary.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/bits.hpp"
#include "core/codec_result.hpp"
#include "recipe/encoding_names.hpp"

namespace bitloom {

// The window of field_window when it lies inside the packet, in `out`; false,
// with nothing built, when it does not.
inline bool window_inside(std::span<const std::uint8_t> packet, std::uint64_t start,
                          std::uint32_t bits, std::span<const std::uint8_t>& out) noexcept {
    const std::uint64_t first_byte = start / 8;
    const std::uint64_t byte_count = (std::uint64_t{bits} + 7) / 8;
    if (first_byte > packet.size() || byte_count > packet.size() - first_byte) return false;
    out = packet.subspan(static_cast<std::size_t>(first_byte), static_cast<std::size_t>(byte_count));
    return true;
}

// The window of a field of `bits` bits starting at bit `start` of a packet of
// `packet_length` bytes, or the error for a window that does not lie inside
// the packet ("range start index {} ..." or "range end index {} ...").
// Nothing outside the packet is ever read.
Result<std::span<const std::uint8_t>> field_window(std::span<const std::uint8_t> packet,
                                                   std::uint64_t start, std::uint32_t bits);

// The field value: the first min(window size, 8) bytes of the field buffer
// (the window in byte order) read big-endian, then narrowed to `bits` bits,
// or bit-reversed when `reverse` is set.  In line: the packet parser's one
// pass calls it for every item.
inline std::uint64_t field_value(std::span<const std::uint8_t> window, ByteOrder order,
                                 std::uint32_t bits, bool reverse) noexcept {
    const std::size_t count = window.size() < 8 ? window.size() : 8;
    std::uint64_t value = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t byte = order == ByteOrder::big ? window[j] : window[window.size() - 1 - j];
        value = (value << 8) | byte;
    }
    if (!reverse) return bits >= 64 ? value : value & low_mask(bits);
    if (bits <= 64) return reverse_low_bits(value, bits);
    // Wider fields have no bit W - 1 in a 64-bit value: bit i moves to bit
    // (W - 1 - i) mod 64, reading bit i mod 64.  Positions repeat every 64
    // steps, so one round covers them all.
    std::uint64_t reversed = 0;
    for (unsigned i = 0; i < 64; ++i) {
        if (bit_is_set(value, i)) reversed |= std::uint64_t{1} << ((bits - 1u - i) & 63u);
    }
    return reversed;
}

// The field buffer: the window itself for "big", or a reversed copy of it in
// `storage` for "little".
std::span<const std::uint8_t> field_buffer(std::span<const std::uint8_t> window, ByteOrder order,
                                           std::vector<std::uint8_t>& storage);

}  // namespace bitloom
