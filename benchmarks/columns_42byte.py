"""unpack_many on a dump of 42-byte frames of 19 fields (a CCSDS primary
header, unsigned and signed fields of 1 to 32 bits, binary16 and binary32
floats, an 8-byte ASCII status), numeric fields alone and with the text,
on one and two threads, against numpy (a structured view plus shifts for
the same 18 numeric fields) and a copy of the same bytes, in one process.

    .venv/bin/python benchmarks/columns_42byte.py [frames]

Prints the best and median wall time and the median CPU time (user and
system, all threads) of each, in milliseconds: on a shared machine the CPU
time is the steadier measure of the work.
"""
import statistics
import sys
import time

import numpy as np
from bitloom.frames import FrameCodec

def f(name, enc, bits, order="big"):
    return {"name": name, "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": False}

NUMERIC = [
    f("version", "unsigned", 3), f("type", "unsigned", 1), f("secondary", "unsigned", 1),
    f("apid", "unsigned", 11), f("seq_flags", "unsigned", 2), f("seq_count", "unsigned", 14),
    f("length", "unsigned", 16),
    f("time", "unsigned", 32), f("mode", "unsigned", 4), f("temp", "twos_complement", 12),
    f("current", "twos_complement", 9), f("healthy", "unsigned", 1), f("rate", "twos_complement", 7),
    f("state", "unsigned", 6), f("attitude", "twos_complement", 16), f("volts", "ieee754", 16),
    f("pressure", "ieee754", 32), f("uptime", "unsigned", 32),
]
TEXT = [dict(f("status", "us-ascii", 64), offset_bits=256)]
FRAME = 42
N = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
threads_list = [1, 2]

full = FrameCodec(NUMERIC + TEXT, text_padding="strip") if hasattr(FrameCodec, "iter_batches") else FrameCodec(NUMERIC + TEXT)
rng = np.random.default_rng(1)
dump = bytearray(rng.integers(0, 256, N * FRAME, dtype=np.uint8).tobytes())
# valid text: ASCII status
arr = np.frombuffer(dump, np.uint8).reshape(N, FRAME)
arr[:, 32:40] = np.frombuffer(b"OK\0\0\0\0\0\0", np.uint8)
arr[::7, 32:40] = np.frombuffer(b"WARN\0\0\0\0", np.uint8)
dump = bytes(dump)
numeric = FrameCodec(NUMERIC) if not hasattr(FrameCodec, "iter_batches") else FrameCodec(NUMERIC)

def med(fn, reps=9):
    ts = []; cs = []
    for _ in range(reps):
        c = time.process_time(); t = time.perf_counter(); fn(); ts.append(time.perf_counter() - t); cs.append(time.process_time() - c)
    return (min(ts) * 1e3, statistics.median(ts) * 1e3, statistics.median(cs) * 1e3)

new = hasattr(FrameCodec, "iter_batches")
rows = {}
if new:
    for th in threads_list:
        rows[f"bitloom numeric, {th} thread"] = med(lambda: numeric.unpack_many(dump, frame_bytes=FRAME, threads=th))
        rows[f"bitloom with text, {th} thread"] = med(lambda: full.unpack_many(dump, frame_bytes=FRAME, threads=th))
else:
    rows["bitloom numeric"] = med(lambda: numeric.unpack_many(dump, frame_bytes=FRAME))
    rows["bitloom with text"] = med(lambda: full.unpack_many(dump, frame_bytes=FRAME))

# numpy structured dtype plus shifts (the numeric fields)
def numpy_decode():
    a = np.frombuffer(dump, np.uint8).reshape(N, FRAME)
    be16 = lambda o: (a[:, o].astype(np.uint16) << 8) | a[:, o + 1]
    be32 = lambda o: a[:, o:o+4].copy().view(">u4").ravel()
    h0 = be16(0); h1 = be16(2); h2 = be16(4)
    out = {"version": (h0 >> 13).astype(np.uint8), "type": ((h0 >> 12) & 1).astype(np.uint8),
           "secondary": ((h0 >> 11) & 1).astype(np.uint8), "apid": h0 & 0x7FF,
           "seq_flags": (h1 >> 14).astype(np.uint8), "seq_count": h1 & 0x3FFF, "length": h2,
           "time": be32(6)}
    w = a[:, 10:18].copy().view(">u8").ravel()
    out["mode"] = (w >> 60).astype(np.uint8)
    out["temp"] = (((w >> 48) & 0xFFF).astype(np.int16) << 4) >> 4
    out["current"] = (((w >> 39) & 0x1FF).astype(np.int16) << 7) >> 7
    out["healthy"] = ((w >> 38) & 1).astype(np.uint8)
    out["rate"] = (((w >> 31) & 0x7F).astype(np.int8) << 1) >> 1
    out["state"] = ((w >> 25) & 0x3F).astype(np.uint8)
    out["attitude"] = ((w >> 9) & 0xFFFF).astype(np.uint16).view(np.int16)
    w2 = a[:, 16:24].copy().view(">u8").ravel()
    out["volts"] = ((w2 >> 41) & 0xFFFF).astype(np.uint16).view(np.float16).astype(np.float32)
    out["pressure"] = ((w2 >> 9) & 0xFFFFFFFF).astype(np.uint32).view(np.float32)
    w3 = a[:, 22:30].copy().view(">u8").ravel()
    out["uptime"] = ((w3 >> 25) & 0xFFFFFFFF).astype(np.uint32)
    return out
rows["numpy structured dtype + shifts"] = med(numpy_decode)
buf = bytearray(len(dump))
src_np = np.frombuffer(dump, np.uint8); dst_np = np.empty_like(src_np)
rows["memcpy of the dump"] = med(lambda: np.copyto(dst_np, src_np))
print(f"{'':40s} {'best':>8s} {'median':>8s} {'cpu med':>8s}  (ms, {N} frames)")
for k, v in rows.items():
    print(f"{k:40s} {v[0]:8.1f} {v[1]:8.1f} {v[2]:8.1f}")
if new:
    r = numeric.unpack_many(dump, frame_bytes=FRAME, threads=1)
    ref = numpy_decode()
    for k in ref:
        assert np.array_equal(np.asarray(r[k]), ref[k], equal_nan=True) and np.asarray(r[k]).dtype.str[1:] == ref[k].dtype.str[1:], (k, np.asarray(r[k]).dtype, ref[k].dtype)
    nbytes = sum(memoryview(c).nbytes for c in r.values())
    native = sum(np.dtype(c.type).itemsize for c in r.values()) * N
    print("numeric column bytes / native widths:", nbytes / native)
