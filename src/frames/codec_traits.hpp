// What the frame codec knows of each field codec, one row per codec beside
// its row of the field-codec table: the widths it takes, the column type of
// its values at a width, and how whole columns of it are decoded.  Nothing
// outside this table asks which codec a field has.
#pragma once

#include <cstdint>

#include "recipe/encoding_names.hpp"
#include "frames/column_types.hpp"

namespace bitloom::frames {

// How a column of a codec is decoded in bulk.
enum class BulkDecode : std::uint8_t {
    unsigned_bits,    // the field value itself
    twos_complement,  // the field value, sign-extended
    float16,          // binary16 bits, widened to binary32
    float32,
    float64,
    slot,             // the codec's slot decoder (may refuse a value)
    float128,         // 128 bits, rounded to binary64
    text,             // the text codec's decoder, into UTF-8
    raw_bytes,        // the field's bytes
    none,             // no conversion: refused when the codec is made
};

struct CodecTraits {
    FieldCodec codec;
    BulkDecode bulk;
    std::uint32_t only_width;  // the one width the codec takes, or 0 for any
    bool numeric;              // a number of up to 64 bits (binary128: 128), decoded to a value
    ColumnType (*column_type)(std::uint32_t bits);
};

const CodecTraits& codec_traits(FieldCodec codec) noexcept;

inline ColumnType column_type_of(FieldCodec codec, std::uint32_t bits) noexcept {
    return codec_traits(codec).column_type(bits);
}

}  // namespace bitloom::frames
