"""pack_parameters: encoding names, placement, value routes and errors."""

import math
import struct

import pytest
from hypothesis import given, strategies as st

from bitloom import pack_parameters
from recipe_items import (MISSING, Index, IntSubclass, StrSubclass, make_unusual,
                          packing_item as item)

without = item.without


def engine_error(recipe):
    with pytest.raises(ValueError) as caught:
        pack_parameters(recipe)
    assert type(caught.value) is ValueError
    assert len(caught.value.args) == 1
    return caught.value


PACKETS = [
    ([], b""),
    ([item(value=255)], b"\xff"),
    ([item(bits=64, value=2**64 - 1)], b"\xff" * 8),
    ([item(bits=0, value=0)], b""),
    # The worked example: fields at unaligned offsets, a reversed field and
    # a little-endian field.
    ([item("a", bits=3, value=5), item("b", bits=12, value=0xABC),
      item("c", bits=4, value=1, reverse_bits=True),
      item("d", bits=16, value=0x1234, byte_order="little")], bytes.fromhex("B579068240")),
    ([item(bits=12, value=0xABC, byte_order="little")], bytes.fromhex("C0A0")),
    ([item(bits=16, value=1, reverse_bits=True)], bytes.fromhex("8000")),
    ([item(bits=1, value=1, reverse_bits=True)], bytes.fromhex("80")),
    # Overlaps: later items win bit by bit, zero bits included.
    ([item(value=0xFF), item(bits=4, value=0, offset_bits=2)], bytes.fromhex("C3")),
    # The length pass put the third item at bit 8, the placement pass at bit 6.
    ([item(value=0xFF), item(bits=4, value=0, offset_bits=2), item(bits=2, value=3)],
     bytes.fromhex("C300")),
    # The length pass places an item without an offset at the furthest end.
    ([item(value=0xAA, offset_bits=16), item(value=0xBB, offset_bits=0), item(value=0xCC)],
     bytes.fromhex("BBCCAA00")),
    ([item(bits=12, value=0xFFF, offset_bits=6)], bytes.fromhex("03FFC0")),
    # Text fields.
    ([item(encoding="utf8", bits=32, value="AB")], b"AB\0\0"),
    ([item(encoding="utf8", bits=16, value="WXYZ")], b"YZ"),
    ([item(encoding="utf8", bits=24, value="abc", byte_order="little")], b"cba"),
    ([item(encoding="utf8", bits=48, value="h\u00e9llo")], "h\u00e9llo".encode()),
    ([item(encoding="utf8", bits=64, value="h\u00e9llo")], "h\u00e9llo".encode() + b"\0\0"),
    ([item(encoding="utf8", bits=24, value="abc", reverse_bits=True)], b"abc"),
    ([item(encoding="UTF-8", bits=8, value="a")], b"a"),
    ([item(encoding="utf_8", bits=8, value="a")], b"a"),
    ([item(encoding="utf16", bits=32, value="A")], b"\xfe\xff\x00A"),
    ([item(encoding="utf-16le", bits=16, value="A", byte_order="LITTLE")], b"\x00A"),
    ([item(encoding="us-ascii", bits=8, value="z")], b"z"),
    ([item(encoding="iso8859-1", bits=8, value="\u00e9")], b"\xe9"),
    ([item(encoding="windows1252", bits=8, value="\u20ac")], b"\x80"),
    # Raw bytes are right-aligned in their field.
    ([item(encoding="binary", bits=12, value=b"\x01\x02")], bytes.fromhex("1020")),
    ([item(encoding="binary", bits=12, value=[1, 2])], bytes.fromhex("1020")),
    ([item(encoding="binary", bits=12, value=bytearray(b"\x01\x02"))], bytes.fromhex("1020")),
    ([item(encoding="binary", bits=12, value=b"\xab\xcd")], bytes.fromhex("BCD0")),
    ([item(encoding="binary", bits=12, value=b"\xab\xcd", reverse_bits=True)],
     bytes.fromhex("B3D0")),
    ([item(encoding="binary", bits=16, value=b"\x01")], bytes.fromhex("0001")),
    ([item(encoding="binary", bits=16, value=b"\x12\x34\x56")], bytes.fromhex("3456")),
    # Numeric codecs.
    ([item(encoding="twos_complement", value=-2)], b"\xfe"),
    ([item(encoding="Twos-Complement", bits=4, value=-1), item(bits=4, value=0)], b"\xf0"),
    ([item(encoding="ones-complement", value=-5)], b"\xfa"),
    ([item(encoding="signmagnitude", value=-5)], b"\x85"),
    ([item(encoding="packedbcd", bits=16, value=1234)], b"\x12\x34"),
    ([item(encoding="packed-bcd-signed", bits=12, value=-12)], b"\x12\xd0"),
    ([item(encoding="bcd", bits=16, value=12)], b"\x01\x02"),
    ([item(encoding="bcdsigned", bits=16, value=-12)], b"\xf1\xd2"),
    ([item(encoding="ieee754", bits=32, value=1.0)], bytes.fromhex("3F800000")),
    ([item(encoding="ieee754", bits=32, value=1.0, byte_order="little")], bytes.fromhex("0000803F")),
    ([item(encoding="ieee754", bits=32, value=1.0, reverse_bits=True)], bytes.fromhex("000001FC")),
    ([item(encoding="IEEE-754", bits=16, value=1.0)], bytes.fromhex("3C00")),
    ([item(encoding="ieee_754", bits=64, value=1)], bytes.fromhex("3FF0000000000000")),
    ([item(bits=8, value=True)], b"\x01"),
]


