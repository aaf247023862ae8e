"""Packing, parsing, the codecs and shared FrameCodecs from 8 threads at
once: every result (or error) must equal the single-threaded one.
Conversion hooks written in Python run inside the calls, so threads switch
in the middle of them; the switch interval is made tiny to force that as
often as possible.  On a free-threaded interpreter the calls run truly in
parallel, and importing the modules must leave the GIL off."""

import os
import random
import struct
import subprocess
import sys
import sysconfig
import threading

import pytest

import bitloom
from bitloom.frames import BinaryColumn, Column, FrameCodec, StringColumn
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
        if isinstance(value, (list, tuple)):
            return [normal(v) for v in value]
        if isinstance(value, dict):
            return [(k, normal(v)) for k, v in value.items()]
        if isinstance(value, (Column, StringColumn, BinaryColumn)):
            return (type(value).__name__, value.type, normal(list(value)))
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


def run_in_8_threads(work, rounds):
    """Runs every (name, call) of `work` `rounds` times in each of 8 threads,
    in an order of its own, all threads starting together; returns the
    results that differ from one thread's and the faults raised."""
    expected = {name: outcome(call) for name, call in work}
    barrier = threading.Barrier(THREADS)
    mismatches = []
    failures = []

    def worker(seed):
        try:
            order = random.Random(seed)
            barrier.wait()
            for _ in range(rounds):
                shuffled = work[:]
                order.shuffle(shuffled)
                for name, call in shuffled:
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
    return expected, mismatches, failures


def test_results_from_8_threads_match_one_thread(frequent_switches):
    expected, mismatches, failures = run_in_8_threads(WORK, ROUNDS)
    assert {name for name, result in expected.items() if result[0] == "error"} == {
        "pack error", "parse error", "parse bad text", "us-ascii error", "iso-8859-1 error",
        "bcd error", "reserved", "binding error"}
    assert failures == []
    assert mismatches == []


# One codec, its recipe, its values, a dump and a column, shared by every
# thread.  The bytearray is exported by many threads at once but never
# resized (resizing a shared bytearray is unsafe on free-threaded 3.13
# itself, whose export count is not atomic).
CODEC_RECIPE = [
    item("u", bits=12, value=0xABC),
    item("t", encoding="twos_complement", bits=16, value=-300, byte_order="little"),
    item("b", encoding="packed_bcd", bits=20, value=12345),
    item("f", encoding="ieee754", bits=32, value=Busy(3)),
    item("h", encoding="ieee754", bits=16, value=0.1),
    item("x", encoding="utf8", bits=8 * 24, value=TEXT[:10]),
    item("r", encoding="binary", bits=24, value=b"abc"),
    item("w", bits=64, value=2**64 - 1),
]
CODEC = FrameCodec(CODEC_RECIPE)
CODEC_VALUES = {"u": 1, "t": -2, "b": 345, "f": 1.5, "h": -0.25, "x": "\u00e9t\u00e9",
                "r": b"xyz", "w": 2**63}
CODEC_FRAME = CODEC.pack(CODEC_VALUES)
CODEC_DUMP = b"".join(CODEC.pack({**CODEC_VALUES, "u": i, "w": i * 2**40}) for i in range(300))
SHARED_ARRAY = bytearray(CODEC_DUMP)
SHARED_COLUMNS = CODEC.unpack_many(CODEC_DUMP)

