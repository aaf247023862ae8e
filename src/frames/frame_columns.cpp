// The column loops.  Columns are decoded one at a time, so that the codec
// and the field's position are fixed for a whole loop over the frames: the
// common codecs get a loop of their own with the field read and the decode
// inlined, and the field sits at the same byte and bit of every frame.
// While a field's nine-byte window stays inside the data (every frame but
// the last one or two) it is loaded as one word; the last frames go through
// the bounded reader.
#include "frames/frame_columns.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "core/bits.hpp"
#include "codecs/decoder/integer.hpp"
#include "frames/bit_window.hpp"

namespace bitloom::frames {

namespace {

// The frames, up to `limit`, whose field window can be loaded whole.
std::size_t frames_with_whole_window(std::size_t data_size, std::size_t frame_bytes,
                                     std::size_t first_byte, std::size_t limit) noexcept {
    if (data_size < first_byte + 9) return 0;
    return std::min(limit, (data_size - first_byte - 9) / frame_bytes + 1);
}

// Decodes frames [0, limit) of one column with `decode` (pattern -> slot).
template <class Decode>
void decode_column(std::span<const std::uint8_t> data, std::size_t frame_bytes,
                   std::uint64_t offset_bits, std::size_t limit, const FrameField& field,
                   std::uint64_t* slots, Decode decode) noexcept {
    const std::uint64_t start = offset_bits + field.start;
    const std::uint32_t bits = field.bits;
    if (bits == 0) {
        for (std::size_t i = 0; i < limit; ++i) slots[i] = decode(0);
        return;
    }
    const std::size_t first = static_cast<std::size_t>(start / 8);
    const unsigned shift = static_cast<unsigned>(start % 8);
    const std::size_t whole = frames_with_whole_window(data.size(), frame_bytes, first, limit);
    const std::uint8_t* bytes = data.data() + first;
    if (field.order == ByteOrder::big && !field.reverse) {
        for (std::size_t i = 0; i < whole; ++i, bytes += frame_bytes) {
            slots[i] = decode(extract_field(load_big_endian(bytes), bytes[8], shift, bits));
        }
    } else {
        for (std::size_t i = 0; i < whole; ++i, bytes += frame_bytes) {
            slots[i] = decode(pattern_of(field, extract_field(load_big_endian(bytes), bytes[8], shift, bits)));
        }
    }
    for (std::size_t i = whole; i < limit; ++i) {
        const std::uint64_t frame_start = std::uint64_t{i} * frame_bytes * 8;
        slots[i] = decode(pattern_of(field, read_bits(data, frame_start + start, bits)));
    }
}

// Any codec, one frame at a time through the general decoder; stops at the
// first frame the codec refuses and returns its index (or `limit`).
std::size_t decode_column_generally(std::span<const std::uint8_t> data, std::size_t frame_bytes,
                                    std::uint64_t offset_bits, std::size_t limit,
                                    const FrameField& field, std::uint64_t* slots,
                                    CodecError& error) {
    for (std::size_t i = 0; i < limit; ++i) {
        const std::uint64_t frame_start = std::uint64_t{i} * frame_bytes * 8 + offset_bits;
        if (!decode_number(field, data, frame_start, slots[i], error)) return i;
    }
    return limit;
}

}  // namespace

bool decode_numeric_columns(std::span<const std::uint8_t> data, std::size_t frame_bytes,
                            std::uint64_t offset_bits, std::size_t count,
                            std::span<const NumericColumn> columns, ColumnFailure& failure) noexcept {
    // Frames at and after a failing frame need not be decoded: the earliest
    // failure is the one reported.
    std::size_t limit = count;
    bool failed = false;
    try {
        for (const NumericColumn& column : columns) {
            const FrameField& field = *column.field;
            const std::uint32_t bits = field.bits;
            switch (field.codec) {
                case FieldCodec::unsigned_integer:
                case FieldCodec::ieee754_f64:
                    decode_column(data, frame_bytes, offset_bits, limit, field, column.slots,
                                  [](std::uint64_t pattern) { return pattern; });
                    continue;
                case FieldCodec::twos_complement:
                    decode_column(data, frame_bytes, offset_bits, limit, field, column.slots,
                                  [bits](std::uint64_t pattern) {
                                      return as_unsigned(decode_twos_complement(pattern, bits));
                                  });
                    continue;
                case FieldCodec::ieee754_f32:
                    decode_column(data, frame_bytes, offset_bits, limit, field, column.slots,
                                  [](std::uint64_t pattern) {
                                      const auto number = std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
                                      return std::bit_cast<std::uint64_t>(static_cast<double>(number));
                                  });
                    continue;
                default: break;
            }
            CodecError error;
            const std::size_t stopped = decode_column_generally(data, frame_bytes, offset_bits,
                                                                limit, field, column.slots, error);
            if (stopped == limit) continue;
            // Columns come in recipe order, so at the same frame the earlier
            // field stays the one reported.
            if (!failed || stopped < failure.frame) {
                failed = true;
                failure.frame = stopped;
                failure.field_index = column.field_index;
                failure.error = std::move(error);
                limit = stopped + 1;
            }
        }
    } catch (const std::bad_alloc&) {
        failure.out_of_memory = true;
        return false;
    }
    return !failed;
}

void mark_repeated_values(std::span<const std::uint8_t> data, std::size_t frame_bytes,
                          std::uint64_t offset_bits, std::size_t count, const FrameField& field,
                          std::uint8_t* repeats) noexcept {
    if (count == 0) return;
    repeats[0] = 0;
    const std::uint64_t frame_bits = std::uint64_t{frame_bytes} * 8;
    std::uint64_t previous = offset_bits + field.start;
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint64_t start = previous + frame_bits;
        bool same = true;
        for (std::uint64_t done = 0; same && done < field.bits; done += 64) {
            const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(64, field.bits - done));
            same = read_bits(data, previous + done, step) == read_bits(data, start + done, step);
        }
        repeats[i] = same ? 1 : 0;
        previous = start;
    }
}

}  // namespace bitloom::frames
