// Every text decoder on arbitrary bytes, checked three ways: against a plain
// reference decoder written here from the encoding's definition (same verdict,
// same code points, same error position), by the width it reports for the
// result (the writers must fit it exactly, or the str would be truncated), and
// by a round trip through the matching encoder, which must give back the very
// bytes that were decoded.  The same input, read as code points, then goes the
// other way: encode with every encoder, decode, compare.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codecs/decoder/single_byte.hpp"
#include "codecs/decoder/unicode.hpp"
#include "codecs/encoder/single_byte.hpp"
#include "codecs/encoder/unicode.hpp"
#include "core/windows_1252.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;
using CodePoints = std::vector<std::uint32_t>;
using Bytes = std::span<const std::uint8_t>;

namespace {

// ---- reference decoders ----------------------------------------------------

struct Reference {
    std::optional<CodePoints> text;  // empty on failure
    std::size_t error_index = 0;     // UTF-8: where the bad sequence starts
};

bool is_scalar(std::uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

Reference reference_utf8(Bytes bytes) {
    CodePoints out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint32_t lead = bytes[i];
        std::size_t length = 1;
        std::uint32_t minimum = 0;
        std::uint32_t c = lead;
        if (lead >= 0x80) {
            if (lead >= 0xC2 && lead <= 0xDF) {
                length = 2, minimum = 0x80, c = lead & 0x1F;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                length = 3, minimum = 0x800, c = lead & 0x0F;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                length = 4, minimum = 0x10000, c = lead & 0x07;
            } else {
                return {std::nullopt, i};
            }
            if (i + length > bytes.size()) return {std::nullopt, i};
            for (std::size_t k = 1; k < length; ++k) {
                if ((bytes[i + k] & 0xC0) != 0x80) return {std::nullopt, i};
                c = (c << 6) | (bytes[i + k] & 0x3Fu);
            }
            if (c < minimum || !is_scalar(c)) return {std::nullopt, i};
        }
        out.push_back(c);
        i += length;
    }
    return {out};
}

std::uint32_t unit(Bytes bytes, std::size_t index, std::size_t size, bool little) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < size; ++k) {
        const std::uint32_t byte = bytes[index * size + k];
        value |= byte << (8 * (little ? k : size - 1 - k));
    }
    return value;
}

Reference reference_utf16(Bytes bytes, bool little) {
    if (bytes.size() % 2 != 0) return {};
    CodePoints out;
    const std::size_t count = bytes.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t u = unit(bytes, i, 2, little);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            const std::uint32_t low = unit(bytes, i + 1, 2, little);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.push_back(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) return {};
        out.push_back(u);
    }
    return {out};
}

Reference reference_utf32(Bytes bytes, bool little) {
    if (bytes.size() % 4 != 0) return {};
    CodePoints out;
    for (std::size_t i = 0; i < bytes.size() / 4; ++i) {
        const std::uint32_t c = unit(bytes, i, 4, little);
        if (!is_scalar(c)) return {};
        out.push_back(c);
    }
    return {out};
}

Reference reference_utf16_marked(Bytes bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return {};
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) return reference_utf16(bytes.subspan(2), false);
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) return reference_utf16(bytes.subspan(2), true);
    return reference_utf16(bytes, false);
}

Reference reference_utf32_marked(Bytes bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) return {};
    const std::uint32_t first = unit(bytes, 0, 4, false);
    if (first == 0x0000FEFF) return reference_utf32(bytes.subspan(4), false);
    if (first == 0xFFFE0000) return reference_utf32(bytes.subspan(4), true);
    return reference_utf32(bytes, false);
}

Reference reference_single_byte(Bytes bytes, std::uint32_t limit) {
    CodePoints out(bytes.begin(), bytes.end());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] > limit) return {std::nullopt, i};
    }
    return {out};
}

Reference reference_windows_1252(Bytes bytes) {
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return {reference_utf8(bytes.subspan(3)).text};
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return reference_utf16(bytes.subspan(2), true);
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return reference_utf16(bytes.subspan(2), false);
    }
    CodePoints out;
    for (std::uint8_t byte : bytes) out.push_back(byte < 0x80 ? byte : kWindows1252Index[byte - 0x80]);
    return {out};
}

// ---- the checked path ------------------------------------------------------

