"""The bitloom command: build a packet from a recipe, or parse packets with one.

    bitloom pack RECIPE.json [--output FILE]
    bitloom unpack RECIPE.json INPUT [--offset-bits N] [--frame-bytes N]
                                     [--format jsonl|csv]
    bitloom layout RECIPE.json [--svg FILE]

A recipe file holds a JSON array of recipe items, exactly the dicts that
pack_parameters and unpack_parameters take ("-" reads it from standard input).
Every failure is reported as one line on standard error, naming the frame and
the recipe item where they are known, with exit status 2.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

import bitloom

EXIT_FAILURE = 2

# Progress is shown on a terminal for inputs of at least this many frames,
# redrawn at most this often.
PROGRESS_MIN_FRAMES = 1000
PROGRESS_INTERVAL_SECONDS = 0.1

# Frames are read from a file in batches of about this many bytes.
READ_BATCH_BYTES = 1 << 20


class Failure(Exception):
    """A problem to report as one line: where it happened, then what."""

    def __init__(self, message: str, where: Sequence[str] = ()) -> None:
        super().__init__(message)
        self.where = list(where)

    def line(self) -> str:
        return ": ".join([*self.where, str(self)])


def engine_failure(error: ValueError, where: Sequence[str] = ()) -> Failure:
    """A recipe function's ValueError, with the recipe item its note names."""
    notes = [note.removeprefix("in ") for note in getattr(error, "__notes__", [])]
    return Failure(str(error), [*where, *notes])


# Reading the inputs.

