"""The module object, its function table, argument binding and conversions."""

import importlib
import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import bitloom
import bitloom.bitloom as native

EXPECTED_NAMES = """
unpack_parameters pack_parameters
decode_ones_complement decode_twos_complement decode_sign_magnitude
decode_unpacked_bcd decode_packed_bcd
decode_ieee754_f16 decode_ieee754_f32 decode_ieee754_f64 decode_ieee754_f128
decode_ieee754_1985_f32 decode_ieee754_1985_f64 decode_ieee754_1985_f80
decode_mil_std_1750a_f32 decode_mil_std_1750a_f48 decode_dec_f32 decode_dec_f64
decode_ibm_f32 decode_ibm_f64 decode_ti_f32 decode_ti_f40
decode_us_ascii decode_iso_8859_1 decode_windows_1252
decode_utf8 decode_utf16 decode_utf16le decode_utf16be decode_utf32 decode_utf32le decode_utf32be
encode_ones_complement encode_twos_complement encode_sign_magnitude
encode_unpacked_bcd encode_packed_bcd
encode_ieee754_f16 encode_ieee754_f32 encode_ieee754_f64 encode_ieee754_f128
encode_ieee754_1985_f32 encode_ieee754_1985_f64 encode_ieee754_1985_f80
encode_mil_std_1750a_f32 encode_mil_std_1750a_f48 encode_dec_f32 encode_dec_f64
encode_ibm_f32 encode_ibm_f64 encode_ti_f32 encode_ti_f40
encode_us_ascii encode_iso_8859_1 encode_windows_1252
encode_utf8 encode_utf16 encode_utf16le encode_utf16be encode_utf32 encode_utf32le encode_utf32be
""".split()

SIGNATURES = {
    "unpack_parameters": "(packet_bytes, offset_bits, recipe)",
    "pack_parameters": "(recipe)",
    "decode_packed_bcd": "(value, bits, signed=False)",
    "encode_unpacked_bcd": "(value, bits, signed=False)",
    "decode_twos_complement": "(value, bits)",
    "decode_ieee754_f128": "(value)",
    "decode_ti_f40": "(_value)",
    "encode_ieee754_f128": "(_value)",
    "decode_utf8": "(bytes)",
    "encode_windows_1252": "(text)",
}


def test_all_lists_the_62_functions_in_registration_order():
    assert len(EXPECTED_NAMES) == 62
    assert native.__all__ == EXPECTED_NAMES
    assert bitloom.__all__ == EXPECTED_NAMES


def test_module_surface_has_nothing_else():
    own = {name for name in vars(native) if not name.startswith("__")}
    assert own == set(EXPECTED_NAMES)
    assert native.__doc__ == ""


def test_the_package_has_its_docstring_and_version():
    assert bitloom.__doc__.startswith("bitloom: exact bit-level encodings")
    assert "bitloom.frames" in bitloom.__doc__
    assert bitloom.__version__ == importlib.metadata.version("bitloom")
    assert "__version__" not in bitloom.__all__


def test_reimport_returns_the_same_module_object():
    assert importlib.import_module("bitloom.bitloom") is native
    importlib.reload(bitloom)
    assert bitloom.encode_utf8 is native.encode_utf8


@pytest.mark.parametrize("name", EXPECTED_NAMES)
def test_every_function_is_a_builtin_with_its_text_signature(name):
    function = getattr(native, name)
    assert function.__name__ == name
    assert function.__module__ == "bitloom"
    assert function.__self__ is native
    signature = SIGNATURES.get(name)
    if signature is not None:
        assert function.__doc__ is None  # the docstring is the signature alone
        assert function.__text_signature__ == signature
        assert str(inspect.signature(function)) == signature


def test_only_the_entry_point_is_exported():
    result = subprocess.run(["nm", "-D", "--defined-only", native.__file__],
                            capture_output=True, text=True, check=True)
    exported = {line.split()[-1] for line in result.stdout.splitlines() if line.strip()}
    assert exported == {"PyInit_bitloom"}


