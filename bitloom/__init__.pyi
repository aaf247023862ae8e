# Type information for bitloom.  Every function is native and takes its
# parameters by position or by keyword.  Bit patterns are non-negative ints
# whose binary digits are the encoded bits, bit 0 least significant.

from collections.abc import Mapping, Sequence
from typing import (
    Any,
    Literal,
    NoReturn,
    NotRequired,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    type_check_only,
)

# Integers are taken through __index__ (so bool is accepted, float is not);
# floats through __float__ or __index__.
_Int = SupportsIndex
_Float = SupportsFloat | SupportsIndex

# The encoding names of the two recipe functions, row by row as in their
# tables.  At run time any letter case is accepted ("UTF-8" packs like
# "utf-8"); the types list the lower-case spellings.  The float families are
# named without a width for packing ("bits" picks the member) and with it for
# parsing.
PackingEncoding: TypeAlias = Literal[
    "unsigned",
    "twoscomplement", "twos_complement", "twos-complement",
    "onescomplement", "ones_complement", "ones-complement",
    "signmagnitude", "sign_magnitude", "sign-magnitude",
    "bcd",
    "bcdsigned", "bcd_signed", "bcd-signed",
    "packedbcd", "packed_bcd", "packed-bcd",
    "packedbcdsigned", "packed_bcd_signed", "packed-bcd-signed",
    "binary",
    "utf8", "utf_8", "utf-8",
    "utf16", "utf_16", "utf-16",
    "utf32", "utf_32", "utf-32",
    "utf16le", "utf-16le", "utf_16_le",
    "utf16be", "utf-16be", "utf_16_be",
    "utf32le", "utf-32le", "utf_32_le",
    "utf32be", "utf-32be", "utf_32_be",
    "usascii", "us_ascii", "us-ascii",
    "iso8859_1", "iso8859-1", "iso_8859_1", "iso-8859-1",
    "windows1252", "windows_1252", "windows-1252",
    "ieee754", "ieee_754", "ieee-754",
    "ieee754_1985", "ieee754-1985", "ieee_754_1985", "ieee_754-1985",
    "mil_std_1750a", "mil-std-1750a", "mil_std-1750a",
    "ti",
    "dec",
    "ibm",
]
UnpackingEncoding: TypeAlias = Literal[
    "unsigned",
    "twoscomplement", "twos_complement",
    "onescomplement", "ones_complement",
    "signmagnitude", "sign_magnitude",
    "bcd",
    "bcd_signed", "bcd-signed",
    "packed_bcd", "packed-bcd",
    "packed_bcd_signed", "packed-bcd-signed",
    "utf8", "utf-8",
    "utf16", "utf-16",
    "utf32", "utf-32",
    "utf16le", "utf-16le",
    "utf16be", "utf-16be",
    "utf32le", "utf-32le",
    "utf32be", "utf-32be",
    "us_ascii", "us-ascii",
    "latin1", "iso_8859_1", "iso-8859-1",
    "windows_1252", "windows-1252",
    "ieee754_f16", "ieee754-f16",
    "ieee754_f32", "ieee754-f32",
    "ieee754_f64", "ieee754-f64",
    "ieee754_f128", "ieee754-f128",
    "ieee754_1985_f32", "ieee754-1985-f32",
    "ieee754_1985_f64", "ieee754-1985-f64",
    "ieee754_1985_f80", "ieee754-1985-f80",
    "mil_std_1750a_f32", "mil-std-1750a-f32",
    "mil_std_1750a_f48", "mil-std-1750a-f48",
    "ti_f32", "ti-f32",
    "ti_f40", "ti-f40",
    "dec_f32", "dec-f32",
    "dec_f64", "dec-f64",
    "ibm_f32", "ibm-f32",
    "ibm_f64", "ibm-f64",
]
# Any letter case at run time, like the encoding names.
ByteOrder: TypeAlias = Literal["big", "little"]

@type_check_only
class PackingItem(TypedDict):
    """One parameter of a recipe for pack_parameters.  Only for type
    checking: at run time a recipe item is a plain dict (import this name
    under `if TYPE_CHECKING:`)."""

    name: str
    encoding: PackingEncoding
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    # The bit position from the start of the packet; absent: after the
    # previous field.
    offset_bits: NotRequired[int]
    # An int for integer and BCD encodings, a float (or int) for the float
    # families, a str for text, bytes or a sequence of ints 0..255 for
    # "binary".
    value: int | float | str | bytes | bytearray | Sequence[int]

@type_check_only
class UnpackingItem(TypedDict):
    """One parameter of a recipe for unpack_parameters, which reads no
    "value".  Only for type checking, like PackingItem."""

    name: str
    encoding: UnpackingEncoding
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    # The bit position from the call's offset_bits; absent: after the
    # previous field.
    offset_bits: NotRequired[int]

# Either kind, for code that handles both (reading "name" or "bits", say).
RecipeItem: TypeAlias = PackingItem | UnpackingItem

# What the recipe functions take: an item of the kind above, whose keys and
# encoding names are checked where a recipe is written as a list of that
# type, or any mapping, for recipes kept in plain variables or made by a
# helper function (every item is checked when the function runs).
_PackingRecipe: TypeAlias = Sequence[PackingItem | Mapping[str, Any]]
_UnpackingRecipe: TypeAlias = Sequence[UnpackingItem | Mapping[str, Any]]

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

