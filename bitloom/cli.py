"""The bitloom command: build a packet from a recipe, or parse packets with one.

    bitloom pack RECIPE.json [--output FILE]
    bitloom unpack RECIPE.json INPUT [--offset-bits N] [--frame-bytes N]
                                     [--format jsonl|csv|parquet|arrow]
                                     [--output FILE] [--text-padding strip|keep]
                                     [--progress auto|always|never]
    bitloom layout RECIPE.json [--svg FILE]

A recipe file holds a JSON array of recipe items, exactly the dicts that
pack_parameters and unpack_parameters take ("-" reads it from standard input).
Both commands compile it into one bitloom.frames.FrameCodec, so one recipe
serves packing and parsing and every field is read exactly where it was
packed.  The recipe is checked before any data is read.  Every failure is
reported as one line on standard error, naming the frame and the field where
they are known: exit status 2 for a usage error (the command line, the
recipe, INPUT longer than one packet without --frame-bytes), 1 for a data
error (input that cannot be read or decoded, output that cannot be written,
memory running out).  Input is read in bounded pieces: a single packet
reads at most its own bytes and one more, a dump a batch or a frame's
fields at a time.  A dump is decoded by FrameCodec.iter_batches, the
library's own streaming path, and each batch's columns are written as lines
or, through pyarrow (the optional extra bitloom[arrow]), as Parquet row
groups or Arrow IPC record batches.
"""

from __future__ import annotations

import argparse
import importlib
import io
import json
import math
import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import IO, Any, NoReturn

from bitloom.frames import BinaryColumn, Column, FrameCodec, Frames, StringColumn

EXIT_USAGE = 2
EXIT_DATA = 1

# Progress is shown on a terminal for inputs of at least this many frames,
# redrawn at most this often.
PROGRESS_MIN_FRAMES = 1000
PROGRESS_INTERVAL_SECONDS = 0.1

# Frames are read from a file in batches of about this many bytes, and
# written this many lines at a time.  Lines cost a Python object per value,
# so their batches stay small; Parquet and Arrow write the columns' own
# memory, and a batch is one row group or record batch.
READ_BATCH_BYTES = 1 << 20
COLUMNAR_BATCH_BYTES = 4 << 20
ROWS_PER_WRITE = 4096

# What the formats that need pyarrow tell a user without it.
ARROW_ADVICE = "pip install 'bitloom[arrow]' (or pyarrow)"


class Failure(Exception):
    """A problem to report as one line: where it happened, then what; and
    the exit status (EXIT_USAGE or EXIT_DATA)."""

    def __init__(self, message: str, where: Sequence[str] = (), status: int = EXIT_DATA) -> None:
        super().__init__(message)
        self.where = list(where)
        self.status = status

    def line(self) -> str:
        return ": ".join([*self.where, str(self)])


def codec_failure(error: Exception, where: Sequence[str] = (), status: int = EXIT_DATA) -> Failure:
    """A FrameCodec error (its message names the recipe item or the field)."""
    message = error.args[0] if len(error.args) == 1 and isinstance(error.args[0], str) else str(error)
    notes = [note.removeprefix("in ") for note in getattr(error, "__notes__", [])]
    return Failure(message, [*where, *notes], status)


# The errors a FrameCodec reports for a recipe or for values and data;
# anything else (an interrupt, a fault) is not caught.
CODEC_ERRORS = (KeyError, TypeError, ValueError, OverflowError, NotImplementedError)


# Reading the inputs.

# A recipe file larger than this is refused unread.
RECIPE_MAX_BYTES = 64 << 20


def read_bytes(path: str) -> bytes:
    try:
        if path == "-":
            data = sys.stdin.buffer.read(RECIPE_MAX_BYTES + 1)
        else:
            with open(path, "rb") as source:
                data = source.read(RECIPE_MAX_BYTES + 1)
    except OSError as error:
        raise Failure(error.strerror or str(error), [f"cannot read {path}"], EXIT_USAGE) from None
    if len(data) > RECIPE_MAX_BYTES:
        raise Failure(f"a recipe is at most {RECIPE_MAX_BYTES} bytes", [path], EXIT_USAGE)
    return data


def load_recipe(path: str) -> list[Any]:
    """The recipe items of a JSON file.  Only their shape is checked here;
    their keys and values are checked by the recipe functions."""
    data = read_bytes(path)
    try:
        recipe = json.loads(data)
    except (ValueError, RecursionError) as error:  # JSONDecodeError, bad UTF-8
        raise Failure(f"not valid JSON: {error}", [path], EXIT_USAGE) from None
    if not isinstance(recipe, list):
        raise Failure(f"a recipe is a JSON array of items, not {json_type(recipe)}", [path],
                      EXIT_USAGE)
    for index, entry in enumerate(recipe):
        if not isinstance(entry, dict):
            raise Failure(f"a recipe item is a JSON object, not {json_type(entry)}",
                          [path, f"recipe item {index}"], EXIT_USAGE)
    return recipe


def load_codec(path: str) -> FrameCodec:
    """The recipe of `path`, compiled: every item checked before any data
    is read."""
    recipe = load_recipe(path)
    try:
        return FrameCodec(recipe)
    except CODEC_ERRORS as error:
        raise codec_failure(error, [path], EXIT_USAGE) from None


