#include "frames/variable_arrays.hpp"

#include "core/codec_result.hpp"

namespace bitloom::frames {

bool count_elements(std::span<const std::uint8_t> data, std::span<const std::uint64_t> offsets,
                    std::span<const std::uint64_t> sizes, const VariableArray& array,
                    std::span<std::uint64_t> counts, CountOutcome& outcome) noexcept {
    const std::uint64_t around = array.before_bits + array.after_bits;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::uint64_t packet_bits = sizes[i] * 8;
        auto fault = [&](PacketFault kind, std::uint64_t value) {
            outcome = {kind, i, value};
            return false;
        };
        if (packet_bits < around) return fault(PacketFault::shorter_than_fields, 0);
        // Bits the array may take; a count is checked against it by
        // division, so that no count, however large, overflows.
        const std::uint64_t room = packet_bits - around;
        if (!array.count_field) {
            if (room % array.element_bits != 0) return fault(PacketFault::partial_element, room);
            counts[i] = room / array.element_bits;
            continue;
        }
        const std::span<const std::uint8_t> packet = data.subspan(static_cast<std::size_t>(offsets[i]),
                                                                  static_cast<std::size_t>(sizes[i]));
        std::uint64_t count = 0;
        CodecError error;
        if (!decode_number(*array.count_field, packet, 0, count, error)) return fault(PacketFault::count_unreadable, 0);
        if (count > room / array.element_bits) return fault(PacketFault::count_past_end, count);
        counts[i] = count;
    }
    return true;
}

}  // namespace bitloom::frames
