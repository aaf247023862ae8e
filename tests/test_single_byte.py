"""US-ASCII, ISO-8859-1 and Windows-1252 encode and decode functions."""

import pytest
from hypothesis import given, settings, strategies as st

import bitloom as b

# The five bytes that the WHATWG index maps to C1 controls and that CPython's
# cp1252 codec leaves undefined.
C1_KEPT = (0x81, 0x8D, 0x8F, 0x90, 0x9D)

ENCODED = [
    (b.encode_us_ascii, "", b""),
    (b.encode_iso_8859_1, "", b""),
    (b.encode_windows_1252, "", b""),
    (b.encode_us_ascii, "\x00A\x7f", b"\x00A\x7f"),
    (b.encode_iso_8859_1, "caf\xe9", b"caf\xe9"),
    (b.encode_iso_8859_1, "\x80\xff", b"\x80\xff"),
    (b.encode_windows_1252, "\u20ac", b"\x80"),
    (b.encode_windows_1252, "\x81", b"\x81"),
    (b.encode_windows_1252, "\x9d", b"\x9d"),
    (b.encode_windows_1252, "\xe9", b"\xe9"),
    (b.encode_windows_1252, "\xa0\xff", b"\xa0\xff"),
    (b.encode_windows_1252, "\u0152\u0178\u02dc\u2122\u203a", b"\x8c\x9f\x98\x99\x9b"),
    (b.encode_windows_1252, "a\u20acb\xe9c", b"a\x80b\xe9c"),
]


@pytest.mark.parametrize("encode, text, expected", ENCODED)
def test_encoders(encode, text, expected):
    assert encode(text) == expected


DECODED = [
    (b.decode_us_ascii, b"", ""),
    (b.decode_iso_8859_1, b"", ""),
    (b.decode_windows_1252, b"", ""),
    (b.decode_us_ascii, b"\x00A\x7f", "\x00A\x7f"),
    (b.decode_iso_8859_1, b"\x80\xff", "\x80\xff"),
    (b.decode_iso_8859_1, b"caf\xe9", "caf\xe9"),
    (b.decode_windows_1252, b"\x80", "\u20ac"),
    (b.decode_windows_1252, b"\x81", "\x81"),
    (b.decode_windows_1252, b"\x9d", "\x9d"),
    (b.decode_windows_1252, b"\x81\x8d\x8f\x90\x9d\xe9", "\x81\x8d\x8f\x90\x9d\xe9"),
    (b.decode_windows_1252, b"\xff", "\xff"),
    (b.decode_windows_1252, b"\xfe", "\xfe"),
    # Byte-order-mark sniffing.
    (b.decode_windows_1252, b"\xef\xbb\xbfA", "A"),
    (b.decode_windows_1252, b"\xef\xbb\xbf", ""),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xef\xbb\xbf", "\ufeff"),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xe2\x82\xac", "\u20ac"),
    (b.decode_windows_1252, b"\xff\xfeA\x00", "A"),
    (b.decode_windows_1252, b"\xfe\xff\x00A", "A"),
    (b.decode_windows_1252, b"\xff\xfe", ""),
    (b.decode_windows_1252, b"\xfe\xff", ""),
    (b.decode_windows_1252, b"\xfe\xff\xd8\x3d\xde\x00", "\U0001F600"),
    (b.decode_windows_1252, b"\xef\xbb", "\xef\xbb"),
    (b.decode_windows_1252, b"\xbb\xef\xbb\xbf", "\xbb\xef\xbb\xbf"),
    (b.decode_windows_1252, b"A\xff\xfe", "A\xff\xfe"),
]


@pytest.mark.parametrize("decode, data, expected", DECODED)
def test_decoders(decode, data, expected):
    result = decode(data)
    assert result == expected
    assert result.isascii() == expected.isascii()


