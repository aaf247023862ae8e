// Decoders of the single-byte character sets US-ASCII, ISO-8859-1 and
// Windows-1252, in the two passes described in decoder/unicode.hpp: a check
// that returns a ValidatedText, then a writer into caller-provided storage.
#pragma once

#include <cstdint>
#include <span>

#include "common/codec_result.hpp"
#include "decoder/unicode.hpp"

namespace bitloom {

Result<ValidatedText> decode_us_ascii(std::span<const std::uint8_t> bytes);
// Every byte is a character: this never fails.
ValidatedText decode_iso_8859_1(std::span<const std::uint8_t> bytes) noexcept;
// The WHATWG decode with byte-order-mark sniffing: input that begins with a
// UTF-8 or UTF-16 mark is decoded (strictly) in that form instead.
Result<ValidatedText> decode_windows_1252(std::span<const std::uint8_t> bytes);

// Writers for SourceForm::latin1 and SourceForm::windows_1252.
template <class Unit>
void write_latin1_code_points(std::span<const std::uint8_t> bytes, Unit* out) noexcept;
template <class Unit>
void write_windows_1252_code_points(std::span<const std::uint8_t> bytes, Unit* out) noexcept;

}  // namespace bitloom
