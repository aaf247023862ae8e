"""FrameCodec against hostile and careless callers: codecs whose construction
fails while Python code can see them, recipe copies that change under the
compiler, caller buffers that another thread writes while they are decoded,
and Ctrl-C in the middle of a long decode.  The cases that crashed run in a
child process, so that a crash is a failed test rather than a lost run (the
child inherits the sanitizer's settings in the checked run)."""

import copy
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from bitloom.frames import FrameCodec


def item(name="a", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": reverse_bits, **extra}


def run_child(script, timeout=120):
    # From another folder, so that the installed package is imported.
    result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                            text=True, timeout=timeout, cwd=os.path.dirname(sys.executable))
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout


PRELUDE = """
import copy, gc, pickle, sys
from bitloom.frames import FrameCodec

def item(name="a", encoding="unsigned", bits=8, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False, **extra}
"""


# ---- codecs whose construction failed ---------------------------------------------

# Every slot of the object, by name: each must raise a clear error or work.
SLOTS = """
SLOTS = {
    "names": lambda c: c.names, "size": lambda c: c.size, "recipe": lambda c: c.recipe,
    "fields": lambda c: c.fields, "repr": repr, "pack": lambda c: c.pack({}),
    "pack-tuple": lambda c: c.pack(()), "unpack": lambda c: c.unpack(b"\\x00" * 8),
    "unpack_tuple": lambda c: c.unpack_tuple(b"\\x00" * 8),
    "unpack_many": lambda c: c.unpack_many(b"\\x00" * 8, frame_bytes=8),
    "iter_unpack": lambda c: list(c.iter_unpack(b"\\x00" * 8, frame_bytes=8)),
    "eq": lambda c: c == c, "copy": copy.copy, "deepcopy": copy.deepcopy,
    "reduce": lambda c: c.__reduce__(), "pickle": pickle.dumps,
}

def every_slot(codec):
    outcomes = {}
    for name, call in SLOTS.items():
        try:
            call(codec)
            outcomes[name] = "ok"
        except ValueError as error:
            outcomes[name] = str(error)
    return outcomes
"""


def test_a_subclass_del_of_a_failed_construction_is_safe():
    # Main crashed in __del__ reading `names` of the half-built codec.
    out = run_child(PRELUDE + SLOTS + textwrap.dedent("""
    seen = []
    class Codec(FrameCodec):
        __slots__ = ()
        def __del__(self):
            seen.append(every_slot(self))
    for recipe in ([item(), item()], [item(encoding="nope")], [item(value=300)], "abc"):
        try:
            Codec(recipe)
        except (ValueError, TypeError, KeyError, OverflowError):
            pass
    gc.collect()
    codec = Codec([item(value=1)])
    del codec
    gc.collect()
    # A construction that fails leaves no object behind; a built one works.
    print(seen)
    """))
    assert out.strip() == repr([{name: "ok" for name in (
        "names", "size", "recipe", "fields", "repr", "pack", "pack-tuple", "unpack", "unpack_tuple",
        "unpack_many",
        "iter_unpack", "eq", "copy", "deepcopy", "reduce", "pickle")}])


def test_a_codec_found_by_the_collector_during_construction_is_complete():
    # A value's __index__ runs while the codec compiles; on main the codec
    # under construction was in gc.get_objects() with a half-filled state:
    # pack({}) gave b'', unpack raised SystemError, names crashed.
    out = run_child(PRELUDE + SLOTS + textwrap.dedent("""
    found = []
    class Spy:
        def __index__(self):
            found.extend(o for o in gc.get_objects() if isinstance(o, FrameCodec))
            return 3
    built = FrameCodec([item("x", value=1)])
    for recipe in ([item(value=Spy()), item("b")],
                   [item(value=Spy()), item("b", encoding="nope")],
                   [item(value=Spy()), item("b", value=Spy())]):
        try:
            FrameCodec(recipe)
        except ValueError:
            pass
    print(sorted({str(every_slot(codec)) for codec in found}))
    print(sorted({str(codec.names) for codec in found}))
    """))
    outcomes, names = out.splitlines()
    # Only codecs that were whole when found: the one built before.
    assert names == repr([repr(("x",))])
    assert "not constructed" not in outcomes and "SystemError" not in outcomes


# ---- the recipe copy under the compiler -------------------------------------------

