// Every text decoder on arbitrary bytes, checked three ways: against a plain
// reference decoder written here from the encoding's definition (same verdict,
// same code points, same error position), by the width it reports for the
// result (the writers must fit it exactly, or the str would be truncated), and
// by a round trip through the matching encoder, which must give back the very
// bytes that were decoded.  The same input, read as code points, then goes the
// other way: encode with every encoder, decode, compare.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decoder/single_byte.hpp"
#include "decoder/unicode.hpp"
#include "encoder/single_byte.hpp"
#include "encoder/unicode.hpp"
#include "common/windows_1252.hpp"
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

// Writes the validated text into storage of exactly `length` units of the
// width it asked for, as the module does for a str.
template <class Unit>
CodePoints write_as(const ValidatedText& text) {
    std::unique_ptr<Unit[]> storage(new Unit[text.length]);
    Unit* out = storage.get();
    switch (text.form) {
        case SourceForm::latin1: write_latin1_code_points(text.bytes, out); break;
        case SourceForm::windows_1252: write_windows_1252_code_points(text.bytes, out); break;
        case SourceForm::utf8: write_utf8_code_points(text.bytes, out); break;
        case SourceForm::utf16be: write_utf16_code_points(text.bytes, false, out); break;
        case SourceForm::utf16le: write_utf16_code_points(text.bytes, true, out); break;
        case SourceForm::utf32be: write_utf32_code_points(text.bytes, false, out); break;
        case SourceForm::utf32le: write_utf32_code_points(text.bytes, true, out); break;
    }
    return CodePoints(out, out + text.length);
}

CodePoints materialise(const ValidatedText& text) {
    CodePoints cps = text.max_code_point <= kLatin1Max        ? write_as<std::uint8_t>(text)
                     : text.max_code_point <= kBasicPlaneMax ? write_as<std::uint16_t>(text)
                                                             : write_as<std::uint32_t>(text);
    std::uint32_t largest = 0;
    for (std::uint32_t c : cps) largest = std::max(largest, c);
    // The reported width is the narrowest that holds the text: no wider (a
    // waste) and no narrower (a truncation).
    FUZZ_CHECK(text.max_code_point == width_limit(largest));
    return cps;
}

template <class Unit>
std::optional<std::vector<std::uint8_t>> encode_as(SourceForm form, std::span<const Unit> cps) {
    std::vector<std::uint8_t> out;
    auto write_measured = [&](EncodedSize size, auto write) {
        FUZZ_CHECK(!size.has_surrogate);
        out.resize(size.bytes);
        write(out.data());
    };
    switch (form) {
        case SourceForm::utf8:
            write_measured(measure_utf8(cps), [&](std::uint8_t* o) { write_utf8(cps, o); });
            return out;
        case SourceForm::utf16be:
        case SourceForm::utf16le:
            write_measured(measure_utf16(cps), [&](std::uint8_t* o) {
                write_utf16(cps, form == SourceForm::utf16le, o);
            });
            return out;
        case SourceForm::utf32be:
        case SourceForm::utf32le:
            write_measured(measure_utf32(cps), [&](std::uint8_t* o) {
                write_utf32(cps, form == SourceForm::utf32le, o);
            });
            return out;
        case SourceForm::latin1:
        case SourceForm::windows_1252: {
            out.resize(cps.size());
            const Status status = form == SourceForm::latin1 ? encode_iso_8859_1(cps, out.data())
                                                             : encode_windows_1252(cps, out.data());
            if (!status) return std::nullopt;
            return out;
        }
    }
    return std::nullopt;
}

// Encodes with every unit width that can hold the text; all must agree.
std::optional<std::vector<std::uint8_t>> encode(SourceForm form, const CodePoints& cps) {
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

// One decoder against its reference, then back through the encoder.
void check_decoder(const Result<ValidatedText>& decoded, const Reference& reference, Bytes input,
                   bool check_utf8_index = false) {
    FUZZ_CHECK(decoded.ok() == reference.text.has_value());
    if (!decoded.ok()) {
        FUZZ_CHECK(decoded.error().kind == ErrorKind::value_error);
        if (check_utf8_index) {
            FUZZ_CHECK(ends_with(decoded.error().message, error_suffix(reference.error_index)));
        }
        return;
    }
    const ValidatedText& text = decoded.value();
    // The bytes read are the input, or its tail after a byte-order mark.
    FUZZ_CHECK(text.bytes.data() + text.bytes.size() == input.data() + input.size());
    const CodePoints cps = materialise(text);
    FUZZ_CHECK(cps == *reference.text);
    const auto again = encode(text.form, cps);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(std::equal(again->begin(), again->end(), text.bytes.begin(), text.bytes.end()));
}

void check_decoders(Bytes input) {
    check_decoder(decode_utf8(input), reference_utf8(input), input, true);
    check_decoder(decode_utf16(input), reference_utf16_marked(input), input);
    check_decoder(decode_utf16_with_endianness(input, true), reference_utf16(input, true), input);
    check_decoder(decode_utf16_with_endianness(input, false), reference_utf16(input, false), input);
    check_decoder(decode_utf32(input), reference_utf32_marked(input), input);
    check_decoder(decode_utf32_with_endianness(input, true), reference_utf32(input, true), input);
    check_decoder(decode_utf32_with_endianness(input, false), reference_utf32(input, false), input);
    check_decoder(decode_us_ascii(input), reference_single_byte(input, 0x7F), input);
    check_decoder(decode_iso_8859_1(input), reference_single_byte(input, 0xFF), input);
    check_decoder(decode_windows_1252(input), reference_windows_1252(input), input);
    const auto ascii = decode_us_ascii(input);
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

    const SourceForm forms[] = {SourceForm::utf8, SourceForm::utf16be, SourceForm::utf16le,
                                SourceForm::utf32be, SourceForm::utf32le};
    for (SourceForm form : forms) {
        const auto bytes = encode(form, cps);
        FUZZ_CHECK(bytes.has_value());
        const Bytes view(*bytes);
        const Result<ValidatedText> decoded =
            form == SourceForm::utf8      ? decode_utf8(view)
            : form == SourceForm::utf16be ? decode_utf16_with_endianness(view, false)
            : form == SourceForm::utf16le ? decode_utf16_with_endianness(view, true)
            : form == SourceForm::utf32be ? decode_utf32_with_endianness(view, false)
                                          : decode_utf32_with_endianness(view, true);
        FUZZ_CHECK(decoded.ok());
        FUZZ_CHECK(materialise(decoded.value()) == cps);
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
