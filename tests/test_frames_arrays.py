"""Array fields ("count" items): every element against a recipe of one item
per element, pack and unpack round trips in every arrangement an element
can have, columns as 2-D numpy views and fixed-size Arrow lists, arrays of
variable length as Arrow lists, and the errors for values and counts that
do not fit."""

import logging
import pickle
import random

import pytest

from bitloom.frames import ArrayColumn, FrameCodec, FrameField, ListColumn
from test_frames import item


def expanded(recipe):
    """The same recipe with each array written out as one item per element."""
    out = []
    for entry in recipe:
        entry = dict(entry)
        count = entry.pop("count", None)
        if count is None:
            out.append(entry)
            continue
        for k in range(count):
            out.append(dict(entry, name=f"{entry['name']}[{k}]"))
    return out


ELEMENTS = [
    item("x", "unsigned", 24, count=5),
    item("x", "unsigned", 12, count=7),
    item("x", "twos_complement", 16, "little", count=3),
    item("x", "twos_complement", 13, "lsb_first", count=4),
    item("x", "unsigned", 32, "3412", count=3),
    item("x", "unsigned", 5, reverse_bits=True, count=9),
    item("x", "ieee754", 32, "little", count=4),
    item("x", "ieee754", 64, count=2),
    item("x", "packed_bcd", 16, count=3),
    item("x", "unsigned", 1, count=11),
    item("x", "ieee754", 128, count=2),
    item("x", "unsigned", 24, "lsb_first", count=3),
]


def recipe_around(array):
    return [item("head", "unsigned", 3), array, item("tail", "unsigned", 7)]


@pytest.mark.parametrize("array", ELEMENTS, ids=lambda a: f"{a['encoding']}{a['bits']}{a['byte_order']}x{a['count']}")
def test_arrays_read_as_their_elements_would_alone(array):
    codec = FrameCodec(recipe_around(array))
    flat = FrameCodec(expanded(recipe_around(array)))
    assert codec.size == flat.size and codec.names == ("head", "x", "tail")
    rng = random.Random(array["bits"] * 31 + array["count"])
    frames = 50
    dump = bytes(rng.getrandbits(8) for _ in range(codec.size * frames))
    if array["encoding"] == "packed_bcd":
        dump = codec.pack_many([{"head": 1, "x": [rng.randrange(10000) for _ in range(array["count"])],
                                 "tail": 2} for _ in range(frames)])
    columns = codec.unpack_many(dump)
    reference = flat.unpack_many(dump)
    x = columns["x"]
    assert isinstance(x, ArrayColumn) and x.shape == (frames, array["count"])
    for number in range(frames):
        one = codec.unpack(dump, number * codec.size * 8)
        by_element = flat.unpack(dump, number * codec.size * 8)
        values = [by_element[f"x[{k}]"] for k in range(array["count"])]
        assert _same(one["x"], values) and _same(x[number], values)
        assert list(one) == ["head", "x", "tail"]
        assert one["tail"] == reference["tail"][number]
        if array["encoding"] != "ieee754":
            assert codec.unpack(codec.pack(one)) == one
            assert codec.pack(one) == flat.pack({**{f"x[{k}]": v for k, v in enumerate(one["x"])},
                                                 "head": one["head"], "tail": one["tail"]})


def _same(left, right):
    return [repr(v) for v in left] == [repr(v) for v in right]


def test_the_column_is_one_buffer_that_numpy_views_in_two_dimensions():
    numpy = pytest.importorskip("numpy")
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "unsigned", 24, count=480)])
    rows = [{"id": i, "ch": [(i * 1000 + k) % (1 << 24) for k in range(480)]} for i in range(20)]
    dump = codec.pack_many(rows)
    column = codec.unpack_many(dump)["ch"]
    array = numpy.asarray(column)
    assert array.shape == (20, 480) and array.dtype == numpy.uint32
    assert array.tolist() == [row["ch"] for row in rows]
    assert numpy.shares_memory(array, numpy.asarray(column))
    assert memoryview(column).shape == (20, 480)


