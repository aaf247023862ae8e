// Element counts of packets whose array varies in length: counts read from
// a field and "rest", against hostile packets (a count past the end, a
// packet shorter than the fields around the array, part of an element, a
// count so large that count * bits overflows); and the rows of columns
// joined in another order (ColumnMemory::gather_rows).
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "frames/column_memory.hpp"
#include "frames/variable_arrays.hpp"
#include "recipe/field_slots.hpp"

using namespace bitloom;
using namespace bitloom::frames;

namespace {

FrameField count_field(std::uint32_t bits) {
    FrameField field;
    field.start = 0;
    field.bits = bits;
    field.codec = FieldCodec::unsigned_integer;
    field.kind = column_kind(field.codec);
    field.slot = field_slot(field.codec);
    return field;
}

void check_counts_from_a_field() {
    const FrameField count = count_field(64);
    VariableArray array{64, 16, 12, &count};
    // Packets: count 3 (64 + 36 + 16 bits = 15 bytes), count 0 (10 bytes),
    // and a count whose elements would wrap 64 bits when multiplied.
    std::vector<std::uint8_t> data(15 + 10 + 20, 0);
    data[7] = 3;
    std::memset(data.data() + 25, 0xFF, 8);
    std::vector<std::uint64_t> offsets = {0, 15, 25};
    std::vector<std::uint64_t> sizes = {15, 10, 20};
    std::vector<std::uint64_t> counts(3);
    CountOutcome outcome;
    CHECK(count_elements(data, std::span(offsets).first(2), std::span(sizes).first(2), array, counts, outcome));
    CHECK(counts[0] == 3 && counts[1] == 0);
    CHECK(!count_elements(data, offsets, sizes, array, counts, outcome));
    CHECK(outcome.fault == PacketFault::count_past_end && outcome.packet == 2 && outcome.value == UINT64_MAX);
    // A packet shorter than the fields around the array.
    sizes[1] = 9;
    CHECK(!count_elements(data, offsets, sizes, array, counts, outcome));
    CHECK(outcome.fault == PacketFault::shorter_than_fields && outcome.packet == 1);
}

void check_rest() {
    VariableArray array{8, 16, 16, nullptr};
    std::vector<std::uint8_t> data(64, 0);
    struct Row {
        std::uint64_t size;
        bool counted;
        std::uint64_t count;
        PacketFault fault;
    };
    const Row rows[] = {{3, true, 0, PacketFault::none}, {7, true, 2, PacketFault::none},
                        {4, false, 0, PacketFault::partial_element}, {2, false, 0, PacketFault::shorter_than_fields}};
    for (const Row& row : rows) {
        std::vector<std::uint64_t> offsets = {0}, sizes = {row.size}, counts(1);
        CountOutcome outcome;
        CHECK(count_elements(data, offsets, sizes, array, counts, outcome) == row.counted);
        if (row.counted) CHECK(counts[0] == row.count);
        else CHECK(outcome.fault == row.fault);
    }
}

void check_gather_rows() {
    ColumnMemory* numbers[2] = {ColumnMemory::create_fixed_list(ColumnType::uint16, 2, 2),
                                ColumnMemory::create_fixed_list(ColumnType::uint16, 1, 2)};
    const std::uint16_t first[] = {1, 2, 3, 4}, second[] = {5, 6};
    std::memcpy(numbers[0]->values, first, sizeof first);
    std::memcpy(numbers[1]->values, second, sizeof second);
    CHECK(numbers[0]->set_null(1));
    const ColumnMemory::RowSource rows[] = {{1, 0}, {0, 1}, {0, 0}};
    ColumnMemory* joined = ColumnMemory::gather_rows(numbers, rows);
    const auto* values = static_cast<const std::uint16_t*>(joined->values);
    CHECK(joined->length == 3 && joined->list_size == 2);
    CHECK(values[0] == 5 && values[1] == 6 && values[4] == 1 && values[5] == 2);
    CHECK(joined->is_valid(0) && !joined->is_valid(1) && joined->is_valid(2) && joined->null_count == 1);
    joined->release();
    for (ColumnMemory* column : numbers) column->release();

    // Text: offsets rebuilt, bytes in the new order.
    ColumnMemory* texts[2] = {ColumnMemory::create(ColumnType::string, 2), ColumnMemory::create(ColumnType::string, 1)};
    const char* parts[2] = {"abcde", "xy"};
    const std::int32_t ends[2][3] = {{0, 2, 5}, {0, 2, 0}};
    for (int k = 0; k < 2; ++k) {
        free_column_bytes(texts[k]->data);
        texts[k]->data = static_cast<std::uint8_t*>(allocate_column_bytes(8));
        std::memcpy(texts[k]->data, parts[k], std::strlen(parts[k]));
        std::memcpy(texts[k]->values, ends[k], sizeof(std::int32_t) * (k == 0 ? 3 : 2));
    }
    const ColumnMemory::RowSource order[] = {{0, 1}, {1, 0}, {0, 0}};
    ColumnMemory* text = ColumnMemory::gather_rows(texts, order);
    CHECK(text->data_bytes == 7 && std::memcmp(text->data, "cdexyab", 7) == 0);
    CHECK(text->offset_at(1) == 3 && text->offset_at(2) == 5 && text->offset_at(3) == 7);
    text->release();
    for (ColumnMemory* column : texts) column->release();
}

}  // namespace

int main() {
    check_counts_from_a_field();
    check_rest();
    check_gather_rows();
    return failures == 0 ? 0 : 1;
}
