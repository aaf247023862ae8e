// The bulk decoder's loops against the single-field reader (decode_number):
// every width up to 64 at every bit offset, in either byte order and
// reversed, for the integer and float codecs, on one thread and on three;
// failures in frame then field order with or without nulls; a poll that
// says stop.  Array fields against decode_number of each element, in every
// shape (the frame-major loops and the general one), and the rows of
// arrays whose length varies.  little_lsb0 fields at every start and width
// against their definition, bit by bit.
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "frames/bulk_decode.hpp"
#include "recipe/field_slots.hpp"

using namespace bitloom;
using namespace bitloom::frames;

namespace {

struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

FrameField make_field(FieldCodec codec, std::uint64_t start, std::uint32_t bits, ByteOrder order, bool reverse) {
    FrameField field;
    field.start = start;
    field.bits = bits;
    field.codec = codec;
    field.kind = column_kind(codec);
    field.slot = field_slot(codec);
    field.order = order;
    field.reverse = reverse;
    return field;
}

// Value i of a column as the slot decode_number gives (int64, uint64 or
// the bits of a double), for comparison.
std::uint64_t as_slot(const ColumnMemory& column, std::size_t i) {
    const void* v = column.values;
    switch (column.type) {
        case ColumnType::int8: return static_cast<std::uint64_t>(static_cast<const std::int8_t*>(v)[i]);
        case ColumnType::int16: return static_cast<std::uint64_t>(static_cast<const std::int16_t*>(v)[i]);
        case ColumnType::int32: return static_cast<std::uint64_t>(static_cast<const std::int32_t*>(v)[i]);
        case ColumnType::int64: return static_cast<std::uint64_t>(static_cast<const std::int64_t*>(v)[i]);
        case ColumnType::uint8: return static_cast<const std::uint8_t*>(v)[i];
        case ColumnType::uint16: return static_cast<const std::uint16_t*>(v)[i];
        case ColumnType::uint32: return static_cast<const std::uint32_t*>(v)[i];
        case ColumnType::uint64: return static_cast<const std::uint64_t*>(v)[i];
        case ColumnType::float32:
            return std::bit_cast<std::uint64_t>(static_cast<double>(static_cast<const float*>(v)[i]));
        case ColumnType::float64: return std::bit_cast<std::uint64_t>(static_cast<const double*>(v)[i]);
        default: return 0;
    }
}

bool same_slot(std::uint64_t a, std::uint64_t b, bool is_float) {
    if (!is_float) return a == b;
    const double x = std::bit_cast<double>(a), y = std::bit_cast<double>(b);
    return a == b || (x != x && y != y);  // NaNs of any payload
}

// Decodes `fields` over `frames` frames of random bytes and compares every
// value with decode_number.
void check_fields(const std::vector<FrameField>& fields, std::size_t frame_bytes, std::size_t frames,
                  unsigned threads, Random& random) {
    std::vector<std::uint8_t> dump(frame_bytes * frames);
    for (auto& byte : dump) byte = static_cast<std::uint8_t>(random.next());
    std::vector<ColumnPlan> plans;
    std::vector<ColumnMemory*> columns;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        plans.push_back(plan_column(fields[k], k, 0));
        columns.push_back(ColumnMemory::create(plans.back().type, frames));
    }
    DecodeRequest request;
    request.data = dump;
    request.frame_bytes = frame_bytes;
    request.count = frames;
    request.threads = threads;
    request.null_on_error = true;
    DecodeOutcome outcome;
    CHECK(decode_columns(request, plans, columns, outcome));
    for (std::size_t k = 0; k < fields.size(); ++k) {
        for (std::size_t i = 0; i < frames; ++i) {
            std::uint64_t slot = 0;
            CodecError error;
            const bool decoded = decode_number(fields[k], dump, std::uint64_t{i} * frame_bytes * 8, slot, error);
            CHECK(decoded == columns[k]->is_valid(i));
            if (decoded) CHECK(same_slot(as_slot(*columns[k], i), slot, is_float(columns[k]->type)));
        }
        columns[k]->release();
    }
}

