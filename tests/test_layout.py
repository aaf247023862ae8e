"""`bitloom layout`: the bit diagram of a recipe, its SVG form, and its
errors, which read like those of the other commands."""

import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

import bitloom

from bitloom import pack_parameters
from bitloom.frames import FrameCodec
from bitloom.layout import diagram
from test_cli import run, write


def field(name, bits, encoding="unsigned", **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False, **extra}


NUMBERS = """\
 0                   1                   2                   3
 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
"""
FULL = "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+"

# The space packet primary header: 3, 1, 1, 11, 2, 14 and 16 bits.
PRIMARY_HEADER = [field("ver", 3), field("T", 1), field("S", 1), field("APID", 11),
                  field("SF", 2), field("sequence count", 14), field("data length", 16)]

DIAGRAMS = {
    "primary header": (PRIMARY_HEADER, f"""\
{FULL}
| ver |T|S|         APID        | SF|       sequence count      |
{FULL}
|          data length          |
+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+

48 bits (6 bytes)
bits   width  name            encoding
0-2        3  ver             unsigned
3          1  T               unsigned
4          1  S               unsigned
5-15      11  APID            unsigned
16-17      2  SF              unsigned
18-31     14  sequence count  unsigned
32-47     16  data length     unsigned
"""),
    "gaps": ([field("sync", 8), field("flags", 4, offset_bits=12), field("crc", 8, offset_bits=24)],
             f"""\
{FULL}
|      sync     | unused| flags |     unused    |      crc      |
{FULL}

32 bits (4 bytes)
bits   width  name   encoding
0-7        8  sync   unsigned
12-15      4  flags  unsigned
24-31      8  crc    unsigned
"""),
    # Packing sizes the packet by the furthest end seen: C lands on bits
    # 8-15 and byte 3 stays unused.
    "longer than its last field": (
        [field("A", 8, offset_bits=16), field("B", 8, offset_bits=0), field("C", 8)], f"""\
{FULL}
|       B       |       C       |       A       |     unused    |
{FULL}

32 bits (4 bytes)
bits   width  name  encoding
16-23      8  A     unsigned
0-7        8  B     unsigned
8-15       8  C     unsigned
"""),
    "wider than a row": ([field("id", 16), field("payload", 256, "utf8"), field("tail", 8)], f"""\
{FULL}
|               id              |            payload            |
+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+                               +
|                        payload (cont.)                        |
+                                                               +
|                                                               |
~                          4 more rows                          ~
+                                                               +
|                                                               |
+                               +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
|                               |      tail     |
+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+

280 bits (35 bytes)
bits     width  name     encoding
0-15        16  id       unsigned
16-271     256  payload  utf8
272-279      8  tail     unsigned
"""),
    # Labels are cut to their box; the table keeps the names whole.
    "narrow fields and a row crossing": (
        [field("version", 3), field("flag", 1), field("counter", 44), field("empty", 0)], f"""\
{FULL}
|versi|f|                        counter                        |
+-+-+-+-+                       +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
|        counter (cont.)        |
+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+

48 bits (6 bytes)
bits        width  name     encoding
0-2             3  version  unsigned
3               1  flag     unsigned
4-47           44  counter  unsigned
48 (empty)      0  empty    unsigned
"""),
    "empty": ([], "\n0 bits (0 bytes)\n"),
}


@pytest.mark.parametrize("name", DIAGRAMS)
def test_the_command_draws_the_recipe(tmp_path, name):
    recipe, expected = DIAGRAMS[name]
    result = run(tmp_path, "layout", write(tmp_path, "r.json", recipe))
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == NUMBERS + expected
    assert result.stderr == b""


