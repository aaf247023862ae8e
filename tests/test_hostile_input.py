"""Hostile input: every case either gives its documented result or fails
with its clean error, and a failed call returns nothing and leaves the
caller's recipe and values as they were."""

import copy
import os
import subprocess
import sys
from collections import OrderedDict, defaultdict

import pytest

import bitloom
from bitloom import pack_parameters, unpack_parameters
from recipe_items import Items, StrSubclass, instance_dict, with_holes

item = Items(value=1)

U64 = 2**64
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


def snapshot(recipe):
    """The recipe's items, the identity of every value in them and the
    contents of the mutable ones."""
    def contents(value):
        return copy.copy(value) if type(value) in (list, bytearray, dict) else None
    return [(type(entry), [(k, id(v), contents(v)) for k, v in entry.items()])
            if isinstance(entry, dict) else entry for entry in recipe]


def engine_error(call, recipe):
    """Runs a call that must fail in the engine; checks nothing changed."""
    before = snapshot(recipe)
    with pytest.raises(ValueError) as caught:
        call(recipe)
    assert snapshot(recipe) == before
    return str(caught.value)


def pack(recipe):
    return pack_parameters(recipe)


def unpack_at(packet, offset=0):
    return lambda recipe: unpack_parameters(packet, offset, recipe)


# ---- bit positions near 2^64 and widths near 2^32 ---------------------------

@pytest.mark.parametrize("call, recipe, message", [
    # Packing: "offset_bits" is an absolute position.
    (pack, [item(bits=0, value=0, offset_bits=U64 - 1)],
     "MemoryError: cannot allocate a packet of 2305843009213693952 bytes"),
    (pack, [item(bits=1, value=0, offset_bits=U64 - 1)],
     "ValueError: Field of 1 bits at bit 18446744073709551615 ends beyond the largest bit "
     "position 18446744073709551615"),
    (pack, [item(offset_bits=U64)], "OverflowError: int too big to convert"),
    (pack, [item(offset_bits=U64 + 1)], "OverflowError: int too big to convert"),
    (pack, [item(offset_bits=-1)],
     "OverflowError: can't convert negative int to unsigned"),
    # Nothing can follow a field that ends at the last bit position.
    (pack, [item(bits=8, value=0, offset_bits=U64 - 9), item(bits=8, value=0)],
     "ValueError: Field of 8 bits at bit 18446744073709551615 ends beyond the largest bit "
     "position 18446744073709551615"),
    # Parsing: the call's offset plus the item's.
    (unpack_at(b"\x01", U64 - 1), [item(bits=0)],
     "ValueError: range start index 2305843009213693951 out of range for slice of length 1"),
    (unpack_at(b"\x01"), [item(bits=0, offset_bits=U64 - 1)],
     "ValueError: range start index 2305843009213693951 out of range for slice of length 1"),
    (unpack_at(b"\x01", 1), [item(bits=0, offset_bits=U64 - 1)],
     "ValueError: Field start 1 + 18446744073709551615 lies beyond the largest bit position "
     "18446744073709551615"),
    (unpack_at(b"\x01", U64 - 1), [item(bits=0, offset_bits=U64 - 1)],
     "ValueError: Field start 18446744073709551615 + 18446744073709551615 lies beyond the "
     "largest bit position 18446744073709551615"),
    (unpack_at(b"\x01"), [item(bits=0, offset_bits=U64)], "OverflowError: int too big to convert"),
    # Widths: 2^32 - 1 is the largest that converts.
    (pack, [item(bits=2**32 - 1)], "ValueError: Cannot encode 4294967295 bits from a 64-bit value"),
    (pack, [item(bits=2**32)], "OverflowError: out of range integral type conversion attempted"),
    (unpack_at(b"\x01\x02\x03\x04"), [item(bits=2**32 - 1)],
     "ValueError: range end index 536870912 out of range for slice of length 4"),
    (unpack_at(b"\x01"), [item(bits=2**32)],
     "OverflowError: out of range integral type conversion attempted"),
])
def test_extreme_positions_and_widths_fail_cleanly(call, recipe, message):
    assert engine_error(call, recipe) == message


def test_extreme_call_offset_is_an_argument_error():
    with pytest.raises(OverflowError):
        unpack_parameters(b"\x01", U64, [item()])
    assert unpack_parameters(b"", U64 - 1, []) == {}