def read_bytes(path: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as source:
            return source.read()
    except OSError as error:
        raise Failure(error.strerror or str(error), [f"cannot read {path}"]) from None


def load_recipe(path: str) -> list[Any]:
    """The recipe items of a JSON file.  Only their shape is checked here;
    their keys and values are checked by the recipe functions."""
    data = read_bytes(path)
    try:
        recipe = json.loads(data)
    except (ValueError, RecursionError) as error:  # JSONDecodeError, bad UTF-8
        raise Failure(f"not valid JSON: {error}", [path]) from None
    if not isinstance(recipe, list):
        raise Failure(f"a recipe is a JSON array of items, not {json_type(recipe)}", [path])
    for index, entry in enumerate(recipe):
        if not isinstance(entry, dict):
            raise Failure(f"a recipe item is a JSON object, not {json_type(entry)}",
                          [path, f"recipe item {index}"])
    return recipe


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

    def read_all(self) -> bytes:
        if self.data is not None:
            return self.data
        assert self.stream is not None
        try:
            return self.stream.read()
        except OSError as error:
            raise Failure(error.strerror or str(error), [f"cannot read {self.name}"]) from None

    def frames(self, frame_bytes: int) -> Iterator[bytes]:
        """Consecutive frames of `frame_bytes` bytes; a shorter last one too."""
        if self.data is not None:
            for start in range(0, len(self.data), frame_bytes):
                yield self.data[start:start + frame_bytes]
            return
        assert self.stream is not None
        batch = max(1, READ_BATCH_BYTES // frame_bytes) * frame_bytes
        pending = b""
        while True:
            try:
                chunk = self.stream.read(batch)
            except OSError as error:
                raise Failure(error.strerror or str(error), [f"cannot read {self.name}"]) from None
            if not chunk:
                break
            pending += chunk
            whole = len(pending) - len(pending) % frame_bytes
            for start in range(0, whole, frame_bytes):
                yield pending[start:start + frame_bytes]
            pending = pending[whole:]
        if pending:
            yield pending

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


class JsonLinesWriter:
    def __init__(self, out: IO[str]) -> None:
        self.out = out

    def write(self, fields: dict[str, int | float | str]) -> None:
        self.out.write(json.dumps(fields, ensure_ascii=False) + "\n")


class CsvWriter:
    """One header row from the first frame's field names, then one row per
    frame in that column order."""

    def __init__(self, out: IO[str]) -> None:
        self.writer = csv.writer(out, lineterminator="\n")
        self.columns: list[str] | None = None

    def write(self, fields: dict[str, int | float | str]) -> None:
        if self.columns is None:
            self.columns = list(fields)
            self.writer.writerow(self.columns)
        self.writer.writerow([fields[name] for name in self.columns])


# The commands.

def command_pack(arguments: argparse.Namespace) -> None:
    recipe = load_recipe(arguments.recipe)
    try:
        packet = bitloom.pack_parameters(recipe)
    except ValueError as error:
        raise engine_failure(error) from None
    if arguments.output is None:
        sys.stdout.write(packet.hex() + "\n")
        return
    try:
        with open(arguments.output, "wb") as target:
            target.write(packet)
    except OSError as error:
        raise Failure(error.strerror or str(error), [f"cannot write {arguments.output}"]) from None


def command_unpack(arguments: argparse.Namespace) -> None:
    if arguments.recipe == "-" and arguments.input == "-":
        raise Failure("RECIPE.json and INPUT cannot both be standard input")
    recipe = load_recipe(arguments.recipe)
    source = Source(arguments.input)
    out = sys.stdout
    writer = JsonLinesWriter(out) if arguments.format == "jsonl" else CsvWriter(out)
    try:
        if arguments.frame_bytes is None:
            packet = source.read_all()
            try:
                fields = bitloom.unpack_parameters(packet, arguments.offset_bits, recipe)
            except ValueError as error:
                raise engine_failure(error) from None
            writer.write(fields)
            return
        frame_bytes = arguments.frame_bytes
        total = None if source.size is None else -(-source.size // frame_bytes)
        progress = Progress(total)
        try:
            for number, frame in enumerate(source.frames(frame_bytes)):
                where = [f"frame {number} (byte {number * frame_bytes})"]
                if len(frame) < frame_bytes:
                    raise Failure(f"short frame: {len(frame)} of {frame_bytes} bytes", where)
                try:
                    fields = bitloom.unpack_parameters(frame, arguments.offset_bits, recipe)
                except ValueError as error:
                    raise engine_failure(error, where) from None
                writer.write(fields)
                progress.update(number + 1)
        finally:
            progress.clear()
    finally:
        source.close()


def command_layout(arguments: argparse.Namespace) -> None:
    from bitloom import layout
    recipe = load_recipe(arguments.recipe)
    try:
        picture = layout.diagram(recipe)
    except layout.RecipeError as error:
        raise Failure(str(error), [error.where]) from None
    sys.stdout.write(layout.render_text(picture))
    if arguments.svg is not None:
        try:
            with open(arguments.svg, "w", encoding="utf-8") as target:
                target.write(layout.render_svg(picture))
        except OSError as error:
            raise Failure(error.strerror or str(error), [f"cannot write {arguments.svg}"]) from None


# Argument parsing.

def count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}: {text}")
        return value
    return parse


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed_version
    try:
        return installed_version("bitloom")
    except PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="bitloom",
        description="Build bit-level packets from recipes, and parse packets with them.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

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
    unpack.add_argument("--offset-bits", type=count(0), default=0, metavar="N",
                        help="bit position in each packet where the recipe starts (default 0)")
    unpack.add_argument("--frame-bytes", type=count(1), metavar="N",
                        help="split INPUT into frames of N bytes and parse each")
    unpack.add_argument("--format", choices=("jsonl", "csv"), default="jsonl",
                        help="JSON lines (default) or CSV with a header row")
    unpack.set_defaults(run=command_unpack)

    layout = commands.add_parser(
        "layout", help="draw a recipe as a bit diagram, 32 bits a row",
        description="Draw where a recipe places its fields, as protocol documents draw "
                    "packets: 32 bits a row, bit numbers on top, unused bits and overlaps "
                    "shown.  Fields are placed as pack_parameters places them.")
    layout.add_argument("recipe", metavar="RECIPE.json", help="JSON array of recipe items")
    layout.add_argument("--svg", metavar="FILE", help="also write the diagram as SVG to FILE")
    layout.set_defaults(run=command_layout)
    return parser


def fail(line: str) -> NoReturn:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    sys.stderr.write(f"bitloom: error: {line}\n")
    sys.stderr.flush()
    raise SystemExit(EXIT_FAILURE)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = build_parser().parse_args(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Lines end in "\n" on every system, as JSON lines and CSV readers
        # expect; Windows would otherwise write "\r\n".
        sys.stdout.reconfigure(newline="\n")
    try:
        arguments.run(arguments)
        sys.stdout.flush()
    except Failure as failure:
        fail(failure.line())
    except UnicodeEncodeError as error:
        fail(f"cannot write text in the output's encoding ({error.encoding}); "
             "set PYTHONIOENCODING=utf-8")
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter from complaining again when it flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    return 0