@pytest.mark.parametrize("recipe, packet", PACKETS)
def test_packets(recipe, packet):
    assert pack_parameters(recipe) == packet


def test_kelvin_sign_lowercases_to_k():
    # U+212A KELVIN SIGN lowercases to an ASCII "k".
    assert pack_parameters([item(encoding="pac\u212aed_bcd", bits=8, value=12)]) == b"\x12"


def test_recipe_may_be_any_sequence_and_keyword():
    recipe = (item(value=1), item(value=2))
    assert pack_parameters(recipe=recipe) == b"\x01\x02"
    assert pack_parameters(range(0)) == b""


ERRORS = [
    ([item(value=256)], "ValueError: Value 256 is too large for 8 bits"),
    ([item(bits=0, value=5)], "ValueError: Value 5 is too large for 0 bits"),
    ([item(bits=65, value=0)], "ValueError: Cannot encode 65 bits from a 64-bit value"),
    ([item(encoding="twos_complement", bits=65, value=0)],
     "ValueError: bits must be <= 64 for two's complement encoding"),
    ([item(encoding="packed_bcd", bits=72, value=1)],
     "ValueError: Cannot encode 72 bits from a 64-bit value"),
    ([without("name")], "KeyError: \"Recipe missing required field: 'name'\""),
    ([without("reverse_bits", encoding="utf8")],
     "KeyError: \"Recipe missing required field: 'reverse_bits'\""),
    ([without("value")], "KeyError: \"Recipe item 'a' missing required field: 'value'\""),
    ([without("value", encoding="nonsense")],
     "KeyError: \"Recipe item 'a' missing required field: 'value'\""),
    # The length pass reads "bits" of every item before anything else.
    ([without("name"), without("bits")], "KeyError: \"Recipe missing required field: 'bits'\""),
    ([item(), [1, 2]], "TypeError: 'list' object cannot be cast as 'dict'"),
    ([item(name=5)], "TypeError: 'int' object cannot be cast as 'str'"),
    ([item(bits=-1)], "OverflowError: out of range integral type conversion attempted"),
    ([item(bits=2**32)], "OverflowError: out of range integral type conversion attempted"),
    ([item(reverse_bits=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ([item(offset_bits=None)], None),
    ([item(value=-1)], None),
    ([item(encoding="nonsense")], "ValueError: Unsupported encoding type: nonsense"),
    ([item(encoding="")], "ValueError: Unsupported encoding type: "),
    ([item(encoding="latin1", value="a")], "ValueError: Unsupported encoding type: latin1"),
    ([item(encoding="ieee754_f32", bits=32, value=1.0)],
     "ValueError: Unsupported encoding type: ieee754_f32"),
    ([item(encoding="ieee-754-1985", bits=32, value=1.0)],
     "ValueError: Unsupported encoding type: ieee-754-1985"),
    ([item(encoding="ieee754", bits=24, value="not a number")],
     "ValueError: Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)"),
    ([item(encoding="ti", bits=48, value=1.0)],
     "ValueError: Unsupported TI float bit width: 48 (supported: 32, 40)"),
    ([item(encoding="IEEE754_1985", bits=16, value=1.0)],
     "ValueError: Unsupported IEEE 754-1985 bit width: 16 (supported: 32, 64, 80)"),
    ([item(encoding="mil_std-1750a", bits=64, value=1.0)],
     "ValueError: Unsupported MIL-STD-1750A bit width: 64 (supported: 32, 48)"),
    ([item(encoding="dec", bits=16, value=1.0)],
     "ValueError: Unsupported DEC float bit width: 16 (supported: 32, 64)"),
    ([item(encoding="ibm", bits=16, value=1.0)],
     "ValueError: Unsupported IBM float bit width: 16 (supported: 32, 64)"),
    ([item(encoding="ti", bits=32, value=1.0)],
     "NotImplementedError: TI f32 encoding not yet implemented"),
    ([item(encoding="ti", bits=40, value=1)],
     "NotImplementedError: TI f40 encoding not yet implemented"),
    ([item(encoding="ieee_754-1985", bits=80, value=1.0)],
     "NotImplementedError: IEEE 754-1985 f80 encoding not yet implemented"),
    ([item(encoding="mil_std-1750a", bits=48, value=1.0)],
     "NotImplementedError: MIL-STD-1750A f48 encoding not yet implemented"),
    ([item(encoding="ieee754", bits=128, value=1.0)],
     "NotImplementedError: IEEE 754 f128 encoding not yet implemented"),
    ([item(encoding="binary", value="ab")], "TypeError: Can't extract `str` to `Vec`"),
    ([item(encoding="binary", value=5)], "TypeError: 'int' object cannot be cast as 'Sequence'"),
    ([item(encoding="binary", value=[1, 256])],
     "OverflowError: out of range integral type conversion attempted"),
    ([item(encoding="utf8", value=b"x")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ([item(encoding="us_ascii", value="\u00e9")],
     "ValueError: Character '\u00e9' (U+00E9) is not valid US-ASCII"),
    # The value is encoded before the byte order is resolved.
    ([item(value=256, byte_order="middle")], "ValueError: Value 256 is too large for 8 bits"),
    ([item(value=1, byte_order="middle")],
     "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
    ([item(value=1, byte_order="big ")],
     "ValueError: Invalid byte_order 'big ': must be 'big' or 'little'"),
    ([item(value=1, byte_order="be")],
     "ValueError: Invalid byte_order 'be': must be 'big' or 'little'"),
]


@pytest.mark.parametrize("recipe, message", ERRORS)
def test_engine_errors_are_rewrapped(recipe, message):
    error = engine_error(recipe)
    if message is None:
        assert str(error).startswith(("TypeError: ", "OverflowError: "))
    else:
        assert str(error) == message
    assert error.__cause__ is None


def test_ti_value_that_is_not_a_number_reports_the_conversion():
    assert str(engine_error([item(encoding="ti", bits=32, value="x")])).startswith("TypeError: ")


def test_argument_errors_are_not_rewrapped():
    with pytest.raises(TypeError, match=r"^argument 'recipe': Can't extract `str` to `Vec`$"):
        pack_parameters("abc")


def test_errors_name_the_recipe_item_in_a_note():
    error = engine_error([item("first", value=1), item("battery_temp", value=300)])
    assert error.__notes__ == ["in recipe item 1 ('battery_temp')"]
    # A failure in the length pass names the item too.
    error = engine_error([item(), without("bits")])
    assert error.__notes__ == ["in recipe item 1 ('a')"]
    error = engine_error([item(), [1, 2]])
    assert error.__notes__ == ["in recipe item 1"]


class Odd(Exception):
    pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no")


def test_python_exceptions_from_conversions_are_rewrapped_by_type_name():
    class Raises:
        def __index__(self):
            raise Odd("odd value")

    assert str(engine_error([item(value=Raises())])) == "Odd: odd value"

    class Local(Exception):
        pass

    class RaisesLocal:
        def __index__(self):
            raise Local("x")

    # The type is named by its qualified name.
    assert str(engine_error([item(value=RaisesLocal())])) == (
        "test_python_exceptions_from_conversions_are_rewrapped_by_type_name.<locals>.Local: x")


def test_exception_whose_str_fails():
    class Raises:
        def __index__(self):
            raise Unprintable()

    assert str(engine_error([item(value=Raises())])) == "Unprintable: <exception str() failed>"


def test_recipe_items_are_not_modified():
    recipe = [item(value=5, offset_bits=3)]
    snapshot = [dict(entry) for entry in recipe]
    pack_parameters(recipe)
    assert recipe == snapshot


class Mutating:
    """A value whose conversion rewrites the recipe between the two passes."""

    def __init__(self, recipe, change):
        self.recipe, self.change = recipe, change

    def __index__(self):
        self.change(self.recipe)
        return 1


@pytest.mark.parametrize("change", [
    lambda r: r[1].update(bits=4096),
    lambda r: r[1].update(offset_bits=2**63),
    lambda r: r[1].update(offset_bits=2**64 - 1),
    lambda r: r.clear(),
    lambda r: r.append(item(value=7, offset_bits=10**6)),
    lambda r: r[1].clear(),
])
def test_changes_between_the_passes_never_write_outside_the_packet(change):
    recipe = [item(), item(encoding="binary", value=b"\xff" * 8)]
    recipe[0]["value"] = Mutating(recipe, change)
    try:
        packet = pack_parameters(recipe)
    except ValueError:
        return
    assert len(packet) == 2


@pytest.mark.parametrize("recipe", [
    [item(bits=8, value=0, offset_bits=2**64 - 8)],
    [item(bits=9, value=0, offset_bits=2**64 - 8)],
    [item(bits=8, value=0, offset_bits=2**63)],
])
def test_huge_offsets_fail_cleanly(recipe):
    error = engine_error(recipe)
    assert str(error).startswith(("ValueError: ", "MemoryError: "))


def placed_bits(recipe_fields):
    """Reference: the bit-by-bit placement rule on field bytes."""
    total = 0
    for start, width, _ in recipe_fields:
        total = max(total, start + width)
    bits = [0] * ((total + 7) // 8 * 8)
    for start, width, field in recipe_fields:
        m = len(field) * 8
        j = m - width if m >= width else 0
        for i in range(width):
            source = (field[j // 8] >> (7 - j % 8)) & 1 if j < m else 0
            bits[start + i] = source
            j += 1
    return bytes(int("".join(map(str, bits[k:k + 8])), 2) for k in range(0, len(bits), 8))


@given(st.lists(st.tuples(st.integers(0, 40), st.integers(0, 40), st.binary(max_size=7)),
                max_size=6))
def test_binary_placement_matches_the_bit_by_bit_rule(fields):
    recipe = [item(encoding="binary", bits=width, value=data, offset_bits=start)
              for start, width, data in fields]
    reference = []
    for start, width, data in fields:
        n = (width + 7) // 8
        padded = (bytes(n) + data)[-n:] if n else b""
        if width % 8 and n:
            padded = bytes([padded[0] & (0xFF >> (8 * n - width))]) + padded[1:]
        reference.append((start, width, padded))
    assert pack_parameters(recipe) == placed_bits(reference)


@given(st.lists(st.tuples(st.integers(1, 64), st.integers(0, 2**64 - 1), st.booleans()),
                min_size=1, max_size=8))
def test_big_endian_unsigned_fields_concatenate(fields):
    recipe = [item(bits=w, value=v % 2**w, reverse_bits=r) for w, v, r in fields]
    expected_bits = ""
    for w, v, r in fields:
        text = format(v % 2**w, f"0{w}b")
        expected_bits += text[::-1] if r else text
    total = len(expected_bits)
    expected_bits += "0" * (-total % 8)
    expected = int(expected_bits, 2).to_bytes(len(expected_bits) // 8, "big") if expected_bits else b""
    assert pack_parameters(recipe) == expected


# ---- numbers read in place and numbers converted through their objects ------

class FloatSubclass(float):
    pass


def packed_or_error(recipe):
    try:
        return pack_parameters(recipe)
    except ValueError as error:
        return str(error)


def integer_edges(encoding, widths, low, high):
    """Values at the ends of each width's range and just past them, and ints of
    one, two and three machine digits (30 bits each)."""
    for bits in widths:
        for value in {low(bits) - 1, low(bits), high(bits), high(bits) + 1,
                      2**29, 2**30, 2**60, 2**62, -2**30 - 1, 2**63, 2**64 - 1, 2**64}:
            yield encoding, bits, value


INTEGER_EDGES = [
    *integer_edges("unsigned", (1, 8, 30, 31, 32, 62, 63, 64), lambda bits: 0,
                   lambda bits: 2**bits - 1),
    *integer_edges("twos_complement", (1, 8, 31, 32, 63, 64), lambda bits: -2**(bits - 1),
                   lambda bits: 2**(bits - 1) - 1),
]


@pytest.mark.parametrize("encoding, bits, value", INTEGER_EDGES)
@pytest.mark.parametrize("byte_order, reverse_bits", [("big", False), ("little", True)])
def test_exact_ints_pack_as_their_subclasses_and_index_objects(encoding, bits, value, byte_order,
                                                               reverse_bits):
    def packed(number):
        # Between two other fields, so that the field starts inside a byte.
        return packed_or_error([item("x", bits=3, value=5),
                                item(encoding=encoding, bits=bits, value=number,
                                     byte_order=byte_order, reverse_bits=reverse_bits),
                                item("y", bits=5, value=17)])

    exact = packed(value)
    assert exact == packed(IntSubclass(value)) == packed(Index(value))
    low = 0 if encoding == "unsigned" else -2**(bits - 1)
    if low <= value < low + 2**bits and byte_order == "big":
        field = format(value % 2**bits, f"0{bits}b")
        reference = "101" + (field[::-1] if reverse_bits else field) + "10001"
        reference += "0" * (-len(reference) % 8)
        assert exact == int(reference, 2).to_bytes(len(reference) // 8, "big")
    elif not low <= value < low + 2**bits:
        assert isinstance(exact, str)


FLOATS = [0.0, -0.0, 1.5, -2.75, 1e-50, 1e300, -1e300, 3.4028235677973366e38, math.inf,
          -math.inf, math.nan, 5e-324]


@pytest.mark.parametrize("bits, form", [(32, ">f"), (64, ">d")])
@pytest.mark.parametrize("value", FLOATS)
def test_exact_floats_pack_as_their_subclasses(bits, form, value):
    def packed(number):
        return packed_or_error([item(encoding="ieee754", bits=bits, value=number)])

    exact = packed(value)
    assert exact == packed(FloatSubclass(value))
    try:
        reference = struct.pack(form, value)
    except OverflowError:  # struct refuses binary32 overflow; the codec rounds to infinity
        reference = struct.pack(form, math.copysign(math.inf, value))
    assert exact == reference


# ---- placement of fields that jump back over earlier ones --------------------

def packed_reference(fields):
    """The packet by the rules, bit by bit: the length pass counts an item
    without an offset after the furthest end so far, the placement pass after
    the previous item; later fields overwrite earlier ones, zeros included."""
    furthest = 0
    for offset, bits, _ in fields:
        furthest = max(furthest, (furthest if offset is None else offset) + bits)
    packet = [0] * ((furthest + 7) // 8 * 8)
    cursor = 0
    for offset, bits, field_bits in fields:
        start = cursor if offset is None else offset
        packet[start:start + bits] = field_bits
        cursor = start + bits
    return bytes(int("".join(map(str, packet[k:k + 8])), 2) for k in range(0, len(packet), 8))


@given(st.lists(st.tuples(st.none() | st.integers(0, 100), st.integers(0, 64),
                          st.integers(0, 2**64 - 1), st.sampled_from(["unsigned", "binary"])),
                max_size=10))
def test_fields_that_overlap_earlier_ones_overwrite_them(fields):
    recipe, reference = [], []
    for offset, bits, number, encoding in fields:
        value = number % 2**bits
        extra = {} if offset is None else {"offset_bits": offset}
        if encoding == "binary":
            recipe.append(item(encoding="binary", bits=bits,
                               value=value.to_bytes((bits + 7) // 8, "big"), **extra))
        else:
            recipe.append(item(bits=bits, value=value, **extra))
        reference.append((offset, bits, [int(b) for b in format(value, f"0{bits}b")] if bits else []))
    assert pack_parameters(recipe) == packed_reference(reference)


# Keys that the usual item does not hold: each is read by the checked road,
# with the result of the plain item (ints given as subclasses or __index__
# objects, texts beyond ASCII or as str subclasses, names in capitals).
KEY_VARIANTS = [
    {"bits": IntSubclass(8)}, {"bits": Index(8)}, {"name": "\u00e9t\u00e9"},
    {"name": StrSubclass("a")}, {"encoding": StrSubclass("unsigned")}, {"encoding": "UNSIGNED"},
    {"byte_order": "Big"}, {"byte_order": StrSubclass("big")}, {"offset_bits": IntSubclass(0)},
    {"offset_bits": Index(0)}, {"offset_bits": 0},
]


@pytest.mark.parametrize("variant", KEY_VARIANTS)
def test_keys_off_the_usual_road_give_the_same_packet(variant):
    plain = [item("a", value=0xA5), item("b", bits=4, value=3)]
    varied = [{**plain[0], **variant}, plain[1]]
    assert pack_parameters(varied) == pack_parameters(plain) == b"\xa5\x30"


# ---- the usual recipe's one pass against the general road --------------------
#
# A list or tuple of usual items is packed in one pass; a recipe that is a
# list subclass, or that holds a dict subclass, takes the general road with
# the same items.  Random usual recipes, with at most one item made unusual,
# must give the same packet, or the same error, note included, on each road.

class RecipeList(list):
    pass


class DictSubclass(dict):
    pass


def packing_outcome(recipe):
    try:
        return pack_parameters(recipe)
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return type(error), str(error), getattr(error, "__notes__", None)


def assert_roads_agree(recipe):
    outcome = packing_outcome(recipe)
    assert packing_outcome(RecipeList(recipe)) == outcome
    assert packing_outcome(tuple(recipe)) == outcome
    if recipe:
        # The one pass abandons at the last item, having placed the others.
        assert packing_outcome(recipe[:-1] + [DictSubclass(recipe[-1])]) == outcome
    return outcome


def runtime_key(text):
    """A str equal to a key literal but not the interned object."""
    return "".join(list(text))


@st.composite
def usual_items(draw):
    kind = draw(st.sampled_from(["unsigned", "twos_complement", "ieee754", "text"]))
    if kind == "unsigned":
        bits = draw(st.integers(1, 64))
        value = draw(st.integers(0, 2**bits - 1) | st.sampled_from([0, 2**bits - 1]))
    elif kind == "twos_complement":
        bits = draw(st.integers(1, 64))
        low, high = -2**(bits - 1), 2**(bits - 1) - 1
        value = draw(st.integers(low, high) | st.sampled_from([low, high]))
    elif kind == "ieee754":
        bits = draw(st.sampled_from([32, 64]))
        value = draw(st.floats(width=bits) | st.floats())
    else:
        bits = 8 * draw(st.integers(1, 8))
        value = draw(st.text(st.characters(max_codepoint=127), max_size=bits // 8))
    encoding = {"text": draw(st.sampled_from(["us-ascii", "utf8", "UTF-8"])),
                "ieee754": draw(st.sampled_from(["ieee754", "IEEE754"]))}.get(kind, kind)
    entry = {"name": draw(st.sampled_from(["a", "count", ""])), "encoding": encoding,
             "bits": bits, "byte_order": draw(st.sampled_from(["big", "little"])),
             "reverse_bits": draw(st.booleans()), "value": value}
    if draw(st.booleans()):
        entry["offset_bits"] = draw(st.integers(0, 300))
    pairs = draw(st.permutations(list(entry.items())))
    if draw(st.integers(0, 4)) == 0:
        # Keys built at run time are matched by their text.
        pairs = [(runtime_key(key), value) for key, value in pairs]
    return dict(pairs)


# One change that takes an item off the usual road (or past its limits), as
# (key, replacement); a replacement of `MISSING` deletes the key.
UNUSUAL = [
    ("value", MISSING), ("value", True), ("value", IntSubclass(1)), ("value", 2**64),
    ("value", -1), ("value", 2**63), ("value", -2**63 - 1), ("value", 1.5), ("value", 3),
    ("value", "\u00e9"), ("value", StrSubclass("a")), ("value", "toolongtext"), ("value", b"\x01"),
    ("value", None), ("bits", IntSubclass(8)), ("bits", True), ("bits", 0), ("bits", 65),
    ("bits", -1), ("bits", 2**32), ("bits", "8"), ("bits", MISSING), ("offset_bits", -1),
    ("offset_bits", 2**62), ("offset_bits", 2**64), ("offset_bits", IntSubclass(3)),
    ("offset_bits", 4090), ("offset_bits", 5000), ("offset_bits", None), ("name", MISSING),
    ("name", StrSubclass("a")), ("name", "\u00e9t\u00e9"), ("name", 1),
    ("encoding", "UNSIGNED"), ("encoding", StrSubclass("unsigned")), ("encoding", "nope"),
    ("encoding", "binary"), ("encoding", "bcd"), ("encoding", "ieee754"), ("encoding", MISSING),
    ("encoding", "\u00fcnsigned"), ("byte_order", "Big"), ("byte_order", "LITTLE"),
    ("byte_order", "middle"), ("byte_order", StrSubclass("big")), ("byte_order", MISSING),
    ("byte_order", 1), ("reverse_bits", 0), ("reverse_bits", 1), ("reverse_bits", None),
    ("reverse_bits", MISSING), ("extra", 1), (StrSubclass("bits"), 8),
]


@given(st.lists(usual_items(), max_size=20), st.none() | st.sampled_from(UNUSUAL), st.integers(0, 19))
def test_the_usual_recipes_one_pass_agrees_with_the_general_road(recipe, change, at):
    make_unusual(recipe, change, at)
    assert_roads_agree(recipe)


# The one pass holds up to 4096 bits; a packet that ends past them is packed
# by the general road alone.
@pytest.mark.parametrize("offset, bits", [(4024, 64), (4025, 64), (4087, 1), (4088, 1), (0, 64),
                                          (2**16, 8)])
def test_packets_at_the_one_pass_limit(offset, bits):
    recipe = [item(bits=bits, value=1, offset_bits=offset), item(value=0xAB)]
    length = (offset + bits + 8 + 7) // 8
    expected = (1 << 8 | 0xAB) << (length * 8 - offset - bits - 8)
    assert assert_roads_agree(recipe) == expected.to_bytes(length, "big")
