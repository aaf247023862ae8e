"""Arrays, in one process, interleaved rounds, medians and minimums as ratios.

- Fixed: a 480-channel array of 24-bit elements over many frames, decoded
  natively into one 2-D column, against the same frame read as 480 scalar
  fields (one column each), and against that followed by the numpy.stack
  that grouping them into frames x channels took before arrays were native.
- Variable: CCSDS packets whose 16-bit array fills the packet ("rest"),
  about 4 MB: the native list column against the Python regrouping used
  before (three passes of codecs at computed offsets and a pyarrow list
  built from numpy offsets), and the whole stream against ccsdspy's
  VariableLength.load where ccsdspy is installed.

    .venv/bin/python benchmarks/arrays.py [frames] [rounds]
"""

import io
import logging
import random
import statistics
import sys
import time

import numpy

from bitloom.frames import FrameCodec, ccsds


def item(name, bits, **extra):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False,
            **extra}


def interleaved(cases, rounds):
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, run in cases.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    base = times[next(iter(cases))]
    for name, values in times.items():
        print(f"{name:34s} median {statistics.median(values) * 1e3:8.2f} ms  min {min(values) * 1e3:8.2f} ms  "
              f"ratio to the first (median) {statistics.median(values) / statistics.median(base):6.3f}x  "
              f"(min) {min(values) / min(base):6.3f}x")


def fixed(frames, rounds):
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
    print(f"fixed: {frames} frames of {array.size} bytes, {rounds} interleaved rounds")
    interleaved({"native array": native, "480 scalar fields": scalars, "scalar fields + numpy.stack": grouped},
                rounds)


def regrouped(prefix, element, suffix, source, where, sizes, name, before, after, width):
    """The earlier Python path for whole-byte parts: the fields before the
    array at each packet, every element by its own offset, the fields after
    it, and a pyarrow list made from numpy offsets."""
    import pyarrow
    starts = numpy.asarray(where, dtype=numpy.uint64)
    lengths = numpy.asarray(sizes, dtype=numpy.int64)
    head, _ = prefix._unpack_many(source, frame_bytes=prefix.size, errors="raise", frame_offsets=starts.tobytes())
    counts = (lengths - before - after) // width
    total = int(counts.sum())
    ends = numpy.cumsum(counts)
    owner = numpy.repeat(numpy.arange(len(counts)), counts)
    within = numpy.arange(total, dtype=numpy.int64) - numpy.repeat(ends - counts, counts)
    offsets = starts[owner] + numpy.uint64(before) + (within * width).astype(numpy.uint64)
    flat, _ = element._unpack_many(source, frame_bytes=width, errors="raise",
                                   frame_offsets=offsets.astype(numpy.uint64).tobytes())
    lists = pyarrow.ListArray.from_arrays(pyarrow.array(numpy.concatenate([[0], ends]).astype(numpy.int32)),
                                          pyarrow.array(flat[name]))
    out = {key: pyarrow.array(column) for key, column in head.items()}
    out[name] = lists
    tail_starts = starts + numpy.uint64(before) + (counts * width).astype(numpy.uint64)
    tail, _ = suffix._unpack_many(source, frame_bytes=suffix.size, errors="raise",
                                  frame_offsets=tail_starts.tobytes())
    out.update((key, pyarrow.array(column)) for key, column in tail.items())
    return out


def variable(megabytes, rounds):
    body = [item("mode", 8), item("ch", 16, count="rest"), item("crc", 16)]
    codec = ccsds.packet_codec(body)
    rng = random.Random(2)
    packets, total = [], 0
    while total < megabytes << 20:
        values = {"type": 0, "secondary_header": 0, "apid": 0x20, "sequence_count": len(packets) % 16384,
                  "packet_length": 0, "mode": rng.randrange(256),
                  "ch": [rng.randrange(65536) for _ in range(rng.randrange(1, 120))], "crc": rng.randrange(65536)}
        raw = codec.pack(values)
        raw = raw[:4] + (len(raw) - 7).to_bytes(2, "big") + raw[6:]
        packets.append(raw)
        total += len(raw)
    data = b"".join(packets)
    where, sizes, at = [], [], 0
    for raw in packets:
        where.append(at)
        sizes.append(len(raw))
        at += len(raw)
    stream = ccsds.stream({0x20: codec})
    header = list(codec.recipe[:-3])
    prefix = FrameCodec(header + [body[0]])
    element = FrameCodec([{key: value for key, value in body[1].items() if key != "count"}])
    suffix = FrameCodec([body[2]])
    before, after = prefix.size, suffix.size
    old = regrouped(prefix, element, suffix, data, where, sizes, "ch", before, after, 2)
    new = codec._decode_packets(data, where, sizes)
    assert new["ch"].tolist() == old["ch"].to_pylist() and new["crc"].tolist() == old["crc"].to_pylist()
    cases = {"native list column": lambda: codec._decode_packets(data, where, sizes),
             "python regrouping (before)": lambda: regrouped(prefix, element, suffix, data, where, sizes, "ch",
                                                             before, after, 2),
             "whole stream (scan + decode)": lambda: stream.unpack_many(data)}
    try:
        import ccsdspy
        logging.getLogger("ccsdspy").setLevel(logging.ERROR)
        definition = ccsdspy.VariableLength([
            ccsdspy.PacketField(name="mode", data_type="uint", bit_length=8),
            ccsdspy.PacketArray(name="ch", data_type="uint", bit_length=16, array_shape="expand"),
            ccsdspy.PacketField(name="crc", data_type="uint", bit_length=16)])
        cases["ccsdspy VariableLength.load"] = lambda: definition.load(io.BytesIO(data), include_primary_header=True)
    except ImportError:
        pass
    print(f"variable: {len(packets)} packets, {len(data) / 2**20:.1f} MiB, {rounds} interleaved rounds")
    interleaved(cases, rounds)


if __name__ == "__main__":
    arguments = list(map(int, sys.argv[1:]))
    fixed(*(arguments[:2] or [100_000, 9]))
    variable(4, arguments[1] if len(arguments) > 1 else 9)
