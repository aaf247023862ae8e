// What Python cannot see: that the decoders and encoders stay inside the
// room they measured.  UTF-8 is decoded in one pass that validates and
// writes together, into a str allocated from a count made before any
// validation; Latin-1 text is encoded to UTF-8 two bytes per code point
// whether it needs them or not.  Every input of up to three bytes, behind
// ASCII runs that move it across the word-at-a-time paths, and Latin-1 text
// of every shape, must leave sentinel bytes after the room untouched and,
// when valid, come back unchanged.  (Values and messages are compared with
// CPython's codecs in pytest.)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/decoder/unicode.hpp"
#include "codecs/encoder/unicode.hpp"
#include "check.hpp"

using namespace bitloom;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kSentinel = 0xA5;
constexpr std::size_t kGuard = 16;

// Room of the narrowest width the request allows, or four bytes per code
// point to try the wide writers, followed by sentinel bytes.
class GuardedSink final : public TextSink {
  public:
    explicit GuardedSink(bool narrowest) : narrowest_(narrowest) {}

    bool reserve(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        length_ = length;
        unit_size_ = !narrowest_                  ? 4
                     : max_code_point <= 0xFF   ? 1
                     : max_code_point <= 0xFFFF ? 2
                                                : 4;
        storage_.assign(length * unit_size_ + kGuard, kSentinel);
        room = {storage_.data(), unit_size_};
        return true;
    }

    bool widen(std::size_t written, std::size_t length, std::uint32_t max_code_point,
               Room& room) override {
        CHECK(guard_intact());
        const Bytes old = storage_;
        const std::size_t old_unit_size = unit_size_;
        reserve(length, max_code_point, room);
        CHECK(unit_size_ >= old_unit_size && written <= length);
        ++widenings;
        copy_widened(old.data(), old_unit_size, written, storage_.data(), unit_size_);
        return true;
    }

    int widenings = 0;
    std::size_t unit_size() const { return unit_size_; }

    bool guard_intact() const {
        for (std::size_t i = length_ * unit_size_; i < storage_.size(); ++i) {
            if (storage_[i] != kSentinel) return false;
        }
        return true;
    }

    // The text as UTF-8 again.
    Bytes reencoded() const {
        std::vector<std::uint32_t> code_points(length_);
        for (std::size_t i = 0; i < length_; ++i) {
            const std::uint8_t* unit = storage_.data() + unit_size_ * i;
            std::uint16_t two = 0;
            switch (unit_size_) {
                case 1: code_points[i] = *unit; break;
                case 2: std::memcpy(&two, unit, 2); code_points[i] = two; break;
                default: std::memcpy(&code_points[i], unit, 4);
            }
        }
        const std::span<const std::uint32_t> span(code_points);
        Bytes utf8(measure_utf8(span).bytes);
        write_utf8(span, utf8.data());
        return utf8;
    }

  private:
    bool narrowest_;
    std::size_t length_ = 0;
    std::size_t unit_size_ = 0;
    Bytes storage_;
};

void check_decode(const Bytes& input) {
    for (bool narrowest : {true, false}) {
        GuardedSink sink(narrowest);
        const Status status = decode_utf8(input, sink);
        CHECK(sink.guard_intact());
        if (status) CHECK(sink.reencoded() == input);
    }
}

void test_utf8_decoding_stays_in_its_room() {
    // After the first two bytes: nothing, or a byte at each edge of the ranges.
    const int thirds[] = {-1,   0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                          0xA0, 0xBF, 0xC0, 0xC3, 0xE2, 0xF0, 0xFF};
    for (std::size_t ascii : {0, 7, 8, 17, 31, 32, 40}) {
        for (unsigned a = 0x80; a < 0x100; ++a) {
            for (unsigned b = 0; b < 0x100; ++b) {
                for (int c : thirds) {
                    Bytes input(ascii, 'a');
                    input.push_back(static_cast<std::uint8_t>(a));
                    input.push_back(static_cast<std::uint8_t>(b));
                    if (c >= 0) input.push_back(static_cast<std::uint8_t>(c));
                    check_decode(input);
                }
            }
        }
    }
}

void test_latin1_to_utf8_fills_exactly() {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t wide_from = 0; wide_from <= length; ++wide_from) {
            Bytes text(length, 'a');
            for (std::size_t i = wide_from; i < length; i += 3) {
                text[i] = static_cast<std::uint8_t>(0x80 + i);
            }
            const std::span<const std::uint8_t> code_points(text);
            const std::size_t size = measure_utf8(code_points).bytes;
            Bytes utf8(size + kGuard, kSentinel);
            write_utf8(code_points, utf8.data());
            for (std::size_t i = size; i < utf8.size(); ++i) CHECK(utf8[i] == kSentinel);
            utf8.resize(size);
            GuardedSink sink(true);
            CHECK(decode_utf8(utf8, sink).ok() && sink.reencoded() == utf8);
        }
    }
}

