// Decoding the numeric fields of many frames into columns.  Runs without
// the interpreter (the frame codec releases the GIL around it): the frames
// are plain bytes, the columns plain arrays of 64-bit slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/codec_result.hpp"
#include "frames/frame_field.hpp"

namespace bitloom::frames {

struct NumericColumn {
    const FrameField* field;
    std::size_t field_index;  // its position in the recipe
    std::uint64_t* slots;     // one per frame
};

// Where decoding stopped: the first frame with a field its codec refuses,
// and the first such field in recipe order within that frame.
struct ColumnFailure {
    std::size_t frame = 0;
    std::size_t field_index = 0;
    CodecError error;
    bool out_of_memory = false;
};

// Frame i is bytes [i * frame_bytes, (i + 1) * frame_bytes) of `data`; its
// fields start `offset_bits` into it.  Every field must lie inside a frame
// (offset_bits + the fields' end <= 8 * frame_bytes) and `data` must hold
// `count` frames.  Returns false with `failure` set when a field cannot be
// decoded; the slots of the frames before the failing one are filled.
bool decode_numeric_columns(std::span<const std::uint8_t> data, std::size_t frame_bytes,
                            std::uint64_t offset_bits, std::size_t count,
                            std::span<const NumericColumn> columns, ColumnFailure& failure) noexcept;

// Dumps repeat text and raw-byte values frame after frame (a label, a status
// word): sets repeats[i] to 1 where `field` holds the same bits in frame i as
// in frame i - 1, else to 0 (always for frame 0), for `count` frames laid out
// as above, so that a repeat can take the object of the frame before.
void mark_repeated_values(std::span<const std::uint8_t> data, std::size_t frame_bytes,
                          std::uint64_t offset_bits, std::size_t count, const FrameField& field,
                          std::uint8_t* repeats) noexcept;

}  // namespace bitloom::frames