void check_every_width_and_offset() {
    Random random;
    const FieldCodec codecs[] = {FieldCodec::unsigned_integer, FieldCodec::twos_complement,
                                 FieldCodec::sign_magnitude, FieldCodec::packed_bcd};
    for (FieldCodec codec : codecs) {
        for (std::uint32_t bits = 4; bits <= 64; ++bits) {
            for (std::uint64_t shift = 0; shift < 8; ++shift) {
                std::vector<FrameField> fields = {
                    make_field(codec, shift, bits, ByteOrder::big, false),
                    make_field(codec, 80 + shift, bits, ByteOrder::big, true),
                };
                if (bits % 8 == 0 || bits <= 8) {
                    fields.push_back(make_field(codec, 160 + 8 * (shift % 2), bits, ByteOrder::little, false));
                    fields.push_back(make_field(codec, 240 + shift, bits, ByteOrder::little, shift % 2 == 1));
                }
                check_fields(fields, 41, 300, bits % 3 + 1, random);
            }
        }
    }
    std::vector<FrameField> floats = {
        make_field(FieldCodec::ieee754_f16, 3, 16, ByteOrder::big, false),
        make_field(FieldCodec::ieee754_f16, 24, 16, ByteOrder::little, false),
        make_field(FieldCodec::ieee754_f32, 40, 32, ByteOrder::big, false),
        make_field(FieldCodec::ieee754_f32, 77, 32, ByteOrder::little, true),
        make_field(FieldCodec::ieee754_f64, 112, 64, ByteOrder::little, false),
        make_field(FieldCodec::ieee754_f64, 181, 64, ByteOrder::big, true),
        make_field(FieldCodec::ieee754_f128, 248, 128, ByteOrder::big, false),
    };
    check_fields(floats, 48, 5000, 1, random);
    check_fields(floats, 48, 70000, 3, random);
}

// Packed BCD digits above 9 fail: without nulls the first in frame, then
// field order is the one reported, whatever the thread count.
void check_first_failure() {
    const std::size_t frames = 100000;
    std::vector<std::uint8_t> dump(2 * frames, 0x11);
    dump[2 * 80001 + 1] = 0x1A;  // field 1 of frame 80001
    dump[2 * 80001] = 0xA1;      // field 0 of frame 80001
    dump[2 * 90000 + 1] = 0xAA;
    const std::vector<FrameField> fields = {make_field(FieldCodec::packed_bcd, 0, 8, ByteOrder::big, false),
                                            make_field(FieldCodec::packed_bcd, 8, 8, ByteOrder::big, false)};
    for (unsigned threads : {1u, 2u, 3u}) {
        for (bool nulls : {false, true}) {
            std::vector<ColumnPlan> plans = {plan_column(fields[0], 0, 0), plan_column(fields[1], 1, 0)};
            std::vector<ColumnMemory*> columns = {ColumnMemory::create(plans[0].type, frames),
                                                  ColumnMemory::create(plans[1].type, frames)};
            DecodeRequest request;
            request.data = dump;
            request.frame_bytes = 2;
            request.count = frames;
            request.threads = threads;
            request.null_on_error = nulls;
            DecodeOutcome outcome;
            CHECK(decode_columns(request, plans, columns, outcome) == nulls);
            CHECK(outcome.failures.size() == (nulls ? 3u : 1u));
            CHECK(outcome.failures[0].frame == 80001 && outcome.failures[0].field_index == 0);
            if (nulls) {
                CHECK(outcome.failures[1].frame == 80001 && outcome.failures[1].field_index == 1);
                CHECK(outcome.failures[2].frame == 90000 && columns[1]->null_count == 2);
                CHECK(!columns[0]->is_valid(80001) && columns[0]->is_valid(80002));
            }
            for (ColumnMemory* column : columns) column->release();
        }
    }
}

void check_a_poll_that_says_stop() {
    const std::size_t frames = 200000;
    std::vector<std::uint8_t> dump(8 * frames, 1);
    const FrameField field = make_field(FieldCodec::unsigned_integer, 0, 64, ByteOrder::big, false);
    std::vector<ColumnPlan> plans = {plan_column(field, 0, 0)};
    for (unsigned threads : {1u, 4u}) {
        std::vector<ColumnMemory*> columns = {ColumnMemory::create(plans[0].type, frames)};
        DecodeRequest request;
        request.data = dump;
        request.frame_bytes = 8;
        request.count = frames;
        request.threads = threads;
        request.poll = [](void*) { return false; };
        // Polls come every few milliseconds: slow the decoder down with a
        // dump large enough that it polls at least once.
        DecodeOutcome outcome;
        const bool finished = decode_columns(request, plans, columns, outcome);
        CHECK(finished != outcome.stopped);
        columns[0]->release();
    }
}

