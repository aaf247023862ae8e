"""Byte order permutations, lsb_first fields and read-only codecs, checked
against independent decoders: ccsdspy for permutations, bitstruct (and
cantools where the layouts agree) for lsb_first."""

import io
import pickle
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from bitloom.frames import FrameCodec


def field(name, bits, encoding="unsigned", byte_order="big", **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": False, **extra}


PERMUTATIONS = ["21", "12", "3412", "2143", "4321", "2314", "4132", "78563412", "12345678",
                "81234567", "23456781", "214365"]


def permuted_value(field_bytes, digits):
    """The value a field's bytes stand for: the digits, right to left, name
    the value's bytes from the most significant, each a field byte counted
    from the field's last byte (1)."""
    backwards = field_bytes[::-1]
    return int.from_bytes(bytes(backwards[int(d) - 1] for d in reversed(digits)), "big")


@pytest.mark.parametrize("digits", PERMUTATIONS)
def test_permutations_read_as_defined_and_round_trip(digits):
    size = len(digits)
    codec = FrameCodec([field("lead", 4), field("value", 8 * size, byte_order=digits), field("tail", 4)])
    rng = random.Random(digits)
    frames = [rng.randbytes(size + 1) for _ in range(50)]
    columns = codec.unpack_many(b"".join(frames))
    for number, frame in enumerate(frames):
        # The field starts 4 bits in: its bytes are the frame's bits 4 onwards.
        field_bytes = ((int.from_bytes(frame, "big") >> 4) & ((1 << 8 * size) - 1)).to_bytes(size, "big")
        expected = permuted_value(field_bytes, digits)
        assert codec.unpack(frame)["value"] == expected == columns["value"][number]
        assert codec.pack(codec.unpack(frame)) == frame



@pytest.mark.parametrize("digits, data_type", [
    ("21", "uint"), ("3412", "uint"), ("2143", "uint"), ("4321", "int"), ("2314", "uint"),
    ("3412", "float"), ("78563412", "uint"), ("56781234", "int"), ("81234567", "uint"),
])
def test_permutations_agree_with_ccsdspy(digits, data_type):
    ccsdspy = pytest.importorskip("ccsdspy")
    size = len(digits)
    rng = random.Random(digits + data_type)
    count = 64
    body_bytes = size + 2
    header = [field("version", 3), field("type", 1), field("secondary", 1), field("apid", 11),
              field("flags", 2), field("sequence", 14), field("length", 16)]
    encoding = {"uint": "unsigned", "int": "twos_complement", "float": "ieee754"}[data_type]
    codec = FrameCodec(header + [field("value", 8 * size, encoding, byte_order=digits),
                                 field("after", 16)])
    packets = []
    for number in range(count):
        body = bytearray(rng.randbytes(body_bytes))
        if data_type == "float":
            # A value whose permuted bytes are a finite float.
            value = struct.pack(">f" if size == 4 else ">d", rng.uniform(-1e6, 1e6))
            for k, d in enumerate(reversed(digits)):
                body[size - int(d)] = value[k]
        head = bytes([0x08, 0x05, 0xC0 | (number >> 8), number & 0xFF]) + (body_bytes - 1).to_bytes(2, "big")
        packets.append(head + bytes(body))
    dump = b"".join(packets)
    definition = ccsdspy.FixedLength([
        ccsdspy.PacketField(name="value", data_type=data_type, bit_length=8 * size, byte_order=digits),
        ccsdspy.PacketField(name="after", data_type="uint", bit_length=16),
    ])
    expected = definition.load(io.BytesIO(dump), include_primary_header=True)
    columns = codec.unpack_many(dump)
    assert columns["value"].tolist() == expected["value"].tolist()
    assert columns["after"].tolist() == expected["after"].tolist()
    assert columns["sequence"].tolist() == expected["CCSDS_SEQUENCE_COUNT"].tolist()


@pytest.mark.parametrize("item, message", [
    (field("a", 16, byte_order="3412"), "byte_order '3412' is not a permutation of the bytes of a field of 16 bits"),
    (field("a", 24, byte_order="113"), "byte_order '113' is not a permutation"),
    (field("a", 24, byte_order="124"), "byte_order '124' is not a permutation"),
    (field("a", 12, byte_order="21"), "byte_order '21' is not a permutation"),
    (field("a", 72, "binary", byte_order="123456789"), "byte_order '123456789' is not a permutation"),
    (field("a", 16, "utf-8", byte_order="21"), "A byte order permutation applies to numeric fields"),
    (field("a", 16, "binary", byte_order="lsb_first"), "byte_order 'lsb_first' applies to numeric fields"),
    (field("a", 128, "ieee754", byte_order="lsb_first"), "byte_order 'lsb_first' applies to numeric fields"),
    (field("a", 16, byte_order="middle"), "Invalid byte_order 'middle': must be 'big', 'little', 'lsb_first'"),
])
def test_refused_arrangements(item, message):
    with pytest.raises(ValueError, match="^recipe item 0 \\('a'\\): " + message):
        FrameCodec([item])


@settings(max_examples=400, deadline=None)
@given(offset=st.integers(0, 15), bits=st.integers(1, 64), signed=st.booleans(),
       data=st.data())
def test_lsb_first_agrees_with_bitstruct(offset, bits, signed, data):
    bitstruct = pytest.importorskip("bitstruct")
    trailing = data.draw(st.integers(0, 9))
    letter, encoding = ("s", "twos_complement") if signed else ("u", "unsigned")
    fmt = (f"p{offset}" if offset else "") + f"{letter}{bits}" + (f"p{trailing}" if trailing else "") + "<"
    items = [field("value", bits, encoding, byte_order="lsb_first", offset_bits=offset)]
    if trailing:
        items.append(field("pad", trailing, value=0, offset_bits=offset + bits))
    codec = FrameCodec(items)
    size = (offset + bits + trailing + 7) // 8
    frames = [data.draw(st.binary(min_size=size, max_size=size)) for _ in range(3)]
    columns = codec.unpack_many(b"".join(frames), frame_bytes=size)
    for number, frame in enumerate(frames):
        (expected,) = bitstruct.unpack(fmt, frame)
        assert codec.unpack(frame)["value"] == expected == columns["value"][number]
    low = -(1 << (bits - 1)) if signed else 0
    high = (1 << (bits - 1)) - 1 if signed else (1 << bits) - 1
    value = data.draw(st.integers(low, high))
    assert codec.pack({"value": value}) == bitstruct.pack(fmt, value)


@settings(max_examples=200, deadline=None)
@given(offset=st.integers(0, 7), bits=st.integers(9, 64), reverse=st.booleans(), data=st.data())
def test_lsb_first_at_any_frame_offset_and_reversed(offset, bits, reverse, data):
    """Pieces are cut at the frame's bytes, wherever the frame starts in the
    buffer; reversal is undone after the pieces."""
    item = field("value", bits, byte_order="lsb_first", offset_bits=offset, reverse_bits=reverse)
    codec = FrameCodec([item])
    value = data.draw(st.integers(0, (1 << bits) - 1))
    frame = codec.pack({"value": value})
    shift = data.draw(st.integers(1, 15))
    shifted = (int.from_bytes(frame, "big") << (8 * 2 - shift)).to_bytes(len(frame) + 2, "big")
    assert codec.unpack(frame)["value"] == value
    assert codec.unpack(shifted, shift)["value"] == value


@pytest.mark.parametrize("start, length", [(0, 8), (0, 16), (8, 16), (16, 32), (0, 64), (3, 4), (9, 5)])
def test_lsb_first_agrees_with_cantools_little_endian_signals(start, length):
    """cantools numbers a little-endian signal's bits from the least
    significant bit of the message's first byte; where that layout is
    bitstruct's too (whole bytes at a byte boundary, or a signal inside one
    byte) the values agree."""
    cantools = pytest.importorskip("cantools")
    message = cantools.database.can.Message(
        frame_id=1, name="m", length=8,
        signals=[cantools.database.can.Signal(name="s", start=start, length=length, byte_order="little_endian")])
    # The signal's first bit in our numbering, counted from the top of its byte.
    first_byte, low_bit = divmod(start, 8)
    if length <= 8 - low_bit:
        offset = first_byte * 8 + 8 - low_bit - length
    else:
        offset = start
    codec = FrameCodec([field("s", length, byte_order="lsb_first", offset_bits=offset)])
    rng = random.Random(start * 100 + length)
    for _ in range(50):
        data = rng.randbytes(8)
        assert codec.unpack(data)["s"] == message.decode(data)["s"]


def test_read_only_codec_reads_overlapping_fields_in_one_pass():
    items = [field("word", 16), field("mode", 4, offset_bits=0), field("low", 8, offset_bits=8),
             field("both", 16, byte_order="21", offset_bits=0)]
    with pytest.raises(ValueError, match="overlap"):
        FrameCodec(items)
    codec = FrameCodec(items, read_only=True)
    assert codec.read_only and not FrameCodec(items[:1]).read_only
    rng = random.Random(7)
    frames = [rng.randbytes(2) for _ in range(40)]
    columns = codec.unpack_many(b"".join(frames))
    for number, frame in enumerate(frames):
        word = int.from_bytes(frame, "big")
        expected = {"word": word, "mode": word >> 12, "low": word & 0xFF,
                    "both": int.from_bytes(frame, "little")}
        assert codec.unpack(frame) == expected
        assert {name: column[number] for name, column in columns.items()} == expected
    for attempt in (lambda: codec.pack({"word": 1, "mode": 0, "low": 1, "both": 1}),
                    lambda: codec.pack_many([[1, 0, 1, 1]])):
        with pytest.raises(ValueError, match="read_only=True"):
            attempt()


def test_read_only_is_kept_by_pickling_and_counted_by_equality():
    items = [field("word", 16), field("mode", 4, offset_bits=0)]
    codec = FrameCodec(items, read_only=True, text_padding="strip")
    copy = pickle.loads(pickle.dumps(codec))
    assert copy == codec and copy.read_only and copy.text_padding == "strip"
    assert FrameCodec(items[:1]) != FrameCodec(items[:1], read_only=True)
    assert [f.byte_order for f in FrameCodec([field("a", 24, byte_order="231"),
                                             field("b", 9, byte_order="lsb_first")]).fields] \
        == ["231", "lsb_first"]