def test_whole_rows_are_joined_and_long_runs_cut(tmp_path):
    # 128 bits fill four rows, drawn whole; a field of 2^32 - 1 bits is
    # drawn in a few lines: its first two rows, a count of the rows left
    # out, its last whole row and the last row, whose last bit is unused.
    recipe = [field("source", 128, "binary"), field("huge", 2**32 - 1, "binary")]
    result = run(tmp_path, "layout", write(tmp_path, "r.json", recipe))
    lines = result.stdout.decode().splitlines()[2:]
    assert lines[:9] == [FULL, "|" + "source".center(63) + "|",
                         "+" + " " * 63 + "+", "|" + " " * 63 + "|",
                         "+" + " " * 63 + "+", "|" + " " * 63 + "|",
                         "+" + " " * 63 + "+", "|" + " " * 63 + "|", FULL]
    assert lines[9:] == ["|" + "huge".center(63) + "|", "+" + " " * 63 + "+",
                         "|" + " " * 63 + "|", "~" + "134217724 more rows".center(63) + "~",
                         "+" + " " * 63 + "+", "|" + " " * 63 + "|",
                         "+" + " " * 61 + "+-+", "|" + " " * 61 + "|u|", FULL, "",
                         "4294967424 bits (536870928 bytes)", *lines[-3:]]


# Where the diagram says each field is, packing writes it: a recipe whose
# only nonzero field is all ones sets exactly that field's bits.
PLACEMENTS = [
    [field("a", 3), field("b", 12), field("c", 17), field("d", 1)],
    [field("a", 8, offset_bits=20), field("b", 5), field("c", 9, offset_bits=3)],
    [field("a", 8, offset_bits=16), field("b", 8, offset_bits=0), field("c", 8)],
    [field("a", 0, offset_bits=40), field("b", 7), field("c", 64, offset_bits=70)],
]


@pytest.mark.parametrize("recipe", PLACEMENTS)
def test_positions_and_length_are_those_of_packing(recipe):
    picture = diagram(recipe)
    zeros = [{**item, "value": 0} for item in recipe]
    assert picture.packet_bits == 8 * len(pack_parameters(zeros))
    for placed in picture.fields:
        values = [{**item, "value": 0} for item in recipe]
        values[placed.index]["value"] = (1 << placed.bits) - 1
        packet = int.from_bytes(pack_parameters(values), "big") if picture.packet_bits else 0
        ones = [bit for bit in range(picture.packet_bits)
                if packet >> (picture.packet_bits - 1 - bit) & 1]
        assert ones == list(range(placed.start, placed.end)), placed.name


def test_svg_shows_the_same_boxes(tmp_path):
    recipe = [field("sync", 8), field("flags", 4, offset_bits=12), field("a & b", 4),
              field("x", 8, offset_bits=24)]
    result = run(tmp_path, "layout", write(tmp_path, "r.json", recipe), "--svg", "out.svg")
    assert result.returncode == 0, result.stderr
    root = ElementTree.parse(tmp_path / "out.svg").getroot()
    svg = "{http://www.w3.org/2000/svg}"
    texts = [element.text for element in root.iter(svg + "text")]
    assert [text for text in texts if not text.isdigit()] == [
        "sync", "unused", "flags", "a & b", "unused", "x"]
    fills = [rect.get("fill") for rect in root.iter(svg + "rect")]
    assert fills.count("#e8e8e8") == 2
    # The text diagram is still written.
    assert result.stdout.decode().splitlines()[3] == \
        "|      sync     | unused| flags | a & b | unused|       x       |"


BAD = [
    [field("a", 8), {"name": "b", "encoding": "unsigned", "byte_order": "big",
                     "reverse_bits": False}],
    [{"encoding": "unsigned", "bits": 8}],
    [field("a", "8")],
    [field("a", 2**32)],
    [field("a", 8, offset_bits=-1)],
    [field(5, 8)],
    [{**field("a", 8), "reverse_bits": 0}],
    [{**field("a", 8), "byte_order": "be"}],
    [field("a", 16, offset_bits=2**64 - 8)],
    [{"encoding": "unsigned", "bits": 8}, field("b", -1)],
    [field("a", 8, offset_bits=2**64 - 16), field("b", 8, offset_bits=0), field("c", 16)],
    # What only the codec refuses: the diagram used to draw these.
    [field("a", 8, "nope")],
    [field("a", 16), field("b", 8, offset_bits=8)],
    [field("a", 8), field("a", 8)],
    [field("a", 12, byte_order="little")],
    [field("a", 65)],
]


