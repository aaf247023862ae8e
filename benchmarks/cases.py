"""The benchmark cases: each names the work, bitloom's call and every peer's
call that does the same work, and the targets that bitloom is held to.

Peers that are not installed are left out of their cases (`Peers`), so the
quick pass of the test suite runs with whatever is present.
"""

from __future__ import annotations

import functools
import importlib
import operator
import struct
from dataclasses import dataclass, field
from typing import Callable

import bitloom

import floors
import frames

KIB = 1024
MIB = 1024 * 1024


def _same(value):
    return value


@dataclass
class Impl:
    label: str
    stmt: str  # an expression; evaluated in `namespace`
    namespace: dict
    # Brings the expression's value into the form of bitloom's result, so that
    # the two can be compared (for example bytes from struct to an int).
    normalise: Callable = _same


@dataclass
class Case:
    group: str  # "frame", "scalar" or "text"
    name: str
    bitloom: Impl
    peers: list[Impl]
    targets: dict[str, float] = field(default_factory=dict)  # peer label -> max bitloom/peer
    check_allocation: bool = False
    note: str = ""

    def impls(self) -> list[Impl]:
        return [self.bitloom, *self.peers]

    def verify(self) -> None:
        """Every peer must produce what bitloom produces."""
        expected = self.bitloom.normalise(eval(self.bitloom.stmt, self.bitloom.namespace))
        for peer in self.peers:
            got = peer.normalise(eval(peer.stmt, peer.namespace))
            if got != expected:
                raise AssertionError(
                    f"{self.name}: {peer.label} does different work than bitloom:\n"
                    f"  bitloom: {_abbreviate(expected)}\n  {peer.label}: {_abbreviate(got)}")


def _abbreviate(value, limit: int = 300) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + f"... ({len(text)} chars)"


@dataclass(frozen=True)
class ScalingTarget:
    """bitloom's time on `large` at most `max_ratio` times its time on `small`."""
    large: str
    small: str
    max_ratio: float


class Peers:
    """The peer modules that can be imported, minus those excluded by name."""

    def __init__(self, excluded: set[str]):
        self.modules = {}
        self.missing = []
        for name in ("bitstruct", "bitstruct.c", "construct", "bitstring", "numpy"):
            if name.split(".")[0] in excluded:
                self.missing.append(name)
                continue
            try:
                self.modules[name] = importlib.import_module(name)
            except ImportError:
                self.missing.append(name)
        # The floors (floors/floors.c) need a C compiler, not a package.
        self.floors = None if "floors" in excluded else floors.load()

    def get(self, name):
        return self.modules.get(name)


# ---- frames -------------------------------------------------------------------

def _without_private_keys(container) -> dict:
    # construct's parse result also holds its stream under "_io".
    return {key: value for key, value in container.items() if not key.startswith("_")}


def _bitstring_unpacked(frame: frames.Frame):
    def normalise(values):
        return {name: value.decode("ascii") if isinstance(value, bytes) else value
                for name, value in zip(frame.names, values)}
    return normalise


# The floors: what any implementation must do in the interpreter at the least.
FLOOR_PACK = "floor: one read of the recipe, the bytes"
FLOOR_UNPACK = "floor: one read of the recipe, the result"
FLOOR_RESULT = "floor: the result alone"
FLOOR_NEW_INT = "floor: a builtin returning a new int"
FLOOR_EXTENSION_INT = "floor: an extension function returning a new int"
# "bits" first and "value" last: the two entries the floors read.
RECIPE_KEYS = ("bits", "name", "encoding", "byte_order", "reverse_bits", "offset_bits", "value")


