#include "frames/frame_words.hpp"

#include "core/bits.hpp"

namespace bitloom::frames {

void merge_words(std::span<const std::uint64_t> words, std::span<std::uint8_t> bytes,
                 bool overwrite) noexcept {
    std::size_t k = 0;
    std::uint8_t* at = bytes.data();
    for (; 8 * k + 8 <= bytes.size(); ++k, at += 8) {
        store_big_endian(at, overwrite ? words[k] : load_big_endian(at) | words[k]);
    }
    for (std::size_t i = 8 * k; i < bytes.size(); ++i, ++at) {
        const auto byte = static_cast<std::uint8_t>(words[k] >> (56 - 8 * (i % 8)));
        *at = overwrite ? byte : static_cast<std::uint8_t>(*at | byte);
    }
}

}  // namespace bitloom::frames
