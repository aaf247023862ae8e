// The loops of the bulk decoder.  A block of frames is private memory with
// sixteen zero bytes after its last frame, so every field of up to 64 bits
// is one unaligned eight-byte load (and the byte after it) with no check of
// the end.  A numeric loop is a template over the value type, the shape of
// the load and the conversion; plan_column picks the instance once per field.
#include "frames/bulk_decode.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

#include "core/binary16.hpp"
#include "core/bits.hpp"
#include "codecs/decoder/ieee754.hpp"
#include "codecs/decoder/single_byte.hpp"
#include "codecs/decoder/text_sink.hpp"
#include "codecs/decoder/unicode.hpp"
#include "frames/bit_window.hpp"

namespace bitloom::frames {

struct LoopArguments {
    const ColumnPlan* plan;
    std::span<const std::uint8_t> block;  // whole frames, then the zero bytes
    std::size_t stride;                   // frame_bytes
    std::size_t count;                    // frames in the block
    std::size_t first_frame;              // the block's first frame in the dump
    void* out;                            // the column's value for the block's first frame
    bool null_on_error;
    std::vector<FieldFailure>* failures;
};

namespace {

constexpr std::size_t kPadding = 16;
constexpr std::size_t kBlockBytes = std::size_t{32} << 10;
// Fewer frames than this per thread are not worth a thread.
constexpr std::size_t kFramesPerThread = std::size_t{1} << 15;

// ---- numeric loops -------------------------------------------------------

// whole_big and whole_little: 3, 5, 6 or 7 whole bytes at a byte boundary,
// read as one eight-byte load (the block's padding covers the bytes after).
// little_lsb0: bits numbered from each byte's least significant bit, so the
// field is the bytes from start / 8 read as one little-endian number,
// shifted down by start % 8 (a ninth byte when it passes the eighth).
enum class Shape : std::uint8_t { zero, aligned_big, aligned_little, whole_big, whole_little, any_bits, transformed,
                                  little_lsb0 };
enum class Convert : std::uint8_t { as_is, sign_extend, float16, float32, float64, slot };

template <class Word>
Word load_native(const std::uint8_t* bytes) noexcept {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

template <class Word>
Word swap_bytes(Word word) noexcept {
    if constexpr (sizeof(Word) == 1) return word;
    if constexpr (sizeof(Word) == 2) return byte_swap16(word);
    if constexpr (sizeof(Word) == 4) return byte_swap32(word);
    if constexpr (sizeof(Word) == 8) return byte_swap64(word);
}

template <class Word, bool Little>
std::uint64_t load_whole(const std::uint8_t* bytes) noexcept {
    Word word = load_native<Word>(bytes);
    if constexpr ((std::endian::native == std::endian::little) != Little) word = swap_bytes(word);
    return word;
}

template <std::size_t Bytes>
using WordOf = std::conditional_t<Bytes == 1, std::uint8_t,
               std::conditional_t<Bytes == 2, std::uint16_t,
               std::conditional_t<Bytes == 4, std::uint32_t, std::uint64_t>>>;

template <Shape S, std::size_t Bytes>
inline std::uint64_t load_field(const std::uint8_t* bytes, unsigned shift, std::uint32_t bits,
                                const FrameField& field) noexcept {
    if constexpr (S == Shape::zero) return 0;
    if constexpr (S == Shape::aligned_big) return load_whole<WordOf<Bytes>, false>(bytes);
    if constexpr (S == Shape::aligned_little) return load_whole<WordOf<Bytes>, true>(bytes);
    if constexpr (S == Shape::whole_big) return load_big_endian(bytes) >> (64 - 8 * Bytes);
    if constexpr (S == Shape::whole_little) {
        return load_whole<std::uint64_t, true>(bytes) & ((std::uint64_t{1} << (8 * Bytes)) - 1);
    }
    if constexpr (S == Shape::any_bits) return extract_field(load_big_endian(bytes), bytes[8], shift, bits);
    if constexpr (S == Shape::transformed) {
        return pattern_of(field, extract_field(load_big_endian(bytes), bytes[8], shift, bits));
    }
    if constexpr (S == Shape::little_lsb0) {
        std::uint64_t value = load_whole<std::uint64_t, true>(bytes) >> shift;
        // shift + bits > 64 only when shift > 0: the shift below is 57..63.
        if (shift + bits > 64) value |= std::uint64_t{bytes[8]} << (64 - shift);
        value = (value << (64 - bits)) >> (64 - bits);  // bits is 1..64 here
        return field.reverse ? reverse_low_bits(value, bits) : value;
    }
}

template <class T, Convert C>
inline T convert_pattern(std::uint64_t pattern, unsigned spare) noexcept {
    if constexpr (C == Convert::as_is) return static_cast<T>(pattern);
    if constexpr (C == Convert::sign_extend) {
        return static_cast<T>(static_cast<std::int64_t>(pattern << spare) >> spare);
    }
    // binary16 widens exactly whichever way; in line, the loop stays a loop.
    if constexpr (C == Convert::float16) {
        return static_cast<T>(binary16_to_float_software(static_cast<std::uint16_t>(pattern & 0xFFFFu)));
    }
    if constexpr (C == Convert::float32) return static_cast<T>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern)));
    if constexpr (C == Convert::float64) return static_cast<T>(std::bit_cast<double>(pattern));
}

