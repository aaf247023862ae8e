"""The bit diagram of a recipe, as protocol documents draw their packets.

The recipe is compiled into a `bitloom.frames.FrameCodec`, and the diagram
draws the codec's own fields (`FrameCodec.fields`): a recipe is drawn
exactly when it can pack and parse frames, every field where the codec
reads and writes it, and the packet as long as the codec's frame.  Fields
sit at the item's "offset_bits" from the start of the packet, or right
after the previous item, as pack_parameters places them.  Bit 0 is the most
significant bit of byte 0, and rows hold 32 bits, numbered on top (a
"little_lsb0" field, whose bits are numbered from each byte's least
significant, is drawn as the runs it holds in this numbering):

     0                   1                   2                   3
     0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
    |Version|  IHL  |Type of Service|          Total Length         |
    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+

A field that goes on in the next row is labelled again there with
"(cont.)"; where a field fills whole rows, the lines between them are left
open and long runs of such rows are cut to one line, so the work grows with
the number of fields, never with their widths.  Bits that no field covers
are "unused".  `render_text` and `render_svg` draw the same `Diagram`, which
`diagram` computes from a recipe or a codec.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from html import escape
from typing import Any

from bitloom.frames import FrameCodec

ROW_BITS = 32
# A field or gap that fills more whole rows than this, after its first, is
# drawn with its first and last rows and one line that counts the rest.
ELIDED_RUN = 4


@dataclass(frozen=True)
class Field:
    index: int
    name: str
    encoding: str
    start: int
    bits: int

    @property
    def end(self) -> int:
        return self.start + self.bits


@dataclass(frozen=True)
class Segment:
    """Bits [first, last] of one row (column numbers), all with the same
    owner: no field ("unused") or one field."""

    first: int
    last: int
    owners: tuple[int, ...]
    label: str

    @property
    def kind(self) -> str:
        return "unused" if not self.owners else "field"


@dataclass(frozen=True)
class Row:
    start: int  # packet bit of column 0
    width: int  # columns, 1 .. ROW_BITS
    segments: tuple[Segment, ...]
    # Per column: the line above this row is left open, because the bit
    # above belongs to the same field (or the same gap) as the bit below.
    open_above: tuple[bool, ...]
    # Whole rows like this one that follow it and are not drawn.
    elided_after: int = 0


@dataclass(frozen=True)
class Diagram:
    fields: tuple[Field, ...]
    packet_bits: int
    rows: tuple[Row, ...]


def lsb0_runs(offset_bits: int, bits: int) -> list[tuple[int, int]]:
    """The (start, bits) runs, most significant bit first numbering, of a
    "little_lsb0" field: the top of its first byte, whole bytes, the bottom
    of its last byte."""
    runs: list[tuple[int, int]] = []
    bit, end = offset_bits, offset_bits + bits
    while bit < end:
        low = bit % 8
        count = min(8 - low, end - bit)
        start = bit // 8 * 8 + 8 - low - count
        if runs and sum(runs[-1]) == start:
            runs[-1] = (runs[-1][0], runs[-1][1] + count)
        else:
            runs.append((start, count))
        bit += count
    return runs


def compiled_fields(codec: FrameCodec) -> tuple[list[Field], int]:
    """The codec's fields, and the packet length in bits (whole bytes)."""
    # An array of fixed length is drawn as one field over all its elements,
    # named by the range of them (ch[0..479], as CSV names its columns).
    fields: list[Field] = []
    for index, field in enumerate(codec.fields):
        if isinstance(field.count, int):
            fields.append(Field(index, f"{field.name}[0..{field.count - 1}]", field.encoding,
                                field.offset_bits, field.bits * field.count))
        elif field.byte_order == "little_lsb0":
            fields += [Field(index, field.name, field.encoding, start, bits)
                       for start, bits in lsb0_runs(field.offset_bits, field.bits)]
        else:
            fields.append(Field(index, field.name, field.encoding, field.offset_bits, field.bits))
    return fields, codec.size * 8


# Cutting the packet into pieces of constant ownership.

@dataclass(frozen=True)
class Piece:
    start: int
    end: int
    owners: tuple[int, ...]


