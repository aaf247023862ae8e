"""The cases of compiled recipes (bitloom.frames.FrameCodec) on the telemetry
frame of the recipe cases, packed contiguously: most of its sixteen fields
start and end inside a byte, which FrameCodec reads back exactly.

- pack and unpack of one frame against bitstruct.c's compiled formats;
- unpack_many over a 200,000-frame dump against a loop of bitstruct.c's
  compiled unpack_from, and two threads decoding the two halves against
  one thread decoding all of it;
- the `bitloom unpack` command on a dump of as many end-aligned frames (JSON
  lines and CSV), against the command as it was before FrameCodec: every
  frame through unpack_parameters and a writer per row.
"""

from __future__ import annotations

import contextlib
import csv
import io
import json
import os
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import bitloom
from bitloom.frames import FrameCodec

import frames
from cases import FLOOR_RESULT, Case, Impl

DUMP_FRAMES = 200_000
# The quick pass checks that every case runs and agrees with its peers; a
# short dump does that as well as a long one.
QUICK_DUMP_FRAMES = 2_000


def _rows(columns) -> list[tuple]:
    return list(zip(*(list(column) for column in columns.values())))


def _tuples(dicts) -> list[tuple]:
    return [tuple(fields.values()) for fields in dicts]


def _codec_recipe(frame: frames.Frame) -> list[dict]:
    # The family name "ieee754" packs and parses alike.
    return frames.pack_recipe(frame)


def _single_frame_cases(peers) -> list[Case]:
    frame = frames.contiguous(frames.TELEMETRY_FIELDS)
    codec = FrameCodec(_codec_recipe(frame))
    packet = codec.pack(frame.value_dict())
    values_dict, values = frame.value_dict(), frame.values
    pack_dict = Case("compiled", "FrameCodec.pack(dict) 16-field frame",
                     Impl("bitloom", "codec.pack(values)", {"codec": codec, "values": values_dict}),
                     [])
    pack_sequence = Case("compiled", "FrameCodec.pack(tuple) 16-field frame",
                         Impl("bitloom", "codec.pack(values)", {"codec": codec, "values": values}),
                         [])
    unpack = Case("compiled", "FrameCodec.unpack 16-field frame",
                  Impl("bitloom", "codec.unpack(packet)", {"codec": codec, "packet": packet}), [])
    if bitstruct_c := peers.get("bitstruct.c"):
        fmt = frames.bitstruct_format(frame)
        compiled = bitstruct_c.compile(fmt)
        compiled_dict = bitstruct_c.compile(fmt, frame.names)
        pack_dict.peers.append(Impl("bitstruct.c compiled dict", "compiled.pack(values)",
                                    {"compiled": compiled_dict, "values": values_dict}))
        pack_dict.targets["bitstruct.c compiled dict"] = 0.8
        pack_sequence.peers.append(Impl("bitstruct.c compiled", "compiled.pack(*values)",
                                        {"compiled": compiled, "values": values}))
        pack_sequence.targets["bitstruct.c compiled"] = 0.7
        unpack.peers.append(Impl("bitstruct.c compiled dict", "compiled.unpack(packet)",
                                 {"compiled": compiled_dict, "packet": packet}))
        unpack.targets["bitstruct.c compiled dict"] = 0.7
    if peers.floors:
        result = codec.unpack(packet)
        unpack.peers.append(Impl(FLOOR_RESULT, "floors.result_dict(names, values, packet)",
                                 {"floors": peers.floors, "names": tuple(result),
                                  "values": tuple(result.values()), "packet": packet}))
    # The same work through the 62 functions, for reference.
    pack_dict.peers.append(Impl("bitloom.pack_parameters", "bitloom.pack_parameters(recipe)",
                                {"bitloom": bitloom, "recipe": _codec_recipe(frame)}))
    return [pack_dict, pack_sequence, unpack]