template <class T>
T from_slot(std::uint64_t slot, SlotType type) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(std::bit_cast<double>(slot));
    } else {
        (void)type;  // int64 and uint64 slots narrow alike
        return static_cast<T>(slot);
    }
}

[[gnu::cold]] void record_failure(const LoopArguments& a, std::size_t i, CodecError&& error,
                                  std::uint64_t element = 0) {
    a.failures->push_back({a.first_frame + i, a.plan->field_index, std::move(error), element});
}

// An array field's elements, frame after frame: element k of a frame lies
// k * bits after the first, its own shift within its first byte.  The rows
// go one after the other into the column.
template <class T, Shape S, std::size_t Bytes, Convert C>
void array_loop(const LoopArguments& a) {
    const FrameField& field = a.plan->field;
    const std::uint32_t bits = field.bits;
    const std::size_t elements = field.count;
    const unsigned spare = 64 - (bits == 0 ? 64 : bits);
    T* out = static_cast<T*>(a.out);
    const std::uint8_t* frame = a.block.data();
    for (std::size_t i = 0; i < a.count; ++i, frame += a.stride, out += elements) {
        std::uint64_t at = field.start;
        if constexpr (C == Convert::slot) {
            const FieldSlot& slot = *field.slot;
            for (std::size_t k = 0; k < elements; ++k, at += bits) {
                std::uint64_t value = 0;
                CodecError error;
                const std::uint64_t pattern = load_field<S, Bytes>(frame + at / 8, static_cast<unsigned>(at % 8), bits, field);
                if (slot.decode(pattern, bits, value, error)) [[likely]] {
                    out[k] = from_slot<T>(value, slot.type);
                    continue;
                }
                out[k] = T{};
                record_failure(a, i, std::move(error), k);
                if (!a.null_on_error) return;
            }
        } else {
            for (std::size_t k = 0; k < elements; ++k, at += bits) {
                out[k] = convert_pattern<T, C>(
                    load_field<S, Bytes>(frame + at / 8, static_cast<unsigned>(at % 8), bits, field), spare);
            }
        }
    }
}

// An array whose elements need the general reader: binary128 elements, and
// lsb_first elements that end in different places of their bytes.
template <class T>
void general_array_loop(const LoopArguments& a) {
    const FrameField& field = a.plan->field;
    T* out = static_cast<T*>(a.out);
    for (std::size_t i = 0; i < a.count; ++i, out += field.count) {
        for (std::uint32_t k = 0; k < field.count; ++k) {
            std::uint64_t slot = 0;
            CodecError error;
            if (decode_number(field.element(k), a.block, std::uint64_t{i} * a.stride * 8, slot, error)) [[likely]] {
                out[k] = from_slot<T>(slot, slot_type(field.kind));
                continue;
            }
            out[k] = T{};
            record_failure(a, i, std::move(error), k);
            if (!a.null_on_error) return;
        }
    }
}

template <class T, Shape S, std::size_t Bytes, Convert C>
void numeric_loop(const LoopArguments& a) {
    const FrameField& field = a.plan->field;
    const std::uint8_t* bytes = a.block.data() + field.start / 8;
    const auto shift = static_cast<unsigned>(field.start % 8);
    const std::uint32_t bits = field.bits;
    const unsigned spare = 64 - (bits == 0 ? 64 : bits);
    T* out = static_cast<T*>(a.out);
    const std::size_t count = a.count;
    const std::size_t stride = a.stride;
    if constexpr (C == Convert::slot) {
        const FieldSlot& slot = *field.slot;
        for (std::size_t i = 0; i < count; ++i, bytes += stride) {
            std::uint64_t value = 0;
            CodecError error;
            if (slot.decode(load_field<S, Bytes>(bytes, shift, bits, field), bits, value, error)) [[likely]] {
                out[i] = from_slot<T>(value, slot.type);
                continue;
            }
            out[i] = T{};
            record_failure(a, i, std::move(error));
            if (!a.null_on_error) return;
        }
    } else {
        for (std::size_t i = 0; i < count; ++i, bytes += stride) {
            out[i] = convert_pattern<T, C>(load_field<S, Bytes>(bytes, shift, bits, field), spare);
        }
    }
}