def pieces_of(fields: Sequence[Field], packet_bits: int) -> list[Piece]:
    """The packet as consecutive pieces: each field of one bit or more, and
    the gaps around them (a codec's fields never overlap)."""
    pieces: list[Piece] = []
    here = 0
    for field in sorted((field for field in fields if field.bits), key=lambda field: field.start):
        if field.start > here:
            pieces.append(Piece(here, field.start, ()))
        pieces.append(Piece(field.start, field.end, (field.index,)))
        here = field.end
    if here < packet_bits:
        pieces.append(Piece(here, packet_bits, ()))
    return pieces


def owner_key(pieces: Sequence[Piece], number: int) -> object:
    """What a bit of this piece belongs to, for joining rows: its field, or
    its gap."""
    piece = pieces[number]
    return ("field", piece.owners[0]) if piece.owners else ("gap", number)


def diagram(recipe: FrameCodec | Sequence[Any]) -> Diagram:
    """The diagram of a codec, or of a recipe (compiled here: what the
    codec refuses raises its error)."""
    codec = recipe if isinstance(recipe, FrameCodec) else FrameCodec(recipe)
    fields, packet_bits = compiled_fields(codec)
    pieces = pieces_of(fields, packet_bits)
    names = {field.index: field.name for field in fields}
    rows: list[Row] = []
    previous: list[object] = []  # owner keys of the row above, per column
    number = 0  # the first piece that reaches into the current row
    row_start = 0
    while row_start < packet_bits:
        width = min(ROW_BITS, packet_bits - row_start)
        row_end = row_start + width
        while pieces[number].end <= row_start:
            number += 1
        segments = []
        keys: list[object] = []
        open_above: list[bool] = []
        current = number
        while current < len(pieces) and pieces[current].start < row_end:
            piece = pieces[current]
            first = max(piece.start, row_start) - row_start
            last = min(piece.end, row_end) - 1 - row_start
            key = owner_key(pieces, current)
            joined = [column < len(previous) and previous[column] == key
                      for column in range(first, last + 1)]
            open_above.extend(joined)
            keys.extend([key] * (last - first + 1))
            if all(joined):
                label = ""
            elif not piece.owners:
                label = "unused"
            else:
                label = names[piece.owners[0]]
                if piece.start < row_start and first == 0:
                    label += CONTINUED
            segments.append(Segment(first, last, piece.owners, label))
            current += 1
        # A row that one field or gap fills, under a row of the same: the
        # rows after it that are just the same are counted, not drawn.
        elided = 0
        if len(segments) == 1 and all(open_above) and width == ROW_BITS:
            piece = pieces[number]
            whole_rows = (min(piece.end, packet_bits) - row_start) // ROW_BITS
            if whole_rows > ELIDED_RUN:
                elided = whole_rows - 2
        rows.append(Row(row_start, width, tuple(segments), tuple(open_above), elided))
        previous = keys
        row_start = row_end + elided * ROW_BITS
    return Diagram(tuple(fields), packet_bits, tuple(rows))


# Text.

CONTINUED = " (cont.)"


def fit(label: str, room: int) -> str:
    """The label cut to `room` characters; a continued field that has no
    room for the mark keeps its name."""
    if len(label) > room and label.endswith(CONTINUED):
        label = label.removesuffix(CONTINUED)
    return label if len(label) <= room else label[:room]


def border(above: Row | None, below: Row | None) -> str:
    """The line between two rows (either may be absent at the ends)."""
    width = max(row.width for row in (above, below) if row is not None)
    open_columns = list(below.open_above) if below is not None and above is not None else []
    open_columns += [False] * (width - len(open_columns))
    line = ["+"]
    for column in range(width):
        line.append(" " if open_columns[column] else "-")
        last = column == width - 1
        line.append("+" if last or not (open_columns[column] and open_columns[column + 1])
                    else " ")
    return "".join(line)


def row_line(row: Row) -> str:
    line = "|"
    for segment in row.segments:
        room = 2 * (segment.last - segment.first + 1) - 1
        line += fit(segment.label, room).center(room) + "|"
    return line


def elision_line(row: Row) -> str:
    room = 2 * row.width - 1
    return "~" + fit(f"{row.elided_after} more rows", room).center(room) + "~"


def position(start: int, bits: int) -> str:
    if bits == 0:
        return f"{start} (empty)"
    return str(start) if bits == 1 else f"{start}-{start + bits - 1}"


