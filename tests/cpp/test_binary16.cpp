// binary16 conversions: the software path against known values, its own
// round trip, and, when the processor has F16C, against the F16C path on
// every binary32 and every binary16 input.  Exits non-zero on any failure.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include "common/binary16.hpp"

using namespace bitloom;

namespace {

int failures = 0;

void fail(const char* what, std::uint32_t input, std::uint32_t got, std::uint32_t expected) {
    if (++failures <= 20) {
        std::printf("FAIL %s: input 0x%08X gave 0x%08X, expected 0x%08X\n", what, input, got,
                    expected);
    }
}

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }
std::uint32_t to_bits(float value) { return std::bit_cast<std::uint32_t>(value); }

struct EncodeCase {
    float input;
    std::uint16_t expected;
};

struct DecodeCase {
    std::uint16_t input;
    std::uint32_t expected;  // binary32 bits
};

void check_software_values() {
    const float tiny = std::ldexp(1.0f, -25);
    const EncodeCase encode_cases[] = {
        {1.0f, 0x3C00},
        {-0.0f, 0x8000},
        {65504.0f, 0x7BFF},
        {65520.0f, 0x7C00},                   // rounds up into infinity
        {65519.99609375f, 0x7BFF},            // just below the tie
        {std::ldexp(1.0f, 16), 0x7C00},
        {std::numeric_limits<float>::infinity(), 0x7C00},
        {-std::numeric_limits<float>::infinity(), 0xFC00},
        {from_bits(0x7FC00000), 0x7E00},      // the default NaN
        {from_bits(0xFFC00000), 0xFE00},
        {from_bits(0x7F800001), 0x7E00},      // payload only in dropped bits
        {from_bits(0x7FAAA000), 0x7F55},      // signalling: quieted, payload kept
        {std::ldexp(1.0f, -24), 0x0001},
        {tiny, 0x0000},                       // exactly half the smallest: even
        {std::nextafter(tiny, 1.0f), 0x0001},
        {3 * tiny, 0x0002},                   // 1.5 units: tie to even, up
        {5 * tiny, 0x0002},                   // 2.5 units: tie to even, down
        {-std::ldexp(1.0f, -24), 0x8001},
        {std::ldexp(1.0f, -26), 0x0000},
        {-std::ldexp(1.0f, -26), 0x8000},
        {std::ldexp(1.0f, -14), 0x0400},      // smallest normal
        {std::ldexp(1023.5f, -24), 0x0400},   // subnormal carry into the exponent
        {std::ldexp(1023.0f, -24), 0x03FF},
        {1.0f + std::ldexp(1.0f, -11), 0x3C00},  // tie onto even
        {1.0f + 3 * std::ldexp(1.0f, -11), 0x3C02},  // tie onto even, upward
        {1.0f + std::ldexp(1.0f, -11) + std::ldexp(1.0f, -23), 0x3C01},
        {from_bits(0x00000001), 0x0000},      // binary32 subnormal
    };
    for (const auto& c : encode_cases) {
        const std::uint16_t got = binary16_from_float_software(c.input);
        if (got != c.expected) fail("software encode", to_bits(c.input), got, c.expected);
    }

    const DecodeCase decode_cases[] = {
        {0x3C00, 0x3F800000},
        {0x0001, 0x33800000},  // 2^-24
        {0x03FF, 0x387FC000},  // largest subnormal
        {0x0200, 0x38000000},  // 2^-15
        {0x0400, 0x38800000},  // 2^-14
        {0x7BFF, 0x477FE000},  // 65504
        {0x8000, 0x80000000},
        {0x0000, 0x00000000},
        {0x7C00, 0x7F800000},
        {0xFC00, 0xFF800000},
        {0x7C01, 0x7FC02000},  // signalling: quiet, payload kept
        {0xFE00, 0xFFC00000},
        {0x8001, 0xB3800000},
    };
    for (const auto& c : decode_cases) {
        const std::uint32_t got = to_bits(binary16_to_float_software(c.input));
        if (got != c.expected) fail("software decode", c.input, got, c.expected);
    }

    // Every binary16 value survives decode then encode; a NaN comes back
    // quiet.
    for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
        const auto half = static_cast<std::uint16_t>(h);
        const bool is_nan = (h & 0x7C00) == 0x7C00 && (h & 0x03FF) != 0;
        const std::uint16_t expected = is_nan ? static_cast<std::uint16_t>(h | 0x0200) : half;
        const std::uint16_t got = binary16_from_float_software(binary16_to_float_software(half));
        if (got != expected) fail("software round trip", h, got, expected);
    }
}

