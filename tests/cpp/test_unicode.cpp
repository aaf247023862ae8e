// The Unicode routines against independent oracles.
//
// UTF-8: the set of well-formed sequences is built by encoding every scalar
// value by the textbook bit layout; an input is then judged by walking it
// with that prefix set (UTF-8 is prefix-free), which also gives the expected
// error position and length.  Every input of up to three bytes, and four-byte
// inputs over the interesting byte values, is compared, behind ASCII prefixes
// of every length that moves the sequence across the word-at-a-time path.
// UTF-16 and UTF-32: every short sequence over boundary values, at every
// offset inside the block-at-a-time checks, against a unit-by-unit oracle.
// Every decode goes into a sink guarded against overruns, also when it fails.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "common/message.hpp"
#include "decoder/unicode.hpp"
#include "encoder/unicode.hpp"
#include "vector_sink.hpp"

using namespace bitloom;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The lead byte carries the top bits, each continuation byte six more.
Bytes textbook_utf8(std::uint32_t c) {
    const int continuations = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    const std::uint32_t lead_marks[] = {0x00, 0xC0, 0xE0, 0xF0};
    Bytes out{static_cast<std::uint8_t>(lead_marks[continuations] | c >> (6 * continuations))};
    for (int k = continuations - 1; k >= 0; --k) {
        out.push_back(static_cast<std::uint8_t>(0x80 | (c >> (6 * k) & 0x3F)));
    }
    return out;
}

std::uint64_t prefix_key(const std::uint8_t* bytes, std::size_t length) {
    std::uint64_t key = length;
    for (std::size_t i = 0; i < length; ++i) key = key << 8 | bytes[i];
    return key;
}

struct Utf8Oracle {
    std::unordered_set<std::uint64_t> complete;
    std::unordered_set<std::uint64_t> prefixes;  // of well-formed sequences, not themselves

    Utf8Oracle() {
        for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            const Bytes b = textbook_utf8(c);
            complete.insert(prefix_key(b.data(), b.size()));
            for (std::size_t k = 1; k < b.size(); ++k) prefixes.insert(prefix_key(b.data(), k));
        }
    }

    // The expected error message, or nothing for valid input.
    std::optional<std::string> judge(const Bytes& input) const {
        std::size_t i = 0;
        while (i < input.size()) {
            std::size_t length = 1;
            for (; i + length <= input.size(); ++length) {
                const std::uint64_t key = prefix_key(input.data() + i, length);
                if (complete.count(key)) break;
                if (!prefixes.count(key)) break;
            }
            const bool whole = i + length <= input.size();
            if (whole && complete.count(prefix_key(input.data() + i, length))) {
                i += length;
                continue;
            }
            const auto index = static_cast<std::uint64_t>(i);
            if (i + length > input.size()) {
                return format_message(
                    "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {}", {index});
            }
            const std::uint64_t accepted = length > 1 ? length - 1 : 1;
            return format_message(
                "Invalid UTF-8 bytes: invalid utf-8 sequence of {} bytes from index {}",
                {accepted, index});
        }
        return std::nullopt;
    }
};

std::uint32_t expected_width(const std::vector<std::uint32_t>& code_points) {
    std::uint32_t widest = 0;
    for (std::uint32_t c : code_points) widest = std::max(widest, c);
    return width_limit(widest);
}

void check_utf8_against(const Utf8Oracle& oracle, const Bytes& input) {
    const auto expected = oracle.judge(input);
    for (bool narrowest : {true, false}) {
        VectorSink sink(narrowest);
        const auto result = decode_utf8(input, sink);
        CHECK(sink.guard_intact());
        CHECK(result.ok() == !expected);
        if (!result.ok()) {
            CHECK(expected && result.error().message == *expected);
            continue;
        }
        const auto code_points = sink.code_points();
        Bytes reencoded;
        for (std::uint32_t c : code_points) {
            const Bytes b = textbook_utf8(c);
            reencoded.insert(reencoded.end(), b.begin(), b.end());
        }
        CHECK(reencoded == input);
        CHECK(sink.max_code_point == expected_width(code_points));
    }
}