def test_arrow_sees_a_fixed_size_list():
    pyarrow = pytest.importorskip("pyarrow")
    codec = FrameCodec([item("ch", "twos_complement", 16, "little", count=3), item("n", "unsigned", 8)])
    rows = [{"ch": [i, -i, 2 * i], "n": i} for i in range(10)]
    frames = codec.unpack_many(codec.pack_many(rows))
    array = pyarrow.array(frames["ch"])
    assert array.type == pyarrow.list_(pyarrow.int16(), 3)
    assert array.to_pylist() == [row["ch"] for row in rows]
    table = pyarrow.table(frames)
    assert table.column_names == ["ch", "n"] and table["ch"].to_pylist() == [row["ch"] for row in rows]


def test_batches_defaults_and_pickling_keep_the_arrays():
    codec = FrameCodec([item("ch", "unsigned", 8, count=2, value=[1, 2]), item("n", "unsigned", 8)])
    assert codec.unpack(codec.pack({"n": 5})) == {"ch": [1, 2], "n": 5}
    assert codec.unpack_tuple(codec.pack([[3, 4], 6])) == ([3, 4], 6)
    dump = codec.pack_many([{"ch": [i, i + 1], "n": i} for i in range(7)])
    batches = list(codec.iter_batches(dump, batch_frames=3))
    assert [b["ch"].tolist() for b in batches] == [[[0, 1], [1, 2], [2, 3]], [[3, 4], [4, 5], [5, 6]], [[6, 7]]]
    again = pickle.loads(pickle.dumps(codec))
    assert again.recipe == codec.recipe and again.unpack(dump) == codec.unpack(dump)
    assert codec.recipe[0]["count"] == 2


@pytest.mark.parametrize("values, error, message", [
    ({"ch": [1, 2, 3]}, ValueError, "field 'ch' takes exactly 2 values, not 3"),
    ({"ch": [1]}, ValueError, "field 'ch' takes exactly 2 values, not 1"),
    ({"ch": 7}, TypeError, "field 'ch' is an array: it takes a sequence of 2 values, not 'int'"),
    ({"ch": "ab"}, TypeError, "field 'ch' is an array"),
])
def test_pack_refuses_a_value_that_is_not_count_values(values, error, message):
    codec = FrameCodec([item("ch", "unsigned", 8, count=2)])
    with pytest.raises(error, match=message):
        codec.pack(values)


@pytest.mark.parametrize("array, error, message", [
    (item("a", count=0), ValueError, "count must be at least 1"),
    (item("a", count=2.0), TypeError, "count must be an int, not 'float'"),
    (item("a", count=True), TypeError, "count must be an int, not 'bool'"),
    (item("a", count=2, value=[1]), ValueError, "must be a sequence of 2 values"),
    (item("a", "us-ascii", 16, count=2), ValueError, "arrays take numeric encodings only"),
])
def test_recipes_with_bad_arrays_are_refused(array, error, message):
    with pytest.raises(error, match=message):
        FrameCodec([array])


# ---- arrays of variable length ----------------------------------------------------

from bitloom.frames import ccsds  # noqa: E402

COUNTED = [item("n", "unsigned", 8), item("ch", "unsigned", 12, count="n"), item("crc", "unsigned", 16)]
REST = [item("mode", "unsigned", 8), item("ch", "twos_complement", 16, count="rest"), item("crc", "unsigned", 16)]


def packet(codec, apid, sequence, body):
    header = {"version": 0, "type": 0, "secondary_header": 0, "apid": apid, "sequence_flags": 3,
              "sequence_count": sequence, "packet_length": 0}
    return codec.pack({**header, **body})


def variable_stream(seed=5, packets=300, counted_recipe=COUNTED):
    counted, rest = ccsds.packet_codec(counted_recipe), ccsds.packet_codec(REST)
    fixed = ccsds.packet_codec([item("v", "unsigned", 32)])
    rng = random.Random(seed)
    out = []
    for sequence in range(packets):
        kind = rng.randrange(3)
        if kind == 0:
            count = rng.choice([0, 1, 2, 7, 40])
            body = {"ch": [rng.randrange(4096) for _ in range(count)], "crc": rng.randrange(65536)}
            raw = packet(counted, 0x10, sequence, body)
        elif kind == 1:
            count = rng.choice([0, 3, 17])
            body = {"mode": rng.randrange(256), "ch": [rng.randrange(-32768, 32768) for _ in range(count)],
                    "crc": rng.randrange(65536)}
            raw = packet(rest, 0x11, sequence, body)
        else:
            raw = packet(fixed, 0x12, sequence, {"v": rng.randrange(1 << 32)})
        # The packet length field: bytes after the primary header, minus one.
        raw = raw[:4] + (len(raw) - 7).to_bytes(2, "big") + raw[6:]
        out.append(raw)
    return out, {0x10: counted, 0x11: rest, 0x12: fixed}


