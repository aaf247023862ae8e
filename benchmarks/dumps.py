"""Whole dumps into columns: FrameCodec.unpack_many and iter_batches against
numpy structured dtypes plus shifts, ccsdspy's FixedLength.load and a copy of
the same bytes (the memory limit), at 1 M and 10 M frames; the memory the
columns take; their hand-over to pyarrow, polars and pandas; one and two
threads; and the `bitloom unpack` command end to end to Parquet and CSV.

    python benchmarks/dumps.py                  # everything, a table on stdout
    python benchmarks/dumps.py --frames 1000000 # one dump size
    python benchmarks/dumps.py --markdown FILE  # and append the tables to FILE
    python benchmarks/dumps.py --rss-only      # the 2 GB iter_batches check alone

Two frames:

- the 42-byte frame of 19 fields: a CCSDS primary header, unsigned and
  signed fields of 1 to 32 bits, binary16 and binary32 floats and an 8-byte
  ASCII status;
- the 16-field telemetry frame of the recipe benchmarks (benchmarks/frames.py),
  packed contiguously, so that most fields start and end inside a byte.

Each case is timed interleaved with its peers (repeat r of every one before
repeat r + 1 of any) and the median is kept; ratios are bitloom / peer, so
below 1 is faster.  The machine is shared: read the ratios, not the
absolute times.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy

from bitloom.frames import FrameCodec

import frames as telemetry
from report import write_section

HERE = Path(__file__).resolve().parent


def item(name: str, encoding: str, bits: int) -> dict:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False}


# The 42-byte frame: (name, encoding, bits); 336 bits.
FRAME_42 = [
    ("version", "unsigned", 3), ("type", "unsigned", 1), ("secondary", "unsigned", 1),
    ("apid", "unsigned", 11), ("flags", "unsigned", 2), ("sequence", "unsigned", 14),
    ("length", "unsigned", 16),
    ("seconds", "unsigned", 32), ("subseconds", "unsigned", 24),
    ("temperature", "twos_complement", 12), ("mode", "unsigned", 4),
    ("position", "twos_complement", 32), ("valid", "unsigned", 1),
    ("channel", "twos_complement", 7), ("offset", "twos_complement", 32),
    ("counter", "unsigned", 32), ("volts", "ieee754", 16), ("current", "ieee754", 32),
    ("status", "us-ascii", 64),
]
assert sum(bits for _, _, bits in FRAME_42) == 42 * 8 and len(FRAME_42) == 19
CCSDS_HEADER = ["version", "type", "secondary", "apid", "flags", "sequence", "length"]


def layout(fields) -> list[tuple[str, str, int, int]]:
    """(name, encoding, bits, start bit), contiguous."""
    placed, cursor = [], 0
    for name, encoding, bits in fields:
        placed.append((name, encoding, bits, cursor))
        cursor += bits
    return placed


def telemetry_fields() -> list[tuple[str, str, int]]:
    return [(field.name, telemetry.PACK_ENCODING[field.kind], field.bits)
            for field in telemetry.TELEMETRY_FIELDS]


class Frame:
    def __init__(self, label: str, fields, frame_bytes: int) -> None:
        self.label = label
        self.placed = layout(fields)
        self.frame_bytes = frame_bytes
        self.recipe = [item(name, encoding, bits) for name, encoding, bits, _ in self.placed]
        numeric = [entry for entry in self.recipe if entry["encoding"] != "us-ascii"]
        self.codec = FrameCodec(self.recipe, text_padding="strip")
        # The numeric fields alone, each where it lies in the whole frame.
        self.numeric_codec = FrameCodec([
            {**entry, "offset_bits": start} for entry, (*_, start) in zip(self.recipe, self.placed)
            if entry["encoding"] != "us-ascii"])
        self.numeric_count = len(numeric)

    def sample(self, count: int, seed: int = 1) -> bytes:
        """`count` frames of random values (text: a few status words)."""
        random = numpy.random.default_rng(seed)
        columns = {}
        for name, encoding, bits, _ in self.placed:
            if encoding == "unsigned":
                columns[name] = random.integers(0, 1 << bits, count, dtype=numpy.uint64)
            elif encoding == "twos_complement":
                columns[name] = random.integers(-(1 << (bits - 1)), 1 << (bits - 1), count)
            elif encoding == "ieee754":
                columns[name] = random.normal(28.0, 2.0, count).astype(numpy.float16
                                                                       if bits == 16 else numpy.float32)
            else:
                words = ["OK", "NOMINAL", "WARN", "SAFE-MOD", "TLM-0001"]
                columns[name] = [words[n] for n in random.integers(0, len(words), count)]
        if "length" in columns:  # CCSDS: one APID, counted packets of one length
            columns["version"][:] = 0
            columns["apid"][:] = 0x3AB
            columns["sequence"] = numpy.arange(count) % (1 << 14)
            columns["length"][:] = self.frame_bytes - 7
        return self.codec.pack_many({name: list(values) for name, values in columns.items()})

    def dump(self, frames: int) -> numpy.ndarray:
        """Up to a million distinct frames (as many values as a real dump
        has, for Parquet's dictionaries and compression), repeated beyond."""
        block = numpy.frombuffer(self.sample(min(frames, 1 << 20)), dtype=numpy.uint8)
        return numpy.resize(block, frames * self.frame_bytes)


# ---- the peers ----------------------------------------------------------------

def numpy_reader(frame: Frame):
    """What a numpy user writes: one structured dtype of big-endian words
    that overlap (each field's word is the smallest of 1, 2, 4 or 8 bytes
    that holds it), then a shift and a mask per field, and a sign extension
    or a view as float for the fields that need them."""
    names, formats, offsets, steps = [], [], [], []
    size = frame.frame_bytes
    for name, encoding, bits, start in frame.placed:
        if encoding == "us-ascii":
            continue
        first, last = start // 8, (start + bits - 1) // 8
        width = next(w for w in (1, 2, 4, 8) if w >= last - first + 1 and first + w <= size
                     or w == 8)
        first = min(first, size - width)
        shift = (first + width) * 8 - (start + bits)
        names.append(name)
        formats.append(f">u{width}")
        offsets.append(first)
        steps.append((name, encoding, bits, shift, width))
    dtype = numpy.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": size})
    unsigned = {1: numpy.uint8, 2: numpy.uint16, 4: numpy.uint32, 8: numpy.uint64}
    signed = {1: numpy.int8, 2: numpy.int16, 4: numpy.int32, 8: numpy.int64}

    def read(buffer):
        records = numpy.frombuffer(buffer, dtype=dtype)
        columns = {}
        for name, encoding, bits, shift, width in steps:
            word = records[name]
            native = min((w for w in (1, 2, 4, 8) if w * 8 >= bits), default=8)
            if shift == 0 and bits == width * 8:
                value = word.astype(unsigned[width])
            else:
                value = (word >> shift) & ((1 << bits) - 1)
                value = value.astype(unsigned[native])
            if encoding == "twos_complement":
                room = native * 8 - bits
                value = (value.view(signed[native]) << room) >> room if room else value.view(signed[native])
            elif encoding == "ieee754":
                value = value.view(numpy.float16 if bits == 16 else numpy.float32)
                value = value.astype(numpy.float32)
            columns[name] = value
        return columns

    return read


def ccsdspy_reader(frame: Frame, path: str, with_text: bool):
    """ccsdspy.FixedLength over the body after the primary header, or None
    where ccsdspy cannot describe the frame."""
    try:
        import ccsdspy
    except ImportError:
        return None
    import logging
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    if [name for name, *_ in frame.placed[:7]] != CCSDS_HEADER:
        return None  # not a CCSDS space packet
    kinds = {"unsigned": "uint", "twos_complement": "int", "ieee754": "float", "us-ascii": "str"}
    fields = []
    for name, encoding, bits, start in frame.placed[7:]:
        if encoding == "us-ascii" and not with_text:
            continue
        if encoding == "ieee754" and bits == 16:
            kind = "uint"  # ccsdspy has no binary16: its bits, to be converted by the user
        else:
            kind = kinds[encoding]
        fields.append(ccsdspy.PacketField(name=name, data_type=kind, bit_length=bits,
                                          bit_offset=start))
    definition = ccsdspy.FixedLength(fields)

    def read():
        return definition.load(path, include_primary_header=True)

    return read


# ---- timing ---------------------------------------------------------------------

def interleaved(statements: dict, repeats: int) -> dict[str, float]:
    """Median seconds of each labelled callable, the repeats interleaved."""
    samples: dict[str, list[float]] = {label: [] for label in statements}
    for run in statements.values():  # warm-up
        run()
    for _ in range(repeats):
        for label, run in statements.items():
            started = time.perf_counter()
            run()
            samples[label].append(time.perf_counter() - started)
    return {label: statistics.median(values) for label, values in samples.items()}


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def native_bytes(columns) -> int:
    """What the columns hold at their native widths, with text as its data
    and 32-bit offsets."""
    import pyarrow
    total = 0
    for column in columns.values():
        array = pyarrow.array(column)
        if pyarrow.types.is_string(array.type) or pyarrow.types.is_binary(array.type):
            total += len(array.buffers()[2] or b"") + 4 * (len(array) + 1)
        else:
            total += len(array) * array.type.bit_width // 8
    return total


class Table:
    def __init__(self, title: str, header: list[str]) -> None:
        self.title = title
        self.header = header
        self.rows: list[list[str]] = []

    def add(self, *cells: object) -> None:
        self.rows.append([str(cell) for cell in cells])
        print(" | ".join(self.rows[-1]), flush=True)

    def markdown(self) -> str:
        lines = [f"### {self.title}", "", "| " + " | ".join(self.header) + " |",
                 "|" + "---|" * len(self.header)]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines) + "\n"


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.1f}"


