// The encoding names a recipe item may give, for packing and for unpacking,
// and the byte orders.  Names are matched after lowercasing; the two
// directions accept different sets (the packing side names float families
// and lets "bits" choose the member, the unpacking side names each format
// with its width).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/codec_result.hpp"
#include "core/reserved_formats.hpp"
#include "core/text_codecs.hpp"

namespace bitloom {

enum class FieldCodec : std::uint8_t {
    unsigned_integer,
    twos_complement,
    ones_complement,
    sign_magnitude,
    unpacked_bcd,
    unpacked_bcd_signed,
    packed_bcd,
    packed_bcd_signed,
    raw_bytes,
    text,
    ieee754_f16,
    ieee754_f32,
    ieee754_f64,
    ieee754_f128,
    reserved,
};
inline constexpr std::size_t kFieldCodecCount = static_cast<std::size_t>(FieldCodec::reserved) + 1;

struct FieldEncoding {
    FieldCodec codec;
    TextCodec text = TextCodec::utf8;                 // for FieldCodec::text
    ReservedFormat reserved = ReservedFormat::ti_f32;  // for FieldCodec::reserved
};

enum class ByteOrder : std::uint8_t { big, little };

enum class NameDirection : std::uint8_t { packing, unpacking };

// One row of a direction's table: a name and what it selects.
struct EncodingNameRow;

// The row for `lowered` (an item's text after lowercasing), or null.
const EncodingNameRow* find_encoding_name(NameDirection direction, std::string_view lowered);

// What the row selects for an item of `bits` bits: the family member for a
// family name, or "Unsupported encoding type: {}" with the text as the item
// holds it (`as_given`) when there is no row.
Result<FieldEncoding> select_encoding(const EncodingNameRow* row, std::string_view as_given,
                                      std::uint32_t bits);

// What select_encoding gives when it succeeds, without its error: false for
// a row that is null or a family without a member of `bits` bits.
bool encoding_for_width(const EncodingNameRow* row, std::uint32_t bits, FieldEncoding& out) noexcept;

// Whether the row names one codec whatever the width (a name that is not a
// family name), and which: then select_encoding gives `out` for every width.
bool names_one_encoding(const EncodingNameRow* row, FieldEncoding& out) noexcept;

// The rows of a direction's table, by position (for a table of the names'
// str objects, python/module_state.hpp), and a row's name.
inline constexpr std::size_t kEncodingNamesPerTable = 65;
const EncodingNameRow* encoding_name_row(NameDirection direction, std::size_t index) noexcept;
std::string_view encoding_row_name(const EncodingNameRow* row) noexcept;

Result<ByteOrder> resolve_byte_order(std::string_view lowered, std::string_view as_given);

}  // namespace bitloom