def _dump_cases(peers, dump_frames: int) -> list[Case]:
    frame = frames.contiguous(frames.TELEMETRY_FIELDS)
    codec = FrameCodec(_codec_recipe(frame))
    dump = codec.pack(frame.value_dict()) * dump_frames
    many = Case("compiled", f"FrameCodec.unpack_many {dump_frames:,} frames",
                Impl("bitloom", "codec.unpack_many(dump)", {"codec": codec, "dump": dump},
                     _rows), [])
    if bitstruct_c := peers.get("bitstruct.c"):
        compiled = bitstruct_c.compile(frames.bitstruct_format(frame))
        many.peers.append(Impl(
            "bitstruct.c compiled unpack_from loop",
            "[unpack_from(dump, offset) for offset in range(0, bits * count, bits)]",
            {"unpack_from": compiled.unpack_from, "dump": dump, "bits": codec.size * 8,
             "count": dump_frames}))
        many.targets["bitstruct.c compiled unpack_from loop"] = 0.1
    pool = ThreadPoolExecutor(2)
    half = dump_frames // 2 * codec.size
    view = memoryview(dump)
    threads = Case("compiled", f"FrameCodec.unpack_many {dump_frames:,} frames, two threads",
                   Impl("bitloom", "list(pool.map(codec.unpack_many, halves))",
                        {"pool": pool, "codec": codec, "halves": [view[:half], view[half:]]},
                        lambda parts: [row for part in parts for row in _rows(part)]),
                   [Impl("one thread", "codec.unpack_many(dump)",
                         {"codec": codec, "dump": dump}, _rows)],
                   {"one thread": 1 / 1.6})
    return [many, threads]


# ---- the command ---------------------------------------------------------------

class _Sink(io.RawIOBase):
    def writable(self):
        return True

    def write(self, data):
        return len(data)


@contextlib.contextmanager
def _stdout_to_nowhere():
    saved = sys.stdout, sys.stderr
    sys.stdout = io.TextIOWrapper(io.BufferedWriter(_Sink()), encoding="utf-8")
    sys.stderr = io.StringIO()  # not a terminal: no progress line
    try:
        yield
    finally:
        sys.stdout, sys.stderr = saved


def run_command(arguments) -> int:
    """`bitloom unpack ...` in this process, its output thrown away."""
    from bitloom import cli
    with _stdout_to_nowhere():
        return cli.main(arguments)


def previous_command(recipe, path, frame_bytes, fmt) -> int:
    """What `bitloom unpack --frame-bytes N` did before FrameCodec: each frame
    through unpack_parameters, one JSON line or CSV row at a time."""
    with _stdout_to_nowhere(), open(path, "rb") as source:
        out = sys.stdout
        writer = csv.writer(out, lineterminator="\n")
        columns = None
        while frame := source.read(frame_bytes):
            fields = bitloom.unpack_parameters(frame, 0, recipe)
            if fmt == "jsonl":
                out.write(json.dumps(fields, ensure_ascii=False) + "\n")
            else:
                if columns is None:
                    columns = list(fields)
                    writer.writerow(columns)
                writer.writerow([fields[name] for name in columns])
        out.flush()
    return 0


def _command_cases(dump_frames: int) -> list[Case]:
    # The end-aligned frame, which the previous command reads correctly too.
    frame = frames.end_aligned(frames.TELEMETRY_FIELDS)
    recipe = frames.pack_recipe(frame, explicit_offsets=True)
    codec = FrameCodec(recipe)
    directory = tempfile.mkdtemp(prefix="bitloom-bench-")
    dump_path = os.path.join(directory, "dump.bin")
    recipe_path = os.path.join(directory, "recipe.json")
    with open(dump_path, "wb") as out:
        out.write(codec.pack(frame.value_dict()) * dump_frames)
    with open(recipe_path, "w") as out:
        json.dump(recipe, out)
    parse_recipe = frames.unpack_recipe(frame)
    cases = []
    for fmt in ("jsonl", "csv"):
        arguments = ["unpack", recipe_path, dump_path, "--frame-bytes", str(codec.size),
                     "--format", fmt]
        cases.append(Case(
            "compiled", f"bitloom unpack --format {fmt} {dump_frames:,} frames",
            Impl("bitloom", "run(arguments)", {"run": run_command, "arguments": arguments}),
            [Impl("the command before FrameCodec",
                  "previous(recipe, path, frame_bytes, fmt)",
                  {"previous": previous_command, "recipe": parse_recipe, "path": dump_path,
                   "frame_bytes": codec.size, "fmt": fmt})],
            {"the command before FrameCodec": 0.5},
            note="fields end on byte boundaries, which the previous command needs"))
    return cases


def frame_codec_cases(peers, quick: bool = False) -> list[Case]:
    dump_frames = QUICK_DUMP_FRAMES if quick else DUMP_FRAMES
    return [*_single_frame_cases(peers), *_dump_cases(peers, dump_frames),
            *_command_cases(dump_frames)]
