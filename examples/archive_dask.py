# Dask, pandas and pyarrow are not typed: their objects are Any here.
# mypy: disable-error-code="no-untyped-call"
"""Decode a folder of telemetry dumps on a Dask cluster, into Parquet.

    python examples/archive_dask.py                         # a demo archive
    python examples/archive_dask.py FOLDER RECIPE.json      # your own dumps
    python examples/archive_dask.py FOLDER RECIPE.json --parquet OUT --workers 4
    python examples/archive_dask.py FOLDER RECIPE.json --address tcp://scheduler:8786

Every file of FOLDER is a dump of whole frames of the recipe.  One
FrameCodec is compiled from the recipe; `dask.dataframe.from_map` makes one
partition per file, and each partition is decoded where it runs: the worker
reads its file a batch at a time (FrameCodec.iter_batches) and hands the
columns to pyarrow through their Arrow interface, without a copy, as a
pandas frame backed by Arrow memory.  Nothing comes back to the client
until asked: the Parquet files are written by the workers, and the client
receives only the small summary it computes.

Without --address a local cluster of worker processes is started.  On a
real cluster the workers open the files themselves, so FOLDER (and the
Parquet folder) must be paths every worker sees (a shared file system, or
an object store through fsspec); the codec travels to them by pickling,
as its recipe.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
from functools import partial
from pathlib import Path
from typing import Any

import dask
import dask.dataframe
import numpy
import pandas  # type: ignore[import-untyped]
import pyarrow  # type: ignore[import-untyped]

from bitloom.frames import FrameCodec

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


def as_pandas(table: Any) -> Any:
    """An Arrow table as a pandas frame that keeps Arrow's memory and types
    (uint16 stays uint16, text stays Arrow strings)."""
    return table.to_pandas(types_mapper=pandas.ArrowDtype)


def decode_file(codec: FrameCodec, path: str) -> Any:
    """One dump as one partition, decoded on the worker that runs it: a
    batch of frames at a time, each batch's columns taken by pyarrow
    through their Arrow interface (numeric ones without a copy)."""
    batches = [pyarrow.table(batch) for batch in codec.iter_batches(path)]
    if not batches:
        return empty_partition(codec)
    return as_pandas(pyarrow.concat_tables(batches))


def empty_partition(codec: FrameCodec) -> Any:
    """The columns and types of a partition, for Dask's metadata."""
    return as_pandas(pyarrow.table(codec.unpack_many(b"", frame_bytes=max(codec.size, 1))))


def archive_frame(codec: FrameCodec, files: list[str]) -> Any:
    """A lazy dataframe with one partition per file, in file order."""
    return dask.dataframe.from_map(partial(decode_file, codec), files,
                                   meta=empty_partition(codec), enforce_metadata=False)


def summary(frame: Any) -> list[str]:
    """A few numbers per column, computed on the workers: only these come
    back."""
    texts = [name for name, kind in frame.dtypes.items()
             if kind.pyarrow_dtype in (pyarrow.string(), pyarrow.large_string(), pyarrow.binary())]
    numbers = [name for name in frame.columns if name not in texts]
    lows, highs, counts = dask.compute(  # type: ignore[attr-defined]
        [frame[name].min() for name in numbers], [frame[name].max() for name in numbers],
        # Each partition counts its own texts; the small counts are summed here.
        [frame[name].map_partitions(value_counts) for name in texts])
    lines = [f"{name:12} {frame.dtypes[name].pyarrow_dtype!s:8} min {low}  max {high}"
             for name, low, high in zip(numbers, lows, highs)]
    for name, count in zip(texts, counts):
        count = count.groupby(level=0).sum().sort_index()
        values = ", ".join(f"{value!r} {number}" for value, number in count.items())
        lines.append(f"{name:12} {'text':8} {values}")
    return lines


def value_counts(texts: Any) -> Any:
    return texts.value_counts()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("folder", nargs="?", type=Path)
    parser.add_argument("recipe", nargs="?", type=Path)
    parser.add_argument("--parquet", type=Path, help="write the frames as Parquet into this folder")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the local cluster (default 2)")
    parser.add_argument("--address", help="a Dask scheduler to run on instead, e.g. tcp://host:8786")
    arguments = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory() as demo:
        if arguments.folder is None:
            folder, recipe = Path(demo), DEMO_RECIPE
            write_demo_archive(folder)
        elif arguments.recipe is None:
            parser.error("a FOLDER needs its RECIPE.json")
        else:
            folder, recipe = arguments.folder, json.loads(arguments.recipe.read_text())
        codec = FrameCodec(recipe, text_padding="strip")
        files = sorted(str(path) for path in folder.iterdir() if path.is_file())
        if arguments.address:
            client = Client(arguments.address)
        else:
            cluster = LocalCluster(n_workers=arguments.workers, threads_per_worker=1,
                                   processes=True, dashboard_address=None)
            client = Client(cluster)
        with client:
            frame = archive_frame(codec, files)
            if arguments.parquet is not None:
                frame.to_parquet(str(arguments.parquet), write_index=False)
            frames = int(frame.map_partitions(len).sum().compute())
            print(f"{len(files)} files, {frames} frames of {codec.size} bytes")
            print("\n".join(summary(frame)))
        if not arguments.address:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
