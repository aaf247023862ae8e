// UTF-8, UTF-16 and UTF-32 encoders over code points stored one, two or four
// bytes wide.  The measure loops are branch-free sums so that the compiler can
// vectorise them; the writers take the byte order as a template parameter so
// that the inner loops do not test it per code unit, and store whole units
// through memcpy.
#include "codecs/encoder/unicode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/ascii.hpp"
#include "core/bits.hpp"
#include "core/simd.hpp"

// AVX2 doubles the lanes of the four-byte UTF-8 count, and its byte shuffle
// spreads Latin-1 text into UTF-8 eight code points a step; both are chosen at
// run time (core/simd.hpp).

namespace bitloom {

namespace {

// A 16-bit unit in the requested byte order, stored through memcpy.  The
// swap is written as shifts so that the compiler can vectorise the loops.
template <bool LittleEndian>
inline void put_unit16(std::uint8_t* out, std::uint32_t value) noexcept {
    auto unit = static_cast<std::uint16_t>(value);
    if constexpr (!LittleEndian) unit = static_cast<std::uint16_t>((unit << 8) | (unit >> 8));
    if constexpr (std::endian::native == std::endian::big) {
        unit = static_cast<std::uint16_t>((unit << 8) | (unit >> 8));
    }
    std::memcpy(out, &unit, sizeof unit);
}

template <bool LittleEndian>
inline void put_unit32(std::uint8_t* out, std::uint32_t value) noexcept {
    if constexpr (!LittleEndian) {
        value = (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) |
                (value << 24);
    }
    if constexpr (std::endian::native == std::endian::big) value = byte_swap32(value);
    std::memcpy(out, &value, sizeof value);
}

#if BITLOOM_SSE2
// Sixteen 16-bit units (two registers) of the byte order asked for and of the
// native (little-endian) x86 order, from sixteen one-byte code points.
template <bool LittleEndian>
inline void store_bytes_as_units16(std::uint8_t* out, __m128i bytes) noexcept {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (LittleEndian) {
        store16(out, _mm_unpacklo_epi8(bytes, zero));
        store16(out + 16, _mm_unpackhi_epi8(bytes, zero));
    } else {
        store16(out, _mm_unpacklo_epi8(zero, bytes));
        store16(out + 16, _mm_unpackhi_epi8(zero, bytes));
    }
}

// Eight 16-bit code points as eight 32-bit units in the order asked for.
template <bool LittleEndian>
inline void store_units16_as_units32(std::uint8_t* out, __m128i units) noexcept {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (LittleEndian) {
        store16(out, _mm_unpacklo_epi16(units, zero));
        store16(out + 16, _mm_unpackhi_epi16(units, zero));
    } else {
        const __m128i swapped = byte_swap_lanes16(units);
        store16(out, _mm_unpacklo_epi16(zero, swapped));
        store16(out + 16, _mm_unpackhi_epi16(zero, swapped));
    }
}
#endif

// The writers of UTF-16 and UTF-32 check for surrogates as they go and
// return false when the text held one (what they wrote is then meaningless):
// text stored one or two bytes wide needs no measuring pass before them.
template <bool LittleEndian, class Unit>
bool write_utf16_in_order(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    [[maybe_unused]] constexpr bool kNative = std::endian::native == std::endian::little;
    const std::size_t size = code_points.size();
    const Unit* data = code_points.data();
    std::size_t i = 0;
    if constexpr (sizeof(Unit) == 1) {
#if BITLOOM_SSE2
        if constexpr (kNative) {
            for (; size - i >= 16; i += 16) {
                store_bytes_as_units16<LittleEndian>(out + 2 * i, load16(data + i));
            }
        }
#endif
        for (; i < size; ++i) put_unit16<LittleEndian>(out + 2 * i, data[i]);
        return true;
    } else if constexpr (sizeof(Unit) == 2) {
        std::uint32_t surrogates = 0;
#if BITLOOM_SSE2
        if constexpr (kNative) {
            __m128i found = _mm_setzero_si128();
            const __m128i mask = _mm_set1_epi16(static_cast<short>(0xF800));
            const __m128i block = _mm_set1_epi16(static_cast<short>(0xD800));
            for (; size - i >= 8; i += 8) {
                __m128i units = load16(data + i);
                found = _mm_or_si128(found, _mm_cmpeq_epi16(_mm_and_si128(units, mask), block));
                if constexpr (!LittleEndian) units = byte_swap_lanes16(units);
                store16(out + 2 * i, units);
            }
            surrogates = static_cast<std::uint32_t>(_mm_movemask_epi8(found));
        }
#endif
        for (; i < size; ++i) {
            const std::uint32_t c = data[i];
            surrogates |= static_cast<std::uint32_t>((c & 0xF800) == 0xD800);
            put_unit16<LittleEndian>(out + 2 * i, c);
        }
        return surrogates == 0;
    } else {
        std::uint32_t surrogates = 0;
        const auto put_code_point = [&](std::uint32_t c) {
            if (c < 0x10000) {
                surrogates |= static_cast<std::uint32_t>((c & 0xF800) == 0xD800);
                put_unit16<LittleEndian>(out, c);
                out += 2;
            } else {
                const std::uint32_t v = c - 0x10000;
                put_unit16<LittleEndian>(out, 0xD800 + (v >> 10));
                put_unit16<LittleEndian>(out + 2, 0xDC00 + (v & 0x3FF));
                out += 4;
            }
        };
#if BITLOOM_SSE2
        if constexpr (kNative) {
            // Eight code points of the basic plane are eight units: checked
            // for surrogates and packed to 16 bits (moved into the signed
            // range for the saturating pack, and back).  A block with a pair
            // is written code point by code point.
            const __m128i bias32 = _mm_set1_epi32(0x8000);
            const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
            const __m128i basic_plane = _mm_set1_epi32(0xFFFF);
            const __m128i mask = _mm_set1_epi16(static_cast<short>(0xF800));
            const __m128i block = _mm_set1_epi16(static_cast<short>(0xD800));
            for (; size - i > 8; i += 8) {
                const __m128i low = load16(data + i);
                const __m128i high = load16(data + i + 4);
                const __m128i beyond = _mm_or_si128(_mm_cmpgt_epi32(low, basic_plane),
                                                    _mm_cmpgt_epi32(high, basic_plane));
                if (_mm_movemask_epi8(beyond) != 0) {
                    for (std::size_t k = 0; k < 8; ++k) put_code_point(data[i + k]);
                    continue;
                }
                __m128i units = _mm_add_epi16(
                    _mm_packs_epi32(_mm_sub_epi32(low, bias32), _mm_sub_epi32(high, bias32)), bias16);
                surrogates |= static_cast<std::uint32_t>(
                    _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, mask), block)));
                if constexpr (!LittleEndian) units = byte_swap_lanes16(units);
                store16(out, units);
                out += 16;
            }
        }
#endif
        for (; i < size; ++i) put_code_point(data[i]);
        return surrogates == 0;
    }
}

