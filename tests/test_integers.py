"""Sign-magnitude, ones' complement and two's complement codecs."""

import pytest
from hypothesis import given, strategies as st

from bitloom import (decode_ones_complement, decode_sign_magnitude, decode_twos_complement,
                     encode_ones_complement, encode_sign_magnitude, encode_twos_complement,
                     unpack_parameters)
from bitloom.frames import FrameCodec
from recipe_items import Index, IntSubclass

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1

ENCODED = [
    (encode_sign_magnitude, 5, 8, 5),
    (encode_sign_magnitude, -5, 8, 0x85),
    (encode_sign_magnitude, 0, 8, 0),
    (encode_sign_magnitude, 127, 8, 127),
    (encode_sign_magnitude, -127, 8, 0xFF),
    (encode_sign_magnitude, -1, 2, 0b11),
    (encode_sign_magnitude, -I64_MAX, 64, U64_MAX),
    (encode_sign_magnitude, I64_MAX, 64, I64_MAX),
    (encode_ones_complement, -5, 8, 0xFA),
    (encode_ones_complement, -127, 8, 0x80),
    (encode_ones_complement, 127, 8, 127),
    (encode_ones_complement, 0, 8, 0),
    (encode_ones_complement, -1, 64, U64_MAX - 1),
    (encode_ones_complement, -I64_MAX, 64, 2**63),
    (encode_ones_complement, 0, 1, 0),
    # Width 0 has no field: non-negative values pass through, negatives give 0.
    (encode_ones_complement, 7, 0, 7),
    (encode_ones_complement, -7, 0, 0),
    (encode_twos_complement, -1, 8, 255),
    (encode_twos_complement, -128, 8, 0x80),
    (encode_twos_complement, 127, 8, 0x7F),
    (encode_twos_complement, -1, 1, 1),
    (encode_twos_complement, -1, 64, U64_MAX),
    (encode_twos_complement, I64_MIN, 64, 2**63),
    (encode_twos_complement, I64_MAX, 64, I64_MAX),
    (encode_twos_complement, -(2**62), 63, 2**62),
    (encode_twos_complement, I64_MIN, 0, 0),
    (encode_twos_complement, I64_MAX, 0, 0),
]


@pytest.mark.parametrize("encode, value, bits, pattern", ENCODED)
def test_encoders(encode, value, bits, pattern):
    assert encode(value, bits) == pattern