// binary128: through the general reader (two words).
void float128_loop(const LoopArguments& a) {
    auto* out = static_cast<double*>(a.out);
    for (std::size_t i = 0; i < a.count; ++i) {
        std::uint64_t slot = 0;
        CodecError error;
        if (decode_number(a.plan->field, a.block, std::uint64_t{i} * a.stride * 8, slot, error)) {
            out[i] = std::bit_cast<double>(slot);
            continue;
        }
        out[i] = 0;
        record_failure(a, i, std::move(error));
        if (!a.null_on_error) return;
    }
}

// A little_lsb0 field in frames that start inside a byte: the general
// reader, a piece per frame byte.
template <class T>
void phased_lsb0_loop(const LoopArguments& a) {
    const FrameField& field = a.plan->field;
    T* out = static_cast<T*>(a.out);
    for (std::size_t i = 0; i < a.count; ++i) {
        std::uint64_t slot = 0;
        CodecError error;
        if (decode_number(field, a.block, std::uint64_t{i} * a.stride * 8 + a.plan->frame_phase, slot, error))
            [[likely]] {
            out[i] = from_slot<T>(slot, slot_type(field.kind));
            continue;
        }
        out[i] = T{};
        record_failure(a, i, std::move(error));
        if (!a.null_on_error) return;
    }
}

// make(T{}) for the value type T of a column type; no loop for the others.
template <class Make>
ColumnLoop for_value_type(ColumnType type, Make make) noexcept {
    switch (type) {
        case ColumnType::int8: return make(std::int8_t{});
        case ColumnType::int16: return make(std::int16_t{});
        case ColumnType::int32: return make(std::int32_t{});
        case ColumnType::int64: return make(std::int64_t{});
        case ColumnType::uint8: return make(std::uint8_t{});
        case ColumnType::uint16: return make(std::uint16_t{});
        case ColumnType::uint32: return make(std::uint32_t{});
        case ColumnType::uint64: return make(std::uint64_t{});
        case ColumnType::float32: return make(float{});
        case ColumnType::float64: return make(double{});
        default: return nullptr;
    }
}

ColumnLoop phased_lsb0_loop_for(ColumnType type) noexcept {
    return for_value_type(type, []<class T>(T) -> ColumnLoop { return phased_lsb0_loop<T>; });
}

// The loop of one value or of an array's elements.
template <class T, Shape S, std::size_t Bytes, Convert C>
ColumnLoop value_or_array(bool array) noexcept {
    return array ? array_loop<T, S, Bytes, C> : numeric_loop<T, S, Bytes, C>;
}

// The loop of a shape for each value type a conversion makes: a float
// conversion fills its own float type, an integer one any integer type, and
// only the raw slot also a float column.
template <Shape S, std::size_t Bytes, Convert C>
ColumnLoop loop_for_type(ColumnType type, bool array) noexcept {
    if constexpr (C == Convert::float16 || C == Convert::float32) {
        return value_or_array<float, S, Bytes, C>(array);
    } else if constexpr (C == Convert::float64) {
        return value_or_array<double, S, Bytes, C>(array);
    } else {
        return for_value_type(type, [array]<class T>(T) -> ColumnLoop {
            if constexpr (std::is_floating_point_v<T> && C != Convert::slot) {
                return nullptr;
            } else {
                return value_or_array<T, S, Bytes, C>(array);
            }
        });
    }
}

ColumnLoop general_array_loop_for(ColumnType type) noexcept {
    return for_value_type(type, []<class T>(T) -> ColumnLoop { return general_array_loop<T>; });
}

template <Convert C>
ColumnLoop loop_for_shape(const FrameField& field, ColumnType type) noexcept {
    const bool array = field.count != 0;
    if (field.bits == 0) return loop_for_type<Shape::zero, 8, C>(type, array);
    if constexpr (C != Convert::slot) {
        // Whole bytes at a byte boundary, unreversed: one load of the width.
        if (field.start % 8 == 0 && !field.reverse && field.arrangement == Arrangement::by_order &&
            (field.bits == 8 || field.bits == 16 || field.bits == 32 || field.bits == 64)) {
            const bool little = field.order == ByteOrder::little && field.bits > 8;
            switch (field.bits) {
                case 8: return loop_for_type<Shape::aligned_big, 1, C>(type, array);
                case 16: return little ? loop_for_type<Shape::aligned_little, 2, C>(type, array)
                                       : loop_for_type<Shape::aligned_big, 2, C>(type, array);
                case 32: return little ? loop_for_type<Shape::aligned_little, 4, C>(type, array)
                                       : loop_for_type<Shape::aligned_big, 4, C>(type, array);
                default: return little ? loop_for_type<Shape::aligned_little, 8, C>(type, array)
                                       : loop_for_type<Shape::aligned_big, 8, C>(type, array);
            }
        }
    }
    if constexpr (C == Convert::as_is || C == Convert::sign_extend) {
        // Whole bytes of other widths at a byte boundary (24-bit samples):
        // one load, without the shift of any_bits.
        if (field.start % 8 == 0 && !field.reverse && field.arrangement == Arrangement::by_order &&
            field.bits % 8 == 0 && field.bits > 16 && field.bits < 64 && field.bits != 32) {
            const bool little = field.order == ByteOrder::little;
            switch (field.bits / 8) {
                case 3: return little ? loop_for_type<Shape::whole_little, 3, C>(type, array)
                                      : loop_for_type<Shape::whole_big, 3, C>(type, array);
                case 5: return little ? loop_for_type<Shape::whole_little, 5, C>(type, array)
                                      : loop_for_type<Shape::whole_big, 5, C>(type, array);
                case 6: return little ? loop_for_type<Shape::whole_little, 6, C>(type, array)
                                      : loop_for_type<Shape::whole_big, 6, C>(type, array);
                default: return little ? loop_for_type<Shape::whole_little, 7, C>(type, array)
                                       : loop_for_type<Shape::whole_big, 7, C>(type, array);
            }
        }
    }
    // Elements of arrays never take this order (the recipe refuses them).
    if (field.arrangement == Arrangement::little_lsb0 && !array) {
        return loop_for_type<Shape::little_lsb0, 8, C>(type, array);
    }
    const bool plain = field.arrangement == Arrangement::by_order &&
                       (field.order == ByteOrder::big || field.bits <= 8);
    if (plain && !field.reverse) return loop_for_type<Shape::any_bits, 8, C>(type, array);
    // lsb_first pieces are cut where the frame's bytes are: elements that
    // end at different places of their bytes are not one shape.
    if (array && field.arrangement == Arrangement::lsb_first && field.bits % 8 != 0) {
        return general_array_loop_for(type);
    }
    return loop_for_type<Shape::transformed, 8, C>(type, array);
}

