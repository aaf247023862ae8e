"""IEEE 754 binary16, binary32, binary64 and binary128 conversions."""

import math
import struct

import pytest
from hypothesis import given, strategies as st

from bitloom import (decode_ieee754_f16, decode_ieee754_f32, decode_ieee754_f64,
                     decode_ieee754_f128, encode_ieee754_f16, encode_ieee754_f32,
                     encode_ieee754_f64, encode_ieee754_f128)


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def f128(sign, exponent, fraction=0):
    return sign << 127 | exponent << 112 | fraction


INF = math.inf
ENCODED = [
    (encode_ieee754_f16, 1.0, 0x3C00),
    (encode_ieee754_f16, 65504.0, 0x7BFF),
    (encode_ieee754_f16, 65520.0, 0x7C00),  # rounds up into infinity
    (encode_ieee754_f16, -0.0, 0x8000),
    (encode_ieee754_f16, math.nan, 0x7E00),
    (encode_ieee754_f16, -math.nan, 0xFE00),
    (encode_ieee754_f16, from_bits(0x7FF4000000000000), 0x7F00),  # payload kept, quieted
    (encode_ieee754_f16, from_bits(0x7FF0000000000001), 0x7E00),  # payload below the kept bits
    (encode_ieee754_f16, 2.0**-24, 0x0001),
    (encode_ieee754_f16, 2.0**-25, 0x0000),  # halfway: ties to even
    (encode_ieee754_f16, 2.0**-25 * (1 + 2.0**-20), 0x0001),
    (encode_ieee754_f16, 1023.5 * 2.0**-24, 0x0400),  # subnormal carries into the exponent
    # Rounded to binary32 first: 1 + 2^-11 exactly, which then ties to even.
    (encode_ieee754_f16, 1 + 2.0**-11 + 2.0**-40, 0x3C00),
    (encode_ieee754_f16, 1 + 2.0**-11 + 2.0**-23, 0x3C01),
    (encode_ieee754_f32, 1.0, 0x3F800000),
    (encode_ieee754_f32, 1, 0x3F800000),
    (encode_ieee754_f32, 1e39, 0x7F800000),
    (encode_ieee754_f32, -1e39, 0xFF800000),
    (encode_ieee754_f32, from_bits(0xFFF0000000000001), 0xFFC00000),
    (encode_ieee754_f64, 1.0, 0x3FF0000000000000),
    (encode_ieee754_f64, -0.0, 0x8000000000000000),
    (encode_ieee754_f64, True, 0x3FF0000000000000),
]

DECODED = [
    (decode_ieee754_f16, 0x3C00, 1.0),
    (decode_ieee754_f16, 0x13C00, 1.0),  # bit 16 ignored
    (decode_ieee754_f16, 0x0001, 2.0**-24),
    (decode_ieee754_f16, 0x8000, -0.0),
    (decode_ieee754_f16, 0x7C00, INF),
    (decode_ieee754_f32, 0x13F800000, 1.0),  # bit 32 ignored
    (decode_ieee754_f64, 0x8000000000000000, -0.0),
    (decode_ieee754_f128, f128(0, 0x3FFF), 1.0),
    (decode_ieee754_f128, f128(0, 0x3FFF, 2**60 - 1), 1.0),  # truncated, not rounded
    (decode_ieee754_f128, f128(1, 0x3FFF, 2**111 | 2**60 | 1), -(1.5 + 2.0**-52)),
    (decode_ieee754_f128, f128(0, 0x43FE, 2**112 - 1), 1.7976931348623157e308),
    (decode_ieee754_f128, f128(0, 0x43FF), INF),
    (decode_ieee754_f128, f128(0, 0x3C01), 2.0**-1022),
    (decode_ieee754_f128, f128(0, 0x3C00, 2**112 - 1), 0.0),  # no binary64 subnormals
    (decode_ieee754_f128, f128(1, 0, 1), -0.0),
    (decode_ieee754_f128, 2**127, -0.0),
    (decode_ieee754_f128, f128(1, 0x7FFF), -INF),
]

NANS = [
    (decode_ieee754_f16, 0x7C01, 0x7FF8000000000000 | 1 << 42),  # quiet, payload kept
    (decode_ieee754_f16, 0xFE00, 0xFFF8000000000000),
    (decode_ieee754_f32, 0x7F800001, 0x7FF8000000000000 | 1 << 29),
    (decode_ieee754_f128, f128(1, 0x7FFF, 1), 0x7FF8000000000000),  # one canonical NaN
    (decode_ieee754_f128, f128(0, 0x7FFF, 2**111 | 5), 0x7FF8000000000000),
]


@pytest.mark.parametrize("encode, value, expected", ENCODED)
def test_encodes(encode, value, expected):
    assert encode(value) == expected


@pytest.mark.parametrize("decode, pattern, expected", DECODED)
def test_decodes(decode, pattern, expected):
    assert bits_of(decode(pattern)) == bits_of(expected)  # tells -0.0 from 0.0


@pytest.mark.parametrize("decode, pattern, expected_bits", NANS)
def test_decodes_nan_bits(decode, pattern, expected_bits):
    assert bits_of(decode(pattern)) == expected_bits


def test_f128_refusals_and_conversion_errors():
    with pytest.raises(NotImplementedError) as caught:
        encode_ieee754_f128(1.0)
    assert str(caught.value) == "IEEE 754 f128 encoding not yet implemented"
    with pytest.raises(TypeError, match=r"^argument '_value': "):
        encode_ieee754_f128("1.0")
    with pytest.raises(OverflowError, match=r"^Python int larger than 128 bits$"):
        decode_ieee754_f128(2**128)


@given(st.integers(0, 2**64 - 1))
def test_f64_round_trips_every_pattern(pattern):
    assert encode_ieee754_f64(decode_ieee754_f64(pattern)) == pattern


def test_f16_decoder_agrees_with_struct_on_every_pattern():
    for pattern in range(0x10000):
        value = decode_ieee754_f16(pattern)
        if math.isnan(value):
            # struct does not keep the payload; the sign and quiet bit must be there.
            assert bits_of(value) == (pattern >> 15) << 63 | 0x7FF8 << 48 | (pattern & 0x3FF) << 42
        else:
            assert bits_of(value) == bits_of(struct.unpack("<e", pattern.to_bytes(2, "little"))[0])


# On binary32 values the binary32 rounding of the argument is exact, so a
# single rounding to binary16 (struct's) must give the same pattern.
@given(st.floats(width=32, allow_nan=False))
def test_f16_encoder_agrees_with_struct_on_binary32_values(value):
    try:
        expected = int.from_bytes(struct.pack("<e", value), "little")
    except OverflowError:  # struct refuses what rounds to infinity
        expected = 0xFC00 if value < 0 else 0x7C00
    assert encode_ieee754_f16(value) == expected


# The binary128 fraction truncated to 52 bits, scaled exactly by ldexp.
@given(sign=st.integers(0, 1), exponent=st.integers(15361 - 60, 17406 + 60),
       fraction=st.integers(0, 2**112 - 1))
def test_f128_truncates_toward_zero(sign, exponent, fraction):
    if exponent < 15361:
        expected = 0.0
    elif exponent > 17406:
        expected = INF
    else:
        expected = math.ldexp((1 << 52) | fraction >> 60, exponent - 16383 - 52)
    expected = -expected if sign else expected
    assert bits_of(decode_ieee754_f128(f128(sign, exponent, fraction))) == bits_of(expected)
