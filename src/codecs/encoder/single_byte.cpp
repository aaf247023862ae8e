// US-ASCII, ISO-8859-1 and Windows-1252 encoders.  The first two are range
// checks on the code point.  Windows-1252 follows the WHATWG encoder: ASCII is
// itself; any other code point is 0x80 plus its pointer in the index, and a
// code point that is not in the index fails the whole call.
#include "codecs/encoder/single_byte.hpp"

#include <algorithm>
#include <cstring>

#include "core/message.hpp"
#include "core/windows_1252.hpp"
#include "codecs/encoder/unicode.hpp"

namespace bitloom {

namespace {

// The character itself, as UTF-8, for the messages that quote it.
[[gnu::cold]] std::string character_text(std::uint32_t code_point) {
    const std::span<const std::uint32_t> one(&code_point, 1);
    std::string text(measure_utf8(one).bytes, '\0');
    write_utf8(one, reinterpret_cast<std::uint8_t*>(text.data()));
    return text;
}

// The Windows-1252 byte of a code point above U+007F, or -1.
int windows_1252_byte(std::uint32_t code_point) noexcept {
    if (code_point <= 0xFF) {
        // U+00A0..U+00FF are their own byte; of U+0080..U+009F only the five
        // controls that the index keeps at their own position are encodable.
        if (code_point >= 0xA0) return static_cast<int>(code_point);
        const bool kept = kWindows1252Index[code_point - 0x80] == code_point;
        return kept ? static_cast<int>(code_point) : -1;
    }
    const auto* entry = std::lower_bound(
        kWindows1252Beyond00FF.begin(), kWindows1252Beyond00FF.end(), code_point,
        [](Windows1252Entry e, std::uint32_t c) { return e.code_point < c; });
    if (entry == kWindows1252Beyond00FF.end() || entry->code_point != code_point) return -1;
    return entry->byte;
}

}  // namespace

template <class Unit>
Status encode_us_ascii(std::span<const Unit> code_points, std::uint8_t* out) {
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        const std::uint32_t c = code_points[i];
        if (c > 0x7F) {
            return make_error(ErrorKind::value_error, "Character '{}' (U+{}) is not valid US-ASCII",
                              {character_text(c), to_hex(c, 4)});
        }
        out[i] = static_cast<std::uint8_t>(c);
    }
    return Done{};
}

template <class Unit>
Status encode_iso_8859_1(std::span<const Unit> code_points, std::uint8_t* out) {
    if constexpr (sizeof(Unit) == 1) {
        // Latin-1 storage already holds the ISO-8859-1 bytes, copied whole
        // rather than checked character by character.
        if (!code_points.empty()) std::memcpy(out, code_points.data(), code_points.size());
        return Done{};
    }
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        const std::uint32_t c = code_points[i];
        if (c > 0xFF) {
            return make_error(ErrorKind::value_error,
                              "Character '{}' (U+{}) is not valid ISO-8859-1",
                              {character_text(c), to_hex(c, 4)});
        }
        out[i] = static_cast<std::uint8_t>(c);
    }
    return Done{};
}

template <class Unit>
Status encode_windows_1252(std::span<const Unit> code_points, std::uint8_t* out) {
    if constexpr (sizeof(Unit) == 1) {
        // Latin-1 storage is its own Windows-1252 bytes unless it holds a
        // C1 control; a branch-free count finds out, the copy is then whole.
        std::size_t controls = 0;
        for (std::size_t start = 0; start < code_points.size(); start += 255) {
            const std::size_t end = std::min(code_points.size(), start + 255);
            std::uint8_t chunk = 0;
            for (std::size_t i = start; i < end; ++i) {
                chunk = static_cast<std::uint8_t>(chunk + (code_points[i] - 0x80u < 0x20u));
            }
            controls += chunk;
        }
        if (controls == 0) {
            if (!code_points.empty()) std::memcpy(out, code_points.data(), code_points.size());
            return Done{};
        }
    }
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        const std::uint32_t c = code_points[i];
        if (c < 0x80) {
            out[i] = static_cast<std::uint8_t>(c);
            continue;
        }
        const int byte = windows_1252_byte(c);
        if (byte < 0) return make_error(ErrorKind::value_error, "Failed to encode to Windows-1252");
        out[i] = static_cast<std::uint8_t>(byte);
    }
    return Done{};
}

#define BITLOOM_INSTANTIATE_ENCODERS(Unit)                                           \
    template Status encode_us_ascii<Unit>(std::span<const Unit>, std::uint8_t*);    \
    template Status encode_iso_8859_1<Unit>(std::span<const Unit>, std::uint8_t*);  \
    template Status encode_windows_1252<Unit>(std::span<const Unit>, std::uint8_t*);

BITLOOM_INSTANTIATE_ENCODERS(std::uint8_t)
BITLOOM_INSTANTIATE_ENCODERS(std::uint16_t)
BITLOOM_INSTANTIATE_ENCODERS(std::uint32_t)

#undef BITLOOM_INSTANTIATE_ENCODERS

}  // namespace bitloom