// ---- text ----------------------------------------------------------------

// Where a text decoder's code points go: four-byte units in a vector.
class CodePoints final : public TextSink {
  public:
    bool reserve(std::size_t length, std::uint32_t, Room& room) override {
        units_.resize(length);
        room = {units_.data(), 4};
        return true;
    }
    bool widen(std::size_t, std::size_t length, std::uint32_t, Room& room) override {
        units_.resize(length);
        room = {units_.data(), 4};
        return true;
    }
    std::span<const std::uint32_t> units() const noexcept { return units_; }

  private:
    std::vector<std::uint32_t> units_;
};

Status decode_utf16le(std::span<const std::uint8_t> bytes, TextSink& sink) {
    return decode_utf16_with_endianness(bytes, true, sink);
}
Status decode_utf16be(std::span<const std::uint8_t> bytes, TextSink& sink) {
    return decode_utf16_with_endianness(bytes, false, sink);
}
Status decode_utf32le(std::span<const std::uint8_t> bytes, TextSink& sink) {
    return decode_utf32_with_endianness(bytes, true, sink);
}
Status decode_utf32be(std::span<const std::uint8_t> bytes, TextSink& sink) {
    return decode_utf32_with_endianness(bytes, false, sink);
}

struct TextDecoderRow {
    TextCodec codec;
    Status (*decode)(std::span<const std::uint8_t>, TextSink&);
    bool ascii_is_itself;       // ASCII bytes are their own text, and well-formed text is UTF-8
    std::uint8_t utf8_per_byte;  // the most UTF-8 bytes one byte of the field decodes to
};

constexpr TextDecoderRow kTextDecoders[] = {
    {TextCodec::utf8, decode_utf8, true, 1},
    {TextCodec::utf16, decode_utf16, false, 2},
    {TextCodec::utf16le, decode_utf16le, false, 2},
    {TextCodec::utf16be, decode_utf16be, false, 2},
    {TextCodec::utf32, decode_utf32, false, 1},
    {TextCodec::utf32le, decode_utf32le, false, 1},
    {TextCodec::utf32be, decode_utf32be, false, 1},
    {TextCodec::us_ascii, decode_us_ascii, true, 1},
    {TextCodec::iso_8859_1, decode_iso_8859_1, false, 2},
    // A UTF-16 mark makes it UTF-16 (two bytes to at most four of UTF-8);
    // else at most three bytes (U+20AC) per byte.
    {TextCodec::windows_1252, decode_windows_1252, false, 3},
};

const TextDecoderRow& text_decoder(TextCodec codec) noexcept {
    return kTextDecoders[static_cast<std::size_t>(codec)];
}

constexpr bool text_rows_in_order() noexcept {
    for (std::size_t i = 0; i < std::size(kTextDecoders); ++i) {
        if (static_cast<std::size_t>(kTextDecoders[i].codec) != i) return false;
    }
    return true;
}
static_assert(text_rows_in_order());

bool is_ascii(std::span<const std::uint8_t> bytes) noexcept {
    std::uint64_t any = 0;
    std::size_t k = 0;
    for (; k + 8 <= bytes.size(); k += 8) any |= load_native<std::uint64_t>(bytes.data() + k);
    std::uint8_t rest = 0;
    for (; k < bytes.size(); ++k) rest = static_cast<std::uint8_t>(rest | bytes[k]);
    return ((any & 0x8080808080808080u) | (rest & 0x80u)) == 0;
}

