// Decoders of UTF-8, UTF-16 and UTF-32 bytes into a TextSink.  Each returns
// a ValueError for ill-formed input, and writes the text into the room it
// reserves in the sink otherwise.
#pragma once

#include <cstdint>
#include <span>

#include "core/codec_result.hpp"
#include "codecs/decoder/text_sink.hpp"

namespace bitloom {

// Strict UTF-8 by the Unicode Standard's table of well-formed sequences.
Status decode_utf8(std::span<const std::uint8_t> bytes, TextSink& sink);

// A leading FE FF or FF FE is taken as a byte-order mark and removed; without
// one the bytes are big-endian.
Status decode_utf16(std::span<const std::uint8_t> bytes, TextSink& sink);
// No mark is looked for: a leading FE FF or FF FE is text.
Status decode_utf16_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian,
                                    TextSink& sink);

// A leading 00 00 FE FF or FF FE 00 00 is taken as a byte-order mark and
// removed; without one the bytes are big-endian.
Status decode_utf32(std::span<const std::uint8_t> bytes, TextSink& sink);
// No mark is looked for.
Status decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian,
                                    TextSink& sink);

}  // namespace bitloom
