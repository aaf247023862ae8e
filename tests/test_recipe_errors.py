"""Errors of pack_parameters and unpack_parameters: every failure of a recipe
item surfaces as ValueError "{type}: {text}" with a note naming the item;
argument errors surface unchanged and without a note."""

import pytest

from bitloom import pack_parameters, unpack_parameters
from recipe_items import packing_item as item

without = item.without


GOOD = item("first", value=1)

# (failing item, message after "{type}: ", note) for packing, always placed
# second in the recipe, after GOOD.
PACKING = [
    # Missing keys, in the length pass and in the placement pass.
    (without("bits", name="bad"), 'KeyError: "Recipe missing required field: \'bits\'"',
     "in recipe item 1 ('bad')"),
    (without("name"), 'KeyError: "Recipe missing required field: \'name\'"', "in recipe item 1"),
    (without("encoding", name="bad"),
     'KeyError: "Recipe missing required field: \'encoding\'"', "in recipe item 1 ('bad')"),
    (without("byte_order", name="bad"),
     'KeyError: "Recipe missing required field: \'byte_order\'"', "in recipe item 1 ('bad')"),
    (without("reverse_bits", name="bad"),
     'KeyError: "Recipe missing required field: \'reverse_bits\'"', "in recipe item 1 ('bad')"),
    (without("value", name="bad"),
     'KeyError: "Recipe item \'bad\' missing required field: \'value\'"',
     "in recipe item 1 ('bad')"),
    # Conversions of keys and of the value.
    (item("bad", bits="8"), "TypeError: 'str' object cannot be interpreted as an integer",
     "in recipe item 1 ('bad')"),
    (item("bad", bits=-1), "OverflowError: out of range integral type conversion attempted",
     "in recipe item 1 ('bad')"),
    (item("bad", offset_bits=None),
     "TypeError: 'NoneType' object cannot be interpreted as an integer",
     "in recipe item 1 ('bad')"),
    (item(5), "TypeError: 'int' object cannot be cast as 'str'", "in recipe item 1"),
    (item("bad", reverse_bits=1), "TypeError: 'int' object cannot be cast as 'bool'",
     "in recipe item 1 ('bad')"),
    (item("bad", value=-1), "OverflowError: can't convert negative int to unsigned",
     "in recipe item 1 ('bad')"),
    (item("bad", encoding="utf8", value=b"x"), "TypeError: 'bytes' object cannot be cast as 'str'",
     "in recipe item 1 ('bad')"),
    ([1, 2], "TypeError: 'list' object cannot be cast as 'dict'", "in recipe item 1"),
    # Codec errors.
    (item("bad", value=256), "ValueError: Value 256 is too large for 8 bits",
     "in recipe item 1 ('bad')"),
    (item("bad", encoding="packed_bcd", value=123),
     "ValueError: Value 123 has too many digits for 2 BCD digits", "in recipe item 1 ('bad')"),
    (item("bad", encoding="us-ascii", value="\u00e9"),
     "ValueError: Character '\u00e9' (U+00E9) is not valid US-ASCII", "in recipe item 1 ('bad')"),
    (item("bad", encoding="ti", bits=32, value=1.0),
     "NotImplementedError: TI f32 encoding not yet implemented", "in recipe item 1 ('bad')"),
    # Names, widths and byte orders.
    (item("bad", encoding="ieee754_f32", bits=32, value=1.0),
     "ValueError: Unsupported encoding type: ieee754_f32", "in recipe item 1 ('bad')"),
    (item("bad", encoding="ieee754", bits=24, value=1.0),
     "ValueError: Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)",
     "in recipe item 1 ('bad')"),
    (item("bad", byte_order="middle"),
     "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'",
     "in recipe item 1 ('bad')"),
    # The name is quoted as repr quotes it.
    (item("it's", value=256), "ValueError: Value 256 is too large for 8 bits",
     "in recipe item 1 (\"it's\")"),
]

# The same for parsing, over the two-byte packet 00 FF.
PARSING = [
    (without("reverse_bits", name="bad"),
     'KeyError: "Recipe missing required field: \'reverse_bits\'"', "in recipe item 1 ('bad')"),
    (without("name"), 'KeyError: "Recipe missing required field: \'name\'"', "in recipe item 1"),
    (item("bad", bits=2**32), "OverflowError: out of range integral type conversion attempted",
     "in recipe item 1 ('bad')"),
    (item("bad", byte_order=b"big"), "TypeError: 'bytes' object cannot be cast as 'str'",
     "in recipe item 1 ('bad')"),
    ((1, 2), "TypeError: 'tuple' object cannot be cast as 'dict'", "in recipe item 1"),
    # Windows that do not fit the packet.
    (item("bad", bits=16), "ValueError: range end index 3 out of range for slice of length 2",
     "in recipe item 1 ('bad')"),
    (item("bad", offset_bits=24), "ValueError: range start index 3 out of range for slice of length 2",
     "in recipe item 1 ('bad')"),
    # Codec errors on the bytes read.
    (item("bad", encoding="packed_bcd"), "ValueError: Invalid BCD digit: 15 (must be 0-9)",
     "in recipe item 1 ('bad')"),
    (item("bad", encoding="utf-8"),
     "ValueError: Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
     "in recipe item 1 ('bad')"),
    (item("bad", encoding="ibm_f32"), "NotImplementedError: IBM f32 format not yet implemented",
     "in recipe item 1 ('bad')"),
    # Names and byte orders.
    (item("bad", encoding="ieee754"), "ValueError: Unsupported encoding type: ieee754",
     "in recipe item 1 ('bad')"),
    (item("bad", byte_order="BE"), "ValueError: Invalid byte_order 'BE': must be 'big' or 'little'",
     "in recipe item 1 ('bad')"),
]


