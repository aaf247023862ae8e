// Encoders of text into the single-byte character sets US-ASCII, ISO-8859-1
// and Windows-1252 (the WHATWG encoder).  Like the Unicode encoders they read
// the code points of a str in its storage width (`Unit`: one, two or four
// bytes).  Every code point becomes exactly one byte, so the caller provides
// `out` with room for code_points.size() bytes.  The first code point that the
// character set lacks ends the call with its ValueError; what was written
// before it is then meaningless and must be discarded.  Nothing is ever
// substituted.
#pragma once

#include <cstdint>
#include <span>

#include "core/codec_result.hpp"

namespace bitloom {

template <class Unit>
Status encode_us_ascii(std::span<const Unit> code_points, std::uint8_t* out);
template <class Unit>
Status encode_iso_8859_1(std::span<const Unit> code_points, std::uint8_t* out);
template <class Unit>
Status encode_windows_1252(std::span<const Unit> code_points, std::uint8_t* out);

}  // namespace bitloom
