// The numeric codecs on arbitrary values, patterns and widths (every width a
// uint32 can hold, not only the meaningful ones; the sanitizers watch for
// shifts by 64 and signed overflow).  Checked against references written here
// with 128-bit arithmetic: which values each integer encoder accepts, the
// patterns it produces, and what each decoder gives for a pattern of its
// width.  BCD is checked by its round trip and a digit-by-digit reference
// decoder; binary16 by comparing the F16C and software paths; binary128 by
// the compiler's own quad-precision conversion, truncated toward zero.
#include <bit>
#include <cmath>

#include "core/binary16.hpp"
#include "codecs/decoder/bcd.hpp"
#include "codecs/decoder/ieee754.hpp"
#include "codecs/decoder/integer.hpp"
#include "codecs/encoder/bcd.hpp"
#include "codecs/encoder/integer.hpp"
#include "fuzz_check.hpp"

using namespace bitloom;
using int128 = __int128;

namespace {

// Widths: mostly the interesting 0..72, sometimes anything at all.
std::uint32_t width_from(fuzz::Reader& in) {
    const std::uint32_t raw = in.take<std::uint32_t>();
    return (raw & 0x80000000u) != 0 ? raw : raw % 73;
}

void check_integer_codecs(std::int64_t value, std::uint32_t bits, std::uint64_t pattern) {
    const int128 v = value;
    const auto twos = encode_twos_complement(value, bits);
    const auto ones = encode_ones_complement(value, bits);
    const auto sign = encode_sign_magnitude(value, bits);
    // The decoders must not trip a sanitizer at any width.
    (void)decode_twos_complement(pattern, bits);
    (void)decode_ones_complement(pattern, bits);
    (void)decode_sign_magnitude(pattern, bits);

    FUZZ_CHECK(!(bits > 64 && (twos.ok() || ones.ok())));
    FUZZ_CHECK(sign.ok() <= (bits >= 2 && bits <= 64));
    if (bits < 1 || bits > 64) return;

    const int128 half = int128{1} << (bits - 1);
    const int128 modulus = half * 2;
    const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;

    // Encoders: accepted ranges and patterns.
    FUZZ_CHECK(twos.ok() == (v >= -half && v < half));
    if (twos.ok()) {
        FUZZ_CHECK(twos.value() == static_cast<std::uint64_t>((v % modulus + modulus) % modulus));
        FUZZ_CHECK(decode_twos_complement(twos.value(), bits) == value);
    }
    FUZZ_CHECK(ones.ok() == (v > -half && v < half));
    if (ones.ok()) {
        const int128 expected = v >= 0 ? v : (modulus - 1) + v;
        FUZZ_CHECK(ones.value() == static_cast<std::uint64_t>(expected));
        FUZZ_CHECK(decode_ones_complement(ones.value(), bits) == value);
    }
    if (bits >= 2) {
        FUZZ_CHECK(sign.ok() == (v > -half && v < half));
        if (sign.ok()) {
            const int128 expected = v >= 0 ? v : half - v;
            FUZZ_CHECK(sign.value() == static_cast<std::uint64_t>(expected));
            FUZZ_CHECK(decode_sign_magnitude(sign.value(), bits) == value);
        }
    }

    // Decoders on a pattern of this width.
    const std::uint64_t field = pattern & mask;
    const int128 p = field;
    const bool negative = p >= half;
    FUZZ_CHECK(decode_twos_complement(field, bits) == (negative ? p - modulus : p));
    FUZZ_CHECK(decode_ones_complement(field, bits) == (negative ? p - (modulus - 1) : p));
    const int128 magnitude = p % half;
    FUZZ_CHECK(decode_sign_magnitude(field, bits) == (negative ? -magnitude : magnitude));
}

// Digit i of a BCD pattern read the reference way, or -1 for a bad digit.
std::int64_t reference_packed_bcd(std::uint64_t pattern, std::uint32_t bits) {
    std::int64_t result = 0, scale = 1;
    for (std::uint32_t i = 0; i < bits / 4 && i < 16; ++i) {
        const std::uint64_t digit = (pattern >> (4 * i)) & 0xF;
        if (digit > 9) return -1;
        result += static_cast<std::int64_t>(digit) * scale;
        if (i < 15) scale *= 10;
    }
    return result;
}

void check_bcd_codecs(std::int64_t value, std::uint32_t bits, bool is_signed, std::uint64_t pattern) {
    // Decoders at any width and pattern: no sanitizer report.
    const auto packed_decoded = decode_packed_bcd(pattern, bits, is_signed);
    (void)decode_unpacked_bcd(pattern, bits, is_signed);
    if (!is_signed && bits >= 4 && bits <= 64) {
        const std::int64_t expected = reference_packed_bcd(pattern, bits);
        FUZZ_CHECK(packed_decoded.ok() == (expected >= 0));
        if (expected >= 0) FUZZ_CHECK(packed_decoded.value() == expected);
    }

    const auto packed = encode_packed_bcd(value, bits, is_signed);
    const auto unpacked = encode_unpacked_bcd(value, bits, is_signed);
    if (bits > 64) return;  // digit positions past bit 63 have no pattern
    if (packed.ok()) {
        FUZZ_CHECK(bits >= 4 && (is_signed || value >= 0));
        const auto back = decode_packed_bcd(packed.value(), bits, is_signed);
        FUZZ_CHECK(back.ok() && back.value() == value);
    }
    if (unpacked.ok()) {
        FUZZ_CHECK(bits >= 8 && (is_signed || value >= 0));
        const auto back = decode_unpacked_bcd(unpacked.value(), bits, is_signed);
        FUZZ_CHECK(back.ok() && back.value() == value);
    }
    // Every value with few enough digits is accepted.
    int digits = 0;
    for (std::uint64_t m = value < 0 ? 0 - static_cast<std::uint64_t>(value) : value; m != 0; m /= 10) ++digits;
    if (bits >= 4 && (is_signed || value >= 0)) {
        const std::uint32_t room = bits / 4 - (is_signed ? 1 : 0);
        FUZZ_CHECK(packed.ok() == (static_cast<std::uint32_t>(digits) <= room));
    }
    if (bits >= 8 && (is_signed || value >= 0)) {
        FUZZ_CHECK(unpacked.ok() == (static_cast<std::uint32_t>(digits) <= bits / 8));
    }
}

void check_binary16(std::uint32_t single_bits, std::uint16_t half) {
    const float single = std::bit_cast<float>(single_bits);
    if (processor_has_f16c()) {
        FUZZ_CHECK(binary16_from_float_f16c(single) == binary16_from_float_software(single));
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(binary16_to_float_f16c(half)) ==
                   std::bit_cast<std::uint32_t>(binary16_to_float_software(half)));
    }
    // Every binary16 value is a binary32 value: the way back is exact.
    const float widened = binary16_to_float_software(half);
    if (!std::isnan(widened)) FUZZ_CHECK(binary16_from_float_software(widened) == half);
}