def test_variable_arrays_pack_and_unpack_one_packet():
    codec = FrameCodec(COUNTED)
    assert codec.unpack(codec.pack({"ch": [1, 2, 3], "crc": 7})) == {"n": 3, "ch": [1, 2, 3], "crc": 7}
    assert codec.unpack(codec.pack({"ch": [], "crc": 7})) == {"n": 0, "ch": [], "crc": 7}
    with pytest.raises(ValueError, match="field 'n' is 2, but array 'ch' has 3 values"):
        codec.pack({"n": 2, "ch": [1, 2, 3], "crc": 0})
    rest = FrameCodec(REST)
    assert rest.unpack(bytes.fromhex("01" "fffe0003" "abcd")) == {"mode": 1, "ch": [-2, 3], "crc": 0xABCD}
    with pytest.raises(ValueError, match="not a whole number of 16-bit elements"):
        rest.unpack(bytes.fromhex("01" "fffe00" "abcd"))
    with pytest.raises(ValueError, match="vary in length.*PacketStream"):
        codec.unpack_many(bytes(10), frame_bytes=5)


@pytest.mark.parametrize("recipe, message", [
    ([item("ch", count="m"), item("m")], "the name of an earlier field, not 'm'"),
    ([item("m"), item("a", count="m"), item("b", count="rest")], "at most one array of variable length"),
    ([item("m"), item("a", count="m", offset_bits=8)], "no offset_bits"),
])
def test_bad_variable_arrays_are_refused(recipe, message):
    with pytest.raises(ValueError, match=message):
        FrameCodec(recipe)


def test_a_stream_of_variable_packets_reads_as_each_packet_alone():
    pytest.importorskip("pyarrow")
    packets, codecs = variable_stream()
    result = ccsds.stream(codecs).unpack_many(b"".join(packets))
    for apid, codec in codecs.items():
        expected = [codec.unpack(raw) for raw in packets if (int.from_bytes(raw[:2], "big") & 0x7FF) == apid]
        columns = result[apid]
        got = [dict(zip(columns, row)) for row in zip(*(_values(columns[name]) for name in columns))]
        assert got == expected


def _values(column):
    return column.to_pylist() if hasattr(column, "to_pylist") else column.tolist()


def test_a_counted_array_agrees_with_ccsdspy():
    ccsdspy = pytest.importorskip("ccsdspy")
    import io
    # ccsdspy reads array elements of whole bytes.
    packets, codecs = variable_stream(seed=9, counted_recipe=[item("n", "unsigned", 8),
                                                              item("ch", "unsigned", 16, count="n"),
                                                              item("crc", "unsigned", 16)])
    mine = [raw for raw in packets if (int.from_bytes(raw[:2], "big") & 0x7FF) == 0x10]
    definition = ccsdspy.VariableLength([
        ccsdspy.PacketField(name="n", data_type="uint", bit_length=8),
        ccsdspy.PacketArray(name="ch", data_type="uint", bit_length=16, array_shape="n"),
        ccsdspy.PacketField(name="crc", data_type="uint", bit_length=16),
    ])
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    theirs = definition.load(io.BytesIO(b"".join(mine)), include_primary_header=False)
    ours = ccsds.stream(codecs).unpack_many(b"".join(mine))[0x10]
    assert [list(map(int, row)) for row in theirs["ch"]] == ours["ch"].tolist()
    assert list(map(int, theirs["crc"])) == ours["crc"].tolist()


def test_columns_are_built_without_numpy_too(monkeypatch):
    import sys
    codec = FrameCodec([item("ch", "twos_complement", 16, "little", count=3), item("n", "unsigned", 8)])
    rows = [{"ch": [i, -i, 300 * i], "n": i} for i in range(9)]
    dump = codec.pack_many(rows)
    monkeypatch.setitem(sys.modules, "numpy", None)
    column = codec.unpack_many(dump)["ch"]
    assert column.tolist() == [row["ch"] for row in rows] and column[-1] == rows[-1]["ch"]
    assert memoryview(column).shape == (9, 3)


