// Encoders of text into UTF-8, UTF-16 and UTF-32.
//
// They read the code points of a str in the width it is stored in: one byte
// (Latin-1), two (UCS-2) or four (UCS-4) per code point, the `Unit` below, so
// that text never goes through an intermediate copy.  Each form has a measure
// pass, which gives the exact number of bytes and tells whether a surrogate
// (U+D800..U+DFFF) is present, and a writer that fills a caller-provided
// buffer of exactly that size.  Surrogates are not Unicode scalar values and
// have no encoding: text holding one is refused.
//
// The writers never write a byte-order mark; callers that want one put
// kUtf16Mark or kUtf32Mark (big-endian) in front.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace bitloom {

struct EncodedSize {
    std::size_t bytes;
    bool has_surrogate;
};

inline constexpr std::array<std::uint8_t, 2> kUtf16Mark{0xFE, 0xFF};
inline constexpr std::array<std::uint8_t, 4> kUtf32Mark{0x00, 0x00, 0xFE, 0xFF};

template <class Unit>
bool contains_surrogate(std::span<const Unit> code_points) noexcept;

template <class Unit>
EncodedSize measure_utf8(std::span<const Unit> code_points) noexcept;
template <class Unit>
EncodedSize measure_utf16(std::span<const Unit> code_points) noexcept;
template <class Unit>
EncodedSize measure_utf32(std::span<const Unit> code_points) noexcept;

template <class Unit>
void write_utf8(std::span<const Unit> code_points, std::uint8_t* out) noexcept;

// measure_utf8 of text stored four bytes per code point counts with the
// widest vector path that the build and the processor have.  Each path can
// also be asked for by name, so that a test can compare them all on one
// machine; a path that is not available must not be asked for.
enum class Utf8MeasurePath : std::uint8_t { plain, sse2, avx2 };
bool utf8_measure_path_available(Utf8MeasurePath path) noexcept;
EncodedSize measure_utf8_by(Utf8MeasurePath path,
                            std::span<const std::uint32_t> code_points) noexcept;
// The UTF-16 and UTF-32 writers check for surrogates as they write and
// return false if they met one (what they wrote is then meaningless), so
// that text stored one or two bytes wide, whose encoded size is known from
// its length, is read once.
template <class Unit>
bool write_utf16(std::span<const Unit> code_points, bool little_endian,
                 std::uint8_t* out) noexcept;
template <class Unit>
bool write_utf32(std::span<const Unit> code_points, bool little_endian,
                 std::uint8_t* out) noexcept;

}  // namespace bitloom