template <bool LittleEndian, class Unit>
bool write_utf32_in_order(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    [[maybe_unused]] constexpr bool kNative = std::endian::native == std::endian::little;
    const std::size_t size = code_points.size();
    const Unit* data = code_points.data();
    std::size_t i = 0;
    std::uint32_t surrogates = 0;
#if BITLOOM_SSE2
    if constexpr (kNative) {
        const __m128i zero = _mm_setzero_si128();
        if constexpr (sizeof(Unit) == 1) {
            for (; size - i >= 16; i += 16) {
                const __m128i bytes = load16(data + i);
                // Each byte widened to 16 bits, then to 32 bits in order.
                const __m128i low = _mm_unpacklo_epi8(bytes, zero);
                const __m128i high = _mm_unpackhi_epi8(bytes, zero);
                store_units16_as_units32<LittleEndian>(out + 4 * i, low);
                store_units16_as_units32<LittleEndian>(out + 4 * i + 32, high);
            }
        } else if constexpr (sizeof(Unit) == 2) {
            __m128i found = zero;
            const __m128i mask = _mm_set1_epi16(static_cast<short>(0xF800));
            const __m128i block = _mm_set1_epi16(static_cast<short>(0xD800));
            for (; size - i >= 8; i += 8) {
                const __m128i units = load16(data + i);
                found = _mm_or_si128(found, _mm_cmpeq_epi16(_mm_and_si128(units, mask), block));
                store_units16_as_units32<LittleEndian>(out + 4 * i, units);
            }
            surrogates = static_cast<std::uint32_t>(_mm_movemask_epi8(found));
        } else {
            // Four code points a step, swapped as a block in the other byte
            // order (the compiler makes one bswap per code point of the
            // shifts, and SSE2 has no byte shuffle).
            __m128i found = zero;
            const __m128i mask = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
            const __m128i block = _mm_set1_epi32(0xD800);
            for (; size - i >= 4; i += 4) {
                __m128i units = load16(data + i);
                found = _mm_or_si128(found, _mm_cmpeq_epi32(_mm_and_si128(units, mask), block));
                if constexpr (!LittleEndian) units = byte_swap_lanes32(units);
                store16(out + 4 * i, units);
            }
            surrogates = static_cast<std::uint32_t>(_mm_movemask_epi8(found));
        }
    }
#endif
    for (; i < size; ++i) {
        const std::uint32_t c = data[i];
        if constexpr (sizeof(Unit) > 1) {
            surrogates |= static_cast<std::uint32_t>((c & 0xFFFFF800u) == 0xD800u);
        }
        put_unit32<LittleEndian>(out + 4 * i, c);
    }
    return surrogates == 0;
}