def _pack_case(name: str, frame: frames.Frame, peers: Peers, *, targets: bool,
               heavy_peers: bool = True) -> Case:
    recipe = frames.pack_recipe(frame)
    fmt = frames.bitstruct_format(frame)
    values = frame.values
    case = Case("frame", name, Impl("bitloom", "bitloom.pack_parameters(recipe)",
                                    {"bitloom": bitloom, "recipe": recipe}), [],
                check_allocation=True)
    if bitstruct_c := peers.get("bitstruct.c"):
        glue_pack, _ = frames.make_bitstruct_glue(bitstruct_c)
        compiled = bitstruct_c.compile(fmt)
        compiled_dict = bitstruct_c.compile(fmt, frame.names)
        case.peers += [
            Impl("bitstruct.c pack", "bitstruct_c.pack(fmt, *values)",
                 {"bitstruct_c": bitstruct_c, "fmt": fmt, "values": values}),
            Impl("bitstruct.c compiled", "compiled.pack(*values)",
                 {"compiled": compiled, "values": values}),
            Impl("bitstruct.c compiled dict", "compiled.pack(values)",
                 {"compiled": compiled_dict, "values": frame.value_dict()}),
            Impl("bitstruct.c glue", "glue_pack(recipe)",
                 {"glue_pack": glue_pack, "recipe": recipe}),
            Impl("bitstruct.c glue, cached format",
                 'compiled.pack(*[item["value"] for item in recipe])',
                 {"compiled": compiled, "recipe": recipe}),
        ]
        if targets:
            case.targets.update({"bitstruct.c pack": 1.0, "bitstruct.c glue": 0.25})
    if bitstruct := peers.get("bitstruct"):
        case.peers += [
            Impl("bitstruct pack", "bitstruct.pack(fmt, *values)",
                 {"bitstruct": bitstruct, "fmt": fmt, "values": values}),
            Impl("bitstruct compiled", "compiled.pack(*values)",
                 {"compiled": bitstruct.compile(fmt), "values": values}),
        ]
    if heavy_peers and (construct := peers.get("construct")):
        case.peers.append(Impl("construct", "frame.build(values)",
                               {"frame": frames.construct_struct(construct, frame),
                                "values": frame.value_dict()}))
        if targets:
            case.targets["construct"] = 0.02
    if peers.floors:
        packet = bitloom.pack_parameters(recipe)
        case.peers.append(Impl(FLOOR_PACK, "floors.pack_floor(recipe, keys, size)",
                               {"floors": peers.floors, "recipe": recipe, "keys": RECIPE_KEYS,
                                "size": len(packet)}, lambda _, packet=packet: packet))
    if heavy_peers and (bitstring := peers.get("bitstring")):
        case.peers.append(Impl("bitstring", "bitstring.pack(fmt, *values).tobytes()",
                               {"bitstring": bitstring, "fmt": frames.bitstring_format(frame),
                                "values": frames.bitstring_values(frame)}))
    return case


def _unpack_case(name: str, frame: frames.Frame, peers: Peers, *, targets: bool,
                 heavy_peers: bool = True) -> Case:
    recipe = frames.unpack_recipe(frame)
    packet = bitloom.pack_parameters(frames.pack_recipe(frame, explicit_offsets=True))
    fmt = frames.bitstruct_format(frame)
    case = Case("frame", name, Impl("bitloom", "bitloom.unpack_parameters(packet, 0, recipe)",
                                    {"bitloom": bitloom, "packet": packet, "recipe": recipe}),
                [], check_allocation=True)
    if bitstruct_c := peers.get("bitstruct.c"):
        _, glue_unpack = frames.make_bitstruct_glue(bitstruct_c)
        case.peers += [
            Impl("bitstruct.c unpack_dict", "bitstruct_c.unpack_dict(fmt, names, packet)",
                 {"bitstruct_c": bitstruct_c, "fmt": fmt, "names": frame.names,
                  "packet": packet}),
            Impl("bitstruct.c compiled dict", "compiled.unpack(packet)",
                 {"compiled": bitstruct_c.compile(fmt, frame.names), "packet": packet}),
            Impl("bitstruct.c glue", "glue_unpack(packet, 0, recipe)",
                 {"glue_unpack": glue_unpack, "packet": packet, "recipe": recipe}),
        ]
        if targets:
            case.targets.update({"bitstruct.c unpack_dict": 1.0, "bitstruct.c glue": 0.25})
    if bitstruct := peers.get("bitstruct"):
        case.peers += [
            Impl("bitstruct unpack_dict", "bitstruct.unpack_dict(fmt, names, packet)",
                 {"bitstruct": bitstruct, "fmt": fmt, "names": frame.names, "packet": packet}),
            Impl("bitstruct compiled dict", "compiled.unpack(packet)",
                 {"compiled": bitstruct.compile(fmt, frame.names), "packet": packet}),
        ]
    if heavy_peers and (construct := peers.get("construct")):
        case.peers.append(Impl("construct", "frame.parse(packet)",
                               {"frame": frames.construct_struct(construct, frame),
                                "packet": packet}, _without_private_keys))
        if targets:
            case.targets["construct"] = 0.02
    if peers.floors:
        result = bitloom.unpack_parameters(packet, 0, recipe)
        case.peers.append(Impl(FLOOR_UNPACK, "floors.unpack_floor(recipe, keys, names, values, packet)",
                               {"floors": peers.floors, "recipe": recipe, "keys": RECIPE_KEYS,
                                "names": tuple(result), "values": tuple(result.values()),
                                "packet": packet}))
    if heavy_peers and (bitstring := peers.get("bitstring")):
        case.peers.append(Impl("bitstring", "bitstring.Bits(packet).unpack(fmt)",
                               {"bitstring": bitstring, "fmt": frames.bitstring_format(frame),
                                "packet": packet}, _bitstring_unpacked(frame)))
    return case