# The version of this build, as its package metadata gives it.
__version__: str

# Recipes.
# A field reads back as an int, float or str by its encoding; the values are
# typed Any, like struct.unpack's, so that they are used without narrowing.
def unpack_parameters(
    packet_bytes: bytes, offset_bits: _Int, recipe: _UnpackingRecipe
) -> dict[str, Any]: ...
def pack_parameters(recipe: _PackingRecipe) -> bytes: ...

# Integer decoders: pattern -> value.
def decode_ones_complement(value: _Int, bits: _Int) -> int: ...
def decode_twos_complement(value: _Int, bits: _Int) -> int: ...
def decode_sign_magnitude(value: _Int, bits: _Int) -> int: ...

# BCD decoders.
def decode_unpacked_bcd(value: _Int, bits: _Int, signed: bool = False) -> int: ...
def decode_packed_bcd(value: _Int, bits: _Int, signed: bool = False) -> int: ...

# IEEE 754 decoders.
def decode_ieee754_f16(value: _Int) -> float: ...
def decode_ieee754_f32(value: _Int) -> float: ...
def decode_ieee754_f64(value: _Int) -> float: ...
def decode_ieee754_f128(value: _Int) -> float: ...

# Float formats that are named but not provided: always NotImplementedError.
def decode_ieee754_1985_f32(_value: _Int) -> NoReturn: ...
def decode_ieee754_1985_f64(_value: _Int) -> NoReturn: ...
def decode_ieee754_1985_f80(_value: _Int) -> NoReturn: ...
def decode_mil_std_1750a_f32(_value: _Int) -> NoReturn: ...
def decode_mil_std_1750a_f48(_value: _Int) -> NoReturn: ...
def decode_dec_f32(_value: _Int) -> NoReturn: ...
def decode_dec_f64(_value: _Int) -> NoReturn: ...
def decode_ibm_f32(_value: _Int) -> NoReturn: ...
def decode_ibm_f64(_value: _Int) -> NoReturn: ...
def decode_ti_f32(_value: _Int) -> NoReturn: ...
def decode_ti_f40(_value: _Int) -> NoReturn: ...

# Text decoders: bytes (exactly bytes or a subclass) -> str.
def decode_us_ascii(bytes: bytes) -> str: ...
def decode_iso_8859_1(bytes: bytes) -> str: ...
def decode_windows_1252(bytes: bytes) -> str: ...
def decode_utf8(bytes: bytes) -> str: ...
def decode_utf16(bytes: bytes) -> str: ...
def decode_utf16le(bytes: bytes) -> str: ...
def decode_utf16be(bytes: bytes) -> str: ...
def decode_utf32(bytes: bytes) -> str: ...
def decode_utf32le(bytes: bytes) -> str: ...
def decode_utf32be(bytes: bytes) -> str: ...

# Integer encoders: value -> pattern.
def encode_ones_complement(value: _Int, bits: _Int) -> int: ...
def encode_twos_complement(value: _Int, bits: _Int) -> int: ...
def encode_sign_magnitude(value: _Int, bits: _Int) -> int: ...

# BCD encoders.
def encode_unpacked_bcd(value: _Int, bits: _Int, signed: bool = False) -> int: ...
def encode_packed_bcd(value: _Int, bits: _Int, signed: bool = False) -> int: ...

# IEEE 754 encoders.
def encode_ieee754_f16(value: _Float) -> int: ...
def encode_ieee754_f32(value: _Float) -> int: ...
def encode_ieee754_f64(value: _Float) -> int: ...
def encode_ieee754_f128(_value: _Float) -> NoReturn: ...

# Float formats that are named but not provided: always NotImplementedError.
def encode_ieee754_1985_f32(_value: _Float) -> NoReturn: ...
def encode_ieee754_1985_f64(_value: _Float) -> NoReturn: ...
def encode_ieee754_1985_f80(_value: _Float) -> NoReturn: ...
def encode_mil_std_1750a_f32(_value: _Float) -> NoReturn: ...
def encode_mil_std_1750a_f48(_value: _Float) -> NoReturn: ...
def encode_dec_f32(_value: _Float) -> NoReturn: ...
def encode_dec_f64(_value: _Float) -> NoReturn: ...
def encode_ibm_f32(_value: _Float) -> NoReturn: ...
def encode_ibm_f64(_value: _Float) -> NoReturn: ...
def encode_ti_f32(_value: _Float) -> NoReturn: ...
def encode_ti_f40(_value: _Float) -> NoReturn: ...

# Text encoders: str -> bytes.
def encode_us_ascii(text: str) -> bytes: ...
def encode_iso_8859_1(text: str) -> bytes: ...
def encode_windows_1252(text: str) -> bytes: ...
def encode_utf8(text: str) -> bytes: ...
def encode_utf16(text: str) -> bytes: ...
def encode_utf16le(text: str) -> bytes: ...
def encode_utf16be(text: str) -> bytes: ...
def encode_utf32(text: str) -> bytes: ...
def encode_utf32le(text: str) -> bytes: ...
def encode_utf32be(text: str) -> bytes: ...
