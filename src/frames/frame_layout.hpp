// The checks a compiled recipe makes once, on the fields' codecs and
// positions, so that every field packs into bits that read back as the
// value packed.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/codec_result.hpp"
#include "core/reserved_formats.hpp"
#include "frames/frame_field.hpp"

namespace bitloom::frames {

// Refuses a field that its codec cannot pack and read back: a format
// without a conversion, a float of the wrong width, a numeric field wider
// than 64 bits, a little-endian field wider than a byte that is not whole
// bytes, text that is not whole bytes, and widths the codec itself refuses.
Status check_field(const FrameField& field, ReservedFormat reserved);

struct Overlap {
    std::size_t earlier;  // positions in the recipe; earlier < later
    std::size_t later;
};

// Two fields that share a bit (fields of no bits share none), if any.
std::optional<Overlap> find_overlap(std::span<const FrameField> fields);

}  // namespace bitloom::frames