def _long_text_cases(peers: Peers) -> list[Case]:
    text = sized_text(MIXED_UNICODE, "utf-8", 64 * KIB)
    data = text.encode("utf-8")
    bits = len(data) * 8
    pack_recipe = [{"name": "text", "encoding": "utf8", "bits": bits, "byte_order": "big",
                    "reverse_bits": False, "value": text}]
    unpack_recipe = [{key: value for key, value in pack_recipe[0].items() if key != "value"}]
    pack = Case("frame", "pack 64 KiB utf8 field",
                Impl("bitloom", "bitloom.pack_parameters(recipe)",
                     {"bitloom": bitloom, "recipe": pack_recipe}),
                [Impl("str.encode", 'text.encode("utf-8")', {"text": text})],
                check_allocation=True)
    unpack = Case("frame", "unpack 64 KiB utf8 field",
                  Impl("bitloom", "bitloom.unpack_parameters(packet, 0, recipe)",
                       {"bitloom": bitloom, "packet": data, "recipe": unpack_recipe}),
                  [Impl("bytes.decode", 'packet.decode("utf-8")', {"packet": data},
                        lambda value: {"text": value})],
                  check_allocation=True)
    if bitstruct_c := peers.get("bitstruct.c"):
        pack.peers.append(Impl("bitstruct.c pack", "bitstruct_c.pack(fmt, text)",
                               {"bitstruct_c": bitstruct_c, "fmt": f"t{bits}", "text": text}))
        unpack.peers.append(Impl("bitstruct.c unpack_dict",
                                 'bitstruct_c.unpack_dict(fmt, ["text"], packet)',
                                 {"bitstruct_c": bitstruct_c, "fmt": f"t{bits}",
                                  "packet": data}))
    return [pack, unpack]


def frame_cases(peers: Peers) -> tuple[list[Case], list[ScalingTarget]]:
    telemetry = frames.contiguous(frames.TELEMETRY_FIELDS)
    telemetry_end_aligned = frames.end_aligned(frames.TELEMETRY_FIELDS)
    wide_fields = frames.repeated(frames.TELEMETRY_FIELDS, 16)
    cases = [
        _pack_case("pack 16-field frame", telemetry, peers, targets=True),
        _unpack_case("unpack 16-field frame", telemetry_end_aligned, peers, targets=True),
        _pack_case("pack 256-field frame", frames.contiguous(wide_fields), peers, targets=False),
        _unpack_case("unpack 256-field frame", frames.end_aligned(wide_fields), peers,
                     targets=False),
        *_long_text_cases(peers),
    ]
    cases[1].note = "fields end on byte boundaries; see the notes"
    cases[3].note = "fields end on byte boundaries"
    scaling = [ScalingTarget("pack 256-field frame", "pack 16-field frame", 17.0),
               ScalingTarget("unpack 256-field frame", "unpack 16-field frame", 17.0)]
    return cases, scaling


