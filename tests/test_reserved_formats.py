"""The float formats that are named but not provided: every call converts its
argument and then refuses with NotImplementedError."""

import pytest

import bitloom

FORMATS = [  # function suffix, name in the messages
    ("ti_f32", "TI f32"),
    ("ti_f40", "TI f40"),
    ("dec_f32", "DEC f32"),
    ("dec_f64", "DEC f64"),
    ("ibm_f32", "IBM f32"),
    ("ibm_f64", "IBM f64"),
    ("ieee754_1985_f32", "IEEE 754-1985 f32"),
    ("ieee754_1985_f64", "IEEE 754-1985 f64"),
    ("ieee754_1985_f80", "IEEE 754-1985 f80"),
    ("mil_std_1750a_f32", "MIL-STD-1750A f32"),
    ("mil_std_1750a_f48", "MIL-STD-1750A f48"),
]


def refused(call):
    with pytest.raises(NotImplementedError) as caught:
        call()
    assert type(caught.value) is NotImplementedError
    return str(caught.value)


@pytest.mark.parametrize("suffix, name", FORMATS)
@pytest.mark.parametrize("value", [0, 2**64 - 1, True])
def test_decoder_refuses_after_converting(suffix, name, value):
    decode = getattr(bitloom, f"decode_{suffix}")
    assert refused(lambda: decode(value)) == f"{name} format not yet implemented"
    assert refused(lambda: decode(_value=value)) == f"{name} format not yet implemented"


@pytest.mark.parametrize("suffix, name", FORMATS)
@pytest.mark.parametrize("value", [1.0, 1, True, 1e300, -2.5, float("nan")])
def test_encoder_refuses_after_converting(suffix, name, value):
    encode = getattr(bitloom, f"encode_{suffix}")
    assert refused(lambda: encode(value)) == f"{name} encoding not yet implemented"
    assert refused(lambda: encode(_value=value)) == f"{name} encoding not yet implemented"


@pytest.mark.parametrize("suffix", [suffix for suffix, _ in FORMATS])
@pytest.mark.parametrize("direction, value, error, message", [
    ("decode", 2**64, OverflowError, None),
    ("decode", -1, OverflowError, None),
    ("decode", 1.5, TypeError, "argument '_value': "),
    ("decode", b"\0\0\0\0", TypeError, "argument '_value': "),
    ("encode", "1.0", TypeError, "argument '_value': "),
    ("encode", b"\0\0\0\0", TypeError, "argument '_value': "),
])
def test_unconvertible_argument_fails_before_the_refusal(suffix, direction, value, error, message):
    function = getattr(bitloom, f"{direction}_{suffix}")
    with pytest.raises(error) as caught:
        function(value)
    if message:
        assert str(caught.value).startswith(message)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: '_value'"):
        function()
