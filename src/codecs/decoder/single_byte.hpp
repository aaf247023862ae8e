// Decoders of the single-byte character sets US-ASCII, ISO-8859-1 and
// Windows-1252 into a TextSink (decoder/text_sink.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "core/codec_result.hpp"
#include "codecs/decoder/text_sink.hpp"

namespace bitloom {

Status decode_us_ascii(std::span<const std::uint8_t> bytes, TextSink& sink);
// Every byte is a character: this fails only when the sink has no room.
Status decode_iso_8859_1(std::span<const std::uint8_t> bytes, TextSink& sink);
// The WHATWG decode with byte-order-mark sniffing: input that begins with a
// UTF-8 or UTF-16 mark is decoded (strictly) in that form instead.
Status decode_windows_1252(std::span<const std::uint8_t> bytes, TextSink& sink);

}  // namespace bitloom