def contiguous_unpack_mismatches() -> list[str]:
    """Fields of the contiguous frame that bitloom's parser reads back
    differently from what was packed (why the unpack cases use the
    end-aligned frame)."""
    frame = frames.contiguous(frames.TELEMETRY_FIELDS)
    packet = bitloom.pack_parameters(frames.pack_recipe(frame))
    mismatches = []
    # One field at a time: a text field read from the wrong bits may not
    # decode at all, which must not hide the other fields.
    for start, field, item in zip(frame.starts, frame.fields, frames.unpack_recipe(frame)):
        try:
            read = repr(bitloom.unpack_parameters(packet, 0, [item])[field.name])
        except ValueError as error:
            read = f"an error ({error})".replace("\n", " ")
        if read != repr(field.value):
            mismatches.append(f"{field.name} ({field.bits} bits at bit {start}): "
                              f"packed {field.value!r}, read {read}")
    return mismatches


# ---- scalar codecs ----------------------------------------------------------

def _to_int(data: bytes) -> int:
    return int.from_bytes(data, "big")


def _first(values):
    return values[0]


_SIGNED_FORMAT = {8: ">b", 16: ">h", 32: ">i", 64: ">q"}


def _integer_cases(peers: Peers) -> list[Case]:
    bitstruct_c = peers.get("bitstruct.c")
    cases = []
    # Two's complement at every C width; the other two integer codecs at 32
    # bits with a non-negative value, the only values whose pattern struct's
    # two's complement also produces.
    rows = [("twos_complement", bits, -(2 ** (bits - 1)) + 12345 % 2 ** (bits - 1))
            for bits in (8, 16, 32, 64)]
    rows += [("ones_complement", 32, 123456789), ("sign_magnitude", 32, 123456789)]
    for codec, bits, value in rows:
        fmt = _SIGNED_FORMAT[bits]
        pattern = value % 2 ** bits
        data = struct.pack(fmt, value)
        base = {"bitloom": bitloom, "struct": struct, "fmt": fmt}
        encode = Case("scalar", f"encode_{codec} {bits}-bit",
                      Impl("bitloom", f"bitloom.encode_{codec}(value, {bits})",
                           {**base, "value": value}),
                      [Impl("struct.pack", "struct.pack(fmt, value)", {**base, "value": value},
                            _to_int),
                       Impl("Struct.pack", "packer(value)",
                            {"packer": struct.Struct(fmt).pack, "value": value}, _to_int)],
                      {"struct.pack": 1.0})
        decode = Case("scalar", f"decode_{codec} {bits}-bit",
                      Impl("bitloom", f"bitloom.decode_{codec}(pattern, {bits})",
                           {**base, "pattern": pattern}),
                      [Impl("struct.unpack", "struct.unpack(fmt, data)[0]",
                            {**base, "data": data}),
                       Impl("Struct.unpack", "unpacker(data)[0]",
                            {"unpacker": struct.Struct(fmt).unpack, "data": data})],
                      {"struct.unpack": 1.0})
        if bitstruct_c:
            encode.peers.append(Impl("bitstruct.c pack", f"bitstruct_c.pack('s{bits}', value)",
                                     {"bitstruct_c": bitstruct_c, "value": value}, _to_int))
            decode.peers.append(Impl("bitstruct.c unpack",
                                     f"bitstruct_c.unpack('s{bits}', data)[0]",
                                     {"bitstruct_c": bitstruct_c, "data": data}))
        cases += [encode, decode]
    return cases


