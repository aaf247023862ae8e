// Columns as Arrow arrays, through Arrow's C data interface: the three plain
// C structures of that interface (an ABI every Arrow implementation shares)
// and the exports of columns into them.  The arrays point at the columns'
// own memory, so a consumer takes them without a copy; each holds a counted
// reference that its release callback drops, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frames/column_memory.hpp"

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace bitloom::frames {

// A column's values [offset, offset + length).
struct ColumnSlice {
    ColumnMemory* memory;  // borrowed by the call; the exports take their own reference
    std::size_t offset;
    std::size_t length;
};

// Each returns false (out of memory) with `out` untouched.
bool export_schema(ColumnType type, bool large_offsets, const std::string& name, ArrowSchema* out) noexcept;
// The schema of a column's memory: its type, or for a list column a
// fixed-size list ("+w:N") or a list ("+l") of its values' type.
bool export_column_schema(const ColumnMemory& memory, const std::string& name, ArrowSchema* out) noexcept;
// A list column is a parent array (its validity, and its offsets for "+l")
// with one child, the values of every row.
bool export_array(const ColumnSlice& column, ArrowArray* out) noexcept;

// A stream of one record batch: a struct array whose children are the
// columns, named `names` (all of one length).
bool export_stream(const std::vector<ColumnSlice>& columns, const std::vector<std::string>& names,
                   ArrowArrayStream* out) noexcept;
// The struct schema of such a stream.
bool export_struct_schema(const std::vector<ColumnSlice>& columns, const std::vector<std::string>& names,
                          ArrowSchema* out) noexcept;

}  // namespace bitloom::frames