// Built for F16C so that both paths are inlined into the loops: 2^32 calls
// through the out-of-line functions would take several times longer.
#if BITLOOM_F16C_PATH
#define WITH_F16C BITLOOM_F16C_TARGET
#else
#define WITH_F16C
#endif

// Whether the two paths disagree anywhere in the block of 2^16 binary32
// patterns whose top half is `block`.  One branch per block keeps the loop
// body free of exits.
WITH_F16C bool encode_block_differs(std::uint32_t block) {
    std::uint32_t differences = 0;
    for (std::uint32_t low = 0; low <= 0xFFFF; ++low) {
        const float value = from_bits(block << 16 | low);
        differences |= binary16_from_float_software(value) ^ binary16_from_float_f16c(value);
    }
    return differences != 0;
}

WITH_F16C void report_encode_block(std::uint32_t block) {
    for (std::uint32_t low = 0; low <= 0xFFFF; ++low) {
        const std::uint32_t bits = block << 16 | low;
        const std::uint16_t software = binary16_from_float_software(from_bits(bits));
        const std::uint16_t hardware = binary16_from_float_f16c(from_bits(bits));
        if (software != hardware) fail("encode: software vs F16C", bits, software, hardware);
    }
}

WITH_F16C void compare_paths() {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
        const auto half = static_cast<std::uint16_t>(h);
        const std::uint32_t software = to_bits(binary16_to_float_software(half));
        const std::uint32_t hardware = to_bits(binary16_to_float_f16c(half));
        if (software != hardware) fail("decode: software vs F16C", h, software, hardware);
    }

    // The 2^16 encode blocks are shared out over the processor's cores;
    // the blocks that differ are reported afterwards, on this thread.
    std::vector<std::uint8_t> differs(0x10000, 0);
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&differs, w, workers] {
            for (std::uint32_t block = w; block <= 0xFFFF; block += workers) {
                differs[block] = encode_block_differs(block) ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::uint32_t block = 0; block <= 0xFFFF; ++block) {
        if (differs[block]) report_encode_block(block);
    }

    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("binary16: software and F16C compared on all 2^32 + 2^16 inputs in %.1f s"
                " (%u threads)\n", took.count(), workers);
}

#if BITLOOM_F16C_PATH
// Flush-to-zero, denormals-are-zero and the rounding mode live in MXCSR and
// may be changed by any library in the process.  The F16C path takes its
// rounding from the instruction, so it must still agree with the software
// path: check the exponents where those settings could matter (subnormal
// inputs and results, ordinary rounding, overflow, NaN) under each setting.
WITH_F16C void compare_under_control_settings() {
    const unsigned original = _mm_getcsr();
    const unsigned settings[] = {
        (original & ~0x6000u) | 0x8040u | 0x6000u,  // FTZ and DAZ, toward zero
        (original & ~0x6000u) | 0x4000u,            // upward
    };
    const std::uint32_t exponents[] = {0,   101, 102, 103, 104, 105, 106, 107, 108, 109,
                                       110, 111, 112, 113, 114, 127, 142, 143, 255};
    for (const unsigned setting : settings) {
        _mm_setcsr(setting);
        for (const std::uint32_t sign : {0u, 0x80000000u}) {
            for (const std::uint32_t exponent : exponents) {
                for (std::uint32_t fraction = 0; fraction <= 0x7FFFFF; ++fraction) {
                    const std::uint32_t bits = sign | exponent << 23 | fraction;
                    const std::uint16_t software = binary16_from_float_software(from_bits(bits));
                    const std::uint16_t hardware = binary16_from_float_f16c(from_bits(bits));
                    if (software != hardware) {
                        fail("encode under MXCSR setting: software vs F16C", bits, software,
                             hardware);
                    }
                }
            }
        }
        for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
            const auto half = static_cast<std::uint16_t>(h);
            const std::uint32_t software = to_bits(binary16_to_float_software(half));
            const std::uint32_t hardware = to_bits(binary16_to_float_f16c(half));
            if (software != hardware) {
                fail("decode under MXCSR setting: software vs F16C", h, software, hardware);
            }
        }
        _mm_setcsr(original);
    }
}
#endif

}  // namespace

int main() {
    check_software_values();
    if (processor_has_f16c()) {
        compare_paths();
#if BITLOOM_F16C_PATH
        compare_under_control_settings();
#endif
    } else {
        std::printf("binary16: no F16C path in this build or on this processor; software values checked only\n");
    }
    if (failures != 0) {
        std::printf("binary16: %d failures\n", failures);
        return 1;
    }
    return 0;
}
