// US-ASCII, ISO-8859-1 and Windows-1252 decoders, as runs of decode_in_runs
// (decoder/text_runs.hpp): each byte is read once and written from that
// reading.  ASCII goes sixteen bytes a step; ISO-8859-1 in a room of one byte
// per code point is a plain copy; Windows-1252 copies blocks without a byte of
// 0x80..0x9F (the only ones that need its index) and looks those up.
#include "codecs/decoder/single_byte.hpp"

#include "core/ascii.hpp"
#include "core/message.hpp"
#include "core/simd.hpp"
#include "core/windows_1252.hpp"
#include "codecs/decoder/text_runs.hpp"
#include "codecs/decoder/unicode.hpp"

namespace bitloom {

namespace {

[[gnu::cold]] CodecError us_ascii_invalid(std::uint8_t byte) {
    return make_error(ErrorKind::value_error, "Invalid US-ASCII byte: 0x{} (must be <= 0x7F)",
                      {to_hex(byte, 2)});
}

// Copies the bytes from `state.at` on as long as they are ASCII; stops at the
// end or after reading a byte of 0x80 or above, which it returns (else -1).
template <class Unit>
BITLOOM_ALWAYS_INLINE int copy_ascii(RunState& state, Unit* out) noexcept {
    while (state.at < state.end) {
        const std::size_t run = copy_ascii_prefix(state.data + state.at, state.end - state.at,
                                                  out + state.written);
        state.at += run;
        state.written += run;
        if (state.at == state.end) break;
        const std::uint8_t byte = state.data[state.at];
        if (byte >= 0x80) return byte;
        out[state.written++] = byte;  // it changed since the block was read
        ++state.at;
    }
    return -1;
}

template <class Unit>
RunStop run_us_ascii(RunState& state, Unit* out) {
    const int byte = copy_ascii(state, out);
    if (byte < 0) return stop_at_end();
    return stop_with_error(state, us_ascii_invalid(static_cast<std::uint8_t>(byte)));
}

template <class Unit>
RunStop run_iso_8859_1(RunState& state, Unit* out) {
    if (state.limit < kLatin1Max) {
        const int byte = copy_ascii(state, out);
        return byte < 0 ? stop_at_end() : stop_for_wider(static_cast<std::uint32_t>(byte), 1);
    }
    widen_bytes(state.data + state.at, state.end - state.at, out + state.written);
    state.written += state.end - state.at;
    state.at = state.end;
    return stop_at_end();
}

inline std::uint32_t windows_1252_code_point(std::uint8_t byte) noexcept {
    return byte < 0x80 ? byte : kWindows1252Index[byte - 0x80];
}

template <class Unit>
RunStop run_windows_1252(RunState& state, Unit* out) {
    const std::uint32_t limit = state.limit;
    if (limit < kLatin1Max) {
        const int byte = copy_ascii(state, out);
        if (byte < 0) return stop_at_end();
        const std::uint32_t code_point = windows_1252_code_point(static_cast<std::uint8_t>(byte));
        return stop_for_wider(code_point, 1);
    }
    const std::uint8_t* data = state.data;
    const std::size_t end = state.end;
    std::size_t i = state.at;
    std::size_t written = state.written;
    while (i < end) {
#if BITLOOM_SSE2
        // Blocks without a byte of 0x80..0x9F are their own code points.
        const __m128i top_bits = _mm_set1_epi8(static_cast<char>(0xE0));
        const __m128i index_range = _mm_set1_epi8(static_cast<char>(0x80));
        while (end - i >= 16) {
            const __m128i block = load16(data + i);
            store_bytes_widened(out + written, block);
            const int mapped =
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(block, top_bits), index_range));
            if (mapped != 0) break;
            i += 16;
            written += 16;
        }
#endif
        for (const std::size_t block_end = std::min(end, i + 16); i < block_end; ++i) {
            const std::uint32_t code_point = windows_1252_code_point(data[i]);
            if (code_point > limit) {
                state.at = i;
                state.written = written;
                return stop_for_wider(code_point, 1);
            }
            out[written++] = static_cast<Unit>(code_point);
        }
    }
    state.at = i;
    state.written = written;
    return stop_at_end();
}

}  // namespace

Status decode_us_ascii(std::span<const std::uint8_t> bytes, TextSink& sink) {
    return decode_in_runs<1>(bytes, sink,
                             [](RunState& state, auto* out) { return run_us_ascii(state, out); });
}

Status decode_iso_8859_1(std::span<const std::uint8_t> bytes, TextSink& sink) {
    // The head's width is whether any of its bytes is above 0x7F.
    struct : NoLengthHint {
        std::uint32_t head_limit(const std::uint8_t* head, std::size_t size) const noexcept {
            return ascii_run_length(head, size) == size ? kAsciiMax : kLatin1Max;
        }
    } hint;
    return decode_in_runs<1>(
        bytes, sink, [](RunState& state, auto* out) { return run_iso_8859_1(state, out); }, hint);
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
        // Every byte is defined: the run cannot fail.
        return decode_in_runs<1>(bytes, sink, [](RunState& state, auto* out) {
            return run_windows_1252(state, out);
        });
    }
    if (!marked) {
        return make_error(ErrorKind::value_error, "Failed to decode Windows-1252 bytes");
    }
    return marked;
}

}  // namespace bitloom