@pytest.mark.parametrize("recipe", BAD)
def test_layout_refuses_what_the_codec_refuses(tmp_path, recipe):
    write(tmp_path, "r.json", recipe)
    result = run(tmp_path, "layout", "r.json")
    assert (result.returncode, result.stdout) == (2, b"")
    with pytest.raises((ValueError, TypeError, KeyError, OverflowError)) as raised:
        FrameCodec(recipe)
    message = raised.value.args[0]
    assert result.stderr.decode() == f"bitloom: error: r.json: {message}\n"
    # unpack, which compiles the same codec, fails with the same line.
    assert run(tmp_path, "unpack", "r.json", "00").stderr == result.stderr


@pytest.mark.parametrize("recipe", [recipe for recipe, _ in DIAGRAMS.values()])
def test_the_diagram_draws_the_codecs_fields(recipe):
    codec = FrameCodec(recipe)
    picture = diagram(recipe)
    assert [(f.name, f.encoding, f.start, f.bits) for f in picture.fields] == [
        (f.name, f.encoding, f.offset_bits, f.bits) for f in codec.fields]
    assert picture.packet_bits == 8 * codec.size


def test_the_work_grows_with_the_number_of_fields_only():
    # Fields of 2**32 - 1 bits and gaps of 2**40 bits: a few rows each.
    recipe = [field(f"f{n}", 2**32 - 1, "binary", offset_bits=n * 2**40) for n in range(50)]
    picture = diagram(recipe)
    assert len(picture.rows) < 10 * len(recipe)
    assert picture.packet_bits == 8 * ((49 * 2**40 + 2**32 - 1 + 7) // 8)


def test_an_unwritable_svg_is_reported(tmp_path):
    result = run(tmp_path, "layout", write(tmp_path, "r.json", PRIMARY_HEADER),
                 "--svg", "no/such/dir/out.svg")
    assert result.returncode == 1
    assert result.stderr == b"bitloom: error: cannot write no/such/dir/out.svg: No such file or " \
                            b"directory\n"


def test_the_documented_example_holds(tmp_path):
    root = Path(__file__).resolve().parent.parent
    command = "$ bitloom layout examples/primary_header.json\n"
    document = (root / "docs" / "command-line.md").read_text()
    shown = document[document.index(command) + len(command):]
    shown = shown[:shown.index("```")]
    result = run(tmp_path, "layout", root / "examples" / "primary_header.json")
    assert result.stdout.decode() == shown == NUMBERS + DIAGRAMS["primary header"][1]


def test_svg_closes_every_box(tmp_path):
    # The horizontal lines at each level: the top and the middle span the
    # 32 bits of the first row, the bottom the 16 bits of the second.
    run(tmp_path, "layout", write(tmp_path, "r.json", PRIMARY_HEADER), "--svg", "out.svg")
    root = ElementTree.parse(tmp_path / "out.svg").getroot()
    levels = {}
    for line in root.iter("{http://www.w3.org/2000/svg}line"):
        x1, y1, x2, y2 = (float(line.get(name)) for name in ("x1", "y1", "x2", "y2"))
        if y1 == y2:
            levels.setdefault(y1, []).append((min(x1, x2), max(x1, x2)))
    covered = []
    for y in sorted(levels):
        spans = sorted(levels[y])
        start, end = spans[0]
        for left, right in spans[1:]:
            assert left <= end, f"gap in the line at y={y}"
            end = max(end, right)
        covered.append(end - start)
    assert covered[0] == covered[1] == 2 * covered[2]
    assert len(covered) == 3


def test_an_array_is_drawn_as_one_field_over_its_elements():
    drawn = diagram([field("id", 8), field("ch", 12, count=4), field("crc", 8)])
    assert [(f.name, f.start, f.bits) for f in drawn.fields] == [("id", 0, 8), ("ch[0..3]", 8, 48), ("crc", 56, 8)]
