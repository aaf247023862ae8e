"""The bitloom command: build a packet from a recipe, or parse packets with one.

    bitloom pack RECIPE.json [--output FILE]
    bitloom unpack RECIPE.json INPUT [--offset-bits N] [--frame-bytes N]
                                     [--format jsonl|csv]
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
fields at a time.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import re
import sys
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import IO, Any, NoReturn

from bitloom.frames import BinaryColumn, Column, FrameCodec, StringColumn

EXIT_USAGE = 2
EXIT_DATA = 1

# Progress is shown on a terminal for inputs of at least this many frames,
# redrawn at most this often.
PROGRESS_MIN_FRAMES = 1000
PROGRESS_INTERVAL_SECONDS = 0.1

# Frames are read from a file in batches of about this many bytes, and
# written this many lines at a time.
READ_BATCH_BYTES = 1 << 20
ROWS_PER_WRITE = 4096


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

    def close(self) -> None:
        if self.stream is not None and self.stream is not sys.stdin.buffer:
            self.stream.close()


# Writing the results.

class Progress:
    """A self-erasing "frame N of M" line on a terminal's standard error."""

    def __init__(self, total: int | None) -> None:
        self.total = total
        self.enabled = sys.stderr.isatty() and (total is None or total >= PROGRESS_MIN_FRAMES)
        # An input of unknown length (a pipe) counts as long once it is.
        self.shown_from = PROGRESS_MIN_FRAMES if total is None else 0
        self.last_draw = 0.0
        self.width = 0

    def update(self, done: int) -> None:
        if not self.enabled or done < self.shown_from:
            return
        now = time.monotonic()
        if now - self.last_draw < PROGRESS_INTERVAL_SECONDS:
            return
        self.last_draw = now
        if self.total:
            text = f"bitloom: frame {done} of {self.total} ({100 * done // self.total}%)"
        else:
            text = f"bitloom: frame {done}"
        self.width = max(self.width, len(text))
        sys.stderr.write("\r" + text.ljust(self.width))
        sys.stderr.flush()

    def clear(self) -> None:
        if self.enabled and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0


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
    """Frames as lines, a batch at a time: each column becomes a list of
    values and a conversion ("%d", "%r" or "%s" of prepared text), and one
    line template formats a whole row."""

    def __init__(self, out: IO[str], names: Sequence[str]) -> None:
        self.out = out
        self.names = names

    def start(self) -> None:
        pass

    def line_template(self, conversions: list[str]) -> str:
        raise NotImplementedError

    def text_column(self, texts: Sequence[str]) -> Sequence[str]:
        raise NotImplementedError

    def other_column(self, values: Sequence[object]) -> list[str]:
        raise NotImplementedError

    def float_column(self, values: Sequence[object]) -> tuple[str, Sequence[object]]:
        return "%r", values  # str(float) is its repr, as csv writes it

    def prepared(self, column: Column | StringColumn | BinaryColumn | Sequence[object]
                 ) -> tuple[str, Sequence[object]]:
        if isinstance(column, Column):
            values = column.tolist()
            if column.type not in ("float32", "float64"):
                return "%d", values
            return self.float_column(values)
        if isinstance(column, (StringColumn, BinaryColumn)):
            column = column.tolist()
        if all(isinstance(value, str) for value in column):
            return "%s", self.text_column(column)  # type: ignore[arg-type]
        return "%s", self.other_column(column)

    def write(self, columns: Values, frames: int) -> None:
        """`frames` rows, one per frame (a recipe without fields has no
        column to count them)."""
        conversions, values = zip(*map(self.prepared, columns.values())) if columns else ((), ())
        template = self.line_template(list(conversions))
        rows = list(zip(*values)) if columns else [()] * frames
        # A few hundred kilobytes a write: a reader that goes away is noticed
        # at the next one.
        for start in range(0, len(rows), ROWS_PER_WRITE):
            self.out.write("".join([template % row for row in rows[start:start + ROWS_PER_WRITE]]))


class JsonLinesWriter(RowWriter):
    """One JSON object per frame, its keys in recipe order."""

    def line_template(self, conversions: list[str]) -> str:
        keys = [json_text(name).replace("%", "%%") for name in self.names]
        return "{" + ", ".join(f"{key}: {conversion}"
                               for key, conversion in zip(keys, conversions)) + "}\n"

    def text_column(self, texts: Sequence[str]) -> Sequence[str]:
        return list(map(json_text, texts))

    def float_column(self, values: Sequence[object]) -> tuple[str, Sequence[object]]:
        if all(map(math.isfinite, values)):  # type: ignore[arg-type]
            return "%r", values
        return "%s", [json_number(value) for value in values]

    def other_column(self, values: Sequence[object]) -> list[str]:
        # "binary": the array of ints that packing takes; or a single value.
        return [json.dumps(list(value)) if isinstance(value, bytes) else
                json_number(value) for value in values]


class CsvWriter(RowWriter):
    """A header row of the field names, then one row per frame, quoted as
    csv.writer quotes by default."""

    def start(self) -> None:
        self.out.write(",".join(map(csv_text, self.names)) + "\n")

    def line_template(self, conversions: list[str]) -> str:
        if len(conversions) == 1 and conversions[0] == "%s":
            # A lone empty field would make an empty line, which readers skip.
            return "%s\n"
        return ",".join(conversions) + "\n"

    def text_column(self, texts: Sequence[str]) -> Sequence[str]:
        quoted = list(map(csv_text, texts)) if CSV_SPECIAL.search("".join(texts)) else texts
        if len(self.names) == 1:
            return [text or '""' for text in quoted]
        return quoted

    def other_column(self, values: Sequence[object]) -> list[str]:
        return [value.hex() if isinstance(value, bytes) else repr(value) for value in values]


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


