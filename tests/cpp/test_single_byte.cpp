// The Windows-1252 encoder and decoder as inverses of each other: every byte
// decodes to a code point that encodes back to it, exactly 256 code points
// of the basic plane are encodable, and the reported width matches the code
// point.  (The index itself is compared with an outside table in pytest.)
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "decoder/single_byte.hpp"
#include "encoder/single_byte.hpp"

using namespace bitloom;

namespace {

std::uint32_t decode_one(std::uint8_t byte, std::uint32_t& max_code_point) {
    const std::uint8_t input[1] = {byte};
    // Lone bytes never start a byte-order mark, so this is the plain table.
    const auto text = decode_windows_1252(input);
    CHECK(text.ok() && text.value().form == SourceForm::windows_1252 && text.value().length == 1);
    max_code_point = text.value().max_code_point;
    std::uint16_t wide = 0;
    write_windows_1252_code_points(text.value().bytes, &wide);
    if (max_code_point <= kLatin1Max) {
        std::uint8_t narrow = 0;
        write_windows_1252_code_points(text.value().bytes, &narrow);
        CHECK(narrow == wide);
    }
    return wide;
}

void test_windows_1252_inverse() {
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint32_t max_code_point = 0;
        const std::uint32_t c = decode_one(static_cast<std::uint8_t>(byte), max_code_point);
        CHECK(max_code_point == width_limit(c));
        const std::uint32_t text[1] = {c};
        std::uint8_t out = 0;
        CHECK(encode_windows_1252(std::span<const std::uint32_t>(text), &out).ok());
        CHECK(out == byte);
    }
    int encodable = 0;
    for (std::uint32_t c = 0; c <= 0xFFFF; ++c) {
        const std::uint16_t text[1] = {static_cast<std::uint16_t>(c)};
        std::uint8_t out = 0;
        encodable += encode_windows_1252(std::span<const std::uint16_t>(text), &out).ok();
    }
    CHECK(encodable == 256);
}

void test_width_of_mixed_input() {
    // The widest byte decides, wherever it stands.
    for (std::size_t position = 0; position < 40; ++position) {
        std::vector<std::uint8_t> input(40, 'a');
        input[position] = 0xE9;
        CHECK(decode_windows_1252(input).value().max_code_point == kLatin1Max);
        CHECK(decode_iso_8859_1(input).max_code_point == kLatin1Max);
        input[39 - position] = 0x80;  // the euro sign
        CHECK(decode_windows_1252(input).value().max_code_point == kBasicPlaneMax);
    }
}

}  // namespace

int main() {
    test_windows_1252_inverse();
    test_width_of_mixed_input();
    return check::exit_code();
}
