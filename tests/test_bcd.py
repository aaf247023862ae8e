"""Packed and unpacked (zoned) binary-coded decimal."""

import pytest
from hypothesis import given, settings, strategies as st

from bitloom import (decode_packed_bcd, decode_unpacked_bcd, encode_packed_bcd,
                     encode_unpacked_bcd)
from recipe_items import Index, IntSubclass

TOO_MANY = "Value {} has too many digits for {} BCD digits"
NEGATIVE = "Cannot encode negative value in unsigned BCD"
SIGN_NIBBLE = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"
SIGNED_BYTE = ("Invalid zoned decimal signed byte: 0x{} "
               "(expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)")
ZONED_BYTE = "Invalid zoned decimal byte: 0x{} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"

ENCODED = [
    (encode_packed_bcd, 1234, 16, False, 0x1234),
    (encode_packed_bcd, 12, 10, False, 0x12),  # bits above the last nibble stay 0
    (encode_packed_bcd, 1234, 20, True, 0x1234C),
    (encode_packed_bcd, -1234, 20, True, 0x1234D),
    (encode_packed_bcd, -5, 8, True, 0x5D),
    (encode_packed_bcd, 0, 4, True, 0xC),
    (encode_packed_bcd, 9999999999999999, 64, False, 0x9999999999999999),
    (encode_unpacked_bcd, 123, 24, False, 0x010203),
    (encode_unpacked_bcd, 123, 24, True, 0xF1F2C3),
    (encode_unpacked_bcd, -123, 24, True, 0xF1F2D3),
    (encode_unpacked_bcd, 5, 32, True, 0xF0F0F0C5),  # leading zeros carry the zone
    (encode_unpacked_bcd, -5, 8, True, 0xD5),
    # Wider than the 64-bit pattern: the positions beyond bit 63 are not
    # written, so nothing folds back onto the low digits or the sign.
    (encode_packed_bcd, 9999999999999999, 68, False, 0x9999999999999999),
    (encode_packed_bcd, -999999999999999, 100, True, 0x999999999999999D),
    (encode_packed_bcd, -5, 2**32 - 1, True, 0x5D),
    (encode_unpacked_bcd, 12345678, 72, False, 0x0102030405060708),
    (encode_unpacked_bcd, 5, 72, True, 0xF0F0F0F0F0F0F0C5),
    (encode_unpacked_bcd, -12345678, 4000, True, 0xF1F2F3F4F5F6F7D8),
]

ENCODE_ERRORS = [
    (encode_packed_bcd, 5, 4, True, TOO_MANY.format(5, 0)),
    (encode_packed_bcd, 123, 8, False, TOO_MANY.format(123, 2)),
    (encode_packed_bcd, -1, 8, False, NEGATIVE),
    (encode_packed_bcd, -1, 3, False, "bits must be >= 4 for packed BCD"),
    # Several checks failing at once: the width decides, then the sign.
    (encode_packed_bcd, -123, 3, True, "bits must be >= 4 for packed BCD"),
    (encode_packed_bcd, 0, 0, True, "bits must be >= 4 for packed BCD"),
    (encode_packed_bcd, -123, 4, False, NEGATIVE),
    (encode_packed_bcd, 10**16, 64, False, TOO_MANY.format(10**16, 16)),
    (encode_packed_bcd, -(2**63), 64, True, TOO_MANY.format(-(2**63), 15)),
    (encode_unpacked_bcd, 123, 16, False, TOO_MANY.format(123, 2)),
    (encode_unpacked_bcd, -5, 8, False, NEGATIVE),
    (encode_unpacked_bcd, 5, 7, False, "bits must be >= 8 for unpacked BCD"),
    # Beyond 64 bits only the positions inside the pattern count.
    (encode_packed_bcd, 10**16, 68, False, TOO_MANY.format(10**16, 16)),
    (encode_packed_bcd, 2**63 - 1, 2**32 - 1, False, TOO_MANY.format(2**63 - 1, 16)),
    (encode_packed_bcd, -(10**15), 100, True, TOO_MANY.format(-(10**15), 15)),
    (encode_unpacked_bcd, 123456789, 72, False, TOO_MANY.format(123456789, 8)),
    (encode_unpacked_bcd, -123456789, 800, True, TOO_MANY.format(-123456789, 8)),
]

