"""A 480-channel array of 24-bit elements over many frames, in one process:
the array decoded natively into one 2-D column, against the same frame read
as 480 scalar fields (one column each), and against that followed by the
numpy.stack that grouping them into frames x channels took before arrays
were native.  Interleaved rounds, medians and minimums as ratios.

    .venv/bin/python benchmarks/arrays.py [frames] [rounds]
"""

import statistics
import sys
import time

import numpy

from bitloom.frames import FrameCodec


def item(name, bits, **extra):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False,
            **extra}


def main(frames=100_000, rounds=9):
    channels = 480
    array = FrameCodec([item("id", 8), item("ch", 24, count=channels)])
    scalar = FrameCodec([item("id", 8)] + [item(f"ch{k}", 24) for k in range(channels)])
    assert array.size == scalar.size
    rng = numpy.random.default_rng(1)
    dump = rng.integers(0, 256, array.size * frames, dtype=numpy.uint8).tobytes()

    def native():
        return numpy.asarray(array.unpack_many(dump)["ch"])

    def scalars():
        return scalar.unpack_many(dump)

    def grouped():
        columns = scalar.unpack_many(dump)
        return numpy.stack([numpy.asarray(columns[f"ch{k}"]) for k in range(channels)], axis=1)

    assert (native() == grouped()).all()
    cases = {"native array": native, "480 scalar fields": scalars, "scalar fields + numpy.stack": grouped}
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, run in cases.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    base = times["native array"]
    print(f"{frames} frames of {array.size} bytes, {rounds} interleaved rounds")
    for name, values in times.items():
        print(f"{name:30s} median {statistics.median(values) * 1e3:8.1f} ms  min {min(values) * 1e3:8.1f} ms  "
              f"ratio to native (median) {statistics.median(values) / statistics.median(base):5.2f}x  "
              f"(min) {min(values) / min(base):5.2f}x")


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
