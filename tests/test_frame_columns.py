"""Columns of native width and what other libraries make of them: the type of
each field's column, every value against FrameCodec.unpack frame by frame,
the same result for any number of threads and any batch size, nulls for
fields that fail to decode, streaming from files, and Arrow, numpy, pandas
and polars taking the columns' own memory."""

import io

import pytest

from bitloom.frames import BinaryColumn, Column, FrameCodec, FrameError, Frames, StringColumn, masked
from test_frames import item


@pytest.mark.parametrize("encoding, bits, order, expected", [
    ("unsigned", 0, "big", "uint8"), ("unsigned", 1, "big", "uint8"), ("unsigned", 8, "big", "uint8"),
    ("unsigned", 9, "big", "uint16"), ("unsigned", 16, "little", "uint16"), ("unsigned", 17, "big", "uint32"),
    ("unsigned", 32, "big", "uint32"), ("unsigned", 33, "big", "uint64"), ("unsigned", 64, "little", "uint64"),
    ("twos_complement", 1, "big", "int8"), ("twos_complement", 8, "big", "int8"),
    ("twos_complement", 12, "big", "int16"), ("twos_complement", 32, "little", "int32"),
    ("twos_complement", 40, "little", "int64"), ("ones_complement", 16, "big", "int16"),
    ("sign_magnitude", 9, "big", "int16"),
    ("packed_bcd", 8, "big", "uint8"), ("packed_bcd", 12, "big", "uint16"), ("packed_bcd", 16, "big", "uint16"),
    ("packed_bcd", 40, "big", "uint64"), ("packed_bcd_signed", 12, "big", "int8"),
    ("bcd", 16, "big", "uint8"), ("bcd", 64, "big", "uint32"),
    ("ieee754", 16, "big", "float32"), ("ieee754", 32, "little", "float32"), ("ieee754", 64, "big", "float64"),
    ("ieee754_f128", 128, "big", "float64"),
    ("us-ascii", 16, "big", "string"), ("utf-16", 32, "big", "string"), ("binary", 5, "big", "binary"),
])
def test_each_field_decodes_to_the_narrowest_type_that_holds_it(encoding, bits, order, expected):
    codec = FrameCodec([item("a", encoding, bits, order)])
    column = codec.unpack_many(bytes(max(codec.size, 1) * 3), frame_bytes=max(codec.size, 1),
                               errors="null")["a"]
    assert column.type == expected and len(column) == 3
    assert type(column) is {"string": StringColumn, "binary": BinaryColumn}.get(expected, Column)


# Fields of every shape the decoder has a loop for: whole bytes in either
# order, at and off byte boundaries, reversed, every codec, text of several
# codecs and raw bytes, and a field no value of which fails.
MIXED = [
    item("u3", bits=3), item("s12", "twos_complement", 12), item("u16le", bits=16, byte_order="little"),
    item("u32", bits=32), item("s8", "twos_complement", 8), item("u64", bits=64),
    item("s40le", "twos_complement", 40, "little"), item("rev", bits=13, reverse_bits=True),
    item("f16", "ieee754", 16), item("f32le", "ieee754", 32, "little"), item("f64", "ieee754", 64),
    item("bcd", "packed_bcd", 12), item("ones", "ones_complement", 7), item("sm", "sign_magnitude", 10),
    item("zero", bits=0), item("pad", bits=5), item("text", "us-ascii", 48), item("wide", "utf-16be", 32),
    item("latin", "windows-1252", 24, reverse_bits=True), item("raw", "binary", 11, reverse_bits=True),
]


def field_starts(codec):
    starts, cursor = {}, 0
    for recipe_item in codec.recipe:
        starts[recipe_item["name"]] = cursor
        cursor += recipe_item["bits"]
    return starts


