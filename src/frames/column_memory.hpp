// The memory of one decoded column: its values (or, for string and binary
// columns, offsets and one data buffer) and an optional validity bitmap,
// laid out as Arrow lays them out, so that numpy, Arrow and the column
// objects share the same bytes.  An array field's column is a list column:
// a fixed-size list (`list_size` values per row, row after row in one values
// buffer) or a variable-size one (`list_offsets`, length + 1 int32 offsets
// into the values buffer), its rows null where they failed to decode.
// Counted references, atomically: an Arrow
// consumer may release its array from any thread, without the interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "frames/column_types.hpp"

namespace bitloom::frames {

// Memory aligned for any value and for vector loads, on huge pages where the
// system offers them and the block is large (a fresh 4 KiB page faulted in
// per 512 values costs more than decoding them).  Null when out of memory.
void* allocate_column_bytes(std::size_t bytes) noexcept;
void free_column_bytes(void* memory) noexcept;

// One allocation that holds the values of several columns, freed with the
// last of them.
struct SharedBlock {
    std::atomic<std::size_t> users{0};
    void* memory = nullptr;
};

struct ColumnMemory {
    std::atomic<std::size_t> references{1};
    SharedBlock* block = nullptr;  // null: `values` is the column's own allocation
    ColumnType type = ColumnType::uint8;
    bool large_offsets = false;  // string and binary: int64 offsets instead of int32
    std::size_t length = 0;
    void* values = nullptr;      // numeric values, or length + 1 offsets
    std::uint8_t* data = nullptr;  // string and binary: the bytes
    std::size_t data_bytes = 0;
    std::uint8_t* validity = nullptr;  // bit i set: value i is valid; null: all are
    std::size_t null_count = 0;
    // A fixed-size list column: values per row (values holds length *
    // list_size of them); 0 for a column of single values.
    std::uint32_t list_size = 0;
    // A variable-size list column: length + 1 offsets into values (which
    // holds list_offsets[length] of them); owned.
    std::int32_t* list_offsets = nullptr;

    bool is_list() const noexcept { return list_size != 0 || list_offsets != nullptr; }
    // The values of row `index` of a list column: [first, first + count).
    std::size_t row_start(std::size_t index) const noexcept {
        return list_offsets ? static_cast<std::size_t>(list_offsets[index]) : index * list_size;
    }
    std::size_t row_size(std::size_t index) const noexcept {
        return list_offsets ? static_cast<std::size_t>(list_offsets[index + 1] - list_offsets[index]) : list_size;
    }

    // A column of `length` values of `type`, its values (or offsets)
    // allocated but not filled; null when out of memory.
    static ColumnMemory* create(ColumnType type, std::size_t length, bool large_offsets = false) noexcept;
    // A fixed-size list column of `length` rows of `list_size` numeric
    // values, allocated but not filled; null when out of memory.
    static ColumnMemory* create_fixed_list(ColumnType type, std::size_t length, std::uint32_t list_size) noexcept;
    // A variable-size list column of `length` rows and `values` numeric
    // values in all, its offsets and values allocated but not filled.
    static ColumnMemory* create_list(ColumnType type, std::size_t length, std::size_t values) noexcept;
    // Columns of `length` values, one per type (large[k]: 64-bit offsets;
    // list_sizes[k], if given: fixed-size lists of that many values),
    // whose values (or offsets) share one block: a result's columns are
    // then faulted in as a few huge pages instead of thousands of small
    // ones.  False when out of memory (`out` is then all null).
    static bool create_many(std::span<const ColumnType> types, std::span<const bool> large,
                            std::size_t length, std::span<ColumnMemory*> out,
                            std::span<const std::uint32_t> list_sizes = {}) noexcept;

    // Where a row of gather_rows comes from: row `index` of part `part`.
    struct RowSource {
        std::uint32_t part = 0;
        std::size_t index = 0;
    };
    // A column of rows.size() rows, row i a copy of the row rows[i] names
    // (values, text or a fixed-size list's values, and whether it is
    // null); the parts share a type and list size and have no variable
    // lists.  Null when out of memory.
    static ColumnMemory* gather_rows(std::span<ColumnMemory* const> parts, std::span<const RowSource> rows) noexcept;

    void retain() noexcept { references.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

    // Bytes of a value (of one element, for a list column) or an offset.
    std::size_t item_size() const noexcept {
        return has_offsets(type) ? (large_offsets ? 8 : 4) : column_type_row(type).item_size;
    }
    bool is_valid(std::size_t index) const noexcept {
        return !validity || ((validity[index / 8] >> (index % 8)) & 1) != 0;
    }
    // Where value `index` of a string or binary column lies in `data`.
    std::size_t offset_at(std::size_t index) const noexcept {
        return large_offsets ? static_cast<std::size_t>(static_cast<const std::int64_t*>(values)[index])
                             : static_cast<std::size_t>(static_cast<const std::int32_t*>(values)[index]);
    }
    // Marks value `index` null (allocating the bitmap on first use); false
    // when out of memory.
    bool set_null(std::size_t index) noexcept;

  private:
    ~ColumnMemory();
};

}  // namespace bitloom::frames
