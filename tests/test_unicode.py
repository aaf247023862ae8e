"""UTF-8, UTF-16 and UTF-32 encode and decode functions."""

import pytest
from hypothesis import given, settings, strategies as st

import bitloom as b

A = "A"
GRIN = "\U0001F600"

# ---- encoders -------------------------------------------------------------

ENCODED = [
    (b.encode_utf8, "", b""),
    (b.encode_utf16, "", b"\xfe\xff"),
    (b.encode_utf16le, "", b""),
    (b.encode_utf16be, "", b""),
    (b.encode_utf32, "", b"\x00\x00\xfe\xff"),
    (b.encode_utf32le, "", b""),
    (b.encode_utf32be, "", b""),
    (b.encode_utf16, A, b"\xfe\xff\x00\x41"),
    (b.encode_utf16le, A, b"\x41\x00"),
    (b.encode_utf16be, A, b"\x00\x41"),
    (b.encode_utf32, A, b"\x00\x00\xfe\xff\x00\x00\x00\x41"),
    (b.encode_utf32le, A, b"\x41\x00\x00\x00"),
    (b.encode_utf32be, A, b"\x00\x00\x00\x41"),
    (b.encode_utf16be, GRIN, b"\xd8\x3d\xde\x00"),
    (b.encode_utf16le, GRIN, b"\x3d\xd8\x00\xde"),
    (b.encode_utf16, GRIN, b"\xfe\xff\xd8\x3d\xde\x00"),
    (b.encode_utf32be, GRIN, b"\x00\x01\xf6\x00"),
    (b.encode_utf32le, GRIN, b"\x00\xf6\x01\x00"),
    (b.encode_utf16be, "\U0010FFFF", b"\xdb\xff\xdf\xff"),
    (b.encode_utf16be, "\U00010000", b"\xd8\x00\xdc\x00"),
    # A character U+FEFF in the text is written like any other.
    (b.encode_utf16, "\ufeff", b"\xfe\xff\xfe\xff"),
    (b.encode_utf8, "\x00", b"\x00"),
    # One string of each storage width, and one crossing all of them.
    (b.encode_utf8, "h\xe9llo", b"h\xc3\xa9llo"),
    (b.encode_utf8, "\u20ac", b"\xe2\x82\xac"),
    (b.encode_utf8, "\u07ff\u0800\uffff", b"\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"),
    (b.encode_utf8, "a\xe9\u20ac" + GRIN, b"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
    (b.encode_utf16le, "a\xe9\u20ac", b"a\x00\xe9\x00\xac\x20"),
    (b.encode_utf32be, "\xe9", b"\x00\x00\x00\xe9"),
]


@pytest.mark.parametrize("encode, text, expected", ENCODED)
def test_encoders(encode, text, expected):
    assert encode(text) == expected


# ---- decoders -------------------------------------------------------------

DECODED = [
    (b.decode_utf8, b"", ""),
    (b.decode_utf8, b"\x00", "\x00"),
    (b.decode_utf8, b"\xef\xbb\xbfA", "\ufeffA"),  # no mark handling in UTF-8
    (b.decode_utf16, b"\xff\xfe\x41\x00", A),
    (b.decode_utf16, b"\xfe\xff\x00\x41", A),
    (b.decode_utf16, b"\x00\x41", A),
    (b.decode_utf16, b"\xfe\xff", ""),
    (b.decode_utf16, b"\xff\xfe", ""),
    (b.decode_utf16, b"\xfe\xff\xfe\xff\x00\x41", "\ufeffA"),  # one mark removed only
    (b.decode_utf16, b"\xff\xfe\xff\xfe", "\ufeff"),
    (b.decode_utf16, b"\xd8\x3d\xde\x00", GRIN),
    (b.decode_utf16, b"\xff\xfe\x3d\xd8\x00\xde", GRIN),
    (b.decode_utf16be, b"", ""),
    (b.decode_utf16be, b"\xfe\xff\x00\x41", "\ufeffA"),
    (b.decode_utf16le, b"\xff\xfe\x41\x00", "\ufeffA"),
    (b.decode_utf16be, b"\xff\xfe", "\ufffe"),
    (b.decode_utf16be, b"\xd8\x3d\xde\x00", GRIN),
    (b.decode_utf16le, b"\x3d\xd8\x00\xde", GRIN),
    (b.decode_utf32, b"\xff\xfe\x00\x00\x41\x00\x00\x00", A),
    (b.decode_utf32, b"\x00\x00\xfe\xff\x00\x00\x00\x41", A),
    (b.decode_utf32, b"\x00\x00\x00\x41", A),
    (b.decode_utf32, b"\x00\x00\xfe\xff", ""),
    (b.decode_utf32, b"\x00\x00\xfe\xff\x00\x00\xfe\xff", "\ufeff"),
    (b.decode_utf32be, b"", ""),
    (b.decode_utf32be, b"\x00\x00\xfe\xff\x00\x00\x00\x41", "\ufeffA"),
    (b.decode_utf32le, b"\xff\xfe\x00\x00", "\ufeff"),
    (b.decode_utf32be, b"\x00\x10\xff\xff", "\U0010FFFF"),
    (b.decode_utf32be, b"\x00\x00\xd7\xff\x00\x00\xe0\x00", "\ud7ff\ue000"),
]


@pytest.mark.parametrize("decode, data, expected", DECODED)
def test_decoders(decode, data, expected):
    assert decode(data) == expected


LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
UTF16_MARKED_LENGTH = "UTF-16 requires an even number of bytes with at least 2 bytes"
UTF32_MARKED_LENGTH = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"

DECODE_ERRORS = [
    (b.decode_utf16, b"", UTF16_MARKED_LENGTH),
    (b.decode_utf16, b"\x00", UTF16_MARKED_LENGTH),
    (b.decode_utf16, b"\xfe\xff\x00", UTF16_MARKED_LENGTH),
    # The length is checked before the content.
    (b.decode_utf16, b"\xd8\x00\x00", UTF16_MARKED_LENGTH),
    (b.decode_utf16, b"\xd8\x00", LONE),
    (b.decode_utf16, b"\xff\xfe\x00\xd8", LONE),
    (b.decode_utf16be, b"\x00\x41\x00", "UTF-16 requires an even number of bytes"),
    (b.decode_utf16le, b"\xd8", "UTF-16 requires an even number of bytes"),
    (b.decode_utf16be, b"\xd8\x00", LONE),
    (b.decode_utf16be, b"\xdc\x00\xd8\x00", LONE),  # low before high
    (b.decode_utf16be, b"\xd8\x00\x00\x41", LONE),  # high before a non-surrogate
    (b.decode_utf16be, b"\xd8\x00\xd8\x00\xdc\x00", LONE),  # two highs
    (b.decode_utf16be, b"\x00\x41" * 9 + b"\xdf\xff", LONE),
    (b.decode_utf16le, b"\x41\x00" * 3 + b"\x00\xdc\x41\x00", LONE),
    (b.decode_utf32, b"", UTF32_MARKED_LENGTH),
    (b.decode_utf32, b"\x00\x00\xfe", UTF32_MARKED_LENGTH),
    (b.decode_utf32, b"\x00\x00\xfe\xff\x00", UTF32_MARKED_LENGTH),
    (b.decode_utf32, b"\x00\x11\x00\x00\x00\x00", UTF32_MARKED_LENGTH),
    (b.decode_utf32, b"\x00\x11\x00\x00", "Invalid UTF-32 codepoint: 0x00110000"),
    (b.decode_utf32, b"\xff\xfe\x00\x00\x00\xd8\x00\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
    (b.decode_utf32be, b"\x00\x11\x00\x00", "Invalid UTF-32 codepoint: 0x00110000"),
    (b.decode_utf32be, b"\x00\x00\xd8\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
    (b.decode_utf32be, b"\x00\x00\xdf\xff", "Invalid UTF-32 codepoint: 0x0000DFFF"),
    (b.decode_utf32be, b"\xff\xff\xff\xff", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
    (b.decode_utf32le, b"\x00\x00\x11\x00", "Invalid UTF-32 codepoint: 0x00110000"),
    (b.decode_utf32be, b"\x00" * 5, "UTF-32 requires a multiple of 4 bytes"),
    (b.decode_utf32le, b"\x00\xd8\x00\x00\x00", "UTF-32 requires a multiple of 4 bytes"),
    # The first bad value is reported, also past the first block of eight.
    (
        b.decode_utf32be,
        b"\x00\x00\x00\x41" * 11 + b"\x00\x12\x00\x00\x00\x00\xd8\x00",
        "Invalid UTF-32 codepoint: 0x00120000",
    ),
]


@pytest.mark.parametrize("decode, data, message", DECODE_ERRORS)
def test_decode_errors(decode, data, message):
    with pytest.raises(ValueError) as caught:
        decode(data)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


# The first ill-formed sequence: its index, and either "incomplete" (cut off
# by the end with every byte so far acceptable) or how many bytes were
# accepted before the offending one.
UTF8_ERRORS = [
    (b"\xc3\x28", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\x41\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf0\x9f\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"),
    # Truncated sequences of every length.
    (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
    (b"\xe2", "incomplete utf-8 byte sequence from index 0"),
    (b"\xf0\x9f", "incomplete utf-8 byte sequence from index 0"),
    (b"ab\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 2"),
    (b"\xf4\x8f\xbf", "incomplete utf-8 byte sequence from index 0"),
    # A bad second byte: one byte, even when it is the last.
    (b"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe0\x9f", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xed\xa0", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf0\x8f\xbf\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf4\x90", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc3\xc3", "invalid utf-8 sequence of 1 bytes from index 0"),
    # The edges of the narrowed second-byte ranges are accepted.
    (b"\xe0\xa0\x80\xe0\xbf", "incomplete utf-8 byte sequence from index 3"),
    (b"\xed\x9f\xbf\xed\x9f", "incomplete utf-8 byte sequence from index 3"),
    (b"\xf0\x90\x80\x80\xf4\x8f", "incomplete utf-8 byte sequence from index 4"),
    # A bad third or fourth byte.
    (b"\xe2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf0\x9f\xc0\x80", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf1\x80\x80\xff", "invalid utf-8 sequence of 3 bytes from index 0"),
    # Bytes that never lead a sequence.
    (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf8", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc3\xa9\x80", "invalid utf-8 sequence of 1 bytes from index 2"),
    # After ASCII runs that are read a word at a time.
    (b"a" * 7 + b"\x80", "invalid utf-8 sequence of 1 bytes from index 7"),
    (b"a" * 8 + b"\x80", "invalid utf-8 sequence of 1 bytes from index 8"),
    (b"a" * 16 + b"\xe2\x82", "incomplete utf-8 byte sequence from index 16"),
    (b"a" * 17 + b"\xf0\x9f\x98\x41" + b"a" * 20, "invalid utf-8 sequence of 3 bytes from index 17"),
    (b"\xe2\x82\xac" + b"a" * 30 + b"\xff", "invalid utf-8 sequence of 1 bytes from index 33"),
]


@pytest.mark.parametrize("data, description", UTF8_ERRORS)
def test_utf8_error_description(data, description):
    with pytest.raises(ValueError) as caught:
        b.decode_utf8(data)
    assert caught.value.args == ("Invalid UTF-8 bytes: " + description,)


# ---- arguments ------------------------------------------------------------

DECODERS = [
    b.decode_utf8, b.decode_utf16, b.decode_utf16le, b.decode_utf16be,
    b.decode_utf32, b.decode_utf32le, b.decode_utf32be,
]
ENCODERS = [
    b.encode_utf8, b.encode_utf16, b.encode_utf16le, b.encode_utf16be,
    b.encode_utf32, b.encode_utf32le, b.encode_utf32be,
]


@pytest.mark.parametrize("decode", DECODERS)
@pytest.mark.parametrize(
    "argument, type_name",
    [(bytearray(b"ab"), "bytearray"), (memoryview(b"ab"), "memoryview"), ("ab", "str"), (None, "NoneType")],
)
def test_decoders_take_only_bytes(decode, argument, type_name):
    with pytest.raises(TypeError) as caught:
        decode(argument)
    assert str(caught.value) == f"argument 'bytes': '{type_name}' object cannot be cast as 'bytes'"


@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("argument, type_name", [(b"ab", "bytes"), (1, "int"), (None, "NoneType")])
def test_encoders_take_only_str(encode, argument, type_name):
    with pytest.raises(TypeError) as caught:
        encode(argument)
    assert str(caught.value) == f"argument 'text': '{type_name}' object cannot be cast as 'str'"
    assert caught.value.__cause__ is None


class Text(str):
    pass


class Data(bytes):
    pass


def test_subclasses_and_keywords():
    assert b.encode_utf16be(Text("h\xe9")) == b"\x00h\x00\xe9"
    assert b.encode_utf8(text=Text("\u20ac")) == b"\xe2\x82\xac"
    assert b.decode_utf16le(Data(b"A\x00")) == A
    assert b.decode_utf32(bytes=b"\x00\x00\x00\x41") == A
    with pytest.raises(TypeError, match=r"^encode_utf8\(\) got multiple values for argument 'text'$"):
        b.encode_utf8("a", text="b")
    with pytest.raises(TypeError, match=r"^encode_utf8\(\) got an unexpected keyword argument 'txt'$"):
        b.encode_utf8(txt="a")


SURROGATE_TEXTS = ["\ud800", "a\udfff", "\xe9\udc00b", "\u20ac\ud800\udc00", GRIN + "\udbff", Text("x\ud800")]


@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("text", SURROGATE_TEXTS)
def test_lone_surrogate_is_the_interpreters_utf8_error(encode, text):
    with pytest.raises(UnicodeError) as expected:
        str(text).encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        encode(text)
    assert type(caught.value) is UnicodeEncodeError
    assert caught.value.args == expected.value.args


# ---- against CPython's codecs ----------------------------------------------

# Any text, including U+0000, supplementary characters and long ASCII runs
# (which take the word-at-a-time paths).
texts = st.one_of(
    st.text(),
    st.text(alphabet=st.characters(max_codepoint=0xFF, codec="utf-8")),
    st.text(alphabet=st.characters(max_codepoint=0xFFFF, codec="utf-8")),
    st.lists(st.sampled_from(["abcdefgh" * 3, "\x00", "\xe9", "\u20ac", GRIN, "\U0010FFFF"])).map("".join),
)

PAIRS = [
    (b.encode_utf8, b.decode_utf8, "utf-8"),
    (b.encode_utf16le, b.decode_utf16le, "utf-16-le"),
    (b.encode_utf16be, b.decode_utf16be, "utf-16-be"),
    (b.encode_utf32le, b.decode_utf32le, "utf-32-le"),
    (b.encode_utf32be, b.decode_utf32be, "utf-32-be"),
    (b.encode_utf16, b.decode_utf16, None),
    (b.encode_utf32, b.decode_utf32, None),
]


def same_str(result, expected):
    # Equal text stored at the same width: CPython's str equality compares
    # the storage width first, and isascii() reads the ASCII flag, so a str
    # built wider than it needs, or one-byte text not flagged ASCII, fails.
    return result == expected and result.isascii() == expected.isascii()


@pytest.mark.parametrize("encode, decode, codec", PAIRS)
@settings(max_examples=300)
@given(text=texts)
def test_round_trip_and_cpython(encode, decode, codec, text):
    data = encode(text)
    if codec is not None:
        assert data == text.encode(codec)
    assert same_str(decode(data), text)


MARKED = [
    (b.encode_utf16, b.decode_utf16, b.encode_utf16be, b.encode_utf16le, b"\xfe\xff", b"\xff\xfe"),
    (b.encode_utf32, b.decode_utf32, b.encode_utf32be, b.encode_utf32le, b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00"),
]


@pytest.mark.parametrize("encode, decode, big, little, big_mark, little_mark", MARKED)
@given(text=texts)
def test_marked_forms(encode, decode, big, little, big_mark, little_mark, text):
    assert encode(text) == big_mark + big(text)
    assert same_str(decode(little_mark + little(text)), text)
    if text[:1] not in ("", "\ufeff", "\ufffe"):  # those would read as a mark
        assert same_str(decode(big(text)), text)  # no mark: big-endian


def cpython_utf8_description(error):
    if error.reason == "unexpected end of data":
        return f"incomplete utf-8 byte sequence from index {error.start}"
    return f"invalid utf-8 sequence of {error.end - error.start} bytes from index {error.start}"


# Mostly valid UTF-8 with damage: pieces of sequences and stray bytes.
damaged_utf8 = st.lists(
    st.one_of(
        texts.map(lambda t: t.encode("utf-8")),
        st.binary(max_size=3),
        st.sampled_from([b"\xe0", b"\xed\xa0", b"\xf4\x90", b"\xf0\x9f\x98", b"\xc0", b"\xf5"]),
    ),
    max_size=6,
).map(b"".join)


@settings(max_examples=400)
@given(data=damaged_utf8)
def test_utf8_decoding_matches_cpython(data):
    try:
        expected = data.decode("utf-8")
    except UnicodeDecodeError as error:
        with pytest.raises(ValueError) as caught:
            b.decode_utf8(data)
        assert caught.value.args == ("Invalid UTF-8 bytes: " + cpython_utf8_description(error),)
    else:
        assert same_str(b.decode_utf8(data), expected)


# Code units near and inside the surrogate range, big or little endian.
utf16_units = st.lists(
    st.one_of(st.integers(0, 0xFFFF), st.integers(0xD7FE, 0xE001)), max_size=24
)


@settings(max_examples=300)
@given(units=utf16_units, little=st.booleans())
def test_utf16_decoding_matches_cpython(units, little):
    order = "little" if little else "big"
    data = b"".join(u.to_bytes(2, order) for u in units)
    decode = b.decode_utf16le if little else b.decode_utf16be
    try:
        expected = data.decode("utf-16-le" if little else "utf-16-be")
    except UnicodeDecodeError:
        with pytest.raises(ValueError) as caught:
            decode(data)
        assert caught.value.args == (LONE,)
    else:
        assert same_str(decode(data), expected)


utf32_values = st.lists(
    st.one_of(st.integers(0, 0x10FFFF), st.integers(0xD7FF, 0xE000), st.integers(0x10FFFF, 2**32 - 1)),
    max_size=20,
)


@settings(max_examples=300)
@given(values=utf32_values, little=st.booleans())
def test_utf32_decoding_matches_cpython(values, little):
    order = "little" if little else "big"
    data = b"".join(v.to_bytes(4, order) for v in values)
    decode = b.decode_utf32le if little else b.decode_utf32be
    try:
        expected = data.decode("utf-32-le" if little else "utf-32-be")
    except UnicodeDecodeError as error:
        value = int.from_bytes(data[error.start:error.start + 4], order)
        with pytest.raises(ValueError) as caught:
            decode(data)
        assert caught.value.args == (f"Invalid UTF-32 codepoint: 0x{value:08X}",)
    else:
        assert same_str(decode(data), expected)
