"""UTF-8, UTF-16 and UTF-32 encode and decode functions."""

import pytest
from hypothesis import given, settings, strategies as st

import bitloom as b

GRIN = "\U0001F600"

ENCODED = [
    (b.encode_utf8, "", b""),
    (b.encode_utf16, "", b"\xfe\xff"),
    (b.encode_utf16le, "", b""),
    (b.encode_utf32, "", b"\x00\x00\xfe\xff"),
    (b.encode_utf32be, "", b""),
    (b.encode_utf16, "A", b"\xfe\xff\x00A"),
    (b.encode_utf16le, "A", b"A\x00"),
    (b.encode_utf32, "A", b"\x00\x00\xfe\xff\x00\x00\x00A"),
    (b.encode_utf32le, "A", b"A\x00\x00\x00"),
    (b.encode_utf16be, GRIN, b"\xd8\x3d\xde\x00"),
    (b.encode_utf16le, "\U0010FFFF", b"\xff\xdb\xff\xdf"),
    (b.encode_utf16, "\ufeff", b"\xfe\xff\xfe\xff"),  # the character is not a mark
    (b.encode_utf8, "a\xe9\u20ac" + GRIN, b"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
]

DECODED = [
    (b.decode_utf8, b"\xef\xbb\xbfA", "\ufeffA"),
    (b.decode_utf16, b"\xff\xfeA\x00", "A"),
    (b.decode_utf16, b"\xfe\xff\x00A", "A"),
    (b.decode_utf16, b"\x00A", "A"),
    (b.decode_utf16, b"\xfe\xff", ""),
    (b.decode_utf16, b"\xfe\xff\xfe\xff\x00A", "\ufeffA"),  # one mark removed only
    (b.decode_utf16, b"\xff\xfe\x3d\xd8\x00\xde", GRIN),
    (b.decode_utf16be, b"", ""),
    (b.decode_utf16be, b"\xfe\xff\x00A", "\ufeffA"),
    (b.decode_utf16le, b"\xff\xfeA\x00", "\ufeffA"),
    (b.decode_utf32, b"\xff\xfe\x00\x00A\x00\x00\x00", "A"),
    (b.decode_utf32, b"\x00\x00\x00A", "A"),
    (b.decode_utf32, b"\x00\x00\xfe\xff\x00\x00\xfe\xff", "\ufeff"),
    (b.decode_utf32be, b"\x00\x00\xfe\xff\x00\x00\x00A", "\ufeffA"),
    (b.decode_utf32be, b"\x00\x00\xd7\xff\x00\x10\xff\xff", "\ud7ff\U0010FFFF"),
]


@pytest.mark.parametrize("codec, given_value, expected", ENCODED + DECODED)
def test_values(codec, given_value, expected):
    assert codec(given_value) == expected


LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
UTF16_MARKED = "UTF-16 requires an even number of bytes with at least 2 bytes"
UTF32_MARKED = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"

DECODE_ERRORS = [
    (b.decode_utf16, b"", UTF16_MARKED),
    (b.decode_utf16, b"\x00", UTF16_MARKED),
    (b.decode_utf16, b"\xd8\x00\x00", UTF16_MARKED),  # length before content
    (b.decode_utf16, b"\xff\xfe\x00\xd8", LONE),
    (b.decode_utf16be, b"\x00A\x00", "UTF-16 requires an even number of bytes"),
    (b.decode_utf16le, b"\x00\xd8", LONE),
    (b.decode_utf16be, b"\xdc\x00\xd8\x00", LONE),  # low before high
    (b.decode_utf16be, b"\xd8\x00\xd8\x00\xdc\x00", LONE),  # two highs
    (b.decode_utf32, b"", UTF32_MARKED),
    (b.decode_utf32, b"\x00\x11\x00\x00\x00\x00", UTF32_MARKED),
    (b.decode_utf32, b"\xff\xfe\x00\x00\x00\xd8\x00\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
    (b.decode_utf32be, b"\x00\x11\x00\x00", "Invalid UTF-32 codepoint: 0x00110000"),
    (b.decode_utf32le, b"\xff\xff\xff\xff", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
    (b.decode_utf32be, b"\x00" * 5, "UTF-32 requires a multiple of 4 bytes"),
    # The first bad value is reported, also past the first block of eight.
    (b.decode_utf32be, b"\x00\x00\x00A" * 11 + b"\x00\x12\x00\x00\x00\x00\xd8\x00",
     "Invalid UTF-32 codepoint: 0x00120000"),
]

# The first ill-formed sequence: its index, and either "incomplete" (cut off
# by the end with every byte so far acceptable) or how many bytes were
# accepted before the offending one.
INVALID = "Invalid UTF-8 bytes: invalid utf-8 sequence of {} bytes from index {}"
INCOMPLETE = "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {}"
UTF8_ERRORS = [
    (b"\xc3\x28", INVALID.format(1, 0)),
    (b"A\xe2\x82", INCOMPLETE.format(1)),
    (b"\xed\xa0\x80", INVALID.format(1, 0)),  # an encoded surrogate
    (b"\xf0\x9f\x98A", INVALID.format(3, 0)),
    (b"ab\xf0\x9f\x98", INCOMPLETE.format(2)),
    (b"\xe0\x9f", INVALID.format(1, 0)),  # a bad second byte, even as the last
    (b"\xf0\x8f\xbf\xbf", INVALID.format(1, 0)),
    (b"\xf4\x90\x80\x80", INVALID.format(1, 0)),
    (b"\xe0\xa0\x80\xed\x9f", INCOMPLETE.format(3)),  # edges of the narrow ranges
    (b"\xe2\x82A", INVALID.format(2, 0)),
    (b"\xf1\x80\x80\xff", INVALID.format(3, 0)),
    (b"\x80", INVALID.format(1, 0)),
    (b"\xc1\xbf", INVALID.format(1, 0)),
    (b"\xf5\x80\x80\x80", INVALID.format(1, 0)),
    (b"a" * 17 + b"\xf0\x9f\x98A" + b"a" * 20, INVALID.format(3, 17)),
]


@pytest.mark.parametrize(
    "decode, data, message", DECODE_ERRORS + [(b.decode_utf8, d, m) for d, m in UTF8_ERRORS]
)
def test_decode_errors(decode, data, message):
    with pytest.raises(ValueError) as caught:
        decode(data)
    assert type(caught.value) is ValueError and caught.value.args == (message,)


DECODERS = [b.decode_utf8, b.decode_utf16, b.decode_utf16le, b.decode_utf16be,
            b.decode_utf32, b.decode_utf32le, b.decode_utf32be]
ENCODERS = [b.encode_utf8, b.encode_utf16, b.encode_utf16le, b.encode_utf16be,
            b.encode_utf32, b.encode_utf32le, b.encode_utf32be]


@pytest.mark.parametrize("decode", DECODERS)
@pytest.mark.parametrize("argument", [bytearray(b"a"), memoryview(b"a"), "a"])
def test_decoders_take_only_bytes(decode, argument):
    name = type(argument).__name__
    with pytest.raises(TypeError, match=f"^argument 'bytes': '{name}' object cannot be cast as 'bytes'$"):
        decode(argument)


@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("argument", [b"a", None])
def test_encoders_take_only_str(encode, argument):
    name = type(argument).__name__
    with pytest.raises(TypeError, match=f"^argument 'text': '{name}' object cannot be cast as 'str'$"):
        encode(argument)


def test_subclasses_and_keywords():
    class Text(str):
        pass

    class Data(bytes):
        pass

    assert b.encode_utf16be(text=Text("h\xe9")) == b"\x00h\x00\xe9"
    assert b.decode_utf16le(bytes=Data(b"A\x00")) == "A"
    with pytest.raises(TypeError, match=r"^encode_utf8\(\) got multiple values for argument 'text'$"):
        b.encode_utf8("a", text="b")


@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("text", ["\ud800", "\xe9\udc00b", "\u20ac\ud800\udc00", GRIN + "\udbff"])
def test_lone_surrogate_is_the_interpreters_utf8_error(encode, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        encode(text)
    assert caught.value.args == expected.value.args


# Any text, including U+0000, supplementary characters and long ASCII runs.
texts = st.one_of(
    st.text(),
    st.text(alphabet=st.characters(max_codepoint=0xFF, codec="utf-8")),
    st.lists(st.sampled_from(["abcdefgh" * 3, "\x00", "\xe9", "\u20ac", GRIN])).map("".join),
)


def same_str(result, expected):
    # CPython's str equality compares the storage width first, and isascii()
    # reads the ASCII flag: a str built wider than it needs fails one of them.
    return result == expected and result.isascii() == expected.isascii()


PAIRS = [
    (b.encode_utf8, b.decode_utf8, "utf-8"),
    (b.encode_utf16le, b.decode_utf16le, "utf-16-le"),
    (b.encode_utf16be, b.decode_utf16be, "utf-16-be"),
    (b.encode_utf32le, b.decode_utf32le, "utf-32-le"),
    (b.encode_utf32be, b.decode_utf32be, "utf-32-be"),
]
SCALARS = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF)


# Every scalar value, from a str stored one, two and four bytes wide.
@pytest.mark.parametrize("encode, decode, codec", PAIRS)
@pytest.mark.parametrize("text", [SCALARS[:0x100], SCALARS[:0xF800], SCALARS])
def test_every_scalar_value(encode, decode, codec, text):
    data = encode(text)
    assert data == text.encode(codec)
    assert same_str(decode(data), text)


@pytest.mark.parametrize("encode, decode, codec", PAIRS)
@settings(max_examples=300)
@given(text=texts)
def test_round_trip_matches_cpython(encode, decode, codec, text):
    data = encode(text)
    assert data == text.encode(codec)
    assert same_str(decode(data), text)


@pytest.mark.parametrize("encode, decode, big, little, marks", [
    (b.encode_utf16, b.decode_utf16, "utf-16-be", "utf-16-le", (b"\xfe\xff", b"\xff\xfe")),
    (b.encode_utf32, b.decode_utf32, "utf-32-be", "utf-32-le", (b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00")),
])
@given(text=texts)
def test_marked_forms(encode, decode, big, little, marks, text):
    assert encode(text) == marks[0] + text.encode(big)
    assert same_str(decode(marks[1] + text.encode(little)), text)
    if text[:1] not in ("", "\ufeff", "\ufffe"):  # those would read as a mark
        assert same_str(decode(text.encode(big)), text)


# Mostly valid UTF-8 with damage: pieces of sequences and stray bytes.
damaged_utf8 = st.lists(
    st.one_of(texts.map(str.encode), st.binary(max_size=3),
              st.sampled_from([b"\xe0", b"\xed\xa0", b"\xf4\x90", b"\xf0\x9f\x98"])),
    max_size=6,
).map(b"".join)


def outcome(decode, data):
    try:
        return decode(data)
    except ValueError as error:
        return error.args


def cpython_utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return (INCOMPLETE.format(error.start),)
        return (INVALID.format(error.end - error.start, error.start),)


@settings(max_examples=400)
@given(data=damaged_utf8)
def test_utf8_decoding_matches_cpython(data):
    result = outcome(b.decode_utf8, data)
    expected = cpython_utf8(data)
    assert result == expected and (isinstance(result, tuple) or same_str(result, expected))


# Every two-byte input, and longer ones over the edges of the byte ranges.
def test_short_utf8_inputs_match_cpython():
    edges = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED,
             0xF0, 0xF4, 0xF5, 0xFF]
    inputs = [bytes([x, y]) for x in range(256) for y in range(256)]
    inputs += [bytes([x, y, z]) for x in range(0xE0, 0xF5) for y in range(256) for z in edges]
    inputs += [bytes([0xF0 + k, y, z, w]) for k in range(5) for y in edges for z in edges for w in edges]
    mismatches = [data for data in inputs if outcome(b.decode_utf8, data) != cpython_utf8(data)]
    assert mismatches == []


# Something unusual at every offset of the block-at-a-time checks (16 UTF-16
# units, 8 UTF-32 values) and in the tail after them.
@pytest.mark.parametrize("offset", range(21))
@pytest.mark.parametrize("size, inserted", [
    (2, [0xD83D, 0xDE00]), (2, [0xD800]), (2, [0xDFFF]), (2, [0xDBFF, 0xDBFF, 0xDC00]),
    (2, [0xDBFF, 0x0061]), (2, [0x00E9, 0x20AC]),
    (4, [0xD800]), (4, [0x110000]), (4, [0x00E9, 0x10FFFF]),
])
@pytest.mark.parametrize("order", ["big", "little"])
def test_blocks_match_cpython(offset, size, inserted, order):
    values = [0x61] * offset + inserted + [0x62] * 13
    raw = b"".join(v.to_bytes(size, order) for v in values)
    decode = getattr(b, f"decode_utf{8 * size}{order[0]}e")
    try:
        expected = raw.decode(f"utf-{8 * size}-{order[0]}e")
    except UnicodeDecodeError as error:
        value = int.from_bytes(raw[error.start:error.start + 4], order)
        message = LONE if size == 2 else f"Invalid UTF-32 codepoint: 0x{value:08X}"
        with pytest.raises(ValueError) as caught:
            decode(raw)
        assert caught.value.args == (message,)
    else:
        assert same_str(decode(raw), expected)


# UTF-16 and UTF-32 text is written as it is checked, into a str that is
# widened when a wider code point appears: where each width first shows (at
# the start, inside or just past the units looked at before the str is made,
# at the very end), in rising and falling order, and damage before and after
# a widening, must all come out as CPython's codecs have them.
WIDE_CODECS = ["utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be"]
WIDTH_SAMPLES = ["a", "\xe9", "\u20ac", GRIN]
BAD_UNITS = {2: [0xD800, 0xDBFF, 0xDC00, 0xDFFF], 4: [0xD800, 0xDFFF, 0x110000, 0xFFFFFFFF]}


def decoder_for(codec):
    return getattr(b, "decode_" + codec.replace("-", "")[:-2] + codec[-2:])


def cpython_outcome(codec, raw):
    try:
        return raw.decode(codec)
    except UnicodeDecodeError as error:
        if codec.startswith("utf-16"):
            return (LONE,)
        value = int.from_bytes(raw[error.start:error.start + 4], codec.endswith("le") and "little" or "big")
        return (f"Invalid UTF-32 codepoint: 0x{value:08X}",)


def check_against_cpython(codec, raw):
    result = outcome(decoder_for(codec), raw)
    expected = cpython_outcome(codec, raw)
    assert result == expected
    if isinstance(expected, str):
        assert same_str(result, expected)


@pytest.mark.parametrize("codec", WIDE_CODECS)
@pytest.mark.parametrize("before", [0, 1, 15, 16, 17, 62, 63, 64, 65, 200, 4099])
@pytest.mark.parametrize("order", [WIDTH_SAMPLES, WIDTH_SAMPLES[::-1], ["a", GRIN, "\xe9"],
                                   ["\xe9", "\u20ac"], ["a", "\u20ac"]])
def test_width_grows_at_every_boundary(codec, before, order):
    # Each width's first character `before` characters after the last.
    text = "".join("a" * before + character for character in order) + "z" * 3
    check_against_cpython(codec, text.encode(codec))
    # The widest character as the last one.
    check_against_cpython(codec, ("a" * before + order[-1]).encode(codec))


@pytest.mark.parametrize("codec", WIDE_CODECS)
@settings(max_examples=150)
@given(runs=st.lists(st.tuples(st.sampled_from(WIDTH_SAMPLES), st.integers(0, 150)), max_size=5),
       damage=st.one_of(st.none(), st.tuples(st.integers(0, 800), st.integers(0, 3))))
def test_widening_and_damage_match_cpython(codec, runs, damage):
    text = "".join(character * count for character, count in runs)
    raw = text.encode(codec)
    if damage is not None:
        size = 2 if codec.startswith("utf-16") else 4
        position, which = damage
        at = min(position, len(raw) // size) * size
        bad = BAD_UNITS[size][which].to_bytes(size, "little" if codec.endswith("le") else "big")
        raw = raw[:at] + bad + raw[at:]
    check_against_cpython(codec, raw)


# UTF-32 in one-byte storage is checked on the words as loaded, sixteen at a
# time: one unit that does not fit, at every place of a block and the tail,
# must widen the text or be reported exactly as alone.
@pytest.mark.parametrize("decode, codec", [(b.decode_utf32le, "utf-32-le"),
                                           (b.decode_utf32be, "utf-32-be")])
@pytest.mark.parametrize("odd", [0x7F, 0x80, 0xFF, 0x100, 0x17F, 0xFFFF, 0x10000, 0x10FFFF,
                                 0xD800, 0x110000, 0x1000041, 0x80000000, 0xFFFFFFFF], ids=hex)
@pytest.mark.parametrize("start", [0x41, 0xE9], ids=["ascii", "latin1"])
def test_utf32_unit_out_of_its_storage_at_every_place(decode, codec, odd, start):
    order = "little" if codec.endswith("le") else "big"
    for place in range(37):
        units = [start + i % 20 if start < 0x80 else start for i in range(37)]
        units[place] = odd
        data = b"".join(unit.to_bytes(4, order) for unit in units)
        if odd > 0x10FFFF or 0xD800 <= odd <= 0xDFFF:
            with pytest.raises(ValueError) as caught:
                decode(data)
            assert str(caught.value) == f"Invalid UTF-32 codepoint: 0x{odd:08X}"
        else:
            assert same_str(decode(data), data.decode(codec))


# Text stored four bytes wide is checked several units at a time: a bad unit
# at any position of a step, after text of any storage width, is the one
# reported, and a wider code point at any position widens the result.
@pytest.mark.parametrize("decode, codec", [(b.decode_utf32le, "utf-32-le"),
                                           (b.decode_utf32be, "utf-32-be")])
@pytest.mark.parametrize("before", ["\U0001F600", "a", "\xe9"])
def test_utf32_units_checked_at_every_position(decode, codec, before):
    for position in range(11):
        text = before * position + "\U0001F601" + "\U00010000" * (10 - position)
        assert decode(text.encode(codec)) == text
        for bad in (0xD800, 0xDFFF, 0x110000, 0xFFFFFFFF):
            unit = bad.to_bytes(4, "little" if codec.endswith("le") else "big")
            data = (before * position).encode(codec) + unit + ("\U00010000" * 9).encode(codec)
            with pytest.raises(ValueError) as caught:
                decode(data)
            assert caught.value.args == (f"Invalid UTF-32 codepoint: 0x{bad:08X}",)


# ---- bytes that change while they are decoded --------------------------------

# Two contents of one buffer per decoder, far apart in how many code points
# and how wide: a decoder that measured one and wrote the other would write
# past the str it allocated, or leave a str of the wrong width.
_RACE_SIZE = 1 << 18


def _race_contents(codec, wide, narrow):
    first, second = (wide * _RACE_SIZE).encode(codec), (narrow * _RACE_SIZE).encode(codec)
    size = min(len(first), len(second), _RACE_SIZE)
    return first[:size], second[:size]


RACES = [
    (b.decode_utf8, _race_contents("utf-8", GRIN, "\xe9" + "a" * 63)),
    (b.decode_utf8, _race_contents("utf-8", "a", "\u72b6")),
    (b.decode_utf16le, _race_contents("utf-16-le", GRIN, "\u72b6")),
    (b.decode_utf16be, _race_contents("utf-16-be", GRIN + "a", "a")),
    (b.decode_utf32le, _race_contents("utf-32-le", GRIN, "a")),
    (b.decode_utf32be, _race_contents("utf-32-be", "\xe9", "a")),
    (b.decode_iso_8859_1, _race_contents("latin-1", "\xe9", "a")),
    (b.decode_windows_1252, _race_contents("cp1252", "\u20ac", "a")),
    (b.decode_us_ascii, _race_contents("ascii", "a", "b")),
]


@pytest.mark.parametrize("decode, contents", RACES,
                         ids=[f"{decode.__name__}-{i}" for i, (decode, _) in enumerate(RACES)])
def test_decoding_bytes_that_another_thread_rewrites(decode, contents):
    """Another thread rewrites the buffer (ctypes.memmove runs without the
    GIL, as a writer into a shared mmap would) while it is decoded: every call
    must return a well-formed str of its own width, or raise ValueError, and
    never write outside what it allocated (the sanitizer build checks)."""
    import ctypes
    import threading
    import time

    first, second = contents
    buffer = bytes(len(first))  # a new object, not shared with anything
    address = ctypes.cast(ctypes.c_char_p(buffer), ctypes.c_void_p).value
    ctypes.memmove(address, first, len(first))
    stop = threading.Event()

    def rewrite():
        while not stop.is_set():
            ctypes.memmove(address, second, len(second))
            ctypes.memmove(address, first, len(first))

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            try:
                text = decode(buffer)
            except ValueError:
                continue
            assert len(text) <= len(buffer)
            # Equal only if stored as narrow as its widest character allows.
            assert text == str(text.encode("utf-32-le", "surrogatepass"), "utf-32-le",
                               "surrogatepass")
    finally:
        stop.set()
        writer.join()


# ---- every kind of text, long enough for every path ---------------------------

# Runs of one kind of text each (stored one, two or four bytes wide by the
# interpreter), long enough to pass the decoders' head of 64 units, their
# blocks, and the length at which long text is counted before its str is made.
KINDS = {
    "ascii": "The quick brown fox; 0123456789.\n",
    "latin-1": "Grüße, naïve café déjà vu, ¿qué? ½ año; ",
    "greek": "température 25°C, Δt=3 ms, OK; ",
    "cjk": "température 25°C, 状态 OK; ",
    "emoji": "status 🚀 ok, 😀 fine; ",
}
kind_texts = st.lists(
    st.tuples(st.sampled_from(sorted(KINDS)), st.integers(0, 5000), st.integers(0, 40)),
    min_size=1, max_size=3,
).map(lambda runs: "".join((KINDS[kind] * (count // len(KINDS[kind]) + 1))[skip:skip + count]
                           for kind, count, skip in runs))


@pytest.mark.parametrize("encode, decode, codec", PAIRS)
@settings(max_examples=60, deadline=None)
@given(text=kind_texts)
def test_every_kind_of_text_matches_cpython(encode, decode, codec, text):
    data = encode(text)
    assert data == text.encode(codec)
    assert same_str(decode(data), text)


# The same texts with one unit damaged anywhere, early or late.
@pytest.mark.parametrize("codec", ["utf-8"] + WIDE_CODECS)
@settings(max_examples=60, deadline=None)
@given(text=kind_texts, where=st.floats(0, 1), bad=st.sampled_from(
    [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xe2\x82", b"\xf4\x90\x80\x80", b"\xc3"]))
def test_damage_in_every_kind_of_text_matches_cpython(codec, text, where, bad):
    raw = text.encode(codec)
    if codec == "utf-8":
        at = int(where * len(text))
        raw = text[:at].encode(codec) + bad + text[at:].encode(codec)
        assert outcome(b.decode_utf8, raw) == cpython_utf8(raw)
    else:
        size = 2 if codec.startswith("utf-16") else 4
        at = int(where * (len(raw) // size)) * size
        unit = BAD_UNITS[size][len(bad) % 4].to_bytes(size, "little" if codec.endswith("le") else "big")
        check_against_cpython(codec, raw[:at] + unit + raw[at:])


# UTF-8 Latin-1 text is decoded sixteen bytes at a time when a block holds
# only ASCII and two-byte sequences led by C2 or C3: a lead at the last byte of
# a block, a lead without its continuation, and the overlong leads C0 and C1
# at every place of a block must all come out as CPython has them.
@pytest.mark.parametrize("offset", range(18))
@pytest.mark.parametrize("inserted", [b"\xc3\xa9", b"\xc2\x80", b"\xc3", b"\xc3a", b"\xc0\xa9",
                                      b"\xc1\xbf", b"\xa9", b"\xc4\x80", b"\xe2\x82\xac"])
def test_latin1_blocks_match_cpython(offset, inserted):
    for filler in (b"a", "é".encode()):
        data = filler * offset + inserted + "é".encode() * 20
        result = outcome(b.decode_utf8, data)
        expected = cpython_utf8(data)
        assert result == expected and (isinstance(result, tuple) or same_str(result, expected))
