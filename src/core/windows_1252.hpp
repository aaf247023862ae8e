// The WHATWG index single-byte windows-1252: the code point of every byte
// 0x80..0xFF (pointer = byte - 0x80).  Every byte is defined.  Unlike the
// vendor tables that leave 0x81, 0x8D, 0x8F, 0x90 and 0x9D unassigned, this
// index maps those five to the C1 controls of the same value, so that any
// byte string decodes and those controls encode back to their byte.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace bitloom {

inline constexpr std::array<std::uint16_t, 128> kWindows1252Index = [] {
    std::array<std::uint16_t, 128> index{
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
    };
    // 0xA0..0xFF are Latin-1: the byte's own value.
    for (std::uint16_t byte = 0xA0; byte <= 0xFF; ++byte) index[byte - 0x80] = byte;
    return index;
}();

struct Windows1252Entry {
    std::uint16_t code_point;
    std::uint8_t byte;
};

// The index entries above U+00FF, sorted by code point, for the encoder's
// reverse look-up.  Code points up to U+00FF are either their own byte or not
// in the index at all (U+0080..U+009F except the five controls).
inline constexpr auto kWindows1252Beyond00FF = [] {
    constexpr auto count = std::count_if(kWindows1252Index.begin(), kWindows1252Index.end(),
                                         [](std::uint16_t c) { return c > 0xFF; });
    std::array<Windows1252Entry, count> entries{};
    std::size_t next = 0;
    for (std::size_t pointer = 0; pointer < kWindows1252Index.size(); ++pointer) {
        if (kWindows1252Index[pointer] > 0xFF) {
            entries[next++] = {kWindows1252Index[pointer],
                               static_cast<std::uint8_t>(0x80 + pointer)};
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](Windows1252Entry a, Windows1252Entry b) { return a.code_point < b.code_point; });
    return entries;
}();

}  // namespace bitloom
