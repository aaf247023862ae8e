// Packets whose array field varies in length, with no interpreter in sight.
//
// Such a packet is the fields before the array, the array's elements one
// after the other, and the fields after it.  Its element count is the value
// of a field before the array, or, for "rest", as many elements as fill the
// packet between the fields before the array and those after it (which
// then end the packet: a footer or a CRC).  Bits are counted from the
// packet's first bit, as in frames; the fields after the array lie
// count * element bits further on than they would after an empty array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frames/frame_field.hpp"

namespace bitloom::frames {

struct VariableArray {
    std::uint64_t before_bits = 0;      // the fields before the array
    std::uint64_t after_bits = 0;       // the fields after it
    std::uint32_t element_bits = 0;     // one element; never 0
    const FrameField* count_field = nullptr;  // an unsigned field before the array; null: "rest"
};

enum class PacketFault : std::uint8_t {
    none,
    shorter_than_fields,  // fewer bits than the fields around the array
    partial_element,      // "rest": the room left is not whole elements
    count_past_end,       // the count field's elements pass the packet's end
    count_unreadable,     // the count field does not decode (a BCD digit above 9)
};

struct CountOutcome {
    PacketFault fault = PacketFault::none;
    std::size_t packet = 0;   // the packet at fault
    std::uint64_t value = 0;  // count_past_end: the count; partial_element: the room in bits
};

// The element count of each packet (`counts`, one per packet).  Packet i is
// sizes[i] bytes at offsets[i] of `data`, wholly inside it.  False at the
// first packet that cannot hold its array, described by `outcome`.
bool count_elements(std::span<const std::uint8_t> data, std::span<const std::uint64_t> offsets,
                    std::span<const std::uint64_t> sizes, const VariableArray& array,
                    std::span<std::uint64_t> counts, CountOutcome& outcome) noexcept;

}  // namespace bitloom::frames
