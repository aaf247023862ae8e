"""Checked by mypy --strict, not run: the types that the stubs give to calls,
and calls that they must refuse (each `type: ignore` that stops being needed
fails the check, since --strict warns about unused ignores)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, assert_type

import bitloom

if TYPE_CHECKING:
    from bitloom import ByteOrder, PackingItem, RecipeItem, UnpackingEncoding, UnpackingItem

recipe: list[PackingItem] = [
    {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
     "value": 1},
    {"name": "b", "encoding": "utf8", "bits": 16, "byte_order": "big", "reverse_bits": False,
     "offset_bits": 8, "value": "hi"},
    {"name": "c", "encoding": "binary", "bits": 16, "byte_order": "big", "reverse_bits": False,
     "value": [1, 2]},
    {"name": "d", "encoding": "ieee754", "bits": 32, "byte_order": "little",
     "reverse_bits": True, "value": 1.5},
]
# Parsing needs no value, and names the float formats with their width.
parse_recipe: list[UnpackingItem] = [
    {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False},
    {"name": "d", "encoding": "ieee754_f32", "bits": 32, "byte_order": "little",
     "reverse_bits": True, "offset_bits": 40},
]

assert_type(bitloom.pack_parameters(recipe), bytes)
assert_type(bitloom.pack_parameters(recipe=tuple(recipe)), bytes)
assert_type(bitloom.unpack_parameters(b"\0", 0, parse_recipe), dict[str, Any])
assert_type(bitloom.unpack_parameters(packet_bytes=b"", offset_bits=True, recipe=[]),
            dict[str, Any])


def widths(items: list[RecipeItem]) -> int:
    return sum(item["bits"] for item in items)


widths([*recipe, *parse_recipe])
order: ByteOrder = "little"
name: UnpackingEncoding = "latin1"

assert_type(bitloom.encode_twos_complement(-5, 8), int)
assert_type(bitloom.decode_sign_magnitude(value=0x85, bits=8), int)
assert_type(bitloom.encode_packed_bcd(1234, 20, True), int)
assert_type(bitloom.decode_packed_bcd(0x1234C, bits=20, signed=True), int)
assert_type(bitloom.encode_ieee754_f16(1), int)
assert_type(bitloom.decode_ieee754_f128(2**127), float)
assert_type(bitloom.encode_utf16le(text="a"), bytes)
assert_type(bitloom.decode_windows_1252(bytes=b"\x80"), str)


def refused() -> None:
    bitloom.decode_ti_f32(0)
    # The refusals never return, so this line is never reached.
    print("unreachable")  # type: ignore[unreachable]


bitloom.encode_twos_complement(1.5, 8)  # type: ignore[arg-type]
bitloom.encode_packed_bcd(1, 8, 1)  # type: ignore[arg-type]
bitloom.decode_utf8(bytearray(b"a"))  # type: ignore[arg-type]
bitloom.encode_utf8(txt="a")  # type: ignore[call-arg]
bitloom.encode_ieee754_f64("1.0")  # type: ignore[arg-type]
# A recipe written as a list of the item types has its keys and encoding
# names checked.
missing: list[PackingItem] = [{"name": "a"}]  # type: ignore[typeddict-item]
unknown_key: list[PackingItem] = [
    {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
     "value": 1, "offset": 3}]  # type: ignore[typeddict-unknown-key]
# A misspelt encoding name.
misspelt: list[PackingItem] = [
    {"name": "a", "encoding": "twos_complment",  # type: ignore[typeddict-item]
     "bits": 8, "byte_order": "big", "reverse_bits": False, "value": -1}]
misspelt_parse: list[UnpackingItem] = [
    {"name": "a", "encoding": "utf_8",  # type: ignore[typeddict-item]
     "bits": 8, "byte_order": "big", "reverse_bits": False}]
# A packing item without its value.
no_value: list[PackingItem] = [
    {"name": "a", "encoding": "unsigned",  # type: ignore[typeddict-item]
     "bits": 8, "byte_order": "big", "reverse_bits": False}]
# Names that only parsing knows, used for packing, and the other way round.
parse_name: list[PackingItem] = [
    {"name": "a", "encoding": "ieee754_f32",  # type: ignore[typeddict-item]
     "bits": 32, "byte_order": "big", "reverse_bits": False, "value": 1.0}]
pack_name: list[UnpackingItem] = [
    {"name": "a", "encoding": "binary",  # type: ignore[typeddict-item]
     "bits": 8, "byte_order": "big", "reverse_bits": False}]
# A byte order that is neither.
wrong_order: list[PackingItem] = [
    {"name": "a", "encoding": "unsigned", "bits": 8,
     "byte_order": "be",  # type: ignore[typeddict-item]
     "reverse_bits": False, "value": 1}]
# A recipe is not a mapping of items, nor a list of anything else.
bitloom.pack_parameters({"a": {"bits": 8}})  # type: ignore[arg-type]
bitloom.unpack_parameters(b"", 0, ["a"])  # type: ignore[list-item]

# Recipes in plain variables, or made by a helper function, are taken as
# they are (the functions check every item when they run), and results are
# used without narrowing.
plain = [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big",
          "reverse_bits": False, "value": 1}]


def item(name: str, bits: int, **extra: object) -> dict[str, object]:
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big",
            "reverse_bits": False, **extra}


bitloom.pack_parameters(plain)
bitloom.pack_parameters([item("a", 8, value=1), item("b", 8, value=2)])
fields = bitloom.unpack_parameters(b"\1", 0, plain)
assert_type(fields["a"] + 1, Any)


# The frame codec.
from bitloom.frames import Column, FrameCodec, FrameError, Frames, StringColumn  # noqa: E402

if TYPE_CHECKING:
    from bitloom.frames import FrameItem

codec = FrameCodec(recipe)
assert_type(codec.pack({"a": 1}), bytes)
assert_type(codec.pack([1, "hi"]), bytes)
assert_type(codec.unpack(b"\0" * 8, 3), dict[str, Any])
assert_type(codec.unpack(memoryview(b"")), dict[str, Any])
columns = codec.unpack_many(bytearray(16), frame_bytes=8, ignore_partial=True)
assert_type(columns, Frames)
# A column is used as what it is, without narrowing.
assert_type(memoryview(columns["a"]), memoryview)
numeric: Column = columns["a"]
assert_type(numeric.format, str)
column = columns["a"]
if isinstance(column, Column):
    assert_type(column.format, str)
    assert_type(column[0], int | float | None)
    assert_type(memoryview(column), memoryview)
elif isinstance(column, StringColumn):
    assert_type(column[1:], StringColumn)
    assert_type(column.tolist(), list[str | None])
assert_type(columns.first_error, FrameError | None)
for batch in codec.iter_batches(b"", batch_frames=10, errors="null", threads=2):
    assert_type(batch, Frames)
assert_type(codec.pack_many(columns), bytes)
assert_type(codec.size, int)
assert_type(codec.names, tuple[str, ...])
for frame_fields in codec.iter_unpack(b""):
    assert_type(frame_fields, dict[str, Any])
codec.unpack_many(b"", 8)  # type: ignore[call-arg]
codec.unpack("text")  # type: ignore[arg-type]

# Items of either table, with or without a "value"; and recipes in plain
# variables or from a helper.
FrameCodec(parse_recipe)
FrameCodec([*recipe, *parse_recipe])
FrameCodec([{"name": "a", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big",
             "reverse_bits": False},
            {"name": "b", "encoding": "binary", "bits": 8, "byte_order": "big",
             "reverse_bits": False, "value": b"x"}])
FrameCodec(plain)
FrameCodec([item("a", 3), item("b", 5, value=1)])
frame_recipe: list[FrameItem] = [
    {"name": "a", "encoding": "ieee754", "bits": 16, "byte_order": "big", "reverse_bits": False},
    {"name": "b", "encoding": "latin1", "bits": 8, "byte_order": "big", "reverse_bits": False,
     "value": "x"},
    {"name": "c", "encoding": "unsigned", "bits": 8,
     "byte_order": "middle",  # type: ignore[typeddict-item]
     "reverse_bits": False},
    {"name": "d", "encoding": "twos_complement", "bits": 12, "byte_order": "little_lsb0",
     "reverse_bits": False, "offset_bits": 36}]
FrameCodec(frame_recipe)
FrameCodec("recipe")  # type: ignore[arg-type]
