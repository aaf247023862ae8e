"""Packet streams against ccsdspy, and the stream path against FrameCodec.

    python benchmarks/streams.py                  # the three targets, a table on stdout
    python benchmarks/streams.py --markdown FILE  # and put the tables into FILE
    python benchmarks/streams.py --quick          # small streams, one repeat: does it run

The cases, each timed interleaved with its peers on the same bytes (repeat r
of every call before repeat r + 1 of any), median CPU time (the machine may
be shared; wall time is printed beside it):

- a mixed stream of five APIDs, 64 MiB: bitloom's split and decode in one
  call (ccsds.stream(...).unpack_many) against ccsdspy's split_by_apid
  followed by FixedLength.load per APID, and against FrameCodec.unpack_many
  on each APID's packets already split (the cost of framing);
- 4 MiB of variable-length packets of one APID, an expanding array of 16-bit
  channels between a mode byte and a CRC: the stream against ccsdspy's
  VariableLength.load with array_shape="expand";
- one APID of fixed-length packets through the stream against
  FrameCodec.unpack_many on the same bytes.

Every peer's values are compared with bitloom's before anything is timed.
"""

from __future__ import annotations

import argparse
import io
import logging
import os
import random
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from bitloom.frames import ccsds

from report import write_section


HEADING = "## Packet streams (benchmarks/streams.py)"


def unsigned(name: str, bits: int, encoding: str = "unsigned", **extra: Any) -> dict[str, Any]:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False,
            **extra}


# Five APIDs: name, bits, ccsdspy type.
BODIES: dict[int, list[tuple[str, int, str]]] = {
    0x010: [("a", 16, "uint"), ("b", 12, "int"), ("c", 4, "uint"), ("d", 32, "float"), ("e", 8, "uint")]
    + [(f"x{i}", 16, "uint") for i in range(10)],
    0x011: [("volts", 16, "uint"), ("amps", 16, "int"), ("mode", 8, "uint")],
    0x012: [(f"ch{i}", 24, "uint") for i in range(40)],
    0x013: [("t", 64, "uint"), ("flags", 3, "uint"), ("rest", 13, "uint"), ("f", 64, "float")],
    0x014: [(f"w{i}", 32, "uint") for i in range(6)] + [("s", 7, "uint"), ("u", 9, "int")],
}
ENCODING = {"uint": "unsigned", "int": "twos_complement", "float": "ieee754"}
VARIABLE_APID = 0x020
# The variable packets: a mode byte, 0 to MAX_CHANNELS 16-bit channels, a CRC.
MAX_CHANNELS = 200


def import_ccsdspy() -> Any:
    """ccsdspy, or None where it is not installed."""
    try:
        import ccsdspy
    except ImportError:
        return None
    # It warns of sequence counts out of order: the streams are random.
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    return ccsdspy


def values(column: Any) -> list[Any]:
    return column.to_pylist() if hasattr(column, "to_pylist") else column.tolist()


def codec_of(apid: int) -> Any:
    return ccsds.packet_codec([unsigned(name, bits, ENCODING[kind]) for name, bits, kind in BODIES[apid]])


def variable_codec() -> Any:
    return ccsds.packet_codec([unsigned("mode", 8), unsigned("ch", 16, count="rest"), unsigned("crc", 16)])


def header(apid: int, sequence: int, size: int) -> bytes:
    return bytes([0x08 | (apid >> 8), apid & 0xFF, 0xC0 | (sequence >> 8 & 0x3F), sequence & 0xFF]) + \
        (size - 7).to_bytes(2, "big")


def packets_of(apid: int, count: int, rng: random.Random) -> list[bytes]:
    size = codec_of(apid).size
    return [header(apid, sequence, size) + rng.randbytes(size - 6) for sequence in range(count)]


def mixed_stream(megabytes: float, seed: int = 1) -> bytes:
    rng = random.Random(seed)
    pools = {apid: packets_of(apid, 512, rng) for apid in BODIES}
    apids = list(BODIES)
    parts: list[bytes] = []
    total = 0
    while total < megabytes * 2**20:
        packet = rng.choice(pools[rng.choice(apids)])
        parts.append(packet)
        total += len(packet)
    return b"".join(parts)


def variable_stream(megabytes: float, seed: int = 2) -> bytes:
    rng = random.Random(seed)
    parts: list[bytes] = []
    total = 0
    sequence = 0
    while total < megabytes * 2**20:
        body = rng.randbytes(1 + 2 * rng.randrange(MAX_CHANNELS + 1) + 2)
        parts.append(header(VARIABLE_APID, sequence, 6 + len(body)) + body)
        total += len(parts[-1])
        sequence += 1
    return b"".join(parts)


# ---- timing ---------------------------------------------------------------------

