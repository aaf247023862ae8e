"""US-ASCII, ISO-8859-1 and Windows-1252 encode and decode functions."""

import pytest
from hypothesis import given, settings, strategies as st

import bitloom as b

# The five bytes that the WHATWG index maps to C1 controls and that CPython's
# cp1252 codec leaves undefined.
C1_KEPT = (0x81, 0x8D, 0x8F, 0x90, 0x9D)
MARKS = (b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")

VALUES = [
    (b.encode_us_ascii, "", b""),
    (b.encode_iso_8859_1, "caf\xe9", b"caf\xe9"),
    (b.encode_windows_1252, "\u20ac\x81\xe9", b"\x80\x81\xe9"),
    (b.decode_us_ascii, b"", ""),
    (b.decode_iso_8859_1, b"\x80\xff", "\x80\xff"),
    (b.decode_windows_1252, b"\x80\x81\x9d", "\u20ac\x81\x9d"),
    (b.decode_windows_1252, b"\xef\xbb\xbfA", "A"),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xef\xbb\xbf", "\ufeff"),  # one mark removed only
    (b.decode_windows_1252, b"\xff\xfeA\x00", "A"),
    (b.decode_windows_1252, b"\xfe\xff\x00A", "A"),
    (b.decode_windows_1252, b"\xff\xfe", ""),
    (b.decode_windows_1252, b"\xfe\xff\xd8\x3d\xde\x00", "\U0001F600"),
    (b.decode_windows_1252, b"\xef\xbb", "\xef\xbb"),
    (b.decode_windows_1252, b"\xff", "\xff"),
    (b.decode_windows_1252, b"A\xff\xfe", "A\xff\xfe"),
]


@pytest.mark.parametrize("codec, given_value, expected", VALUES)
def test_values(codec, given_value, expected):
    result = codec(given_value)
    assert result == expected
    if isinstance(result, str):
        assert result.isascii() == expected.isascii()


W1252_DECODE = "Failed to decode Windows-1252 bytes"
W1252_ENCODE = "Failed to encode to Windows-1252"

ERRORS = [
    (b.encode_us_ascii, "caf\xe9", "Character '\xe9' (U+00E9) is not valid US-ASCII"),
    (b.encode_us_ascii, "a\U0001F600", "Character '\U0001F600' (U+1F600) is not valid US-ASCII"),
    (b.encode_us_ascii, "x" * 20 + "\u20ac\xe9", "Character '\u20ac' (U+20AC) is not valid US-ASCII"),
    (b.encode_iso_8859_1, "\u20ac", "Character '\u20ac' (U+20AC) is not valid ISO-8859-1"),
    (b.encode_iso_8859_1, "\xe9\u0100\u20ac", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    (b.encode_windows_1252, "\x80", W1252_ENCODE),
    (b.encode_windows_1252, "\x8d\x9e", W1252_ENCODE),  # a kept control, then a missing one
    (b.encode_windows_1252, "\u20ac\u4e00", W1252_ENCODE),
    (b.decode_us_ascii, b"A\x80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    (b.decode_us_ascii, b"a" * 23 + b"\x9a\xff", "Invalid US-ASCII byte: 0x9A (must be <= 0x7F)"),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xff", W1252_DECODE),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xe2\x82", W1252_DECODE),
    (b.decode_windows_1252, b"\xff\xfeA", W1252_DECODE),
    (b.decode_windows_1252, b"\xfe\xff\xdc\x00\x00A", W1252_DECODE),
]


@pytest.mark.parametrize("codec, given_value, message", ERRORS)
def test_errors(codec, given_value, message):
    with pytest.raises(ValueError) as caught:
        codec(given_value)
    assert type(caught.value) is ValueError and caught.value.args == (message,)


ENCODERS = [b.encode_us_ascii, b.encode_iso_8859_1, b.encode_windows_1252]


@pytest.mark.parametrize("codec, argument, message", [
    (b.decode_windows_1252, bytearray(b"a"), "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
    (b.encode_us_ascii, b"a", "argument 'text': 'bytes' object cannot be cast as 'str'"),
])
def test_argument_types(codec, argument, message):
    with pytest.raises(TypeError) as caught:
        codec(argument)
    assert str(caught.value) == message


# The surrogate fails the UTF-8 conversion of the argument, which comes
# before the character set is looked at, wherever the surrogate stands.
@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("text", ["\ud800", "\xe9\u20ac\U0001F600\udfff", "a\udc00\xe9"])
def test_lone_surrogate_is_the_interpreters_utf8_error(encode, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        encode(text)
    assert caught.value.args == expected.value.args


def whatwg_windows_1252(byte):
    return chr(byte) if byte in C1_KEPT else bytes([byte]).decode("cp1252")


def test_windows_1252_index():
    index = [whatwg_windows_1252(byte) for byte in range(256)]
    assert b.decode_windows_1252(bytes(range(256))) == "".join(index)
    assert b.encode_windows_1252("".join(index)) == bytes(range(256))
    mappable = set(index)
    for code_point in range(0x3000):
        if chr(code_point) not in mappable and not 0xD800 <= code_point <= 0xDFFF:
            with pytest.raises(ValueError, match=f"^{W1252_ENCODE}$"):
                b.encode_windows_1252(chr(code_point))


any_bytes = st.one_of(
    st.binary(),
    st.lists(st.sampled_from([b"abcdefgh" * 2, b"\x00", b"\x80", b"\x9d", b"\xe9"])).map(b"".join),
)


@settings(max_examples=300)
@given(data=any_bytes)
def test_decoders_match_cpython(data):
    latin1 = b.decode_iso_8859_1(data)
    assert latin1 == data.decode("latin-1") and latin1.isascii() == data.isascii()
    if data.isascii():
        assert b.decode_us_ascii(data) == data.decode("ascii")
    else:
        first = next(byte for byte in data if byte > 0x7F)
        with pytest.raises(ValueError, match=f"^Invalid US-ASCII byte: 0x{first:02X} "):
            b.decode_us_ascii(data)
    if not data.startswith(MARKS):
        expected = "".join(whatwg_windows_1252(byte) for byte in data)
        result = b.decode_windows_1252(data)
        assert result == expected and result.isascii() == expected.isascii()


@settings(max_examples=300)
@given(text=st.text(alphabet=st.characters(max_codepoint=0x2200, codec="utf-8")))
def test_encoders_match_cpython(text):
    for encode, codec, name in [(b.encode_us_ascii, "ascii", "US-ASCII"),
                                (b.encode_iso_8859_1, "latin-1", "ISO-8859-1")]:
        try:
            expected = text.encode(codec)
        except UnicodeEncodeError as error:
            first = text[error.start]
            with pytest.raises(ValueError) as caught:
                encode(text)
            assert caught.value.args == (f"Character '{first}' (U+{ord(first):04X}) is not valid {name}",)
        else:
            assert encode(text) == expected
    try:
        expected = b"".join(bytes([ord(c)]) if ord(c) in C1_KEPT else c.encode("cp1252") for c in text)
    except UnicodeEncodeError:
        with pytest.raises(ValueError, match=f"^{W1252_ENCODE}$"):
            b.encode_windows_1252(text)
    else:
        assert b.encode_windows_1252(text) == expected


# Every byte, alone and at every place of the sixteen-byte blocks that the
# decoders copy at once (and in the tail after them), inside ASCII and inside
# Latin-1 text: each decoder must give the table's character, and US-ASCII
# must name the byte.
@pytest.mark.parametrize("byte", range(256), ids=hex)
def test_every_byte_in_every_place(byte):
    for before, filler in [(0, b""), (1, b"a"), (15, b"a"), (16, b"a"), (31, b"\xe9"), (64, b"\xe9"),
                           (70, b"a")]:
        data = filler * before + bytes([byte]) + filler * 20
        latin1 = b.decode_iso_8859_1(data)
        assert latin1 == data.decode("latin-1") and latin1.isascii() == data.isascii()
        expected = "".join(whatwg_windows_1252(x) for x in data)
        if not data.startswith(MARKS):
            result = b.decode_windows_1252(data)
            assert result == expected and result.isascii() == expected.isascii()
        if data.isascii():
            assert b.decode_us_ascii(data) == data.decode("ascii")
        else:
            first = next(x for x in data if x > 0x7F)
            with pytest.raises(ValueError) as caught:
                b.decode_us_ascii(data)
            assert caught.value.args == (f"Invalid US-ASCII byte: 0x{first:02X} (must be <= 0x7F)",)


# Every entry of the three tables the other way: each of the 256 characters
# that the bytes decode to, alone, encodes back to its byte, and every other
# character up to U+00FF fails as it must.
@pytest.mark.parametrize("byte", range(256), ids=hex)
def test_every_table_entry_encodes_back(byte):
    assert b.encode_iso_8859_1(chr(byte)) == bytes([byte])
    assert b.encode_windows_1252(whatwg_windows_1252(byte)) == bytes([byte])
    if byte < 0x80:
        assert b.encode_us_ascii(chr(byte)) == bytes([byte])
    else:
        with pytest.raises(ValueError) as caught:
            b.encode_us_ascii("a" * 20 + chr(byte))
        assert caught.value.args == (f"Character '{chr(byte)}' (U+{byte:04X}) is not valid US-ASCII",)
    if chr(byte) not in {whatwg_windows_1252(x) for x in range(256)}:
        with pytest.raises(ValueError, match=f"^{W1252_ENCODE}$"):
            b.encode_windows_1252(chr(byte))
