"""Every module function, through its success path and each of its error
paths, many times over: the memory that tracemalloc sees and the process's
resident size must stay flat.  A reference kept by mistake on any path (an
exception text, a converted argument, a result dict, a packet) shows up here
as steady growth."""

import contextlib
import gc
import os
import sys
import tracemalloc

import pytest

import bitloom
from recipe_items import Items

item = Items(value=1)

REPEATS = 2000


class Index:
    def __index__(self):
        return 5


class Refusing:
    def __index__(self):
        raise LookupError("refused")

    def __float__(self):
        raise LookupError("refused")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class RaisesUnprintable:
    def __index__(self):
        raise Unprintable()


class Bytes(bytes):
    pass


class Text(str):
    pass


class OwnHash(str):
    """Sits in a dict beside the plain str of the same text."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return False


# Calls per function beyond the generic ones below: the success paths and
# the codec's own errors.
INTEGER_PATTERNS = [(0xFA, 8), (2**64 - 1, 64), (Index(), 8), (5, 0), (5, 2**32 - 1)]
TEXT = ["", "abc", "h\u00e9llo", "\u20ac", "\U0001f600", Text("abc"), "\ud800"]
SPECIFIC = {
    "unpack_parameters": [
        (b"\x01\x02\x03", 0, [item(), item("b", bits=16, byte_order="little")]),
        (Bytes(b"\xab\xcd"), 4, [item(bits=12, offset_bits=0, reverse_bits=True)]),
        (b"\x61\x62", 0, [item(encoding="UTF-8", bits=16), item("b", encoding="latin1", offset_bits=0)]),
        (b"\x00" * 16, 0, [item(encoding="ieee754_f64", bits=64), item("b", encoding="ieee754_f16", bits=16)]),
        (b"\x01", 0, [item(bits=16)]),
        (b"\x01", 0, [item(encoding="nope")]),
        (b"\x01", 0, [item(byte_order="middle")]),
        (b"\x01", 0, [item(encoding="ti_f32")]),
        (b"\xff", 0, [item(encoding="utf8")]),
        (b"\x01", 0, [{"name": "a"}]),
        (b"\x01", 0, [5]),
        (b"\x01", 0, [item(bits=Refusing())]),
        (b"\x01", 0, [item(bits=RaisesUnprintable())]),
        (b"\x01", 2**64 - 1, [item(offset_bits=8)]),
        (b"\x01", -1, []),
        (b"\x01\x02", 0, [{**item(), OwnHash("bits"): 16, OwnHash("name"): "b"}]),
    ],
    "pack_parameters": [
        ([item(), item("b", encoding="utf16le", bits=32, value="ab")],),
        ([item(encoding="binary", bits=12, value=[1, 2]), item("b", encoding="ieee754", bits=16, value=1.0)],),
        ((item(encoding="packed_bcd_signed", bits=16, value=-12),),),
        ([item(value=256)],),
        ([item(value=-1)],),
        ([item(encoding="binary", value="ab")],),
        ([item(encoding="binary", value=[1, 300])],),
        ([item(encoding="ti", bits=32, value=1.0)],),
        ([item(encoding="ieee754", bits=12, value=1.0)],),
        ([item(encoding="us_ascii", value="\u00e9")],),
        ([item(encoding="utf8", value="\ud800")],),
        ([{k: v for k, v in item().items() if k != "value"}],),
        ([item(value=Refusing())],),
        ([item(value=RaisesUnprintable())],),
        ([item(bits=8, offset_bits=2**64 - 1)],),
        ("abc",),
        ([{**item(), OwnHash("bits"): 16, OwnHash("value"): 2}],),
    ],
    "decode_unpacked_bcd": [(0x010203, 24), (0xF1F2D3, 24, True), (0x313233, 24), (0xF1F2A3, 24, True)],
    "decode_packed_bcd": [(0x1234, 16), (0x1234D, 20, True), (0x123A, 16), (0x12345, 20, True)],
    "decode_ieee754_f16": [(0x3C00,)],
    "decode_ieee754_f32": [(0x3F800000,)],
    "decode_ieee754_f64": [(0x3FF0000000000000,)],
    "decode_ieee754_f128": [(2**127 + 2**126,), (2**128,), (-1,)],
    "encode_ones_complement": [(-5, 8), (128, 8), (-128, 8), (1, 65)],
    "encode_twos_complement": [(-1, 8), (128, 8), (1, 65)],
    "encode_sign_magnitude": [(-5, 8), (128, 8), (1, 1)],
    "encode_unpacked_bcd": [(123, 24, True), (-5, 8), (123, 16), (5, 7)],
    "encode_packed_bcd": [(1234, 16), (-1234, 20, True), (123, 8), (-1, 8), (1, 3)],
    "encode_ieee754_f16": [(1.0,), (Index(),), (1e300,)],
    "encode_ieee754_f32": [(1.0,)],
    "encode_ieee754_f64": [(1.0,)],
    "decode_us_ascii": [(b"abc",), (b"\x80",)],
    "decode_iso_8859_1": [(b"ab\xff",)],
    "decode_windows_1252": [(b"\x80\x81",), (b"\xef\xbb\xbf\xff",), (b"\xff\xfe\x00",)],
    "decode_utf8": [(b"h\xc3\xa9",), (b"\xf0\x9f\x98\x80",), (b"\xff",), (b"\xe2\x82",)],
    "decode_utf16": [(b"\xfe\xff\x00a",), (b"\x00",), (b"\xdc\x00",)],
    "decode_utf16le": [(b"a\x00",), (b"a",), (b"\x00\xdc",)],
    "decode_utf16be": [(b"\xd8\x3d\xde\x00",), (b"\xd8\x00",)],
    "decode_utf32": [(b"\x00\x00\xfe\xff\x00\x00\x00a",), (b"\x00",), (b"\x00\x11\x00\x00",)],
    "decode_utf32le": [(b"a\x00\x00\x00",), (b"\x00\xd8\x00\x00",)],
    "decode_utf32be": [(b"\x00\x01\xf6\x00",), (b"\xff\xff\xff\xff",)],
}
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")
if not UNDER_SANITIZER:
    # A packet that cannot be allocated (the sanitizer would print a warning
    # for each of the thousands of attempts).
    SPECIFIC["pack_parameters"].append(([item(offset_bits=2**63)],))
for name in bitloom.__all__:
    if name.startswith("decode_") and name[7:] in ("ones_complement", "twos_complement", "sign_magnitude"):
        SPECIFIC[name] = INTEGER_PATTERNS
    elif name.startswith("encode_") and name[7:] in ("us_ascii", "iso_8859_1", "windows_1252") or \
            name.startswith("encode_utf"):
        SPECIFIC[name] = [(text,) for text in TEXT]
    SPECIFIC.setdefault(name, [(1,), (1.0,)])  # the reserved formats refuse


def generic_calls(function):
    """Binding and conversion failures: too many or too few arguments, an
    unknown keyword, each parameter of the wrong type."""
    parameters = function.__text_signature__.strip("()").split(", ")
    names = [p.split("=")[0] for p in parameters]
    good = SPECIFIC[function.__name__][0]
    calls = [(tuple(good) + (None,) * len(names), {}), ((), {}), (good, {"unknown": 1}),
             ((), {names[0]: good[0], "unknown": 1})]
    for index in range(len(good)):
        for wrong in (object(), "text", b"bytes", 1.5, -1, 2**130, None):
            args = list(good)
            args[index] = wrong
            calls.append((tuple(args), {}))
    calls.append(((), dict(zip(names, good))))
    return calls


def all_calls(name):
    function = getattr(bitloom, name)
    return function, [(args, {}) for args in SPECIFIC[name]] + generic_calls(function)


def run(function, calls, repeats):
    for _ in range(repeats):
        for args, kwargs in calls:
            try:
                function(*args, **kwargs)
            except (ValueError, TypeError, OverflowError, KeyError, NotImplementedError,
                    LookupError, UnicodeError, Unprintable):
                pass


def test_every_function_has_success_and_error_paths():
    for name in bitloom.__all__:
        function, calls = all_calls(name)
        outcomes = set()
        for args, kwargs in calls:
            try:
                function(*args, **kwargs)
                outcomes.add("ok")
            except Exception:
                outcomes.add("error")
        assert "error" in outcomes, name
        if not name[7:] in ("ieee754_f128",) and "_1985_" not in name and not any(
                name.endswith(f) for f in ("mil_std_1750a_f32", "mil_std_1750a_f48", "dec_f32",
                                           "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40")):
            assert "ok" in outcomes, name
        elif name.startswith("encode_"):
            assert outcomes == {"error"}, name


@contextlib.contextmanager
def tracing():
    """tracemalloc on, and every object that exists already moved out of the
    collector's reach (gc.freeze): the checks below collect twice a window,
    and each collection otherwise walked everything pytest holds (a fifth of
    a second per collection in the whole suite, four fifths of this file's
    time); what a window leaks is made after the freeze."""
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    try:
        yield
    finally:
        tracemalloc.stop()
        gc.unfreeze()


@pytest.fixture
def traced():
    with tracing():
        yield


# The least that keeping one object per round can cost: an int or an empty
# tuple is 32 bytes or more.  A leak grows by at least this much per round in
# every window, however many; what the interpreter fills once (free lists,
# caches, interned texts, a dict that grows a size) grows by a bounded amount
# and so falls behind windows that keep doubling.
LEAST_LEAK = 16
WINDOWS = (50, 100, 200)  # rounds
ATTEMPTS = 4


def traced_growth(step, rounds):
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    step(rounds)
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def leaks(step):
    """The growth of each window while every window of `step` (a function
    of a number of rounds) grows by at least LEAST_LEAK bytes a round, over
    ATTEMPTS runs of the windows, else None: one quiet window clears it."""
    step(WINDOWS[0])  # warm-up: caches, interned texts
    growth = []
    for _ in range(ATTEMPTS):
        for rounds in WINDOWS:
            grown = traced_growth(step, rounds)
            if grown < LEAST_LEAK * rounds:
                return None
            growth.append(grown)
    return growth


# Under the sanitizers the two checks below would only repeat, a few hundred
# times over and at ten times the cost, calls that
# test_every_function_has_success_and_error_paths makes once there; the
# release run checks what they check (objects kept by reference), and
# LeakSanitizer native memory never freed.
repeats_in_release_run_only = pytest.mark.skipif(
    UNDER_SANITIZER, reason="repeats calls made once under the sanitizer; checked in the release run")


@repeats_in_release_run_only
def test_the_leak_check_sees_one_small_object_kept_per_round(traced):
    kept = []

    def step(rounds):
        for n in range(rounds):
            kept.append((n,))  # one tuple of one int a round (the list grows too)

    assert leaks(step) is not None
    assert leaks(lambda rounds: [(n,) for n in range(rounds)]) is None


@repeats_in_release_run_only
def test_traced_memory_stays_flat(traced):
    growth = {}
    for name in bitloom.__all__:
        function, calls = all_calls(name)
        found = leaks(lambda rounds: run(function, calls, rounds))
        if found is not None:
            growth[name] = found
    assert growth == {}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="the sanitizer's quarantine holds freed memory; LeakSanitizer checks instead")
def test_resident_size_stays_flat():
    # Large fields, so that native memory kept on any path (scratch buffers,
    # encoded text, packets) would add up to megabytes.
    text = "\u20ac" * 20000
    raw = bytes(range(256)) * 200
    calls = [
        lambda: bitloom.pack_parameters([item(encoding="utf16le", bits=16 * len(text), value=text),
                                         item("b", encoding="binary", bits=8 * len(raw), value=raw)]),
        lambda: bitloom.pack_parameters([item(encoding="utf16le", bits=16, value=text),
                                         item("b", encoding="us_ascii", value=text)]),
        lambda: bitloom.pack_parameters([item(encoding="binary", bits=8 * len(raw), value=list(raw[:2000])),
                                         item("b", value=-1)]),
        lambda: bitloom.unpack_parameters(raw, 0, [item(encoding="latin1", bits=8 * len(raw)),
                                                   item("b", encoding="utf16le", bits=8 * len(raw),
                                                        offset_bits=0, byte_order="little")]),
        lambda: bitloom.unpack_parameters(raw, 0, [item(encoding="windows-1252", bits=8 * len(raw)),
                                                   item("b", encoding="utf8", bits=8 * len(raw), offset_bits=0)]),
        lambda: bitloom.encode_utf32(text),
        lambda: bitloom.decode_utf16le(raw),
        lambda: bitloom.encode_windows_1252(text + "\u0100"),
    ]

    def loop(repeats):
        for _ in range(repeats):
            for call in calls:
                try:
                    call()
                except ValueError:
                    pass

    loop(20)
    gc.collect()
    before = resident_bytes()
    loop(300)
    gc.collect()
    # Each round moves about 1.5 MB through the module; a leak on any path
    # would reach hundreds of megabytes.
    assert resident_bytes() - before < 16 * 2**20