void check_binary128(std::uint64_t high, std::uint64_t low) {
    const uint128 pattern = (uint128{high} << 64) | low;
    const double result = decode_ieee754_f128(pattern);
    const unsigned exponent = static_cast<unsigned>((high >> 48) & 0x7FFF);
    const bool negative = (high >> 63) != 0;
    if (exponent == 0x7FFF) {
        const bool nan = ((high & 0xFFFFFFFFFFFFu) | low) != 0;
        FUZZ_CHECK(nan ? std::isnan(result) : std::isinf(result) && std::signbit(result) == negative);
        return;
    }
    FUZZ_CHECK(std::signbit(result) == negative);
    if (exponent < 16383 - 1022) {
        FUZZ_CHECK(result == 0.0);
        return;
    }
    if (exponent > 16383 + 1023) {
        FUZZ_CHECK(std::isinf(result));
        return;
    }
    // The exact value, rounded by the compiler to nearest and stepped back
    // toward zero when that rounding went outward.
    const __float128 exact = std::bit_cast<__float128>(pattern);
    double nearest = static_cast<double>(exact);
    const __float128 magnitude = negative ? -exact : exact;
    const __float128 rounded = negative ? -static_cast<__float128>(nearest) : static_cast<__float128>(nearest);
    if (rounded > magnitude) nearest = std::nextafter(nearest, 0.0);
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(result) == std::bit_cast<std::uint64_t>(nearest));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const auto value = in.take<std::int64_t>();
    const std::uint32_t bits = width_from(in);
    const auto pattern = in.take<std::uint64_t>();
    const bool is_signed = in.flag();
    check_integer_codecs(value, bits, pattern);
    check_bcd_codecs(value, bits, is_signed, pattern);
    // Small values too, which is where BCD's digit limits bite.
    check_bcd_codecs(value % 100000, bits, is_signed, pattern);
    check_binary16(static_cast<std::uint32_t>(pattern), static_cast<std::uint16_t>(pattern >> 32));
    check_binary128(in.take<std::uint64_t>() ^ pattern, pattern);
    return 0;
}