DECODED = [
    (decode_packed_bcd, 0x1234, 16, False, 1234),
    (decode_packed_bcd, 0xF12, 8, False, 12),  # nibbles above the field ignored
    (decode_packed_bcd, 0x1234C, 20, True, 1234),
    (decode_packed_bcd, 0x1234D, 20, True, -1234),
    (decode_packed_bcd, 0x1234B, 20, True, -1234),
    (decode_packed_bcd, 0x1234A, 20, True, 1234),
    (decode_packed_bcd, 0xD, 4, True, 0),
    (decode_packed_bcd, 0xFF, 3, False, 0),
    (decode_packed_bcd, 0x12, 100, False, 12),
    (decode_unpacked_bcd, 0x010203, 24, False, 123),
    (decode_unpacked_bcd, 0xF1F2C3, 24, True, 123),
    (decode_unpacked_bcd, 0xF1F2D3, 24, True, -123),
    (decode_unpacked_bcd, 0x313233, 24, True, 123),
    (decode_unpacked_bcd, 0x31F2F3, 24, True, 123),  # zones mixed
    (decode_unpacked_bcd, 0xD0, 8, True, 0),  # negative zero
    (decode_unpacked_bcd, 0xAB, 7, True, 0),
    (decode_unpacked_bcd, 0x0102, 80, False, 12),
]

DECODE_ERRORS = [
    (decode_packed_bcd, 0x123A, 16, False, "Invalid BCD digit: 10 (must be 0-9)"),
    (decode_packed_bcd, 0xA00F0, 20, False, "Invalid BCD digit: 15 (must be 0-9)"),  # lowest first
    (decode_packed_bcd, 0x12345, 20, True, SIGN_NIBBLE),
    (decode_packed_bcd, 0xA5, 8, True, SIGN_NIBBLE),  # sign checked before digits
    (decode_unpacked_bcd, 0x313233, 24, False, "Invalid BCD digit: 51 (must be 0-9)"),
    (decode_unpacked_bcd, 0xF1F2A3, 24, True, SIGNED_BYTE.format("A3")),
    (decode_unpacked_bcd, 0xF1C2C3, 24, True, ZONED_BYTE.format("C2")),
    (decode_unpacked_bcd, 0x05, 8, True, SIGNED_BYTE.format("05")),
    (decode_unpacked_bcd, 0xC3, 16, True, ZONED_BYTE.format("00")),
    # A signed field wider than the pattern reads byte 8 as 0x00.
    (decode_unpacked_bcd, 0xF0F0F0F0F0F0F0C5, 72, True, ZONED_BYTE.format("00")),
]


@pytest.mark.parametrize("function, value, bits, signed, expected", ENCODED + DECODED)
def test_converts(function, value, bits, signed, expected):
    # Unsigned rows leave `signed` out: it defaults to false.
    arguments = (value, bits, True) if signed else (value, bits)
    assert function(*arguments) == expected


@pytest.mark.parametrize("function, value, bits, signed, message", ENCODE_ERRORS + DECODE_ERRORS)
def test_refuses(function, value, bits, signed, message):
    with pytest.raises(ValueError) as caught:
        function(value, bits, signed)
    assert str(caught.value) == message
    assert type(caught.value) is ValueError


