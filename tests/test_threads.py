"""Packing, parsing and the codecs from 8 threads at once: every result (or
error) must equal the single-threaded one.  Conversion hooks written in
Python run inside the calls, so threads switch in the middle of them; the
switch interval is made tiny to force that as often as possible.  On a
free-threaded interpreter the calls run truly in parallel."""

import random
import struct
import sys
import threading

import pytest

import bitloom
from recipe_items import Items

item = Items(value=1)

THREADS = 8
ROUNDS = 40


class Busy:
    """An integer whose conversion runs Python code (a chance to switch)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        total = 0
        for i in range(50):
            total += i
        return self.value + total - 1225

    def __float__(self):
        return float(self.__index__())


TEXT = "h\u00e9llo w\u00f6rld \u20ac \U0001f600 " * 20
PACKET = bytes(range(256)) * 4

RECIPE = [
    item("u", bits=12, value=Busy(0xABC)),
    item("t", encoding="twos_complement", bits=16, value=-300, byte_order="little"),
    item("s", encoding="sign_magnitude", bits=8, value=Busy(-5), reverse_bits=True),
    item("b", encoding="packed_bcd_signed", bits=20, value=-1234),
    item("f", encoding="ieee754", bits=32, value=Busy(3)),
    item("h", encoding="ieee754", bits=16, value=0.1),
    item("x", encoding="utf16le", bits=16 * 16, value=TEXT[:16]),
    item("r", encoding="binary", bits=20, value=[1, 2, 3], offset_bits=300),
    item("z", encoding="utf8", bits=8 * 40, value=TEXT[:30]),
]
PARSE_RECIPE = [
    item("u", bits=Busy(16)),
    item("t", encoding="twos_complement", bits=24, byte_order="little", reverse_bits=True),
    item("o", encoding="ones_complement", bits=64, offset_bits=Busy(40)),
    item("d", encoding="ieee754_f64", bits=64, offset_bits=800),
    item("w", encoding="windows-1252", bits=8 * 200, offset_bits=1024),
    item("l", encoding="latin1", bits=8 * 256, offset_bits=2048),
    item("v", encoding="UTF-16LE", bits=8 * 64, offset_bits=8 * 512 + 8 * 0x41),
]

WORK = [
    ("pack", lambda: bitloom.pack_parameters(RECIPE)),
    ("pack tuple", lambda: bitloom.pack_parameters(tuple(RECIPE[::-1]))),
    ("pack error", lambda: bitloom.pack_parameters(RECIPE + [item("bad", value=Busy(256))])),
    ("parse", lambda: bitloom.unpack_parameters(PACKET, 0, PARSE_RECIPE)),
    ("parse offset", lambda: bitloom.unpack_parameters(PACKET, Busy(8), PARSE_RECIPE[:3])),
    ("parse error", lambda: bitloom.unpack_parameters(PACKET, 8 * 1020, PARSE_RECIPE)),
    ("parse bad text", lambda: bitloom.unpack_parameters(PACKET, 8 * 128, [item(encoding="utf8", bits=16)])),
    ("round trip", lambda: bitloom.unpack_parameters(bitloom.pack_parameters(RECIPE[:4]), 0, RECIPE[:2])),
    ("utf8", lambda: bitloom.decode_utf8(bitloom.encode_utf8(TEXT))),
    ("utf16", lambda: bitloom.decode_utf16(bitloom.encode_utf16(TEXT))),
    ("utf32be", lambda: bitloom.encode_utf32be(TEXT)),
    ("windows-1252", lambda: bitloom.decode_windows_1252(PACKET)),
    ("us-ascii error", lambda: bitloom.decode_us_ascii(PACKET)),
    ("iso-8859-1 error", lambda: bitloom.encode_iso_8859_1(TEXT)),
    ("f16", lambda: [bitloom.encode_ieee754_f16(x / 7) for x in range(-50, 50)]),
    ("f16 back", lambda: [bitloom.decode_ieee754_f16(x) for x in range(0, 65536, 97)]),
    ("f128", lambda: bitloom.decode_ieee754_f128(0x3FFF8000000000000000000000000001)),
    ("twos", lambda: [bitloom.encode_twos_complement(Busy(x), 12) for x in range(-2048, 2048, 31)]),
    ("bcd", lambda: [bitloom.decode_packed_bcd(bitloom.encode_packed_bcd(x, 32, True), 32, True)
                     for x in range(-9999, 9999, 77)]),
    ("bcd error", lambda: bitloom.encode_unpacked_bcd(123456789, 64)),
    ("reserved", lambda: bitloom.encode_ti_f40(Busy(1))),
    ("binding error", lambda: bitloom.encode_packed_bcd(1, 8, 1)),
]


def outcome(call):
    """A comparable form of a call's result or error (floats by their bits)."""
    def normal(value):
        if isinstance(value, float):
            return ("float", struct.pack("<d", value))
        if isinstance(value, list):
            return [normal(v) for v in value]
        if isinstance(value, dict):
            return [(k, normal(v)) for k, v in value.items()]
        return (type(value).__name__, value)
    try:
        return ("ok", normal(call()))
    except Exception as error:
        return ("error", type(error).__name__, str(error), getattr(error, "__notes__", None))


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_results_from_8_threads_match_one_thread(frequent_switches):
    expected = {name: outcome(call) for name, call in WORK}
    assert {name for name, result in expected.items() if result[0] == "error"} == {
        "pack error", "parse error", "parse bad text", "us-ascii error", "iso-8859-1 error",
        "bcd error", "reserved", "binding error"}
    barrier = threading.Barrier(THREADS)
    mismatches = []
    failures = []

    def worker(seed):
        try:
            order = random.Random(seed)
            barrier.wait()
            for _ in range(ROUNDS):
                work = WORK[:]
                order.shuffle(work)
                for name, call in work:
                    got = outcome(call)
                    if got != expected[name]:
                        mismatches.append((name, got))
        except BaseException as error:  # an internal fault is a BaseException
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert mismatches == []


def test_imports_from_8_threads_give_one_module():
    import importlib

    modules = []
    barrier = threading.Barrier(THREADS)

    def worker():
        barrier.wait()
        modules.append(importlib.import_module("bitloom.bitloom"))

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(modules) == THREADS and len({id(m) for m in modules}) == 1
