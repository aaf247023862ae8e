// US-ASCII, ISO-8859-1 and Windows-1252 decoders.  The checks skip ASCII a
// word at a time; Windows-1252 needs a look at each byte above 0x7F only to
// learn whether the text fits one byte per code point (bytes 0xA0..0xFF and
// the five controls 0x81, 0x8D, 0x8F, 0x90, 0x9D decode to themselves) or
// needs two.
#include "decoder/single_byte.hpp"

#include "common/ascii.hpp"
#include "common/message.hpp"
#include "common/windows_1252.hpp"

namespace bitloom {

namespace {

// Any byte above 0x7F in the input.
bool has_non_ascii(std::span<const std::uint8_t> bytes) noexcept {
    return ascii_run_length(bytes.data(), bytes.size()) != bytes.size();
}

[[gnu::cold]] CodecError windows_1252_failure() {
    return make_error(ErrorKind::value_error, "Failed to decode Windows-1252 bytes");
}

// A byte-order mark switches the decode to the Unicode form it names; any
// error in that form fails the whole call with one fixed message.
Result<ValidatedText> after_mark(Result<ValidatedText> decoded) {
    if (!decoded) return windows_1252_failure();
    return decoded;
}

}  // namespace

Result<ValidatedText> decode_us_ascii(std::span<const std::uint8_t> bytes) {
    const std::size_t run = ascii_run_length(bytes.data(), bytes.size());
    if (run != bytes.size()) {
        return make_error(ErrorKind::value_error, "Invalid US-ASCII byte: 0x{} (must be <= 0x7F)",
                          {to_hex(bytes[run], 2)});
    }
    return ValidatedText{SourceForm::latin1, bytes, bytes.size(), kAsciiMax};
}

ValidatedText decode_iso_8859_1(std::span<const std::uint8_t> bytes) noexcept {
    return ValidatedText{SourceForm::latin1, bytes, bytes.size(),
                         has_non_ascii(bytes) ? kLatin1Max : kAsciiMax};
}

Result<ValidatedText> decode_windows_1252(std::span<const std::uint8_t> bytes) {
    const std::size_t size = bytes.size();
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return after_mark(decode_utf8(bytes.subspan(3)));
    }
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return after_mark(decode_utf16_with_endianness(bytes.subspan(2), true));
    }
    if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return after_mark(decode_utf16_with_endianness(bytes.subspan(2), false));
    }
    // Every byte is defined, so only the width of the result is to be found.
    std::uint32_t max_code_point = kAsciiMax;
    std::size_t i = ascii_run_length(bytes.data(), size);
    for (; i < size; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte < 0x80) continue;
        if (windows_1252_byte_is_wide(byte)) {
            max_code_point = kBasicPlaneMax;
            break;
        }
        max_code_point = kLatin1Max;
    }
    return ValidatedText{SourceForm::windows_1252, bytes, size, max_code_point};
}

template <class Unit>
void write_latin1_code_points(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    widen_bytes(bytes.data(), bytes.size(), out);
}

template <class Unit>
void write_windows_1252_code_points(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        // One byte per code point means no byte of the text maps elsewhere.
        widen_bytes(bytes.data(), bytes.size(), out);
    } else {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::uint8_t byte = bytes[i];
            out[i] = byte < 0x80 ? byte : kWindows1252Index[byte - 0x80];
        }
    }
}

#define BITLOOM_INSTANTIATE_WRITERS(Unit)                                                           \
    template void write_latin1_code_points<Unit>(std::span<const std::uint8_t>, Unit*) noexcept;   \
    template void write_windows_1252_code_points<Unit>(std::span<const std::uint8_t>,              \
                                                       Unit*) noexcept;

BITLOOM_INSTANTIATE_WRITERS(std::uint8_t)
BITLOOM_INSTANTIATE_WRITERS(std::uint16_t)
BITLOOM_INSTANTIATE_WRITERS(std::uint32_t)

#undef BITLOOM_INSTANTIATE_WRITERS

}  // namespace bitloom
