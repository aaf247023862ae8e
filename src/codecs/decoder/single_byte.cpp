// US-ASCII, ISO-8859-1 and Windows-1252 decoders.  The checks skip ASCII a
// word at a time; Windows-1252 needs a look at each byte above 0x7F only to
// learn whether the text fits one byte per code point (bytes 0xA0..0xFF and
// the five controls 0x81, 0x8D, 0x8F, 0x90, 0x9D decode to themselves) or
// needs two.
#include "codecs/decoder/single_byte.hpp"

#include "core/ascii.hpp"
#include "core/message.hpp"
#include "core/windows_1252.hpp"
#include "codecs/decoder/unicode.hpp"

namespace bitloom {

namespace {

// Each byte becomes the code point of the same value.
Status write_bytes(std::span<const std::uint8_t> bytes, std::uint32_t max_code_point,
                   TextSink& sink) {
    return write_into(sink, bytes.size(), max_code_point, [&](auto* out) -> Status {
        widen_bytes(bytes.data(), bytes.size(), out);
        return Done{};
    });
}

}  // namespace

Status decode_us_ascii(std::span<const std::uint8_t> bytes, TextSink& sink) {
    const std::size_t run = ascii_run_length(bytes.data(), bytes.size());
    if (run != bytes.size()) {
        return make_error(ErrorKind::value_error, "Invalid US-ASCII byte: 0x{} (must be <= 0x7F)",
                          {to_hex(bytes[run], 2)});
    }
    return write_bytes(bytes, kAsciiMax, sink);
}

Status decode_iso_8859_1(std::span<const std::uint8_t> bytes, TextSink& sink) {
    const bool ascii = ascii_run_length(bytes.data(), bytes.size()) == bytes.size();
    return write_bytes(bytes, ascii ? kAsciiMax : kLatin1Max, sink);
}

Status decode_windows_1252(std::span<const std::uint8_t> bytes, TextSink& sink) {
    const std::size_t size = bytes.size();
    // A byte-order mark switches the decode to the Unicode form it names; any
    // error in that form fails the whole call with one fixed message.
    Status marked = Done{};
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        marked = decode_utf8(bytes.subspan(3), sink);
    } else if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        marked = decode_utf16_with_endianness(bytes.subspan(2), true, sink);
    } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        marked = decode_utf16_with_endianness(bytes.subspan(2), false, sink);
    } else {
        // Every byte is defined, so only the width of the text is to be found.
        std::uint32_t max_code_point = kAsciiMax;
        for (std::size_t i = ascii_run_length(bytes.data(), size); i < size; ++i) {
            const std::uint8_t byte = bytes[i];
            if (byte < 0x80) continue;
            if (kWindows1252Index[byte - 0x80] > 0xFF) {
                max_code_point = kBasicPlaneMax;
                break;
            }
            max_code_point = kLatin1Max;
        }
        return write_into(sink, size, max_code_point, [&](auto* out) -> Status {
            if constexpr (sizeof(*out) == 1) {
                // One byte per code point: no byte of the text maps elsewhere.
                widen_bytes(bytes.data(), size, out);
            } else {
                for (std::size_t i = 0; i < size; ++i) {
                    const std::uint8_t byte = bytes[i];
                    out[i] = byte < 0x80 ? byte : kWindows1252Index[byte - 0x80];
                }
            }
            return Done{};
        });
    }
    if (!marked) return make_error(ErrorKind::value_error, "Failed to decode Windows-1252 bytes");
    return marked;
}

}  // namespace bitloom