def render_text(picture: Diagram) -> str:
    lines = [" " + " ".join(str(column // 10) if column % 10 == 0 else " "
                            for column in range(ROW_BITS)).rstrip(),
             " " + " ".join(str(column % 10) for column in range(ROW_BITS))]
    previous: Row | None = None
    for row in picture.rows:
        lines.append(border(previous, row))
        lines.append(row_line(row))
        if row.elided_after:
            lines.append(elision_line(row))
        previous = row
    if previous is not None:
        lines.append(border(previous, None))
    lines.append("")
    lines.append(f"{picture.packet_bits} bits ({picture.packet_bits // 8} bytes)")
    if picture.fields:
        table = [("bits", "width", "name", "encoding")]
        # A field drawn as several runs (little_lsb0) is one line: its runs
        # and its whole width.
        runs: dict[int, list[Field]] = {}
        for field in picture.fields:
            runs.setdefault(field.index, []).append(field)
        table += [(", ".join(position(run.start, run.bits) for run in parts), str(sum(run.bits for run in parts)),
                   parts[0].name, parts[0].encoding) for parts in runs.values()]
        widths = [max(len(entry[column]) for entry in table) for column in range(4)]
        for entry in table:
            lines.append("  ".join([entry[0].ljust(widths[0]), entry[1].rjust(widths[1]),
                                    entry[2].ljust(widths[2]), entry[3]]).rstrip())
    return "\n".join(lines) + "\n"


# SVG: the same rows, as boxes.

CELL = 20  # pixels per bit
LINE = 36  # pixels per row
MARGIN = 10
FILL = {"field": "#ffffff", "unused": "#e8e8e8"}


def render_svg(picture: Diagram) -> str:
    top = MARGIN + 30
    rows_height = sum(LINE * (2 if row.elided_after else 1) for row in picture.rows)
    width = 2 * MARGIN + CELL * ROW_BITS
    height = top + rows_height + MARGIN
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" font-family="monospace" font-size="12">']
    for column in range(ROW_BITS):
        x = MARGIN + CELL * column + CELL / 2
        if column % 10 == 0:
            parts.append(f'<text x="{x}" y="{MARGIN + 10}" text-anchor="middle">'
                         f'{column // 10}</text>')
        parts.append(f'<text x="{x}" y="{MARGIN + 24}" text-anchor="middle">{column % 10}</text>')
    y = top
    above_width = 0
    for row in picture.rows:
        for segment in row.segments:
            x = MARGIN + CELL * segment.first
            span = CELL * (segment.last - segment.first + 1)
            parts.append(f'<rect x="{x}" y="{y}" width="{span}" height="{LINE}" '
                         f'fill="{FILL[segment.kind]}" stroke="none"/>')
            if segment.label:
                room = max(1, span // 7)
                parts.append(f'<text x="{x + span / 2}" y="{y + LINE / 2 + 4}" '
                             f'text-anchor="middle">{escape(fit(segment.label, room))}</text>')
            parts.append(f'<line x1="{x}" y1="{y}" x2="{x}" y2="{y + LINE}" stroke="black"/>')
            parts.append(f'<line x1="{x + span}" y1="{y}" x2="{x + span}" y2="{y + LINE}" '
                         f'stroke="black"/>')
        for column, is_open in enumerate(row.open_above):
            if not is_open:
                x = MARGIN + CELL * column
                parts.append(f'<line x1="{x}" y1="{y}" x2="{x + CELL}" y2="{y}" stroke="black"/>')
        if row.width < above_width:
            # The row above is wider: close it where this one ends.
            parts.append(f'<line x1="{MARGIN + CELL * row.width}" y1="{y}" '
                         f'x2="{MARGIN + CELL * above_width}" y2="{y}" stroke="black"/>')
        above_width = row.width
        y += LINE
        if row.elided_after:
            x = MARGIN + CELL * row.width / 2
            parts.append(f'<text x="{x}" y="{y + LINE / 2 + 4}" text-anchor="middle">'
                         f'... {row.elided_after} more rows ...</text>')
            parts.append(f'<line x1="{MARGIN}" y1="{y}" x2="{MARGIN}" y2="{y + LINE}" '
                         'stroke="black" stroke-dasharray="4"/>')
            parts.append(f'<line x1="{MARGIN + CELL * row.width}" y1="{y}" '
                         f'x2="{MARGIN + CELL * row.width}" y2="{y + LINE}" stroke="black" '
                         'stroke-dasharray="4"/>')
            y += LINE
    if picture.rows:
        right = MARGIN + CELL * picture.rows[-1].width
        parts.append(f'<line x1="{MARGIN}" y1="{y}" x2="{right}" y2="{y}" stroke="black"/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"
