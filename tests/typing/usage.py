"""Checked by mypy --strict, not run: the types that the stubs give to calls,
and calls that they must refuse (each `type: ignore` that stops being needed
fails the check, since --strict warns about unused ignores)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, assert_type

import bitloom

if TYPE_CHECKING:
    from bitloom import RecipeItem

recipe: list[RecipeItem] = [
    {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
     "value": 1},
    {"name": "b", "encoding": "utf8", "bits": 16, "byte_order": "big", "reverse_bits": False,
     "offset_bits": 8, "value": "hi"},
    {"name": "c", "encoding": "binary", "bits": 16, "byte_order": "big", "reverse_bits": False,
     "value": [1, 2]},
    # Parsing needs no value.
    {"name": "d", "encoding": "ieee754_f32", "bits": 32, "byte_order": "little",
     "reverse_bits": True},
]

assert_type(bitloom.pack_parameters(recipe), bytes)
assert_type(bitloom.pack_parameters(recipe=tuple(recipe)), bytes)
assert_type(bitloom.unpack_parameters(b"\0", 0, recipe), dict[str, int | float | str])
assert_type(bitloom.unpack_parameters(packet_bytes=b"", offset_bits=True, recipe=[]),
            dict[str, int | float | str])

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
bitloom.pack_parameters([{"name": "a"}])  # type: ignore[typeddict-item]
bitloom.pack_parameters([{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big",
                          "reverse_bits": False, "offset": 3}])  # type: ignore[typeddict-unknown-key]


# The frame codec.
from bitloom.frames import Column, FrameCodec  # noqa: E402

codec = FrameCodec(recipe)
assert_type(codec.pack({"a": 1}), bytes)
assert_type(codec.pack([1, "hi"]), bytes)
assert_type(codec.unpack(b"\0" * 8, 3), dict[str, int | float | str | bytes])
assert_type(codec.unpack(memoryview(b"")), dict[str, int | float | str | bytes])
columns = codec.unpack_many(bytearray(16), frame_bytes=8, ignore_partial=True)
assert_type(columns, dict[str, Column | list[str] | list[bytes]])
column = columns["a"]
if isinstance(column, Column):
    assert_type(column.format, Literal["q", "Q", "d"])
    assert_type(memoryview(column), memoryview)
assert_type(codec.pack_many(columns), bytes)
assert_type(codec.size, int)
assert_type(codec.names, tuple[str, ...])
for fields in codec.iter_unpack(b""):
    assert_type(fields, dict[str, int | float | str | bytes])
codec.unpack_many(b"", 8)  # type: ignore[call-arg]
codec.unpack("text")  # type: ignore[arg-type]
