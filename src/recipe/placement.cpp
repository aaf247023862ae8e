// Field bytes and their placement.  Placement assigns every bit of the field
// (later fields win where fields overlap, zero bits included) but works a
// destination byte at a time, with whole-byte copies when source and
// destination are aligned alike.
#include "recipe/placement.hpp"

#include <algorithm>
#include <cstring>

#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

namespace {

// Bits [bit, bit + count) of `source` (count <= 8), right-aligned; bits past
// the end of `source` read as zero.
std::uint8_t read_bits(std::span<const std::uint8_t> source, std::uint64_t bit, unsigned count) {
    const std::uint64_t index = bit / 8;
    unsigned window = static_cast<unsigned>(source[index]) << 8;
    if (index + 1 < source.size()) window |= source[index + 1];
    const unsigned shift = 16 - static_cast<unsigned>(bit % 8) - count;
    return static_cast<std::uint8_t>((window >> shift) & ((1u << count) - 1));
}

// Assigns `count` bits at `destination_bit` from `value` (right-aligned).
void write_bits(std::uint8_t* packet, std::uint64_t destination_bit, unsigned count,
                unsigned value) {
    const unsigned offset = static_cast<unsigned>(destination_bit % 8);
    const unsigned shift = 8 - offset - count;
    const unsigned mask = ((1u << count) - 1) << shift;
    std::uint8_t& byte = packet[destination_bit / 8];
    byte = static_cast<std::uint8_t>((byte & ~mask) | ((value << shift) & mask));
}

void copy_bits(std::uint8_t* packet, std::uint64_t destination_bit,
               std::span<const std::uint8_t> source, std::uint64_t source_bit, std::uint64_t count) {
    if (destination_bit % 8 == 0 && source_bit % 8 == 0) {
        const std::uint64_t whole = count / 8;
        std::memcpy(packet + destination_bit / 8, source.data() + source_bit / 8, whole);
        destination_bit += whole * 8;
        source_bit += whole * 8;
        count -= whole * 8;
    }
    while (count > 0) {
        const unsigned room = 8 - static_cast<unsigned>(destination_bit % 8);
        const unsigned step = static_cast<unsigned>(std::min<std::uint64_t>(room, count));
        write_bits(packet, destination_bit, step, read_bits(source, source_bit, step));
        destination_bit += step;
        source_bit += step;
        count -= step;
    }
}

void clear_bits(std::uint8_t* packet, std::uint64_t destination_bit, std::uint64_t count) {
    while (count > 0 && destination_bit % 8 != 0) {
        const unsigned step = static_cast<unsigned>(
            std::min<std::uint64_t>(8 - destination_bit % 8, count));
        write_bits(packet, destination_bit, step, 0);
        destination_bit += step;
        count -= step;
    }
    std::memset(packet + destination_bit / 8, 0, count / 8);
    destination_bit += count / 8 * 8;
    if (count % 8 != 0) write_bits(packet, destination_bit, static_cast<unsigned>(count % 8), 0);
}

constexpr std::array<std::uint8_t, 256> make_byte_reversal() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = 0;
        for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
        table[b] = static_cast<std::uint8_t>(r);
    }
    return table;
}

constexpr auto kReversedByte = make_byte_reversal();

}  // namespace

Result<IntegerField> encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse) {
    if (bits > 64) {
        return make_error(ErrorKind::value_error, "Cannot encode {} bits from a 64-bit value",
                          {bits});
    }
    if (reverse) value = reverse_low_bits(value, bits);
    IntegerField field;
    field.size = (bits + 7) / 8;
    for (std::size_t k = 0; k < field.size; ++k) {
        field.bytes[k] = static_cast<std::uint8_t>(value >> (8 * (field.size - 1 - k)));
    }
    return field;
}

void encode_binary_to_bytes(std::span<const std::uint8_t> data, std::uint32_t bits, bool reverse,
                            std::vector<std::uint8_t>& out) {
    const std::size_t n = (static_cast<std::size_t>(bits) + 7) / 8;
    out.assign(n, 0);
    if (n == 0) return;
    // Right alignment: longer data loses its leading bytes, shorter data gets
    // zero bytes in front.
    const std::size_t kept = std::min(data.size(), n);
    // Empty data may come with a null pointer, which memcpy must not get
    // even for zero bytes.
    if (kept != 0) std::memcpy(out.data() + (n - kept), data.data() + (data.size() - kept), kept);
    const unsigned spare = static_cast<unsigned>(8 * n - bits);  // 0..7 unused top bits
    out[0] &= static_cast<std::uint8_t>(0xFFu >> spare);
    if (reverse) reverse_trailing_bits(out, bits);
}

