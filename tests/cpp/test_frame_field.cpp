// The field routines of compiled recipes against bit-by-bit references:
// read_bits, place_word and PacketWriter::place_bytes at every bit position
// and width, up to the last byte of the data (so the bounded paths run too),
// the packing transformations undone by pattern_of, and the overlap check.
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "frames/frame_field.hpp"
#include "frames/frame_layout.hpp"
#include "recipe/placement.hpp"

using namespace bitloom;
using namespace bitloom::frames;

namespace {

bool bit_of(const std::vector<std::uint8_t>& data, std::uint64_t position) {
    return (data[position / 8] >> (7 - position % 8)) & 1u;
}

void set_bit(std::vector<std::uint8_t>& data, std::uint64_t position, bool value) {
    const auto mask = static_cast<std::uint8_t>(0x80u >> (position % 8));
    data[position / 8] = static_cast<std::uint8_t>(value ? data[position / 8] | mask
                                                         : data[position / 8] & ~mask);
}

std::uint64_t read_slowly(const std::vector<std::uint8_t>& data, std::uint64_t start,
                          std::uint32_t bits) {
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < bits; ++i) value = (value << 1) | bit_of(data, start + i);
    return value;
}

void test_reads_and_writes(std::mt19937_64& random) {
    for (std::size_t size = 1; size <= 20; ++size) {
        std::vector<std::uint8_t> data(size);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        for (std::uint64_t start = 0; start < size * 8; ++start) {
            for (std::uint32_t bits = 0; bits <= 64 && start + bits <= size * 8; ++bits) {
                CHECK(read_bits(data, start, bits) == read_slowly(data, start, bits));
                const std::uint64_t value = random();
                std::vector<std::uint8_t> written = data;
                place_word(written, value, start, bits);
                std::vector<std::uint8_t> expected = data;
                for (std::uint32_t i = 0; i < bits; ++i) {
                    set_bit(expected, start + i, (value >> (bits - 1 - i)) & 1u);
                }
                CHECK(written == expected);
            }
        }
    }
}

void test_byte_fields(std::mt19937_64& random) {
    // place_bytes places field bytes as packing a recipe does: the last
    // `bits` bits, or all of shorter bytes from the field's first bit.
    for (std::size_t length = 0; length <= 10; ++length) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        for (std::uint32_t bits = 0; bits <= 80; bits += 3) {
            for (std::uint64_t start = 0; start < 16; ++start) {
                std::vector<std::uint8_t> frame(32, 0);
                PacketWriter writer(frame);
                writer.place_bytes(bytes, start, bits);
                writer.finish();
                std::vector<std::uint8_t> expected(32, 0);
                const std::uint64_t available = length * 8;
                const std::uint64_t skipped = available >= bits ? available - bits : 0;
                for (std::uint64_t i = 0; i < bits && skipped + i < available; ++i) {
                    set_bit(expected, start + i, bit_of(bytes, skipped + i));
                }
                CHECK(frame == expected);
            }
        }
    }
}

void test_transformations_undo(std::mt19937_64& random) {
    for (std::uint32_t bits = 1; bits <= 64; ++bits) {
        for (ByteOrder order : {ByteOrder::big, ByteOrder::little}) {
            if (order == ByteOrder::little && bits > 8 && bits % 8 != 0) continue;
            for (bool reverse : {false, true}) {
                FrameField field;
                field.bits = bits;
                field.order = order;
                field.reverse = reverse;
                const std::uint64_t pattern = random() & (bits == 64 ? ~0ull : (1ull << bits) - 1);
                CHECK(pattern_of(field, placed_bits(field, pattern)) == pattern);
            }
        }
    }
}

FrameField at(std::uint64_t start, std::uint32_t bits) {
    FrameField field;
    field.start = start;
    field.bits = bits;
    return field;
}

void test_overlaps() {
    CHECK(!find_overlap(std::vector{at(0, 8), at(8, 8), at(16, 0), at(16, 1)}));
    CHECK(!find_overlap(std::vector{at(16, 8), at(0, 8), at(8, 8)}));
    CHECK(!find_overlap(std::vector{at(0, 8), at(3, 0)}));  // no bits, no overlap
    const auto inside = find_overlap(std::vector{at(0, 32), at(40, 8), at(8, 4)});
    CHECK(inside && inside->earlier == 0 && inside->later == 2);
    // Against the furthest end so far, not only the neighbour.
    const auto behind = find_overlap(std::vector{at(0, 64), at(8, 4), at(20, 4)});
    CHECK(behind && behind->earlier == 0 && behind->later == 1);
}

}  // namespace

int main() {
    std::mt19937_64 random(20240517);
    test_reads_and_writes(random);
    test_byte_fields(random);
    test_transformations_undo(random);
    test_overlaps();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
