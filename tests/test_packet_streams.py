"""Packet streams: framing by the length field, splitting by key, and
packets that cannot be framed, checked against ccsdspy on streams that
spacepackets builds."""

import io
import logging
import random

import pytest

from bitloom.frames import FrameCodec, PacketError, PacketStream, ccsds

logging.getLogger("ccsdspy").setLevel(logging.WARNING)


def unsigned(name, bits, **extra):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False,
            **extra}


# Per APID: (fields after the primary header as (name, bits, ccsdspy data type)).
BODIES = {
    0x010: [("count", 16, "uint"), ("temperature", 12, "int"), ("flags", 4, "uint")],
    0x3AB: [("voltage", 32, "float"), ("mode", 8, "uint")],
    0x7FE: [("word", 64, "uint"), ("small", 3, "uint"), ("rest", 5, "uint")],
}
ENCODINGS = {"uint": "unsigned", "int": "twos_complement", "float": "ieee754"}


def codec_of(apid):
    return ccsds.packet_codec([unsigned(name, bits) | {"encoding": ENCODINGS[kind]}
                               for name, bits, kind in BODIES[apid]])


def make_packet(apid, sequence, body):
    spacepackets = pytest.importorskip("spacepackets.ccsds.spacepacket")
    header = spacepackets.SpacePacketHeader(packet_type=spacepackets.PacketType.TM, apid=apid,
                                            seq_count=sequence, data_len=len(body) - 1)
    return spacepackets.SpacePacket(header, None, bytes(body)).pack()


def mixed_stream(count, seed=1, unknown=()):
    """A stream of packets of the APIDs above (and `unknown` ones), with
    random bodies whose floats are finite."""
    rng = random.Random(seed)
    apids = list(BODIES) + list(unknown)
    packets = []
    for sequence in range(count):
        apid = rng.choice(apids)
        size = codec_of(apid).size - 6 if apid in BODIES else rng.randint(1, 40)
        body = bytearray(rng.randbytes(size))
        if apid == 0x3AB:
            body[0] &= 0x3F  # a finite float
        packets.append((apid, make_packet(apid, sequence & 0x3FFF, body)))
    return packets


def ccsdspy_columns(stream_bytes):
    ccsdspy = pytest.importorskip("ccsdspy")
    from ccsdspy.utils import split_by_apid

    expected = {}
    for apid, part in split_by_apid(io.BytesIO(stream_bytes)).items():
        if apid not in BODIES:
            continue
        definition = ccsdspy.FixedLength([ccsdspy.PacketField(name=name, data_type=kind, bit_length=bits)
                                          for name, bits, kind in BODIES[apid]])
        expected[apid] = definition.load(part, include_primary_header=True)
    return expected


def test_mixed_stream_agrees_with_ccsdspy_value_for_value():
    packets = mixed_stream(600, unknown=(0x055,))
    data = b"".join(packet for _, packet in packets)
    stream = ccsds.stream({apid: codec_of(apid) for apid in BODIES})
    result = stream.unpack_many(data)
    expected = ccsdspy_columns(data)
    assert sorted(result) == sorted(expected)
    for apid, frames in result.items():
        for name, _, _ in BODIES[apid]:
            assert frames[name].tolist() == expected[apid][name].tolist(), (apid, name)
        assert frames["sequence_count"].tolist() == expected[apid]["CCSDS_SEQUENCE_COUNT"].tolist()
    assert result.unknown_count == sum(apid == 0x055 for apid, _ in packets)
    assert result.error_count == 0 and result.raw == {}


def test_unknown_keys_kept_as_raw_packets_and_split_like_ccsdspy():
    pytest.importorskip("ccsdspy")
    from ccsdspy.utils import split_by_apid

    packets = mixed_stream(300, seed=2, unknown=(0x055, 0x100))
    data = b"".join(packet for _, packet in packets)
    kept = ccsds.stream({0x010: codec_of(0x010)}, unknown="keep").unpack_many(data)
    for apid in (0x055, 0x100, 0x3AB, 0x7FE):
        assert kept.raw[apid] == [packet for key, packet in packets if key == apid]
    split = ccsds.stream({}).split(data)
    assert split == {apid: part.read() for apid, part in split_by_apid(io.BytesIO(data)).items()}