def test_a_second_interpreter_cannot_import_the_module():
    interpreters = pytest.importorskip("_interpreters")
    code = textwrap.dedent("""
        import sys
        sys.path[:] = %r
        try:
            import bitloom
        except ImportError as exc:
            outcome = 'ImportError'
        else:
            outcome = 'imported'
        assert outcome == 'ImportError', outcome
    """ % (sys.path,))
    interpreter = interpreters.create()
    try:
        failure = interpreters.exec(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
    assert failure is None, failure


# (call, exception type, exact message)
BINDING_ERRORS = [
    (lambda: bitloom.encode_packed_bcd(12), TypeError,
     "encode_packed_bcd() missing 1 required positional argument: 'bits'"),
    (lambda: bitloom.encode_packed_bcd(), TypeError,
     "encode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'"),
    (lambda: bitloom.unpack_parameters(), TypeError,
     "unpack_parameters() missing 3 required positional arguments: "
     "'packet_bytes', 'offset_bits', and 'recipe'"),
    (lambda: bitloom.unpack_parameters(b"", recipe=[]), TypeError,
     "unpack_parameters() missing 1 required positional argument: 'offset_bits'"),
    (lambda: bitloom.encode_packed_bcd(1, 8, False, 4), TypeError,
     "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: bitloom.encode_twos_complement(1, 2, 3), TypeError,
     "encode_twos_complement() takes 2 positional arguments but 3 were given"),
    (lambda: bitloom.encode_utf8(), TypeError,
     "encode_utf8() missing 1 required positional argument: 'text'"),
    (lambda: bitloom.encode_utf8("a", text="b"), TypeError,
     "encode_utf8() got multiple values for argument 'text'"),
    (lambda: bitloom.encode_utf8(txt="a"), TypeError,
     "encode_utf8() got an unexpected keyword argument 'txt'"),
    # Keywords are checked in the order given, before missing parameters.
    (lambda: bitloom.encode_twos_complement(bits=1, nope=2), TypeError,
     "encode_twos_complement() got an unexpected keyword argument 'nope'"),
    (lambda: bitloom.encode_twos_complement(1, 2, 3, bogus=1), TypeError,
     "encode_twos_complement() takes 2 positional arguments but 3 were given"),
    (lambda: bitloom.decode_ti_f32(), TypeError,
     "decode_ti_f32() missing 1 required positional argument: '_value'"),
]


@pytest.mark.parametrize("call, error, message", BINDING_ERRORS)
def test_binding_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert caught.value.args == (message,)


def test_keywords_and_positions_bind_alike():
    assert bitloom.encode_packed_bcd(12, 8) == 0x12
    assert bitloom.encode_packed_bcd(value=12, bits=8, signed=False) == 0x12
    assert bitloom.encode_packed_bcd(12, bits=12, signed=True) == 0x12C
    assert bitloom.encode_twos_complement(bits=8, value=-1) == 255


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("boom")


class FakeNumpyBool:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


class NumpyBoolWithoutTruth:
    pass


NumpyBoolWithoutTruth.__name__ = NumpyBoolWithoutTruth.__qualname__ = "bool"
NumpyBoolWithoutTruth.__module__ = "numpy"


# (call, exception type, exact message or None when the interpreter's own)
CONVERSION_ERRORS = [
    (lambda: bitloom.decode_utf8(bytearray(b"a")), TypeError,
     "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
    (lambda: bitloom.decode_utf8(memoryview(b"a")), TypeError,
     "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'"),
    (lambda: bitloom.decode_utf8("a"), TypeError,
     "argument 'bytes': 'str' object cannot be cast as 'bytes'"),
    (lambda: bitloom.encode_utf8(b"a"), TypeError,
     "argument 'text': 'bytes' object cannot be cast as 'str'"),
    (lambda: bitloom.encode_twos_complement(5, -1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: bitloom.encode_twos_complement(5, 2**32), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: bitloom.encode_twos_complement(2**63, 8), OverflowError, None),
    (lambda: bitloom.encode_twos_complement(1.5, 8), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda: bitloom.decode_twos_complement(-1, 8), OverflowError, None),
    (lambda: bitloom.decode_twos_complement(2**64, 8), OverflowError, None),
    (lambda: bitloom.decode_twos_complement("1", 8), TypeError, None),
    (lambda: bitloom.encode_packed_bcd(1, 8, 1), TypeError,
     "argument 'signed': 'int' object cannot be cast as 'bool'"),
    (lambda: bitloom.encode_packed_bcd(1, 8, None), TypeError,
     "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
    (lambda: bitloom.encode_packed_bcd(1, 8, NumpyBoolWithoutTruth()), TypeError,
     "argument 'signed': object of type 'bool' does not define a '__bool__' conversion"),
    (lambda: bitloom.pack_parameters("abc"), TypeError,
     "argument 'recipe': Can't extract `str` to `Vec`"),
    (lambda: bitloom.pack_parameters(5), TypeError,
     "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
    (lambda: bitloom.pack_parameters({"a": 1}), TypeError,
     "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
    (lambda: bitloom.decode_ieee754_f128(2**128), OverflowError,
     "Python int larger than 128 bits"),
    (lambda: bitloom.decode_ieee754_f128(-1), ValueError, None),
    (lambda: bitloom.decode_ieee754_f128(1.0), TypeError, None),
    (lambda: bitloom.encode_ieee754_f64("x"), TypeError, None),
    (lambda: bitloom.encode_twos_complement(RaisingIndex(), 8), ZeroDivisionError, "boom"),
    (lambda: bitloom.encode_utf8("\ud800"), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, error, message", CONVERSION_ERRORS)
def test_conversion_errors(call, error, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is error
    if message is not None:
        assert caught.value.args == (message,)
    if error is TypeError and message is None:
        assert str(caught.value).startswith("argument '")


@pytest.mark.parametrize("error_type", [ZeroDivisionError, TypeError])
def test_conversion_error_from_user_code(error_type):
    class Broken:
        def __index__(self):
            raise error_type("from user code")

    with pytest.raises(error_type) as caught:
        bitloom.encode_twos_complement(Broken(), 8)
    expected = "argument 'value': from user code" if error_type is TypeError else "from user code"
    assert str(caught.value) == expected


def test_typeerror_subclass_is_not_wrapped():
    class Special(TypeError):
        pass

    class Broken:
        def __index__(self):
            raise Special("kept as is")

    with pytest.raises(Special, match="^kept as is$"):
        bitloom.encode_twos_complement(Broken(), 8)


def test_wrapped_typeerror_copies_the_original_cause():
    root = KeyError("root")

    class Broken:
        def __index__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError) as caught:
        bitloom.encode_twos_complement(Broken(), 8)
    assert str(caught.value) == "argument 'value': inner"
    assert caught.value.__cause__ is root


def test_conversions_stop_at_the_first_failure():
    calls = []

    class Tracked:
        def __index__(self):
            calls.append("bits")
            return 8

    with pytest.raises(TypeError, match="argument 'value'"):
        bitloom.encode_twos_complement(1.5, Tracked())
    assert calls == []


ACCEPTED_CONVERSIONS = [
    (lambda: bitloom.encode_twos_complement(True, 4), 1),
    (lambda: bitloom.encode_twos_complement(Index(-2), Index(8)), 0xFE),
    (lambda: bitloom.decode_twos_complement(Index(0xFF), 8), -1),
    (lambda: bitloom.decode_ieee754_f128(Index(0x3FFF << 112)), 1.0),
    (lambda: bitloom.encode_ieee754_f32(1), 0x3F800000),
    (lambda: bitloom.encode_ieee754_f64(Floaty()), 0x4004000000000000),
    (lambda: bitloom.encode_ieee754_f32(1e39), 0x7F800000),
    (lambda: bitloom.encode_packed_bcd(5, 8, FakeNumpyBool(True)), 0x5C),
    (lambda: bitloom.encode_packed_bcd(5, 8, FakeNumpyBool(False)), 0x05),
    (lambda: bitloom.decode_utf8(type("B", (bytes,), {})(b"ok")), "ok"),
    (lambda: bitloom.pack_parameters(()), b""),
]


@pytest.mark.parametrize("call, expected", ACCEPTED_CONVERSIONS)
def test_accepted_conversions(call, expected):
    assert call() == expected


def test_float32_conversion_rounds_ties_to_even():
    # 1 + 2**-24 lies halfway between two binary32 numbers: ties to even.
    assert bitloom.encode_ieee754_f32(1 + 2**-24) == 0x3F800000
    assert bitloom.encode_ieee754_f32(1 + 3 * 2**-24) == 0x3F800002
    # Below the halfway point to 2**128 rounds to the largest finite number,
    # the halfway point itself ties to even, which is infinity.
    assert bitloom.encode_ieee754_f32(3.4028235e38) == 0x7F7FFFFF
    assert bitloom.encode_ieee754_f32(3.4028235677973366e38) == 0x7F800000
    assert bitloom.encode_ieee754_f32(-1e39) == 0xFF800000


def test_internal_error_type_derives_from_baseexception_only():
    # The fault type is not a module attribute, but its class hierarchy is
    # fixed: reach it through a failing import of a second interpreter is not
    # possible, so check the documented name among BaseException subclasses.
    names = {cls.__module__ + "." + cls.__name__: cls for cls in BaseException.__subclasses__()}
    assert "bitloom.InternalError" in names
    assert not issubclass(names["bitloom.InternalError"], Exception)


# Calls with positional arguments only take a shorter road than calls with
# keywords: common objects (an int of one internal digit, an exact float,
# True/False, bytes, str) are read in place, everything else goes through the
# general conversions.  Both roads must give the same result or the same
# exception, at the edges of the in-place forms and beyond them.
class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


EDGE_INTEGERS = [0, 1, -1, 2**30 - 1, 2**30, -(2**30) + 1, -(2**30), -(2**30) - 1, 2**31,
                 2**32 - 1, 2**32, -(2**32), 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**64,
                 -(2**64), True, False, IntSubclass(5), IntSubclass(-5), IntSubclass(2**40),
                 1.5, "7", None]
EDGE_FLOATS = [0.0, -0.0, 1.5, 1e300, float("inf"), float("nan"), FloatSubclass(2.5), 3,
               2**1000, True, "1.0", None]


def outcome(call):
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return type(error), str(error)
    # NaN is not equal to itself; compare its repr.
    return "nan" if result != result else result


def _positional_and_keyword_calls(name, values):
    function = getattr(bitloom, name)
    parameters = list(inspect.signature(function).parameters)
    return (lambda: function(*values),
            lambda: function(**dict(zip(parameters, values))))


INTEGER_FUNCTIONS = [name for name in EXPECTED_NAMES
                     if any(part in name for part in ("complement", "magnitude", "bcd"))]


@pytest.mark.parametrize("name", INTEGER_FUNCTIONS)
@pytest.mark.parametrize("value", EDGE_INTEGERS, ids=repr)
def test_positional_and_keyword_calls_convert_integers_alike(name, value):
    for values in ((value, 8), (5, value), (value, 64, True), (9, 8, value)):
        if len(values) == 3 and "bcd" not in name:
            continue
        positional, keyword = _positional_and_keyword_calls(name, values)
        assert outcome(positional) == outcome(keyword), values


@pytest.mark.parametrize("name", ["encode_ieee754_f16", "encode_ieee754_f32", "encode_ieee754_f64",
                                  "encode_ti_f32", "encode_ti_f40", "decode_ieee754_f16",
                                  "decode_ieee754_f64", "decode_ieee754_f128"])
@pytest.mark.parametrize("value", EDGE_FLOATS + EDGE_INTEGERS, ids=repr)
def test_positional_and_keyword_calls_convert_floats_alike(name, value):
    positional, keyword = _positional_and_keyword_calls(name, (value,))
    assert outcome(positional) == outcome(keyword)


@pytest.mark.parametrize("name", ["decode_utf8", "encode_utf8", "decode_windows_1252",
                                  "encode_us_ascii"])
@pytest.mark.parametrize("value", [b"ab", type("B", (bytes,), {})(b"cd"), bytearray(b"ef"),
                                   "gh", type("S", (str,), {})("ij"), "\ud800", 5, None], ids=repr)
def test_positional_and_keyword_calls_convert_text_alike(name, value):
    positional, keyword = _positional_and_keyword_calls(name, (value,))
    assert outcome(positional) == outcome(keyword)


def test_a_source_checkout_without_the_compiled_module_says_what_to_do(tmp_path):
    # Python started in a checkout finds its bitloom/ folder first, which
    # holds the Python files but no compiled module.
    package = tmp_path / "bitloom"
    package.mkdir()
    installed = Path(bitloom.__file__).parent
    for name in ("__init__.py", "cli.py", "__main__.py"):
        (package / name).write_bytes((installed / name).read_bytes())
    result = subprocess.run([sys.executable, "-c", "import bitloom"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert "circular import" not in result.stderr
    assert result.stderr.splitlines()[-1] == (
        f"ImportError: bitloom's compiled module is missing from {package} (a source "
        "checkout?): run Python from another folder to use the installed bitloom, or install "
        "this checkout in editable mode with `pip install -e .`")


def test_a_failing_compiled_module_is_not_mistaken_for_a_missing_one(tmp_path):
    package = tmp_path / "bitloom"
    package.mkdir()
    installed = Path(bitloom.__file__).parent
    (package / "__init__.py").write_bytes((installed / "__init__.py").read_bytes())
    (package / "bitloom.py").write_text("import no_such_module_here\n")
    result = subprocess.run([sys.executable, "-c", "import bitloom"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.stderr.splitlines()[-1] == \
        "ModuleNotFoundError: No module named 'no_such_module_here'"


class WideIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Ints of more than one internal digit take the conversions' digit loops; a
# value out of range must still raise the interpreter's own error text.
WIDE_INTEGERS = [
    (bitloom.encode_twos_complement, 2**63 - 1, 64, 2**63 - 1),
    (bitloom.encode_twos_complement, -(2**63), 64, 2**63),
    (bitloom.encode_twos_complement, 2**63, 64, "int too big to convert"),
    (bitloom.encode_twos_complement, -(2**63) - 1, 64, "int too big to convert"),
    (bitloom.encode_twos_complement, 2**200, 64, "int too big to convert"),
    (bitloom.encode_packed_bcd, 1234567890123456, 64, 0x1234567890123456),
    (bitloom.decode_twos_complement, 2**64 - 1, 64, -1),
    (bitloom.decode_twos_complement, 2**40, 64, 2**40),
    (bitloom.decode_twos_complement, 2**64, 64, "int too big to convert"),
    (bitloom.decode_twos_complement, -(2**40), 64, "can't convert negative int to unsigned"),
    (bitloom.decode_packed_bcd, 0x1234567890123456, 64, 1234567890123456),
]


@pytest.mark.parametrize("wrap", [int, IntSubclass, WideIndex], ids=["int", "subclass", "index"])
@pytest.mark.parametrize("function, value, bits, expected", WIDE_INTEGERS)
def test_wide_integers_convert_with_the_interpreters_errors(wrap, function, value, bits, expected):
    if isinstance(expected, str):
        with pytest.raises(OverflowError) as caught:
            function(wrap(value), bits)
        assert str(caught.value) == expected
    else:
        assert function(wrap(value), bits) == expected
