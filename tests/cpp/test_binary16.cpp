// binary16 conversions: the software path against known values and its own
// round trip; and, when the processor has F16C, the software path against
// the F16C path on every binary32 and every binary16 input, also under
// unusual MXCSR settings.  Exits non-zero on any failure.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/binary16.hpp"

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

void check_software_values() {
    const float tiny = std::ldexp(1.0f, -25);  // half the smallest subnormal
    const struct {
        float input;
        std::uint16_t expected;
    } encode_cases[] = {
        {1.0f, 0x3C00},
        {-0.0f, 0x8000},
        {65504.0f, 0x7BFF},
        {65520.0f, 0x7C00},               // rounds up into infinity
        {from_bits(0x7FC00000), 0x7E00},  // the default NaN
        {from_bits(0xFFC00000), 0xFE00},
        {from_bits(0x7F800001), 0x7E00},  // payload only in the dropped bits
        {from_bits(0x7FAAA000), 0x7F55},  // signalling: quieted, payload kept
        {2 * tiny, 0x0001},
        {tiny, 0x0000},                   // halfway: ties to even
        {std::nextafter(tiny, 1.0f), 0x0001},
        {3 * tiny, 0x0002},               // halfway: ties to even, upward
        {std::ldexp(1023.5f, -24), 0x0400},       // subnormal carries into the exponent
        {1.0f + std::ldexp(1.0f, -11), 0x3C00},  // halfway: ties to even
        {1.0f + std::ldexp(3.0f, -11), 0x3C02},
    };
    for (const auto& c : encode_cases) {
        const std::uint16_t got = binary16_from_float_software(c.input);
        if (got != c.expected) fail("software encode", to_bits(c.input), got, c.expected);
    }

    const struct {
        std::uint16_t input;
        std::uint32_t expected;  // binary32 bits
    } decode_cases[] = {
        {0x3C00, 0x3F800000}, {0x0001, 0x33800000},  // 2^-24
        {0x0200, 0x38000000},                         // 2^-15, fewest leading zeros
        {0x03FF, 0x387FC000},                         // largest subnormal
        {0x7BFF, 0x477FE000}, {0x8000, 0x80000000}, {0x7C00, 0x7F800000},
        {0x7C01, 0x7FC02000},                         // signalling: quieted, payload kept
    };
    for (const auto& c : decode_cases) {
        const std::uint32_t got = to_bits(binary16_to_float_software(c.input));
        if (got != c.expected) fail("software decode", c.input, got, c.expected);
    }

    // Every binary16 value survives decode then encode; a NaN comes back quiet.
    for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
        const bool is_nan = (h & 0x7C00) == 0x7C00 && (h & 0x03FF) != 0;
        const std::uint32_t expected = is_nan ? h | 0x0200 : h;
        const auto half = static_cast<std::uint16_t>(h);
        const std::uint16_t got = binary16_from_float_software(binary16_to_float_software(half));
        if (got != expected) fail("software round trip", h, got, expected);
    }
}

// Built for F16C so that both paths are inlined into the loops; through the
// out-of-line calls 2^32 inputs take several times longer.
#if BITLOOM_F16C_PATH
#define WITH_F16C BITLOOM_F16C_TARGET
#else
#define WITH_F16C
#endif

WITH_F16C void compare_encode(std::uint32_t bits) {
    const std::uint16_t software = binary16_from_float_software(from_bits(bits));
    const std::uint16_t hardware = binary16_from_float_f16c(from_bits(bits));
    if (software != hardware) fail("encode: software vs F16C", bits, software, hardware);
}

WITH_F16C void compare_decode_all() {
    for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
        const auto half = static_cast<std::uint16_t>(h);
        const std::uint32_t software = to_bits(binary16_to_float_software(half));
        const std::uint32_t hardware = to_bits(binary16_to_float_f16c(half));
        if (software != hardware) fail("decode: software vs F16C", h, software, hardware);
    }
}

// Whether the paths disagree anywhere among the 2^16 binary32 patterns whose
// top half is `block`; one branch per block keeps exits out of the loop.
WITH_F16C bool encode_block_differs(std::uint32_t block) {
    std::uint32_t differences = 0;
    for (std::uint32_t low = 0; low <= 0xFFFF; ++low) {
        const float value = from_bits(block << 16 | low);
        differences |= binary16_from_float_software(value) ^ binary16_from_float_f16c(value);
    }
    return differences != 0;
}

WITH_F16C void compare_paths() {
    const auto start = std::chrono::steady_clock::now();
    compare_decode_all();
    // The encode blocks are shared out over the cores; blocks that differ are
    // reported afterwards, on this thread.
    std::vector<std::uint8_t> differs(0x10000, 0);
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&differs, w, workers] {
            for (std::uint32_t block = w; block <= 0xFFFF; block += workers) {
                differs[block] = encode_block_differs(block);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::uint32_t block = 0; block <= 0xFFFF; ++block) {
        for (std::uint32_t low = 0; differs[block] && low <= 0xFFFF; ++low) {
            compare_encode(block << 16 | low);
        }
    }

#if BITLOOM_F16C_PATH
    // Flush-to-zero, denormals-are-zero and the rounding mode live in MXCSR,
    // which any library in the process may change.  The F16C path takes its
    // rounding from the instruction, so it must still agree; check the
    // exponents where these settings could matter (subnormal inputs and
    // results, ordinary rounding, overflow, NaN).
    const unsigned original = _mm_getcsr();
    const unsigned round_up = 0x4000u, toward_zero = 0x6000u;
    const unsigned flush_to_zero = 0x8000u, denormals_are_zero = 0x0040u;
    for (const unsigned setting : {toward_zero | flush_to_zero | denormals_are_zero, round_up}) {
        _mm_setcsr((original & ~toward_zero) | setting);
        compare_decode_all();
        for (const std::uint32_t exponent : {0u, 102u, 107u, 112u, 113u, 127u, 142u, 255u}) {
            for (std::uint32_t low = 0; low <= 0xFFFFFF; ++low) {  // sign and fraction
                compare_encode((low & 0x800000u) << 8 | exponent << 23 | (low & 0x7FFFFFu));
            }
        }
        _mm_setcsr(original);
    }
#endif
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("binary16: software and F16C compared on every input: %.1f s, %u threads\n",
                took.count(), workers);
}

}  // namespace

int main() {
    check_software_values();
    if (processor_has_f16c()) {
        compare_paths();
    } else {
        std::printf("binary16: no F16C path in this build or on this processor; software values checked only\n");
    }
    if (failures != 0) std::printf("binary16: %d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