def test_a_packet_whose_array_does_not_fit_is_named_in_a_stream():
    pytest.importorskip("pyarrow")
    packets, codecs = variable_stream(seed=2, packets=40)
    rest = [raw for raw in packets if (int.from_bytes(raw[:2], "big") & 0x7FF) == 0x11]
    odd = rest[0][:-2] + b"\x00" + rest[0][-2:]  # one byte more: half an element
    odd = odd[:4] + (len(odd) - 7).to_bytes(2, "big") + odd[6:]
    stream = ccsds.stream(codecs)
    assert stream.unpack_many(b"".join(rest))[0x11]["ch"].tolist() == [codecs[0x11].unpack(r)["ch"] for r in rest]
    with pytest.raises(ValueError, match="not a whole number of 16-bit elements"):
        stream.unpack_many(b"".join(rest[1:] + [odd]))
    kept = stream.unpack_many(b"".join(rest[1:] + [odd]), errors="null")
    assert kept[0x11]["ch"].tolist() == [codecs[0x11].unpack(r)["ch"] for r in rest[1:]]
    assert kept.error_count == 1 and kept.first_error.byte_offset == sum(map(len, rest[1:]))
    assert "not a whole number of 16-bit elements" in kept.first_error.message


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_the_command_writes_array_columns(tmp_path, fmt):
    import json
    import subprocess
    import sys
    if fmt == "parquet":
        parquet = pytest.importorskip("pyarrow.parquet")
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "unsigned", 16, count=3)])
    rows = [{"id": i, "ch": [i, i + 1, 70000 % 65536 + i]} for i in range(4)]
    (tmp_path / "recipe.json").write_text(json.dumps(codec.recipe))
    (tmp_path / "dump.bin").write_bytes(codec.pack_many(rows))
    out = tmp_path / f"out.{fmt}"
    subprocess.run([sys.executable, "-m", "bitloom", "unpack", str(tmp_path / "recipe.json"),
                    str(tmp_path / "dump.bin"), "--frame-bytes", str(codec.size), "--format", fmt,
                    "-o", str(out)], check=True, cwd=tmp_path)
    if fmt == "jsonl":
        assert [json.loads(line) for line in out.read_text().splitlines()] == rows
    else:
        assert parquet.read_table(out).to_pylist() == rows


def test_a_rest_array_agrees_with_ccsdspy_expand():
    ccsdspy = pytest.importorskip("ccsdspy")
    import io
    codec = ccsds.packet_codec([item("mode", "unsigned", 8), item("ch", "unsigned", 16, count="rest"),
                                item("crc", "unsigned", 16)])
    codecs = {0x11: codec}
    rng = random.Random(4)
    mine = []
    for sequence in range(200):
        body = {"mode": rng.randrange(256), "ch": [rng.randrange(65536) for _ in range(rng.randrange(30))],
                "crc": rng.randrange(65536)}
        raw = packet(codec, 0x11, sequence, body)
        mine.append(raw[:4] + (len(raw) - 7).to_bytes(2, "big") + raw[6:])
    definition = ccsdspy.VariableLength([
        ccsdspy.PacketField(name="mode", data_type="uint", bit_length=8),
        ccsdspy.PacketArray(name="ch", data_type="uint", bit_length=16, array_shape="expand"),
        ccsdspy.PacketField(name="crc", data_type="uint", bit_length=16),
    ])
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    theirs = definition.load(io.BytesIO(b"".join(mine)), include_primary_header=False)
    ours = ccsds.stream(codecs).unpack_many(b"".join(mine))[0x11]
    assert [list(map(int, row)) for row in theirs["ch"]] == ours["ch"].tolist()
    assert list(map(int, theirs["crc"])) == ours["crc"].tolist()
    assert list(map(int, theirs["mode"])) == ours["mode"].tolist()


# ---- native columns ----------------------------------------------------------------

def bcd_codec():
    return FrameCodec([item("id", "unsigned", 8), item("ch", "packed_bcd", 8, count=3)])