// UTF-16 and UTF-32 text whose wider code points first appear past the units
// looked at before the room is asked for: the room is widened, and every
// widening must carry the text so far and stay inside the new room.
void test_widening_keeps_text_and_room() {
    const std::uint32_t wider[] = {0xE9, 0x20AC, 0x1F600, 0xFFFF, 0x10FFFF};
    for (std::size_t before : {0, 1, 15, 16, 63, 64, 65, 130}) {
        for (std::uint32_t first : wider) {
            for (std::uint32_t second : wider) {
                std::vector<std::uint32_t> code_points(before, 'a');
                code_points.push_back(first);
                code_points.insert(code_points.end(), before, 'b');
                code_points.push_back(second);
                code_points.push_back('c');
                const std::span<const std::uint32_t> text(code_points);
                Bytes utf8(measure_utf8(text).bytes);
                write_utf8(text, utf8.data());
                for (bool little_endian : {false, true}) {
                    Bytes utf16(measure_utf16(text).bytes);
                    write_utf16(text, little_endian, utf16.data());
                    Bytes utf32(measure_utf32(text).bytes);
                    write_utf32(text, little_endian, utf32.data());
                    for (bool narrowest : {true, false}) {
                        GuardedSink sink16(narrowest);
                        CHECK(decode_utf16_with_endianness(utf16, little_endian, sink16).ok());
                        CHECK(sink16.guard_intact() && sink16.reencoded() == utf8);
                        GuardedSink sink32(narrowest);
                        CHECK(decode_utf32_with_endianness(utf32, little_endian, sink32).ok());
                        CHECK(sink32.guard_intact() && sink32.reencoded() == utf8);
                        if (narrowest && before > 64) CHECK(sink32.widenings >= 1);
                    }
                }
            }
        }
    }
}

// Rewrites the input when the room is asked for, as a writer in another
// thread or process may between a decoder's first look at its bytes and its
// writing: the room then fits the old bytes, and the new ones must neither
// leave it nor give a str of the wrong width.
class RewritingSink final : public TextSink {
  public:
    RewritingSink(GuardedSink& inner, Bytes& input, const Bytes& replacement)
        : inner_(inner), input_(input), replacement_(replacement) {}

    bool reserve(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        std::copy(replacement_.begin(), replacement_.end(), input_.begin());
        return inner_.reserve(length, max_code_point, room);
    }
    bool widen(std::size_t written, std::size_t length, std::uint32_t max_code_point,
               Room& room) override {
        return inner_.widen(written, length, max_code_point, room);
    }
    bool shrink(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        CHECK(inner_.guard_intact());
        return inner_.shrink(length, max_code_point, room);
    }

  private:
    GuardedSink& inner_;
    Bytes& input_;
    const Bytes& replacement_;
};

Bytes encoded(const std::vector<std::uint32_t>& code_points, int form) {
    const std::span<const std::uint32_t> text(code_points);
    Bytes bytes(form == 8 ? measure_utf8(text).bytes : form == 16 ? measure_utf16(text).bytes
                                                                  : measure_utf32(text).bytes);
    if (form == 8) write_utf8(text, bytes.data());
    if (form == 16) (void)write_utf16(text, true, bytes.data());
    if (form == 32) (void)write_utf32(text, true, bytes.data());
    return bytes;
}

Status decode_form(const Bytes& bytes, int form, TextSink& sink) {
    if (form == 8) return decode_utf8(bytes, sink);
    if (form == 16) return decode_utf16_with_endianness(bytes, true, sink);
    return decode_utf32_with_endianness(bytes, true, sink);
}