def expected_columns(codec, dump, frame_bytes):
    """Every field of every frame through unpack, None where it fails."""
    starts = field_starts(codec)
    singles = {item["name"]: FrameCodec([{**item, "offset_bits": starts[item["name"]]}],
                                        text_padding=codec.text_padding) for item in codec.recipe}
    columns = {name: [] for name in codec.names}
    failures = []
    for i in range(len(dump) // frame_bytes):
        frame = dump[i * frame_bytes:(i + 1) * frame_bytes]
        for name in codec.names:
            try:
                value = singles[name].unpack(frame)[name]
            except ValueError as error:
                columns[name].append(None)
                failures.append((i, i * frame_bytes, name, str(error).split(": ", 1)[1]))
            else:
                columns[name].append(value)
    return columns, failures


def same(values, expected):
    # By repr: random bits hold NaNs, which equal nothing.
    return repr(values) == repr(expected)


@pytest.mark.parametrize("padding", ["keep", "strip"])
def test_every_column_and_every_failure_agree_with_unpack_frame_by_frame(padding):
    import random

    codec = FrameCodec(MIXED, text_padding=padding)
    generator = random.Random(5)
    frame_bytes = codec.size + 1
    rows = []
    good = good_frame(codec)
    mask = text_bytes_mask(codec)
    for i in range(300):
        frame = bytearray(generator.randbytes(frame_bytes))
        if i % 3:  # text that decodes, with padding
            frame[:codec.size] = bytes(a if keep else b for a, b, keep in zip(frame, good, mask))
        rows.append(bytes(frame))
    dump = b"".join(rows)
    columns, failures = expected_columns(codec, dump, frame_bytes)
    frames = codec.unpack_many(dump, frame_bytes=frame_bytes, errors="null")
    assert list(frames) == list(codec.names)
    for name in codec.names:
        assert same(frames[name].tolist(), columns[name]), name
    assert [tuple(error) for error in frames.errors] == failures
    assert frames.error_count == len(failures) > 0 and frames.first_error == FrameError(*failures[0])
    with pytest.raises(ValueError) as caught:
        codec.unpack_many(dump, frame_bytes=frame_bytes)
    frame, offset, name, message = failures[0]
    assert str(caught.value) == f"frame {frame} (byte {offset}), field {name!r}: {message}"


def good_frame(codec):
    """A packed frame whose text and BCD fields decode (and pad)."""
    values = {item["name"]: b"" if item["encoding"] == "binary" else 0 for item in codec.recipe}
    return codec.pack({**values, "bcd": 123, "text": "ok", "wide": "é", "latin": "€"})


def text_bytes_mask(codec):
    """False for the bytes of a frame that hold text or BCD (taken from a
    packed frame, so that most frames decode), True for the others (random)."""
    mask = [True] * codec.size
    starts = field_starts(codec)
    bits = {item["name"]: item["bits"] for item in codec.recipe}
    for name in ("bcd", "text", "wide", "latin"):
        for byte in range(starts[name] // 8, (starts[name] + bits[name] + 7) // 8):
            mask[byte] = False
    return mask


def mixed_dump(frames, seed=1):
    import random

    codec = FrameCodec(MIXED, text_padding="strip")
    generator = random.Random(seed)
    # Four frames in five: random bytes, but those of text and BCD taken
    # from a packed frame (as whole numbers, a mask and an or).
    random_bits = int.from_bytes(bytes(255 if keep else 0 for keep in text_bytes_mask(codec)))
    packed_bits = int.from_bytes(good_frame(codec)) & ~random_bits
    parts = []
    for i in range(frames):
        frame = generator.randbytes(codec.size)
        if i % 5:
            frame = (int.from_bytes(frame) & random_bits | packed_bits).to_bytes(codec.size)
        parts.append(frame)
    return codec, b"".join(parts)


def exactly(frames):
    """Every column to the bit, without making a Python object per value:
    a number column's null mask and memory (a null holds zero; NaNs compare
    by their bits), a text or bytes column's values."""
    return {name: (column.null_mask(), bytes(memoryview(column))) if isinstance(column, Column)
            else column.tolist() for name, column in frames.items()}


def test_any_thread_count_and_batch_size_gives_the_same_result(tmp_path):
    codec, dump = mixed_dump(70_000)  # two threads' worth (a thread takes 32768 frames or more)
    whole = codec.unpack_many(dump, errors="null", threads=1)
    one = exactly(whole), whole.errors
    assert one[1]  # the dump has failures
    for threads in (2, 3, 8):
        frames = codec.unpack_many(bytearray(dump), errors="null", threads=threads)
        assert (exactly(frames), frames.errors) == one
    path = tmp_path / "dump.bin"
    path.write_bytes(dump)
    for source, batch in [(dump, 1000), (bytearray(dump), 33_333), (str(path), 70_000),
                          (path, 65_536), (io.BytesIO(dump), 4_097)]:
        batches = list(codec.iter_batches(source, batch_frames=batch, errors="null", threads=2))
        assert len(batches) == -(-70_000 // batch) and all(isinstance(b, Frames) for b in batches)
        for number, frames in enumerate(batches):
            # Each batch is its frames decoded on their own.
            first, end = number * batch, min(70_000, (number + 1) * batch)
            alone = codec.unpack_many(dump[first * codec.size:end * codec.size], errors="null")
            assert exactly(frames) == exactly(alone)
        assert [e for b in batches for e in b.errors] == one[1]


def test_iter_batches_reads_a_file_in_pieces_and_reports_a_partial_frame(tmp_path):
    codec = FrameCodec([item("a", bits=16)])
    path = tmp_path / "dump.bin"
    path.write_bytes(bytes(range(256)) * 4 + b"\1")

    class Counting(io.FileIO):
        reads = []

        def readinto(self, buffer):
            self.reads.append(len(buffer))
            return super().readinto(buffer)

    with Counting(path) as file:
        batches = codec.iter_batches(file, batch_frames=100)
        first = next(batches)
        assert first["a"].tolist()[:2] == [1, 0x203] and Counting.reads == [200]
        with pytest.raises(ValueError, match="^a partial frame of 1 bytes at byte offset 1024 "):
            list(batches)
    assert [len(b["a"]) for b in codec.iter_batches(path, batch_frames=300, ignore_partial=True)] == [
        300, 212]
    import mmap

    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        assert [len(b["a"]) for b in codec.iter_batches(mapped, batch_frames=500, ignore_partial=True)] == [
            500, 12]
    with pytest.raises(TypeError, match="a path, a binary file or a buffer, not 'int'"):
        codec.iter_batches(3)
    assert list(codec.iter_batches(b"")) == []
    with pytest.raises(ValueError, match="batch_frames"):
        codec.iter_batches(b"", batch_frames=0)
    with pytest.raises(ValueError, match="errors must be 'raise' or 'null'"):
        codec.unpack_many(b"", errors="ignore")
    with pytest.raises(ValueError, match="threads must be None or an int from 1 to 64"):
        codec.unpack_many(b"", threads=0)


def test_a_failing_batch_names_where_it_starts():
    codec = FrameCodec([item("a", "packed_bcd", 8)])
    with pytest.raises(ValueError) as caught:
        list(codec.iter_batches(b"\x11" * 10 + b"\xaa", batch_frames=4))
    assert str(caught.value) == "frame 2 (byte 2), field 'a': Invalid BCD digit: 10 (must be 0-9)"
    assert caught.value.__notes__ == ["in the batch from frame 8 (byte 8)"]
    nulls = list(codec.iter_batches(b"\x11" * 10 + b"\xaa", batch_frames=4, errors="null"))
    assert nulls[2].first_error == FrameError(10, 10, "a", "Invalid BCD digit: 10 (must be 0-9)")


def test_text_padding_strips_trailing_nuls_and_packs_back_the_same_bytes():
    recipe = [item("t", "us-ascii", 48), item("w", "utf-16le", 64), item("b", "binary", 24)]
    kept, stripped = FrameCodec(recipe), FrameCodec(recipe, text_padding="strip")
    dump = kept.pack_many([{"t": "ab", "w": "é", "b": b"\0\1\0"}, {"t": "", "w": "xyz", "b": b""},
                           {"t": "abc\0de", "w": "", "b": b"\0"}])
    assert kept.unpack_many(dump)["t"].tolist() == ["ab\0\0\0\0", "\0" * 6, "abc\0de"]
    columns = stripped.unpack_many(dump)
    assert (columns["t"].tolist(), columns["w"].tolist()) == (["ab", "", "abc\0de"], ["é", "xyz", ""])
    assert columns["b"].tolist() == [b"\0\1\0", b"\0\0\0", b"\0\0\0"]  # bytes keep every byte
    assert stripped.unpack(dump[:17]) == {"t": "ab", "w": "é", "b": b"\0\1\0"}
    assert stripped.pack_many(columns) == kept.pack_many(kept.unpack_many(dump)) == dump
    assert stripped.text_padding == "strip" and kept.text_padding == "keep" and stripped != kept
    import pickle

    assert pickle.loads(pickle.dumps(stripped)) == stripped
    with pytest.raises(ValueError, match="text_padding must be 'keep' or 'strip'"):
        FrameCodec(recipe, text_padding="trim")


def test_nulls_are_none_masked_in_numpy_and_null_in_arrow():
    numpy = pytest.importorskip("numpy")
    codec = FrameCodec([item("d", "packed_bcd", 8), item("t", "us-ascii", 8)])
    frames = codec.unpack_many(bytes.fromhex("1241" "1f42" "99ff"), errors="null")
    digits = frames["d"]
    assert digits.tolist() == [12, None, 99] and digits.null_count == 1
    assert numpy.asarray(digits).tolist() == [12, 0, 99]
    assert masked(digits).tolist() == [12, None, 99]
    assert frames["t"].tolist() == ["A", "B", None] and frames["t"][1:].null_count == 1
    assert [error.field for error in frames.errors] == ["d", "t"]
    pyarrow = pytest.importorskip("pyarrow")
    table = pyarrow.table(frames)
    assert table.column("d").to_pylist() == [12, None, 99] and table.column("d").null_count == 1
    assert table.column("t").to_pylist() == ["A", "B", None]


def test_pyarrow_polars_and_pandas_take_typed_columns_without_a_copy():
    numpy = pytest.importorskip("numpy")
    pyarrow = pytest.importorskip("pyarrow")
    codec = FrameCodec([item("big", bits=64), item("s", "twos_complement", 12), item("f", "ieee754", 32),
                        item("t", "us-ascii", 24), item("b", "binary", 8)], text_padding="strip")
    dump = codec.pack_many({"big": [2**64 - 1, 0, 2**63], "s": [-2048, 0, 2047], "f": [1.5, -0.0, 3.0],
                            "t": ["a", "bc", "def"], "b": [b"\1", b"\2", b"\3"]})
    frames = codec.unpack_many(dump)
    table = pyarrow.table(frames)
    assert [str(field.type) for field in table.schema] == ["uint64", "int16", "float", "string", "binary"]
    assert table.column("big").to_pylist() == [2**64 - 1, 0, 2**63]
    assert table.column("t").to_pylist() == ["a", "bc", "def"]
    for name in ("big", "s", "f"):
        address = numpy.asarray(frames[name]).ctypes.data
        assert pyarrow.array(frames[name]).buffers()[1].address == address
        assert table.column(name).chunk(0).buffers()[1].address == address
    assert pyarrow.array(frames["s"][1:]).to_pylist() == [0, 2047]
    polars = pytest.importorskip("polars")
    frame = polars.DataFrame(frames)
    assert [str(dtype) for dtype in frame.dtypes] == ["UInt64", "Int16", "Float32", "String", "Binary"]
    assert frame["big"].to_list() == [2**64 - 1, 0, 2**63]
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(frames)
    assert [str(frame[name].dtype) for name in ("big", "s", "f")] == ["uint64", "int16", "float32"]
    assert frame["big"].tolist() == [2**64 - 1, 0, 2**63] and frame["t"].tolist() == ["a", "bc", "def"]
    duckdb = pytest.importorskip("duckdb")
    stream = frames.as_arrow_stream()
    assert duckdb.sql("select big, s, t from stream where s >= 0").fetchall() == [(0, 0, "bc"), (2**63, 2047, "def")]
    assert [str(kind) for kind in duckdb.sql("select * from stream").types] == [
        "UBIGINT", "SMALLINT", "FLOAT", "VARCHAR", "BLOB"]


def test_numeric_columns_take_their_native_widths_in_one_block():
    numpy = pytest.importorskip("numpy")
    codec = FrameCodec([item("a", bits=3), item("b", "twos_complement", 12), item("c", bits=20),
                        item("d", "ieee754", 16), item("e", bits=40)])
    frames = codec.unpack_many(bytes(codec.size * 100_000))
    arrays = [numpy.asarray(column) for column in frames.values()]
    assert [array.itemsize for array in arrays] == [1, 2, 4, 4, 8]
    starts = [array.ctypes.data for array in arrays]
    extent = max(s + a.nbytes for s, a in zip(starts, arrays)) - min(starts)
    assert extent <= 1.1 * sum(array.nbytes for array in arrays)


def test_columns_and_capsules_outlive_the_result():
    pyarrow = pytest.importorskip("pyarrow")
    codec = FrameCodec([item("a", bits=32), item("t", "us-ascii", 16)])
    frames = codec.unpack_many(codec.pack_many({"a": range(1000), "t": ["x"] * 1000}))
    stream = frames.__arrow_c_stream__()
    schema, array = frames["a"].__arrow_c_array__()
    text = frames["t"][10:20]
    del frames
    reader = pyarrow.RecordBatchReader._import_from_c_capsule(stream)
    assert reader.read_all().column("a").to_pylist() == list(range(1000))
    assert pyarrow.Array._import_from_c_capsule(schema, array).to_pylist()[-1] == 999
    assert text.tolist() == ["x\0"] * 10
    del reader, text


def test_string_columns_hold_utf8_of_any_text_codec():
    recipe = [item("a", "utf-16", 64), item("b", "windows-1252", 32), item("c", "latin1", 24),
              item("d", "utf-32le", 64)]
    codec = FrameCodec(recipe, text_padding="strip")
    values = [{"a": "h€", "b": "€œ", "c": "ÿé", "d": "\U0001F600"}, {"a": "", "b": "", "c": "", "d": ""}]
    frames = codec.unpack_many(codec.pack_many(values))
    assert [{name: frames[name][i] for name in codec.names} for i in range(2)] == values
    assert all(column.type == "string" for column in frames.values())


def test_columns_index_slice_and_iterate_like_sequences():
    codec = FrameCodec([item("a", bits=8), item("t", "us-ascii", 8)])
    frames = codec.unpack_many(codec.pack_many({"a": range(10), "t": "abcdefghij"}))
    a, t = frames["a"], frames["t"]
    assert list(a) == list(range(10)) and a[-1] == 9 and a[2:5].tolist() == [2, 3, 4]
    assert a[::3].tolist() == [0, 3, 6, 9] and a[5:2].tolist() == [] and a[2:8][1:3].tolist() == [3, 4]
    assert list(t[::-4]) == ["j", "f", "b"] and t[-1] == "j" and "".join(t) == "abcdefghij"
    with pytest.raises(IndexError):
        t[10]
    with pytest.raises(TypeError):
        a["x"]
    assert repr(a) == "<bitloom.frames.Column type='uint8' length=10>"