ENCODE_ERRORS = [
    (b.encode_us_ascii, "caf\xe9", "Character '\xe9' (U+00E9) is not valid US-ASCII"),
    (b.encode_us_ascii, "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
    (b.encode_us_ascii, "a\U0001F600", "Character '\U0001F600' (U+1F600) is not valid US-ASCII"),
    (b.encode_us_ascii, "\U0010FFFF", "Character '\U0010FFFF' (U+10FFFF) is not valid US-ASCII"),
    (b.encode_us_ascii, "ab\u20ac\xe9", "Character '\u20ac' (U+20AC) is not valid US-ASCII"),
    (b.encode_us_ascii, "x" * 20 + "\xe9\u20ac", "Character '\xe9' (U+00E9) is not valid US-ASCII"),
    (b.encode_iso_8859_1, "\u20ac", "Character '\u20ac' (U+20AC) is not valid ISO-8859-1"),
    (b.encode_iso_8859_1, "\xe9\u0100\u20ac", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    (b.encode_iso_8859_1, "\U0001F600", "Character '\U0001F600' (U+1F600) is not valid ISO-8859-1"),
    (b.encode_windows_1252, "\x80", "Failed to encode to Windows-1252"),
    (b.encode_windows_1252, "\x8d\x9e", "Failed to encode to Windows-1252"),
    (b.encode_windows_1252, "\u0100", "Failed to encode to Windows-1252"),
    (b.encode_windows_1252, "\u20ac\u4e00", "Failed to encode to Windows-1252"),
    (b.encode_windows_1252, "\U0001F600", "Failed to encode to Windows-1252"),
]


@pytest.mark.parametrize("encode, text, message", ENCODE_ERRORS)
def test_encode_errors(encode, text, message):
    with pytest.raises(ValueError) as caught:
        encode(text)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


W1252_FAILED = "Failed to decode Windows-1252 bytes"

DECODE_ERRORS = [
    (b.decode_us_ascii, b"A\x80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    (b.decode_us_ascii, b"\xff", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    (b.decode_us_ascii, b"a" * 23 + b"\x9a\x80", "Invalid US-ASCII byte: 0x9A (must be <= 0x7F)"),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xff", W1252_FAILED),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xe2\x82", W1252_FAILED),
    (b.decode_windows_1252, b"\xef\xbb\xbf\xed\xa0\x80", W1252_FAILED),
    (b.decode_windows_1252, b"\xff\xfeA", W1252_FAILED),
    (b.decode_windows_1252, b"\xfe\xff\x00", W1252_FAILED),
    (b.decode_windows_1252, b"\xff\xfe\x00\xd8", W1252_FAILED),
    (b.decode_windows_1252, b"\xfe\xff\xdc\x00\x00A", W1252_FAILED),
]


@pytest.mark.parametrize("decode, data, message", DECODE_ERRORS)
def test_decode_errors(decode, data, message):
    with pytest.raises(ValueError) as caught:
        decode(data)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


# ---- arguments ------------------------------------------------------------

DECODERS = [b.decode_us_ascii, b.decode_iso_8859_1, b.decode_windows_1252]
ENCODERS = [b.encode_us_ascii, b.encode_iso_8859_1, b.encode_windows_1252]


@pytest.mark.parametrize("decode", DECODERS)
def test_decoders_refuse_bytearray(decode):
    with pytest.raises(TypeError) as caught:
        decode(bytearray(b"a"))
    assert str(caught.value) == "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"


@pytest.mark.parametrize("encode", ENCODERS)
def test_encoders_refuse_bytes(encode):
    with pytest.raises(TypeError) as caught:
        encode(b"a")
    assert str(caught.value) == "argument 'text': 'bytes' object cannot be cast as 'str'"


# The surrogate fails the UTF-8 conversion of the argument, which comes
# before the character set is looked at, wherever the surrogate stands.
@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("text", ["\ud800", "\xe9\u20ac\U0001F600\udfff", "\u0100\ud800", "a\udc00\xe9"])
def test_lone_surrogate_is_the_interpreters_utf8_error(encode, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        encode(text)
    assert caught.value.args == expected.value.args


# ---- the Windows-1252 index -------------------------------------------------


def whatwg_windows_1252(byte):
    return chr(byte) if byte in C1_KEPT else bytes([byte]).decode("cp1252")


@pytest.mark.parametrize("byte", range(256))
def test_windows_1252_every_byte(byte):
    expected = whatwg_windows_1252(byte)
    assert b.decode_windows_1252(bytes([byte])) == expected
    assert b.encode_windows_1252(expected) == bytes([byte])


def test_windows_1252_encodes_exactly_the_index():
    index = {whatwg_windows_1252(byte) for byte in range(256)}
    for code_point in range(0x3000):
        if 0xD800 <= code_point <= 0xDFFF:
            continue
        char = chr(code_point)
        if char in index:
            continue
        with pytest.raises(ValueError, match="^Failed to encode to Windows-1252$"):
            b.encode_windows_1252(char)


# ---- against CPython's codecs ----------------------------------------------

any_bytes = st.one_of(
    st.binary(),
    st.lists(st.sampled_from([b"abcdefgh" * 2, b"\x00", b"\x7f", b"\x80", b"\x9d", b"\xe9", b"\xff"])).map(b"".join),
)


@settings(max_examples=300)
@given(data=any_bytes)
def test_decoders_match_cpython(data):
    latin1 = b.decode_iso_8859_1(data)
    assert latin1 == data.decode("latin-1") and latin1.isascii() == data.isascii()
    try:
        ascii_text = data.decode("ascii")
    except UnicodeDecodeError as error:
        with pytest.raises(ValueError) as caught:
            b.decode_us_ascii(data)
        assert caught.value.args == (f"Invalid US-ASCII byte: 0x{data[error.start]:02X} (must be <= 0x7F)",)
    else:
        assert b.decode_us_ascii(data).isascii() and b.decode_us_ascii(data) == ascii_text
    if not data.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        expected = "".join(whatwg_windows_1252(byte) for byte in data)
        result = b.decode_windows_1252(data)
        assert result == expected and result.isascii() == expected.isascii()


@settings(max_examples=300)
@given(text=st.text(alphabet=st.characters(max_codepoint=0x2200, codec="utf-8")))
def test_encoders_match_cpython(text):
    for encode, codec, name in [(b.encode_us_ascii, "ascii", "US-ASCII"), (b.encode_iso_8859_1, "latin-1", "ISO-8859-1")]:
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
        with pytest.raises(ValueError, match="^Failed to encode to Windows-1252$"):
            b.encode_windows_1252(text)
    else:
        assert b.encode_windows_1252(text) == expected


@given(text=st.text(alphabet=st.characters(max_codepoint=0x2200, codec="utf-8")))
def test_windows_1252_round_trip(text):
    try:
        data = b.encode_windows_1252(text)
    except ValueError:
        return
    if not data.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        assert b.decode_windows_1252(data) == text


@given(data=st.binary(), little=st.booleans())
def test_windows_1252_after_a_utf16_mark_matches_cpython(data, little):
    mark = b"\xff\xfe" if little else b"\xfe\xff"
    try:
        expected = data.decode("utf-16-le" if little else "utf-16-be")
    except UnicodeDecodeError:
        with pytest.raises(ValueError, match=f"^{W1252_FAILED}$"):
            b.decode_windows_1252(mark + data)
    else:
        assert b.decode_windows_1252(mark + data) == expected