// Texts of one head (64 code units of one width) and a long rest, as the
// bytes before and after they change: the decode must come out as that of
// the head and the new rest.
void test_input_changed_after_the_room_was_made() {
    const std::uint32_t heads[] = {'a', 0xE9, 0x20AC, 0x1F600};
    const std::uint32_t rests[] = {'a', 0xE9, 0x72B6, 0x1F600};
    for (int form : {8, 16, 32}) {
        for (std::uint32_t head : heads) {
            // 64 code units of the head in every form: UTF-8 characters of
            // 1 to 4 bytes, UTF-16 units or pairs.
            const std::size_t unit_bytes = form / 8;
            const std::size_t head_bytes = 64 * unit_bytes;
            std::vector<std::uint32_t> head_text;
            while (encoded(head_text, form).size() < head_bytes) head_text.push_back(head);
            if (encoded(head_text, form).size() != head_bytes) continue;
            for (std::uint32_t before : rests) {
                for (std::uint32_t after : rests) {
                    std::vector<std::uint32_t> old_text = head_text;
                    std::vector<std::uint32_t> new_text = head_text;
                    // Both rests of the same size: 12 KiB of repeats of
                    // their character (whose sizes all divide 12).
                    const std::size_t rest_bytes = 12288;
                    while (encoded(old_text, form).size() < head_bytes + rest_bytes) old_text.push_back(before);
                    while (encoded(new_text, form).size() < head_bytes + rest_bytes) new_text.push_back(after);
                    Bytes input = encoded(old_text, form);
                    const Bytes replacement = encoded(new_text, form);
                    CHECK(input.size() == replacement.size());
                    for (bool narrowest : {true, false}) {
                        GuardedSink raced(narrowest);
                        RewritingSink rewriting(raced, input, replacement);
                        input = encoded(old_text, form);
                        CHECK(decode_form(input, form, rewriting).ok());
                        CHECK(raced.guard_intact());
                        GuardedSink calm(narrowest);
                        CHECK(decode_form(replacement, form, calm).ok());
                        CHECK(raced.reencoded() == calm.reencoded());
                        CHECK(raced.unit_size() == calm.unit_size());
                    }
                }
            }
        }
    }
}

}  // namespace

// The measures of text stored two and four bytes wide count eight or more
// code points a step, summing narrow lanes in chunks (four-byte text by
// every vector path this machine has).  Every code point at
// the edge of a UTF-8 length or of the surrogate block, at every position of
// a step and in the tail after the last whole step, and a text long enough
// to fill the lanes past a chunk, must give the counts of a plain per-code-
// point sum.
template <class Unit>
void check_measures(const std::vector<Unit>& code_points) {
    std::size_t utf8 = 0;
    std::size_t utf16 = 0;
    bool surrogate = false;
    for (const std::uint32_t c : code_points) {
        utf8 += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        utf16 += c < 0x10000 ? 2 : 4;
        surrogate = surrogate || (c >= 0xD800 && c <= 0xDFFF);
    }
    const std::span<const Unit> text(code_points);
    CHECK(measure_utf8(text).bytes == utf8 && measure_utf8(text).has_surrogate == surrogate);
    if constexpr (sizeof(Unit) == 4) {
        for (const auto path :
             {Utf8MeasurePath::plain, Utf8MeasurePath::sse2, Utf8MeasurePath::avx2}) {
            if (!utf8_measure_path_available(path)) continue;
            const EncodedSize size = measure_utf8_by(path, text);
            CHECK(size.bytes == utf8 && size.has_surrogate == surrogate);
        }
    }
    CHECK(measure_utf16(text).bytes == utf16 && measure_utf16(text).has_surrogate == surrogate);
    CHECK(measure_utf32(text).has_surrogate == surrogate);
    CHECK(contains_surrogate(text) == surrogate);
}

void test_measures_count_every_code_point() {
    const std::uint32_t edges[] = {0x00,   0x7F,   0x80,   0x7FF,  0x800,   0xD7FF,   0xD800,
                                   0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF,  0x10000,  0x10FFFF};
    for (std::size_t length : {1, 7, 8, 9, 15, 16, 17, 23}) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const std::uint32_t edge : edges) {
                std::vector<std::uint32_t> wide(length, 'a');
                wide[at] = edge;
                check_measures(wide);
                if (edge <= 0xFFFF) {
                    check_measures(std::vector<std::uint16_t>(wide.begin(), wide.end()));
                }
            }
        }
    }
    // 16-bit lanes gain up to three a step: past 2^16 / 3 steps a lane that
    // was not summed in time would wrap.
    for (const std::uint32_t fill : {0x10FFFFu, 0xFFFFu, 0xDFFFu}) {
        std::vector<std::uint32_t> long_text(3 * 131072 + 5, fill);
        long_text[200000] = 'a';
        check_measures(long_text);
    }
}

int main() {
    test_widening_keeps_text_and_room();
    test_utf8_decoding_stays_in_its_room();
    test_latin1_to_utf8_fills_exactly();
    test_measures_count_every_code_point();
    test_input_changed_after_the_room_was_made();
    return failures == 0 ? 0 : 1;
}