# The packed encoder answers plain ints and bools given by position on a path
# of its own; the same arguments by name go through the checked call.  Each
# row must give the same result, or the same error, both ways: accepted cases,
# every refusal, and arguments only the checked conversions accept or refuse.
ABSENT = object()
BOTH_WAYS = [
    (12345678, 32, ABSENT), (99999999, 32, ABSENT), (100000000, 32, ABSENT),
    (123456789, 36, ABSENT), (2**40, 64, ABSENT), (-(2**40), 64, True),
    (10**15 - 1, 64, True), (-(10**15 - 1), 64, True), (10**15, 64, True),
    (10**16 - 1, 64, False), (10**16, 64, False), (2**62, 64, False), (2**64, 80, False),
    (-5, 8, ABSENT), (-5, 8, True), (0, 4, True), (5, 3, False), (5, 0, False),
    (5, 2**32, False), (5, -1, False), (5, 200, False), (99, 8, False), (100, 8, False),
    (IntSubclass(42), 8, False), (Index(42), 8, False), (42, Index(8), False), (True, 4, False),
    (5, 8, 1), (5, 8, 0), (5, 8, None), (1.5, 8, False), ("5", 8, False), (5, 8.0, False),
]


def outcome(call):
    try:
        return "result", call()
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return type(error), str(error)


@pytest.mark.parametrize("value, bits, signed", BOTH_WAYS)
def test_packed_encoder_agrees_by_position_and_by_name(value, bits, signed):
    positional = (value, bits) if signed is ABSENT else (value, bits, signed)
    named = {"value": value, "bits": bits} | ({} if signed is ABSENT else {"signed": signed})
    assert outcome(lambda: encode_packed_bcd(*positional)) == outcome(
        lambda: encode_packed_bcd(**named))


# Independent oracles: the decimal digits of the value written out as text.
def packed_oracle(value, signed):
    return int(str(abs(value)) + ("d" if value < 0 else "c" if signed else ""), 16)


def unpacked_oracle(value, bits, signed):
    digits = str(abs(value)).rjust(bits // 8, "0")
    if not signed:
        return int.from_bytes(bytes(int(d) for d in digits), "big")
    zoned = bytes(0xF0 | int(d) for d in digits[:-1])
    zoned += bytes([(0xD0 if value < 0 else 0xC0) | int(digits[-1])])
    return int.from_bytes(zoned, "big")


FORMS = [(encode_packed_bcd, decode_packed_bcd, False),
         (encode_packed_bcd, decode_packed_bcd, True),
         (encode_unpacked_bcd, decode_unpacked_bcd, False),
         (encode_unpacked_bcd, decode_unpacked_bcd, True)]


def largest(encode, bits, signed):
    digits = bits // 4 - signed if encode is encode_packed_bcd else bits // 8
    return 10**digits - 1


@pytest.mark.parametrize("bits", range(8, 65))
@pytest.mark.parametrize("encode, decode, signed", FORMS)
@settings(max_examples=10, deadline=None)
@given(fraction=st.fractions(0, 1))
def test_round_trip_and_oracle_at_every_width(encode, decode, signed, bits, fraction):
    top = largest(encode, bits, signed)
    for value in {int(top * fraction), top, 0}:
        for v in ({value, -value} if signed else {value}):
            pattern = encode(v, bits, signed)
            assert decode(pattern, bits, signed) == v
            if encode is encode_packed_bcd:
                assert pattern == packed_oracle(v, signed)
            else:
                assert pattern == unpacked_oracle(v, bits, signed)
    with pytest.raises(ValueError, match=f"has too many digits for {len(str(top))} BCD"):
        encode(-top - 1 if signed else top + 1, bits, signed)


@given(pattern=st.integers(0, 2**64 - 1), bits=st.integers(4, 80))
def test_packed_decoder_reads_decimal_digits(pattern, bits):
    # Each nibble of the field must be a decimal digit; the lowest bad one
    # is reported; otherwise the hex digits read as decimal are the value.
    nibbles = [(pattern >> (4 * i)) & 0xF for i in range(min(bits // 4, 16))]
    bad = [n for n in nibbles if n > 9]
    if bad:
        with pytest.raises(ValueError, match=rf"^Invalid BCD digit: {bad[0]} "):
            decode_packed_bcd(pattern, bits)
    else:
        assert decode_packed_bcd(pattern, bits) == int("".join(map(str, reversed(nibbles))))
