"""bitloom against bitstruct.c on the interpreter that runs this script.

    python benchmarks/interpreters.py [--header] [--rounds 15] [--json FILE]

Prints one Markdown table row: the interpreter (version, and whether the GIL
is on), then each case's time as a ratio to its bitstruct.c counterpart on
the same interpreter (below 1.0: bitloom is faster), with the target in the
header.  Each figure is the minimum over `--rounds` interleaved rounds: round
r of every statement runs before round r + 1 of any, so load from other
processes on a shared machine hits both sides of a ratio alike, and the
minimum is the run least disturbed by it.  Run it once per interpreter (each
needs bitloom and bitstruct installed) and stack the rows; `--json` also
writes the nanoseconds, e.g. to compare a free-threaded build's
pack_parameters with the same version's build with the GIL.

The frame is the sixteen-field telemetry frame of the recipe benchmarks
(benchmarks/frames.py): packed contiguously, unpacked from its end-aligned
layout (every item with its own "offset_bits"), as in `make bench`.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import sysconfig
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bitstruct.c as bitstruct_c  # noqa: E402

import bitloom  # noqa: E402
from bitloom.frames import FrameCodec  # noqa: E402

import frames  # noqa: E402

# (label, target, bitloom statement, bitstruct.c statement)
CASES = (
    ("pack_parameters", 1.5, "bitloom.pack_parameters(pack_recipe)",
     "bitstruct_c.pack(fmt, *values)"),
    ("unpack_parameters", 1.0, "bitloom.unpack_parameters(aligned_packet, 0, unpack_recipe)",
     "bitstruct_c.unpack_dict(aligned_fmt, names, aligned_packet)"),
    ("FrameCodec.pack(dict)", 0.8, "codec.pack(value_dict)", "compiled_dict.pack(value_dict)"),
    ("FrameCodec.unpack", 0.7, "codec.unpack(packet)", "compiled_dict.unpack(packet)"),
    ("FrameCodec.unpack_tuple", None, "codec.unpack_tuple(packet)", "compiled.unpack(packet)"),
)


def namespace() -> dict:
    frame = frames.contiguous(frames.TELEMETRY_FIELDS)
    aligned = frames.end_aligned(frames.TELEMETRY_FIELDS)
    codec = FrameCodec(frames.pack_recipe(frame))
    fmt = frames.bitstruct_format(frame)
    space = {
        "bitloom": bitloom, "bitstruct_c": bitstruct_c, "codec": codec,
        "pack_recipe": frames.pack_recipe(frame), "unpack_recipe": frames.unpack_recipe(aligned),
        "aligned_packet": bitloom.pack_parameters(frames.pack_recipe(aligned, explicit_offsets=True)),
        "aligned_fmt": frames.bitstruct_format(aligned), "fmt": fmt, "names": frame.names,
        "values": frame.values, "value_dict": frame.value_dict(),
        "compiled": bitstruct_c.compile(fmt), "compiled_dict": bitstruct_c.compile(fmt, frame.names),
    }
    space["packet"] = codec.pack(space["value_dict"])
    # Both sides must compute the same thing for a ratio to mean anything.
    assert space["packet"] == bitstruct_c.pack(fmt, *frame.values)
    assert codec.unpack(space["packet"]) == space["compiled_dict"].unpack(space["packet"])
    assert bitloom.unpack_parameters(space["aligned_packet"], 0, space["unpack_recipe"]) == \
        bitstruct_c.unpack_dict(space["aligned_fmt"], frame.names, space["aligned_packet"])
    return space


def interpreter() -> str:
    name = platform.python_version()
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        gil = getattr(sys, "_is_gil_enabled", lambda: True)()
        name += "t, GIL " + ("on" if gil else "off")
    return name


def measure(rounds: int, batch_seconds: float) -> dict[str, float]:
    space = namespace()
    cases = [case for case in CASES if case[0] != "FrameCodec.unpack_tuple"
             or hasattr(FrameCodec, "unpack_tuple")]
    statements = [statement for case in cases for statement in case[2:]]
    timers = [timeit.Timer(statement, globals=space) for statement in statements]
    numbers = []
    for timer in timers:
        number = 1
        while timer.timeit(number) < batch_seconds:
            number *= 2
        numbers.append(number)
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for k, (timer, number) in enumerate(zip(timers, numbers)):
            best[k] = min(best[k], timer.timeit(number) / number * 1e9)
    return dict(zip(statements, best))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--header", action="store_true", help="print the table's header first")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--batch", type=float, default=0.002, help="seconds per timed batch")
    parser.add_argument("--json", help="also append the nanoseconds to this file, one line")
    options = parser.parse_args()
    if options.header:
        print("| interpreter | " + " | ".join(
            f"`{label}`" + (f" (≤ {target}x)" if target else " (tuple forms)")
            for label, target, *_ in CASES) + " |")
        print("|---" * (len(CASES) + 1) + "|")
    times = measure(options.rounds, options.batch)
    cells = []
    for label, target, ours, peers in CASES:
        if ours not in times:
            cells.append("—")
            continue
        ratio = times[ours] / times[peers]
        mark = "" if target is None or ratio <= target else " ✗"
        cells.append(f"{ratio:.2f}x ({times[ours]:.0f} ns){mark}")
    print(f"| {interpreter()} | " + " | ".join(cells) + " |")
    if options.json:
        with open(options.json, "a", encoding="utf-8") as out:
            out.write(json.dumps({"interpreter": interpreter(), "ns": times}) + "\n")


if __name__ == "__main__":
    main()
