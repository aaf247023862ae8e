// Field bytes and placement against bit-by-bit references written here from
// the placement rules: encode_integer_to_bytes, encode_binary_to_bytes,
// field_end, and place_field for several fields in a row on one packet (so
// that overlaps, fields reaching past the packet and starts near 2^64 are all
// exercised).  The packet is a heap block of exactly its size, so a write
// past its end is caught.
#include <algorithm>
#include <memory>
#include <vector>

#include "recipe/placement.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;
using ByteString = std::vector<std::uint8_t>;

namespace {

// Bit j of a byte string, most significant bit of byte 0 first.
bool bit_of(std::span<const std::uint8_t> bytes, std::uint64_t j) {
    return ((bytes[j / 8] >> (7 - j % 8)) & 1u) != 0;
}

void set_bit(std::span<std::uint8_t> bytes, std::uint64_t j, bool on) {
    const auto mask = static_cast<std::uint8_t>(0x80u >> (j % 8));
    bytes[j / 8] = static_cast<std::uint8_t>(on ? bytes[j / 8] | mask : bytes[j / 8] & ~mask);
}

ByteString reference_integer_bytes(std::uint64_t value, std::uint32_t bits, bool reverse) {
    if (reverse) {
        std::uint64_t reversed = 0;
        for (std::uint32_t i = 0; i < bits; ++i) {
            if ((value >> i) & 1u) reversed |= std::uint64_t{1} << (bits - 1 - i);
        }
        value = reversed;
    }
    const std::size_t n = (bits + 7) / 8;
    ByteString out(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<std::uint8_t>(value >> (8 * (n - 1 - k)));
    return out;
}

ByteString reference_binary_bytes(std::span<const std::uint8_t> data, std::uint32_t bits, bool reverse) {
    const std::size_t n = (std::size_t{bits} + 7) / 8;
    ByteString field(n);
    if (n == 0) return field;
    const std::size_t kept = std::min(data.size(), n);
    for (std::size_t k = 0; k < kept; ++k) field[n - kept + k] = data[data.size() - kept + k];
    for (std::uint64_t j = 0; j < 8 * n - bits; ++j) set_bit(field, j, false);
    if (!reverse) return field;
    ByteString reversed(n);
    for (std::uint64_t i = 0; i < bits; ++i) set_bit(reversed, 8 * n - bits + i, bit_of(field, 8 * n - 1 - i));
    return reversed;
}

void reference_place(std::span<std::uint8_t> packet, std::span<const std::uint8_t> field,
                     std::uint64_t start, std::uint32_t bits) {
    const std::uint64_t packet_bits = std::uint64_t{packet.size()} * 8;
    const std::uint64_t field_bits = std::uint64_t{field.size()} * 8;
    std::uint64_t j = field_bits >= bits ? field_bits - bits : 0;
    for (std::uint64_t i = 0; i < bits; ++i, ++j) {
        if (start >= packet_bits || i >= packet_bits - start) break;  // skipped, not written
        set_bit(packet, start + i, j < field_bits && bit_of(field, j));
    }
}

// Starts: mostly inside or just past a small packet, sometimes near 2^64.
std::uint64_t start_from(fuzz::Reader& in) {
    const auto raw = in.take<std::uint16_t>();
    if ((raw & 0xC000u) == 0xC000u) return ~std::uint64_t{0} - (raw & 0xFFu);
    return raw % 700;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::size_t packet_size = in.byte() % 72;
    std::unique_ptr<std::uint8_t[]> packet(new std::uint8_t[packet_size]);
    ByteString expected(packet_size);
    for (std::size_t k = 0; k < packet_size; ++k) packet[k] = expected[k] = in.byte();
    const std::span<std::uint8_t> view(packet.get(), packet_size);

    const int fields = 1 + in.byte() % 6;
    for (int f = 0; f < fields; ++f) {
        const std::uint8_t kind = in.byte();
        const bool reverse = (kind & 1u) != 0;
        const bool little = (kind & 2u) != 0;
        const std::uint64_t start = start_from(in);
        // Widths past 64 matter for raw bytes and text; the integer path
        // must refuse them.
        const std::uint32_t bits = (kind & 0x80u) != 0 ? in.take<std::uint32_t>() : in.take<std::uint16_t>() % 600;

        const auto end = field_end(start, bits);
        FUZZ_CHECK(end.ok() == (static_cast<unsigned __int128>(start) + bits <= ~std::uint64_t{0}));
        if (end.ok()) FUZZ_CHECK(end.value() == start + bits);

        ByteString field;
        switch ((kind >> 2) % 3) {
            case 0: {  // a numeric value
                const auto value = in.take<std::uint64_t>();
                const auto encoded = encode_integer_to_bytes(value, bits, reverse);
                FUZZ_CHECK(encoded.ok() == (bits <= 64));
                if (!encoded.ok()) continue;
                IntegerField integer = encoded.value();
                field.assign(integer.span().begin(), integer.span().end());
                FUZZ_CHECK(field == reference_integer_bytes(value, bits, reverse));
                break;
            }
            case 1: {  // raw bytes, with a width small enough to allocate
                const std::uint32_t width = bits % 4096;
                const auto raw = in.bytes(in.byte() % 80);
                const ByteString copy(raw.begin(), raw.end());
                encode_binary_to_bytes(copy, width, reverse, field);
                FUZZ_CHECK(field == reference_binary_bytes(copy, width, reverse));
                break;
            }
            default: {  // text: field bytes of any length, unrelated to the width
                const auto raw = in.bytes(in.byte() % 40);
                field.assign(raw.begin(), raw.end());
                break;
            }
        }
        if (little) std::reverse(field.begin(), field.end());
        // An exact-size heap copy, so a read past the field bytes is caught.
        std::unique_ptr<std::uint8_t[]> source(new std::uint8_t[field.size()]);
        std::copy(field.begin(), field.end(), source.get());
        place_field(view, {source.get(), field.size()}, start, bits);
        reference_place(expected, field, start, bits);
        FUZZ_CHECK(std::equal(expected.begin(), expected.end(), packet.get()));
    }
    return 0;
}