#if BITLOOM_AVX2
// For every pattern of wide code points among eight (bit k: code point k is
// U+0080 or above), the shuffle that takes their interleaved byte pairs
// (first byte at 2k, second at 2k + 1) to their UTF-8: the first byte of
// every code point, and the second of the wide ones.
struct Latin1Spread {
    alignas(16) std::uint8_t shuffle[256][16];
};
inline constexpr Latin1Spread kLatin1Spread = [] {
    Latin1Spread table{};
    for (unsigned wide = 0; wide < 256; ++wide) {
        unsigned next = 0;
        for (unsigned k = 0; k < 8; ++k) {
            table.shuffle[wide][next++] = static_cast<std::uint8_t>(2 * k);
            if ((wide >> k) & 1) table.shuffle[wide][next++] = static_cast<std::uint8_t>(2 * k + 1);
        }
        while (next < 16) table.shuffle[wide][next++] = 0x80;  // a zero byte
    }
    return table;
}();

// Latin-1 text into UTF-8 sixteen code points a step while at least 32 are
// left (each 16-byte store then stays within what the rest will take);
// returns how many it wrote, `out` moved past them.
[[gnu::target("avx2,popcnt")]] std::size_t write_latin1_utf8_avx2(const std::uint8_t* text,
                                                                   std::size_t size,
                                                                   std::uint8_t*& out) noexcept {
    std::size_t i = 0;
    for (; size - i >= 32; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const auto wide = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (wide == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
            out += 16;
            continue;
        }
        const __m128i is_wide = _mm_cmplt_epi8(block, _mm_setzero_si128());
        const __m128i lead = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(block, 6), _mm_set1_epi8(0x03)),
                                          _mm_set1_epi8(static_cast<char>(0xC0)));
        const __m128i first = _mm_blendv_epi8(block, lead, is_wide);
        const __m128i second = _mm_or_si128(_mm_and_si128(block, _mm_set1_epi8(0x3F)),
                                            _mm_set1_epi8(static_cast<char>(0x80)));
        const unsigned low = wide & 0xFF;
        const unsigned high = wide >> 8;
        const __m128i low_pairs = _mm_unpacklo_epi8(first, second);
        const __m128i high_pairs = _mm_unpackhi_epi8(first, second);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(low_pairs, _mm_load_si128(reinterpret_cast<const __m128i*>(
                                                         kLatin1Spread.shuffle[low]))));
        out += 8 + static_cast<unsigned>(__builtin_popcount(low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(high_pairs, _mm_load_si128(reinterpret_cast<const __m128i*>(
                                                          kLatin1Spread.shuffle[high]))));
        out += 8 + static_cast<unsigned>(__builtin_popcount(high));
    }
    return i;
}
#endif

