// What the fuzz targets share: a check that stops the run with a message (a
// failed check is a crash to libFuzzer, which then saves the input), and a
// reader that takes typed values from the front of the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace fuzz {

// Takes values from the front of the input; once it is used up every value
// reads as zero, so a short input still makes a complete case.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    template <class T>
    T take() noexcept {
        T value{};
        const std::size_t count = sizeof(T) < size_ ? sizeof(T) : size_;
        if (count != 0) std::memcpy(&value, data_, count);
        data_ += count;
        size_ -= count;
        return value;
    }

    std::uint8_t byte() noexcept { return take<std::uint8_t>(); }
    bool flag() noexcept { return (byte() & 1u) != 0; }

    // Up to `limit` of the remaining bytes.
    std::span<const std::uint8_t> bytes(std::size_t limit) noexcept {
        const std::size_t count = limit < size_ ? limit : size_;
        std::span<const std::uint8_t> out(data_, count);
        data_ += count;
        size_ -= count;
        return out;
    }

    std::span<const std::uint8_t> rest() noexcept { return bytes(size_); }
    std::size_t remaining() const noexcept { return size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace fuzz
