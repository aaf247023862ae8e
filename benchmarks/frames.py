"""The telemetry frames of the recipe benchmarks, written out for bitloom and
for every peer from one field list, so that all of them describe the same
bits.

A frame is a list of fields (name, kind, width, value) laid out most
significant bit first from packet bit 0, all big-endian.  Kinds: "u" unsigned,
"s" two's complement, "f" IEEE 754 binary32, "t" US-ASCII text.

Two layouts of the same sixteen fields are used:

- contiguous: every field follows the previous one, so most fields start and
  end inside a byte.  This is the frame that is packed.
- end-aligned: every field is moved forward, with a gap of zero bits before
  it, so that it ends on a byte boundary.  bitloom's parser reads a field as
  the low bits of the whole bytes that hold it, which equals what was packed
  only for fields that end on a byte boundary; this is the frame that is
  unpacked, so that bitloom and the peers read the same bits.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Field:
    name: str
    kind: str  # "u", "s", "f" or "t"
    bits: int
    value: object


TELEMETRY_FIELDS = (
    Field("version", "u", 3, 5),
    Field("is_command", "u", 1, 1),
    Field("apid", "u", 11, 0x3AB),
    Field("sequence", "u", 14, 12345),
    Field("mode", "u", 5, 17),
    Field("temperature", "s", 12, -1234),
    Field("voltage", "u", 10, 1000),
    Field("current", "s", 9, -200),
    Field("healthy", "u", 1, 1),
    Field("pressure", "f", 32, 1013.25),  # exact in binary32
    Field("uptime", "u", 32, 0xDEADBEEF),
    Field("attitude", "s", 16, -12345),
    Field("rate", "s", 7, -33),
    Field("state", "u", 6, 42),
    Field("label", "t", 64, "TLM-0001"),
    Field("checksum", "u", 16, 0xBEEF),
)

PACK_ENCODING = {"u": "unsigned", "s": "twos_complement", "f": "ieee754", "t": "us-ascii"}
# The unpacking side names each float format with its width.
UNPACK_ENCODING = {"u": "unsigned", "s": "twos_complement", "f": "ieee754_f32", "t": "us-ascii"}


@dataclass(frozen=True)
class Frame:
    fields: tuple[Field, ...]
    starts: tuple[int, ...]  # start bit of each field

    @property
    def end_bits(self) -> int:
        return max(start + field.bits for start, field in zip(self.starts, self.fields))

    @property
    def names(self) -> list[str]:
        return [field.name for field in self.fields]

    @property
    def values(self) -> tuple:
        return tuple(field.value for field in self.fields)

    def value_dict(self) -> dict:
        return {field.name: field.value for field in self.fields}

    def gaps(self):
        """(gap before the field, field) pairs; the gap is in bits."""
        cursor = 0
        for start, field in zip(self.starts, self.fields):
            yield start - cursor, field
            cursor = start + field.bits

    @property
    def tail_bits(self) -> int:
        """Zero bits after the last field up to the end of its byte."""
        return -self.end_bits % 8


def contiguous(fields) -> Frame:
    starts, cursor = [], 0
    for field in fields:
        starts.append(cursor)
        cursor += field.bits
    return Frame(tuple(fields), tuple(starts))


def end_aligned(fields) -> Frame:
    starts, cursor = [], 0
    for field in fields:
        start = cursor + (-(cursor + field.bits) % 8)
        starts.append(start)
        cursor = start + field.bits
    return Frame(tuple(fields), tuple(starts))


def repeated(fields, copies: int) -> tuple[Field, ...]:
    """`copies` blocks of `fields`, each name suffixed with its block number."""
    return tuple(Field(f"{field.name}_{block}", field.kind, field.bits, field.value)
                 for block in range(copies) for field in fields)


# ---- bitloom recipes --------------------------------------------------------

def pack_recipe(frame: Frame, explicit_offsets: bool = False) -> list[dict]:
    recipe = []
    for start, field in zip(frame.starts, frame.fields):
        item = {"name": field.name, "encoding": PACK_ENCODING[field.kind], "bits": field.bits,
                "byte_order": "big", "reverse_bits": False, "value": field.value}
        if explicit_offsets:
            item["offset_bits"] = start
        recipe.append(item)
    return recipe


def unpack_recipe(frame: Frame) -> list[dict]:
    """Every item carries its own "offset_bits"."""
    return [{"name": field.name, "encoding": UNPACK_ENCODING[field.kind], "bits": field.bits,
             "byte_order": "big", "reverse_bits": False, "offset_bits": start}
            for start, field in zip(frame.starts, frame.fields)]


# ---- bitstruct ----------------------------------------------------------------

def bitstruct_format(frame: Frame) -> str:
    parts = []
    for gap, field in frame.gaps():
        if gap:
            parts.append(f"p{gap}")
        parts.append(f"{field.kind}{field.bits}")
    return "".join(parts)


# The Python a user writes to feed bitstruct from bitloom-style recipes: the
# format is built from the items on every call.
BITSTRUCT_TYPE_OF_ENCODING = {"unsigned": "u", "twos_complement": "s", "ieee754": "f",
                              "ieee754_f32": "f", "us-ascii": "t", "utf8": "t"}


def make_bitstruct_glue(bitstruct_module):
    def glue_pack(recipe):
        fmt = "".join(f"{BITSTRUCT_TYPE_OF_ENCODING[item['encoding']]}{item['bits']}"
                      for item in recipe)
        return bitstruct_module.pack(fmt, *[item["value"] for item in recipe])

    def glue_unpack(packet, offset_bits, recipe):
        parts, names, cursor = [], [], offset_bits
        for item in recipe:
            start = offset_bits + item["offset_bits"] if "offset_bits" in item else cursor
            if start > cursor:
                parts.append(f"p{start - cursor}")
            parts.append(f"{BITSTRUCT_TYPE_OF_ENCODING[item['encoding']]}{item['bits']}")
            names.append(item["name"])
            cursor = start + item["bits"]
        return bitstruct_module.unpack_dict("".join(parts), names, packet)

    return glue_pack, glue_unpack


# ---- construct ------------------------------------------------------------------

def construct_struct(construct, frame: Frame):
    members = []
    for gap, field in frame.gaps():
        if gap:
            members.append(construct.Padding(gap))
        if field.kind in "us":
            member = construct.BitsInteger(field.bits, signed=field.kind == "s")
        elif field.kind == "f":
            member = construct.Bytewise(construct.Float32b)
        else:
            member = construct.Bytewise(construct.PaddedString(field.bits // 8, "ascii"))
        members.append(field.name / member)
    if frame.tail_bits:
        members.append(construct.Padding(frame.tail_bits))
    return construct.BitStruct(*members)


# ---- bitstring -------------------------------------------------------------------

_BITSTRING_TYPE = {"u": "uint", "s": "int", "f": "float"}


def bitstring_format(frame: Frame) -> str:
    tokens = []
    for gap, field in frame.gaps():
        if gap:
            tokens.append(f"pad{gap}")
        if field.kind == "t":
            tokens.append(f"bytes{field.bits // 8}")  # bitstring has no text type
        else:
            tokens.append(f"{_BITSTRING_TYPE[field.kind]}{field.bits}")
    return ", ".join(tokens)


def bitstring_values(frame: Frame) -> tuple:
    return tuple(field.value.encode("ascii") if field.kind == "t" else field.value
                 for field in frame.fields)