// The sums of step(c) over the code points, where step gives each code
// point's two counts (its extra bytes, and whether it is a surrogate) as a
// pair.  The counts go into accumulators as narrow as the code points
// themselves, over chunks short enough that they cannot overflow (a count
// adds at most 2 for one-byte and 3 for wider units), so that the compiler
// can count a full vector of code points per instruction without widening
// every lane to 64 bits.  Both counts come from the same load: a 1 MiB text
// stored four bytes per code point is read once, not once per count.
template <class Unit>
struct UnitCounts {
    Unit first;
    Unit second;
};

struct Counts {
    std::size_t first = 0;
    std::size_t second = 0;
};

template <class Unit, class Step>
Counts sum_in_chunks(std::span<const Unit> code_points, Step step) noexcept {
    constexpr std::size_t kChunk = sizeof(Unit) == 1 ? 127 : 16383;
    Counts total;
    for (std::size_t start = 0; start < code_points.size(); start += kChunk) {
        const std::size_t end = std::min(code_points.size(), start + kChunk);
        Unit first = 0;
        Unit second = 0;
        for (std::size_t i = start; i < end; ++i) {
            const UnitCounts<Unit> counts = step(code_points[i]);
            first = static_cast<Unit>(first + counts.first);
            second = static_cast<Unit>(second + counts.second);
        }
        total.first += first;
        total.second += second;
    }
    return total;
}

template <class Unit>
constexpr Unit is_surrogate(Unit c) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return 0;
    } else {
        return static_cast<Unit>((c & 0xFFFFF800u) == 0xD800u);
    }
}

#if BITLOOM_SSE2
// The UTF-8 counts of code points stored four bytes wide, eight per step in
// 16-bit lanes, for a prefix of whole steps (`counted` code points).  Text
// stored four bytes wide has a code point from U+10000 on, so it is mostly
// not ASCII, and the plain loop, four 32-bit lanes a step with three compares
// and a surrogate test on each, is bound by its instruction count.  Here
// c >> 5 is packed to 16 bits with signed saturation (code points stop at
// U+10FFFF, so c >> 5 is below 0x8880 and only values that no threshold
// needs are saturated to 0x7FFF), and with t = c >> 5:
//   c >= U+0080 is t > 3, c >= U+0800 is t > 0x3F, c >= U+10000 is t > 0x7FF,
//   U+D800 <= c <= U+DFFF is t >> 6 == 0x1B (t from 0x6C0 to 0x6FF).
// A lane gains at most 3 a step, so 16-bit lanes are summed every 16384 steps.
Counts count_utf8_four_byte_units_sse2(std::span<const std::uint32_t> code_points,
                                      std::size_t& counted) noexcept {
    constexpr std::size_t kStepsPerChunk = 16384;
    const __m128i above_ascii = _mm_set1_epi16(0x3);
    const __m128i above_two_bytes = _mm_set1_epi16(0x3F);
    const __m128i above_three_bytes = _mm_set1_epi16(0x7FF);
    const __m128i surrogate_block = _mm_set1_epi16(0x1B);
    const std::uint32_t* data = code_points.data();
    const std::size_t steps = code_points.size() / 8;
    Counts total;
    for (std::size_t step = 0; step < steps;) {
        const std::size_t end = std::min(steps, step + kStepsPerChunk);
        __m128i extra = _mm_setzero_si128();
        __m128i surrogates = _mm_setzero_si128();
        for (; step < end; ++step) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 8 * step));
            const __m128i high =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 8 * step + 4));
            const __m128i t = _mm_packs_epi32(_mm_srli_epi32(low, 5), _mm_srli_epi32(high, 5));
            // A true compare is all ones (-1) in its lane: subtracting it counts 1.
            extra = _mm_sub_epi16(extra, _mm_cmpgt_epi16(t, above_ascii));
            extra = _mm_sub_epi16(extra, _mm_cmpgt_epi16(t, above_two_bytes));
            extra = _mm_sub_epi16(extra, _mm_cmpgt_epi16(t, above_three_bytes));
            surrogates =
                _mm_sub_epi16(surrogates, _mm_cmpeq_epi16(_mm_srli_epi16(t, 6), surrogate_block));
        }
        alignas(16) std::uint16_t lanes[2][8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), extra);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), surrogates);
        for (std::size_t lane = 0; lane < 8; ++lane) {
            total.first += lanes[0][lane];
            total.second += lanes[1][lane];
        }
    }
    counted = 8 * steps;
    return total;
}
#endif

