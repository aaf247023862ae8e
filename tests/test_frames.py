"""FrameCodec: construction, pack and unpack of one frame, and the codec as an
object (names, size, recipe, equality, copies, pickling)."""

import copy
import math
import pickle
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import bitloom
from bitloom.frames import FrameCodec
from recipe_items import general_layout, instance_dict, with_holes


def item(name="a", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": reverse_bits, **extra}


def shifted(data: bytes, offset_bits: int) -> bytes:
    """`data` moved `offset_bits` bits later into a buffer, with set bits
    around it, so that a reader that ignores the offset or reads past the
    field sees wrong bits."""
    total = len(data) * 8 + offset_bits
    length = (total + 7) // 8 + 1
    value = int.from_bytes(data, "big") << (length * 8 - total)
    ones_before = ((1 << offset_bits) - 1) << (length * 8 - offset_bits)
    ones_after = (1 << (length * 8 - total)) - 1
    return (value | ones_before | ones_after).to_bytes(length, "big")


CCSDS = [item("version", bits=3, value=0), item("type", bits=1), item("secondary", bits=1),
         item("apid", bits=11), item("flags", bits=2, value=3), item("sequence", bits=14),
         item("length", bits=16)]


# ---- construction --------------------------------------------------------------

REFUSED = [
    (5, TypeError, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
    ("abc", TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
    ([item(), [1]], TypeError, "recipe item 1: 'list' object cannot be cast as 'dict'"),
    ([{"encoding": "unsigned"}], KeyError, "recipe item 0: Recipe missing required field: 'name'"),
    ([{"name": "a", "encoding": "unsigned"}], KeyError,
     "recipe item 0 ('a'): Recipe missing required field: 'bits'"),
    ([item(bits=-1)], OverflowError, None),
    ([item(encoding="nope")], ValueError, "recipe item 0 ('a'): Unsupported encoding type: nope"),
    ([item(encoding="ieee754", bits=24)], ValueError,
     "recipe item 0 ('a'): Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)"),
    ([item(byte_order="middle")], ValueError,
     "recipe item 0 ('a'): Invalid byte_order 'middle': must be 'big', 'little', 'lsb_first', 'little_lsb0' or a permutation of the field's bytes such as '3412'"),
    ([item(encoding="ti", bits=32)], NotImplementedError,
     "recipe item 0 ('a'): TI f32 format not yet implemented"),
    ([item(encoding="IBM_F64", bits=64)], NotImplementedError,
     "recipe item 0 ('a'): IBM f64 format not yet implemented"),
    ([item(encoding="ieee754_f32", bits=16)], ValueError,
     "recipe item 0 ('a'): binary32 fields are 32 bits wide, not 16"),
    ([item(bits=72)], ValueError,
     "recipe item 0 ('a'): A numeric field of 72 bits is wider than the 64 bits of its values"),
    ([item(bits=12, byte_order="little")], ValueError,
     "recipe item 0 ('a'): A little-endian field of 12 bits cannot be packed so that it reads "
     "back: little-endian fields wider than a byte are whole bytes"),
    ([item(encoding="binary", bits=12, byte_order="little")], ValueError, None),
    ([item(encoding="utf8", bits=12)], ValueError,
     "recipe item 0 ('a'): A text field of 12 bits does not hold whole bytes: text fields are "
     "a multiple of 8 bits"),
    ([item(encoding="sign_magnitude", bits=1)], ValueError,
     "recipe item 0 ('a'): bits must be between 2 and 64 for sign-magnitude encoding"),
    ([item(encoding="packed_bcd", bits=3)], ValueError,
     "recipe item 0 ('a'): bits must be >= 4 for packed BCD"),
    ([item(), item("b"), item("a")], ValueError,
     "recipe item 2 ('a'): duplicate name 'a' (also recipe item 0)"),
    ([item(), item("b", offset_bits=4)], ValueError,
     "recipe item 1 ('b'): bits 4 to 11 overlap recipe item 0 ('a') (bits 0 to 7)"),
    ([item(offset_bits=8), item("b", bits=16, offset_bits=0)], ValueError,
     "recipe item 1 ('b'): bits 0 to 15 overlap recipe item 0 ('a') (bits 8 to 15)"),
    ([item(value=256)], ValueError, "recipe item 0 ('a'): Value 256 is too large for 8 bits"),
    ([item(encoding="us-ascii", bits=16, value="abc")], ValueError,
     "recipe item 0 ('a'): Text of 3 bytes does not fit in 16 bits"),
    ([item(offset_bits=2**64 - 4)], ValueError, None),
]


@pytest.mark.parametrize("recipe, error, message", REFUSED)
def test_bad_recipes_are_refused_naming_the_item(recipe, error, message):
    with pytest.raises(error) as caught:
        FrameCodec(recipe)
    assert type(caught.value) is error
    if message is not None:
        assert caught.value.args == (message,)


ACCEPTED = [
    # Names of either table mean the same codec both ways.
    ([item(encoding="latin1", bits=16, value="\xe9")], {"a": "\xe9\0"}, b"\xe9\0"),
    ([item(encoding="utf_8", bits=16, value="h")], {"a": "h\0"}, b"h\0"),
    ([item(encoding="ieee754_f32", bits=32, value=1.0)], {"a": 1.0}, b"\x3f\x80\0\0"),
    ([item(encoding="IEEE754", bits=16, value=1.0)], {"a": 1.0}, b"\x3c\0"),
    ([item(encoding="twos-complement", value=-2)], {"a": -2}, b"\xfe"),
    ([item(encoding="binary", bits=12, value=[0x0A, 0xBC])], {"a": b"\x0a\xbc"}, b"\xab\xc0"),
    # Within one byte, little-endian changes nothing and reads back.
    ([item(bits=4, byte_order="little", value=9), item("b", bits=4, value=1)],
     {"a": 9, "b": 1}, b"\x91"),
    # Empty text: nothing is copied (not even from a null pointer).
    ([item(encoding="utf8", bits=0, value=""), item("b", encoding="us-ascii", bits=16, value=""),
      item("c", value=1)], {"a": "", "b": "\0\0", "c": 1}, b"\0\0\1"),
    # Zero-width fields hold nothing and may sit anywhere.
    ([item(), item("b", bits=0, offset_bits=3, value=0)], None, None),
]


@pytest.mark.parametrize("recipe, fields, frame", ACCEPTED)
def test_names_of_either_direction_pack_and_read_back(recipe, fields, frame):
    codec = FrameCodec(recipe)
    if frame is None:
        return
    assert codec.pack({}) == frame
    assert codec.unpack(frame) == fields


def test_binary128_fields_decode_and_refuse_packing():
    codec = FrameCodec([item("q", encoding="ieee754_f128", bits=128, value=2.0),
                        item("b", value=7)])
    quad_one = (0x3FFF << 112).to_bytes(16, "big")
    assert codec.unpack(quad_one + b"\x07") == {"q": 1.0, "b": 7}
    for values in ({"q": 1.0}, {}):
        with pytest.raises(NotImplementedError) as caught:
            codec.pack(values)
        assert str(caught.value) == "field 'q': IEEE 754 f128 encoding not yet implemented"
    with pytest.raises(TypeError, match="^field 'q': must be real number, not str$"):
        codec.pack({"q": "x"})


def test_the_recipe_is_copied_at_construction():
    recipe = [item(value=1), item("b", encoding="binary", bits=16, value=bytearray(b"\1\2"))]
    codec = FrameCodec(recipe)
    recipe[0]["bits"] = 4
    recipe[1]["value"][0] = 9
    recipe.append(item("c"))
    assert codec.pack({}) == b"\1\1\2"
    assert codec.recipe == [item(value=1), item("b", encoding="binary", bits=16,
                                                   value=bytearray(b"\1\2"))]
    codec.recipe[0]["name"] = "changed"
    assert codec.names == ("a", "b")


# ---- pack ---------------------------------------------------------------------

def test_values_by_name_by_position_and_from_defaults():
    codec = FrameCodec(CCSDS)
    header = {"type": 1, "secondary": 0, "apid": 0x3AB, "sequence": 12345, "length": 99}
    frame = codec.pack(header)
    assert frame == bytes.fromhex("13abf0390063")
    assert codec.pack([0, 1, 0, 0x3AB, 3, 12345, 99]) == frame
    # A shorter sequence leaves the last fields to their defaults.
    short = FrameCodec([item(), item("b", value=7)])
    assert short.pack([1]) == short.pack({"a": 1}) == b"\1\7"
    assert codec.unpack(frame) == {"version": 0, "type": 1, "secondary": 0, "apid": 0x3AB,
                                   "flags": 3, "sequence": 12345, "length": 99}


PACK_ERRORS = [
    ({"apid": 1}, KeyError, "field 'type': no value given, and its recipe item has no \"value\""),
    ([0, 1, 0, 1, 3, 1, 1, 9], TypeError, "pack() got 8 values for 7 fields"),
    ({"type": 1, "secondary": 0, "apid": 1, "sequence": 1, "length": 1, "lenght": 2}, KeyError,
     "'lenght' is not a field of this FrameCodec"),
    ({"type": 2, "secondary": 0, "apid": 1, "sequence": 1, "length": 1}, ValueError,
     "field 'type': Value 2 is too large for 1 bits"),
    ({"type": "1", "secondary": 0, "apid": 1, "sequence": 1, "length": 1}, TypeError,
     "field 'type': 'str' object cannot be interpreted as an integer"),
    ({"type": -1, "secondary": 0, "apid": 1, "sequence": 1, "length": 1}, OverflowError,
     "field 'type': can't convert negative int to unsigned"),
    (5, TypeError,
     "pack() takes a mapping of field names to values or a sequence of values, not 'int'"),
    ("abc", TypeError, None),
]


@pytest.mark.parametrize("values, error, message", PACK_ERRORS)
def test_packing_errors_name_the_field(values, error, message):
    with pytest.raises(error) as caught:
        FrameCodec(CCSDS).pack(values)
    assert type(caught.value) is error
    if message is not None:
        assert caught.value.args == (message,)


class Index:
    def __index__(self):
        return 5


class DictSubclass(dict):
    pass


# A dict keyed by the codec's own names in field order is read by walking it;
# any other dict by name.  Both read the same values.
@pytest.mark.parametrize("make", [
    lambda values: dict(values),
    lambda values: {"".join(list(name)): value for name, value in values.items()},
    lambda values: dict(reversed(values.items())),
    lambda values: {**values, "sequence": Index()},
    lambda values: {**values, "apid": 1 << 70},
    with_holes,
    general_layout,
    instance_dict,
    DictSubclass,
])
def test_dicts_pack_alike_however_they_are_built(make):
    codec = FrameCodec(CCSDS)
    values = {name: number % 2 for number, name in enumerate(codec.names)}
    try:
        expected = codec.pack(list(make(values)[name] for name in codec.names))
    except OverflowError as error:
        expected = error
    try:
        packed = codec.pack(make(values))
    except OverflowError as error:
        assert str(error) == str(expected)
        return
    assert packed == expected


class OwnHashKey(str):
    """Equal to a field name by its text, but a dict finds it only by hash 7."""

    def __hash__(self):
        return 7

    __eq__ = str.__eq__


class PlainKey(str):
    pass


# Keys equal to the field names by text, in field order, of every str kind:
# exact str made at run time is taken like the names themselves; a str
# subclass only as a lookup by the name finds it.
@pytest.mark.parametrize("names", [["version", "apid"], ["temp\xe9rature", "x"],
                                   ["\u96fb\u5727", "a"], ["\U0001f600", "b\U0001f600"]])
@pytest.mark.parametrize("key, outcome", [
    (lambda name: "".join(list(name)), "packs"),
    (PlainKey, "packs"),
    (OwnHashKey, "no value given"),
])
def test_dict_keys_equal_to_the_names_by_text(names, key, outcome):
    codec = FrameCodec([item(name, bits=8) for name in names])
    values = {key(name): number + 1 for number, name in enumerate(names)}
    assert next(iter(values)) is not codec.names[0]
    if outcome == "packs":
        assert codec.pack(values) == codec.pack([1, 2]) == b"\x01\x02"
    else:
        with pytest.raises(KeyError, match=outcome):
            codec.pack(values)


def test_a_dict_of_as_many_keys_but_another_name_is_refused():
    codec = FrameCodec(CCSDS)
    values = {name: 0 for name in codec.names}
    del values["length"]
    values["lenght"] = 0
    with pytest.raises(KeyError) as caught:
        codec.pack(values)
    assert caught.value.args == ("field 'length': no value given, and its recipe item has no \"value\"",)


@pytest.mark.parametrize("field, value, message", [
    (item(encoding="utf8", bits=32), "h\xe9llo", "Text of 6 bytes does not fit in 32 bits"),
    (item(encoding="binary", bits=16), b"\1\2\3", "A value of 3 bytes does not fit in 16 bits"),
    (item(encoding="binary", bits=12), b"\x1f\xff",
     "Value has bits set above its 12 bits (first byte 0x1F)"),
    (item(encoding="packed_bcd", bits=8), 123, "Value 123 has too many digits for 2 BCD digits"),
])
def test_values_that_would_lose_bits_are_refused(field, value, message):
    with pytest.raises(ValueError) as caught:
        FrameCodec([field]).pack([value])
    assert caught.value.args == (f"field 'a': {message}",)


class Hooked:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyboardInterrupt()])
def test_exceptions_of_value_hooks_pass_through_with_a_note(error):
    with pytest.raises(type(error)) as caught:
        FrameCodec([item()]).pack([Hooked(error)])
    assert caught.value is error
    assert caught.value.__notes__ == ["in field 'a'"]


# ---- agreement with pack_parameters and unpack_parameters ---------------------------

def float_value(bits):
    """Floats that the width holds exactly (so they read back), NaN excluded."""
    fmt = {16: ">e", 32: ">f", 64: ">d"}[bits]
    return st.integers(0, 2**bits - 1).map(
        lambda pattern: struct.unpack(fmt, pattern.to_bytes(bits // 8, "big"))[0]).filter(
        lambda value: not math.isnan(value))


@st.composite
def numeric_field(draw, name):
    """(item without "value", a value that reads back exactly)."""
    kind = draw(st.sampled_from(["unsigned", "twos_complement", "ones_complement",
                                 "sign_magnitude", "packed_bcd", "packed_bcd_signed", "bcd",
                                 "bcd_signed", "ieee754", "binary", "us-ascii", "utf16be"]))
    low = {"sign_magnitude": 2, "packed_bcd": 4, "packed_bcd_signed": 4, "bcd": 8,
           "bcd_signed": 8}.get(kind, 1)
    if kind == "ieee754":
        bits = draw(st.sampled_from([16, 32, 64]))
        value = draw(float_value(bits))
    elif kind in ("us-ascii", "utf16be"):
        unit = 1 if kind == "us-ascii" else 2
        bits = 8 * unit * draw(st.integers(0, 6))
        value = draw(st.text(st.characters(max_codepoint=0x7F), min_size=bits // 8 // unit,
                             max_size=bits // 8 // unit))
    elif kind == "binary":
        bits = draw(st.integers(1, 80))
        value = draw(st.integers(0, 2**bits - 1)).to_bytes((bits + 7) // 8, "big")
    else:
        bits = draw(st.integers(low, 64))
        if kind == "unsigned":
            value = draw(st.integers(0, 2**bits - 1))
        elif kind == "twos_complement":
            value = draw(st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1))
        elif kind in ("ones_complement", "sign_magnitude"):
            value = draw(st.integers(-(2 ** (bits - 1)) + 1, 2 ** (bits - 1) - 1))
        else:
            signed = kind.endswith("signed")
            digits = bits // 4 - signed if kind.startswith("packed") else bits // 8
            limit = min(10**digits - 1, 2**63 - 1)
            value = draw(st.integers(-limit if signed else 0, limit))
    whole_bytes = bits % 8 == 0 or bits < 8
    order = draw(st.sampled_from(["big", "little"])) if whole_bytes else "big"
    return item(name, kind, bits, order, draw(st.booleans())), value


@st.composite
def frame_recipes(draw, max_fields=6):
    """(recipe with values, values): fields one after the other, some at
    explicit positions past a gap."""
    recipe, values, cursor = [], {}, 0
    for index in range(draw(st.integers(0, max_fields))):
        field, value = draw(numeric_field(f"f{index}"))
        gap = draw(st.sampled_from([0, 0, 0, 1, 5, 13]))
        if gap:
            field["offset_bits"] = cursor + gap
        cursor += gap + field["bits"]
        recipe.append({**field, "value": value})
        values[field["name"]] = value
    return recipe, values


@settings(max_examples=300, deadline=None)
@given(frame_recipes(), st.integers(0, 23))
def test_packs_like_pack_parameters_and_reads_back_at_any_offset(case, offset_bits):
    recipe, values = case
    codec = FrameCodec(recipe)
    frame = codec.pack(values)
    assert frame == bitloom.pack_parameters(recipe)
    assert len(frame) == codec.size
    assert codec.pack({}) == frame  # the defaults are the same values
    assert codec.pack(list(values.values())) == frame
    assert codec.pack(tuple(values.values())) == frame
    assert codec.unpack(frame) == values
    assert codec.unpack(shifted(frame, offset_bits), offset_bits) == values
    assert codec.unpack_tuple(shifted(frame, offset_bits), offset_bits=offset_bits) == \
        tuple(values.values())


class Int(int):
    pass


# Exact ints of one and of several internal digits, and ints of a subclass,
# on both sides of each end of a field's range: packed from a tuple, from a
# dict walked in field order and from a list read value by value, all give
# the bytes and the errors of pack_parameters.
@pytest.mark.parametrize("encoding, bits", [
    ("unsigned", 1), ("unsigned", 30), ("unsigned", 31), ("unsigned", 63), ("unsigned", 64),
    ("twos_complement", 1), ("twos_complement", 2), ("twos_complement", 31),
    ("twos_complement", 32), ("twos_complement", 63), ("twos_complement", 64),
])
def test_values_at_the_ends_of_a_range_pack_like_pack_parameters(encoding, bits):
    low, high = (0, 2**bits - 1) if encoding == "unsigned" else (-2**(bits - 1), 2**(bits - 1) - 1)
    codec = FrameCodec([item("x", encoding, bits)])
    for number in (low - 1, low, high, high + 1, 2**30 - 1, 2**30, -2**30, -2**30 - 1):
        for value in (number, Int(number)):
            try:
                expected = bitloom.pack_parameters([item("x", encoding, bits, value=value)])
            except ValueError as error:
                # pack_parameters wraps the error as "{type}: {message}".
                expected = error.args[0].split(": ", 1)
            for values in ((value,), {"x": value}, [value]):
                if isinstance(expected, list):
                    with pytest.raises((ValueError, OverflowError)) as caught:
                        codec.pack(values)
                    assert [type(caught.value).__name__, caught.value.args[0]] == [
                        expected[0], f"field 'x': {expected[1]}"], values
                else:
                    assert codec.pack(values) == expected, values
                    assert codec.unpack(expected) == {"x": value}


class Str(str):
    pass


PYTHON_CODECS = {"us-ascii": "ascii", "utf8": "utf-8", "iso-8859-1": "latin-1",
                 "windows-1252": "cp1252", "utf16be": "utf-16-be"}


# Text of every length up to its field and past it, ASCII or not, exact str
# or a subclass, in every byte order and bit order: the bytes and the errors
# of pack_parameters, and the text read back.
@pytest.mark.parametrize("encoding", ["us-ascii", "utf8", "iso-8859-1", "windows-1252", "utf16be"])
@pytest.mark.parametrize("bits", [8, 24, 64, 72])
@pytest.mark.parametrize("order, reverse", [("big", False), ("little", False), ("big", True)])
def test_text_of_any_length_packs_like_pack_parameters(encoding, bits, order, reverse):
    codec = FrameCodec([item("pad", bits=3, value=5), item("x", encoding, bits, order, reverse),
                        item("end", bits=5, value=9)])
    for text in ("", "A", "AB", "TLM-0001", "TLM-00012", "\xe9", "a\xe9"):
        for value in (text, Str(text)):
            recipe = [item("pad", bits=3, value=5), item("x", encoding, bits, order, reverse, value=value),
                      item("end", bits=5, value=9)]
            try:
                expected = bitloom.pack_parameters(recipe)
                size = len(text.encode(PYTHON_CODECS[encoding]))
            except ValueError as error:
                # pack_parameters wraps the error as "{type}: {message}".
                with pytest.raises(ValueError) as caught:
                    codec.pack({"x": value})
                assert caught.value.args == (f"field 'x': {error.args[0].split(': ', 1)[1]}",)
                continue
            if size * 8 > bits:
                # Text longer than its field is refused, where pack_parameters
                # drops its first bytes.
                with pytest.raises(ValueError) as caught:
                    codec.pack((5, value, 9))
                assert caught.value.args == (
                    f"field 'x': Text of {size} bytes does not fit in {bits} bits",)
                continue
            assert codec.pack({"x": value}) == codec.pack((5, value, 9)) == expected, value


@settings(max_examples=200, deadline=None)
@given(frame_recipes(), st.binary(min_size=8, max_size=8))
def test_byte_aligned_frames_read_like_unpack_parameters(case, noise):
    recipe, values = case
    # Every field moved to end on a byte boundary, in names the parser knows.
    aligned, cursor = [], 0
    for field in recipe:
        if field["encoding"] == "binary":
            continue
        start = cursor + (-(cursor + field["bits"]) % 8)
        encoding = field["encoding"]
        if encoding == "ieee754":
            encoding = f"ieee754_f{field['bits']}"
        aligned.append({**field, "encoding": encoding, "offset_bits": start})
        cursor = start + field["bits"]
    codec = FrameCodec(aligned)
    packet = codec.pack({}) + noise
    assert codec.unpack(packet) == bitloom.unpack_parameters(packet, 0, aligned)


def outcome(call):
    """What a call gives: its result, or its exception's type and message."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - compared, not handled
        return type(error), str(error)


# Mostly ASCII with NUL padding, some bytes above it (which the codecs read
# differently or refuse).
TEXT_BYTES = st.lists(st.one_of(st.integers(0x20, 0x7E), st.just(0), st.integers(0, 0xFF)),
                      min_size=1, max_size=8).map(bytes)


@settings(max_examples=400, deadline=None)
@given(st.sampled_from(["us-ascii", "utf8", "iso-8859-1", "windows-1252"]), TEXT_BYTES,
       st.integers(0, 15))
def test_short_text_reads_like_unpack_parameters(encoding, text, offset_bits):
    """Text of up to eight bytes is read as one word at any bit position;
    what it reads is what the codec's own decoder gives."""
    field = item("t", encoding, 8 * len(text))
    expected = outcome(lambda: bitloom.unpack_parameters(text, 0, [field]))
    frame = shifted(text, offset_bits)
    kept = outcome(lambda: FrameCodec([field], text_padding="keep").unpack(frame, offset_bits))
    stripped = outcome(lambda: FrameCodec([field], text_padding="strip").unpack(frame, offset_bits))
    if isinstance(expected, dict):
        assert kept == expected
        assert stripped == {"t": expected["t"].rstrip("\0")}
    else:
        # The recipe functions say "ValueError: {message}", a codec "field 't': {message}".
        message = expected[1].split(": ", 1)[1]
        assert kept[0] is stripped[0] is expected[0]
        assert kept[1] == stripped[1] == f"field 't': {message}"


# ---- every codec, width and offset ------------------------------------------------

def extremes(encoding, bits):
    if encoding == "unsigned":
        return [0, 1, 2**bits - 1]
    if encoding == "twos_complement":
        return [-(2 ** (bits - 1)), -1, 0, 2 ** (bits - 1) - 1]
    if encoding in ("ones_complement", "sign_magnitude"):
        return [-(2 ** (bits - 1)) + 1, 0, 2 ** (bits - 1) - 1]
    digits = {"packed_bcd": bits // 4, "packed_bcd_signed": bits // 4 - 1,
              "bcd": bits // 8, "bcd_signed": bits // 8}[encoding]
    largest = min(10**digits - 1, 2**63 - 1)
    return [0, largest, -largest] if encoding.endswith("signed") else [0, largest]


WIDTHS = {"unsigned": range(1, 65), "twos_complement": range(1, 65),
          "ones_complement": range(1, 65), "sign_magnitude": range(2, 65),
          "packed_bcd": range(4, 65), "packed_bcd_signed": range(4, 65), "bcd": range(8, 65),
          "bcd_signed": range(8, 65)}


@pytest.mark.parametrize("encoding", sorted(WIDTHS))
def test_integers_read_back_at_every_width_and_bit_offset(encoding):
    for bits in WIDTHS[encoding]:
        orders = ["big", "little"] if bits % 8 == 0 or bits < 8 else ["big"]
        for order in orders:
            for reverse in (False, True):
                codec = FrameCodec([item("pad", bits=3, value=5),
                                    item("x", encoding, bits, order, reverse)])
                for value in extremes(encoding, bits):
                    frame = codec.pack({"x": value})
                    for offset in range(8):
                        assert codec.unpack(shifted(frame, offset), offset) == {
                            "pad": 5, "x": value}, (bits, order, reverse, value, offset)


@pytest.mark.parametrize("encoding, bits, values", [
    ("ieee754", 16, [1.5, -0.0, 65504.0, 2**-24, math.inf]),
    ("ieee754", 32, [1013.25, -3.4028234663852886e38, 1.401298464324817e-45]),
    ("ieee754", 64, [0.1, -math.inf, 5e-324]),
    ("utf8", 48, ["h\xe9llo"]),
    ("utf16le", 64, ["a\U0001f600b"]),
    ("utf32be", 64, ["\0\U0010ffff"]),
    ("windows-1252", 24, ["\u20ac\x81\xe9"]),
    ("binary", 13, [b"\x1f\xfe", b"\0\1"]),
])
def test_floats_text_and_raw_bytes_read_back_at_every_bit_offset(encoding, bits, values):
    orders = ["big", "little"] if bits % 8 == 0 else ["big"]
    for order in orders:
        for reverse in (False, True):
            codec = FrameCodec([item("x", encoding, bits, order, reverse)])
            for value in values:
                frame = codec.pack([value])
                for offset in range(16):
                    read = codec.unpack(shifted(frame, offset), offset)["x"]
                    assert repr(read) == repr(value), (order, reverse, value, offset)


def test_a_short_buffer_names_the_first_field_that_does_not_fit():
    codec = FrameCodec([item(), item("b", bits=16), item("c", bits=32)])
    with pytest.raises(ValueError) as caught:
        codec.unpack(b"\0\0\0\0", 9)
    assert caught.value.args == ("field 'b': needs 5 bytes (bits 8 to 23 after offset_bits 9), "
                                 "but the buffer has 4",)
    with pytest.raises(ValueError) as caught:
        codec.unpack(b"\0" * 100, 2**64 - 1)
    assert caught.value.args == ("field 'a': lies beyond the largest bit position at "
                                 "offset_bits 18446744073709551615",)


@pytest.mark.parametrize("frame, message", [
    (b"\x1a", "field 'a': Invalid BCD digit: 10 (must be 0-9)"),
    (b"\x12\xff", "field 's': Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
])
def test_decoding_errors_name_the_field(frame, message):
    codec = FrameCodec([item(encoding="packed_bcd"), item("s", encoding="us_ascii", bits=8)])
    for unpack in (codec.unpack, codec.unpack_tuple):
        with pytest.raises(ValueError) as caught:
            unpack(frame + b"\0"[:2 - len(frame)])
        assert caught.value.args == (message,)


@pytest.mark.parametrize("call, message", [
    (lambda codec: codec.unpack_tuple(), "unpack_tuple() missing required argument 'buffer'"),
    (lambda codec: codec.unpack_tuple(b"\0", 0, 1), "unpack_tuple() takes at most 2 positional "
                                                    "arguments (3 given)"),
    (lambda codec: codec.unpack_tuple(b"\0", bits=1), "unpack_tuple() got an unexpected keyword "
                                                      "argument 'bits'"),
])
def test_unpack_tuple_binds_its_arguments_like_unpack(call, message):
    with pytest.raises(TypeError) as caught:
        call(FrameCodec([item()]))
    assert caught.value.args == (message,)


@pytest.mark.parametrize("names", [["a"], ["é", "名前", "a b"], [f"field_{i}" for i in range(200)]])
def test_every_result_is_a_dict_of_its_own(names):
    codec = FrameCodec([item(name, bits=8) for name in names])
    frame = bytes(range(len(names)))
    expected = dict(zip(names, frame))
    first = codec.unpack(frame)
    assert list(first.items()) == list(expected.items())
    first[names[0]] = "changed"
    first.update((f"extra {i}", i) for i in range(50))
    del first[names[-1]]
    again = codec.unpack(frame)
    assert type(again) is dict and list(again.items()) == list(expected.items())
    assert again[names[-1]] == frame[-1] and names[-1] in again and "extra 0" not in again
    with pytest.raises(ValueError):
        FrameCodec([item(name, bits=8) for name in names] + [item("s", "us-ascii", 8)]).unpack(
            frame + b"\xff")
    assert codec.unpack(frame) == expected


# ---- the object -------------------------------------------------------------------

def test_size_names_repr_equality_copies_and_pickles():
    codec = FrameCodec(CCSDS)
    assert (codec.size, codec.names) == (6, tuple(field["name"] for field in CCSDS))
    assert repr(codec) == ("<bitloom.frames.FrameCodec of 7 fields in 6 bytes: 'version', "
                           "'type', 'secondary', 'apid', 'flags', 'sequence', 'length'>")
    assert codec == FrameCodec(CCSDS) and codec != FrameCodec(CCSDS[:-1])
    assert codec != CCSDS
    with pytest.raises(TypeError):
        hash(codec)
    assert copy.copy(codec) is codec and copy.deepcopy(codec) is codec
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(codec, protocol))
        assert type(restored) is FrameCodec and restored == codec
        assert restored.pack([0, 1, 0, 5, 3, 9, 9]) == codec.pack([0, 1, 0, 5, 3, 9, 9])
    with pytest.raises(AttributeError):
        codec.extra = 1  # type: ignore[attr-defined]


def test_an_empty_recipe_packs_nothing():
    codec = FrameCodec([])
    assert (codec.size, codec.names, codec.pack({}), codec.unpack(b"")) == (0, (), b"", {})


def test_fields_are_the_compiled_fields():
    from bitloom.frames import FrameField
    from recipe_items import StrSubclass

    codec = FrameCodec([item("a", bits=3), item("t", StrSubclass("UTF-8"), 16, offset_bits=20),
                        item("b", "twos_complement", 16, "little", True, offset_bits=4),
                        item("z", bits=0)])
    assert codec.fields == (
        FrameField("a", "unsigned", 3, 0, "big", False),
        FrameField("t", "UTF-8", 16, 20, "big", False),
        FrameField("b", "twos_complement", 16, 4, "little", True),
        FrameField("z", "unsigned", 0, 20, "big", False))
    assert type(codec.fields[1].encoding) is str
    assert FrameCodec([]).fields == ()
    with pytest.raises(AttributeError):
        codec.fields = ()


def test_the_package_namespace_is_unchanged():
    assert len(bitloom.__all__) == 62 and "frames" not in bitloom.__all__
