"""byte_order "little_lsb0": fields whose bits are numbered from each byte's
least significant bit, the layout of a CAN database's little-endian (Intel)
signals.  cantools is the oracle: messages built in code, decoded and
encoded by it and by FrameCodec, every path (unpack, unpack_tuple,
unpack_many, pack, pack_many)."""

import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from bitloom.frames import FrameCodec

cantools = pytest.importorskip("cantools")
Message = cantools.database.can.Message
Signal = cantools.database.can.Signal


def can_signal(name, start, length, signed=False, is_float=False):
    conversion = cantools.database.conversion.BaseConversion.factory(scale=1, offset=0, is_float=is_float)
    return Signal(name, start, length, byte_order="little_endian", is_signed=signed, conversion=conversion)


def field(name, bits, encoding="unsigned", byte_order="little_lsb0", **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": False, **extra}


def signal_item(signal, sequential=False):
    """The recipe item of a little-endian signal: offset_bits is its start
    bit (the data begins the frame); `sequential` leaves it out, for a
    signal that follows the item before it."""
    if signal.is_float:
        encoding = "ieee754"
    else:
        encoding = "twos_complement" if signal.is_signed else "unsigned"
    extra = {} if sequential else {"offset_bits": signal.start}
    return field(signal.name, signal.length, encoding, **extra)


def expected_by_definition(data, start, length, signed):
    value = (int.from_bytes(data, "little") >> start) & ((1 << length) - 1)
    if signed and value >> (length - 1):
        value -= 1 << length
    return value


@st.composite
def messages(draw):
    """A message of 1 to 16 bytes with 1 to 6 little-endian signals laid
    one after another with random gaps: any start, any length 1..64,
    signed or unsigned, and float32/64 where a float fits."""
    size = draw(st.sampled_from([1, 2, 3, 4, 5, 6, 7, 8, 12, 16]))
    total = 8 * size
    signals, sequential = [], []
    at = draw(st.integers(0, 7))
    previous_end = 0
    while len(signals) < 6 and at < total:
        room = min(64, total - at)
        kind = draw(st.sampled_from(["unsigned", "signed", "signed", "float"]))
        if kind == "float" and room >= 32:
            length = draw(st.sampled_from([32, 64] if room >= 64 else [32]))
        else:
            kind = "signed" if kind == "float" else kind
            length = draw(st.integers(1, room))
        signals.append(can_signal(f"s{len(signals)}", at, length, kind == "signed", kind == "float"))
        sequential.append(at == previous_end and draw(st.booleans()))
        previous_end = at + length
        at = previous_end + draw(st.integers(0, 12))
    order = draw(st.permutations(range(len(signals))))
    return Message(frame_id=0x123, name="m", length=size, signals=signals, strict=True), sequential, order


def codec_for(message, sequential):
    return FrameCodec([signal_item(signal, follows) for signal, follows in zip(message.signals, sequential)])


def same(a, b):
    return a == b or (a != a and b != b)  # NaNs


@settings(max_examples=300, deadline=None)
@given(case=messages(), data=st.data())
def test_decoding_agrees_with_cantools(case, data):
    message, sequential, _ = case
    codec = codec_for(message, sequential)
    # The frame ends with the last byte a signal touches.
    assert codec.size == (max(signal.start + signal.length for signal in message.signals) + 7) // 8
    frames = [data.draw(st.binary(min_size=message.length, max_size=message.length)) for _ in range(4)]
    columns = {name: column.tolist()
               for name, column in codec.unpack_many(b"".join(frames), frame_bytes=message.length).items()}
    for number, frame in enumerate(frames):
        expected = message.decode(frame, decode_choices=False, scaling=False)
        values = codec.unpack(frame)
        row = codec.unpack_tuple(frame)
        for position, signal in enumerate(message.signals):
            assert same(values[signal.name], expected[signal.name])
            assert same(row[position], expected[signal.name])
            assert same(columns[signal.name][number], expected[signal.name])
            if not signal.is_float:
                assert values[signal.name] == expected_by_definition(frame, signal.start, signal.length,
                                                                     signal.is_signed)


def signal_value(draw, signal):
    if signal.is_float:
        return draw(st.floats(allow_nan=False, width=signal.length))
    if signal.is_signed:
        return draw(st.integers(-(1 << (signal.length - 1)), (1 << (signal.length - 1)) - 1))
    return draw(st.integers(0, (1 << signal.length) - 1))


@settings(max_examples=300, deadline=None)
@given(case=messages(), data=st.data())
def test_packing_agrees_with_cantools(case, data):
    message, sequential, order = case
    codec = codec_for(message, sequential)
    rows = [{signal.name: signal_value(data.draw, signal) for signal in message.signals} for _ in range(3)]
    encoded = [message.encode(row, scaling=False, strict=False) for row in rows]
    # The bytes after the last signal's are zero, and not in the frame.
    assert all(not any(frame[codec.size:]) for frame in encoded)
    encoded = [frame[:codec.size] for frame in encoded]
    # Values given in any order of keys: the dict path and the row path.
    assert [codec.pack({name: row[name] for name in (message.signals[k].name for k in order)})
            for row in rows] == encoded
    assert codec.pack_many([[row[signal.name] for signal in message.signals] for row in rows]) == b"".join(encoded)
    assert all(all(same(codec.unpack(frame)[name], row[name]) for name in row) for frame, row in zip(encoded, rows))


# (start, length, signed, frame bytes): signals inside one byte at each end
# of it, the ones that cross from a byte's top bit, from its bottom bit, into
# a ninth byte (a 64-bit load and one byte more), and whole bytes.
EDGES = [
    (0, 1, False, 1), (7, 1, False, 1), (7, 1, True, 1), (3, 4, True, 1), (0, 8, True, 1),
    (7, 2, False, 2), (7, 2, True, 2), (4, 8, True, 2), (1, 15, False, 2), (15, 1, False, 2),
    (6, 11, True, 3), (12, 12, True, 3), (0, 64, True, 8), (1, 63, True, 8), (1, 64, False, 9),
    (7, 64, True, 9), (7, 57, False, 8), (63, 2, True, 9), (100, 28, False, 16), (64, 64, True, 16),
]


@pytest.mark.parametrize("start, length, signed, size", EDGES)
def test_edge_positions(start, length, signed, size):
    encoding = "twos_complement" if signed else "unsigned"
    codec = FrameCodec([field("s", length, encoding, offset_bits=start)])
    assert codec.size == size
    can_size = size if size <= 8 else 12 if size <= 12 else 16
    message = Message(frame_id=1, name="m", length=can_size, signals=[can_signal("s", start, length, signed)])
    rng = random.Random(f"{start} {length} {signed}")
    frames = [rng.randbytes(size) for _ in range(30)] + [b"\xff" * size, b"\x00" * size]
    columns = codec.unpack_many(b"".join(frames))["s"].tolist()
    low = -(1 << (length - 1)) if signed else 0
    high = (1 << (length - 1)) - 1 if signed else (1 << length) - 1
    for number, frame in enumerate(frames):
        expected = message.decode(frame.ljust(can_size, b"\0"), scaling=False)["s"]
        assert codec.unpack(frame)["s"] == columns[number] == expected
        assert expected == expected_by_definition(frame, start, length, signed)
    for value in (low, high, 0, -1 if signed else 1):
        packed = codec.pack({"s": value})
        assert packed == message.encode({"s": value}, scaling=False)[:size]
        assert codec.unpack(packed)["s"] == value


def test_frames_that_start_inside_a_byte():
    """offset_bits of unpack and unpack_many: the field's bits are numbered
    in the frame's own bytes wherever the frame starts."""
    codec = FrameCodec([field("a", 4, "unsigned", "big", offset_bits=2), field("b", 13, "twos_complement", offset_bits=6),
                        field("c", 9, offset_bits=19)])
    rng = random.Random(5)
    frames = [rng.randbytes(codec.size) for _ in range(20)]
    size = codec.size
    for shift in range(1, 8):
        # Each frame `shift` bits into a record one byte longer.
        records = [(int.from_bytes(frame, "big") << (8 - shift)).to_bytes(size + 1, "big") for frame in frames]
        columns = codec.unpack_many(b"".join(records), offset_bits=shift, frame_bytes=size + 1)
        for number, frame in enumerate(frames):
            expected = codec.unpack(frame)
            assert codec.unpack(b"".join(records), 8 * number * (size + 1) + shift) == expected
            assert {name: column.tolist()[number] for name, column in columns.items()} == expected


@pytest.mark.parametrize("items, overlapping", [
    # In CAN numbering a (4, 8) signal holds the top half of byte 0 and the
    # bottom half of byte 1: a big-endian nibble fits in either other half.
    ([field("a", 8, offset_bits=4), field("lo", 4, byte_order="big", offset_bits=4),
      field("hi", 4, byte_order="big", offset_bits=8)], None),
    ([field("a", 8, offset_bits=4), field("b", 4, offset_bits=0), field("c", 4, offset_bits=12)], None),
    ([field("a", 8, offset_bits=4), field("top", 1, byte_order="big", offset_bits=0)], ("top", "a")),
    ([field("a", 8, offset_bits=4), field("x", 1, byte_order="big", offset_bits=15)], ("x", "a")),
    ([field("a", 8, offset_bits=4), field("b", 2, offset_bits=11)], ("b", "a")),
    ([field("a", 20, offset_bits=2), field("w", 8, byte_order="big", offset_bits=8)], ("w", "a")),
    ([field("a", 3, offset_bits=5), field("b", 3, offset_bits=2), field("c", 2, offset_bits=0)], None),
])
def test_overlap_by_the_bits_each_field_holds(items, overlapping):
    if overlapping is None:
        codec = FrameCodec(items)
        values = {item["name"]: (1 << item["bits"]) - 1 for item in items}
        assert codec.unpack(codec.pack(values)) == values
        return
    later, earlier = overlapping
    with pytest.raises(ValueError, match=f"\\('{later}'\\): bits .* overlap recipe item \\d+ \\('{earlier}'\\)"):
        FrameCodec(items)
    codec = FrameCodec(items, read_only=True)
    frame = bytes(range(0x5A, 0x5A + codec.size))
    for item in items:
        value = codec.unpack(frame)[item["name"]]
        if item["byte_order"] == "little_lsb0":
            assert value == expected_by_definition(frame, item["offset_bits"], item["bits"], False)
        else:
            assert value == (int.from_bytes(frame, "big") >> (8 * codec.size - item["offset_bits"] - item["bits"])
                             ) & ((1 << item["bits"]) - 1)


@pytest.mark.parametrize("items, message", [
    ([field("a", 4, byte_order="big"), field("b", 4)],
     r"recipe item 1 \('b'\): the item before ends inside a byte.*give offset_bits"),
    ([field("a", 4), field("b", 4, byte_order="big")],
     r"recipe item 1 \('b'\): the item before ends inside a byte.*give offset_bits"),
    ([field("a", 8, count=3)], r"recipe item 0 \('a'\): arrays take no byte_order 'little_lsb0'"),
    ([field("a", 16, "binary")], r"byte_order 'little_lsb0' applies to numeric fields"),
    ([field("a", 128, "ieee754")], r"byte_order 'little_lsb0' applies to numeric fields"),
])
def test_refused(items, message):
    with pytest.raises(ValueError, match=message):
        FrameCodec(items)


def test_sequential_fields_and_the_other_numbering_at_byte_boundaries():
    """Without offset_bits a little_lsb0 field follows the one before in
    its own numbering; at a byte boundary either numbering may follow."""
    codec = FrameCodec([field("id", 8, byte_order="big"), field("a", 4), field("b", 12),
                        field("c", 8, byte_order="big")])
    assert [(f.offset_bits, f.byte_order) for f in codec.fields] == [
        (0, "big"), (8, "little_lsb0"), (12, "little_lsb0"), (24, "big")]
    frame = codec.pack({"id": 0x11, "a": 0xA, "b": 0xBCD, "c": 0x22})
    assert frame.hex() == "11dabc22"


def test_layout_draws_the_runs_a_field_holds():
    from bitloom.layout import diagram, render_text
    codec = FrameCodec([field("a", 12, offset_bits=4), field("lo", 4, byte_order="big", offset_bits=4)])
    picture = diagram(codec)
    assert [(f.name, f.start, f.bits) for f in picture.fields] == [("a", 0, 4), ("a", 8, 8), ("lo", 4, 4)]
    text = render_text(picture)
    assert "|   a   |   lo  |       a       |" in text
    assert text.splitlines()[-2:] == ["0-3, 8-15     12  a     unsigned", "4-7            4  lo    unsigned"]


def test_the_can_log_of_the_docs_is_what_cantools_encodes():
    """docs/frames.md's engine record: signals that end and start inside a
    byte and cross into the next, at offset_bits 24 + start bit."""
    engine = Message(frame_id=0x0C0, name="engine", length=5, strict=True, signals=[
        can_signal("rpm", 0, 16), can_signal("torque", 16, 12, signed=True), can_signal("gear", 28, 3),
        can_signal("coolant", 31, 9)])
    record = [field("id", 16, byte_order="big"), field("dlc", 8, byte_order="big")]
    codec = FrameCodec(record + [signal_item(s, sequential=False) | {"offset_bits": 24 + s.start}
                                 for s in engine.signals])
    shown = {"rpm": 3000, "torque": -120, "gear": 4, "coolant": 351}
    assert engine.encode(shown, scaling=False).hex(" ") == "b8 0b 88 cf af"
    rng = random.Random(11)
    for _ in range(200):
        values = {s.name: rng.randrange(1 << s.length) - ((1 << (s.length - 1)) if s.is_signed else 0)
                  for s in engine.signals}
        data = engine.encode(values, scaling=False)
        assert codec.pack({"id": 0x0C0, "dlc": 5, **values}) == b"\x00\xc0\x05" + data
        assert codec.unpack(b"\x00\xc0\x05" + data) == {"id": 0x0C0, "dlc": 5, **values}


def test_fields_after_an_array_of_variable_length():
    """After an array of whole-byte elements the fields move by whole bytes
    and read as each packet alone; after elements of part of a byte they
    would not, and the recipe is refused."""
    from bitloom.frames import ccsds
    from test_frames_arrays import stream_of
    recipe = [field("n", 8, byte_order="big"), field("ch", 16, byte_order="little", count="n"),
              field("lo", 4), field("s", 13, "twos_complement"), field("hi", 7)]
    codec = ccsds.packet_codec(recipe)
    rng = random.Random(3)
    bodies = [{"ch": [rng.randrange(1 << 16) for _ in range(rng.randrange(4))], "lo": rng.randrange(16),
               "s": rng.randrange(-4096, 4096), "hi": rng.randrange(128)} for _ in range(60)]
    raws = stream_of(codec, bodies)
    frames = ccsds.stream({0x10: codec}).unpack_many(b"".join(raws))[0x10]
    got = [dict(zip(frames, row)) for row in zip(*(frames[name].tolist() for name in frames))]
    assert got == [codec.unpack(raw) for raw in raws]
    assert [(row["lo"], row["s"], row["hi"]) for row in got] == [(b["lo"], b["s"], b["hi"]) for b in bodies]
    with pytest.raises(ValueError, match="fields after an array of 12-bit elements cannot take byte_order 'little_lsb0'"):
        FrameCodec([field("n", 8, byte_order="big"), field("ch", 12, byte_order="big", count="n"), field("s", 16)])


def test_the_command_reads_a_field_in_a_frame_that_starts_inside_a_byte(tmp_path):
    """`bitloom unpack --offset-bits`: a packet holds the whole last byte
    of a little_lsb0 field (here bits 0..3 of the frame's only byte)."""
    from test_cli import run, write
    recipe = write(tmp_path, "recipe.json", [field("a", 4)])
    result = run(tmp_path, "unpack", recipe, "0ab0", "--offset-bits", 4)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"a": 0xB}