@pytest.mark.parametrize("call, expected", [
    (lambda: bitloom.decode_twos_complement(0xFF, 2**32 - 1), 255),
    (lambda: bitloom.decode_ones_complement(2**64 - 1, 2**32 - 1), 0),
    (lambda: bitloom.decode_sign_magnitude(2**63 + 5, 2**32 - 1), 5),
    (lambda: bitloom.decode_packed_bcd(0x12, 2**32 - 1), 12),
    (lambda: bitloom.decode_unpacked_bcd(0x0102, 2**32 - 1), 12),
    (lambda: bitloom.encode_packed_bcd(12, 2**32 - 1), 0x12),
])
def test_codecs_take_the_widest_width_in_constant_time(call, expected):
    assert call() == expected


@pytest.mark.parametrize("call, message", [
    (lambda: bitloom.encode_twos_complement(1, 2**32 - 1), "bits must be <= 64 for two's complement encoding"),
    (lambda: bitloom.encode_sign_magnitude(1, 2**32 - 1),
     "bits must be between 2 and 64 for sign-magnitude encoding"),
    (lambda: bitloom.decode_unpacked_bcd(0xF1, 2**32 - 1, True),
     "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
])
def test_codecs_refuse_the_widest_width_cleanly(call, message):
    with pytest.raises(ValueError, match=f"^{message.replace('(', '[(]').replace(')', '[)]')}$"):
        call()


# ---- size -------------------------------------------------------------------

def test_a_recipe_of_a_million_items():
    entry = item(value=0xA5)
    recipe = [entry] * 10**6
    packet = pack_parameters(recipe)
    assert packet == b"\xa5" * 10**6
    assert unpack_parameters(packet, 0, recipe) == {"a": 0xA5}
    recipe[-1] = item("last", value=256)
    with pytest.raises(ValueError) as caught:
        pack_parameters(recipe)
    assert str(caught.value) == "ValueError: Value 256 is too large for 8 bits"
    assert caught.value.__notes__ == ["in recipe item 999999 ('last')"]


def test_text_fields_of_100_mib():
    text = "\u00e9" * (50 * 2**20)  # 100 MiB of UTF-8
    bits = 8 * 100 * 2**20
    packet = pack_parameters([item(encoding="utf8", bits=bits, value=text)])
    assert len(packet) == 100 * 2**20 and packet[:4] == b"\xc3\xa9\xc3\xa9"
    assert unpack_parameters(packet, 0, [item(encoding="utf8", bits=bits)]) == {"a": text}
    del text
    # One bad byte at the very end fails the whole field.
    broken = packet[:-1] + b"\xff"
    del packet
    message = engine_error(unpack_at(broken), [item(encoding="utf8", bits=bits)])
    assert message.startswith("ValueError: Invalid UTF-8 bytes: ")


# ---- empty packets ------------------------------------------------------------

@pytest.mark.parametrize("offset, recipe, expected", [
    (0, [], {}),
    (U64 - 1, [], {}),
    (0, [item(bits=0)], {"a": 0}),
    (0, [item(bits=0, encoding="utf8"), item("b", bits=0, encoding="utf16le")], {"a": "", "b": ""}),
    (7, [item(bits=0, encoding="windows-1252")], {"a": ""}),
])
def test_empty_packets(offset, recipe, expected):
    assert unpack_parameters(b"", offset, recipe) == expected


@pytest.mark.parametrize("offset, recipe, message", [
    (0, [item(bits=1)], "ValueError: range end index 1 out of range for slice of length 0"),
    (8, [item(bits=0)], "ValueError: range start index 1 out of range for slice of length 0"),
    (0, [item(bits=0, encoding="utf16")],
     "ValueError: UTF-16 requires an even number of bytes with at least 2 bytes"),
    (0, [item(bits=0, encoding="utf32")],
     "ValueError: UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
])
def test_empty_packets_fail_cleanly(offset, recipe, message):
    assert engine_error(unpack_at(b"", offset), recipe) == message


def test_empty_fields_pack_to_an_empty_packet():
    assert pack_parameters([item(bits=0, value=0), item(bits=0, encoding="utf8", value="")]) == b""


# ---- conversion hooks that raise or rewrite the recipe -------------------------

class Hook:
    """Runs `action` from whichever conversion hook the engine calls."""

    def __init__(self, action, result=8):
        self.action, self.result = action, result

    def __index__(self):
        self.action()
        return int(self.result)

    def __float__(self):
        self.action()
        return float(self.result)


class NumpyLikeBool:
    def __init__(self, action, result=True):
        self.action, self.result = action, result

    def __bool__(self):
        self.action()
        return self.result


NumpyLikeBool.__name__ = NumpyLikeBool.__qualname__ = "bool_"
NumpyLikeBool.__module__ = "numpy"


class Refused(Exception):
    pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raise_(error):
    def action():
        raise error
    return action


@pytest.mark.parametrize("key, hook", [
    ("bits", Hook(raise_(Refused("from __index__")))),
    ("offset_bits", Hook(raise_(Refused("from __index__")))),
    ("reverse_bits", NumpyLikeBool(raise_(Refused("from __bool__")))),
])
@pytest.mark.parametrize("call", [pack, unpack_at(b"\x01\x02")])
def test_raising_hooks_on_keys(key, hook, call):
    assert engine_error(call, [item(**{key: hook})]).startswith("Refused: from __")


@pytest.mark.parametrize("encoding, bits", [("unsigned", 8), ("twos_complement", 8), ("packed_bcd", 8),
                                            ("ieee754", 32), ("ieee754", 64), ("ti", 40)])
def test_raising_hooks_on_values(encoding, bits):
    recipe = [item(encoding=encoding, bits=bits, value=Hook(raise_(Refused("value hook"))))]
    assert engine_error(pack, recipe) == "Refused: value hook"


@pytest.mark.parametrize("call", [pack, unpack_at(b"\x01")])
def test_exception_whose_str_fails(call):
    assert engine_error(call, [item(bits=Hook(raise_(Unprintable())))]) == (
        "Unprintable: <exception str() failed>")


def test_exception_whose_str_fails_in_a_plain_function_argument():
    # Not rewrapped: the argument conversion's own exception comes out as it is.
    with pytest.raises(Unprintable):
        bitloom.encode_twos_complement(Hook(raise_(Unprintable())), 8)


def rewrite(recipe_holder, change):
    return lambda: change(recipe_holder[0])


# What a hook does to the caller's list: the call took its own references
# to the items when it began, so clearing, shrinking, extending, reordering
# or replacing elements of the list changes nothing.
LIST_CHANGES = [
    pytest.param(lambda r: r.clear(), id="clear"),
    pytest.param(lambda r: r.__delitem__(slice(1, None)), id="shrink"),
    pytest.param(lambda r: r.extend([item("c", value=0xFF), item("d", value=0xFF)]), id="extend"),
    pytest.param(lambda r: r.reverse(), id="reorder"),
    pytest.param(lambda r: r.__setitem__(1, 5), id="replace"),
]


@pytest.mark.parametrize("change", LIST_CHANGES)
@pytest.mark.parametrize("key", ["bits", "offset_bits", "reverse_bits"])
def test_list_changed_by_a_key_hook_while_parsing(key, change):
    holder = []
    hook = (NumpyLikeBool(rewrite(holder, change), result=False) if key == "reverse_bits"
            else Hook(rewrite(holder, change), 8 if key == "bits" else 0))
    recipe = [item(**{key: hook}), item("b")]
    holder.append(recipe)
    assert unpack_parameters(b"\x01\x02\x03", 0, recipe) == {"a": 1, "b": 2}


@pytest.mark.parametrize("change", LIST_CHANGES)
@pytest.mark.parametrize("hooked", ["value", "bits"])
def test_list_changed_by_a_hook_while_packing(hooked, change):
    # A "bits" hook runs in both passes, a "value" hook between them.
    holder = []
    recipe = [item(**{hooked: Hook(rewrite(holder, change), 8 if hooked == "bits" else 1)}),
              item("b", value=2)]
    holder.append(recipe)
    assert pack_parameters(recipe) == b"\x01\x02"


@pytest.mark.parametrize("key, change, expected", [
    # Item dicts are read in the documented order, so a change is seen by
    # every key read after the hook ran, in later items and in the item
    # being read alike; keys read before it keep what they were.
    ("bits", lambda r: r[1].update(name="z"), {"a": 1, "z": 2}),
    ("offset_bits", lambda r: r[1].update(bits=16), {"a": 1, "b": 0x0203}),
    ("reverse_bits", lambda r: r[1].update(byte_order="little", bits=16), {"a": 1, "b": 0x0302}),
    ("bits", lambda r: r[0].update(name="q"), {"a": 1, "b": 2}),
    ("bits", lambda r: r[0].update(reverse_bits=True), {"a": 0x80, "b": 2}),
    ("bits", lambda r: r[0].update(offset_bits=16), {"a": 3, "b": 0}),
    ("reverse_bits", lambda r: r[0].update(offset_bits=8), {"a": 2, "b": 3}),
])
def test_item_dicts_changed_by_a_hook_while_parsing(key, change, expected):
    holder = []
    hook = (NumpyLikeBool(rewrite(holder, change)) if key == "reverse_bits"
            else Hook(rewrite(holder, change), 8 if key == "bits" else 0))
    recipe = [item(**{key: hook}), item("b")]
    if key == "reverse_bits":
        # The hook says True; the expectations are for fields read unreversed.
        hook.result = False
    holder.append(recipe)
    assert unpack_parameters(b"\x01\x02\x03\x00", 0, recipe) == expected


def test_item_changed_by_its_own_key_hook_reports_what_follows_it():
    holder = []
    recipe = [item(bits=Hook(rewrite(holder, lambda r: r[0].update(byte_order="middle")), 8))]
    holder.append(recipe)
    with pytest.raises(ValueError, match="^ValueError: Invalid byte_order 'middle'"):
        unpack_parameters(b"\x01", 0, recipe)


@pytest.mark.parametrize("change, expected", [
    # The packet keeps the length of the first pass; the item being placed
    # is held, and later items are read as their dicts stand by then.
    (lambda r: r[1].update(bits=2), b"\x01\x40"),
    (lambda r: r[1].update(offset_bits=4), b"\x00\x10"),
    (lambda r: r[1].update(value=7), b"\x01\x07"),
    (lambda r: r[0].clear(), b"\x01\x01"),
    (lambda r: r[1].update(name="z", value=3), b"\x01\x03"),
])
def test_item_dicts_changed_between_the_passes(change, expected):
    holder = []
    recipe = [item(value=Hook(rewrite(holder, change), 1)), item("b")]
    holder.append(recipe)
    assert pack_parameters(recipe) == expected


@pytest.mark.parametrize("change, expected", [
    # A "bits" hook of the first item runs in the length pass: what it does
    # to a later item is seen when the placement pass reads that item.
    (lambda r: r[1].update(value=9), b"\x01\x09"),
    (lambda r: r[1].update(reverse_bits=True), b"\x01\x80"),
])
def test_item_dicts_changed_during_the_length_pass(change, expected):
    holder = []
    recipe = [item(bits=Hook(rewrite(holder, change), 8)), item("b")]
    holder.append(recipe)
    assert pack_parameters(recipe) == expected


@pytest.mark.parametrize("change, message", [
    (lambda r: r[1].clear(), "KeyError: \"Recipe missing required field: 'name'\""),
    (lambda r: r[1].update(bits=-1), "OverflowError: out of range integral type conversion attempted"),
    (lambda r: r[1].update(byte_order="middle"),
     "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
])
def test_recipe_broken_between_the_passes(change, message):
    holder = []
    recipe = [item(value=Hook(rewrite(holder, change), 1)), item("b")]
    holder.append(recipe)
    with pytest.raises(ValueError) as caught:
        pack_parameters(recipe)
    assert str(caught.value) == message
    assert caught.value.__notes__[0].startswith("in recipe item 1")


# ---- dict, str and bytes subclasses ---------------------------------------------

class LyingDict(dict):
    """Every lookup override raises: the engine reads the dict's own storage."""

    def __getitem__(self, key):
        raise RuntimeError("__getitem__")

    def __missing__(self, key):
        raise RuntimeError("__missing__")

    def get(self, *args):
        raise RuntimeError("get")

    def __contains__(self, key):
        raise RuntimeError("__contains__")

    def keys(self):
        raise RuntimeError("keys")


class LyingStr(str):
    def __hash__(self):
        raise RuntimeError("__hash__")

    def __eq__(self, other):
        raise RuntimeError("__eq__")

    def lower(self):
        raise RuntimeError("lower")

    def __str__(self):
        raise RuntimeError("__str__")

    def encode(self, *args):
        raise RuntimeError("encode")


class LyingBytes(bytes):
    def __len__(self):
        return 10**9

    def __getitem__(self, index):
        raise RuntimeError("__getitem__")

    def __iter__(self):
        raise RuntimeError("__iter__")

    def __buffer__(self, flags):
        raise RuntimeError("__buffer__")

    def __bytes__(self):
        raise RuntimeError("__bytes__")


def test_dict_subclasses_are_read_through_their_storage():
    assert pack_parameters([LyingDict(item(value=7))]) == b"\x07"
    assert unpack_parameters(b"\x07", 0, [LyingDict(item())]) == {"a": 7}
    assert pack_parameters([OrderedDict(item(value=7))]) == b"\x07"


def with_int_key(entry):
    """A key that is not a str turns the dict into the general layout."""
    return {**entry, 0: "zero"}


def with_built_keys(entry):
    """Keys made at run time: equal to the interned ones, other objects."""
    return {"".join(list(key)): value for key, value in entry.items()}


def with_str_subclass_keys(entry):
    return {StrSubclass(key): value for key, value in entry.items()}


def reinserted(entry):
    """Every key deleted and inserted again, in a dict that grew meanwhile."""
    result = dict(entry)
    for extra in range(40):
        result[f"extra{extra}"] = extra
    for key in list(entry):
        value = result.pop(key)
        result[key] = value
    return result


ITEM_LAYOUTS = [
    pytest.param(dict, id="dict copy"),
    pytest.param(LyingDict, id="dict subclass"),
    pytest.param(OrderedDict, id="OrderedDict"),
    pytest.param(instance_dict, id="instance __dict__"),
    pytest.param(with_holes, id="deleted entries"),
    pytest.param(with_int_key, id="int key"),
    pytest.param(with_built_keys, id="keys built at run time"),
    pytest.param(with_str_subclass_keys, id="str subclass keys"),
    pytest.param(reinserted, id="reinserted keys"),
]

LAYOUT_PACK_RECIPES = [
    [item("v", bits=3, value=5), item("t", encoding="twos_complement", bits=12, value=-1234),
     item("f", encoding="ieee754", bits=32, value=1013.25),
     item("s", encoding="us-ascii", bits=32, value="TLM0"),
     item("o", bits=4, value=9, offset_bits=60, byte_order="little", reverse_bits=True)],
    [item("a"), item.without("value", name="b")],
    [item("a"), item.without("bits", name="b")],
    [item("a"), item(name="b", byte_order="middle")],
    [item("a"), item(name="b", encoding="nonesuch")],
]

LAYOUT_UNPACK_RECIPES = [
    [{k: v for k, v in entry.items() if k != "value"} for entry in LAYOUT_PACK_RECIPES[0]],
    [item("a"), item.without("reverse_bits", name="b")],
    [item("a"), item(name="b", bits=64)],
    [item("a"), item(name=5)],
]


def outcome(call):
    try:
        return "result", call()
    except ValueError as error:
        return "error", str(error), getattr(error, "__notes__", None)


@pytest.mark.parametrize("layout", ITEM_LAYOUTS)
@pytest.mark.parametrize("recipe", LAYOUT_PACK_RECIPES)
def test_every_dict_layout_packs_as_a_plain_dict(layout, recipe):
    varied = [layout(entry) for entry in recipe]
    assert outcome(lambda: pack_parameters(varied)) == outcome(lambda: pack_parameters(recipe))


@pytest.mark.parametrize("layout", ITEM_LAYOUTS)
@pytest.mark.parametrize("recipe", LAYOUT_UNPACK_RECIPES)
def test_every_dict_layout_unpacks_as_a_plain_dict(layout, recipe):
    packet = bytes(range(0x31, 0x3B))
    varied = [layout(entry) for entry in recipe]
    assert (outcome(lambda: unpack_parameters(packet, 0, varied))
            == outcome(lambda: unpack_parameters(packet, 0, recipe)))


def test_defaultdict_factory_is_not_called_and_nothing_is_inserted():
    entry = defaultdict(lambda: 5, item())
    del entry["value"]
    before = dict(entry)
    assert engine_error(pack, [entry]) == (
        "KeyError: \"Recipe item 'a' missing required field: 'value'\"")
    assert dict(entry) == before


def test_str_subclasses_are_read_as_their_text():
    recipe = [item(name=LyingStr("a"), encoding=LyingStr("UNSIGNED"), byte_order=LyingStr("Big"))]
    result = unpack_parameters(b"\x09", 0, recipe)
    assert result == {"a": 9} and type(next(iter(result))) is str
    # Non-ASCII lowercasing uses str.lower itself, not the override.
    recipe = [item(encoding=LyingStr("\u212aUNSIGNED"))]
    assert engine_error(unpack_at(b"\x09"), recipe) == "ValueError: Unsupported encoding type: \u212aUNSIGNED"
    assert pack_parameters([item(encoding="utf16be", bits=16, value=LyingStr("\u00e9"))]) == b"\x00\xe9"
    assert bitloom.encode_utf8(LyingStr("\u00e9")) == b"\xc3\xa9"


@pytest.mark.parametrize("call, expected", [
    (lambda: unpack_parameters(LyingBytes(b"\x07"), 0, [item()]), {"a": 7}),
    (lambda: unpack_parameters(LyingBytes(b"\x07"), 0, [item(bits=16)]), ValueError),
    (lambda: pack_parameters([item(encoding="binary", bits=16, value=LyingBytes(b"\x07\x08"))]),
     b"\x07\x08"),
    (lambda: bitloom.decode_utf8(LyingBytes(b"abc")), "abc"),
    (lambda: bitloom.decode_windows_1252(LyingBytes(b"\x80")), "\u20ac"),
    (lambda: bitloom.decode_utf16le(LyingBytes(b"")), ""),
])
def test_bytes_subclasses_are_read_as_their_content(call, expected):
    if expected is ValueError:
        with pytest.raises(ValueError, match="range end index 2 out of range for slice of length 1"):
            call()
    else:
        assert call() == expected


# ---- failed calls change nothing ---------------------------------------------------

@pytest.mark.parametrize("recipe", [
    [item(value=[1, 2]), item("b", value="text")],
    [item(encoding="binary", bits=16, value=bytearray(b"\x01\x02")), item("b", bits=4, value=99)],
    [item(encoding="binary", bits=16, value=[1, 2, 3]), item("b", encoding="utf8", value="\ud800")],
    [item(encoding="utf16", bits=16, value="x" * 100), item("b", encoding="us_ascii", value="\u00e9")],
])
def test_failed_packing_leaves_every_value_untouched(recipe):
    engine_error(pack, recipe)


@pytest.mark.parametrize("value, bits, expected", [
    # An empty value once reached memcpy with a null source pointer.
    ([], 8, b"\x00"),
    (b"", 12, b"\x00\x00"),
    (bytearray(), 16, b"\x00\x00"),
    ((), 1, b"\x00"),
])
def test_empty_raw_bytes_values(value, bits, expected):
    assert pack_parameters([item(encoding="binary", bits=bits, value=value)]) == expected


# ---- re-entry, memory and key matching ---------------------------------------

RECURSE = """
import sys
import threading
import bitloom
from bitloom.frames import FrameCodec
sys.setrecursionlimit(10000)
item = {{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big",
        "reverse_bits": False, "value": 1}}
codec = FrameCodec([item])

class Deeper:
    def __index__(self):
        {call}
        return 8

def call():
    {call}

outcome = []

def run():
    try:
        call()
    except (RecursionError, ValueError) as error:
        outcome.append("RecursionError" in str(error) or isinstance(error, RecursionError))

if {stack_kib}:
    threading.stack_size({stack_kib} * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
else:
    run()
print(outcome)
"""


# Every entry that converts a value through a hook, by position or by keyword;
# the hook calls the same entry again until the stack is nearly full.
@pytest.mark.parametrize("call", [
    'bitloom.pack_parameters([dict(item, value=Deeper())])',
    'bitloom.unpack_parameters(b"\\x01", 0, [dict(item, bits=Deeper())])',
    'bitloom.encode_packed_bcd(Deeper(), 32)',
    'bitloom.encode_packed_bcd(value=Deeper(), bits=32)',
    'codec.pack((Deeper(),))',
    'codec.pack({"a": Deeper()})',
    'codec.unpack(b"\\x01\\x02", offset_bits=Deeper())',
    'codec.unpack_many(b"\\x01\\x02", offset_bits=Deeper())',
    'FrameCodec([dict(item, bits=Deeper())])',
], ids=["pack", "unpack", "bcd", "bcd-keywords", "codec-tuple", "codec-dict", "codec-unpack",
        "codec-unpack-many", "codec-new"])
# The main thread's 8 MiB, and a thread's 1 MiB, where the interpreter's
# recursion count alone would let the stack run out.
@pytest.mark.parametrize("stack_kib", [0, 1024], ids=["main", "thread-1MiB"])
def test_deep_reentry_from_hooks_raises_recursion_error(call, stack_kib, tmp_path):
    # Without the entries' stack check the C stack ran out (a crash): in
    # FrameCodec.pack by position at about 3,200 levels, and in every entry
    # of the checked build.
    script = RECURSE.format(call=call, stack_kib=stack_kib)
    result = subprocess.run([sys.executable, "-c", script], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "[True]"


ALLOCATION = """
import resource
import bitloom
limit = 900 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    bitloom.pack_parameters([{{"name": "big", "encoding": "binary", "bits": 2**32 - 1,
                               "byte_order": "big", "reverse_bits": False, "value": {value}}}])
except ValueError as error:
    print(str(error))
    print(error.__notes__)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves more address space than the limit")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit")
@pytest.mark.parametrize("value", ['b"\\\\x01"', "[1, 2, 3]"])
def test_a_failed_allocation_inside_the_engine_is_a_noted_memory_error(value, tmp_path):
    # The packet (512 MiB) fits under the limit; the field's bytes do not.
    result = subprocess.run([sys.executable, "-c", ALLOCATION.format(value=value)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    message, notes = result.stdout.splitlines()
    assert message == "MemoryError: cannot allocate 536870912 bytes for a field"
    assert notes == "[\"in recipe item 0 ('big')\"]"


class OwnHash(str):
    """A key whose hash is not str's: it still matches by content."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return False


@pytest.mark.parametrize("key", ["bits", "offset_bits", "name", "value"])
def test_keys_match_by_content_in_every_pass(key):
    fields = item(offset_bits=0)
    entry = {OwnHash(k) if k == key else k: v for k, v in fields.items()}
    assert pack_parameters([entry]) == b"\x01"
    assert unpack_parameters(b"\x05", 0, [entry]) == {"a": 5}


@pytest.mark.parametrize("extra", [{}, {"nam\xe9": 2}, {"nam\u0113": 2}, {"bit\U0001f600": 2}])
def test_keys_made_at_run_time_match_by_their_text(extra):
    # A recipe decoded from a document (JSON, YAML) has keys that are not the
    # interned literals.  A str of another text or kind is no recipe key.
    fields = {**item(offset_bits=0, reverse_bits=True), **extra}
    built = {"".join(list(key)): value for key, value in fields.items()}
    assert next(iter(built)) is not next(iter(fields))
    assert pack_parameters([built]) == b"\x80"
    del built["value"]
    assert unpack_parameters(b"\x80", 0, [built]) == {"a": 1}


def test_of_two_keys_matching_one_recipe_key_the_later_wins():
    entry = {**item(), OwnHash("bits"): 16, OwnHash("value"): 0x0102}
    assert pack_parameters([entry]) == b"\x01\x02"
    assert unpack_parameters(b"\x01\x02", 0, [entry]) == {"a": 0x0102}


def test_the_value_a_later_key_replaces_is_not_kept():
    offset = int("1000")  # not one of the interpreter's immortal small ints
    entry = {**item(offset_bits=offset), OwnHash("offset_bits"): 0}
    before = sys.getrefcount(offset)
    for _ in range(50):
        assert pack_parameters([entry]) == b"\x01"
        assert unpack_parameters(b"\x01", 0, [entry]) == {"a": 1}
    assert sys.getrefcount(offset) == before
