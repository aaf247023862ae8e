// Decoding a dump of frames into columns, without the interpreter.
//
// The dump is read in blocks of frames that fit in the cache: each block is
// copied from the caller's bytes into private memory first (the caller's
// bytes are read once, whatever another thread does to them), then every
// field of the block is decoded before the next block, each by a loop made
// for its shape (whole aligned bytes in either order, any bits, reversed)
// and its codec.  An array field is one column of rows: a loop runs frame
// after frame over its elements and writes them row after row, so a frame's
// elements are read and written in order.  Frames split into contiguous ranges, one per thread; the
// result is the same for any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/codec_result.hpp"
#include "frames/codec_traits.hpp"
#include "frames/column_memory.hpp"
#include "frames/frame_field.hpp"

namespace bitloom::frames {

struct LoopArguments;
using ColumnLoop = void (*)(const LoopArguments& arguments);

// One compiled field, as the bulk decoder runs it.
struct ColumnPlan {
    FrameField field;        // start counted from the frame's bit 0, offset_bits included
    std::size_t field_index = 0;  // its position in the recipe
    ColumnType type = ColumnType::uint8;
    BulkDecode bulk = BulkDecode::none;
    ColumnLoop loop = nullptr;    // numeric fields
    // little_lsb0, in frames that start inside a byte: its bits are numbered
    // in the frame's bytes, so its start takes the whole bytes of
    // offset_bits and each frame begins this many bits (1..7) into a byte.
    std::uint8_t frame_phase = 0;
};

// The plan of `field` in frames whose fields start `offset_bits` in.
ColumnPlan plan_column(const FrameField& field, std::size_t field_index, std::uint64_t offset_bits) noexcept;

struct FieldFailure {
    std::size_t frame = 0;
    std::size_t field_index = 0;
    CodecError error;
    std::uint64_t element = 0;  // of an array field: the element that failed
};

struct DecodeRequest {
    std::span<const std::uint8_t> data;  // the caller's bytes: read once
    bool immutable = false;  // nothing can change `data` meanwhile (a bytes object)
    std::size_t frame_bytes = 0;
    std::size_t count = 0;          // frames; data holds at least count * frame_bytes bytes
    // Where each frame starts in `data` (count of them, each with
    // frame_bytes bytes after it in `data`), for frames that are not one
    // after the other: the packets of one key in a stream.  Null: frame i
    // starts at i * frame_bytes.
    const std::uint64_t* frame_offsets = nullptr;
    bool null_on_error = false;     // false: stop at the first failure
    bool strip_text = false;        // drop trailing U+0000 from text values
    unsigned threads = 1;
    // Called by the calling thread every few milliseconds of work; false
    // stops the decoding (an interrupt).
    bool (*poll)(void* context) = nullptr;
    void* poll_context = nullptr;
};

struct DecodeOutcome {
    // Every failure in frame, then recipe order; with null_on_error false,
    // at most one: the first.
    std::vector<FieldFailure> failures;
    bool out_of_memory = false;
    bool stopped = false;  // poll returned false
};

// Decodes every plan's column into `columns` (one per plan, each created for
// `count` values of the plan's type, or `count` rows of field.count values
// for an array field; string and binary ones get their data).  A failed
// element makes its whole row null.
// Returns false when decoding did not finish (out of memory, stopped, or a
// failure without null_on_error); failed values are null (zero, or empty,
// beneath).
bool decode_columns(const DecodeRequest& request, std::span<const ColumnPlan> plans,
                    std::span<ColumnMemory* const> columns, DecodeOutcome& outcome) noexcept;

// The elements of arrays whose length varies, one row per packet: packet i
// is sizes[i] bytes at offsets[i] of `data` (wholly inside it) and its row
// is column.list_offsets[i] to [i + 1] of `column`'s values.  `plan` is the
// plan of the array with a count of 1 (its first element where it lies in
// the packet); each packet's bytes are copied once and its elements
// decoded by the loop of a fixed array.  Stops at the first failure.
struct ListRequest {
    std::span<const std::uint8_t> data;
    std::span<const std::uint64_t> offsets;
    std::span<const std::uint64_t> sizes;
    bool (*poll)(void* context) = nullptr;
    void* poll_context = nullptr;
};
bool decode_list_rows(const ListRequest& request, const ColumnPlan& plan, ColumnMemory& column,
                      DecodeOutcome& outcome) noexcept;

// Whether the offsets of a string or binary column of `count` frames of
// `plan` may need 64 bits.
bool needs_large_offsets(const ColumnPlan& plan, std::size_t count) noexcept;

// The largest number of UTF-8 bytes the text of `plan` can decode to.
std::size_t largest_value_bytes(const ColumnPlan& plan) noexcept;

}  // namespace bitloom::frames