BAD_DUMP = bytes([1, 0x12, 0x34, 0x56, 2, 0x12, 0x3F, 0x56, 3, 0x01, 0x02, 0x03])


def test_an_array_is_one_field_and_messages_name_its_element():
    codec = bcd_codec()
    assert codec.names == ("id", "ch")
    assert codec.fields == (FrameField("id", "unsigned", 8, 0, "big", False),
                            FrameField("ch", "packed_bcd", 8, 8, "big", False, 3))
    with pytest.raises(ValueError, match=r"^frame 1 \(byte 4\), field 'ch', element 1: Invalid BCD digit"):
        codec.unpack_many(BAD_DUMP)
    with pytest.raises(ValueError, match=r"^field 'ch', element 1: Invalid BCD digit"):
        codec.unpack(BAD_DUMP, 32)
    with pytest.raises(TypeError, match=r"^field 'ch', element 2: "):
        codec.pack({"id": 1, "ch": [1, 2, "x"]})


def test_a_failed_element_makes_its_frames_array_null():
    pyarrow = pytest.importorskip("pyarrow")
    frames = bcd_codec().unpack_many(BAD_DUMP, errors="null")
    column = frames["ch"]
    assert column.tolist() == [[12, 34, 56], None, [1, 2, 3]] and column[1] is None
    assert column.null_count == 1 and column.null_mask() == b"\x00\x01\x00"
    assert [tuple(error) for error in frames.errors] == [(1, 4, "ch", "element 1: Invalid BCD digit: 15 (must be 0-9)")]
    table = pyarrow.table(frames)
    assert table.schema.field("ch").type == pyarrow.list_(pyarrow.uint8(), 3)
    assert table["ch"].to_pylist() == [[12, 34, 56], None, [1, 2, 3]] and table["ch"].null_count == 1


def test_an_array_column_is_a_two_dimensional_buffer_without_a_copy():
    numpy = pytest.importorskip("numpy")
    codec = FrameCodec([item("ch", "twos_complement", 16, "little", count=3), item("n", "unsigned", 8)])
    rows = [{"ch": [i, -i, 300 * i], "n": i} for i in range(9)]
    column = codec.unpack_many(codec.pack_many(rows))["ch"]
    view = memoryview(column)
    assert (view.shape, view.strides, view.format, view.readonly) == ((9, 3), (6, 2), "h", True)
    array = numpy.asarray(column)
    assert array.base is not None and numpy.shares_memory(array, numpy.asarray(column))
    with pytest.raises(ValueError):
        array[0, 0] = 1  # read-only
    tail = column[6:]
    assert isinstance(tail, ArrayColumn) and tail.shape == (3, 3) and tail.tolist() == [r["ch"] for r in rows[6:]]
    assert numpy.asarray(tail).tolist() == [r["ch"] for r in rows[6:]]
    assert (column.type, column.count, len(column)) == ("int16", 3, 9)
    assert pickle.loads(pickle.dumps(tail)).tolist() == tail.tolist()


def test_polars_and_pandas_take_array_columns():
    polars = pytest.importorskip("polars")
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "unsigned", 24, count=4)])
    rows = [{"id": i, "ch": [i, 2 * i, 3 * i, (1 << 24) - 1]} for i in range(5)]
    frames = codec.unpack_many(codec.pack_many(rows))
    frame = polars.DataFrame(frames)
    assert frame.schema["ch"] == polars.Array(polars.UInt32, 4)
    assert frame["ch"].to_list() == [row["ch"] for row in rows]


@pytest.mark.parametrize("values", [
    lambda rows: rows,                                                  # dicts of lists
    lambda rows: [(row["id"], tuple(row["ch"])) for row in rows],       # sequences of tuples
    lambda rows: [{"id": row["id"], "ch": iter(row["ch"])} for row in rows],  # any iterable
])
def test_pack_takes_any_sequence_of_count_values(values):
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "unsigned", 12, count=3)])
    rows = [{"id": i, "ch": [i, 4095 - i, 7]} for i in range(4)]
    dump = codec.pack_many(values(rows))
    assert codec.unpack_many(dump)["ch"].tolist() == [row["ch"] for row in rows]