#if BITLOOM_AVX2
// count_utf8_four_byte_units_sse2 with sixteen code points per step.  The
// 256-bit pack works within each 128-bit half, so the lanes hold the code
// points out of order, which a count does not mind.
[[gnu::target("avx2")]] Counts count_utf8_four_byte_units_avx2(
    std::span<const std::uint32_t> code_points, std::size_t& counted) noexcept {
    constexpr std::size_t kStepsPerChunk = 16384;
    const __m256i above_ascii = _mm256_set1_epi16(0x3);
    const __m256i above_two_bytes = _mm256_set1_epi16(0x3F);
    const __m256i above_three_bytes = _mm256_set1_epi16(0x7FF);
    const __m256i surrogate_block = _mm256_set1_epi16(0x1B);
    const std::uint32_t* data = code_points.data();
    const std::size_t steps = code_points.size() / 16;
    Counts total;
    for (std::size_t step = 0; step < steps;) {
        const std::size_t end = std::min(steps, step + kStepsPerChunk);
        __m256i extra = _mm256_setzero_si256();
        __m256i surrogates = _mm256_setzero_si256();
        for (; step < end; ++step) {
            const __m256i low =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 16 * step));
            const __m256i high =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 16 * step + 8));
            const __m256i t =
                _mm256_packs_epi32(_mm256_srli_epi32(low, 5), _mm256_srli_epi32(high, 5));
            extra = _mm256_sub_epi16(extra, _mm256_cmpgt_epi16(t, above_ascii));
            extra = _mm256_sub_epi16(extra, _mm256_cmpgt_epi16(t, above_two_bytes));
            extra = _mm256_sub_epi16(extra, _mm256_cmpgt_epi16(t, above_three_bytes));
            surrogates = _mm256_sub_epi16(
                surrogates, _mm256_cmpeq_epi16(_mm256_srli_epi16(t, 6), surrogate_block));
        }
        alignas(32) std::uint16_t lanes[2][16];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), extra);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), surrogates);
        for (std::size_t lane = 0; lane < 16; ++lane) {
            total.first += lanes[0][lane];
            total.second += lanes[1][lane];
        }
    }
    counted = 16 * steps;
    return total;
}

#endif

// The UTF-8 length of text stored four bytes per code point, by `path`.
EncodedSize measure_four_byte_utf8(std::span<const std::uint32_t> code_points,
                                   [[maybe_unused]] Utf8MeasurePath path) noexcept {
    std::size_t counted = 0;
    Counts simd;
#if BITLOOM_AVX2
    if (path == Utf8MeasurePath::avx2) simd = count_utf8_four_byte_units_avx2(code_points, counted);
#endif
#if BITLOOM_SSE2
    if (path == Utf8MeasurePath::sse2) simd = count_utf8_four_byte_units_sse2(code_points, counted);
#endif
    // Every code point takes one byte, plus one from U+0080, U+0800 and U+10000 on.
    const Counts rest = sum_in_chunks(code_points.subspan(counted), [](std::uint32_t c) {
        return UnitCounts<std::uint32_t>{
            std::uint32_t{c >= 0x80} + std::uint32_t{c >= 0x800} + std::uint32_t{c >= 0x10000},
            is_surrogate(c)};
    });
    return {code_points.size() + simd.first + rest.first, simd.second + rest.second != 0};
}

}  // namespace

