"""FrameCodec over many frames: unpack_many and its columns, iter_unpack,
pack_many, the buffers they take, and the GIL released while columns are
decoded."""

import array
import mmap
import pickle
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from bitloom.frames import BinaryColumn, Column, FrameCodec, StringColumn
from test_frames import frame_recipes, item

TELEMETRY = [
    item("version", bits=3), item("apid", bits=11), item("counter", bits=14),
    item("temp", "twos_complement", 12), item("stamp", "packed_bcd", 16),
    item("volts", "ieee754", 16, "little"), item("status", "us-ascii", 32),
    item("raw", "binary", 6),
]


def telemetry_dump(frames):
    codec = FrameCodec(TELEMETRY)
    rows = [{"version": i % 8, "apid": i % 2048, "counter": i, "temp": i % 4096 - 2048,
             "stamp": i % 10000, "volts": float(i % 1000), "status": f"{i % 10000:04d}",
             "raw": bytes([i % 64])} for i in range(frames)]
    return codec, rows, codec.pack_many(rows)


@settings(max_examples=150, deadline=None)
@given(frame_recipes(max_fields=5), st.integers(0, 5), st.integers(0, 3), st.integers(0, 11),
       st.data())
def test_unpack_many_agrees_with_unpack_frame_by_frame(case, frames, spare_bytes, offset_bits,
                                                       data):
    recipe, _ = case
    codec = FrameCodec(recipe)
    frame_bytes = codec.size + spare_bytes + (offset_bits + 7) // 8
    if frame_bytes == 0:
        return
    dump = data.draw(st.binary(min_size=frames * frame_bytes, max_size=frames * frame_bytes))
    try:
        expected = [codec.unpack(dump, i * frame_bytes * 8 + offset_bits) for i in range(frames)]
    except ValueError as error:  # a BCD digit or a text byte that does not decode
        with pytest.raises(ValueError) as caught:
            codec.unpack_many(dump, frame_bytes=frame_bytes, offset_bits=offset_bits)
        assert str(caught.value).endswith(str(error).split(": ", 1)[1])
        return
    columns = codec.unpack_many(dump, frame_bytes=frame_bytes, offset_bits=offset_bits)
    assert list(columns) == list(codec.names)
    # Compared by repr: random bits hold NaNs, which equal nothing.
    assert repr({name: column.tolist() for name, column in columns.items()}) == repr({
        name: [fields[name] for fields in expected] for name in codec.names})
    assert repr(list(codec.iter_unpack(dump, frame_bytes=frame_bytes,
                                       offset_bits=offset_bits))) == repr(expected)


# Frames are decoded a block at a time (16,384 frames, or 64 KiB of text and
# raw bytes): values, repeats and errors across the blocks' edges.
BLOCKS = [
    ([item("a", bits=32), item("b", "twos_complement", 32)], 0, 2 * 16384 + 5),
    ([item("a", bits=12), item("t", "utf8", 64), item("r", "binary", 20)], 5, 3 * 7000 + 3),
    ([item("t", "utf8", 8 * 3000), item("n", bits=8)], 11, 50),
]