// The forms the encoders write, for the round trips.
enum class Form { utf8, utf16be, utf16le, utf32be, utf32le, latin1, windows_1252 };

// A sink that gives exactly the room asked for, in the width the module's
// str would use, and remembers what was asked.
class RecordingSink final : public TextSink {
  public:
    bool reserve(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        FUZZ_CHECK(!reserved_);  // room is asked for once
        reserved_ = true;
        length_ = length;
        max_code_point_ = max_code_point;
        unit_ = max_code_point <= kLatin1Max ? 1 : max_code_point <= kBasicPlaneMax ? 2 : 4;
        storage_.reset(new std::uint8_t[length * unit_ + 1]);
        room = {storage_.get(), unit_};
        return true;
    }

    bool widen(std::size_t written, std::size_t length, std::uint32_t max_code_point,
               Room& room) override {
        FUZZ_CHECK(reserved_ && max_code_point > max_code_point_ && written <= length_);
        std::unique_ptr<std::uint8_t[]> old = std::move(storage_);
        const std::size_t old_unit = unit_;
        reserved_ = false;
        reserve(length, max_code_point, room);
        copy_widened(old.get(), old_unit, written, storage_.get(), unit_);
        return true;
    }

    // Cut at the end, at most once, to no more than the room.
    bool shrink(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        FUZZ_CHECK(reserved_ && !shrunk_ && max_code_point == max_code_point_ && length <= length_);
        shrunk_ = true;
        length_ = length;
        room = {storage_.get(), unit_};
        return true;
    }

    CodePoints code_points() const {
        CodePoints cps;
        if (!reserved_) return cps;
        for (std::size_t i = 0; i < length_; ++i) {
            const std::uint8_t* at = storage_.get() + i * unit_;
            std::uint32_t c = 0;
            if (unit_ == 1) c = *at;
            if (unit_ == 2) { std::uint16_t v; std::memcpy(&v, at, 2); c = v; }
            if (unit_ == 4) std::memcpy(&c, at, 4);
            cps.push_back(c);
        }
        std::uint32_t largest = 0;
        for (std::uint32_t c : cps) largest = std::max(largest, c);
        // The width asked for is the narrowest that holds the text: no wider
        // (a waste) and no narrower (a truncation).
        FUZZ_CHECK(max_code_point_ == width_limit(largest));
        return cps;
    }

  private:
    std::unique_ptr<std::uint8_t[]> storage_;
    bool reserved_ = false;
    bool shrunk_ = false;
    std::size_t length_ = 0;
    std::size_t unit_ = 1;
    std::uint32_t max_code_point_ = 0;
};

template <class Unit>
std::optional<std::vector<std::uint8_t>> encode_as(Form form, std::span<const Unit> cps) {
    std::vector<std::uint8_t> out;
    auto write_measured = [&](EncodedSize size, auto write) {
        FUZZ_CHECK(!size.has_surrogate);
        out.resize(size.bytes);
        write(out.data());
    };
    switch (form) {
        case Form::utf8:
            write_measured(measure_utf8(cps), [&](std::uint8_t* o) { write_utf8(cps, o); });
            return out;
        case Form::utf16be:
        case Form::utf16le:
            write_measured(measure_utf16(cps), [&](std::uint8_t* o) {
                write_utf16(cps, form == Form::utf16le, o);
            });
            return out;
        case Form::utf32be:
        case Form::utf32le:
            write_measured(measure_utf32(cps), [&](std::uint8_t* o) {
                write_utf32(cps, form == Form::utf32le, o);
            });
            return out;
        case Form::latin1:
        case Form::windows_1252: {
            out.resize(cps.size());
            const Status status = form == Form::latin1 ? encode_iso_8859_1(cps, out.data())
                                                       : encode_windows_1252(cps, out.data());
            if (!status) return std::nullopt;
            return out;
        }
    }
    return std::nullopt;
}

// Encodes with every unit width that can hold the text; all must agree.
std::optional<std::vector<std::uint8_t>> encode(Form form, const CodePoints& cps) {
    std::uint32_t largest = 0;
    for (std::uint32_t c : cps) largest = std::max(largest, c);
    const auto wide = encode_as<std::uint32_t>(form, std::span<const std::uint32_t>(cps));
    if (largest <= 0xFFFF) {
        const std::vector<std::uint16_t> narrow(cps.begin(), cps.end());
        FUZZ_CHECK(encode_as<std::uint16_t>(form, std::span<const std::uint16_t>(narrow)) == wide);
    }
    if (largest <= 0xFF) {
        const std::vector<std::uint8_t> narrow(cps.begin(), cps.end());
        FUZZ_CHECK(encode_as<std::uint8_t>(form, std::span<const std::uint8_t>(narrow)) == wide);
    }
    return wide;
}