std::size_t encode_utf8(std::uint32_t c, std::uint8_t* out) noexcept {
    if (c < 0x80) {
        out[0] = static_cast<std::uint8_t>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
        out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
        out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
    out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    return 4;
}

// The data of one string or binary column over one range of frames.
struct TextOutput {
    std::uint8_t* data = nullptr;  // malloc'd; handed to the column or freed
    std::size_t size = 0;
    std::size_t capacity = 0;

    TextOutput() = default;
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;
    TextOutput(TextOutput&& other) noexcept
        : data(std::exchange(other.data, nullptr)), size(other.size), capacity(other.capacity) {}
    ~TextOutput() { std::free(data); }

    // Room for `more` bytes after `size`.
    bool reserve(std::size_t more) noexcept {
        if (more <= capacity - size) return true;
        if (more > SIZE_MAX / 2 - size) return false;
        const std::size_t wanted = std::max(size + more, capacity * 2);
        auto* grown = static_cast<std::uint8_t*>(std::realloc(data, wanted));
        if (!grown) return false;
        data = grown;
        capacity = wanted;
        return true;
    }
};

std::size_t without_trailing_zeros(std::span<const std::uint8_t> bytes) noexcept {
    std::size_t size = bytes.size();
    while (size > 0 && bytes[size - 1] == 0) --size;
    return size;
}

// Appends one value; false with `error` set when the codec refuses it.
bool append_text(const ColumnPlan& plan, std::span<const std::uint8_t> bytes, bool strip,
                 TextOutput& out, CodePoints& scratch, CodecError& error) {
    if (plan.bulk == BulkDecode::raw_bytes) {
        if (!out.reserve(bytes.size())) throw std::bad_alloc();
        if (!bytes.empty()) std::memcpy(out.data + out.size, bytes.data(), bytes.size());
        out.size += bytes.size();
        return true;
    }
    const TextDecoderRow& row = text_decoder(plan.field.text);
    if (!row.ascii_is_itself || !is_ascii(bytes)) {
        if (Status status = row.decode(bytes, scratch); !status) {
            error = std::move(status.error());
            return false;
        }
    }
    if (row.ascii_is_itself) {
        // Well-formed: the bytes are the UTF-8 text.
        const std::size_t size = strip ? without_trailing_zeros(bytes) : bytes.size();
        if (!out.reserve(size)) throw std::bad_alloc();
        if (size != 0) std::memcpy(out.data + out.size, bytes.data(), size);
        out.size += size;
        return true;
    }
    std::span<const std::uint32_t> units = scratch.units();
    if (strip) {
        while (!units.empty() && units.back() == 0) units = units.first(units.size() - 1);
    }
    if (units.size() > SIZE_MAX / 4 || !out.reserve(units.size() * 4)) throw std::bad_alloc();
    for (std::uint32_t unit : units) out.size += encode_utf8(unit, out.data + out.size);
    return true;
}

template <class Offset>
void text_loop(const LoopArguments& a, TextOutput& out, bool strip, CodePoints& scratch,
               std::vector<std::uint8_t>& field_buffer) {
    const ColumnPlan& plan = *a.plan;
    const FrameField& field = plan.field;
    auto* offsets = static_cast<Offset*>(a.out) + 1;
    const std::size_t count = field.byte_count();
    const bool in_place = field.start % 8 == 0 && field.order == ByteOrder::big &&
                          (plan.bulk == BulkDecode::text || (!field.reverse && field.bits % 8 == 0));
    field_buffer.resize(count);
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Short text that is its own UTF-8, where it lies: one word per
        // value (the block has sixteen bytes after its last frame), its
        // padding counted off the word's top bytes.
        if (in_place && plan.bulk == BulkDecode::text && count != 0 && count <= 8 &&
            text_decoder(field.text).ascii_is_itself) {
            const std::uint64_t keep = count == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
            const std::uint8_t* bytes = a.block.data() + field.start / 8;
            for (; i < a.count; ++i, bytes += a.stride) {
                const std::uint64_t word = load_native<std::uint64_t>(bytes) & keep;
                if (word & 0x8080808080808080u) break;  // the decoder's turn
                const std::size_t size =
                    strip ? (word == 0 ? 0 : 8 - static_cast<std::size_t>(std::countl_zero(word)) / 8) : count;
                if (!out.reserve(8)) throw std::bad_alloc();
                std::memcpy(out.data + out.size, &word, 8);
                out.size += size;
                offsets[i] = static_cast<Offset>(out.size);
            }
        }
    }
    for (; i < a.count; ++i) {
        std::span<const std::uint8_t> bytes;
        if (in_place) {
            bytes = a.block.subspan(i * a.stride + field.start / 8, count);
        } else {
            read_field_bytes(field, a.block, std::uint64_t{i} * a.stride * 8, field_buffer);
            bytes = field_buffer;
        }
        CodecError error;
        if (!append_text(plan, bytes, strip, out, scratch, error)) [[unlikely]] {
            offsets[i] = static_cast<Offset>(out.size);
            record_failure(a, i, std::move(error));
            if (!a.null_on_error) return;
            continue;
        }
        offsets[i] = static_cast<Offset>(out.size);
    }
}