CODEC_WORK = [
    ("codec pack dict", lambda: CODEC.pack(CODEC_VALUES)),
    ("codec pack list", lambda: CODEC.pack(list(CODEC_VALUES.values()))),
    ("codec pack defaults", lambda: CODEC.pack({"t": Busy(7)})),
    ("codec pack error", lambda: CODEC.pack({"u": 4096})),
    ("codec unpack", lambda: CODEC.unpack(CODEC_FRAME)),
    ("codec unpack offset", lambda: CODEC.unpack(b"\0" + CODEC_FRAME, 8)),
    ("codec unpack_tuple", lambda: CODEC.unpack_tuple(CODEC_FRAME)),
    ("codec unpack error", lambda: CODEC.unpack(CODEC_FRAME[:5])),
    ("codec unpack_many", lambda: CODEC.unpack_many(CODEC_DUMP)),
    ("codec unpack_many bytearray", lambda: CODEC.unpack_many(memoryview(SHARED_ARRAY)[CODEC.size:])),
    ("codec iter_unpack", lambda: list(CODEC.iter_unpack(CODEC_DUMP[:20 * CODEC.size]))),
    ("codec pack_many", lambda: CODEC.pack_many(SHARED_COLUMNS)),
    ("shared column", lambda: (list(SHARED_COLUMNS["w"]), memoryview(SHARED_COLUMNS["u"]).tolist(),
                               SHARED_COLUMNS["b"][299])),
    ("new codec", lambda: FrameCodec(CODEC_RECIPE) == CODEC),
    ("pack_parameters", lambda: bitloom.pack_parameters(CODEC_RECIPE)),
    ("unpack_parameters", lambda: bitloom.unpack_parameters(CODEC_FRAME, 0, CODEC_RECIPE[:3])),
    ("utf8", lambda: bitloom.decode_utf8(bitloom.encode_utf8(TEXT))),
    ("utf16", lambda: bitloom.decode_utf16(bitloom.encode_utf16(TEXT))),
    ("windows-1252", lambda: bitloom.decode_windows_1252(PACKET)),
]


def test_codecs_shared_by_8_threads_match_one_thread(frequent_switches):
    expected, mismatches, failures = run_in_8_threads(CODEC_WORK, ROUNDS // 2)
    assert {name for name, result in expected.items() if result[0] == "error"} == {
        "codec pack error", "codec unpack error"}
    assert failures == []
    assert mismatches == []


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only a free-threaded interpreter can run without the GIL")
def test_importing_every_module_leaves_the_gil_off(tmp_path):
    # An extension that does not declare that it runs without the GIL turns
    # it back on when imported, with a RuntimeWarning.
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    code = "import sys, bitloom, bitloom.frames, bitloom.layout; print(sys._is_gil_enabled())"
    # Run from elsewhere, so that the installed package is imported, not the source tree.
    run = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env, cwd=tmp_path,
                         capture_output=True, text=True, check=False)
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")


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


# A usual recipe shared by readers while other threads change it: its items'
# names and encodings are replaced by new str objects (the old ones freed),
# items are replaced by copies and the list grows and shrinks.  Every field
# has bytes of 0x80 and more, so "unsigned" and "twos_complement" read it
# differently; each value must be the byte read one of the two ways, under
# a name of the recipe.  A read of a freed item or of a freed name's cached
# encoding crashes or gives a value of neither kind.
SHARED_PACKET = bytes(range(200, 232))
ENCODINGS = ("unsigned", "twos_complement")


def fresh(text):
    """A new str object of `text` (not the interned one)."""
    return "".join(list(text))


def shared_item(i):
    return {"name": fresh(f"f{i}"), "encoding": fresh(ENCODINGS[i % 2]), "bits": 8,
            "byte_order": "big", "reverse_bits": False, "offset_bits": 8 * i, "value": 1}


def test_a_usual_recipe_changed_by_other_threads_reads_consistently():
    recipe = [shared_item(i) for i in range(8)]
    allowed = {f"f{i}": {SHARED_PACKET[i], SHARED_PACKET[i] - 256} for i in range(32)}
    stop = threading.Event()
    failures = []

    def change(seed):
        order = random.Random(seed)
        try:
            while not stop.is_set():
                i = order.randrange(8)
                try:
                    entry = recipe[i]
                except IndexError:
                    continue
                action = order.randrange(4)
                if action == 0:
                    entry["encoding"] = fresh(order.choice(ENCODINGS))
                elif action == 1:
                    entry["name"] = fresh(entry["name"])
                elif action == 2:
                    recipe[i] = dict(entry)
                elif len(recipe) < 12:
                    recipe.append(shared_item(len(recipe)))
                else:
                    del recipe[8:]
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    def read():
        try:
            for _ in range(3000):
                result = bitloom.unpack_parameters(SHARED_PACKET, 0, recipe)
                for name, value in result.items():
                    if value not in allowed[name]:
                        failures.append((name, value))
                bitloom.pack_parameters(recipe)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    changers = [threading.Thread(target=change, args=(seed,)) for seed in range(2)]
    readers = [threading.Thread(target=read) for _ in range(THREADS - 2)]
    for thread in changers + readers:
        thread.start()
    for thread in readers:
        thread.join()
    stop.set()
    for thread in changers:
        thread.join()
    assert failures == []
