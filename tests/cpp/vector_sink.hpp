// A TextSink for the C++ tests: it keeps what the decoder asked for, gives
// room of the narrowest width that the request allows (or always four bytes
// per code point, to try the wide writers), and guards the end of that room
// with sentinel bytes so that an overrun is seen even when the decode fails.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "decoder/text_sink.hpp"

class VectorSink final : public bitloom::TextSink {
  public:
    explicit VectorSink(bool narrowest = true) : narrowest_(narrowest) {}

    bool reserve(std::size_t length, std::uint32_t max_code_point, Room& room) override {
        ++reservations;
        this->length = length;
        this->max_code_point = max_code_point;
        unit_size = !narrowest_ ? 4 : max_code_point <= 0xFF ? 1 : max_code_point <= 0xFFFF ? 2 : 4;
        storage_.assign(length * unit_size + kGuard, kSentinel);
        room = {storage_.data(), unit_size};
        return true;
    }

    bool guard_intact() const {
        if (reservations == 0) return true;
        for (std::size_t i = length * unit_size; i < storage_.size(); ++i) {
            if (storage_[i] != kSentinel) return false;
        }
        return true;
    }

    std::vector<std::uint32_t> code_points() const {
        std::vector<std::uint32_t> out(length);
        for (std::size_t i = 0; i < length; ++i) {
            switch (unit_size) {
                case 1: out[i] = storage_[i]; break;
                case 2: {
                    std::uint16_t unit;
                    std::memcpy(&unit, storage_.data() + 2 * i, 2);
                    out[i] = unit;
                    break;
                }
                default: std::memcpy(&out[i], storage_.data() + 4 * i, 4);
            }
        }
        return out;
    }

    int reservations = 0;
    std::size_t length = 0;
    std::uint32_t max_code_point = 0;
    std::size_t unit_size = 0;

  private:
    static constexpr std::size_t kGuard = 16;
    static constexpr std::uint8_t kSentinel = 0xA5;
    bool narrowest_;
    std::vector<std::uint8_t> storage_;
};