void reverse_trailing_bits(std::span<std::uint8_t> bytes, std::uint32_t bits) noexcept {
    // Reversing all 8n bits puts the field's bits, reversed, at the front
    // (the spare bits were zero); shifting right by `spare` realigns them.
    std::reverse(bytes.begin(), bytes.end());
    for (std::uint8_t& byte : bytes) byte = kReversedByte[byte];
    const unsigned spare = static_cast<unsigned>(bytes.size() * 8 - bits);
    if (spare == 0) return;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        const unsigned carry = i > 0 ? static_cast<unsigned>(bytes[i - 1]) << (8 - spare) : 0;
        bytes[i] = static_cast<std::uint8_t>((bytes[i] >> spare) | carry);
    }
}

Result<std::uint64_t> field_end(std::uint64_t start, std::uint32_t bits) {
    if (!field_fits(start, bits)) {
        return make_error(ErrorKind::value_error,
                          "Field of {} bits at bit {} ends beyond the largest bit position "
                          "18446744073709551615",
                          {bits, start});
    }
    return start + bits;
}

namespace {

// The low `bits` bits of `value` written at bit `offset` (offset + bits <=
// 64) of the eight bytes from packet byte `first`; bytes past the packet's
// end are neither read nor written.
void write_in_window(std::span<std::uint8_t> packet, std::uint64_t value, std::size_t first,
                     unsigned offset, std::uint32_t bits) noexcept {
    const unsigned shift = 64 - offset - bits;
    const std::uint64_t mask = low_mask(bits) << shift;
    value = (value & low_mask(bits)) << shift;
    std::uint8_t* at = packet.data() + first;
    if (packet.size() - first >= 8) {
        store_big_endian(at, (load_big_endian(at) & ~mask) | value);
        return;
    }
    const std::size_t count = packet.size() - first;
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned byte_shift = 56 - 8 * static_cast<unsigned>(k);
        const auto keep = static_cast<std::uint8_t>(~(mask >> byte_shift));
        at[k] = static_cast<std::uint8_t>((at[k] & keep) | static_cast<std::uint8_t>(value >> byte_shift));
    }
}

// Fields of up to 8 bytes that fit with their start offset in one 64-bit
// word (the usual numeric field): one read-modify-write of the bytes they
// touch instead of a loop over bytes.
bool place_in_word(std::span<std::uint8_t> packet, std::span<const std::uint8_t> field,
                   std::uint64_t start, std::uint32_t bits) noexcept {
    const unsigned offset = static_cast<unsigned>(start % 8);
    if (field.size() > 8 || std::uint64_t{field.size()} * 8 < bits || offset + bits > 64) {
        return false;
    }
    std::uint64_t value = 0;
    for (std::uint8_t byte : field) value = (value << 8) | byte;
    write_in_window(packet, value, static_cast<std::size_t>(start / 8), offset, bits);
    return true;
}

}  // namespace

void place_word_near_end(std::span<std::uint8_t> packet, std::uint64_t value, std::uint64_t start,
                         std::uint32_t bits) noexcept {
    if (bits == 0 || start >= std::uint64_t{packet.size()} * 8) return;
    const unsigned offset = static_cast<unsigned>(start % 8);
    if (offset + bits <= 64) {
        write_in_window(packet, value, static_cast<std::size_t>(start / 8), offset, bits);
        return;
    }
    // A field over nine bytes: the bits up to the eighth byte's end, then the
    // rest (1 to 7 bits) at the start of the ninth.
    const unsigned rest = offset + bits - 64;
    write_in_window(packet, value >> rest, static_cast<std::size_t>(start / 8), offset, bits - rest);
    place_word_near_end(packet, value, start + (bits - rest), rest);
}

void place_field(std::span<std::uint8_t> packet, std::span<const std::uint8_t> field,
                 std::uint64_t start, std::uint32_t bits) noexcept {
    const std::uint64_t packet_bits = std::uint64_t{packet.size()} * 8;
    if (bits == 0 || start >= packet_bits) return;
    if (place_in_word(packet, field, start, bits)) return;
    // A field can reach past the packet only when an item changed between the
    // length pass and this one; those bits are skipped.
    const std::uint64_t writable = std::min<std::uint64_t>(bits, packet_bits - start);
    const std::uint64_t field_bits = std::uint64_t{field.size()} * 8;
    if (field_bits >= bits) {
        copy_bits(packet.data(), start, field, field_bits - bits, writable);
        return;
    }
    const std::uint64_t copied = std::min(field_bits, writable);
    if (copied > 0) copy_bits(packet.data(), start, field, 0, copied);
    clear_bits(packet.data(), start + copied, writable - copied);
}

void PacketWriter::write_word() noexcept {
    if (word_ == 0 || word_index_ >= packet_.size() / 8 + 1) return;
    const std::size_t first = static_cast<std::size_t>(word_index_) * 8;
    std::uint8_t* at = packet_.data() + first;
    if (packet_.size() - first >= 8) {
        store_big_endian(at, load_big_endian(at) | word_);
        return;
    }
    for (std::size_t k = 0; first + k < packet_.size(); ++k) {
        at[k] = static_cast<std::uint8_t>(at[k] | (word_ >> (56 - 8 * k)));
    }
}

}  // namespace bitloom