def verdict(value: float, target: float, below: bool = True) -> str:
    met = value <= target if below else value >= target
    return f"{'met' if met else 'MISSED'} ({'≤' if below else '≥'} {target:g})"


# ---- the cases --------------------------------------------------------------------

def decode_cases(frame: Frame, count: int, directory: Path, repeats: int, tables: dict,
                 before: str | None = None) -> None:
    dump = frame.dump(count)
    data = dump.tobytes()
    path = directory / f"{frame.label}-{count}.bin"
    path.write_bytes(data)
    copy_target = numpy.empty_like(dump)
    read_numpy = numpy_reader(frame)
    codec, numeric = frame.codec, frame.numeric_codec
    fb = frame.frame_bytes
    # The peers must agree with bitloom before they are timed.
    ours = numeric.unpack_many(data, frame_bytes=fb, threads=1)
    theirs = read_numpy(data)
    for name in theirs:
        assert numpy.array_equal(numpy.asarray(ours[name]), theirs[name], equal_nan=True), name

    statements = {
        "memcpy": lambda: numpy.copyto(copy_target, dump),
        "numeric, 1 thread": lambda: numeric.unpack_many(data, frame_bytes=fb, threads=1),
        "numeric, 2 threads": lambda: numeric.unpack_many(data, frame_bytes=fb, threads=2),
        "all fields, 1 thread": lambda: codec.unpack_many(data, threads=1),
        "all fields, 2 threads": lambda: codec.unpack_many(data, threads=2),
        "numpy structured + shifts": lambda: read_numpy(data),
    }
    ccsdspy_numeric = ccsdspy_reader(frame, str(path), with_text=False)
    if ccsdspy_numeric is not None:
        statements["ccsdspy FixedLength.load"] = ccsdspy_numeric
        loaded = ccsdspy_numeric()
        for name in ("position", "offset", "channel", "subseconds", "current"):
            assert numpy.array_equal(loaded[name], numpy.asarray(ours[name]), equal_nan=True), name
        assert numpy.array_equal(loaded["CCSDS_APID"], numpy.asarray(ours["apid"]))
    times = interleaved(statements, repeats if count <= 1_000_000 else max(3, repeats // 2))
    per_million = 1e6 / count
    table = tables.setdefault("speed", Table(
        "Decoding a dump, one thread unless said (median ms per million frames; ratio: bitloom / peer)",
        ["frame", "frames", "case", "ms / M frames", "x memcpy", "x numpy", "x ccsdspy"]))
    for label, seconds in times.items():
        ratios = [f"{seconds / times['memcpy']:.2f}",
                  f"{seconds / times['numpy structured + shifts']:.2f}",
                  f"{seconds / times['ccsdspy FixedLength.load']:.2f}"
                  if "ccsdspy FixedLength.load" in times else "-"]
        table.add(frame.label, f"{count:,}", label, ms(seconds * per_million), *ratios)
    if count == 1_000_000:
        targets = tables.setdefault("targets", Table("Targets (1 M frames)", ["target", "measured", "verdict"]))
        one, two = times["numeric, 1 thread"], times["numeric, 2 threads"]
        if frame.label.startswith("42"):
            targets.add("18 numeric fields, 1 thread, ≤ 20 ms", f"{ms(one)} ms", verdict(one * 1e3, 20))
            targets.add("… ≤ 0.7x numpy structured + shifts",
                        f"{one / times['numpy structured + shifts']:.2f}x",
                        verdict(one / times['numpy structured + shifts'], 0.7))
            if "ccsdspy FixedLength.load" in times:
                targets.add("… ≤ 0.15x ccsdspy", f"{one / times['ccsdspy FixedLength.load']:.2f}x",
                            verdict(one / times['ccsdspy FixedLength.load'], 0.15))
            every = times["all fields, 1 thread"]
            targets.add("19 fields with the text, ≤ 30 ms", f"{ms(every)} ms", verdict(every * 1e3, 30))
        targets.add(f"{frame.label}: two threads ≥ 1.7x one (numeric)", f"{one / two:.2f}x",
                    verdict(one / two, 1.7, below=False))

    # Memory: what the result holds against its native widths, and what the
    # process grew by to make it.
    if count == 1_000_000:
        resident = resident_bytes()
        result = codec.unpack_many(data, threads=1)
        grown = resident_bytes() - resident
        native = native_bytes(result)
        import pyarrow
        held = pyarrow.table(result).nbytes
        memory = tables.setdefault("memory", Table(
            "Memory per million frames",
            ["frame", "dump MiB", "native widths MiB", "columns MiB", "x native", "RSS growth MiB"]))
        memory.add(frame.label, f"{len(data) / 2**20:.1f}", f"{native / 2**20:.1f}",
                   f"{held / 2**20:.1f}", f"{held / native:.2f}", f"{grown / 2**20:.1f}")
        targets = tables["targets"]
        targets.add(f"{frame.label}: columns ≤ 1.1x native widths", f"{held / native:.2f}x",
                    verdict(held / native, 1.1))
        del result
        interchange_cases(frame, numeric.unpack_many(data, frame_bytes=fb, threads=1), repeats,
                          tables, one)
    if count == 1_000_000 and frame.label.startswith("42"):
        command_cases(frame, path, directory, tables, before)
    path.unlink()


def interchange_cases(frame: Frame, result, repeats: int, tables: dict, decode: float) -> None:
    import pandas
    import polars
    import pyarrow
    times = interleaved({
        "pyarrow.table": lambda: pyarrow.table(result),
        "polars.DataFrame": lambda: polars.DataFrame(result),
        "pandas.DataFrame": lambda: pandas.DataFrame(result),
        "pandas.DataFrame(copy=False)": lambda: pandas.DataFrame(result, copy=False),
        "pandas via Arrow (ArrowDtype)": lambda: pyarrow.table(result).to_pandas(
            types_mapper=pandas.ArrowDtype),
    }, repeats)
    table = tables.setdefault("interchange", Table(
        "Handing 1 M decoded frames (numeric columns) over (median ms; the decode itself beside)",
        ["frame", "conversion", "ms", "decode ms", "target ≤ 2 ms"]))
    for label, seconds in times.items():
        table.add(frame.label, label, ms(seconds), ms(decode), verdict(seconds * 1e3, 2))


def command_cases(frame: Frame, path: Path, directory: Path, tables: dict,
                  before: str | None = None) -> None:
    """The installed command, and with `before` (a git revision) the
    command of that revision beside it, on the same dump."""
    import json
    recipe = directory / "recipe.json"
    recipe.write_text(json.dumps(frame.recipe))
    commands = {"": [sys.executable, "-m", "bitloom"]}
    if before:
        old = subprocess.run(["git", "show", f"{before}:bitloom/cli.py"], cwd=HERE, check=True,
                             capture_output=True, text=True).stdout
        (directory / "cli_before.py").write_text(old)
        commands[f" (command of {before})"] = [sys.executable, "-c",
                                                "import sys, cli_before; sys.exit(cli_before.main())"]
    table = tables.setdefault("command", Table(
        "`bitloom unpack` end to end, 1 M frames of 42 bytes (median of 3 runs, s)",
        ["output", "s", "target"]))
    for fmt, target in (("parquet", 1.0), ("arrow", None), ("csv", 4.2 / 3), ("jsonl", None)):
        for label, command in commands.items():
            if label and fmt not in ("csv", "jsonl"):
                continue
            out = directory / f"out.{fmt}"
            seconds = []
            for _ in range(3):
                started = time.perf_counter()
                with open(out, "wb") as sink:
                    subprocess.run([*command, "unpack", str(recipe), str(path), "--frame-bytes",
                                    str(frame.frame_bytes), "--format", fmt], check=True,
                                   cwd=directory, stdout=sink)
                seconds.append(time.perf_counter() - started)
            median = statistics.median(seconds)
            table.add(fmt + label, f"{median:.2f}", verdict(median, target) if target and not label else "-")
            out.unlink()


RSS_SCRIPT = """
import sys
from bitloom.frames import FrameCodec
import json
codec = FrameCodec(json.loads(sys.argv[1]), text_padding="strip")
frames = 0
for batch in codec.iter_batches(sys.argv[2], batch_frames=65536):
    frames += len(batch["apid"])
# VmHWM is this process's own peak: ru_maxrss keeps the parent's across exec.
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(frames, peak * 1024)
"""


def rss_case(frame: Frame, directory: Path, tables: dict, size: int = 2 << 30) -> None:
    """iter_batches over a dump of `size` bytes, in a process of its own:
    its peak resident memory.  The dump is written in pieces and deleted."""
    import json
    path = directory / "large.bin"
    block = frame.dump(1 << 20).tobytes()  # 42 MiB
    frames = size // frame.frame_bytes
    with open(path, "wb") as file:
        written = 0
        while written < frames * frame.frame_bytes:
            piece = block[:frames * frame.frame_bytes - written]
            file.write(piece)
            written += len(piece)
    try:
        started = time.perf_counter()
        result = subprocess.run([sys.executable, "-c", RSS_SCRIPT, json.dumps(frame.recipe), str(path)],
                                check=True, capture_output=True, text=True, cwd=directory)
        elapsed = time.perf_counter() - started
    finally:
        path.unlink()
    decoded, peak = map(int, result.stdout.split())
    assert decoded == frames, (decoded, frames)
    table = tables.setdefault("targets", Table("Targets (1 M frames)", ["target", "measured", "verdict"]))
    table.add(f"iter_batches over a {size / 2**30:.0f} GiB dump ({frames:,} frames, {elapsed:.1f} s): "
              "peak RSS < 200 MB", f"{peak / 1e6:.0f} MB", verdict(peak / 1e6, 200))


METHOD = """One run of `benchmarks/dumps.py` (part of `make bench`): each case is timed
interleaved with its peers on the same bytes and the median of the repeats is
kept. numpy reads each field as the smallest big-endian word that holds it
(one structured dtype of overlapping fields) and shifts and masks it;
ccsdspy's `FixedLength.load` reads the same file (binary16 as its bits: it
has no half floats); memcpy is `numpy.copyto` of the dump. Columns' memory
is what `pyarrow.table(result).nbytes` counts (the columns' own buffers,
shared without a copy) against their native widths. The 2 GiB `iter_batches`
case runs in a process of its own and reports its peak RSS.
"""


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, action="append",
                        help="dump sizes in frames (default: 1,000,000 and 10,000,000)")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--markdown", type=Path, help="append the tables to this file")
    parser.add_argument("--rss-only", action="store_true")
    parser.add_argument("--no-rss", action="store_true")
    parser.add_argument("--command-before", metavar="REV",
                        help="also time the command of this git revision (CSV and JSON lines)")
    arguments = parser.parse_args(argv)
    frames_42 = Frame("42-byte, 19 fields", FRAME_42, 42)
    frames_16 = Frame("30-byte, 16 fields", telemetry_fields(), 30)
    tables: dict[str, Table] = {}
    with tempfile.TemporaryDirectory(prefix="bitloom-dumps-") as temporary:
        directory = Path(temporary)
        if not arguments.rss_only:
            for count in arguments.frames or [1_000_000, 10_000_000]:
                for frame in (frames_42, frames_16):
                    decode_cases(frame, count, directory, arguments.repeats, tables,
                                 arguments.command_before)
        if not arguments.no_rss:
            rss_case(frames_42, directory, tables)
    load = os.getloadavg()
    text = (f"Load average at the end: {load[0]:.1f} (1 min), {load[1]:.1f} (5 min) on "
            f"{os.cpu_count()} processors.\n\n" + "\n".join(table.markdown() for table in tables.values()))
    print()
    print(text)
    if arguments.markdown:
        # The section replaces the one of an earlier run, if the file has it.
        write_section(arguments.markdown, "## Dumps into columns (benchmarks/dumps.py)", METHOD + "\n" + text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
