// The text encodings, shared by the module functions, the packet builder and
// the packet parser.
#pragma once

#include <cstdint>

namespace bitloom {

enum class TextCodec : std::uint8_t {
    utf8,
    utf16,    // big-endian with a byte-order mark; the decoder senses the mark
    utf16le,
    utf16be,
    utf32,    // big-endian with a byte-order mark; the decoder senses the mark
    utf32le,
    utf32be,
    us_ascii,
    iso_8859_1,
    windows_1252,
};

}  // namespace bitloom
