// The Windows-1252 encoder and decoder as inverses of each other: every byte
// decodes to a code point that encodes back to it, exactly 256 code points
// of the basic plane are encodable, and the reported width matches the code
// point.  (The index itself is compared with an outside table in pytest.)
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "decoder/single_byte.hpp"
#include "encoder/single_byte.hpp"
#include "vector_sink.hpp"

using namespace bitloom;

namespace {

void test_windows_1252_inverse() {
    for (unsigned byte = 0; byte < 256; ++byte) {
        // Lone bytes never start a byte-order mark, so this is the plain index.
        const std::uint8_t input[1] = {static_cast<std::uint8_t>(byte)};
        VectorSink sink;
        CHECK(decode_windows_1252(input, sink).ok() && sink.length == 1 && sink.guard_intact());
        const std::uint32_t c = sink.code_points()[0];
        CHECK(sink.max_code_point == width_limit(c));
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
        VectorSink latin1, windows_1252, wide;
        CHECK(decode_iso_8859_1(input, latin1).ok() && latin1.max_code_point == kLatin1Max);
        CHECK(decode_windows_1252(input, windows_1252).ok() &&
              windows_1252.max_code_point == kLatin1Max);
        input[39 - position] = 0x80;  // the euro sign
        CHECK(decode_windows_1252(input, wide).ok() && wide.max_code_point == kBasicPlaneMax);
        CHECK(wide.code_points()[39 - position] == 0x20AC && wide.guard_intact());
    }
}

}  // namespace

int main() {
    test_windows_1252_inverse();
    test_width_of_mixed_input();
    return check::exit_code();
}
