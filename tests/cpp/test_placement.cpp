// Placing numeric fields as a word against placing their bytes and against a
// bit-by-bit placement written here from the rules (packet bit p is bit
// 7 - p mod 8 of byte p div 8; bits past the packet's end are dropped): for
// every width up to 64, every bit offset, fields that run past the packet's
// end and fields over nine bytes; and the packet writer, which holds numeric
// fields in a word, against placing field after field.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "recipe/placement.hpp"

using namespace bitloom;

namespace {

// A value with bits set and clear throughout, different for every width.
std::uint64_t pattern(std::uint32_t bits) {
    return 0x9E3779B97F4A7C15ull * (bits + 1) ^ 0xF0F0F0F00F0F0F0Full;
}

// The field bytes place_field is given for a numeric field: the low
// 8 * ceil(bits / 8) bits of the value, most significant byte first.
std::vector<std::uint8_t> field_bytes(std::uint64_t value, std::uint32_t bits) {
    std::vector<std::uint8_t> bytes((bits + 7) / 8);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        bytes[k] = static_cast<std::uint8_t>(value >> (8 * (bytes.size() - 1 - k)));
    }
    return bytes;
}

void place_bit_by_bit(std::vector<std::uint8_t>& packet, std::uint64_t value, std::uint64_t start,
                      std::uint32_t bits) {
    for (std::uint32_t i = 0; i < bits; ++i) {
        const std::uint64_t position = start + i;
        if (position >= 8 * packet.size()) break;
        const bool set = (value >> (bits - 1 - i)) & 1u;
        const auto mask = static_cast<std::uint8_t>(0x80u >> (position % 8));
        std::uint8_t& byte = packet[position / 8];
        byte = static_cast<std::uint8_t>(set ? byte | mask : byte & ~mask);
    }
}

void check_word_matches_bytes() {
    for (std::size_t length : {1u, 3u, 8u, 9u, 12u}) {
        for (std::uint32_t bits = 0; bits <= 64; ++bits) {
            for (std::uint64_t start = 0; start < 8 * length + 2; ++start) {
                for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0xA5}}) {
                    std::vector<std::uint8_t> by_word(length, fill);
                    std::vector<std::uint8_t> by_bytes(length, fill);
                    std::vector<std::uint8_t> by_bits(length, fill);
                    const std::uint64_t value = pattern(bits);
                    place_word(by_word, value, start, bits);
                    place_field(by_bytes, field_bytes(value, bits), start, bits);
                    place_bit_by_bit(by_bits, value, start, bits);
                    CHECK(by_word == by_bytes);
                    CHECK(by_word == by_bits);
                }
            }
        }
    }
}

// A small deterministic generator (splitmix64), so that a failure repeats.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
};

// PacketWriter against place_word and place_field called field by field, on
// sequences of numeric and byte fields that follow one another (with gaps,
// zero-bit fields and fields over two words), that jump back over earlier
// fields at some point, and that run past the packet's end.
void check_writer_matches_direct_placement() {
    Random random{12345};
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = 1 + random.below(40);
        const bool jumps_back = random.below(3) == 0;
        std::vector<std::uint8_t> written(length, 0);
        std::vector<std::uint8_t> expected(length, 0);
        PacketWriter writer(written);
        std::uint64_t cursor = random.below(3) == 0 ? random.below(70) : 0;
        const int fields = 1 + static_cast<int>(random.below(24));
        for (int i = 0; i < fields; ++i) {
            const bool text = random.below(5) == 0;
            const std::uint32_t bits = text ? static_cast<std::uint32_t>(random.below(100))
                                            : static_cast<std::uint32_t>(random.below(65));
            std::uint64_t start = cursor + (random.below(4) == 0 ? random.below(20) : 0);
            if (jumps_back && random.below(6) == 0) start = random.below(8 * length + 8);
            if (text) {
                std::vector<std::uint8_t> bytes(random.below(14));
                for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random.next());
                writer.place_bytes(bytes, start, bits);
                place_field(expected, bytes, start, bits);
            } else {
                const std::uint64_t value = random.next();
                writer.place_number(value, start, bits);
                place_word(expected, value, start, bits);
            }
            cursor = start + bits;
        }
        writer.finish();
        CHECK(written == expected);
    }
}

}  // namespace

int main() {
    check_word_matches_bytes();
    check_writer_matches_direct_placement();
    return failures == 0 ? 0 : 1;
}
