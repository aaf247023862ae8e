// Decoders of UTF-8, UTF-16 and UTF-32 bytes.
//
// Every text decoder works in two passes, so that the caller can allocate the
// final string once, at its final size and width.  The decode_* routine
// checks the whole input and returns a ValidatedText: the bytes that carry the
// text (a byte-order mark removed), how to read them, the number of code
// points and the largest one rounded up to the limit of its storage width.
// Nothing is written by it.  The caller then allocates room for `length` code
// points of the narrowest width that holds `max_code_point` (one, two or four
// bytes each), and the matching write_* routine fills it.  The writers trust
// that their input was validated and never fail.
//
// The single-byte decoders (decoder/single_byte.hpp) return the same
// ValidatedText; the Windows-1252 decoder hands marked input over to the
// Unicode forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/codec_result.hpp"

namespace bitloom {

// How the validated bytes are turned into code points.
enum class SourceForm : std::uint8_t {
    latin1,        // one byte per code point, of the same value (also US-ASCII)
    windows_1252,  // one byte per code point, through the WHATWG index
    utf8,
    utf16be,
    utf16le,
    utf32be,
    utf32le,
};

// The limits of the four storage widths of a str: what max_code_point holds.
inline constexpr std::uint32_t kAsciiMax = 0x7F;
inline constexpr std::uint32_t kLatin1Max = 0xFF;
inline constexpr std::uint32_t kBasicPlaneMax = 0xFFFF;
inline constexpr std::uint32_t kUnicodeMax = 0x10FFFF;

struct ValidatedText {
    SourceForm form;
    std::span<const std::uint8_t> bytes;
    std::size_t length;            // code points
    std::uint32_t max_code_point;  // kAsciiMax, kLatin1Max, kBasicPlaneMax or kUnicodeMax
};

// The storage-width limit that holds `code_point`.
constexpr std::uint32_t width_limit(std::uint32_t code_point) noexcept {
    return code_point <= kAsciiMax       ? kAsciiMax
           : code_point <= kLatin1Max     ? kLatin1Max
           : code_point <= kBasicPlaneMax ? kBasicPlaneMax
                                          : kUnicodeMax;
}

// Strict UTF-8 by the Unicode Standard's table of well-formed sequences.
Result<ValidatedText> decode_utf8(std::span<const std::uint8_t> bytes);

// A leading FE FF or FF FE is taken as a byte-order mark and removed; without
// one the bytes are big-endian.
Result<ValidatedText> decode_utf16(std::span<const std::uint8_t> bytes);
// No mark is looked for: a leading FE FF or FF FE is text.
Result<ValidatedText> decode_utf16_with_endianness(std::span<const std::uint8_t> bytes,
                                                   bool little_endian);

// A leading 00 00 FE FF or FF FE 00 00 is taken as a byte-order mark and
// removed; without one the bytes are big-endian.
Result<ValidatedText> decode_utf32(std::span<const std::uint8_t> bytes);
// No mark is looked for.
Result<ValidatedText> decode_utf32_with_endianness(std::span<const std::uint8_t> bytes,
                                                   bool little_endian);

// `out` has room for the text's `length` code points, each of which fits a
// Unit (one, two or four bytes).
template <class Unit>
void write_utf8_code_points(std::span<const std::uint8_t> bytes, Unit* out) noexcept;
template <class Unit>
void write_utf16_code_points(std::span<const std::uint8_t> bytes, bool little_endian,
                             Unit* out) noexcept;
template <class Unit>
void write_utf32_code_points(std::span<const std::uint8_t> bytes, bool little_endian,
                             Unit* out) noexcept;

}  // namespace bitloom