def packet_bytes(codec: FrameCodec, offset_bits: int) -> int:
    """The bytes of a packet: its fields after `offset_bits`, or the frame
    the codec packs, whichever is longer."""
    ends = [field.offset_bits + field.bits for field in codec.fields]
    return max(codec.size, (offset_bits + max(ends, default=0) + 7) // 8)


def command_unpack(arguments: argparse.Namespace) -> None:
    if arguments.recipe == "-" and arguments.input == "-":
        raise Failure("RECIPE.json and INPUT cannot both be standard input", status=EXIT_USAGE)
    codec = load_codec(arguments.recipe)
    frame_bytes = arguments.frame_bytes
    if frame_bytes is not None:
        # The frame size is checked against the recipe before any data.
        try:
            codec.unpack_many(b"", frame_bytes=frame_bytes, offset_bits=arguments.offset_bits)
        except CODEC_ERRORS as error:
            raise codec_failure(error, ["--frame-bytes"], EXIT_USAGE) from None
    source = Source(arguments.input)
    writer_type = JsonLinesWriter if arguments.format == "jsonl" else CsvWriter
    writer = writer_type(sys.stdout, codec.names)
    try:
        if frame_bytes is None:
            # One packet: its own bytes are read, and one more to learn
            # whether the input goes on (then it is a dump, and the frame
            # size is not guessed).
            size = packet_bytes(codec, arguments.offset_bits)
            fields = read_packet(codec, source, size, arguments.offset_bits)
            writer.start()
            writer.write(single_frame(fields), 1)
            return
        writer.start()
        if frame_bytes > READ_BATCH_BYTES:
            unpack_large_frames(codec, source, frame_bytes, arguments.offset_bits, writer)
        else:
            unpack_dump(codec, source, frame_bytes, arguments.offset_bits, writer)
    finally:
        source.close()


def read_packet(codec: FrameCodec, source: Source, size: int, offset_bits: int) -> dict[str, Any]:
    """The fields of the one packet of `size` bytes that INPUT must be.  A
    packet larger than a batch keeps only the bytes that hold its fields."""
    if size <= READ_BATCH_BYTES:
        packet = source.read(size)
        offset = offset_bits
        length = len(packet)
    else:
        skipped = offset_bits // 8
        ends = [field.offset_bits + field.bits for field in codec.fields]
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
                writer: JsonLinesWriter | CsvWriter) -> None:
    """Frames a batch at a time through unpack_many; a batch that fails is
    read again frame by frame, so that the frames before the bad one are
    written and the bad one is named."""
    total = None if source.size is None else -(-source.size // frame_bytes)
    progress = Progress(total)
    done = 0
    try:
        for batch in source.batches(frame_bytes):
            whole = len(batch) // frame_bytes
            try:
                columns = codec.unpack_many(batch, frame_bytes=frame_bytes,
                                            offset_bits=offset_bits, ignore_partial=True)
            except CODEC_ERRORS as error:
                unpack_frame_by_frame(codec, batch, whole, done, frame_bytes, offset_bits, writer)
                raise codec_failure(error) from None
            writer.write(columns, whole)
            done += whole
            progress.update(done)
            if len(batch) % frame_bytes:
                raise short_frame(len(batch) % frame_bytes, frame_bytes, done)
    finally:
        progress.clear()


def short_frame(length: int, frame_bytes: int, frame: int) -> Failure:
    return Failure(f"short frame: {length} of {frame_bytes} bytes",
                   [f"frame {frame} (byte {frame * frame_bytes})"])


def unpack_large_frames(codec: FrameCodec, source: Source, frame_bytes: int, offset_bits: int,
                        writer: JsonLinesWriter | CsvWriter) -> None:
    """Frames longer than a batch, one at a time: only the bytes that hold
    the fields are kept, the rest of each frame is passed over, so memory
    stays bounded whatever the frame size."""
    skipped = offset_bits // 8
    ends = [field.offset_bits + field.bits for field in codec.fields]
    needed = (offset_bits % 8 + max(ends, default=0) + 7) // 8
    total = None if source.size is None else -(-source.size // frame_bytes)
    progress = Progress(total)
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


def unpack_frame_by_frame(codec: FrameCodec, batch: bytes, frames: int, first: int,
                          frame_bytes: int, offset_bits: int,
                          writer: JsonLinesWriter | CsvWriter) -> None:
    for number in range(frames):
        try:
            fields = codec.unpack(batch, number * frame_bytes * 8 + offset_bits)
        except CODEC_ERRORS as error:
            frame = first + number
            raise codec_failure(error, [f"frame {frame} (byte {frame * frame_bytes})"]) from None
        writer.write(single_frame(fields), 1)


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
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
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
    unpack.add_argument("--format", choices=("jsonl", "csv"), default="jsonl",
                        help="JSON lines (default) or CSV with a header row")
    unpack.set_defaults(run=command_unpack)

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