@pytest.mark.parametrize("recipe, offset_bits, frames", BLOCKS)
def test_frames_across_blocks_agree_with_unpack(recipe, offset_bits, frames):
    codec = FrameCodec(recipe)
    frame_bytes = codec.size + 1 + (offset_bits + 7) // 8
    text = ["same", "other"]
    rows = [[n % 4096 if f["encoding"] == "unsigned" else -n if f["encoding"] == "twos_complement"
             else text[(n // 3) % 2] if f["encoding"] == "utf8" else b"\1" for f in recipe]
            for n in range(frames)]
    dump = bytearray(frames * frame_bytes)
    for n, row in enumerate(rows):
        packed = int.from_bytes(codec.pack(row), "big") << (frame_bytes * 8 - codec.size * 8 - offset_bits)
        dump[n * frame_bytes:(n + 1) * frame_bytes] = packed.to_bytes(frame_bytes, "big")
    columns = codec.unpack_many(dump, frame_bytes=frame_bytes, offset_bits=offset_bits)
    expected = [codec.unpack(dump, n * frame_bytes * 8 + offset_bits) for n in range(frames)]
    assert {name: list(column) for name, column in columns.items()} == {
        name: [fields[name] for fields in expected] for name in codec.names}
    assert [fields[codec.names[0]] for fields in expected[:3]] == [
        row[0] if recipe[0]["encoding"] != "utf8" else row[0].ljust(3000, "\0") for row in rows[:3]]


@pytest.mark.parametrize("bad_frame", [0, 16383, 16384, 40000])
@pytest.mark.parametrize("field", ["a", "t"])
def test_the_first_bad_frame_is_named_in_any_block(bad_frame, field):
    codec = FrameCodec([item("a", "packed_bcd", 8), item("t", "utf8", 8)])
    dump = bytearray(codec.pack([12, "x"]) * 40005)
    dump[2 * bad_frame + (field == "t")] = 0xFF
    dump[2 * 40002] = 0xFF  # a later bad frame is not the one reported
    with pytest.raises(ValueError) as caught:
        codec.unpack_many(dump)
    assert str(caught.value).startswith(f"frame {bad_frame} (byte {2 * bad_frame}), field '{field}': ")


def test_columns_are_typed_arrays_of_native_width():
    codec, rows, dump = telemetry_dump(100)
    columns = codec.unpack_many(dump)
    types = {name: column.type for name, column in columns.items()}
    assert types == {"version": "uint8", "apid": "uint16", "counter": "uint16", "temp": "int16",
                     "stamp": "uint16", "volts": "float32", "status": "string", "raw": "binary"}
    assert columns["status"].tolist() == [row["status"] for row in rows]
    assert list(columns["raw"]) == [row["raw"] for row in rows]
    assert isinstance(columns["status"], StringColumn) and isinstance(columns["raw"], BinaryColumn)
    temp = columns["temp"]
    assert isinstance(temp, Column) and len(temp) == 100
    assert temp[3] == rows[3]["temp"] and temp.tolist() == [row["temp"] for row in rows]
    assert temp[-1] == rows[-1]["temp"] and temp[10:13].tolist() == [row["temp"] for row in rows[10:13]]
    assert temp[::-7].tolist() == [row["temp"] for row in rows[::-7]]
    assert columns["status"][-3::2].tolist() == [row["status"] for row in rows[-3::2]]
    with pytest.raises(IndexError):
        temp[100]
    view = memoryview(temp)
    assert (view.format, view.itemsize, view.shape, view.readonly) == ("h", 2, (100,), True)
    assert view.tolist() == temp.tolist()
    with pytest.raises(TypeError):
        memoryview(columns["status"])
    for column in columns.values():
        copy = pickle.loads(pickle.dumps(column))
        assert (type(copy), copy.type, copy.tolist()) == (type(column), column.type, column.tolist())


def test_numpy_views_columns_without_a_copy():
    numpy = pytest.importorskip("numpy")
    codec, rows, dump = telemetry_dump(1000)
    columns = codec.unpack_many(dump)
    volts = numpy.asarray(columns["volts"])
    assert volts.dtype == numpy.float32 and volts.tolist() == [row["volts"] for row in rows]
    assert numpy.shares_memory(volts, numpy.asarray(columns["volts"]))
    assert numpy.asarray(columns["counter"]).dtype == numpy.uint16
    assert numpy.asarray(columns["temp"]).dtype == numpy.int16
    assert numpy.asarray(columns["status"]).tolist() == [row["status"] for row in rows]
    assert not volts.flags.writeable


def test_columns_of_a_large_result_outlive_one_another():
    # Enough frames that the numeric columns share one block of memory: each
    # column, and a view of it, stays valid after the others are gone.
    codec = FrameCodec([item("a", bits=32), item("b", "twos_complement", 32),
                        item("c", "ieee754", 32)])
    frames = 200_000
    dump = codec.pack_many({"a": range(frames), "b": [-i for i in range(frames)],
                            "c": [i / 4 for i in range(frames)]})
    columns = codec.unpack_many(dump)
    b, view = columns["b"], memoryview(columns["c"])
    del columns
    assert list(b[i] for i in (0, 1, frames - 1)) == [0, -1, 1 - frames]
    del b
    assert view[frames - 1] == (frames - 1) / 4 and view.format == "f"
    view.release()


@pytest.mark.parametrize("make", [
    bytes, bytearray, memoryview, lambda data: memoryview(b"xx" + data)[2:],
    lambda data: array.array("B", data),
])
def test_every_contiguous_buffer_is_read(make):
    codec, rows, dump = telemetry_dump(10)
    buffer = make(dump)
    assert codec.unpack(buffer, 8 * codec.size) == codec.unpack(dump[codec.size:])
    assert codec.unpack_many(buffer)["counter"].tolist() == list(range(10))
    assert len(list(codec.iter_unpack(buffer))) == 10


def test_an_mmap_of_a_dump_is_read_in_place(tmp_path):
    codec, rows, dump = telemetry_dump(50)
    path = tmp_path / "dump.bin"
    path.write_bytes(dump)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        assert codec.unpack_many(mapped)["stamp"].tolist() == [row["stamp"] for row in rows]


@pytest.mark.parametrize("buffer, error", [
    ("abc", TypeError), (memoryview(bytes(40))[::2], BufferError), (None, TypeError),
])
def test_objects_that_are_not_contiguous_buffers_are_refused(buffer, error):
    with pytest.raises(error):
        FrameCodec([item()]).unpack_many(buffer)


MANY_ERRORS = [
    ({"frame_bytes": 8}, bytes(17), "a partial frame of 1 bytes at byte offset 16 (frames are 8 "
                                    "bytes; pass ignore_partial=True to leave it out)"),
    ({"frame_bytes": 2}, bytes(4), "frames of 2 bytes cannot hold the fields: they end at bit 24 "
                                   "of the codec, after offset_bits 0"),
    ({"offset_bits": 1}, bytes(6), "frames of 3 bytes cannot hold the fields: they end at bit 24 "
                                   "of the codec, after offset_bits 1"),
    ({"frame_bytes": 0}, bytes(6), "frame_bytes must be between 1 and 9223372036854775807, not 0"),
    ({}, bytes.fromhex("0001ff" "00fa00"),
     "frame 1 (byte 3), field 'b': Invalid BCD digit: 10 (must be 0-9)"),
    ({}, bytes.fromhex("0001ff" "00fa00" "a00000"),
     "frame 1 (byte 3), field 'b': Invalid BCD digit: 10 (must be 0-9)"),
    ({}, bytes.fromhex("0000ff" "80fa00"),
     "frame 1 (byte 3), field 'a': Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
]


@pytest.mark.parametrize("options, dump, message", MANY_ERRORS)
def test_unpack_many_refuses_naming_the_frame_and_field(options, dump, message):
    codec = FrameCodec([item("a", "us-ascii", 8), item("b", "packed_bcd", 8), item("c")])
    with pytest.raises(ValueError) as caught:
        codec.unpack_many(dump, **options)
    assert caught.value.args == (message,)


def test_a_trailing_partial_frame_can_be_left_out():
    codec = FrameCodec([item()])
    assert codec.unpack_many(b"\1\2\3", frame_bytes=2, ignore_partial=True)["a"].tolist() == [1]
    assert [row["a"] for row in codec.iter_unpack(b"\1\2\3", frame_bytes=2,
                                                  ignore_partial=True)] == [1]
    with pytest.raises(ValueError, match="^a partial frame of 1 bytes at byte offset 2"):
        codec.iter_unpack(b"\1\2\3", frame_bytes=2)
    empty = codec.unpack_many(b"")
    assert empty["a"].tolist() == [] and memoryview(empty["a"]).shape == (0,)
    with pytest.raises(ValueError, match="need frame_bytes"):
        FrameCodec([]).unpack_many(b"")


# Text and raw-byte columns take a repeated value's object from the frame
# before: runs, returns to an earlier value, values that differ in one bit or
# only in a trailing zero byte, at byte boundaries and between them.
@pytest.mark.parametrize("field, values", [
    (item("t", "us-ascii", 32), ["ABCD", "ABCD", "ABCE", "ABCD", "", "", "A", "ABCD"]),
    (item("t", "utf-8", 40, "little"), ["héé", "héé", "hé", "héé", "x"]),
    (item("t", "windows-1252", 24, reverse_bits=True), ["abc", "abc", "abd", "abc"]),
    (item("b", "binary", 11, reverse_bits=True), [b"\x07\xff", b"\x07\xff", b"\x07\xfe", b"\x00\x01",
                                                  b"\x01", b"\x07\xff"]),
    (item("b", "binary", 16), [b"\x01\x02", b"\x01\x02", b"\x01", b"\x00\x01", b"\x01\x02"]),
    (item("t", "us-ascii", 8 * 70), ["x" * 70, "x" * 70, "x" * 69 + "y", "x" * 70]),
])
@pytest.mark.parametrize("lead_bits", [0, 3])
def test_repeated_text_and_bytes_decode_frame_by_frame(field, values, lead_bits):
    recipe = ([item("lead", bits=lead_bits)] if lead_bits else []) + [field]
    codec = FrameCodec(recipe)
    name = field["name"]
    dump = codec.pack_many([{"lead": 1, name: value} if lead_bits else {name: value}
                            for value in values])
    expected = [fields[name] for fields in codec.iter_unpack(dump)]
    column = codec.unpack_many(dump)[name]
    assert column.tolist() == expected
    assert [type(value) for value in column] == [type(value) for value in expected]


def test_pack_many_takes_columns_or_rows_and_inverts_unpack_many():
    codec, rows, dump = telemetry_dump(64)
    assert codec.pack_many(codec.unpack_many(dump)) == dump
    assert codec.pack_many(iter(rows)) == dump
    assert codec.pack_many([list(row.values()) for row in rows]) == dump
    assert codec.pack_many({name: [] for name in codec.names}) == b""
    with pytest.raises(ValueError, match=r"^columns of different lengths \('a': 2, 'b': 1\)$"):
        FrameCodec([item(), item("b")]).pack_many({"a": [1, 2], "b": [1]})
    with pytest.raises(ValueError) as caught:
        codec.pack_many(rows[:3] + [{**rows[3], "temp": 5000}])
    assert str(caught.value) == "field 'temp': Value 5000 out of range for 12 bits (range: -2048 to 2047)"
    assert caught.value.__notes__ == ["in frame 3"]


def test_iter_unpack_notes_the_frame_of_a_failure():
    codec = FrameCodec([item(encoding="packed_bcd")])
    frames = codec.iter_unpack(b"\x12\x1f")
    assert next(frames) == {"a": 12}
    with pytest.raises(ValueError) as caught:
        next(frames)
    assert caught.value.__notes__ == ["in frame 1 (byte 1)"]


def long_dump(frames):
    codec = FrameCodec([item("a", bits=32), item("b", "twos_complement", 32)])
    return codec, bytearray(codec.pack([7, -7]) * frames)


def test_other_threads_run_and_cannot_resize_the_buffer_while_columns_are_decoded():
    # This thread can run while the other is inside unpack_many (the buffer
    # still exported) only if the call lets go of the GIL; the other thread
    # decodes again and again until this one has seen that once, so the
    # outcome does not depend on how threads are scheduled.
    frames = 500_000
    codec, dump = long_dump(frames)
    stop = threading.Event()
    wrong = []

    def decode():
        for _ in range(500):
            columns = codec.unpack_many(dump, ignore_partial=True)
            if len(columns["a"]) != frames or columns["b"][frames - 1] != -7:
                wrong.append(columns)
            if stop.is_set():
                return

    thread = threading.Thread(target=decode)
    thread.start()
    seen = False
    try:
        while thread.is_alive() and not seen:
            try:
                dump.append(0)
                del dump[-1]  # a byte left over is a partial frame, left out
            except BufferError:
                seen = True
    finally:
        stop.set()
        thread.join()
    del dump[8 * frames:]
    dump.append(0)  # exported no longer
    assert seen and wrong == []


LEAK_RECIPE = [item("a", "packed_bcd", 8), item("s", "utf8", 16, value="hi"),
               item("r", "binary", 8, value=b"\1")]


class Refusing:
    def __index__(self):
        raise LookupError("refused")


def leak_calls():
    codec = FrameCodec(LEAK_RECIPE)
    bad_recipes = [[item(), item()], [item(encoding="nope")], [item(), [1]], [item(bits=3, value=9)]]

    def refused(function, *arguments):
        try:
            function(*arguments)
        except (Exception, KeyboardInterrupt):
            pass

    return [
        lambda: FrameCodec(LEAK_RECIPE), lambda: [refused(FrameCodec, r) for r in bad_recipes],
        lambda: codec.pack({"a": 12}), lambda: codec.pack((12, "ok", [2])),
        lambda: refused(codec.pack, {}), lambda: refused(codec.pack, {"a": Refusing()}),
        lambda: refused(codec.pack, {"a": 1, "x": 2}), lambda: refused(codec.pack, [1, "toolong"]),
        lambda: codec.unpack(b"\x12hi\1"), lambda: refused(codec.unpack, b"\x1fhi\1"),
        lambda: refused(codec.unpack, b"\x12"), lambda: refused(codec.unpack, b"\x12\xffi\1"),
        lambda: codec.unpack_many(b"\x12hi\1" * 20), lambda: refused(codec.unpack_many, b"\x1a" * 8),
        lambda: refused(codec.unpack_many, b"\x12\xff\0\1" * 2),
        lambda: refused(codec.unpack_many, b"\x12" * 5),
        lambda: pickle.loads(pickle.dumps(codec)), lambda: (codec.recipe, repr(codec), codec == codec),
        lambda: pickle.loads(pickle.dumps(codec.unpack_many(b"\x12hi\1")["a"])),
        lambda: codec.fields, lambda: codec.unpack_many(b"\x12hi\1" * 40000),
        lambda: refused(codec.unpack_many, b"\x12hi\1" * 40000 + b"\x1a\0\0\0"),
        lambda: refused(codec.unpack_many, b"\x12hi\1" * 40000 + b"\x12\xff\0\1"),
        lambda: codec.unpack(b"\x12hi\1" + bytes(600)),
    ]


@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="under the sanitizer's allocator; LeakSanitizer checks instead")
def test_no_call_keeps_memory():
    from test_leaks import leaks, tracing

    growth = {}
    with tracing():
        for number, call in enumerate(leak_calls()):
            found = leaks(lambda rounds: [call() for _ in range(rounds)])
            if found is not None:
                growth[number] = found
    assert growth == {}