def test_batches_give_what_one_call_gives(tmp_path):
    packets = mixed_stream(400, seed=3, unknown=(0x055,))
    data = b"".join(packet for _, packet in packets)
    stream = ccsds.stream({apid: codec_of(apid) for apid in BODIES})
    whole = stream.unpack_many(data)
    path = tmp_path / "stream.bin"
    path.write_bytes(data)
    for source in (data, io.BytesIO(data), path):
        gathered = {}
        unknown = 0
        for batch in stream.iter_batches(source, batch_bytes=257):
            unknown += batch.unknown_count
            for apid, frames in batch.items():
                gathered.setdefault(apid, []).extend(frames["count" if apid == 0x010 else "sequence_count"].tolist())
        assert unknown == whole.unknown_count
        assert gathered == {apid: frames["count" if apid == 0x010 else "sequence_count"].tolist()
                            for apid, frames in whole.items()}


def bad_stream():
    """Good packets around a truncated packet, a packet longer than its
    APID's codec, and garbage; the offsets of each."""
    good = [packet for _, packet in mixed_stream(30, seed=4)]
    first, second, third = b"".join(good[:10]), b"".join(good[10:20]), b"".join(good[20:])
    overlong = make_packet(0x010, 99, bytes(codec_of(0x010).size - 6 + 3))
    garbage = bytes([0xE5]) * 11
    # A packet whose length field promises more than the stream holds before
    # the next one: its reading runs into the next packet, which framing
    # must find again.
    truncated = make_packet(0x3AB, 7, bytes(codec_of(0x3AB).size - 6))[:-3]
    parts = [first, overlong, second, garbage, truncated, third]
    offsets = []
    position = 0
    for part in parts:
        offsets.append(position)
        position += len(part)
    return b"".join(parts), offsets, good


def test_bad_packets_in_the_middle_skip_only_themselves():
    data, offsets, good = bad_stream()
    stream = ccsds.stream({apid: codec_of(apid) for apid in BODIES})
    result = stream.unpack_many(data, errors="null")
    reference = stream.unpack_many(b"".join(good))
    # Every good packet is kept, and nothing else.
    for apid, frames in reference.items():
        assert result[apid]["sequence_count"].tolist() == frames["sequence_count"].tolist()
    errors = result.errors
    assert [error.byte_offset for error in errors][:2] == [offsets[1], offsets[3]]
    assert errors[0] == PacketError(offsets[1], 0x010, None,
                                    f"the packet at byte offset {offsets[1]} (key 16) is {codec_of(0x010).size + 3} "
                                    f"bytes, but the codec of key 16 reads packets of {codec_of(0x010).size} bytes")
    assert errors[1].key is None and "header field 'version' holds 7, not 0" in errors[1].message
    assert all(error.byte_offset < offsets[5] for error in errors)
    with pytest.raises(ValueError, match=f"^the packet at byte offset {offsets[1]} \\(key 16\\) is"):
        stream.unpack_many(data)


@pytest.mark.parametrize("cut, message", [
    (3, "a partial packet header of 3 bytes at byte offset {end} (headers are 6 bytes)"),
    (9, "the packet at byte offset {end} runs past the end of the data: its 'packet_length' gives "
        "{size} bytes, 9 are left"),
])
def test_a_packet_cut_by_the_end_is_reported_with_its_offset(cut, message):
    good = b"".join(packet for _, packet in mixed_stream(12, seed=5))
    last = make_packet(0x3AB, 1, bytes(codec_of(0x3AB).size - 6))
    data = good + last[:cut]
    stream = ccsds.stream({apid: codec_of(apid) for apid in BODIES})
    text = message.format(end=len(good), size=len(last))
    with pytest.raises(ValueError) as raised:
        stream.unpack_many(data)
    assert str(raised.value) == text
    result = stream.unpack_many(data, errors="null")
    assert [error.message for error in result.errors] == [text]
    assert sum(len(frames["apid"]) for frames in result.values()) == 12