void test_utf8_exhaustive(const Utf8Oracle& oracle) {
    for (unsigned a = 0; a < 256; ++a) {
        const auto first = static_cast<std::uint8_t>(a);
        check_utf8_against(oracle, {first});
        for (unsigned b = 0; b < 256; ++b) {
            const auto second = static_cast<std::uint8_t>(b);
            check_utf8_against(oracle, {first, second});
            if (a < 0xC0) continue;  // ASCII and stray continuation leads are covered above
            for (unsigned c = 0; c < 256; ++c) {
                check_utf8_against(oracle, {first, second, static_cast<std::uint8_t>(c)});
            }
        }
    }
    const std::uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90,
                                  0x9F, 0xA0, 0xBF, 0xC0, 0xF4, 0xFF};
    for (unsigned lead = 0xF0; lead <= 0xF5; ++lead) {
        for (std::uint8_t b : edges) {
            for (std::uint8_t c : edges) {
                for (std::uint8_t d : edges) {
                    check_utf8_against(oracle, {static_cast<std::uint8_t>(lead), b, c, d});
                }
            }
        }
    }
}

void test_utf8_across_word_boundaries(const Utf8Oracle& oracle) {
    const Bytes samples[] = {{0xC3, 0xA9}, {0xE2, 0x82, 0xAC}, {0xF0, 0x9F, 0x98, 0x80},
                             {0x80},       {0xC3, 0x28},       {0xE2, 0x82},
                             {0xED, 0xA0, 0x80}, {0xF0, 0x9F, 0x98, 0x41}};
    for (std::size_t ascii = 0; ascii <= 33; ++ascii) {
        for (const Bytes& sample : samples) {
            for (std::size_t tail : {0, 1, 9}) {
                Bytes input(ascii, 'a');
                input.insert(input.end(), sample.begin(), sample.end());
                input.insert(input.end(), tail, 'z');
                check_utf8_against(oracle, input);
            }
        }
    }
}

// ---- UTF-16 and UTF-32 ---------------------------------------------------

Bytes serialise(const std::vector<std::uint32_t>& units, int unit_size, bool little_endian) {
    Bytes out;
    for (std::uint32_t u : units) {
        for (int i = 0; i < unit_size; ++i) {
            const int shift = little_endian ? 8 * i : 8 * (unit_size - 1 - i);
            out.push_back(static_cast<std::uint8_t>(u >> shift));
        }
    }
    return out;
}

// Unit by unit: the code points, or nothing for a lone surrogate.
std::optional<std::vector<std::uint32_t>> utf16_oracle(const std::vector<std::uint32_t>& units) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            return std::nullopt;
        } else {
            out.push_back(u);
        }
    }
    return out;
}

