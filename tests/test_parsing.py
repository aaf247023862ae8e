"""unpack_parameters: windows, byte order, field values, decode rules, errors."""

import math
import struct

import pytest
from hypothesis import given, strategies as st

from bitloom import pack_parameters, unpack_parameters
from recipe_items import (MISSING, Index, IntSubclass, StrSubclass, make_unusual,
                          parsing_item as item)

without = item.without


def engine_error(packet, offset, recipe):
    with pytest.raises(ValueError) as caught:
        unpack_parameters(packet, offset, recipe)
    assert type(caught.value) is ValueError
    return str(caught.value)


FIELDS = [
    # (packet, start offset, recipe, expected result)
    (b"", 0, [], {}),
    (b"", 2**64 - 1, [], {}),
    (bytes.fromhex("010203"), 0, [item("a"), item("b", bits=16)], {"a": 1, "b": 515}),
    (bytes.fromhex("010203"), 0, [item("a", byte_order="little"),
                                  item("b", bits=16, byte_order="LITTLE")], {"a": 1, "b": 770}),
    (bytes.fromhex("FFFE"), 0, [item(encoding="twos_complement", bits=16)], {"a": -2}),
    (bytes.fromhex("FFFE"), 0, [item(encoding="ones_complement", bits=16)], {"a": -1}),
    (bytes.fromhex("FFFE"), 0, [item(encoding="sign_magnitude", bits=16)], {"a": -32766}),
    (bytes.fromhex("FFFE"), 0, [item(bits=16)], {"a": 65534}),
    (bytes.fromhex("ABCD"), 0, [item(bits=12, offset_bits=4)], {"a": 0xBCD}),
    (bytes.fromhex("AB"), 0, [item("x", bits=4, offset_bits=0), item("y", bits=4, offset_bits=4)],
     {"x": 11, "y": 11}),
    (bytes.fromhex("01"), 0, [item(bits=4, reverse_bits=True)], {"a": 8}),
    (bytes.fromhex("0102030405060708"), 0, [item(bits=16, reverse_bits=True, byte_order="little")],
     {"a": 0x8040}),
    (bytes.fromhex("010203040506070809"), 0, [item(bits=72)], {"a": 0x0102030405060708}),
    (bytes.fromhex("010203040506070809"), 0, [item(bits=72, byte_order="little")],
     {"a": 0x0908070605040302}),
    (b"abc", 0, [item(encoding="utf8", bits=24, byte_order="little")], {"a": "cba"}),
    (b"cba", 0, [item(encoding="utf8", bits=24, byte_order="little")], {"a": "abc"}),
    (b"AB\0\0", 0, [item(encoding="utf8", bits=32)], {"a": "AB\0\0"}),
    (b"AB", 0, [item(encoding="utf-8", bits=16, reverse_bits=True)], {"a": "AB"}),
    (b"\x00A", 0, [item(encoding="UTF-16", bits=16)], {"a": "A"}),
    (b"\xff\xfeA\x00", 0, [item(encoding="utf16", bits=32)], {"a": "A"}),
    (b"A\x00", 0, [item(encoding="utf16le", bits=16)], {"a": "A"}),
    (b"\x00\x00\x00A", 0, [item(encoding="utf-32", bits=32)], {"a": "A"}),
    (b"A\x00\x00\x00", 0, [item(encoding="utf-32le", bits=32)], {"a": "A"}),
    (b"\x80\xff", 0, [item(encoding="latin1", bits=16)], {"a": "\x80\xff"}),
    (b"\x80", 0, [item(encoding="windows-1252")], {"a": "\u20ac"}),
    (b"z", 0, [item(encoding="us-ascii")], {"a": "z"}),
    (bytes.fromhex("3FF0000000000000"), 0, [item(encoding="ieee754_f64", bits=64)], {"a": 1.0}),
    (bytes.fromhex("3F800000"), 0, [item(encoding="ieee754-f32", bits=32)], {"a": 1.0}),
    (bytes.fromhex("3C00"), 0, [item(encoding="ieee754_f16", bits=16)], {"a": 1.0}),
    (bytes.fromhex("3F80"), 0, [item(encoding="ieee754_f32", bits=16)],
     {"a": struct.unpack(">f", bytes.fromhex("00003F80"))[0]}),
    (bytes(8), 0, [item(encoding="ieee754_f128", bits=64)], {"a": 0.0}),
    (bytes.fromhex("1234"), 0, [item(encoding="packed_bcd", bits=16)], {"a": 1234}),
    (bytes.fromhex("012D"), 0, [item(encoding="packed-bcd-signed", bits=16)], {"a": -12}),
    (bytes.fromhex("F1D2"), 0, [item(encoding="bcd_signed", bits=16)], {"a": -12}),
    (bytes.fromhex("0102"), 0, [item(encoding="bcd", bits=16)], {"a": 12}),
    # Offsets: the call's start plus the item's own offset; the cursor moves
    # by the width from the item's start.
    (bytes.fromhex("0011"), 8, [item(offset_bits=0)], {"a": 0x11}),
    (bytes.fromhex("000000AABB"), 0, [item("x", offset_bits=16), item("y")],
     {"x": 0, "y": 0xAA}),
    (bytes.fromhex("00112233"), 8, [item("x"), item("y", offset_bits=16), item("z", offset_bits=0)],
     {"x": 0x11, "y": 0x33, "z": 0x11}),
    # Later items with the same name replace the value but keep the position.
    (bytes.fromhex("0102"), 0, [item("a"), item("b"), item("a", offset_bits=0, bits=16)],
     {"a": 0x0102, "b": 2}),
    # Empty fields and windows ending exactly at the end of the packet.
    (b"", 0, [item(bits=0)], {"a": 0}),
    (b"", 0, [item(encoding="utf8", bits=0)], {"a": ""}),
    (b"", 0, [item(encoding="utf16le", bits=0)], {"a": ""}),
    (bytes(4), 0, [item(bits=8, offset_bits=24)], {"a": 0}),
    (bytes(4), 32, [item(bits=0)], {"a": 0}),
    # Widths above 64 for sign-magnitude and reversal take positions mod 64.
    (bytes.fromhex("0000000000000085") + bytes(1), 0,
     [item(encoding="sign_magnitude", bits=72)], {"a": -5}),
    (bytes.fromhex("0000000000000001") + bytes(1), 0,
     [item(bits=72, reverse_bits=True)], {"a": 1 << 7}),
]


