// ascii_run_length against a byte-by-byte count: every length up to three
// steps of the widest block, with one non-ASCII byte at every position (or
// none), so that the end of a run falls in every word of every block and in
// the bytes after the last whole word.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/ascii.hpp"
#include "check.hpp"

using namespace bitloom;

namespace {

std::size_t counted_run(const std::vector<std::uint8_t>& bytes) {
    std::size_t i = 0;
    while (i < bytes.size() && bytes[i] < 0x80) ++i;
    return i;
}

void test_run_ends_at_the_first_byte_from_0x80() {
    for (std::size_t size = 0; size <= 100; ++size) {
        for (std::size_t position = 0; position <= size; ++position) {
            for (std::uint8_t high : {std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
                std::vector<std::uint8_t> bytes(size, 0x7F);
                if (position < size) bytes[position] = high;
                // A second high byte later must not change the answer.
                if (position + 9 < size) bytes[position + 9] = 0xC3;
                CHECK(ascii_run_length(bytes.data(), bytes.size()) == counted_run(bytes));
            }
        }
    }
}

}  // namespace

int main() {
    test_run_ends_at_the_first_byte_from_0x80();
    return failures == 0 ? 0 : 1;
}