def test_impossible_lengths_and_field_failures_name_stream_offsets():
    header = [unsigned("key", 8), unsigned("length", 8)]
    digits = FrameCodec(header + [{"name": "bcd", "encoding": "packed_bcd", "bits": 8,
                                   "byte_order": "big", "reverse_bits": False}])
    stream = PacketStream(header, length_field="length", key_field="key", codecs={1: digits})
    data = bytes([1, 3, 0x12, 1, 3, 0x1F, 1, 1, 0x99, 1, 3, 0x34])
    with pytest.raises(ValueError, match="^packet at byte offset 3 \\(key 1\\), field 'bcd': Invalid BCD digit"):
        stream.unpack_many(data[:6])
    result = stream.unpack_many(data, errors="null")
    assert result[1]["bcd"].tolist() == [12, None, 34]
    assert [(error.byte_offset, error.field) for error in result.errors] == [(3, "bcd"), (6, None)]
    assert result.errors[0].message.startswith("packet at byte offset 3 (key 1), field 'bcd': Invalid BCD")
    assert result.errors[1].message.startswith(
        "the packet at byte offset 6 has an impossible length: its 'length' gives 1 bytes, fewer than its "
        "2-byte header; framing resumed at byte offset 9")
    assert [(error.frame, error.byte_offset) for error in result[1].errors] == [(1, 3)]


@pytest.mark.parametrize("arguments, error, message", [
    ({"length_field": "size"}, ValueError, "the length field 'size' is not a field of the header"),
    ({"unknown": "drop"}, ValueError, "unknown must be 'skip' or 'keep', not 'drop'"),
    ({"codecs": {1: FrameCodec([unsigned("a", 8)])}}, ValueError, "the codec of key 1 reads 1 bytes, fewer"),
    ({"codecs": {1: 5}}, TypeError, "the codec of key 1 must be a FrameCodec or a recipe"),
])
def test_stream_definitions_refused(arguments, error, message):
    options = {"header": [unsigned("key", 8), unsigned("length", 8)], "length_field": "length",
               "key_field": "key", "codecs": {}} | arguments
    with pytest.raises(error, match=message):
        PacketStream(**options)


def test_can_style_log_agrees_with_cantools():
    """Records of identifier, length and data; little-endian signals of whole
    bytes and a signal inside a byte, against cantools' decoding."""
    cantools = pytest.importorskip("cantools")
    Signal, Message = cantools.database.can.Signal, cantools.database.can.Message
    message = Message(frame_id=0x0C0, name="engine", length=5, signals=[
        Signal(name="rpm", start=0, length=16, byte_order="little_endian"),
        Signal(name="torque", start=16, length=16, byte_order="little_endian", is_signed=True),
        Signal(name="gear", start=36, length=3, byte_order="little_endian"),
    ])
    record = [unsigned("id", 16), unsigned("dlc", 8)]
    engine = FrameCodec(record + [
        unsigned("rpm", 16, byte_order="little"),
        unsigned("torque", 16, encoding="twos_complement", byte_order="lsb_first"),
        unsigned("spare", 1), unsigned("gear", 3), unsigned("pad", 4)])
    log = PacketStream(record, length_field="dlc", length_add=3, key_field="id", codecs={0x0C0: engine})
    rng = random.Random(9)
    payloads = [rng.randbytes(5) for _ in range(200)]
    other = bytes([0x01, 0x00, 0x02, 0xAA, 0xBB])  # an identifier without a codec
    data = b"".join(bytes([0x00, 0xC0, 5]) + payload + other for payload in payloads)
    result = log.unpack_many(data)
    assert result.unknown_count == 200
    for name in ("rpm", "torque", "gear"):
        assert result[0x0C0][name].tolist() == [message.decode(payload, decode_choices=False)[name]
                                                for payload in payloads]