// ---- ranges and threads --------------------------------------------------

struct Shared {
    const DecodeRequest* request;
    std::span<const ColumnPlan> plans;
    std::span<ColumnMemory* const> columns;
    std::size_t block_frames;
    std::atomic<std::size_t> first_failure{SIZE_MAX};  // without null_on_error
    std::atomic<bool> stop{false};
    std::mutex lock;                  // guards `finished`
    std::condition_variable done;     // a worker finished
    std::size_t finished = 0;         // worker threads done
};

struct RangeResult {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::vector<TextOutput> text;  // per plan (empty for numeric ones)
    std::vector<FieldFailure> failures;
    bool out_of_memory = false;
    bool stopped = false;
};

void lower_to(std::atomic<std::size_t>& value, std::size_t candidate) noexcept {
    std::size_t current = value.load(std::memory_order_relaxed);
    while (candidate < current && !value.compare_exchange_weak(current, candidate)) {
    }
}

void decode_range(Shared& shared, RangeResult& result, bool polls) noexcept {
    const DecodeRequest& request = *shared.request;
    try {
        const std::size_t stride = request.frame_bytes;
        std::vector<std::uint8_t> block(shared.block_frames * stride + kPadding);
        std::vector<std::uint8_t> field_buffer;
        CodePoints scratch;
        result.text.resize(shared.plans.size());
        for (std::size_t k = 0; k < shared.plans.size(); ++k) {
            const ColumnPlan& plan = shared.plans[k];
            if (!has_offsets(plan.type)) continue;
            // Most text is as long as its field's bytes.
            const std::size_t guess = (result.end - result.begin) * plan.field.byte_count();
            if (!result.text[k].reserve(std::max<std::size_t>(guess, 64))) throw std::bad_alloc();
        }
        auto last_poll = std::chrono::steady_clock::now();
        for (std::size_t begin = result.begin; begin < result.end; begin += shared.block_frames) {
            if (shared.stop.load(std::memory_order_relaxed) ||
                begin > shared.first_failure.load(std::memory_order_relaxed)) {
                break;
            }
            const std::size_t count = std::min(shared.block_frames, result.end - begin);
            // Bytes nobody can change are read where they lie, but for the
            // last frames, whose loads would pass the end of the data.
            std::span<const std::uint8_t> frames;
            if (request.frame_offsets) {
                // Frames scattered over the data are gathered into the block.
                for (std::size_t f = 0; f < count; ++f) {
                    std::memcpy(block.data() + f * stride, request.data.data() + request.frame_offsets[begin + f],
                                stride);
                }
                std::memset(block.data() + count * stride, 0, kPadding);
                frames = {block.data(), count * stride + kPadding};
            } else if (request.immutable && request.data.size() - begin * stride >= count * stride + kPadding) {
                frames = request.data.subspan(begin * stride, count * stride + kPadding);
            } else {
                std::memcpy(block.data(), request.data.data() + begin * stride, count * stride);
                std::memset(block.data() + count * stride, 0, kPadding);
                frames = {block.data(), count * stride + kPadding};
            }
            const std::size_t failures_before = result.failures.size();
            for (std::size_t k = 0; k < shared.plans.size(); ++k) {
                const ColumnPlan& plan = shared.plans[k];
                ColumnMemory& column = *shared.columns[k];
                LoopArguments arguments{&plan, frames, stride, count, begin,
                                        nullptr, request.null_on_error, &result.failures};
                if (has_offsets(plan.type)) {
                    arguments.out = static_cast<std::uint8_t*>(column.values) + begin * column.item_size();
                    if (column.large_offsets) {
                        text_loop<std::int64_t>(arguments, result.text[k], request.strip_text, scratch, field_buffer);
                    } else {
                        text_loop<std::int32_t>(arguments, result.text[k], request.strip_text, scratch, field_buffer);
                    }
                } else {
                    const std::size_t row = column.item_size() * (plan.field.count == 0 ? 1 : plan.field.count);
                    arguments.out = static_cast<std::uint8_t*>(column.values) + begin * row;
                    plan.loop(arguments);
                }
            }
            if (!request.null_on_error && result.failures.size() != failures_before) {
                std::size_t first = SIZE_MAX;
                for (std::size_t f = failures_before; f < result.failures.size(); ++f) {
                    first = std::min(first, result.failures[f].frame);
                }
                lower_to(shared.first_failure, first);
                break;
            }
            if (polls && request.poll) {
                const auto now = std::chrono::steady_clock::now();
                if (now - last_poll >= std::chrono::milliseconds(2)) {
                    last_poll = now;
                    if (!request.poll(request.poll_context)) {
                        result.stopped = true;
                        shared.stop.store(true, std::memory_order_relaxed);
                        break;
                    }
                }
            }
        }
    } catch (const std::bad_alloc&) {
        result.out_of_memory = true;
        shared.stop.store(true, std::memory_order_relaxed);
    }
}

