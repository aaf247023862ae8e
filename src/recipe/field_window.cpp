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

std::span<const std::uint8_t> field_buffer(std::span<const std::uint8_t> window, ByteOrder order,
                                           std::vector<std::uint8_t>& storage) {
    if (order == ByteOrder::big) return window;
    storage.assign(window.rbegin(), window.rend());
    return storage;
}

}  // namespace bitloom