ENCODER_ERRORS = [
    (encode_sign_magnitude, 128, 8, "Magnitude of 128 is too large for 8 bits"),
    (encode_sign_magnitude, -128, 8, "Magnitude of -128 is too large for 8 bits"),
    (encode_sign_magnitude, I64_MIN, 64,
     "Magnitude of -9223372036854775808 is too large for 64 bits"),
    (encode_sign_magnitude, 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 0, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 0, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 2, 2, "Magnitude of 2 is too large for 2 bits"),
    (encode_ones_complement, 128, 8, "Value 128 is too large for 8 bits"),
    (encode_ones_complement, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    (encode_ones_complement, I64_MIN, 64,
     "Value -9223372036854775808 is too large (magnitude) for 64 bits"),
    (encode_ones_complement, I64_MIN, 0,
     "Value -9223372036854775808 is too large (magnitude) for 0 bits"),
    (encode_ones_complement, 1, 1, "Value 1 is too large for 1 bits"),
    (encode_ones_complement, -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (encode_ones_complement, 0, 65, "bits must be <= 64 for ones' complement encoding"),
    (encode_twos_complement, 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (encode_twos_complement, 2**62, 63,
     "Value 4611686018427387904 out of range for 63 bits "
     "(range: -4611686018427387904 to 4611686018427387903)"),
    (encode_twos_complement, 0, 65, "bits must be <= 64 for two's complement encoding"),
    (encode_twos_complement, 0, 2**32 - 1, "bits must be <= 64 for two's complement encoding"),
]


@pytest.mark.parametrize("encode, value, bits, message", ENCODER_ERRORS)
def test_encoder_errors(encode, value, bits, message):
    with pytest.raises(ValueError) as caught:
        encode(value, bits)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


DECODED = [
    (decode_sign_magnitude, 0x85, 8, -5),
    (decode_sign_magnitude, 0x80, 8, 0),  # negative zero
    (decode_sign_magnitude, 0x7F, 8, 127),
    (decode_sign_magnitude, 1, 1, 0),  # a lone sign bit has no magnitude
    (decode_sign_magnitude, U64_MAX, 64, -I64_MAX),
    (decode_sign_magnitude, 0x1_85, 8, -5),  # bits above the field are ignored
    (decode_sign_magnitude, 2**63 | 5, 0, -5),  # width 0: bit 63 is the sign
    (decode_sign_magnitude, 2**63 | 5, 64 + 64, -5),  # widths above 64 wrap modulo 64
    (decode_sign_magnitude, 0b101, 67, -1),
    (decode_ones_complement, 0xFA, 8, -5),
    (decode_ones_complement, 0xFF, 8, 0),  # negative zero
    (decode_ones_complement, 0x80, 8, -127),
    (decode_ones_complement, U64_MAX, 64, 0),
    (decode_ones_complement, 2**63, 64, -I64_MAX),
    (decode_ones_complement, U64_MAX, 100, 0),
    (decode_ones_complement, U64_MAX, 0, -1),
    (decode_ones_complement, 1, 1, 0),
    (decode_twos_complement, 0xFF, 8, -1),
    (decode_twos_complement, 0x80, 8, -128),
    (decode_twos_complement, 0x7F, 8, 127),
    (decode_twos_complement, U64_MAX, 64, -1),
    (decode_twos_complement, 0xFF, 100, 255),
    (decode_twos_complement, 1, 1, -1),
    (decode_twos_complement, 2**63, 0, 0),
    (decode_twos_complement, 5, 0, 5),
    (decode_twos_complement, 0x1_FF, 8, -1),  # high bits ignored when the sign is set
]


@pytest.mark.parametrize("decode, pattern, bits, value", DECODED)
def test_decoders(decode, pattern, bits, value):
    assert decode(pattern, bits) == value


RANGES = {
    # encoder: (decoder, smallest width, range of a width)
    encode_sign_magnitude: (decode_sign_magnitude, 2, lambda n: (-(2 ** (n - 1) - 1), 2 ** (n - 1) - 1)),
    encode_ones_complement: (decode_ones_complement, 1, lambda n: (-(2 ** (n - 1) - 1), 2 ** (n - 1) - 1)),
    encode_twos_complement: (decode_twos_complement, 1, lambda n: (-(2 ** (n - 1)), 2 ** (n - 1) - 1)),
}


@pytest.mark.parametrize("encode", list(RANGES), ids=lambda f: f.__name__)
@pytest.mark.parametrize("bits", range(1, 65))
def test_range_limits_and_round_trip_at_every_width(encode, bits):
    decode, smallest, limits = RANGES[encode]
    if bits < smallest:
        return
    low, high = limits(bits)
    for value in {low, low + 1, -1, 0, 1, high - 1, high}:
        if low <= value <= high:
            pattern = encode(value, bits)
            assert 0 <= pattern < 2**bits
            assert decode(pattern, bits) == value
    for outside in (low - 1, high + 1):
        if I64_MIN <= outside <= I64_MAX:
            with pytest.raises(ValueError):
                encode(outside, bits)


@given(st.integers(1, 64).flatmap(
    lambda n: st.tuples(st.just(n), st.integers(-(2 ** (n - 1)), 2 ** (n - 1) - 1))))
def test_twos_complement_matches_python_modulo(case):
    bits, value = case
    assert encode_twos_complement(value, bits) == value % 2**bits
    assert decode_twos_complement(value % 2**bits, bits) == value


@given(st.integers(1, 64), st.integers(0, U64_MAX))
def test_decoders_agree_with_arithmetic_definitions(bits, raw):
    pattern = raw % 2**bits
    sign = pattern >> (bits - 1)
    assert decode_twos_complement(pattern, bits) == pattern - (sign << bits)
    assert decode_ones_complement(pattern, bits) == (pattern - (2**bits - 1) if sign else pattern)
    magnitude = pattern & (2 ** (bits - 1) - 1)
    assert decode_sign_magnitude(pattern, bits) == (-magnitude if sign else magnitude)


# Magnitudes at the ends of one, two and three 30-bit digits: the interpreter
# stores each count differently, and arguments of each are read in place.
DIGIT_ENDS = sorted({sign * (edge + step) for edge in (2**30, 2**60) for step in (-1, 0, 1)
                     for sign in (1, -1)} | {0, 1, -1, I64_MAX, I64_MIN})


@pytest.mark.parametrize("value", DIGIT_ENDS)
@pytest.mark.parametrize("make", [int, IntSubclass, Index], ids=["int", "subclass", "index"])
def test_arguments_of_every_digit_count_convert_alike(value, make):
    assert encode_twos_complement(make(value), 64) == value % 2**64
    if value >= 0:
        assert decode_twos_complement(make(value), 64) == value - (value >> 63 << 64)
    else:
        with pytest.raises(OverflowError):
            decode_twos_complement(make(value), 64)


# Patterns of two and three 30-bit digits are built digit by digit; a wrong
# digit count or a wrong digit shows in comparison, bit_length, hash and
# arithmetic.  Module functions, the recipe parser and the frame codec all
# return them.
WIDE_PATTERNS = [2**30 - 1, 2**30, 2**30 + 1, 2**31, 2**59 + 7, 2**60 - 1, 2**60, 2**60 + 1,
                 2**62 + 12345, 2**63 - 1, 2**63, U64_MAX - 1, U64_MAX]


@pytest.mark.parametrize("pattern", WIDE_PATTERNS)
def test_wide_patterns_are_exact_ints(pattern):
    packet = pattern.to_bytes(8, "big")
    field = {"name": "p", "encoding": "unsigned", "bits": 64, "byte_order": "big",
             "reverse_bits": False}
    made = [encode_twos_complement(pattern - 2**64 if pattern > I64_MAX else pattern, 64),
            unpack_parameters(packet, 0, [field])["p"],
            FrameCodec([field]).unpack(packet)["p"]]
    for value in made:
        assert type(value) is int
        assert value == pattern and value.bit_length() == pattern.bit_length()
        assert hash(value) == hash(pattern) and value - pattern == 0 and str(value) == str(pattern)