bool utf8_measure_path_available(Utf8MeasurePath path) noexcept {
    switch (path) {
        case Utf8MeasurePath::plain: return true;
        case Utf8MeasurePath::sse2: return BITLOOM_SSE2 != 0;
        case Utf8MeasurePath::avx2:
#if BITLOOM_AVX2
            return processor_has_avx2();
#else
            return false;
#endif
    }
    return false;
}

EncodedSize measure_utf8_by(Utf8MeasurePath path,
                            std::span<const std::uint32_t> code_points) noexcept {
    return measure_four_byte_utf8(code_points, path);
}

template <class Unit>
bool contains_surrogate(std::span<const Unit> code_points) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return false;
    } else {
        // Counted rather than searched: a branch-free count vectorises.
        return sum_in_chunks(code_points, [](Unit c) {
                   return UnitCounts<Unit>{is_surrogate(c), 0};
               }).first != 0;
    }
}

template <class Unit>
EncodedSize measure_utf8(std::span<const Unit> code_points) noexcept {
    if constexpr (sizeof(Unit) == 4) {
        const Utf8MeasurePath path = utf8_measure_path_available(Utf8MeasurePath::avx2)
                                         ? Utf8MeasurePath::avx2
                                         : BITLOOM_SSE2 ? Utf8MeasurePath::sse2
                                                        : Utf8MeasurePath::plain;
        return measure_four_byte_utf8(code_points, path);
    } else {
        // Every code point takes one byte, plus one from U+0080 and U+0800 on.
        const Counts counts = sum_in_chunks(code_points, [](Unit c) {
            Unit extra;
            if constexpr (sizeof(Unit) == 1) {
                extra = static_cast<Unit>(c >> 7);
            } else {
                extra = static_cast<Unit>(Unit{c >= 0x80} + Unit{c >= 0x800});
            }
            return UnitCounts<Unit>{extra, is_surrogate(c)};
        });
        return {code_points.size() + counts.first, counts.second != 0};
    }
}

template <class Unit>
EncodedSize measure_utf16(std::span<const Unit> code_points) noexcept {
    if constexpr (sizeof(Unit) == 4) {
        const Counts counts = sum_in_chunks(code_points, [](Unit c) {
            return UnitCounts<Unit>{Unit{c >= 0x10000}, is_surrogate(c)};
        });
        return {2 * (code_points.size() + counts.first), counts.second != 0};
    } else {
        return {2 * code_points.size(), contains_surrogate(code_points)};
    }
}

template <class Unit>
EncodedSize measure_utf32(std::span<const Unit> code_points) noexcept {
    return {4 * code_points.size(), contains_surrogate(code_points)};
}