@pytest.mark.parametrize("others", [0, 1])
def test_packets_longer_than_their_codec_in_runs_and_scattered(others):
    """One key's packets one after the other (read where they lie) or among
    another key's (gathered): a packet of the wrong length is an error either
    way, and the rest decode."""
    header = [unsigned("key", 8), unsigned("length", 8)]
    codec = FrameCodec(header + [unsigned("value", 16)])
    other = FrameCodec(header + [unsigned("x", 8)])
    stream = PacketStream(header, length_field="length", key_field="key", codecs={1: codec, 2: other})
    packets = [bytes([1, 4, 0, n]) for n in range(6)]
    packets[3] = bytes([1, 5, 0, 3, 0xFF])
    data = b"".join(packet + bytes([2, 3, 9]) * others for packet in packets)
    result = stream.unpack_many(data, errors="null")
    assert result[1]["value"].tolist() == [0, 1, 2, 4, 5]
    assert [error.byte_offset for error in result.errors] == [3 * (4 + 3 * others)]
    assert result.get(2) is None or result[2]["x"].tolist() == [9] * 6


# ---- runs and groups -------------------------------------------------------------

def _packet(key, sequence, size, order="big"):
    """A packet of the run tests' header: key (8 bits), length (16 bits, total
    size - 3, in `order`), then a sequence byte and filler."""
    body = bytes([sequence & 0xFF]) + bytes((sequence * 7 + k) & 0xFF for k in range(size - 4))
    return bytes([key]) + (size - 3).to_bytes(2, order) + body


def _run_stream(pattern):
    """(key, size) per packet for each pattern of keys and sizes."""
    rng = random.Random(len(pattern))
    if pattern == "one key":
        return [(1, 9)] * 3000
    if pattern == "long runs of two keys":
        return [(key, 9 if key == 1 else 12) for key in (1, 2, 1, 1, 2) for _ in range(rng.randint(1, 700))]
    if pattern == "interleaved":
        return [(rng.choice((1, 2, 3)), 9 if rng.random() < 0.9 else 12) for _ in range(2000)]
    if pattern == "a size change in a run":
        return [(1, 9)] * 500 + [(1, 12)] + [(1, 9)] * 500 + [(2, 12)] * 3 + [(1, 9)] * 5
    if pattern == "packets shorter than a word":
        return [(3, 5)] * 300 + [(1, 9)] + [(3, 5)] * 7
    raise AssertionError(pattern)


@pytest.mark.parametrize("order", ["big", "little"], ids=["read by word", "read field by field"])
@pytest.mark.parametrize("pattern", ["one key", "long runs of two keys", "interleaved", "a size change in a run",
                                     "packets shorter than a word"])
def test_runs_and_groups_decode_as_one_packet_at_a_time(pattern, order):
    """Whatever way a key's packets lie in the stream (all of it, in runs,
    scattered, of changing sizes), and whichever way the header is read, each
    packet decodes as its codec decodes it alone; the wrong sizes are errors
    at their offsets, and an unknown key's packets are kept whole."""
    header = [unsigned("key", 8), {**unsigned("length", 16), "byte_order": order}]
    codecs = {1: FrameCodec(header + [unsigned("sequence", 8), unsigned("rest", 40)]),
              2: FrameCodec(header + [unsigned("sequence", 8), unsigned("rest", 64)])}
    stream = PacketStream(header, length_field="length", key_field="key", length_add=3, codecs=codecs,
                          unknown="keep")
    packets = [_packet(key, n, size, order) for n, (key, size) in enumerate(_run_stream(pattern))]
    result = stream.unpack_many(b"".join(packets), errors="null")
    offsets = [sum(map(len, packets[:n])) for n in range(len(packets))]
    for key, codec in codecs.items():
        mine = [(offset, packet) for offset, packet in zip(offsets, packets) if packet[0] == key]
        fitting = [packet for _, packet in mine if len(packet) == codec.size]
        if not fitting:
            continue
        columns = result[key]
        assert [dict(zip(columns, row)) for row in zip(*(columns[name].tolist() for name in columns))] == \
            [codec.unpack(packet) for packet in fitting]
    assert [error.byte_offset for error in result.errors] == \
        [offset for offset, packet in zip(offsets, packets) if packet[0] in codecs and len(packet) != codecs[packet[0]].size]
    assert result.raw.get(3, []) == [packet for packet in packets if packet[0] == 3]
    assert stream.split(b"".join(packets)) == {key: b"".join(packet for packet in packets if packet[0] == key)
                                               for key in dict.fromkeys(packet[0] for packet in packets)}


