// Packets whose array varies in length: count_elements on packets cut at
// random from the input, with a count field or "rest" and random widths
// around the array, then decode_list_rows on the packets it accepts, each
// element against decode_number of that element alone.  The data is a heap
// block of exactly its size, so a read past a packet at its end is caught.
#include <memory>
#include <vector>

#include "frames/bulk_decode.hpp"
#include "frames/variable_arrays.hpp"
#include "recipe/field_slots.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;
using namespace bitloom::frames;

namespace {

FrameField numeric_field(FieldCodec codec, std::uint64_t start, std::uint32_t bits) {
    FrameField field;
    field.codec = codec;
    field.kind = column_kind(codec);
    field.slot = field_slot(codec);
    field.bits = bits;
    return field.at(start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    fuzz::Reader reader(input, size);
    const std::uint32_t element_bits = 1 + reader.byte() % 64;
    const std::uint32_t count_bits = reader.byte() % 33;  // 0: "rest"
    const std::uint64_t before_bits = count_bits + reader.byte() % 24;
    const std::uint64_t after_bits = reader.byte() % 40;
    const FieldCodec codec = reader.flag() ? FieldCodec::twos_complement : FieldCodec::unsigned_integer;
    const std::size_t packets = reader.byte() % 8;
    std::vector<std::uint64_t> sizes;
    for (std::size_t i = 0; i < packets; ++i) sizes.push_back(reader.byte() % 48);
    const std::span<const std::uint8_t> bytes = reader.rest();
    auto data = std::make_unique<std::uint8_t[]>(bytes.size() + 1);  // never empty: a valid pointer
    if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
    const std::span<const std::uint8_t> stream(data.get(), bytes.size());
    // Packets one after the other, each cut to what is left of the data.
    std::vector<std::uint64_t> offsets;
    std::uint64_t at = 0;
    for (std::uint64_t& packet_size : sizes) {
        packet_size = std::min<std::uint64_t>(packet_size, stream.size() - at);
        offsets.push_back(at);
        at += packet_size;
    }
    const FrameField count = numeric_field(FieldCodec::unsigned_integer, 0, count_bits);
    VariableArray array{before_bits, after_bits, element_bits, count_bits != 0 ? &count : nullptr};
    std::vector<std::uint64_t> counts(packets);
    CountOutcome outcome;
    if (!count_elements(stream, offsets, sizes, array, counts, outcome)) {
        FUZZ_CHECK(outcome.packet < packets && outcome.fault != PacketFault::none);
        return 0;
    }
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < packets; ++i) {
        FUZZ_CHECK(before_bits + counts[i] * element_bits + after_bits <= sizes[i] * 8);
        total += counts[i];
    }
    FrameField first = numeric_field(codec, before_bits, element_bits);
    first.count = 1;
    const ColumnPlan plan = plan_column(first, 0, 0);
    ColumnMemory* column = ColumnMemory::create_list(plan.type, packets, static_cast<std::size_t>(total));
    FUZZ_CHECK(column != nullptr);
    column->list_offsets[0] = 0;
    for (std::size_t i = 0; i < packets; ++i) {
        column->list_offsets[i + 1] = column->list_offsets[i] + static_cast<std::int32_t>(counts[i]);
    }
    ListRequest request;
    request.data = stream;
    request.offsets = offsets;
    request.sizes = sizes;
    DecodeOutcome decoded;
    FUZZ_CHECK(decode_list_rows(request, plan, *column, decoded));
    const std::size_t item = column->item_size();
    for (std::size_t i = 0; i < packets; ++i) {
        const std::span<const std::uint8_t> packet = stream.subspan(offsets[i], sizes[i]);
        for (std::uint64_t k = 0; k < counts[i]; ++k) {
            std::uint64_t slot = 0;
            CodecError error;
            FUZZ_CHECK(decode_number(first.element(k), packet, 0, slot, error));
            std::uint64_t stored = 0;
            std::memcpy(&stored, static_cast<const std::uint8_t*>(column->values) +
                                     (static_cast<std::size_t>(column->list_offsets[i]) + k) * item, item);
            // Compare the low bytes the column keeps (sign extension aside).
            const std::uint64_t mask = item == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * item)) - 1;
            FUZZ_CHECK((stored & mask) == (slot & mask));
        }
    }
    column->release();
    return 0;
}