def _float_cases(peers: Peers) -> list[Case]:
    bitstruct_c = peers.get("bitstruct.c")
    numpy = peers.get("numpy")
    cases = []
    for bits, fmt, target, value in ((16, ">e", 0.7, 1.5), (32, ">f", 1.0, 1013.25),
                                     (64, ">d", 1.0, 2.718281828459045)):
        data = struct.pack(fmt, value)
        pattern = _to_int(data)
        base = {"bitloom": bitloom, "struct": struct, "fmt": fmt}
        encode = Case("scalar", f"encode_ieee754_f{bits}",
                      Impl("bitloom", f"bitloom.encode_ieee754_f{bits}(value)",
                           {**base, "value": value}),
                      [Impl(f"struct.pack '{fmt[1]}'", "struct.pack(fmt, value)",
                            {**base, "value": value}, _to_int),
                       Impl(f"Struct.pack '{fmt[1]}'", "packer(value)",
                            {"packer": struct.Struct(fmt).pack, "value": value}, _to_int)],
                      {f"struct.pack '{fmt[1]}'": target})
        decode = Case("scalar", f"decode_ieee754_f{bits}",
                      Impl("bitloom", f"bitloom.decode_ieee754_f{bits}(pattern)",
                           {**base, "pattern": pattern}),
                      [Impl(f"struct.unpack '{fmt[1]}'", "struct.unpack(fmt, data)[0]",
                            {**base, "data": data}),
                       Impl(f"Struct.unpack '{fmt[1]}'", "unpacker(data)[0]",
                            {"unpacker": struct.Struct(fmt).unpack, "data": data})],
                      {f"struct.unpack '{fmt[1]}'": target})
        if bitstruct_c:
            encode.peers.append(Impl("bitstruct.c pack", f"bitstruct_c.pack('f{bits}', value)",
                                     {"bitstruct_c": bitstruct_c, "value": value}, _to_int))
            decode.peers.append(Impl("bitstruct.c unpack",
                                     f"bitstruct_c.unpack('f{bits}', data)[0]",
                                     {"bitstruct_c": bitstruct_c, "data": data}))
        if numpy and bits == 16:
            encode.peers.append(Impl("numpy", "int(numpy.float16(value).view(numpy.uint16))",
                                     {"numpy": numpy, "value": value}))
            decode.peers.append(Impl("numpy", "float(numpy.uint16(pattern).view(numpy.float16))",
                                     {"numpy": numpy, "pattern": pattern}))
        cases += [encode, decode]
    return cases


def _bcd_cases(peers: Peers) -> list[Case]:
    cases = []
    for bits, value in ((32, 12345678), (64, 1234567890123456)):
        pattern = int(str(value), 16)
        floors_of_call = [
            # No builtin returning a new int of the result's size is faster.
            Impl(FLOOR_NEW_INT, "add(before, 1)", {"add": operator.add, "before": pattern - 1})]
        if peers.floors and bits == 32:
            # Called as bitloom's functions are, from a module of its own,
            # taking one-digit ints like the 32-bit case and returning one.
            floors_of_call.append(Impl(FLOOR_EXTENSION_INT, f"floors.new_int(before, {bits})",
                                       {"floors": peers.floors, "before": pattern - bits}))
        cases.append(Case("scalar", f"encode_packed_bcd {bits}-bit",
                          Impl("bitloom", f"bitloom.encode_packed_bcd(value, {bits})",
                               {"bitloom": bitloom, "value": value}),
                          [Impl("int(str(v), 16)", "int(str(value), 16)", {"value": value}),
                           *floors_of_call],
                          {"int(str(v), 16)": 0.3}))
        cases.append(Case("scalar", f"decode_packed_bcd {bits}-bit",
                          Impl("bitloom", f"bitloom.decode_packed_bcd(pattern, {bits})",
                               {"bitloom": bitloom, "pattern": pattern}),
                          [Impl("int(f'{p:x}')", "int(f'{pattern:x}')", {"pattern": pattern})],
                          {"int(f'{p:x}')": 0.3}))
    return cases


def scalar_cases(peers: Peers) -> list[Case]:
    return [*_integer_cases(peers), *_float_cases(peers), *_bcd_cases(peers)]


# ---- text -----------------------------------------------------------------------

ASCII_TEXT = "The quick brown fox jumps over the lazy dog; 0123456789.\n"
# Kept for the 64 KiB frame field: one, two, three and four UTF-8 bytes.
MIXED_UNICODE = "Grüße, naïve café — 10 € für 東京 🚀 ok; "
# The kinds of text users have, each stored by CPython in its own width:
# Latin-1 letters (one byte per character), Latin with Greek (two bytes),
# with CJK (two bytes, three UTF-8 bytes each), with emoji (four bytes).
LATIN1_TEXT = "Grüße, naïve café déjà vu, ¿qué? ½ año; "
GREEK_TEXT = "température 25°C, Δt=3 ms, OK; "
CJK_TEXT = "température 25°C, 状态 OK; "
EMOJI_TEXT = "status 🚀 ok, 😀 fine; "
# Only characters where Windows-1252 and CPython's cp1252 agree (cp1252 leaves
# 0x81, 0x8D, 0x8F, 0x90 and 0x9D undefined).
MIXED_WINDOWS_1252 = "Grüße, naïve café — 10 € “quoted” ‘x’ … Œuvre; "