void check_utf16(const std::vector<std::uint32_t>& units) {
    const auto expected = utf16_oracle(units);
    for (bool little_endian : {false, true}) {
        for (bool narrowest : {true, false}) {
            const Bytes input = serialise(units, 2, little_endian);
            VectorSink sink(narrowest);
            const auto result = decode_utf16_with_endianness(input, little_endian, sink);
            CHECK(result.ok() == expected.has_value());
            if (!result.ok()) {
                CHECK(result.error().message ==
                      "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
                CHECK(sink.reservations == 0);
                continue;
            }
            CHECK(sink.guard_intact());
            CHECK(sink.code_points() == *expected);
            CHECK(sink.max_code_point == expected_width(*expected));
        }
    }
}

void test_utf16_sequences() {
    const std::uint32_t values[] = {0x0041, 0x00E9, 0x20AC, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFF};
    constexpr std::size_t kCount = std::size(values);
    // Every sequence of up to 4 of these values, after 0..16 plain units and
    // before 13 more, so that it lands at every offset of the first 16-unit
    // block, across its end, and in the tail after it.
    for (std::size_t length = 1; length <= 4; ++length) {
        std::size_t total = 1;
        for (std::size_t i = 0; i < length; ++i) total *= kCount;
        for (std::size_t n = 0; n < total; ++n) {
            for (std::size_t lead = 0; lead <= 16; ++lead) {
                std::vector<std::uint32_t> units(lead, 0x0061);
                for (std::size_t i = 0, rest = n; i < length; ++i, rest /= kCount) {
                    units.push_back(values[rest % kCount]);
                }
                units.insert(units.end(), 13, 0x0062);
                check_utf16(units);
            }
        }
    }
}

void test_utf32_sequences() {
    const std::uint32_t bad[] = {0xD800, 0xDFFF, 0x110000, 0xFFFFFFFF, 0x80000041};
    for (std::size_t length = 0; length <= 19; ++length) {
        for (std::size_t position = 0; position <= length; ++position) {
            for (std::uint32_t wrong : bad) {
                std::vector<std::uint32_t> values(length, 0x10FFFF);
                if (position < length) values[position] = wrong;
                // A second wrong value later must not be the one reported.
                if (position + 1 < length) values[length - 1] = 0x0000DC00;
                for (bool little_endian : {false, true}) {
                    const Bytes input = serialise(values, 4, little_endian);
                    VectorSink sink;
                    const auto result = decode_utf32_with_endianness(input, little_endian, sink);
                    if (position == length) {
                        CHECK(result.ok() && sink.code_points() == values && sink.guard_intact());
                        CHECK(sink.max_code_point == (length == 0 ? kAsciiMax : kUnicodeMax));
                    } else {
                        const std::string message =
                            "Invalid UTF-32 codepoint: 0x" + to_hex(wrong, 8);
                        CHECK(!result.ok() && result.error().message == message);
                    }
                }
            }
        }
    }
}

// ---- encoders ------------------------------------------------------------

// The writers fill exactly the measured size: sentinel bytes after it stay.
template <class Unit, class Write>
Bytes write_guarded(std::size_t size, Write write) {
    Bytes buffer(size + 16, 0xA5);
    write(buffer.data());
    for (std::size_t i = size; i < buffer.size(); ++i) CHECK(buffer[i] == 0xA5);
    buffer.resize(size);
    return buffer;
}

template <class Unit>
void check_encoders_round_trip(const std::vector<Unit>& text) {
    const std::span<const Unit> span(text);
    std::vector<std::uint32_t> expected(text.begin(), text.end());

    const EncodedSize utf8_size = measure_utf8(span);
    CHECK(!utf8_size.has_surrogate);
    const Bytes utf8 =
        write_guarded<Unit>(utf8_size.bytes, [&](std::uint8_t* out) { write_utf8(span, out); });
    VectorSink utf8_sink;
    CHECK(decode_utf8(utf8, utf8_sink).ok() && utf8_sink.code_points() == expected);

    for (bool little_endian : {false, true}) {
        const Bytes utf16 = write_guarded<Unit>(measure_utf16(span).bytes, [&](std::uint8_t* out) {
            write_utf16(span, little_endian, out);
        });
        VectorSink utf16_sink;
        CHECK(decode_utf16_with_endianness(utf16, little_endian, utf16_sink).ok() &&
              utf16_sink.code_points() == expected);

        const Bytes utf32 = write_guarded<Unit>(measure_utf32(span).bytes, [&](std::uint8_t* out) {
            write_utf32(span, little_endian, out);
        });
        VectorSink utf32_sink;
        CHECK(decode_utf32_with_endianness(utf32, little_endian, utf32_sink).ok() &&
              utf32_sink.code_points() == expected);
    }
}

// Latin-1 text is written eight code points at a time: every length, with
// the wide code points at every position, including the very last.
void test_latin1_text_of_every_shape() {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t wide_from = 0; wide_from <= length; ++wide_from) {
            std::vector<std::uint8_t> text(length, 'a');
            for (std::size_t i = wide_from; i < length; i += 3) {
                text[i] = static_cast<std::uint8_t>(0x80 + i);
            }
            check_encoders_round_trip(text);
        }
    }
}

void test_encoders_every_scalar_value() {
    std::vector<std::uint8_t> latin1;
    for (std::uint32_t c = 0; c <= 0xFF; ++c) latin1.push_back(static_cast<std::uint8_t>(c));
    check_encoders_round_trip(latin1);
    std::vector<std::uint16_t> basic;
    for (std::uint32_t c = 0; c <= 0xFFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF) basic.push_back(static_cast<std::uint16_t>(c));
    }
    check_encoders_round_trip(basic);
    std::vector<std::uint32_t> all;
    for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF) all.push_back(c);
    }
    check_encoders_round_trip(all);
}

void test_surrogates_are_measured() {
    for (std::uint32_t s : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
        const std::vector<std::uint16_t> narrow{0x41, static_cast<std::uint16_t>(s), 0x42};
        const std::vector<std::uint32_t> wide{0x1F600, s};
        CHECK(measure_utf8(std::span<const std::uint16_t>(narrow)).has_surrogate);
        CHECK(measure_utf16(std::span<const std::uint16_t>(narrow)).has_surrogate);
        CHECK(measure_utf32(std::span<const std::uint32_t>(wide)).has_surrogate);
        CHECK(contains_surrogate(std::span<const std::uint32_t>(wide)));
    }
    const std::vector<std::uint16_t> edges{0xD7FF, 0xE000};
    CHECK(!measure_utf8(std::span<const std::uint16_t>(edges)).has_surrogate);
}

}  // namespace

int main() {
    const Utf8Oracle oracle;
    test_utf8_exhaustive(oracle);
    test_utf8_across_word_boundaries(oracle);
    test_utf16_sequences();
    test_utf32_sequences();
    test_encoders_every_scalar_value();
    test_latin1_text_of_every_shape();
    test_surrogates_are_measured();
    return check::exit_code();
}