def json_type(value: object) -> str:
    names = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             int: "a number", float: "a number", type(None): "null"}
    return names.get(type(value), type(value).__name__)


def hex_digits(text: str) -> bytes | None:
    """The bytes that `text` spells in hexadecimal (blanks, ':' and a leading
    0x allowed), or None when it does not look like hexadecimal."""
    cleaned = text.strip()
    if cleaned[:2].lower() == "0x":
        cleaned = cleaned[2:]
    cleaned = "".join(cleaned.replace(":", " ").split())
    if not cleaned or any(c not in "0123456789abcdefABCDEF" for c in cleaned):
        return None
    if len(cleaned) % 2:
        raise Failure(f"odd number of hexadecimal digits ({len(cleaned)})", ["INPUT"])
    return bytes.fromhex(cleaned)


class Source:
    """The packets to parse: an open binary stream, or bytes given in hex."""

    def __init__(self, argument: str) -> None:
        self.name = argument
        self.stream: IO[bytes] | None = None
        self.data: bytes | None = None
        self.size: int | None = None
        if argument == "-":
            self.stream = sys.stdin.buffer
        elif os.path.exists(argument):
            try:
                self.stream = open(argument, "rb")
                self.size = os.fstat(self.stream.fileno()).st_size
            except OSError as error:
                raise Failure(error.strerror or str(error), [f"cannot read {argument}"]) from None
        else:
            self.data = hex_digits(argument)
            if self.data is None:
                raise Failure("No such file or directory, nor hexadecimal digits",
                              [f"cannot read {argument}"])
            self.size = len(self.data)

    def read(self, size: int) -> bytes:
        """Up to `size` bytes, fewer only at the end of the input; read from
        a stream a batch at a time."""
        if self.data is not None:
            piece, self.data = self.data[:size], self.data[size:]
            return piece
        assert self.stream is not None
        pieces = []
        while size > 0:
            try:
                chunk = self.stream.read(min(size, READ_BATCH_BYTES))
            except OSError as error:
                raise Failure(error.strerror or str(error), [f"cannot read {self.name}"]) from None
            if not chunk:
                break
            pieces.append(chunk)
            size -= len(chunk)
        return b"".join(pieces)

    def skip(self, size: int) -> int:
        """Passes over up to `size` bytes; how many there were."""
        if self.data is not None:
            skipped = min(size, len(self.data))
            self.data = self.data[skipped:]
            return skipped
        skipped = 0
        while skipped < size:
            piece = len(self.read(min(size - skipped, READ_BATCH_BYTES)))
            if not piece:
                break
            skipped += piece
        return skipped

    def batches(self, frame_bytes: int) -> Iterator[bytes]:
        """Whole frames of `frame_bytes` bytes, many at a time; a last batch
        whose length is not a multiple of `frame_bytes` ends in a short
        frame."""
        batch = max(1, READ_BATCH_BYTES // frame_bytes) * frame_bytes
        while True:
            pending = self.read(batch)
            if pending:
                yield pending
            if len(pending) < batch:
                return

    def reader(self) -> CountingReader:
        """The rest of the input as a binary file that counts what it
        hands out."""
        return CountingReader(self.name, io.BytesIO(self.data) if self.data is not None
                              else self.stream)

    def close(self) -> None:
        if self.stream is not None and self.stream is not sys.stdin.buffer:
            self.stream.close()


class CountingReader:
    """A binary stream for FrameCodec.iter_batches that counts the bytes it
    reads, so that a trailing partial frame is measured without reading the
    input twice, and turns reading errors into Failures."""

    def __init__(self, name: str, stream: IO[bytes] | None) -> None:
        assert stream is not None
        self.name = name
        self.stream = stream
        self.count = 0

    def readinto(self, buffer: Any) -> int:
        try:
            count: int = self.stream.readinto(buffer)  # type: ignore[attr-defined]
        except OSError as error:
            raise Failure(error.strerror or str(error), [f"cannot read {self.name}"]) from None
        self.count += count or 0
        return count or 0


# Writing the results.

class Progress:
    """A self-erasing progress line on standard error: frames done (of how
    many, when the input's length is known), the rate, and the time left.
    Shown on a terminal for inputs of PROGRESS_MIN_FRAMES frames or more
    (`when` "auto"), always, or never."""

    def __init__(self, total: int | None, when: str = "auto") -> None:
        self.total = total
        long_enough = total is None or total >= PROGRESS_MIN_FRAMES
        self.enabled = when == "always" or (when == "auto" and stderr_is_terminal()
                                            and long_enough)
        # An input of unknown length (a pipe) counts as long once it is.
        self.shown_from = PROGRESS_MIN_FRAMES if total is None and when == "auto" else 0
        self.started = time.monotonic()
        self.last_draw = 0.0
        self.width = 0

    def update(self, done: int) -> None:
        if not self.enabled or done < self.shown_from:
            return
        now = time.monotonic()
        if now - self.last_draw < PROGRESS_INTERVAL_SECONDS:
            return
        self.last_draw = now
        self.draw(self.text(done, now - self.started))

    def text(self, done: int, elapsed: float) -> str:
        parts = [f"bitloom: frame {done}"]
        if self.total:
            parts[0] += f" of {self.total} ({100 * done // self.total}%)"
        if elapsed > 0 and done:
            rate = done / elapsed
            parts.append(f"{frames_per_second(rate)}")
            if self.total and self.total >= done:
                parts.append(f"{clock(math.ceil((self.total - done) / rate))} left")
        return ", ".join(parts)

    def draw(self, text: str) -> None:
        self.width = max(self.width, len(text))
        try:
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()
        except (OSError, ValueError, AttributeError):
            self.enabled = False  # standard error went away: the work goes on

    def clear(self) -> None:
        if self.enabled and self.width:
            self.draw("")
            try:
                sys.stderr.write("\r")
                sys.stderr.flush()
            except (OSError, ValueError, AttributeError):
                pass
            self.width = 0


def stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (OSError, ValueError):
        return False


def frames_per_second(rate: float) -> str:
    for limit, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if rate >= limit:
            return f"{rate / limit:.1f} {unit} frames/s"
    return f"{rate:.0f} frames/s"


def clock(seconds: int) -> str:
    """h:mm:ss, or m:ss under an hour."""
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


Values = Mapping[str, "Column | StringColumn | BinaryColumn | Sequence[object]"]


def single_frame(fields: Mapping[str, object]) -> dict[str, list[object]]:
    return {name: [value] for name, value in fields.items()}


# json.dumps(text, ensure_ascii=False) without the encoder around it.
json_text: Callable[[str], str] = json.encoder.encode_basestring

# Text that csv's minimal quoting would quote.
CSV_SPECIAL = re.compile(r'[",\r\n]')


def csv_text(text: str) -> str:
    if CSV_SPECIAL.search(text):
        return '"' + text.replace('"', '""') + '"'
    return text


def json_number(value: object) -> str:
    # What json.dumps writes for a float: the shortest repr, NaN or Infinity.
    if isinstance(value, float) and not math.isfinite(value):
        return json.dumps(value)
    return repr(value)


class RowWriter:
    """Frames as lines, a batch at a time, built column by column: each
    column becomes a list of cells (text, already quoted or escaped), and
    each line joins one cell of every column.  Numbers of 16 bits or fewer
    are looked up in a table of their texts instead of being formatted one
    by one."""

    batch_bytes = READ_BATCH_BYTES
    separator = ","
    line_start = ""
    line_end = "\n"
    empty_line = "\n"

    def __init__(self, out: IO[str], names: Sequence[str]) -> None:
        self.out = out
        self.names = names

    def start(self) -> None:
        pass

    def finish(self) -> None:
        pass

    def prefix(self, index: int) -> str:
        """What goes before each cell of column `index`."""
        return ""

    def text_cells(self, texts: list[str]) -> list[str]:
        raise NotImplementedError

    def other_cells(self, values: Sequence[object]) -> list[str]:
        raise NotImplementedError

    def float_cells(self, values: list[float]) -> Iterable[str]:
        return map(repr, values)  # str(float) is its repr, as csv writes it

    def cells(self, index: int, column: Column | StringColumn | BinaryColumn | Sequence[object]
              ) -> list[str]:
        prefix = self.prefix(index)
        texts: Iterable[str]
        if isinstance(column, Column):
            values: list[Any] = column.tolist()
            if column.type in SMALL_NUMBER_TYPES:
                return list(map(number_texts(column.type, prefix).__getitem__, values))
            if column.type in ("float32", "float64"):
                texts = self.float_cells(values)
            else:
                texts = map(str, values)
        elif isinstance(column, StringColumn):
            texts = self.text_cells(column.tolist())  # type: ignore[arg-type]
        elif isinstance(column, BinaryColumn):
            texts = self.other_cells(column.tolist())
        elif all(isinstance(value, str) for value in column):
            texts = self.text_cells(column)  # type: ignore[arg-type]
        else:
            texts = self.other_cells(column)
        return list(map(prefix.__add__, texts)) if prefix else list(texts)

    def column_cells(self, index: int, column: Any) -> list[list[str]]:
        """The cells a column makes: one list of them per output column."""
        return [self.cells(index, column)]

    def write(self, columns: Values, frames: int) -> None:
        """`frames` rows, one per frame (a recipe without fields has no
        column to count them)."""
        if not columns:
            self.out.write(self.empty_line * frames)
            return
        cells = [cell for index, column in enumerate(columns.values())
                 for cell in self.column_cells(index, column)]
        lines = list(map(self.separator.join, zip(*cells)))
        between = self.line_end + self.line_start
        # A few hundred kilobytes a write: a reader that goes away is noticed
        # at the next one.
        for start in range(0, len(lines), ROWS_PER_WRITE):
            self.out.write(self.line_start + between.join(lines[start:start + ROWS_PER_WRITE])
                           + self.line_end)


# The numeric types whose every value's text fits a table: index a value
# (negative ones from the end, as a list allows) to get its text.
SMALL_NUMBER_TYPES = {"uint8": (0, 1 << 8), "int8": (-(1 << 7), 1 << 7),
                      "uint16": (0, 1 << 16), "int16": (-(1 << 15), 1 << 15)}


NUMBER_TEXTS: dict[tuple[str, str], list[str]] = {}


def number_texts(kind: str, prefix: str) -> list[str]:
    """The texts of every value of a small numeric type, made once per type
    and column prefix (a command has a few of each)."""
    texts = NUMBER_TEXTS.get((kind, prefix))
    if texts is None:
        low, high = SMALL_NUMBER_TYPES[kind]
        texts = NUMBER_TEXTS[kind, prefix] = [f"{prefix}{value}"
                                               for value in (*range(0, high), *range(low, 0))]
    return texts


class JsonLinesWriter(RowWriter):
    """One JSON object per frame, its keys in recipe order."""

    separator = ", "
    line_start = "{"
    line_end = "}\n"
    empty_line = "{}\n"

    def prefix(self, index: int) -> str:
        return json_text(self.names[index]) + ": "

    def text_cells(self, texts: list[str]) -> list[str]:
        return list(map(json_text, texts))

    def float_cells(self, values: list[float]) -> Iterable[str]:
        if all(map(math.isfinite, values)):
            return map(repr, values)
        return map(json_number, values)

    def other_cells(self, values: Sequence[object]) -> list[str]:
        # "binary": the array of ints that packing takes; an array field's
        # values as a list; or a single value.
        return [json.dumps(list(value)) if isinstance(value, bytes) else
                json.dumps(value) if isinstance(value, list) else
                json_number(value) for value in values]


class CsvWriter(RowWriter):
    """A header row of the field names, then one row per frame, quoted as
    csv.writer quotes by default.  An array of fixed length is one column
    per element, named NAME[0], NAME[1], ... (as a 2-D array becomes
    columns in a spreadsheet or a pandas frame); an array whose length
    varies is one cell holding its values as a JSON list ("[1, 2, 3]")."""

    def __init__(self, out: IO[str], names: Sequence[str], counts: Sequence[int | str | None] = ()) -> None:
        super().__init__(out, names)
        self.counts = tuple(counts) or (None,) * len(names)

    def start(self) -> None:
        header = [element for name, count in zip(self.names, self.counts)
                  for element in ([f"{name}[{k}]" for k in range(count)] if isinstance(count, int) else [name])]
        self.out.write(",".join(map(csv_text, header)) + "\n")

    def column_cells(self, index: int, column: Any) -> list[list[str]]:
        count = self.counts[index]
        if count is None:
            return [self.cells(index, column)]
        rows: list[Any] = column.tolist() if hasattr(column, "tolist") else list(column)
        if isinstance(count, str):
            return [[csv_text(json.dumps(row)) for row in rows]]
        return [[repr(row[k]) if isinstance(row[k], float) else str(row[k]) for row in rows] for k in range(count)]

    def text_cells(self, texts: list[str]) -> list[str]:
        quoted = list(map(csv_text, texts)) if CSV_SPECIAL.search("".join(texts)) else texts
        if len(self.names) == 1:
            # A lone empty field would make an empty line, which readers skip.
            return [text or '""' for text in quoted]
        return quoted

    def other_cells(self, values: Sequence[object]) -> list[str]:
        return [value.hex() if isinstance(value, bytes) else repr(value) for value in values]


class ColumnarWriter:
    """Parquet or Arrow IPC through pyarrow: each batch of columns is handed
    over through the Arrow interface of the columns (numeric ones without a
    copy) and written as one row group or record batch."""

    batch_bytes = COLUMNAR_BATCH_BYTES

    def __init__(self, out: IO[bytes], kind: str, empty: Frames) -> None:
        self.pyarrow = import_pyarrow(kind)
        if not empty:
            raise Failure(f"a recipe without fields has no columns to write as {kind}",
                          status=EXIT_USAGE)
        self.out = out
        self.kind = kind
        # The schema comes from the codec, so an empty dump still makes a
        # file that says what its columns are.
        self.schema = self.pyarrow.table(empty).schema
        self.writer: Any = None

    def start(self) -> None:
        if self.kind == "parquet":
            parquet = importlib.import_module("pyarrow.parquet")
            self.writer = parquet.ParquetWriter(self.out, self.schema)
        else:
            self.writer = self.pyarrow.ipc.new_file(self.out, self.schema)

    def write(self, columns: Values, frames: int) -> None:
        # Lists of values (a frame too large for a batch) take their types
        # from the schema; columns bring their own, which it names.
        self.writer.write_table(self.pyarrow.table(columns, schema=self.schema))

    def finish(self) -> None:
        """Writes the file's footer: the frames written so far make a file
        that readers take, also when a bad frame stopped the dump."""
        if self.writer is not None:
            writer, self.writer = self.writer, None
            writer.close()


def import_pyarrow(kind: str) -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        for module in ("pyarrow.ipc", "pyarrow.parquet"):
            importlib.import_module(module)
    except ImportError:
        raise Failure(f"--format {kind} needs pyarrow, which is not installed: {ARROW_ADVICE}",
                      status=EXIT_USAGE) from None
    return pyarrow


Writer = JsonLinesWriter | CsvWriter | ColumnarWriter


# The commands.

def command_pack(arguments: argparse.Namespace) -> None:
    codec = load_codec(arguments.recipe)
    try:
        packet = codec.pack({})
    except CODEC_ERRORS as error:
        raise codec_failure(error, status=EXIT_USAGE) from None
    except MemoryError:
        raise Failure(f"out of memory for a packet of {codec.size} bytes") from None
    if arguments.output is None:
        sys.stdout.write(packet.hex() + "\n")
        return
    try:
        with open(arguments.output, "wb") as target:
            target.write(packet)
    except OSError as error:
        raise Failure(error.strerror or str(error), [f"cannot write {arguments.output}"]) from None


def field_ends(codec: FrameCodec) -> list[int]:
    """Where each field ends (an array of fixed length: its last element; a
    "little_lsb0" field: its last byte, whose bits it numbers from the
    least significant)."""
    ends = [field.offset_bits + field.bits * (field.count if isinstance(field.count, int) else 1)
            for field in codec.fields]
    return [(end + 7) // 8 * 8 if field.byte_order == "little_lsb0" else end
            for end, field in zip(ends, codec.fields)]


def packet_bytes(codec: FrameCodec, offset_bits: int) -> int:
    """The bytes of a packet: its fields after `offset_bits`, or the frame
    the codec packs, whichever is longer."""
    ends = field_ends(codec)
    return max(codec.size, (offset_bits + max(ends, default=0) + 7) // 8)


def command_unpack(arguments: argparse.Namespace) -> None:
    if arguments.recipe == "-" and arguments.input == "-":
        raise Failure("RECIPE.json and INPUT cannot both be standard input", status=EXIT_USAGE)
    if arguments.output_dir is not None:
        unpack_stream(arguments)
        return
    recipe = load_recipe(arguments.recipe)
    try:
        codec = FrameCodec(recipe, text_padding=arguments.text_padding)
    except CODEC_ERRORS as error:
        raise codec_failure(error, [arguments.recipe], EXIT_USAGE) from None
    frame_bytes = arguments.frame_bytes
    # The frame size is checked against the recipe before any data, and
    # the empty result gives Parquet and Arrow their schema.
    try:
        if frame_bytes is not None:
            empty = codec.unpack_many(b"", frame_bytes=frame_bytes,
                                      offset_bits=arguments.offset_bits)
        else:
            empty = codec.unpack_many(b"", frame_bytes=max(codec.size, 1))
    except CODEC_ERRORS as error:
        raise codec_failure(error, ["--frame-bytes"], EXIT_USAGE) from None
    columnar = arguments.format in ("parquet", "arrow")
    if columnar:
        import_pyarrow(arguments.format)  # before any output is made
    with Output(arguments.output, arguments.format if columnar else None) as out:
        writer: Writer
        if columnar:
            writer = ColumnarWriter(out.binary, arguments.format, empty)
        elif arguments.format == "csv":
            writer = CsvWriter(out.text, codec.names, [field.count for field in codec.fields])
        else:
            writer = JsonLinesWriter(out.text, codec.names)
        source = Source(arguments.input)
        try:
            if frame_bytes is None:
                unpack_packet(codec, source, arguments.offset_bits, writer)
            elif frame_bytes > READ_BATCH_BYTES:
                writer.start()
                unpack_large_frames(codec, source, frame_bytes, arguments.offset_bits, writer,
                                    arguments.progress)
            else:
                writer.start()
                unpack_dump(codec, source, frame_bytes, arguments.offset_bits, writer,
                            arguments.progress)
        finally:
            source.close()
            writer.finish()


# ---- packet streams --------------------------------------------------------


def load_stream(path: str, text_padding: Any = "keep") -> Any:
    """The PacketStream of a stream definition: a JSON object with "header"
    (recipe items, or "ccsds"), "length_field", "length_add", "key_field",
    optional "expect" and "unknown", and "codecs" (key to recipe items: the
    whole packet, or with a "ccsds" header the fields after it)."""
    from bitloom.frames import PacketStream, ccsds

    try:
        definition = json.loads(read_bytes(path))
    except (ValueError, RecursionError) as error:
        raise Failure(f"not valid JSON: {error}", [path], EXIT_USAGE) from None
    if not isinstance(definition, dict) or not isinstance(definition.get("codecs"), dict):
        raise Failure('a stream definition is a JSON object with "header", "length_field", '
                      '"key_field" and "codecs"', [path], EXIT_USAGE)
    try:
        codecs: dict[int, FrameCodec] = {}
        is_ccsds = definition.get("header") == "ccsds"
        for key, items in definition["codecs"].items():
            try:
                number = int(key, 0)
                codecs[number] = (ccsds.packet_codec(items, text_padding=text_padding) if is_ccsds
                                  else FrameCodec(items, text_padding=text_padding))
            except CODEC_ERRORS as error:
                # With a "ccsds" header, item numbers count the header's items too.
                raise codec_failure(error, [path, f"the codec of key {key}"], EXIT_USAGE) from None
        if is_ccsds:
            return ccsds.stream(codecs, unknown=definition.get("unknown", "skip"))
        return PacketStream(definition.get("header"), length_field=str(definition.get("length_field")),
                            length_add=definition.get("length_add", 0), key_field=str(definition.get("key_field")),
                            codecs=codecs, unknown=definition.get("unknown", "skip"),
                            expect=definition.get("expect"))
    except CODEC_ERRORS as error:
        raise codec_failure(error, [path], EXIT_USAGE) from None


def stream_source(argument: str) -> Any:
    """What a packet stream reads: the file (or standard input), or hex."""
    if argument == "-":
        return sys.stdin.buffer
    if os.path.exists(argument):
        return argument
    data = hex_digits(argument)
    if data is None:
        raise Failure("not a file, and not hex digits", [argument], EXIT_USAGE)
    return data


def output_directory(path: str) -> str:
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise Failure(error.strerror or str(error), [f"cannot make {path}"], EXIT_USAGE) from None
    return path


def unpack_stream(arguments: argparse.Namespace) -> None:
    """unpack --output-dir: the packets of each key decoded into a file of
    their own, KEY.jsonl (.csv, .parquet, .arrow)."""
    stream = load_stream(arguments.recipe, arguments.text_padding)
    columnar = arguments.format in ("parquet", "arrow")
    if columnar:
        import_pyarrow(arguments.format)
    directory = output_directory(arguments.output_dir)
    outputs: dict[int, tuple[Output, Writer]] = {}

    def writer_of(key: int) -> Writer:
        if key not in outputs:
            codec = stream.codecs[key]
            out = Output(os.path.join(directory, f"{key}.{arguments.format}"),
                         arguments.format if columnar else None).__enter__()
            writer: Writer
            if columnar:
                writer = ColumnarWriter(out.binary, arguments.format,
                                        codec.unpack_many(b"", frame_bytes=max(codec.size, 1)))
            elif arguments.format == "csv":
                writer = CsvWriter(out.text, codec.names, [field.count for field in codec.fields])
            else:
                writer = JsonLinesWriter(out.text, codec.names)
            writer.start()
            outputs[key] = (out, writer)
        return outputs[key][1]

    try:
        for packets in stream.iter_batches(stream_source(arguments.input)):
            for key, frames in packets.items():
                if len(next(iter(frames.values()), ())):
                    writer_of(key).write(frames, len(next(iter(frames.values()))))
    except CODEC_ERRORS as error:
        raise codec_failure(error, [arguments.input]) from None
    except OSError as error:
        raise Failure(error.strerror or str(error), [f"cannot read {arguments.input}"]) from None
    finally:
        for out, writer in outputs.values():
            writer.finish()
            out.__exit__(None)


def command_split(arguments: argparse.Namespace) -> None:
    """The raw packets of each key, one after the other, in KEY.bin."""
    stream = load_stream(arguments.stream)
    stream.unknown = "keep"
    directory = output_directory(arguments.output_dir)
    files: dict[int, IO[bytes]] = {}
    try:
        for pieces in stream.iter_split(stream_source(arguments.input)):
            for key, packets in pieces.items():
                if key not in files:
                    files[key] = open(os.path.join(directory, f"{key}.bin"), "wb")
                files[key].write(packets)
    except CODEC_ERRORS as error:
        raise codec_failure(error, [arguments.input]) from None
    except OSError as error:
        raise Failure(error.strerror or str(error), [arguments.input]) from None
    finally:
        for file in files.values():
            file.close()


class Output:
    """Where unpack writes: standard output, or the file of --output; `text`
    for lines, `binary` for Parquet and Arrow."""

    def __init__(self, path: str | None, binary_format: str | None) -> None:
        self.path = None if path == "-" else path
        self.binary_format = binary_format
        self.file: IO[bytes] | None = None
        self.text: IO[str] = sys.stdout
        self.binary: IO[bytes] = sys.stdout.buffer

    def __enter__(self) -> Output:
        if self.path is None:
            if self.binary_format and stdout_is_terminal():
                raise Failure(f"--format {self.binary_format} writes binary data: redirect "
                              "standard output or pass --output FILE", status=EXIT_USAGE)
            return self
        try:
            self.file = self.binary = open(self.path, "wb")
        except OSError as error:
            raise Failure(error.strerror or str(error), [f"cannot write {self.path}"]) from None
        self.text = io.TextIOWrapper(self.file, encoding="utf-8", newline="\n")
        return self

    def __exit__(self, kind: object, *rest: object) -> None:
        if self.file is None:
            return
        try:
            if not self.binary_format:
                self.text.flush()
            self.file.close()
        except OSError as error:
            if kind is None:
                raise Failure(error.strerror or str(error), [f"cannot write {self.path}"]) from None


def stdout_is_terminal() -> bool:
    try:
        return sys.stdout.isatty()
    except (OSError, ValueError, AttributeError):
        return False


def unpack_packet(codec: FrameCodec, source: Source, offset_bits: int, writer: Writer) -> None:
    """One packet: its own bytes are read, and one more to learn whether the
    input goes on (then it is a dump, and the frame size is not guessed)."""
    fields = read_packet(codec, source, packet_bytes(codec, offset_bits), offset_bits)
    writer.start()
    writer.write(single_frame(fields), 1)


def read_packet(codec: FrameCodec, source: Source, size: int, offset_bits: int) -> dict[str, Any]:
    """The fields of the one packet of `size` bytes that INPUT must be.  A
    packet larger than a batch keeps only the bytes that hold its fields."""
    if size <= READ_BATCH_BYTES:
        packet = source.read(size)
        offset = offset_bits
        length = len(packet)
    else:
        skipped = offset_bits // 8
        ends = field_ends(codec)
        needed = (offset_bits % 8 + max(ends, default=0) + 7) // 8
        passed = source.skip(skipped)
        packet = source.read(needed) if passed == skipped else b""
        rest = source.skip(size - skipped - needed) if len(packet) == needed else 0
        length = passed + len(packet) + rest
        if length < size:
            raise Failure(f"short packet: {length} of {size} bytes", [f"INPUT {source.name}"])
        offset = offset_bits % 8
    if length == size and source.read(1):
        raise Failure(f"more than one packet of {size} bytes; pass --frame-bytes N to decode a "
                      "dump of frames of N bytes", [f"INPUT {source.name}"], EXIT_USAGE)
    try:
        return codec.unpack(packet, offset)
    except CODEC_ERRORS as error:
        raise codec_failure(error) from None


def unpack_dump(codec: FrameCodec, source: Source, frame_bytes: int, offset_bits: int,
                writer: Writer, show_progress: str = "auto") -> None:
    """Frames a batch at a time through FrameCodec.iter_batches.  A field
    that fails to decode is found without decoding the batch again: the
    batch is decoded with errors="null", the frames before the first failure
    are written, and the failure is reported by frame, byte and field."""
    total = None if source.size is None else -(-source.size // frame_bytes)
    progress = Progress(total, show_progress)
    reader = source.reader()
    done = 0
    try:
        batches = codec.iter_batches(reader, batch_frames=max(1, writer.batch_bytes // frame_bytes),
                                     frame_bytes=frame_bytes, offset_bits=offset_bits,
                                     ignore_partial=True, errors="null")
        while True:
            try:
                batch = next(batches, None)
            except CODEC_ERRORS as error:
                raise codec_failure(error) from None
            if batch is None:
                break
            frames = reader.count // frame_bytes - done
            failure = batch.first_error
            if failure is not None:
                kept = failure.frame - done
                writer.write({name: column[:kept] for name, column in batch.items()}, kept)
                raise Failure(failure.message, [
                    f"frame {failure.frame} (byte {failure.frame * frame_bytes})",
                    f"field {failure.field!r}"])
            writer.write(batch, frames)
            done += frames
            progress.update(done)
        rest = reader.count - done * frame_bytes
        if rest:
            raise short_frame(rest, frame_bytes, done)
    finally:
        progress.clear()


def short_frame(length: int, frame_bytes: int, frame: int) -> Failure:
    return Failure(f"short frame: {length} of {frame_bytes} bytes",
                   [f"frame {frame} (byte {frame * frame_bytes})"])


def unpack_large_frames(codec: FrameCodec, source: Source, frame_bytes: int, offset_bits: int,
                        writer: Writer, show_progress: str = "auto") -> None:
    """Frames longer than a batch, one at a time: only the bytes that hold
    the fields are kept, the rest of each frame is passed over, so memory
    stays bounded whatever the frame size."""
    skipped = offset_bits // 8
    ends = field_ends(codec)
    needed = (offset_bits % 8 + max(ends, default=0) + 7) // 8
    total = None if source.size is None else -(-source.size // frame_bytes)
    progress = Progress(total, show_progress)
    done = 0
    try:
        while True:
            passed = source.skip(skipped)
            fields = source.read(needed) if passed == skipped else b""
            rest = source.skip(frame_bytes - skipped - needed) if len(fields) == needed else 0
            length = passed + len(fields) + rest
            if length == 0:
                return
            if length < frame_bytes:
                raise short_frame(length, frame_bytes, done)
            try:
                values = codec.unpack(fields, offset_bits % 8)
            except CODEC_ERRORS as error:
                raise codec_failure(error, [f"frame {done} (byte {done * frame_bytes})"]) from None
            writer.write(single_frame(values), 1)
            done += 1
            progress.update(done)
    finally:
        progress.clear()


def command_layout(arguments: argparse.Namespace) -> None:
    from bitloom import layout
    picture = layout.diagram(load_codec(arguments.recipe))
    sys.stdout.write(layout.render_text(picture))
    if arguments.svg is not None:
        try:
            with open(arguments.svg, "w", encoding="utf-8") as target:
                target.write(layout.render_svg(picture))
        except OSError as error:
            raise Failure(error.strerror or str(error), [f"cannot write {arguments.svg}"]) from None


# Argument parsing.

def count(minimum: int, maximum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text[:40]!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}: {text[:40]}")
        if value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum}: {text[:40]}")
        return value
    return parse


class ArgumentParser(argparse.ArgumentParser):
    """Usage errors as one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        fail(f"{self.prog.removeprefix('bitloom ')}: {message}" if self.prog != "bitloom"
             else message, EXIT_USAGE)


class VersionAction(argparse.Action):
    """--version, looked up only when asked for: importlib.metadata costs a
    tenth of a second or more at every start."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        sys.stdout.write(f"{parser.prog} {version()}\n")
        parser.exit()


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed_version
    try:
        return installed_version("bitloom")
    except PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog="bitloom",
        description="Build bit-level packets from recipes, and parse packets with them.")
    parser.add_argument("--version", action=VersionAction, nargs=0,
                        help="show the installed version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    pack = commands.add_parser(
        "pack", help="build a packet from a recipe whose items carry values",
        description="Build a packet from a recipe whose items carry values and write it as "
                    "hexadecimal, or as raw bytes with --output.")
    pack.add_argument("recipe", metavar="RECIPE.json",
                      help="JSON array of recipe items, each with a \"value\" ('-': stdin)")
    pack.add_argument("--output", "-o", metavar="FILE", help="write the raw packet bytes to FILE")
    pack.set_defaults(run=command_pack)

    unpack = commands.add_parser(
        "unpack", help="parse one packet, or a dump of fixed-length frames",
        description="Parse one packet, or with --frame-bytes a dump of fixed-length frames, "
                    "and write one JSON object (or CSV row) per packet.")
    unpack.add_argument("recipe", metavar="RECIPE.json", help="JSON array of recipe items")
    unpack.add_argument("input", metavar="INPUT",
                        help="a file of packet bytes ('-': stdin), or the packet in "
                             "hexadecimal when no such file exists")
    unpack.add_argument("--offset-bits", type=count(0, 2**64 - 1), default=0, metavar="N",
                        help="bit position in each packet where the recipe starts (default 0)")
    unpack.add_argument("--frame-bytes", type=count(1, sys.maxsize), metavar="N",
                        help="split INPUT into frames of N bytes and parse each")
    unpack.add_argument("--format", choices=("jsonl", "csv", "parquet", "arrow"), default="jsonl",
                        help="JSON lines (default), CSV with a header row, or through pyarrow "
                             "(pip install 'bitloom[arrow]') a Parquet file or an Arrow IPC file")
    unpack.add_argument("--output", "-o", metavar="FILE",
                        help="write to FILE instead of standard output ('-')")
    unpack.add_argument("--text-padding", choices=("strip", "keep"), default="strip",
                        help="drop the NUL bytes that pad text fields (default), or keep them")
    unpack.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                        help="a progress line with the rate and the time left on standard "
                             "error: for long dumps on a terminal (default), always, or never")
    unpack.set_defaults(run=command_unpack)

    unpack.add_argument("--output-dir", metavar="DIR",
                        help="RECIPE.json is a stream definition: write each key's packets to DIR/KEY.FORMAT")
    split = commands.add_parser(
        "split", help="write the raw packets of each key of a packet stream to a file of their own",
        description="Frames the packets of INPUT by the stream definition's length rule and writes "
                    "the packets of each key to DIR/KEY.bin.")
    split.add_argument("stream", metavar="STREAM.json", help="JSON stream definition")
    split.add_argument("input", metavar="INPUT", help="file with the stream, '-' for standard input, or hex")
    split.add_argument("--output-dir", required=True, metavar="DIR", help="where the KEY.bin files go")
    split.set_defaults(run=command_split)
    layout = commands.add_parser(
        "layout", help="draw a recipe as a bit diagram, 32 bits a row",
        description="Draw where a recipe places its fields, as protocol documents draw "
                    "packets: 32 bits a row, bit numbers on top, unused bits shown.  Fields "
                    "are placed as FrameCodec places them.")
    layout.add_argument("recipe", metavar="RECIPE.json", help="JSON array of recipe items")
    layout.add_argument("--svg", metavar="FILE", help="also write the diagram as SVG to FILE")
    layout.set_defaults(run=command_layout)
    return parser


def quiet_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's
    own flush at exit cannot fail again and print a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def fail(line: str, status: int) -> NoReturn:
    try:
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError):
        quiet_stdout()
    try:
        sys.stderr.write(f"bitloom: error: {line}\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass  # standard error is closed too: the status says it
    raise SystemExit(status)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    if arguments.command is None:
        # Bare `bitloom`: the commands, and the status of a usage error.
        if sys.stdout is not None:
            parser.print_help(sys.stdout)
        return EXIT_USAGE
    if sys.stdout is None:
        fail("standard output is closed", EXIT_USAGE)
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Lines end in "\n" on every system, as JSON lines and CSV readers
        # expect; Windows would otherwise write "\r\n".
        sys.stdout.reconfigure(newline="\n")
    try:
        arguments.run(arguments)
        sys.stdout.flush()
    except Failure as failure:
        fail(failure.line(), failure.status)
    except UnicodeEncodeError as error:
        fail(f"cannot write text in the output's encoding ({error.encoding}); "
             "set PYTHONIOENCODING=utf-8", EXIT_DATA)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter from complaining again when it flushes at exit.
        quiet_stdout()
        return EXIT_DATA
    except OSError as error:
        # Reading errors are Failures: this is standard output (a full disk).
        quiet_stdout()
        fail(f"cannot write standard output: {error.strerror or error}", EXIT_DATA)
    except MemoryError:
        fail("out of memory", EXIT_DATA)
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    return 0
