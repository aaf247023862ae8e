// The loop that every text decoder shares: runs of writing as validating,
// each input byte read once.
//
// A caller's bytes may change while they are decoded (a bytearray or an mmap
// that another thread or process writes to), so no decoder reads a byte twice
// and trusts both readings: a byte is loaded once, checked and written from
// that one load.  Nothing is measured in advance.  The room is asked for with
// the largest length the rest of the input can give (one code point per input
// unit at most, so that writes are bounded by construction) and the width of
// what the first bytes turned out to hold; a run then writes until the end,
// an error, or a code point too wide for the room, which widens it (the text
// so far copied over) and is written there.  When the text is done the room
// is cut to what was written.
//
// The first kHead code units are copied aside and decoded from the copy, so
// that the room starts at the width they actually need:
// most text shows its widest characters early, and a room that is never
// widened is never copied.  Widening only on demand keeps the width exactly
// that of the widest code point written, as a str's must be.
//
// A run is a callable `run(RunState&, Unit* out) -> RunStop` for Unit of one,
// two and four bytes.  It may store whole blocks past `written` (never past
// `written` plus the code units left in the input) and later overwrite them.
// A decoder that passes a length hint makes rooms shorter than that; its run
// must also stay within `capacity`, and stop for room when it is full.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "codecs/decoder/text_sink.hpp"
#include "core/codec_result.hpp"

namespace bitloom {

struct RunState {
    const std::uint8_t* data;
    std::size_t at;       // the next byte to read
    std::size_t end;      // the end of the bytes this run may read
    bool input_ends;      // `end` is the end of the input, not of a copied head
    std::size_t written;  // code points written to the room
    std::size_t capacity; // code points the room holds
    std::uint32_t limit;  // the largest code point the room holds
    CodecError error;     // set with RunStop::Why::error
};

struct RunStop {
    // `room`: the room is full (only where it was made shorter than the
    // input could need, on a hint).
    enum class Why : std::uint8_t { end, wider, room, error };
    Why why;
    // With `wider`: the code point that needs the wider room, and its bytes.
    std::uint32_t code_point = 0;
    std::size_t bytes = 0;
};

inline RunStop stop_at_end() noexcept { return {RunStop::Why::end}; }
inline RunStop stop_for_room() noexcept { return {RunStop::Why::room}; }
inline RunStop stop_for_wider(std::uint32_t code_point, std::size_t bytes) noexcept {
    return {RunStop::Why::wider, code_point, bytes};
}
[[gnu::cold]] inline RunStop stop_with_error(RunState& state, CodecError error) {
    state.error = std::move(error);
    return {RunStop::Why::error};
}

namespace runs {

template <class Run>
RunStop run_in_room(Run& run, RunState& state, const TextSink::Room& room) {
    switch (room.unit_size) {
        case 1: return run(state, static_cast<std::uint8_t*>(room.data));
        case 2: return run(state, static_cast<std::uint16_t*>(room.data));
        default: return run(state, static_cast<std::uint32_t*>(room.data));
    }
}

inline void put(const TextSink::Room& room, std::size_t index, std::uint32_t code_point) noexcept {
    switch (room.unit_size) {
        case 1: static_cast<std::uint8_t*>(room.data)[index] = static_cast<std::uint8_t>(code_point); break;
        case 2: static_cast<std::uint16_t*>(room.data)[index] = static_cast<std::uint16_t>(code_point); break;
        default: static_cast<std::uint32_t*>(room.data)[index] = code_point; break;
    }
}

}  // namespace runs

inline constexpr std::size_t kHead = 64;

// The number of code points that the rest of the input, `units` code units
// from `rest` on, is expected to give in a room of `limit`; at most `units`.
// A hint only: a run stops when the room is full, and it is then made as
// long as the input can need.  Without a hint the room is that long at once.
// A hint may also tell the width of the copied head (its head_limit), where
// that is cheaper to find than by decoding it once more; it must be exact,
// since the str is made at that width.
struct NoLengthHint {
    std::size_t operator()(const std::uint8_t*, std::size_t units, std::uint32_t) const noexcept {
        return units;
    }
    std::uint32_t head_limit(const std::uint8_t*, std::size_t) const noexcept { return kAsciiMax; }
};

// Decodes `bytes`, whose code units are `UnitBytes` wide, by `run`.
template <std::size_t UnitBytes, class Run, class LengthHint = NoLengthHint>
Status decode_in_runs(std::span<const std::uint8_t> bytes, TextSink& sink, Run&& run,
                      LengthHint hint = {}) {
    const std::size_t size = bytes.size();
    // The head, copied aside: what is decoded from it is read once.  It is
    // decoded into the narrowest units first and again, from the same copy,
    // into wider ones when a code point needs them.
    std::uint8_t head[kHead * UnitBytes];
    const std::size_t head_size = std::min(size, sizeof head);
    if (head_size != 0) std::memcpy(head, bytes.data(), head_size);
    std::uint8_t head_text8[kHead];
    std::uint16_t head_text16[kHead];
    std::uint32_t head_text32[kHead];
    std::uint32_t limit = hint.head_limit(head, head_size);
    RunState state{head, 0, head_size, head_size == size, 0, kHead, limit, {}};
    for (;;) {
        state.at = 0;
        state.written = 0;
        state.limit = limit;
        const RunStop stop = limit <= kLatin1Max      ? run(state, head_text8)
                             : limit <= kBasicPlaneMax ? run(state, head_text16)
                                                       : run(state, head_text32);
        if (stop.why == RunStop::Why::error) return std::move(state.error);
        if (stop.why == RunStop::Why::end) break;
        limit = width_limit(stop.code_point);
    }

    const std::size_t rest = (size - state.at) / UnitBytes;
    std::size_t length =
        state.written + std::min(rest, hint(bytes.data() + state.at, rest, limit));
    TextSink::Room room;
    if (!sink.reserve(length, limit, room)) return no_room_error();
    if (limit <= kLatin1Max) {
        copy_widened(head_text8, 1, state.written, room.data, room.unit_size);
    } else if (limit <= kBasicPlaneMax) {
        copy_widened(head_text16, 2, state.written, room.data, room.unit_size);
    } else {
        copy_widened(head_text32, 4, state.written, room.data, room.unit_size);
    }

    state.data = bytes.data();
    state.end = size;
    state.input_ends = true;
    state.limit = limit;
    state.capacity = length;
    while (state.at < size) {
        const RunStop stop = runs::run_in_room(run, state, room);
        if (stop.why == RunStop::Why::end) break;
        if (stop.why == RunStop::Why::error) return std::move(state.error);
        if (stop.why == RunStop::Why::room) {
            length = state.written + (size - state.at) / UnitBytes;
            if (!sink.widen(state.written, length, limit, room)) return no_room_error();
            state.capacity = length;
            continue;
        }
        limit = width_limit(stop.code_point);
        length = state.written + 1 + (size - state.at - stop.bytes) / UnitBytes;
        if (!sink.widen(state.written, length, limit, room)) return no_room_error();
        runs::put(room, state.written++, stop.code_point);
        state.at += stop.bytes;
        state.limit = limit;
        state.capacity = length;
    }
    if (state.written != length && !sink.shrink(state.written, limit, room)) return no_room_error();
    return Done{};
}

}  // namespace bitloom