def test_pack_many_takes_a_two_dimensional_numpy_column():
    numpy = pytest.importorskip("numpy")
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "twos_complement", 16, count=3)])
    channels = numpy.arange(-6, 6, dtype=numpy.int16).reshape(4, 3)
    dump = codec.pack_many({"id": numpy.arange(4), "ch": channels})
    assert (numpy.asarray(codec.unpack_many(dump)["ch"]) == channels).all()


@pytest.mark.parametrize("count, error, message", [
    (1 << 31, ValueError, "count must be at most 2147483647"),
    (1 << 70, ValueError, "count must be at most 2147483647"),
    (-(1 << 70), ValueError, "count must be at least 1"),
    ([2], TypeError, "count must be an int, not 'list'"),
])
def test_counts_that_no_column_holds_are_refused(count, error, message):
    with pytest.raises(error, match=message):
        FrameCodec([item("a", count=count)])


def test_a_default_value_is_checked_element_by_element():
    with pytest.raises(ValueError, match=r"recipe item 0 \('a'\): element 1 of the value: Value 16 is too large"):
        FrameCodec([item("a", "unsigned", 4, count=2, value=[1, 16])])
    with pytest.raises(ValueError, match="must be a sequence of 2 values"):
        FrameCodec([item("a", "unsigned", 4, count=2, value="ab")])


# ---- variable arrays: native list columns and hostile counts -------------------

def stream_of(codec, bodies, apid=0x10):
    raws = []
    for sequence, body in enumerate(bodies):
        raw = packet(codec, apid, sequence, body)
        raws.append(raw[:4] + (len(raw) - 7).to_bytes(2, "big") + raw[6:])
    return raws


def test_a_variable_array_is_a_native_list_column():
    pyarrow = pytest.importorskip("pyarrow")
    polars = pytest.importorskip("polars")
    codec = ccsds.packet_codec(COUNTED)
    bodies = [{"ch": list(range(k)), "crc": k} for k in (0, 3, 1, 5)]
    frames = ccsds.stream({0x10: codec}).unpack_many(b"".join(stream_of(codec, bodies)))[0x10]
    column = frames["ch"]
    assert isinstance(column, ListColumn) and column.type == "uint16"
    assert column.tolist() == [body["ch"] for body in bodies] and frames["crc"].tolist() == [0, 3, 1, 5]
    assert column[1:3].tolist() == [[0, 1, 2], [0]] and pickle.loads(pickle.dumps(column[1:])).tolist() == \
        column[1:].tolist()
    table = pyarrow.table(frames)
    assert table.schema.field("ch").type == pyarrow.list_(pyarrow.uint16())
    assert table["ch"].to_pylist() == [body["ch"] for body in bodies]
    assert polars.DataFrame(frames)["ch"].to_list() == [body["ch"] for body in bodies]


def test_fields_after_an_array_of_any_bit_phase_keep_packet_order():
    # 12-bit elements end at two phases; text after them is joined back in order.
    recipe = [item("n", "unsigned", 8), item("ch", "unsigned", 12, count="n"), item("tag", "utf-8", 16),
              item("crc", "unsigned", 16)]
    codec = ccsds.packet_codec(recipe)
    rng = random.Random(3)
    bodies = [{"ch": [rng.randrange(4096) for _ in range(rng.randrange(6))], "tag": rng.choice(["ab", "cd", "é"]),
               "crc": rng.randrange(65536)} for _ in range(60)]
    raws = stream_of(codec, bodies)
    frames = ccsds.stream({0x10: codec}).unpack_many(b"".join(raws))[0x10]
    expected = [codec.unpack(raw) for raw in raws]
    assert [dict(zip(frames, row)) for row in zip(*(frames[name].tolist() for name in frames))] == expected
    assert codec.fields[-4:] == (FrameField("n", "unsigned", 8, 48, "big", False),
                                 FrameField("ch", "unsigned", 12, 56, "big", False, "n"),
                                 FrameField("tag", "utf-8", 16, 56, "big", False),
                                 FrameField("crc", "unsigned", 16, 72, "big", False))