// Array fields: every element of every frame against decode_number of
// the element alone, for the shapes the array loops take.
void check_arrays() {
    Random random;
    struct Case {
        FieldCodec codec;
        std::uint32_t bits;
        ByteOrder order;
        bool reverse;
        Arrangement arrangement;
    };
    const Case cases[] = {
        {FieldCodec::unsigned_integer, 8, ByteOrder::big, false, Arrangement::by_order},
        {FieldCodec::unsigned_integer, 16, ByteOrder::little, false, Arrangement::by_order},
        {FieldCodec::twos_complement, 32, ByteOrder::big, false, Arrangement::by_order},
        {FieldCodec::unsigned_integer, 24, ByteOrder::big, false, Arrangement::by_order},
        {FieldCodec::twos_complement, 13, ByteOrder::big, false, Arrangement::by_order},
        {FieldCodec::unsigned_integer, 11, ByteOrder::big, true, Arrangement::by_order},
        {FieldCodec::twos_complement, 13, ByteOrder::big, false, Arrangement::lsb_first},
        {FieldCodec::unsigned_integer, 16, ByteOrder::big, false, Arrangement::lsb_first},
        {FieldCodec::packed_bcd, 12, ByteOrder::big, false, Arrangement::by_order},
        {FieldCodec::ieee754_f32, 32, ByteOrder::little, false, Arrangement::by_order},
        {FieldCodec::ieee754_f128, 128, ByteOrder::big, false, Arrangement::by_order},
    };
    for (const Case& c : cases) {
        for (std::uint64_t shift : {0u, 3u}) {
            FrameField field = make_field(c.codec, shift, c.bits, c.order, c.reverse);
            field.arrangement = c.arrangement;
            field.count = 7;
            const auto phase = static_cast<unsigned>((shift + c.bits) % 8);
            field.end_phase = static_cast<std::uint8_t>(phase == 0 ? 8 : phase);
            if (c.order == ByteOrder::little && shift != 0) continue;  // whole bytes only
            const std::size_t frame_bytes = static_cast<std::size_t>((field.end() + 7) / 8 + 2);
            const std::size_t frames = 3000;
            std::vector<std::uint8_t> dump(frame_bytes * frames);
            for (auto& byte : dump) byte = static_cast<std::uint8_t>(random.next());
            std::vector<ColumnPlan> plans = {plan_column(field, 0, 0)};
            std::vector<ColumnMemory*> columns = {ColumnMemory::create_fixed_list(plans[0].type, frames, 7)};
            for (unsigned threads : {1u, 2u}) {
                DecodeRequest request;
                request.data = dump;
                request.frame_bytes = frame_bytes;
                request.count = frames;
                request.threads = threads;
                request.null_on_error = true;
                DecodeOutcome outcome;
                CHECK(decode_columns(request, plans, columns, outcome));
                for (std::size_t i = 0; i < frames; ++i) {
                    bool row_valid = true;
                    for (std::uint32_t k = 0; k < 7; ++k) {
                        std::uint64_t slot = 0;
                        CodecError error;
                        const bool decoded = decode_number(field.element(k), dump,
                                                           std::uint64_t{i} * frame_bytes * 8, slot, error);
                        row_valid = row_valid && decoded;
                        if (decoded && columns[0]->is_valid(i)) {
                            CHECK(same_slot(as_slot(*columns[0], i * 7 + k), slot, is_float(columns[0]->type)));
                        }
                    }
                    CHECK(row_valid == columns[0]->is_valid(i));
                }
                for (const FieldFailure& failure : outcome.failures) CHECK(failure.element < 7);
            }
            columns[0]->release();
        }
    }
}

// Arrays whose length varies: each packet's row against decode_number.
void check_list_rows() {
    Random random;
    const FieldCodec codecs[] = {FieldCodec::unsigned_integer, FieldCodec::twos_complement};
    for (FieldCodec codec : codecs) {
        for (std::uint32_t bits : {5u, 12u, 16u, 24u}) {
            FrameField first = make_field(codec, 13, bits, ByteOrder::big, false).at(13);
            first.count = 1;
            const ColumnPlan plan = plan_column(first, 0, 0);
            std::vector<std::uint8_t> data;
            std::vector<std::uint64_t> offsets, sizes, counts;
            for (std::size_t i = 0; i < 200; ++i) {
                const std::uint64_t count = random.next() % 9;
                const std::uint64_t size = (13 + count * bits + 7) / 8 + random.next() % 3;
                offsets.push_back(data.size());
                sizes.push_back(size);
                counts.push_back(count);
                for (std::uint64_t b = 0; b < size; ++b) data.push_back(static_cast<std::uint8_t>(random.next()));
            }
            std::uint64_t total = 0;
            for (std::uint64_t count : counts) total += count;
            ColumnMemory* column = ColumnMemory::create_list(plan.type, counts.size(), static_cast<std::size_t>(total));
            column->list_offsets[0] = 0;
            for (std::size_t i = 0; i < counts.size(); ++i) {
                column->list_offsets[i + 1] = column->list_offsets[i] + static_cast<std::int32_t>(counts[i]);
            }
            ListRequest request;
            request.data = data;
            request.offsets = offsets;
            request.sizes = sizes;
            DecodeOutcome outcome;
            CHECK(decode_list_rows(request, plan, *column, outcome));
            for (std::size_t i = 0; i < counts.size(); ++i) {
                const std::span<const std::uint8_t> packet(data.data() + offsets[i], sizes[i]);
                for (std::uint64_t k = 0; k < counts[i]; ++k) {
                    std::uint64_t slot = 0;
                    CodecError error;
                    CHECK(decode_number(first.element(k), packet, 0, slot, error));
                    CHECK(as_slot(*column, static_cast<std::size_t>(column->list_offsets[i] + k)) == slot);
                }
            }
            column->release();
        }
    }
}

}  // namespace