@pytest.mark.parametrize("packet, offset, recipe, expected", FIELDS)
def test_fields(packet, offset, recipe, expected):
    result = unpack_parameters(packet, offset, recipe)
    assert result == expected
    assert list(result) == list(expected)


ERRORS = [
    (b"\0", 0, [item(encoding="ibm_f32")],
     "NotImplementedError: IBM f32 format not yet implemented"),
    (b"\0", 0, [item(encoding="ti_f32", bits=7)],
     "NotImplementedError: TI f32 format not yet implemented"),
    (b"", 0, [item(encoding="ti-f40", bits=0)],
     "NotImplementedError: TI f40 format not yet implemented"),
    (b"\0", 0, [item(encoding="mil-std-1750a-f48")],
     "NotImplementedError: MIL-STD-1750A f48 format not yet implemented"),
    (bytes(16), 0, [item(encoding="ieee754_f128", bits=128)],
     "ValueError: IEEE 754 f128 requires special handling for >64 bits "
     "(not yet implemented in process_recipe)"),
    (b"\0", 0, [item(encoding="utf_8")], "ValueError: Unsupported encoding type: utf_8"),
    (b"\0", 0, [item(encoding="Utf_8")], "ValueError: Unsupported encoding type: Utf_8"),
    (bytes(4), 0, [item(encoding="ieee754", bits=32)], "ValueError: Unsupported encoding type: ieee754"),
    (b"\0", 0, [item(encoding="binary")], "ValueError: Unsupported encoding type: binary"),
    (b"\0", 0, [item(encoding="ieee754_1985-f32")],
     "ValueError: Unsupported encoding type: ieee754_1985-f32"),
    (b"\0", 0, [without("reverse_bits")], "KeyError: \"Recipe missing required field: 'reverse_bits'\""),
    (b"\0", 0, [without("name")], "KeyError: \"Recipe missing required field: 'name'\""),
    (b"\0", 0, [item(name=5)], "TypeError: 'int' object cannot be cast as 'str'"),
    (b"\0", 0, [item(), (1,)], "TypeError: 'tuple' object cannot be cast as 'dict'"),
    (b"\0", 0, [item(byte_order="middle")],
     "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
    (b"\xff", 0, [item(encoding="utf8")],
     "ValueError: Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\x3a", 0, [item(encoding="packed_bcd")], "ValueError: Invalid BCD digit: 10 (must be 0-9)"),
    (b"", 0, [item(encoding="utf16", bits=0)],
     "ValueError: UTF-16 requires an even number of bytes with at least 2 bytes"),
    # Windows that do not lie inside the packet.
    (bytes(4), 0, [item(bits=16, offset_bits=24)],
     "ValueError: range end index 5 out of range for slice of length 4"),
    (bytes(4), 0, [item(bits=8, offset_bits=48)],
     "ValueError: range start index 6 out of range for slice of length 4"),
    (bytes(4), 2**64 - 8, [item(bits=8)],
     "ValueError: range start index 2305843009213693951 out of range for slice of length 4"),
    # The window check comes before the byte order and the encoding.
    (bytes(1), 0, [item(bits=16, byte_order="middle", encoding="nonsense")],
     "ValueError: range end index 2 out of range for slice of length 1"),
    (bytes(1), 0, [item(byte_order="middle", encoding="nonsense")],
     "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
]


@pytest.mark.parametrize("packet, offset, recipe, message", ERRORS)
def test_engine_errors(packet, offset, recipe, message):
    assert engine_error(packet, offset, recipe) == message


def test_offset_overflow_is_an_error_not_a_wrap():
    message = engine_error(bytes(4), 2**64 - 1, [item(offset_bits=8)])
    assert message.startswith("ValueError: ") and "18446744073709551615" in message


def test_argument_errors_are_raised_unchanged():
    with pytest.raises(TypeError, match="^argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'$"):
        unpack_parameters(bytearray(b"\0"), 0, [item()])
    with pytest.raises(OverflowError):
        unpack_parameters(b"\0", -1, [item()])
    with pytest.raises(TypeError, match="^argument 'offset_bits': "):
        unpack_parameters(b"\0", 1.0, [item()])
    with pytest.raises(TypeError, match="^argument 'recipe': Can't extract `str` to `Vec`$"):
        unpack_parameters(b"\0", 0, "abc")


def test_errors_name_the_recipe_item_in_a_note():
    with pytest.raises(ValueError) as caught:
        unpack_parameters(b"\0\0", 0, [item("ok"), item("battery_temp", encoding="nope")])
    assert caught.value.__notes__ == ["in recipe item 1 ('battery_temp')"]


def test_value_key_is_ignored_and_items_are_not_modified():
    recipe = [item(value="anything", extra=1)]
    snapshot = [dict(entry) for entry in recipe]
    assert unpack_parameters(b"\x07", 0, recipe) == {"a": 7}
    assert recipe == snapshot


def test_float_specials_survive():
    result = unpack_parameters(bytes.fromhex("7FF8000000000001FF800000"), 0,
                               [item("nan", encoding="ieee754_f64", bits=64),
                                item("inf", encoding="ieee754_f32", bits=32)])
    assert math.isnan(result["nan"]) and result["inf"] == -math.inf


@given(st.lists(st.tuples(st.sampled_from([8, 16, 24, 32, 40, 48, 56, 64]),
                          st.integers(0, 2**64 - 1), st.sampled_from(["big", "little"]),
                          st.booleans()), min_size=1, max_size=10))
def test_byte_aligned_fields_round_trip_through_pack(fields):
    recipe = [item(f"f{i}", bits=w, byte_order=order, reverse_bits=rev, value=v % 2**w)
              for i, (w, v, order, rev) in enumerate(fields)]
    packet = pack_parameters(recipe)
    assert unpack_parameters(packet, 0, recipe) == {f"f{i}": v % 2**w
                                                    for i, (w, v, _, _) in enumerate(fields)}


@given(st.integers(1, 64).flatmap(lambda w: st.tuples(
    st.just(w), st.integers(-(2 ** (w - 1)), 2 ** (w - 1) - 1))), st.integers(0, 7))
def test_big_endian_fields_ending_on_a_byte_boundary_round_trip(case, pad):
    width, value = case
    start = (-width) % 8  # the field ends on a byte boundary
    recipe = [item(encoding="twos_complement", bits=width, value=value, offset_bits=start)]
    packet = pack_parameters(recipe) + bytes(pad)
    assert unpack_parameters(packet, 0, recipe) == {"a": value}


# ---- numeric fields at the ends of their ranges ---------------------------------

def field_value_reference(window, byte_order, bits, reverse_bits):
    """The field value by the rules: the window in byte order, its first eight
    bytes read big-endian, then the low `bits` bits, reversed if asked."""
    buffer = window if byte_order == "big" else window[::-1]
    value = int.from_bytes(buffer[:8], "big")
    if bits < 64:
        value %= 2**bits
    if reverse_bits:
        value = int(format(value, f"0{bits}b")[::-1], 2)
    return value


def decoded_reference(encoding, bits, value):
    if encoding == "unsigned":
        return value
    if encoding == "twos_complement":
        return value - 2**bits if value >> (bits - 1) & 1 else value
    form = ">f" if encoding == "ieee754_f32" else ">d"
    return struct.unpack(form, value.to_bytes(bits // 8, "big"))[0]


WINDOWS = [bytes([0xFF] * 8), bytes([0x80] + [0] * 7), bytes([0x7F] + [0xFF] * 7),
           bytes.fromhex("0123456789ABCDEF"), bytes.fromhex("FEDCBA9876543210"), bytes(8)]
NUMERIC_WIDTHS = [("unsigned", bits) for bits in (1, 7, 8, 9, 30, 31, 32, 33, 62, 63, 64)] + \
                 [("twos_complement", bits) for bits in (1, 2, 8, 31, 32, 33, 63, 64)] + \
                 [("ieee754_f32", 32), ("ieee754_f64", 64)]


@pytest.mark.parametrize("encoding, bits", NUMERIC_WIDTHS)
@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("byte_order, reverse_bits", [("big", False), ("little", False),
                                                      ("big", True), ("little", True)])
def test_numeric_fields_decode_by_the_rules(encoding, bits, window, byte_order, reverse_bits):
    window = window[:(bits + 7) // 8]
    got = unpack_parameters(b"\x00" + window, 8, [
        item(encoding=encoding, bits=bits, byte_order=byte_order, reverse_bits=reverse_bits,
             offset_bits=0)])["a"]
    expected = decoded_reference(encoding, bits,
                                 field_value_reference(window, byte_order, bits, reverse_bits))
    assert type(got) is type(expected)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


@pytest.mark.parametrize("variant", [
    {"bits": IntSubclass(8)}, {"bits": Index(8)}, {"name": StrSubclass("a")},
    {"encoding": StrSubclass("unsigned")}, {"encoding": "Unsigned"}, {"byte_order": "BIG"},
    {"offset_bits": IntSubclass(0)}, {"offset_bits": Index(0)},
])
def test_keys_off_the_usual_road_give_the_same_fields(variant):
    plain = [item("a"), item("b", bits=4, offset_bits=8)]
    varied = [{**plain[0], **variant}, plain[1]]
    assert unpack_parameters(b"\xa5\x30", 0, varied) == unpack_parameters(b"\xa5\x30", 0, plain) \
        == {"a": 0xA5, "b": 0}


# ---- the usual recipe's one pass against the general road --------------------
#
# A list or tuple of usual items is read in one pass; a recipe that is a list
# subclass, or that holds a dict subclass, takes the general road with the
# same items.  Random usual recipes, with at most one item made unusual, must
# give the same dict (keys in the same order, the same value types) or the
# same error, note included, on each road.

class RecipeList(list):
    pass


class DictSubclass(dict):
    pass


def parsing_outcome(packet, offset, recipe):
    try:
        result = unpack_parameters(packet, offset, recipe)
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return type(error), str(error), getattr(error, "__notes__", None)
    # repr tells -0.0 and NaN apart, and keeps the keys' order.
    return [(type(key), key, type(value), repr(value)) for key, value in result.items()]


def assert_parsing_roads_agree(packet, offset, recipe):
    outcome = parsing_outcome(packet, offset, recipe)
    assert parsing_outcome(packet, offset, RecipeList(recipe)) == outcome
    assert parsing_outcome(packet, offset, tuple(recipe)) == outcome
    if recipe:
        # The one pass abandons at the last item, having read the others.
        assert parsing_outcome(packet, offset, recipe[:-1] + [DictSubclass(recipe[-1])]) == outcome
    return outcome


@st.composite
def usual_parsing_items(draw):
    kind = draw(st.sampled_from(["unsigned", "twos_complement", "float", "text"]))
    if kind in ("unsigned", "twos_complement"):
        bits, encoding = draw(st.integers(1, 64)), kind
    elif kind == "float":
        bits = draw(st.sampled_from([32, 64]))
        encoding = draw(st.sampled_from([f"ieee754_f{bits}", f"IEEE754-F{bits}"]))
    else:
        bits = 8 * draw(st.integers(1, 8))
        encoding = draw(st.sampled_from(["us-ascii", "utf8", "UTF-8", "latin1", "windows-1252"]))
    entry = {"name": draw(st.sampled_from(["a", "count", ""])), "encoding": encoding,
             "bits": bits, "byte_order": draw(st.sampled_from(["big", "little"])),
             "reverse_bits": draw(st.booleans())}
    if draw(st.booleans()):
        entry["offset_bits"] = draw(st.integers(0, 120))
    pairs = draw(st.permutations(list(entry.items())))
    if draw(st.integers(0, 4)) == 0:
        # Keys built at run time are matched by their text.
        pairs = [("".join(list(key)), value) for key, value in pairs]
    return dict(pairs)


# One change that takes an item off the usual road, as (key, replacement); a
# replacement of MISSING deletes the key.
UNUSUAL_PARSING = [
    ("bits", IntSubclass(8)), ("bits", True), ("bits", 0), ("bits", 65), ("bits", 72), ("bits", -1),
    ("bits", 2**32), ("bits", "8"), ("bits", MISSING), ("offset_bits", -1),
    ("offset_bits", 2**64 - 1), ("offset_bits", 2**64), ("offset_bits", IntSubclass(3)),
    ("offset_bits", Index(3)), ("offset_bits", 10**6), ("offset_bits", None), ("name", MISSING),
    ("name", StrSubclass("a")), ("name", "\u00e9t\u00e9"), ("name", 1), ("encoding", "UNSIGNED"),
    ("encoding", StrSubclass("unsigned")), ("encoding", "nope"), ("encoding", "bcd"),
    ("encoding", "ieee754_f16"), ("encoding", "ieee754"), ("encoding", "utf16"),
    ("encoding", "dec_f32"), ("encoding", MISSING), ("encoding", "\u00fcnsigned"),
    ("byte_order", "Big"), ("byte_order", "LITTLE"), ("byte_order", "middle"),
    ("byte_order", StrSubclass("big")), ("byte_order", MISSING), ("byte_order", 1),
    ("reverse_bits", 0), ("reverse_bits", 1), ("reverse_bits", None), ("reverse_bits", MISSING),
    ("value", 1), ("extra", 1), (StrSubclass("bits"), 8),
]


@given(st.binary(max_size=24) | st.sampled_from([bytes(range(0, 128, 7)), b"TLM-0001\xff"]),
       st.integers(0, 40) | st.sampled_from([2**64 - 1, 2**64 - 100]),
       st.lists(usual_parsing_items(), max_size=16),
       st.none() | st.sampled_from(UNUSUAL_PARSING), st.integers(0, 15))
def test_the_usual_recipes_one_pass_agrees_with_the_general_road(packet, offset, recipe, change, at):
    make_unusual(recipe, change, at)
    assert_parsing_roads_agree(packet, offset, recipe)


# A later duplicate name keeps the first name's place and key object, with
# the later value; an item without "offset_bits" follows the item before it
# (its start plus its width), wherever that one was.
@pytest.mark.parametrize("recipe, expected", [
    ([item("a"), item("b"), item("a", bits=16)], [("a", 0x0304), ("b", 2)]),
    ([item("a", offset_bits=16), item("b")], [("a", 3), ("b", 4)]),
    ([item("a", offset_bits=8, bits=4), item("b", bits=12)], [("a", 2), ("b", 0x203)]),
    ([item("t", encoding="us-ascii", bits=16, offset_bits=8)], [("t", "\x02\x03")]),
])
def test_duplicates_and_cursor_on_the_one_pass(recipe, expected):
    packet = bytes([1, 2, 3, 4])
    assert assert_parsing_roads_agree(packet, 0, recipe) == \
        [(str, name, type(value), repr(value)) for name, value in expected]
    first = recipe[0]["name"]
    assert next(iter(unpack_parameters(packet, 0, recipe))) is first
