// Field windows of the packet parser: which bytes a field is read from, the
// errors for a window outside the packet, and the field value in either
// byte order, narrowed or bit-reversed (widths past 64 included), against a
// bit-by-bit reading written here from the rules.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "recipe/field_window.hpp"

using namespace bitloom;

namespace {

struct WindowCase {
    std::size_t packet_length;
    std::uint64_t start;
    std::uint32_t bits;
    std::size_t first_byte;  // when it fits
    std::size_t byte_count;
    const char* error;       // or null
};

constexpr WindowCase kWindows[] = {
    {4, 0, 0, 0, 0, nullptr},
    {4, 32, 0, 4, 0, nullptr},  // empty window at the very end
    {4, 24, 8, 3, 1, nullptr},  // ends exactly at the end
    {4, 28, 4, 3, 1, nullptr},  // the bit offset in the byte is not used
    {4, 24, 16, 0, 0, "range end index 5 out of range for slice of length 4"},
    {4, 48, 8, 0, 0, "range start index 6 out of range for slice of length 4"},
    {4, 40, 0, 0, 0, "range start index 5 out of range for slice of length 4"},
    {0, 0, 4294967295u, 0, 0, "range end index 536870912 out of range for slice of length 0"},
    {4, UINT64_MAX, 1, 0, 0,
     "range start index 2305843009213693951 out of range for slice of length 4"},
};

// Bit i (0 = least significant) of the big-endian number that the first
// min(n, 8) bytes of the buffer form.
std::uint64_t reference_value(std::vector<std::uint8_t> window, ByteOrder order,
                              std::uint32_t bits, bool reverse) {
    if (order == ByteOrder::little) std::reverse(window.begin(), window.end());
    std::uint64_t value = 0;
    for (std::size_t j = 0; j < window.size() && j < 8; ++j) value = (value << 8) | window[j];
    if (!reverse) return bits >= 64 ? value : value & ((std::uint64_t{1} << bits) - 1);
    std::uint64_t reversed = 0;
    for (std::uint32_t i = 0; i < bits; ++i) {
        if ((value >> (i % 64)) & 1u) reversed |= std::uint64_t{1} << ((bits - 1 - i) % 64);
    }
    return reversed;
}

}  // namespace

int main() {
    for (const WindowCase& c : kWindows) {
        std::vector<std::uint8_t> packet(c.packet_length, 0xAB);
        auto window = field_window(packet, c.start, c.bits);
        // The one passes' test takes exactly the windows that field_window
        // gives, and gives the same bytes.
        std::span<const std::uint8_t> inside;
        CHECK(window_inside(packet, c.start, c.bits, inside) == (c.error == nullptr));
        if (c.error) {
            CHECK(!window.ok() && window.error().message == c.error);
        } else {
            CHECK(inside.data() == window.value().data() && inside.size() == window.value().size());
            CHECK(window.ok() && window.value().size() == c.byte_count &&
                  (c.byte_count == 0 || window.value().data() == packet.data() + c.first_byte));
        }
    }

    const std::vector<std::uint8_t> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xF0};
    for (std::uint32_t bits = 0; bits <= 80; ++bits) {
        const std::size_t count = (bits + 7) / 8;
        std::span<const std::uint8_t> window(bytes.data(), count);
        for (ByteOrder order : {ByteOrder::big, ByteOrder::little}) {
            for (bool reverse : {false, true}) {
                const std::vector<std::uint8_t> copy(window.begin(), window.end());
                CHECK(field_value(window, order, bits, reverse) ==
                      reference_value(copy, order, bits, reverse));
            }
            std::vector<std::uint8_t> storage;
            auto buffer = field_buffer(window, order, storage);
            CHECK(buffer.size() == count);
            if (count > 0) CHECK(buffer[0] == (order == ByteOrder::big ? bytes[0] : bytes[count - 1]));
        }
    }
    return failures == 0 ? 0 : 1;
}