@pytest.mark.parametrize("recipe, body, message", [
    (COUNTED, bytes([200]) + bytes(4), "array 'ch' has 200 elements by its count field, which pass the end"),
    (COUNTED, bytes([0xFF]) + bytes(2), "array 'ch' has 255 elements"),
    (REST, bytes([1]), "shorter than the fields around array 'ch'"),
    (COUNTED, bytes([0, 0]), "shorter than the fields around array 'ch'"),
    (REST, bytes([1, 0, 0, 0]), "leaves 8 bits for array 'ch', not a whole number of 16-bit elements"),
])
def test_packets_that_cannot_hold_their_array_are_named_and_skipped(recipe, body, message):
    codec = ccsds.packet_codec(recipe)
    extra = {"mode": 0} if recipe is REST else {}
    good = stream_of(codec, [{**extra, "ch": [1, 2], "crc": 9}, {**extra, "ch": [], "crc": 8}])
    header = good[0][:6]
    bad = header[:4] + (len(body) - 1).to_bytes(2, "big") + body
    stream = ccsds.stream({0x10: codec})
    with pytest.raises(ValueError, match=message):
        stream.unpack_many(good[0] + bad + good[1])
    kept = stream.unpack_many(good[0] + bad + good[1], errors="null")
    assert kept[0x10]["ch"].tolist() == [[1, 2], []] and kept[0x10]["crc"].tolist() == [9, 8]
    assert kept.error_count == 1 and kept.first_error.byte_offset == len(good[0])
    assert message.split(",")[0] in kept.first_error.message


def test_a_zero_count_is_an_empty_list_and_a_codec_without_packets_has_typed_columns():
    pyarrow = pytest.importorskip("pyarrow")
    codec = ccsds.packet_codec(COUNTED)
    frames = ccsds.stream({0x10: codec}).unpack_many(b"".join(stream_of(codec, [{"ch": [], "crc": 1}] * 3)))[0x10]
    assert frames["ch"].tolist() == [[], [], []] and pyarrow.table(frames)["ch"].to_pylist() == [[], [], []]
    empty = codec.unpack_many(b"")
    assert list(empty) == list(codec.names) and isinstance(empty["ch"], ListColumn) and len(empty["ch"]) == 0


@pytest.mark.parametrize("recipe, message", [
    ([item("m", "twos_complement", 8), item("a", count="m")], "the count field 'm' is not an unsigned field"),
    ([item("m"), item("a", "unsigned", 0, count="m")], "at least one bit"),
])
def test_variable_arrays_need_an_unsigned_count_and_elements_of_some_bits(recipe, message):
    with pytest.raises(ValueError, match=message):
        FrameCodec(recipe)


# ---- the command ---------------------------------------------------------------------

def test_csv_writes_a_fixed_array_as_one_column_per_element(tmp_path):
    import csv
    import json
    import subprocess
    import sys
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "twos_complement", 16, count=3),
                        item("t", "ieee754", 32)])
    rows = [{"id": i, "ch": [i, -i, 1000 * i], "t": i / 4} for i in range(4)]
    (tmp_path / "recipe.json").write_text(json.dumps(codec.recipe))
    (tmp_path / "dump.bin").write_bytes(codec.pack_many(rows))
    done = subprocess.run([sys.executable, "-m", "bitloom", "unpack", "recipe.json", "dump.bin", "--frame-bytes",
                           str(codec.size), "--format", "csv"], cwd=tmp_path, capture_output=True, check=True)
    table = list(csv.reader(done.stdout.decode().splitlines()))
    assert table[0] == ["id", "ch[0]", "ch[1]", "ch[2]", "t"]
    assert [[float(cell) for cell in line] for line in table[1:]] == [
        [row["id"], *row["ch"], row["t"]] for row in rows]


@pytest.mark.parametrize("form", ["csv", "jsonl", "parquet"])
def test_the_command_writes_variable_arrays_of_a_stream(tmp_path, form):
    import csv
    import json
    import subprocess
    import sys
    if form == "parquet":
        parquet = pytest.importorskip("pyarrow.parquet")
    codec = ccsds.packet_codec(COUNTED)
    bodies = [{"ch": list(range(k)), "crc": k} for k in (2, 0, 3)]
    (tmp_path / "stream.json").write_text(json.dumps({"header": "ccsds", "codecs": {"16": COUNTED}}))
    (tmp_path / "stream.bin").write_bytes(b"".join(stream_of(codec, bodies)))
    done = subprocess.run([sys.executable, "-m", "bitloom", "unpack", "stream.json", "stream.bin", "--output-dir",
                           "out", "--format", form], cwd=tmp_path, capture_output=True)
    assert done.returncode == 0, done.stderr
    out = tmp_path / "out" / f"16.{form}"
    if form == "csv":
        table = list(csv.DictReader(out.read_text().splitlines()))
        got = [json.loads(row["ch"]) for row in table]
    elif form == "jsonl":
        got = [json.loads(line)["ch"] for line in out.read_text().splitlines()]
    else:
        got = parquet.read_table(out)["ch"].to_pylist()
    assert got == [body["ch"] for body in bodies]