def test_ctrl_c_stops_a_long_search_for_packets():
    """After a problem, errors="null" searches byte by byte for where packets
    frame again; a long stretch of garbage must still hear Ctrl-C (the handler
    runs while the scan is under way, not after it)."""
    import signal
    import sys
    import threading

    from bitloom import _frames

    stream = ccsds.stream({0x010: codec_of(0x010)})
    garbage = bytes([0xE5]) * (48 << 20)  # version 7: no packet frames anywhere
    main = threading.get_ident()
    for _ in range(3):
        inside = threading.Event()
        seen = []

        def profile(frame, event, argument):
            if event == "c_call" and argument is _frames._scan_packets:
                inside.set()
            elif event in ("c_return", "c_exception") and argument is _frames._scan_packets:
                inside.clear()

        def handler(signum, frame):
            # Handled after the scan, it runs as the profile hears the scan
            # return, in the hook itself.
            seen.append(inside.is_set() and frame.f_code is not profile.__code__)
            raise KeyboardInterrupt

        def interrupt():
            if inside.wait(10):
                signal.pthread_kill(main, signal.SIGINT)

        previous = signal.signal(signal.SIGINT, handler)
        sender = threading.Thread(target=interrupt)
        sender.start()
        sys.setprofile(profile)
        try:
            stream.unpack_many(garbage, errors="null")
        except KeyboardInterrupt:
            pass
        finally:
            sys.setprofile(None)
            inside.set()
            sender.join()
            signal.signal(signal.SIGINT, previous)
        if seen == [True]:
            return
    pytest.fail(f"Ctrl-C was handled only after the scan: {seen}")


@pytest.mark.parametrize("tail", [b"", bytes([5, 0, 1, 9]), bytes([0xE5]) * 4],
                         ids=["nothing", "a short packet of another key", "garbage"])
@pytest.mark.parametrize("batch_bytes", [None, 100, 1000])
def test_one_key_read_in_place_with_what_follows_it(tail, batch_bytes):
    """One key's packets one after the other are read where they lie, also
    when a batch ends inside one or the stream ends with a shorter packet of
    another key or garbage: exactly its packets decode."""
    header = [unsigned("key", 8), unsigned("length", 16)]
    codec = FrameCodec(header + [unsigned("sequence", 8), unsigned("rest", 40)])
    stream = PacketStream(header, length_field="length", key_field="key", length_add=3, codecs={1: codec})
    packets = [_packet(1, n, 9) for n in range(300)]
    data = b"".join(packets) + tail
    if batch_bytes is None:
        batches = [stream.unpack_many(data, errors="null")]
    else:
        batches = list(stream.iter_batches(data, batch_bytes=batch_bytes, errors="null"))
    # (A batch may hold only what follows the packets.)
    assert [value for batch in batches if 1 in batch for value in batch[1]["sequence"].tolist()] == \
        [n & 0xFF for n in range(300)]
    assert sum(batch.unknown_count for batch in batches) == (tail[:1] == b"\x05")
    assert sum(batch.error_count for batch in batches) == (tail[:1] == b"\xe5")
