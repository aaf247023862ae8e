// Where the text decoders put their text.
//
// A decoder asks the sink for room once, for as many code points as its
// input can give and as wide as the first of them need, and writes the code
// points straight into it; it widens the room when a wider code point comes
// and cuts it to what was written at the end.  The caller can so allocate the
// string at its final width (one, two or four bytes per code point) and have
// it filled in place, with no copy in between.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/codec_result.hpp"

namespace bitloom {

// The limits of the four storage widths: what a decoder asks for as the
// largest code point of its text.
inline constexpr std::uint32_t kAsciiMax = 0x7F;
inline constexpr std::uint32_t kLatin1Max = 0xFF;
inline constexpr std::uint32_t kBasicPlaneMax = 0xFFFF;
inline constexpr std::uint32_t kUnicodeMax = 0x10FFFF;

// The storage-width limit that holds `code_point`.
constexpr std::uint32_t width_limit(std::uint32_t code_point) noexcept {
    return code_point <= kAsciiMax       ? kAsciiMax
           : code_point <= kLatin1Max     ? kLatin1Max
           : code_point <= kBasicPlaneMax ? kBasicPlaneMax
                                          : kUnicodeMax;
}

class TextSink {
  public:
    struct Room {
        void* data = nullptr;
        std::size_t unit_size = 0;  // 1, 2 or 4 bytes per code point
    };

    // Room for `length` code points in units wide enough for every code point
    // up to `max_code_point` (one of the limits above).  False when the sink
    // cannot provide it; the decoder then stops with kNoRoomMessage, and the
    // sink knows why.  If the decoder fails after this, what it wrote is
    // meaningless and must be discarded.
    virtual bool reserve(std::size_t length, std::uint32_t max_code_point, Room& room) = 0;

    // Replaces the room with one for `length` code points up to the wider
    // `max_code_point`, holding the first `written` code points of the old
    // room.  Decoders that write as they validate call it when a code point
    // too wide for the room appears; false as for reserve.
    virtual bool widen(std::size_t written, std::size_t length, std::uint32_t max_code_point,
                       Room& room) = 0;

    // Cuts the room to its first `length` code points, which are the text;
    // `max_code_point` is the room's own limit.  Called once at the end when
    // the text came out shorter than the room.  A sink that can shrink in
    // place should; this one copies into a room of the exact length.
    virtual bool shrink(std::size_t length, std::uint32_t max_code_point, Room& room) {
        return widen(length, length, max_code_point, room);
    }

  protected:
    ~TextSink() = default;
};

// Copies `count` code points from units of `from_size` bytes to units of the
// wider `to_size` bytes (1, 2 or 4).
void copy_widened(const void* from, std::size_t from_size, std::size_t count, void* to,
                  std::size_t to_size) noexcept;

inline constexpr const char* kNoRoomMessage = "No room for the decoded text";

[[gnu::cold]] CodecError no_room_error();

// Reserves room and runs `write` (a generic callable taking a pointer to
// std::uint8_t, std::uint16_t or std::uint32_t units and returning Status) on
// it in the width the sink chose.
template <class Write>
Status write_into(TextSink& sink, std::size_t length, std::uint32_t max_code_point, Write&& write) {
    TextSink::Room room;
    if (!sink.reserve(length, max_code_point, room)) return no_room_error();
    switch (room.unit_size) {
        case 1: return write(static_cast<std::uint8_t*>(room.data));
        case 2: return write(static_cast<std::uint16_t*>(room.data));
        default: return write(static_cast<std::uint32_t*>(room.data));
    }
}

}  // namespace bitloom
