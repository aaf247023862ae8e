// Decoding a dump into columns: the interpreter's side of the bulk decoder
// (frames/bulk_decode.hpp).  The columns are made, the interpreter lock is
// released while the frames are decoded (and taken back every few
// milliseconds to look for Ctrl-C), and failures become either the
// exception of the first one or a list of records.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include <utility>
#include <vector>

#include "frames/bulk_decode.hpp"
#include "frames/column_memory.hpp"
#include "frames/frame_field.hpp"

namespace bitloom::frames {

struct DumpRequest {
    std::span<const FrameField> fields;
    PyObject* names = nullptr;  // tuple of str, one per field
    std::span<const std::uint8_t> data;
    bool immutable = false;  // a bytes object: read in place
    std::size_t frame_bytes = 0;
    std::size_t frames = 0;
    const std::uint64_t* frame_offsets = nullptr;  // see DecodeRequest
    std::uint64_t offset_bits = 0;
    bool null_on_error = false;
    bool strip_text = false;
    unsigned threads = 1;
};

// The caller's thread state while the lock is released.  poll_signals, the
// poll callback of the bulk decoder and of the packet scan (with a Released
// as its context), takes the lock back, looks for signals, and releases it
// again; false when a handler raised.
struct Released {
    PyThreadState* state = nullptr;
};
bool poll_signals(void* context);

// (columns, failures): a dict of name -> column, and a list of
// (frame, byte offset, field name, message) tuples; null with the exception
// set.  Without null_on_error the first failure is raised.
PyObject* decode_dump(const DumpRequest& request);

// The columns' memories (one per field, references owned by the holder)
// and the failures, before they become Python objects.
struct DecodedColumns {
    std::vector<ColumnMemory*> memories;
    std::vector<FieldFailure> failures;
    DecodedColumns() = default;
    DecodedColumns(const DecodedColumns&) = delete;
    DecodedColumns& operator=(const DecodedColumns&) = delete;
    DecodedColumns(DecodedColumns&& other) noexcept
        : memories(std::move(other.memories)), failures(std::move(other.failures)) {}
    DecodedColumns& operator=(DecodedColumns&& other) noexcept {
        std::swap(memories, other.memories);
        std::swap(failures, other.failures);
        return *this;
    }
    ~DecodedColumns() {
        for (ColumnMemory* memory : memories) {
            if (memory) memory->release();
        }
    }
};

// decode_dump without the Python objects: false with the exception set.
bool decode_to_columns(const DumpRequest& request, DecodedColumns& out);

// Parses errors= ("raise" or "null") and threads= (None for the default, or
// a positive int); null objects mean not given.
bool parse_errors_option(PyObject* object, bool& null_on_error);
bool parse_threads_option(PyObject* object, unsigned& threads);

}  // namespace bitloom::frames
