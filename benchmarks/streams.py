"""Packet streams against ccsdspy, and the stream path against FrameCodec.

    .venv/bin/python benchmarks/streams.py [--megabytes 64] [--repeats 5]

Prints medians of CPU time (the machine may be shared; wall time is printed
beside it) for:

- a mixed stream of five APIDs: bitloom's split and decode in one call
  (ccsds.stream(...).unpack_many) against ccsdspy's split_by_apid followed by
  FixedLength.load per APID;
- the same stream against FrameCodec.unpack_many on each APID's packets
  already split (the cost of framing);
- one APID of fixed-length packets through the stream against
  FrameCodec.unpack_many on the same bytes.
"""

from __future__ import annotations

import argparse
import io
import logging
import random
import statistics
import time
from collections.abc import Callable
from typing import Any

from bitloom.frames import ccsds

logging.getLogger("ccsdspy").setLevel(logging.WARNING)


def unsigned(name: str, bits: int, encoding: str = "unsigned") -> dict[str, Any]:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


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


def codec_of(apid: int) -> Any:
    return ccsds.packet_codec([unsigned(name, bits, ENCODING[kind]) for name, bits, kind in BODIES[apid]])


def packets_of(apid: int, count: int, rng: random.Random) -> list[bytes]:
    codec = codec_of(apid)
    pool = []
    for sequence in range(count):
        body = bytearray(rng.randbytes(codec.size - 6))
        header = bytes([0x08 | (apid >> 8), apid & 0xFF, 0xC0 | (sequence >> 8 & 0x3F), sequence & 0xFF])
        pool.append(header + (codec.size - 7).to_bytes(2, "big") + bytes(body))
    return pool


def mixed_stream(megabytes: int, seed: int = 1) -> bytes:
    rng = random.Random(seed)
    pools = {apid: packets_of(apid, 512, rng) for apid in BODIES}
    apids = list(BODIES)
    parts: list[bytes] = []
    total = 0
    while total < megabytes << 20:
        packet = rng.choice(pools[rng.choice(apids)])
        parts.append(packet)
        total += len(packet)
    return b"".join(parts)


def measure(function: Callable[[], Any], repeats: int) -> tuple[float, float]:
    cpu, wall = [], []
    for _ in range(repeats):
        start_cpu, start_wall = time.process_time(), time.perf_counter()
        function()
        cpu.append(time.process_time() - start_cpu)
        wall.append(time.perf_counter() - start_wall)
    return statistics.median(cpu), statistics.median(wall)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    data = mixed_stream(options.megabytes)
    codecs = {apid: codec_of(apid) for apid in BODIES}
    stream = ccsds.stream(codecs)
    split = stream.split(data)
    rows: list[tuple[str, float, float]] = []

    def row(name: str, function: Callable[[], Any]) -> tuple[float, float]:
        cpu, wall = measure(function, options.repeats)
        rows.append((name, cpu, wall))
        return cpu, wall

    ours, _ = row("bitloom: stream.unpack_many (split and decode)", lambda: stream.unpack_many(data, threads=1))
    presplit, _ = row("bitloom: FrameCodec.unpack_many per APID, already split",
                      lambda: [codecs[apid].unpack_many(part, threads=1) for apid, part in split.items()])
    try:
        import ccsdspy
        from ccsdspy.utils import split_by_apid

        definitions = {apid: ccsdspy.FixedLength([ccsdspy.PacketField(name=name, data_type=kind, bit_length=bits)
                                                  for name, bits, kind in BODIES[apid]]) for apid in BODIES}

        def peer() -> None:
            for apid, part in split_by_apid(io.BytesIO(data)).items():
                definitions[apid].load(part, include_primary_header=True)

        theirs, _ = row("ccsdspy: split_by_apid + FixedLength.load per APID", peer)
    except ImportError:
        theirs = float("nan")
    single = split[0x010]
    one = ccsds.stream({0x010: codecs[0x010]})
    fixed_stream, _ = row("bitloom: one APID through the stream", lambda: one.unpack_many(single, threads=1))
    fixed_codec, _ = row("bitloom: the same packets, FrameCodec.unpack_many",
                         lambda: codecs[0x010].unpack_many(single, threads=1))
    print(f"{len(data) / 2**20:.0f} MiB, five APIDs, {options.repeats} repeats; medians")
    print(f"{'case':<58} {'cpu ms':>8} {'wall ms':>8}")
    for name, cpu, wall in rows:
        print(f"{name:<58} {cpu * 1e3:8.1f} {wall * 1e3:8.1f}")
    print(f"mixed stream vs ccsdspy: {ours / theirs:.3f}x (target <= 0.2x)")
    print(f"mixed stream vs the codecs on split packets: {ours / presplit:.2f}x")
    print(f"one APID, stream vs FrameCodec: {fixed_stream / fixed_codec:.2f}x (target <= 1.2x)")


if __name__ == "__main__":
    main()