def interleaved(calls: dict[str, Callable[[], Any]], repeats: int) -> dict[str, tuple[float, float]]:
    """Median (CPU, wall) seconds of each labelled call, the repeats interleaved
    after one warm-up call each."""
    samples: dict[str, list[tuple[float, float]]] = {label: [] for label in calls}
    for call in calls.values():
        call()
    for _ in range(repeats):
        for label, call in calls.items():
            cpu, wall = time.process_time(), time.perf_counter()
            call()
            samples[label].append((time.process_time() - cpu, time.perf_counter() - wall))
    return {label: (statistics.median(s[0] for s in values), statistics.median(s[1] for s in values))
            for label, values in samples.items()}


class Report:
    def __init__(self) -> None:
        self.times: list[tuple[str, str, float, float]] = []  # case, call, cpu, wall
        self.targets: list[tuple[str, float, float]] = []  # what, ratio, target

    def add_times(self, case: str, times: dict[str, tuple[float, float]]) -> None:
        for label, (cpu, wall) in times.items():
            self.times.append((case, label, cpu, wall))
            print(f"{case:<34} {label:<52} {cpu * 1e3:9.1f} {wall * 1e3:9.1f}", flush=True)

    def add_target(self, what: str, ratio: float, target: float) -> None:
        self.targets.append((what, ratio, target))
        print(f"{what}: {ratio:.3f}x (target <= {target:g}x) {verdict(ratio, target)}", flush=True)

    def markdown(self) -> str:
        load = os.getloadavg()
        lines = [f"Load average at the end: {load[0]:.1f} (1 min), {load[1]:.1f} (5 min) on "
                 f"{os.cpu_count()} processors.", "", "### Targets (ratio of median CPU times: bitloom / peer)", "",
                 "| target | measured | verdict |", "|---|---|---|"]
        lines += [f"| {what} | {ratio:.3f}x | {verdict(ratio, target)} (≤ {target:g}) |"
                  for what, ratio, target in self.targets]
        lines += ["", "### Times (median ms)", "", "| case | call | CPU ms | wall ms |", "|---|---|---|---|"]
        lines += [f"| {case} | {label} | {cpu * 1e3:.1f} | {wall * 1e3:.1f} |"
                  for case, label, cpu, wall in self.times]
        return "\n".join(lines) + "\n"


def verdict(ratio: float, target: float) -> str:
    return "met" if ratio <= target else "MISSED"


# ---- the cases --------------------------------------------------------------------

def mixed_case(report: Report, megabytes: float, repeats: int) -> None:
    data = mixed_stream(megabytes)
    codecs = {apid: codec_of(apid) for apid in BODIES}
    stream = ccsds.stream(codecs)
    split = stream.split(data)
    calls: dict[str, Callable[[], Any]] = {
        "bitloom: stream.unpack_many (split and decode)": lambda: stream.unpack_many(data, threads=1),
        "bitloom: FrameCodec.unpack_many per APID, already split":
            lambda: [codecs[apid].unpack_many(part, threads=1) for apid, part in split.items()],
    }
    ccsdspy = import_ccsdspy()
    if ccsdspy is not None:
        from ccsdspy.utils import split_by_apid
        definitions = {apid: ccsdspy.FixedLength([ccsdspy.PacketField(name=name, data_type=kind, bit_length=bits)
                                                  for name, bits, kind in BODIES[apid]]) for apid in BODIES}

        def peer() -> dict[int, Any]:
            return {apid: definitions[apid].load(part, include_primary_header=True)
                    for apid, part in split_by_apid(io.BytesIO(data)).items()}

        import numpy
        ours, theirs = stream.unpack_many(data), peer()
        assert set(ours) == set(theirs)
        for apid, columns in ours.items():
            for name, _, _ in BODIES[apid]:
                assert numpy.array_equal(theirs[apid][name], numpy.asarray(columns[name]), equal_nan=True), \
                    (apid, name)
            assert numpy.array_equal(theirs[apid]["CCSDS_SEQUENCE_COUNT"], numpy.asarray(columns["sequence_count"]))
        calls["ccsdspy: split_by_apid + FixedLength.load per APID"] = peer
    label = f"{len(data) / 2**20:.3g} MiB, five APIDs"
    times = interleaved(calls, repeats)
    report.add_times(label, times)
    ours_cpu = times["bitloom: stream.unpack_many (split and decode)"][0]
    if ccsdspy is not None:
        report.add_target(f"{label}, split + decode vs ccsdspy split_by_apid + load per APID",
                          ours_cpu / times["ccsdspy: split_by_apid + FixedLength.load per APID"][0], 0.2)