std::string error_suffix(std::size_t index) { return "from index " + std::to_string(index); }

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool starts_with(Bytes bytes, std::initializer_list<std::uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// What a decoder read as text, and in which form: the input, or its tail
// after a byte-order mark.
struct Body {
    Bytes bytes;
    Form form;
};

Body utf16_body(Bytes input) {
    if (starts_with(input, {0xFE, 0xFF})) return {input.subspan(2), Form::utf16be};
    if (starts_with(input, {0xFF, 0xFE})) return {input.subspan(2), Form::utf16le};
    return {input, Form::utf16be};
}

Body utf32_body(Bytes input) {
    if (starts_with(input, {0xFF, 0xFE, 0x00, 0x00})) return {input.subspan(4), Form::utf32le};
    if (starts_with(input, {0x00, 0x00, 0xFE, 0xFF})) return {input.subspan(4), Form::utf32be};
    return {input, Form::utf32be};
}

// One decoder against its reference, then back through the encoder; with no
// body the round trip is skipped (Windows-1252 may have switched decoders).
template <class Decode>
void check_decoder(Decode decode, const Reference& reference, std::optional<Body> body,
                   bool check_utf8_index = false) {
    RecordingSink sink;
    const Status decoded = decode(sink);
    FUZZ_CHECK(decoded.ok() == reference.text.has_value());
    if (!decoded.ok()) {
        FUZZ_CHECK(decoded.error().kind == ErrorKind::value_error);
        if (check_utf8_index) {
            FUZZ_CHECK(ends_with(decoded.error().message, error_suffix(reference.error_index)));
        }
        return;
    }
    const CodePoints cps = sink.code_points();
    FUZZ_CHECK(cps == *reference.text);
    if (!body) return;
    const auto again = encode(body->form, cps);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(std::equal(again->begin(), again->end(), body->bytes.begin(), body->bytes.end()));
}

void check_decoders(Bytes input) {
    check_decoder([&](TextSink& s) { return decode_utf8(input, s); }, reference_utf8(input),
                  Body{input, Form::utf8}, true);
    check_decoder([&](TextSink& s) { return decode_utf16(input, s); },
                  reference_utf16_marked(input), utf16_body(input));
    check_decoder([&](TextSink& s) { return decode_utf16_with_endianness(input, true, s); },
                  reference_utf16(input, true), Body{input, Form::utf16le});
    check_decoder([&](TextSink& s) { return decode_utf16_with_endianness(input, false, s); },
                  reference_utf16(input, false), Body{input, Form::utf16be});
    check_decoder([&](TextSink& s) { return decode_utf32(input, s); },
                  reference_utf32_marked(input), utf32_body(input));
    check_decoder([&](TextSink& s) { return decode_utf32_with_endianness(input, true, s); },
                  reference_utf32(input, true), Body{input, Form::utf32le});
    check_decoder([&](TextSink& s) { return decode_utf32_with_endianness(input, false, s); },
                  reference_utf32(input, false), Body{input, Form::utf32be});
    check_decoder([&](TextSink& s) { return decode_us_ascii(input, s); },
                  reference_single_byte(input, 0x7F), Body{input, Form::latin1});
    check_decoder([&](TextSink& s) { return decode_iso_8859_1(input, s); },
                  reference_single_byte(input, 0xFF), Body{input, Form::latin1});
    const bool sniffed = starts_with(input, {0xEF, 0xBB, 0xBF}) ||
                         starts_with(input, {0xFF, 0xFE}) || starts_with(input, {0xFE, 0xFF});
    check_decoder([&](TextSink& s) { return decode_windows_1252(input, s); },
                  reference_windows_1252(input),
                  sniffed ? std::nullopt : std::optional<Body>(Body{input, Form::windows_1252}));
    RecordingSink sink;
    const Status ascii = decode_us_ascii(input, sink);
    if (!ascii.ok()) {
        const std::size_t bad = reference_single_byte(input, 0x7F).error_index;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", input[bad]);
        FUZZ_CHECK(ascii.error().message.find(hex) != std::string::npos);
    }
}

// Code points from the input, three bytes each, drawn from every range a str
// can hold (surrogates included, which every encoder must report).
CodePoints code_points_from(Bytes input) {
    CodePoints cps;
    for (std::size_t i = 0; i + 3 <= input.size(); i += 3) {
        const std::uint32_t low = (std::uint32_t{input[i + 1]} << 8) | input[i + 2];
        switch (input[i] % 4) {
            case 0: cps.push_back(input[i + 1] & 0x7Fu); break;
            case 1: cps.push_back(input[i + 1]); break;
            case 2: cps.push_back(low); break;
            default: cps.push_back((((input[i] >> 2) % 17u) << 16) | low); break;
        }
    }
    return cps;
}

template <class Unit>
void check_surrogate_reports(const CodePoints& cps, bool expected) {
    const std::vector<Unit> units(cps.begin(), cps.end());
    const std::span<const Unit> view(units);
    FUZZ_CHECK(contains_surrogate(view) == expected);
    FUZZ_CHECK(measure_utf8(view).has_surrogate == expected);
    FUZZ_CHECK(measure_utf16(view).has_surrogate == expected);
    FUZZ_CHECK(measure_utf32(view).has_surrogate == expected);
}

void check_encoders(const CodePoints& cps) {
    bool surrogate = false;
    std::uint32_t largest = 0;
    for (std::uint32_t c : cps) {
        surrogate |= c >= 0xD800 && c <= 0xDFFF;
        largest = std::max(largest, c);
    }
    check_surrogate_reports<std::uint32_t>(cps, surrogate);
    if (largest <= 0xFFFF) check_surrogate_reports<std::uint16_t>(cps, surrogate);
    if (surrogate) return;

    const Form forms[] = {Form::utf8, Form::utf16be, Form::utf16le, Form::utf32be, Form::utf32le};
    for (Form form : forms) {
        const auto bytes = encode(form, cps);
        FUZZ_CHECK(bytes.has_value());
        const Bytes view(*bytes);
        RecordingSink sink;
        const Status decoded =
            form == Form::utf8      ? decode_utf8(view, sink)
            : form == Form::utf16be ? decode_utf16_with_endianness(view, false, sink)
            : form == Form::utf16le ? decode_utf16_with_endianness(view, true, sink)
            : form == Form::utf32be ? decode_utf32_with_endianness(view, false, sink)
                                    : decode_utf32_with_endianness(view, true, sink);
        FUZZ_CHECK(decoded.ok());
        FUZZ_CHECK(sink.code_points() == cps);
    }

    // The single-byte sets: success exactly when every code point has a byte,
    // and then the bytes are the code points' bytes.
    std::vector<std::uint8_t> out(cps.size());
    const std::span<const std::uint32_t> view(cps);
    const Status ascii = encode_us_ascii(view, out.data());
    FUZZ_CHECK(ascii.ok() == (largest <= 0x7F));
    if (ascii.ok()) FUZZ_CHECK(std::equal(out.begin(), out.end(), cps.begin(), cps.end()));
    const Status latin1 = encode_iso_8859_1(view, out.data());
    FUZZ_CHECK(latin1.ok() == (largest <= 0xFF));
    if (latin1.ok()) FUZZ_CHECK(std::equal(out.begin(), out.end(), cps.begin(), cps.end()));
    bool representable = true;
    for (std::uint32_t c : cps) {
        bool found = c < 0x80;
        for (std::uint16_t mapped : kWindows1252Index) found |= mapped == c;
        representable &= found;
    }
    const Status windows = encode_windows_1252(view, out.data());
    FUZZ_CHECK(windows.ok() == representable);
    if (windows.ok()) {
        for (std::size_t i = 0; i < cps.size(); ++i) {
            const std::uint32_t back = out[i] < 0x80 ? out[i] : kWindows1252Index[out[i] - 0x80];
            FUZZ_CHECK(back == cps[i]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input's size, so that a read past its end is
    // caught however the fuzzer's own buffer is laid out.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    const Bytes input(copy.get(), size);
    check_decoders(input);
    check_encoders(code_points_from(input));
    return 0;
}