// The little_lsb0 field of `bits` bits at `start` of `frame`, by its
// definition: bit k of the value is bit (start + k) % 8, counted from the
// least significant, of byte (start + k) / 8.
std::uint64_t lsb0_by_definition(const std::uint8_t* frame, std::uint64_t start, std::uint32_t bits) {
    std::uint64_t value = 0;
    for (std::uint32_t k = 0; k < bits; ++k) {
        const std::uint64_t at = start + k;
        value |= std::uint64_t{(frame[at / 8] >> (at % 8)) & 1u} << k;
    }
    return value;
}

// little_lsb0 fields: the bulk loop (one little-endian load), the single
// field reader (a piece per byte) and the definition agree at every start
// in two bytes and every width, signed and unsigned; so does the loop for
// frames that start inside a byte (offset_bits 3).
void check_little_lsb0() {
    Random random;
    for (FieldCodec codec : {FieldCodec::unsigned_integer, FieldCodec::twos_complement}) {
        for (std::uint64_t start = 0; start < 16; ++start) {
            for (std::uint32_t bits = 1; bits <= 64; ++bits) {
                FrameField field = make_field(codec, start, bits, ByteOrder::big, false);
                field.arrangement = Arrangement::little_lsb0;
                const std::size_t frame_bytes = static_cast<std::size_t>((start + bits + 7) / 8 + 1);
                const std::size_t frames = 40;
                std::vector<std::uint8_t> dump(frame_bytes * frames + 1);
                for (auto& byte : dump) byte = static_cast<std::uint8_t>(random.next());
                for (std::uint64_t offset_bits : {0u, 3u}) {
                    std::vector<ColumnPlan> plans = {plan_column(field, 0, offset_bits)};
                    std::vector<ColumnMemory*> columns = {ColumnMemory::create(plans[0].type, frames)};
                    DecodeRequest request;
                    request.data = dump;
                    request.frame_bytes = frame_bytes;
                    request.count = frames;
                    DecodeOutcome outcome;
                    CHECK(decode_columns(request, plans, columns, outcome));
                    for (std::size_t i = 0; i < frames; ++i) {
                        const std::uint64_t frame_bit = std::uint64_t{i} * frame_bytes * 8 + offset_bits;
                        std::uint8_t frame[10] = {};
                        for (std::size_t j = 0; j < frame_bytes && j < 10; ++j) {
                            const std::uint64_t bit = frame_bit + 8 * j;
                            frame[j] = static_cast<std::uint8_t>(
                                ((dump[bit / 8] << 8 | (bit / 8 + 1 < dump.size() ? dump[bit / 8 + 1] : 0)) >>
                                 (8 - bit % 8)) & 0xFF);
                        }
                        std::uint64_t expected = lsb0_by_definition(frame, start, bits);
                        if (codec == FieldCodec::twos_complement && bits < 64 && (expected >> (bits - 1)) != 0) {
                            expected |= ~low_mask(bits);
                        }
                        std::uint64_t slot = 0;
                        CodecError error;
                        CHECK(decode_number(field, dump, frame_bit, slot, error));
                        CHECK(slot == expected);
                        CHECK(as_slot(*columns[0], i) == expected);
                    }
                    columns[0]->release();
                }
            }
        }
    }
}

int main() {
    check_little_lsb0();
    check_arrays();
    check_list_rows();
    check_every_width_and_offset();
    check_first_failure();
    check_a_poll_that_says_stop();
    return failures == 0 ? 0 : 1;
}