bool earlier(const FieldFailure& a, const FieldFailure& b) noexcept {
    return a.frame != b.frame ? a.frame < b.frame : a.field_index < b.field_index;
}

// Joins the ranges' data of string column `k` into the column.
bool join_text(std::vector<RangeResult>& ranges, std::size_t k, ColumnMemory& column) noexcept {
    std::size_t total = 0;
    for (RangeResult& range : ranges) total += range.text[k].size;
    if (!column.large_offsets && total > static_cast<std::size_t>(INT32_MAX)) return false;
    if (ranges.size() == 1) {
        free_column_bytes(column.data);
        column.data = std::exchange(ranges[0].text[k].data, nullptr);
        column.data_bytes = total;
        return true;
    }
    auto* data = static_cast<std::uint8_t*>(std::malloc(total == 0 ? 1 : total));
    if (!data) return false;
    std::size_t base = 0;
    for (RangeResult& range : ranges) {
        TextOutput& part = range.text[k];
        if (part.size != 0) std::memcpy(data + base, part.data, part.size);
        if (base != 0) {
            for (std::size_t i = range.begin + 1; i <= range.end; ++i) {
                if (column.large_offsets) {
                    static_cast<std::int64_t*>(column.values)[i] += static_cast<std::int64_t>(base);
                } else {
                    static_cast<std::int32_t*>(column.values)[i] += static_cast<std::int32_t>(base);
                }
            }
        }
        base += part.size;
    }
    free_column_bytes(column.data);
    column.data = data;
    column.data_bytes = total;
    return true;
}

}  // namespace

ColumnPlan plan_column(const FrameField& field, std::size_t field_index, std::uint64_t offset_bits) noexcept {
    ColumnPlan plan;
    plan.field = field;
    plan.field.start = field.start + offset_bits;
    if (field.arrangement == Arrangement::little_lsb0 && offset_bits % 8 != 0) {
        plan.field.start = field.start + offset_bits / 8 * 8;
        plan.frame_phase = static_cast<std::uint8_t>(offset_bits % 8);
    }
    plan.field_index = field_index;
    const CodecTraits& traits = codec_traits(field.codec);
    plan.bulk = traits.bulk;
    plan.type = traits.column_type(field.bits);
    switch (plan.bulk) {
        case BulkDecode::unsigned_bits: plan.loop = loop_for_shape<Convert::as_is>(plan.field, plan.type); break;
        case BulkDecode::twos_complement:
            plan.loop = field.bits == 0 ? loop_for_shape<Convert::as_is>(plan.field, plan.type)
                                        : loop_for_shape<Convert::sign_extend>(plan.field, plan.type);
            break;
        case BulkDecode::float16: plan.loop = loop_for_shape<Convert::float16>(plan.field, plan.type); break;
        case BulkDecode::float32: plan.loop = loop_for_shape<Convert::float32>(plan.field, plan.type); break;
        case BulkDecode::float64: plan.loop = loop_for_shape<Convert::float64>(plan.field, plan.type); break;
        case BulkDecode::slot: plan.loop = loop_for_shape<Convert::slot>(plan.field, plan.type); break;
        case BulkDecode::float128:
            plan.loop = field.count != 0 ? general_array_loop_for(plan.type) : float128_loop;
            break;
        default: break;
    }
    if (plan.frame_phase != 0 && plan.loop) plan.loop = phased_lsb0_loop_for(plan.type);
    return plan;
}

std::size_t largest_value_bytes(const ColumnPlan& plan) noexcept {
    const std::size_t bytes = plan.field.byte_count();
    if (plan.bulk != BulkDecode::text) return bytes;
    return bytes * text_decoder(plan.field.text).utf8_per_byte;
}

bool needs_large_offsets(const ColumnPlan& plan, std::size_t count) noexcept {
    const std::size_t largest = largest_value_bytes(plan);
    return largest != 0 && count > static_cast<std::size_t>(INT32_MAX) / largest;
}