def check(error, message, note):
    assert type(error) is ValueError
    assert error.args == (message,)
    assert str(error) == message
    assert error.__notes__ == [note]
    assert error.__cause__ is None


@pytest.mark.parametrize("bad, message, note", PACKING)
def test_packing_errors_carry_a_note(bad, message, note):
    with pytest.raises(ValueError) as caught:
        pack_parameters([GOOD, bad])
    check(caught.value, message, note)


@pytest.mark.parametrize("bad, message, note", PARSING)
def test_parsing_errors_carry_a_note(bad, message, note):
    with pytest.raises(ValueError) as caught:
        unpack_parameters(b"\x00\xff", 0, [GOOD, bad])
    check(caught.value, message, note)


def test_the_index_counts_from_zero():
    with pytest.raises(ValueError) as caught:
        pack_parameters([item("only", value=256)])
    assert caught.value.__notes__ == ["in recipe item 0 ('only')"]


class LoudName(str):
    def __repr__(self):
        raise RuntimeError("repr of a name must not be called")


def test_a_str_subclass_name_is_quoted_as_a_str():
    with pytest.raises(ValueError) as caught:
        pack_parameters([item(LoudName("n"), value=256)])
    check(caught.value, "ValueError: Value 256 is too large for 8 bits", "in recipe item 0 ('n')")


class Hook:
    """An integer whose conversion raises an exception of its own."""

    def __index__(self):
        raise LookupError("no such register")


def test_an_exception_from_a_conversion_hook_is_rewrapped_with_a_note():
    with pytest.raises(ValueError) as caught:
        pack_parameters([GOOD, item("hooked", value=Hook())])
    check(caught.value, "LookupError: no such register", "in recipe item 1 ('hooked')")


ARGUMENT_ERRORS = [
    (lambda: pack_parameters("abc"), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
    (lambda: pack_parameters(5), TypeError,
     "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
    (lambda: pack_parameters(), TypeError,
     "pack_parameters() missing 1 required positional argument: 'recipe'"),
    (lambda: unpack_parameters(bytearray(b"\0"), 0, [GOOD]), TypeError,
     "argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'"),
    (lambda: unpack_parameters(b"\0", -1, [GOOD]), OverflowError, None),
    (lambda: unpack_parameters(b"\0", 0, "abc"), TypeError,
     "argument 'recipe': Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize("call, kind, message", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_unchanged_without_a_note(call, kind, message):
    with pytest.raises(Exception) as caught:
        call()
    assert type(caught.value) is kind
    if message is not None:
        assert caught.value.args == (message,)
    assert not hasattr(caught.value, "__notes__")


# ---- what is not a recipe error --------------------------------------------

INTERNAL_ERROR = next(cls for cls in BaseException.__subclasses__()
                      if cls.__module__ == "bitloom" and cls.__name__ == "InternalError")


class Raises:
    """Raises `error` from whichever conversion the engine asks of it."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __index__

    def __str__(self):
        return "Raises"


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(),
                                   INTERNAL_ERROR("broken")],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("call", [
    pytest.param(lambda hook: pack_parameters([GOOD, item("b", value=hook)]), id="pack value"),
    pytest.param(lambda hook: pack_parameters([GOOD, item("b", bits=hook)]), id="pack bits"),
    pytest.param(lambda hook: pack_parameters([item("b", encoding="ieee754", bits=32, value=hook)]),
                 id="pack float"),
    pytest.param(lambda hook: unpack_parameters(b"\x01\x02", 0, [GOOD, item("b", offset_bits=hook)]),
                 id="unpack offset"),
])
def test_errors_that_are_not_exceptions_pass_through_unchanged(call, error):
    # Ctrl-C, sys.exit() and the module's own fault type are not recipe
    # errors: a loop that catches ValueError must not swallow them.
    with pytest.raises(type(error)) as caught:
        call(Raises(error))
    assert caught.value is error
    assert not hasattr(caught.value, "__notes__")


def test_an_interrupt_while_str_of_the_engine_error_runs_is_not_swallowed():
    class Stubborn(Exception):
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        pack_parameters([item(value=Raises(Stubborn()))])



class _Rewrites:
    """An int-like value whose conversion changes a later item's keys."""

    def __init__(self, target, changes):
        self.target, self.changes = target, changes

    def __index__(self):
        self.target.update(self.changes)
        return 1


# The length pass sized the packet from the later item's first keys; its
# placement must see what the hook wrote.
@pytest.mark.parametrize("changes, expected", [
    ({"offset_bits": 1}, b"\x80\x80"),
    ({"bits": 4}, b"\x80\x10"),
])
def test_later_width_and_offset_changed_by_a_hook_are_read_afresh(changes, expected):
    later = {"name": "b", "encoding": "unsigned", "bits": 8, "byte_order": "big",
             "reverse_bits": False, "offset_bits": 8, "value": 1}
    first = {"name": "a", "encoding": "unsigned", "bits": 1, "byte_order": "big",
             "reverse_bits": False, "value": _Rewrites(later, changes)}
    assert pack_parameters([first, later]) == expected