def test_a_deepcopy_hook_that_clears_the_copied_list_later():
    # The item's __deepcopy__ finds the list of copies in `memo`; a hook run
    # while compiling clears it.  Main read freed items (a crash).
    out = run_child(PRELUDE + textwrap.dedent("""
    lists = []
    class Clearing:
        def __index__(self):
            for kept in lists:
                kept.clear()
            return 1
    class Sneaky:
        def __deepcopy__(self, memo):
            lists.extend(v for v in memo.values() if type(v) is list)
            return Clearing()
    codec = FrameCodec([item("a", value=Sneaky()), item("b", value=2), item("c", value=3)])
    print(codec.names, codec.pack({}).hex(), [i["name"] for i in codec.recipe])
    """))
    assert out.strip() == "('a', 'b', 'c') 010203 ['a', 'b', 'c']"


@pytest.mark.parametrize("returned, error, message", [
    (42, TypeError, "copy.deepcopy returned 'int', not a list"),
    (None, TypeError, "copy.deepcopy returned 'NoneType', not a list"),
    ("ab", TypeError, "copy.deepcopy returned 'str', not a list"),
    ([1, 2], TypeError, "recipe item 0: 'int' object cannot be cast as 'dict'"),
    ([], None, ()),
    ((item("z"),), None, ("z",)),
])
def test_a_replaced_deepcopy(monkeypatch, returned, error, message):
    # Main took whatever copy.deepcopy returned for a list (a crash).
    monkeypatch.setattr(copy, "deepcopy", lambda value, memo=None: returned)
    if error is None:
        assert FrameCodec([item()]).names == message
        return
    with pytest.raises(error) as caught:
        FrameCodec([item()])
    assert str(caught.value) == message


# ---- caller bytes that change while they are decoded ------------------------------

RACE = """
import ctypes, mmap, os, sys, tempfile, threading, time
import bitloom
from bitloom.frames import FrameCodec

def item(name="a", encoding="unsigned", bits=8, **extra):
    return {{"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False, **extra}}

FIELD = {field_bytes}
ENCODING, PYTHON_ENCODING = {encoding!r}
PATTERNS = [{patterns}]
assert all(len(p) == FIELD for p in PATTERNS)
recipe = [item("n", bits=16), item("t", encoding=ENCODING, bits=8 * FIELD)]
codec = FrameCodec(recipe)
FRAMES = {frames}
frame = [codec.size]

def make_target(kind):
    size = codec.size * FRAMES
    if kind == "bytearray":
        buffer = bytearray(size)
        return buffer, (ctypes.c_char * size).from_buffer(buffer), None
    handle = tempfile.TemporaryFile()
    handle.truncate(size)
    mapped = mmap.mmap(handle.fileno(), size)
    return mapped, (ctypes.c_char * size).from_buffer(mapped), handle

def calls(buffer):
    found = [
        lambda: codec.unpack_many(buffer),
        lambda: codec.unpack(buffer),
        lambda: codec.unpack_tuple(buffer)[1],
        lambda: list(codec.iter_unpack(buffer)),
    ]
    try:
        bitloom.unpack_parameters(buffer, 0, [])
    except TypeError:
        pass  # the recipe functions take bytes only
    else:
        found.append(lambda: bitloom.unpack_parameters(buffer, 0, recipe))
    return found

def check(result):
    # Whatever was read, each value is text of at most the field's bytes.
    if isinstance(result, list):
        for row in result:
            check(row)
        return
    texts = result if isinstance(result, str) else result["t"]
    texts = [texts] if isinstance(texts, str) else list(texts)
    for text in texts:
        assert isinstance(text, str) and len(text.encode(PYTHON_ENCODING, "surrogatepass")) <= FIELD, len(text)

for kind in ("bytearray", "mmap"):
    buffer, window, handle = make_target(kind)
    address = ctypes.addressof(window)
    sources = [ctypes.create_string_buffer(bytes(2) + p, codec.size) for p in PATTERNS]
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            for source in sources:
                for number in range(FRAMES):
                    ctypes.memmove(address + number * codec.size, source, codec.size)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        deadline = time.monotonic() + {seconds}
        while time.monotonic() < deadline:
            for call in calls(buffer):
                try:
                    check(call())
                except ValueError:
                    pass  # torn bytes that are not valid text
    finally:
        stop.set()
        thread.join()
    del window
    buffer.close() if kind == "mmap" else None
print("ok")
"""