def test_packets_of_no_bytes_at_the_end_of_the_data_are_read_from_nothing():
    # Fields of no bits around a "rest" array: a packet of 0 bytes where the
    # data ends has no byte to read, and none is read.
    codec = FrameCodec([item("z", "unsigned", 0), item("ch", "unsigned", 8, count="rest"), item("y", "unsigned", 0)])
    columns = codec._decode_packets(b"\x01\x02", [0, 2], [2, 0])
    assert columns["ch"].tolist() == [[1, 2], []] and columns["z"].tolist() == [0, 0]
    with pytest.raises(ValueError, match="passes the end of the buffer"):
        codec._decode_packets(b"\x01\x02", [1], [2])


def test_an_array_is_no_key_or_length_of_a_stream():
    from bitloom.frames import PacketStream
    header = [item("key", "unsigned", 8, count=2), item("length", "unsigned", 8)]
    with pytest.raises(ValueError, match="the key field must be an unsigned field"):
        PacketStream(header, length_field="length", key_field="key", codecs={})


def test_the_command_reads_frames_larger_than_a_batch_whole_when_an_array_fills_them(tmp_path):
    # Frames of more than a batch (a MiB) are read one at a time, keeping the
    # bytes that hold the fields: the whole array, not its first element.
    # Elements of 64 bits make the frame that large with an eighth of the
    # values to write and read back as text.
    import json
    import subprocess
    import sys
    elements = (1 << 17) + 5
    codec = FrameCodec([item("id", "unsigned", 8), item("ch", "unsigned", 64, count=elements)])
    assert codec.size > 1 << 20
    rows = [{"id": i, "ch": [(i + k) * 0x9E3779B97F4A7C15 % (1 << 64) for k in range(elements)]} for i in range(2)]
    (tmp_path / "recipe.json").write_text(json.dumps(codec.recipe))
    (tmp_path / "dump.bin").write_bytes(codec.pack_many(rows))
    done = subprocess.run([sys.executable, "-m", "bitloom", "unpack", "recipe.json", "dump.bin", "--frame-bytes",
                           str(codec.size)], cwd=tmp_path, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert [json.loads(line) for line in done.stdout.splitlines()] == rows


def test_fixed_arrays_and_lsb_first_fields_around_a_variable_array_read_as_each_packet_alone():
    # Every field after the 12-bit elements moves by half a byte in odd packets:
    # fixed arrays, and an lsb_first field whose pieces follow the bytes.
    recipe = [item("n", "unsigned", 8), item("a", "unsigned", 12, count=2), item("ch", "unsigned", 12, count="n"),
              item("b", "unsigned", 4, count=3), item("s", "twos_complement", 13, "lsb_first"),
              item("crc", "unsigned", 16)]
    codec = ccsds.packet_codec(recipe)
    rng = random.Random(11)
    bodies = [{"a": [rng.randrange(4096) for _ in range(2)], "ch": [rng.randrange(4096) for _ in range(rng.randrange(7))],
               "b": [rng.randrange(16) for _ in range(3)], "s": rng.randrange(-4096, 4096), "crc": rng.randrange(65536)}
              for _ in range(120)]
    raws = stream_of(codec, bodies)
    frames = ccsds.stream({0x10: codec}).unpack_many(b"".join(raws))[0x10]
    assert isinstance(frames["a"], ArrayColumn) and isinstance(frames["ch"], ListColumn)
    got = [dict(zip(frames, row)) for row in zip(*(frames[name].tolist() for name in frames))]
    assert got == [codec.unpack(raw) for raw in raws]
    assert {len(body["ch"]) % 2 for body in bodies} == {0, 1}
