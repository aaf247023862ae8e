"""Build a housekeeping telemetry frame from a recipe, parse it back, and print
both as a table.

The frame is a 6-byte primary header of bit fields (version, type, secondary
header flag, application id, sequence flags, sequence count, data length)
followed by a 21-byte body: a packed-BCD timestamp, two two's-complement
temperatures in hundredths of a degree (one of them little-endian), a
binary16 bus voltage and a fixed-length ASCII status text.

It shows the three ways in which parsing is not the mirror image of packing:

- the packing table names the float family ("ieee754", with "bits" choosing
  binary16), the parsing table names the format ("ieee754_f16");
- a field is parsed from the whole bytes that hold it, as the low "bits" bits
  of those bytes, so the header's bit fields that do not end on a byte
  boundary are read from the 16-bit words that hold them;
- the body is parsed with the call's offset_bits (48, after the header), from
  which parsing counts; packing counts from the start of the packet.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import bitloom

if TYPE_CHECKING:
    from bitloom import PackingEncoding, PackingItem, UnpackingEncoding, UnpackingItem

HEADER_BITS = 48

# Header fields, most significant bit of byte 0 first.
HEADER: list[PackingItem] = [
    {"name": "version", "encoding": "unsigned", "bits": 3, "byte_order": "big",
     "reverse_bits": False, "value": 0},
    {"name": "packet_type", "encoding": "unsigned", "bits": 1, "byte_order": "big",
     "reverse_bits": False, "value": 0},
    {"name": "secondary_header", "encoding": "unsigned", "bits": 1, "byte_order": "big",
     "reverse_bits": False, "value": 1},
    {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big",
     "reverse_bits": False, "value": 0x1A5},
    {"name": "sequence_flags", "encoding": "unsigned", "bits": 2, "byte_order": "big",
     "reverse_bits": False, "value": 0b11},
    {"name": "sequence_count", "encoding": "unsigned", "bits": 14, "byte_order": "big",
     "reverse_bits": False, "value": 1234},
    # Body length in bytes, less one.
    {"name": "data_length", "encoding": "unsigned", "bits": 16, "byte_order": "big",
     "reverse_bits": False, "value": 20},
]

BODY: list[PackingItem] = [
    # 2024-05-17 12:30:45 as 14 decimal digits.
    {"name": "timestamp", "encoding": "packed_bcd", "bits": 56, "byte_order": "big",
     "reverse_bits": False, "value": 20240517123045},
    {"name": "battery_temp", "encoding": "twos_complement", "bits": 16, "byte_order": "big",
     "reverse_bits": False, "value": -1250},
    {"name": "board_temp", "encoding": "twos_complement", "bits": 16, "byte_order": "little",
     "reverse_bits": False, "value": 2375},
    {"name": "bus_voltage", "encoding": "ieee754", "bits": 16, "byte_order": "big",
     "reverse_bits": False, "value": 28.3},
    {"name": "status", "encoding": "us-ascii", "bits": 64, "byte_order": "big",
     "reverse_bits": False, "value": "NOMINAL"},
]

# How the header is read: as the three 16-bit words that hold its fields.
HEADER_WORDS: list[UnpackingItem] = [
    {"name": "identification", "encoding": "unsigned", "bits": 16, "byte_order": "big",
     "reverse_bits": False},
    {"name": "sequence", "encoding": "unsigned", "bits": 16, "byte_order": "big",
     "reverse_bits": False},
    {"name": "data_length", "encoding": "unsigned", "bits": 16, "byte_order": "big",
     "reverse_bits": False},
]

NOTES = {
    "bus_voltage": "binary16 keeps 11 significant bits",
    "status": "fixed-length text keeps its padding",
}


# The parsing names of the encodings used above: the same, except that
# parsing names each float format with its width.
PARSING_NAMES: dict[PackingEncoding, UnpackingEncoding] = {
    "unsigned": "unsigned", "packed_bcd": "packed_bcd", "twos_complement": "twos_complement",
    "us-ascii": "us-ascii",
}
IEEE754_PARSING_NAMES: dict[int, UnpackingEncoding] = {
    16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64",
}


def for_parsing(recipe: list[PackingItem]) -> list[UnpackingItem]:
    """The recipe without its values, under the parsing names."""
    parsed: list[UnpackingItem] = []
    for item in recipe:
        if item["encoding"] == "ieee754":
            encoding = IEEE754_PARSING_NAMES[item["bits"]]
        else:
            encoding = PARSING_NAMES[item["encoding"]]
        parsed.append({"name": item["name"], "encoding": encoding, "bits": item["bits"],
                       "byte_order": item["byte_order"], "reverse_bits": item["reverse_bits"]})
    return parsed


def read_header(frame: bytes) -> dict[str, int]:
    words = bitloom.unpack_parameters(frame, 0, HEADER_WORDS)
    identification = int(words["identification"])
    sequence = int(words["sequence"])
    return {
        "version": identification >> 13,
        "packet_type": (identification >> 12) & 1,
        "secondary_header": (identification >> 11) & 1,
        "apid": identification & 0x7FF,
        "sequence_flags": sequence >> 14,
        "sequence_count": sequence & 0x3FFF,
        "data_length": int(words["data_length"]),
    }


def show(value: object) -> str:
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    return repr(value)


def main() -> None:
    frame = bitloom.pack_parameters(HEADER + BODY)
    print(f"frame ({len(frame)} bytes): {frame.hex(' ')}")
    print()

    read: dict[str, object] = {}
    read.update(read_header(frame))
    read.update(bitloom.unpack_parameters(frame, HEADER_BITS, for_parsing(BODY)))

    parsing_names = {item["name"]: item["encoding"] for item in for_parsing(BODY)}
    rows = []
    for item in HEADER + BODY:
        name, encoding = item["name"], str(item["encoding"])
        if parsing_names.get(name, encoding) != encoding:
            encoding += f" / {parsing_names[name]}"
        rows.append((name, encoding, str(item["bits"]), show(item.get("value")), show(read[name]),
                     NOTES.get(name, "")))
    titles = ("field", "encoding", "bits", "packed", "parsed", "")
    widths = [max(len(row[column]) for row in [titles, *rows]) for column in range(5)]
    for row in [titles, *rows]:
        cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1]), row[2].rjust(widths[2]),
                 row[3].ljust(widths[3]), row[4].ljust(widths[4]), row[5]]
        print("  ".join(cells).rstrip())

    print("(the header is parsed as the three 16-bit words that hold its fields, then split)")

    # What the header recipe itself reads: every field is the low bits of
    # the bytes that hold it, which is right only for the fields that end on
    # a byte boundary.
    direct = bitloom.unpack_parameters(frame, 0, for_parsing(HEADER))
    print()
    print("the header read with its own recipe:")
    end = 0
    for item in HEADER:
        name, end = item["name"], end + item["bits"]
        if end % 8 == 0:
            verdict = "exact: the field ends on a byte boundary"
        else:
            verdict = f"the low {item['bits']} bits of byte {end // 8}, not the field"
        print(f"  {name:<{widths[0]}}  {direct[name]!s:>5}  {verdict}")


if __name__ == "__main__":
    main()