@pytest.mark.parametrize("encoding, patterns", [
    (("utf8", "utf-8"), 'b"a" * FIELD, "\\U0001f600".encode("utf-8") * (FIELD // 4)'),
    (("utf16le", "utf-16-le"), '"a".encode("utf-16-le") * (FIELD // 2), "\\U0001f600".encode("utf-16-le") * (FIELD // 4)'),
], ids=["utf8", "utf16"])
def test_bytes_changed_by_another_thread_while_decoded(encoding, patterns):
    # The text decoders size their result in one pass and fill it in a
    # second; main handed them the caller's live buffer (frames over 512
    # bytes, and every text field of unpack_many), and a change between the
    # passes wrote past the end of the str.
    out = run_child(RACE.format(field_bytes=1 << 16, encoding=encoding, patterns=patterns,
                                frames=4, seconds=1.5), timeout=300)
    assert out.strip() == "ok"


GUARDED = """
import ctypes, mmap
from bitloom.frames import FrameCodec

def item(name, encoding="unsigned", bits=8, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False, **extra}

libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                      ctypes.c_long]
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
PAGE = mmap.PAGESIZE

def guarded(size):
    # `size` bytes that end where a page no one may read begins.
    pages = (size + PAGE - 1) // PAGE + 1
    base = libc.mmap(None, pages * PAGE, 3, 0x22, -1, 0)
    assert base not in (None, ctypes.c_void_p(-1).value)
    assert libc.mprotect(base + (pages - 1) * PAGE, PAGE, 0) == 0
    return (ctypes.c_char * size).from_address(base + (pages - 1) * PAGE - size)

RECIPES = [
    [item("a"), item("t", "utf8", 0)],
    [item("a"), item("r", "binary", 0)],
    [item("a", bits=4), item("t", "utf16le", 16, offset_bits=8), item("z", "binary", 0)],
    [item("a", bits=3), item("r", "binary", 13)],
    [item("t", "utf8", 24), item("n", "twos_complement", 0)],
]
for recipe in RECIPES:
    codec = FrameCodec(recipe)
    frames = 3000
    buffer = guarded(codec.size * frames)
    codec.unpack_many(buffer)
    codec.unpack(buffer, (frames - 1) * codec.size * 8)
    codec.unpack_tuple(buffer, (frames - 1) * codec.size * 8)
    list(codec.iter_unpack(buffer))
print("ok")
"""


def test_no_call_reads_past_the_buffer():
    # A zero-width text or raw-bytes field at the very end of a frame made
    # the block copy read one byte past the buffer; a page no one may read
    # after it turns such a read into a crash.
    assert run_child(GUARDED).strip() == "ok"


# ---- Ctrl-C -----------------------------------------------------------------------

def interrupted_inside(call, exported, attempts=3):
    """Sends SIGINT to this thread once `call` is under way (seen from
    another thread: `exported` is refused a resize); the handler notes
    whether the call still held the buffer when it ran, that is, whether the
    call stopped for the signal or ran to its end first."""
    main = threading.get_ident()
    for _ in range(attempts):
        where = []
        sent = threading.Event()
        finished = threading.Event()

        def handler(signum, frame):
            try:
                exported.append(0)
            except BufferError:
                where.append("inside")
            else:
                del exported[-1]
                where.append("after")
            raise KeyboardInterrupt

        def interrupt():
            while not finished.is_set():
                try:
                    exported.append(0)
                    del exported[-1]  # (a byte left over is a partial frame, left out)
                except BufferError:
                    signal.pthread_kill(main, signal.SIGINT)
                    sent.set()
                    return
                time.sleep(0.0005)

        previous = signal.signal(signal.SIGINT, handler)
        sender = threading.Thread(target=interrupt)
        try:
            sender.start()
            try:
                call()
                finished.set()
                if sent.is_set():
                    time.sleep(5)  # the handler raises in here
            except KeyboardInterrupt:
                pass
        finally:
            finished.set()
            sender.join()
            signal.signal(signal.SIGINT, previous)
        if where == ["inside"]:
            return True
    return False


@pytest.mark.parametrize("recipe", [
    [item("a", bits=32), item("b", "twos_complement", 32)],
    [item("a", bits=32), item("t", "utf-8", 32)],
], ids=["numeric", "text"])
def test_ctrl_c_stops_a_long_unpack_many(recipe):
    # Main checked for signals only when the whole call ended.
    codec = FrameCodec(recipe)
    dump = bytearray(codec.pack([7, 0x41424344] if recipe[1]["encoding"] != "utf-8" else [7, "ABCD"]) * 4_000_000)
    assert interrupted_inside(lambda: codec.unpack_many(dump, ignore_partial=True), dump)
