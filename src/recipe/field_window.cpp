#include "recipe/field_window.hpp"

#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

Result<std::span<const std::uint8_t>> field_window(std::span<const std::uint8_t> packet,
                                                   std::uint64_t start, std::uint32_t bits) {
    std::span<const std::uint8_t> window;
    if (window_inside(packet, start, bits, window)) return window;
    const std::uint64_t first_byte = start / 8;
    const std::uint64_t length = packet.size();
    if (first_byte > length) {
        return make_error(ErrorKind::value_error,
                          "range start index {} out of range for slice of length {}",
                          {first_byte, length});
    }
    return make_error(ErrorKind::value_error, "range end index {} out of range for slice of length {}",
                      {first_byte + (std::uint64_t{bits} + 7) / 8, length});
}

std::uint64_t field_value(std::span<const std::uint8_t> window, ByteOrder order,
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

std::span<const std::uint8_t> field_buffer(std::span<const std::uint8_t> window, ByteOrder order,
                                           std::vector<std::uint8_t>& storage) {
    if (order == ByteOrder::big) return window;
    storage.assign(window.rbegin(), window.rend());
    return storage;
}

}  // namespace bitloom