template <class Unit>
void write_utf8(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    const std::size_t size = code_points.size();
    std::size_t i = 0;
    if constexpr (sizeof(Unit) == 1) {
        // Latin-1 storage, eight code points at a time: copied when all are
        // ASCII, else each written without a branch as two bytes of which
        // the second counts only above U+007F.  Writing the second byte is
        // safe while another code point follows, which will take at least
        // that byte; the last code point is written by the loop below.
#if BITLOOM_AVX2
        if (processor_has_avx2()) i = write_latin1_utf8_avx2(code_points.data(), size, out);
#endif
#if BITLOOM_SSE2
        // Sixteen at a time: the two bytes of every code point computed
        // together and interleaved, then stored pair by pair.
        while (size - i > 16) {
            const __m128i block = load16(code_points.data() + i);
            const auto wide = static_cast<unsigned>(_mm_movemask_epi8(block));
            if (wide == 0) {
                store16(out, block);
                out += 16;
                i += 16;
                continue;
            }
            const __m128i ascii = _mm_cmplt_epi8(block, _mm_setzero_si128());  // all ones: wide
            const __m128i lead = _mm_or_si128(
                _mm_and_si128(_mm_srli_epi16(block, 6), _mm_set1_epi8(0x03)),
                _mm_set1_epi8(static_cast<char>(0xC0)));
            const __m128i first = _mm_or_si128(_mm_and_si128(ascii, lead), _mm_andnot_si128(ascii, block));
            const __m128i second = _mm_or_si128(_mm_and_si128(block, _mm_set1_epi8(0x3F)),
                                                _mm_set1_epi8(static_cast<char>(0x80)));
            alignas(16) std::uint8_t pairs[32];
            _mm_store_si128(reinterpret_cast<__m128i*>(pairs), _mm_unpacklo_epi8(first, second));
            _mm_store_si128(reinterpret_cast<__m128i*>(pairs + 16), _mm_unpackhi_epi8(first, second));
            for (unsigned k = 0; k < 16; ++k) {
                std::memcpy(out, pairs + 2 * k, 2);
                out += 1 + ((wide >> k) & 1);
            }
            i += 16;
        }
#endif
        while (i + 8 < size) {
            if ((load_word(code_points.data() + i) & kHighBitOfEveryByte) == 0) {
                std::memcpy(out, code_points.data() + i, 8);
                out += 8;
                i += 8;
                continue;
            }
            for (const std::size_t end = i + 8; i < end; ++i) {
                const std::uint32_t c = code_points[i];
                const bool wide = c >= 0x80;
                out[0] = static_cast<std::uint8_t>(wide ? 0xC0 | (c >> 6) : c);
                out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
                out += 1 + std::size_t{wide};
            }
        }
    }
    for (; i < size; ++i) {
        const std::uint32_t c = code_points[i];
        if (c < 0x80) {
            *out++ = static_cast<std::uint8_t>(c);
        } else if (c < 0x800) {
            out[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
            out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 2;
        } else if (c < 0x10000) {
            out[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
            out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 3;
        } else {
            out[0] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
            out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 4;
        }
    }
}

template <class Unit>
bool write_utf16(std::span<const Unit> code_points, bool little_endian,
                 std::uint8_t* out) noexcept {
    return little_endian ? write_utf16_in_order<true>(code_points, out)
                         : write_utf16_in_order<false>(code_points, out);
}

template <class Unit>
bool write_utf32(std::span<const Unit> code_points, bool little_endian,
                 std::uint8_t* out) noexcept {
    return little_endian ? write_utf32_in_order<true>(code_points, out)
                         : write_utf32_in_order<false>(code_points, out);
}

#define BITLOOM_INSTANTIATE_ENCODERS(Unit)                                                   \
    template bool contains_surrogate<Unit>(std::span<const Unit>) noexcept;                 \
    template EncodedSize measure_utf8<Unit>(std::span<const Unit>) noexcept;                \
    template EncodedSize measure_utf16<Unit>(std::span<const Unit>) noexcept;               \
    template EncodedSize measure_utf32<Unit>(std::span<const Unit>) noexcept;               \
    template void write_utf8<Unit>(std::span<const Unit>, std::uint8_t*) noexcept;          \
    template bool write_utf16<Unit>(std::span<const Unit>, bool, std::uint8_t*) noexcept;   \
    template bool write_utf32<Unit>(std::span<const Unit>, bool, std::uint8_t*) noexcept;

BITLOOM_INSTANTIATE_ENCODERS(std::uint8_t)
BITLOOM_INSTANTIATE_ENCODERS(std::uint16_t)
BITLOOM_INSTANTIATE_ENCODERS(std::uint32_t)

#undef BITLOOM_INSTANTIATE_ENCODERS

}  // namespace bitloom
