"""Decode a folder of telemetry dumps in parallel with Dask.

    python examples/archive_dask.py                       # a demo archive
    python examples/archive_dask.py FOLDER RECIPE.json    # your own dumps
    python examples/archive_dask.py FOLDER RECIPE.json --scheduler processes

Every file of FOLDER is a dump of whole frames of the recipe.  One
FrameCodec is compiled from the recipe and shipped to the workers (it
pickles as its recipe); each worker maps its file, decodes it with
unpack_many and hands back numpy arrays, which are joined in file order.

On a Dask cluster the same code runs unchanged once a client is connected
(`dask.distributed.Client("tcp://scheduler:8786")`, or --address): the
workers read the files themselves, so FOLDER must be a path that every
worker sees (a shared file system) and the recipe travels with the codec.
"""

from __future__ import annotations

import argparse
import json
import mmap
import sys
import tempfile
from functools import partial
from pathlib import Path
from typing import Any

import dask.bag
import numpy

from bitloom.frames import Column, FrameCodec

# The demo frame: a CCSDS primary header, a BCD timestamp, two temperatures,
# a binary16 voltage and a status text.
DEMO_RECIPE = [
    {"name": "version", "encoding": "unsigned", "bits": 3, "value": 0},
    {"name": "type", "encoding": "unsigned", "bits": 1, "value": 0},
    {"name": "secondary", "encoding": "unsigned", "bits": 1, "value": 1},
    {"name": "apid", "encoding": "unsigned", "bits": 11},
    {"name": "flags", "encoding": "unsigned", "bits": 2, "value": 3},
    {"name": "sequence", "encoding": "unsigned", "bits": 14},
    {"name": "length", "encoding": "unsigned", "bits": 16, "value": 11},
    {"name": "stamp", "encoding": "packed_bcd", "bits": 32},
    {"name": "board_temp", "encoding": "twos_complement", "bits": 12},
    {"name": "cpu_temp", "encoding": "twos_complement", "bits": 12},
    {"name": "volts", "encoding": "ieee754", "bits": 16},
    {"name": "status", "encoding": "us-ascii", "bits": 32},
]
for _item in DEMO_RECIPE:
    _item.update(byte_order="big", reverse_bits=False)


def write_demo_archive(folder: Path, files: int = 4, frames: int = 5000) -> None:
    codec = FrameCodec(DEMO_RECIPE)
    for number in range(files):
        sequence = numpy.arange(frames) + number * frames
        columns = {
            "apid": sequence % 2048, "sequence": sequence % 16384,
            "stamp": 20240000 + sequence % 10000,
            "board_temp": sequence % 200 - 100, "cpu_temp": sequence % 900 - 400,
            "volts": 28.0 + (sequence % 16) / 8, "status": ["OK" if n % 97 else "WARN" for n in sequence],
        }
        (folder / f"dump-{number:03d}.bin").write_bytes(codec.pack_many(columns))


def decode_file(codec: FrameCodec, path: str) -> dict[str, Any]:
    """One dump's columns: numpy arrays for numeric fields, lists otherwise."""
    with open(path, "rb") as file:
        if Path(path).stat().st_size == 0:
            columns = codec.unpack_many(b"")
        else:
            with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                columns = codec.unpack_many(mapped)
    # The columns own their values, so the arrays outlive the mapping; they
    # view the columns without a copy.
    return {name: numpy.asarray(column) if isinstance(column, Column) else column
            for name, column in columns.items()}


def decode_archive(codec: FrameCodec, files: list[str], scheduler: str | None = None) -> dict[str, Any]:
    """Every file decoded on a worker, the columns joined in file order."""
    bag = dask.bag.from_sequence(files, npartitions=max(1, len(files)))  # type: ignore[no-untyped-call]
    parts = bag.map(partial(decode_file, codec)).compute(scheduler=scheduler)
    joined: dict[str, Any] = {}
    for name in codec.names:
        pieces = [part[name] for part in parts]
        if pieces and isinstance(pieces[0], numpy.ndarray):
            joined[name] = numpy.concatenate(pieces)
        else:
            joined[name] = [value for piece in pieces for value in piece]
    return joined


def summary(columns: dict[str, Any]) -> list[str]:
    lines = []
    for name, values in columns.items():
        if isinstance(values, numpy.ndarray):
            low, high = (values.min(), values.max()) if len(values) else ("-", "-")
            lines.append(f"{name:12} {values.dtype!s:8} min {low}  max {high}")
        else:
            lines.append(f"{name:12} {'text':8} {len(set(values))} distinct")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("folder", nargs="?", type=Path)
    parser.add_argument("recipe", nargs="?", type=Path)
    parser.add_argument("--scheduler", choices=("threads", "processes", "synchronous"),
                        default="threads", help="Dask's local scheduler (default: threads)")
    parser.add_argument("--address", help="a Dask scheduler to run on instead, e.g. tcp://host:8786")
    arguments = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as demo:
        if arguments.folder is None:
            folder, recipe = Path(demo), DEMO_RECIPE
            write_demo_archive(folder)
        elif arguments.recipe is None:
            parser.error("a FOLDER needs its RECIPE.json")
        else:
            folder, recipe = arguments.folder, json.loads(arguments.recipe.read_text())
        codec = FrameCodec(recipe)
        files = sorted(str(path) for path in folder.iterdir() if path.is_file())
        scheduler = arguments.scheduler
        if arguments.address:
            from dask.distributed import Client  # needs dask[distributed]
            Client(arguments.address)  # becomes the default scheduler
            scheduler = None
        columns = decode_archive(codec, files, scheduler)
        frames = len(columns[codec.names[0]]) if codec.names else 0
        print(f"{len(files)} files, {frames} frames of {codec.size} bytes")
        print("\n".join(summary(columns)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