def variable_case(report: Report, megabytes: float, repeats: int) -> None:
    ccsdspy = import_ccsdspy()
    if ccsdspy is None:
        return
    data = variable_stream(megabytes)
    stream = ccsds.stream({VARIABLE_APID: variable_codec()})
    definition = ccsdspy.VariableLength([
        ccsdspy.PacketField(name="mode", data_type="uint", bit_length=8),
        ccsdspy.PacketArray(name="ch", data_type="uint", bit_length=16, array_shape="expand"),
        ccsdspy.PacketField(name="crc", data_type="uint", bit_length=16),
    ])

    def peer() -> Any:
        return definition.load(io.BytesIO(data), include_primary_header=True)

    ours, theirs = stream.unpack_many(data)[VARIABLE_APID], peer()
    assert [list(map(int, row)) for row in theirs["ch"]] == values(ours["ch"])
    assert theirs["crc"].tolist() == values(ours["crc"]) and theirs["mode"].tolist() == values(ours["mode"])
    label = f"{len(data) / 2**20:.3g} MiB, variable, expanding array"
    times = interleaved({"bitloom: stream.unpack_many": lambda: stream.unpack_many(data),
                         "ccsdspy: VariableLength.load": peer}, repeats)
    report.add_times(label, times)
    report.add_target(f"{label} vs ccsdspy VariableLength.load",
                      times["bitloom: stream.unpack_many"][0] / times["ccsdspy: VariableLength.load"][0], 0.05)


def fixed_case(report: Report, megabytes: float, repeats: int) -> None:
    import numpy
    apid = 0x010
    codec = codec_of(apid)
    count = max(1, int(megabytes * 2**20) // codec.size)
    data = b"".join(packets_of(apid, 4096, random.Random(3)) * (count // 4096 + 1))[:count * codec.size]
    stream = ccsds.stream({apid: codec})
    ours, theirs = stream.unpack_many(data, threads=1)[apid], codec.unpack_many(data, threads=1)
    # Bit for bit: the float field holds NaNs.
    assert all(numpy.asarray(ours[name]).tobytes() == numpy.asarray(theirs[name]).tobytes() for name in codec.names)
    label = f"{count:,} fixed packets of {codec.size} bytes"
    times = interleaved({"bitloom: through the stream": lambda: stream.unpack_many(data, threads=1),
                         "bitloom: FrameCodec.unpack_many": lambda: codec.unpack_many(data, threads=1)}, repeats)
    report.add_times(label, times)
    report.add_target(f"{label}, stream vs FrameCodec.unpack_many",
                      times["bitloom: through the stream"][0] / times["bitloom: FrameCodec.unpack_many"][0], 1.2)


METHOD = """One run of `benchmarks/streams.py` (part of `make bench`): each case is timed
interleaved with its peers on the same bytes, after one warm-up call each,
and the median of the repeats' CPU time is kept (wall time beside it); every
call runs on one thread. The streams are random CCSDS packets made by the
script (version 0, sequence flags 3). The mixed stream interleaves five APIDs
of 11 to 126 bytes at random; ccsdspy splits it with `split_by_apid` and
loads each APID with `FixedLength.load`. The variable packets hold a mode
byte, 0 to 200 16-bit channels and a 16-bit CRC; ccsdspy reads them with
`VariableLength.load` and an array of shape "expand". The fixed packets are
of one APID of the mixed stream (35 bytes, 16 fields after the header), as
many as it has of each APID, one after the other: read by the stream and by
the APID's `FrameCodec.unpack_many`.
"""


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=64, help="the mixed stream's size")
    parser.add_argument("--variable-megabytes", type=float, default=4)
    parser.add_argument("--fixed-megabytes", type=float, default=None,
                        help="the fixed packets' size (default: what one of five APIDs has of the mixed stream)")
    parser.add_argument("--repeats", type=int, default=7, help="for the cases against ccsdspy")
    parser.add_argument("--fixed-repeats", type=int, default=41, help="for the stream against FrameCodec")
    parser.add_argument("--markdown", type=Path, help="put the tables into this file")
    parser.add_argument("--quick", action="store_true", help="small streams, one repeat, no file written")
    parser.add_argument("--only", choices=("mixed", "variable", "fixed"), action="append",
                        help="run only these cases")
    options = parser.parse_args(argv)
    if options.quick:
        options.megabytes, options.variable_megabytes, options.fixed_megabytes = 0.25, 0.1, 0.05
        options.repeats = options.fixed_repeats = 1
        options.markdown = None
    fixed_megabytes = options.fixed_megabytes if options.fixed_megabytes is not None else options.megabytes / 6
    report = Report()
    print(f"{'case':<34} {'call':<52} {'CPU ms':>9} {'wall ms':>9}")
    only = set(options.only or ("mixed", "variable", "fixed"))
    if "mixed" in only:
        mixed_case(report, options.megabytes, options.repeats)
    if "variable" in only:
        variable_case(report, options.variable_megabytes, options.repeats)
    if "fixed" in only:
        fixed_case(report, fixed_megabytes, options.fixed_repeats)
    if options.markdown:
        write_section(options.markdown, HEADING, METHOD + "\n" + report.markdown())
    return 0


if __name__ == "__main__":
    sys.exit(main())