UNICODE_KINDS = (("ASCII", ASCII_TEXT), ("Latin-1", LATIN1_TEXT), ("Greek", GREEK_TEXT),
                 ("CJK", CJK_TEXT), ("emoji", EMOJI_TEXT))
# bitloom codec name, CPython codec name, the kinds of text it can carry, and
# the code unit that makes a decode fail (None: every input decodes).
TEXT_CODECS = (
    ("utf8", "utf-8", UNICODE_KINDS, b"\xff"),
    ("utf16le", "utf-16-le", UNICODE_KINDS, b"\x00\xdc"),
    ("utf16be", "utf-16-be", UNICODE_KINDS, b"\xdc\x00"),
    ("utf32le", "utf-32-le", UNICODE_KINDS, b"\x00\x00\x11\x00"),
    ("utf32be", "utf-32-be", UNICODE_KINDS, b"\x00\x11\x00\x00"),
    ("iso_8859_1", "latin-1", UNICODE_KINDS[:2], None),
    ("windows_1252", "cp1252", (*UNICODE_KINDS[:2], ("mixed", MIXED_WINDOWS_1252)), None),
    ("us_ascii", "ascii", UNICODE_KINDS[:1], b"\x80"),
)
TEXT_SIZES = ((16, "16 B"), (KIB, "1 KiB"), (MIB, "1 MiB"))


def sized_text(unit: str, codec: str, size: int) -> str:
    """Repeats of `unit`, cut so that its encoding in `codec` takes at most
    `size` bytes and as close to it as whole characters allow."""
    lengths = [len(character.encode(codec)) for character in unit]
    repeats, rest = divmod(size, sum(lengths))
    parts = [unit * repeats]
    for character, length in zip(unit, lengths):
        if length > rest:
            break
        parts.append(character)
        rest -= length
    return "".join(parts)


def error_of(decode, data):
    """The decode's result, or ValueError if it raises one (CPython raises
    its UnicodeDecodeError subclass)."""
    try:
        return decode(data)
    except ValueError:
        return ValueError


def text_cases() -> list[Case]:
    cases = []
    for name, codec, kinds, bad_unit in TEXT_CODECS:
        for size, size_label in TEXT_SIZES:
            target = 1.2 if size < KIB else 1.0
            for content_label, unit in kinds:
                text = sized_text(unit, codec, size)
                data = text.encode(codec)
                label = f"{size_label} {content_label}"
                # A decoder's str is first made as long as the input can
                # give and cut to the text at the end, as CPython's is: its
                # peak exceeds the result where code points take more than
                # one code unit (and stays below CPython's own peak).
                unit_bytes = len("a".encode(codec))
                exact_length = len(text) * unit_bytes == len(data)
                cases.append(Case(
                    "text", f"decode_{name} {label}",
                    Impl("bitloom", f"bitloom.decode_{name}(data)",
                         {"bitloom": bitloom, "data": data}),
                    [Impl(f"bytes.decode {codec}", f"data.decode({codec!r})", {"data": data})],
                    {f"bytes.decode {codec}": target},
                    check_allocation=size == MIB and exact_length))
                cases.append(Case(
                    "text", f"encode_{name} {label}",
                    Impl("bitloom", f"bitloom.encode_{name}(text)",
                         {"bitloom": bitloom, "text": text}),
                    [Impl(f"str.encode {codec}", f"text.encode({codec!r})", {"text": text})],
                    {f"str.encode {codec}": target}, check_allocation=size == MIB))
            if bad_unit is not None:
                # Valid text up to its last code unit, which fails the decode.
                text = sized_text(kinds[-1][1], codec, size - len(bad_unit))
                data = text.encode(codec) + bad_unit
                cases.append(Case(
                    "text", f"decode_{name} {size_label} invalid at the end",
                    Impl("bitloom", "error_of(decode, data)",
                         {"decode": getattr(bitloom, f"decode_{name}"), "data": data,
                          "error_of": error_of}),
                    # The bound method, called as bitloom's function is.
                    [Impl(f"bytes.decode {codec}", "error_of(decode, data)",
                          {"decode": functools.partial(bytes.decode, encoding=codec),
                           "data": data, "error_of": error_of})],
                    {f"bytes.decode {codec}": target}))
    return cases