bool decode_list_rows(const ListRequest& request, const ColumnPlan& plan, ColumnMemory& column,
                      DecodeOutcome& outcome) noexcept {
    try {
        std::vector<std::uint8_t> packet;
        const std::size_t item = column.item_size();
        auto last_poll = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < request.offsets.size(); ++i) {
            const auto count = static_cast<std::uint32_t>(column.list_offsets[i + 1] - column.list_offsets[i]);
            if (count == 0) continue;
            // The packet's bytes up to its array's end, with the padding of a block.
            const std::uint64_t end_bits = plan.field.start + std::uint64_t{count} * plan.field.bits;
            const auto bytes = static_cast<std::size_t>(std::min<std::uint64_t>((end_bits + 7) / 8, request.sizes[i]));
            packet.resize(bytes + kPadding);
            std::memcpy(packet.data(), request.data.data() + request.offsets[i], bytes);
            std::memset(packet.data() + bytes, 0, kPadding);
            ColumnPlan row = plan;
            row.field.count = count;
            LoopArguments arguments{&row, packet, bytes, 1, i,
                                    static_cast<std::uint8_t*>(column.values) +
                                        static_cast<std::size_t>(column.list_offsets[i]) * item,
                                    false, &outcome.failures};
            row.loop(arguments);
            if (!outcome.failures.empty()) return false;
            if (request.poll && i % 256 == 255) {
                const auto now = std::chrono::steady_clock::now();
                if (now - last_poll >= std::chrono::milliseconds(2)) {
                    last_poll = now;
                    if (!request.poll(request.poll_context)) {
                        outcome.stopped = true;
                        return false;
                    }
                }
            }
        }
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
        return false;
    }
    return true;
}

bool decode_columns(const DecodeRequest& request, std::span<const ColumnPlan> plans,
                    std::span<ColumnMemory* const> columns, DecodeOutcome& outcome) noexcept {
    for (std::size_t k = 0; k < plans.size(); ++k) {
        if (has_offsets(plans[k].type)) {
            if (columns[k]->large_offsets) static_cast<std::int64_t*>(columns[k]->values)[0] = 0;
            else static_cast<std::int32_t*>(columns[k]->values)[0] = 0;
        }
    }
    if (request.count == 0) return true;
    Shared shared;
    shared.request = &request;
    shared.plans = plans;
    shared.columns = columns;
    shared.block_frames = std::max<std::size_t>(1, kBlockBytes / request.frame_bytes);
    std::size_t threads = std::max<unsigned>(1, request.threads);
    threads = std::min(threads, std::max<std::size_t>(1, request.count / kFramesPerThread));
    std::vector<RangeResult> ranges;
    try {
        ranges.resize(threads);
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
        return false;
    }
    // Ranges of whole blocks, as even as they come.
    const std::size_t blocks = (request.count + shared.block_frames - 1) / shared.block_frames;
    for (std::size_t r = 0; r < threads; ++r) {
        ranges[r].begin = std::min(request.count, blocks * r / threads * shared.block_frames);
        ranges[r].end = std::min(request.count, blocks * (r + 1) / threads * shared.block_frames);
    }
    std::vector<std::thread> workers;
    try {
        workers.reserve(threads - 1);
        for (std::size_t r = 1; r < threads; ++r) {
            workers.emplace_back([&shared, &ranges, r] {
                decode_range(shared, ranges[r], false);
                {
                    const std::lock_guard<std::mutex> guard(shared.lock);
                    ++shared.finished;
                }
                shared.done.notify_one();
            });
        }
    } catch (...) {
        // The ranges without a thread of their own are decoded by the caller.
    }
    decode_range(shared, ranges[0], true);
    for (std::size_t r = workers.size() + 1; r < threads; ++r) decode_range(shared, ranges[r], true);
    // The caller keeps answering for signals while the others finish.
    {
        std::unique_lock<std::mutex> lock(shared.lock);
        while (shared.finished < workers.size()) {
            if (shared.done.wait_for(lock, std::chrono::milliseconds(2)) == std::cv_status::no_timeout) continue;
            if (!request.poll || shared.stop.load(std::memory_order_relaxed)) continue;
            lock.unlock();
            if (!request.poll(request.poll_context)) {
                ranges[0].stopped = true;
                shared.stop.store(true, std::memory_order_relaxed);
            }
            lock.lock();
        }
    }
    for (std::thread& worker : workers) worker.join();

    for (RangeResult& range : ranges) {
        outcome.out_of_memory |= range.out_of_memory;
        outcome.stopped |= range.stopped;
    }
    if (outcome.out_of_memory || outcome.stopped) return false;
    try {
        for (RangeResult& range : ranges) {
            for (FieldFailure& failure : range.failures) outcome.failures.push_back(std::move(failure));
        }
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
        return false;
    }
    std::stable_sort(outcome.failures.begin(), outcome.failures.end(), earlier);
    if (!request.null_on_error && !outcome.failures.empty()) {
        outcome.failures.resize(1);
        return false;
    }
    for (std::size_t k = 0; k < plans.size(); ++k) {
        if (has_offsets(plans[k].type) && !join_text(ranges, k, *columns[k])) {
            outcome.out_of_memory = true;
            return false;
        }
    }
    for (const FieldFailure& failure : outcome.failures) {
        if (!columns[failure.field_index]->set_null(failure.frame)) {
            outcome.out_of_memory = true;
            return false;
        }
    }
    return true;
}

}  // namespace bitloom::frames
