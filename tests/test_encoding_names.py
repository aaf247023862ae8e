"""Both encoding-name tables, name by name, and the names only one side takes."""

import sys

import pytest

from bitloom import pack_parameters, unpack_parameters
from recipe_items import parsing_item

# name -> (bits, value, packed bytes); the same bytes unpack to the value
# under the unpacking name given in the third column of BOTH.
PACKING_ONLY = {
    "twos-complement": (8, -1, b"\xff"), "ones-complement": (8, -1, b"\xfe"),
    "sign-magnitude": (8, -1, b"\x81"), "bcdsigned": (8, -1, b"\xd1"),
    "packedbcd": (8, 12, b"\x12"), "packedbcdsigned": (8, -1, b"\x1d"),
    "binary": (8, b"\x07", b"\x07"), "utf_8": (8, "a", b"a"), "utf_16": (32, "a", b"\xfe\xff\x00a"),
    "utf_32": (64, "a", b"\x00\x00\xfe\xff\x00\x00\x00a"), "utf_16_le": (16, "a", b"a\x00"),
    "utf_16_be": (16, "a", b"\x00a"), "utf_32_le": (32, "a", b"a\x00\x00\x00"),
    "utf_32_be": (32, "a", b"\x00\x00\x00a"), "usascii": (8, "a", b"a"),
    "iso8859_1": (8, "\xe9", b"\xe9"), "iso8859-1": (8, "\xe9", b"\xe9"),
    "windows1252": (8, "\u20ac", b"\x80"),
    "ieee754": (32, 1.0, b"\x3f\x80\x00\x00"), "ieee_754": (16, 1.0, b"\x3c\x00"),
    "ieee-754": (64, 1.0, b"\x3f\xf0" + bytes(6)),
}
BOTH = {
    # name: (bits, value, packed bytes)
    "unsigned": (8, 7, b"\x07"), "twoscomplement": (8, -1, b"\xff"),
    "twos_complement": (8, -1, b"\xff"), "onescomplement": (8, -1, b"\xfe"),
    "ones_complement": (8, -1, b"\xfe"), "signmagnitude": (8, -1, b"\x81"),
    "sign_magnitude": (8, -1, b"\x81"), "bcd": (8, 7, b"\x07"), "bcd_signed": (8, -1, b"\xd1"),
    "bcd-signed": (8, -1, b"\xd1"), "packed_bcd": (8, 12, b"\x12"), "packed-bcd": (8, 12, b"\x12"),
    "packed_bcd_signed": (8, -1, b"\x1d"), "packed-bcd-signed": (8, -1, b"\x1d"),
    "utf8": (8, "a", b"a"), "utf-8": (8, "a", b"a"), "utf16": (32, "a", b"\xfe\xff\x00a"),
    "utf-16": (32, "a", b"\xfe\xff\x00a"), "utf32": (64, "a", b"\x00\x00\xfe\xff\x00\x00\x00a"),
    "utf-32": (64, "a", b"\x00\x00\xfe\xff\x00\x00\x00a"), "utf16le": (16, "a", b"a\x00"),
    "utf-16le": (16, "a", b"a\x00"), "utf16be": (16, "a", b"\x00a"), "utf-16be": (16, "a", b"\x00a"),
    "utf32le": (32, "a", b"a\x00\x00\x00"), "utf-32le": (32, "a", b"a\x00\x00\x00"),
    "utf32be": (32, "a", b"\x00\x00\x00a"), "utf-32be": (32, "a", b"\x00\x00\x00a"),
    "us_ascii": (8, "a", b"a"), "us-ascii": (8, "a", b"a"), "iso_8859_1": (8, "\xe9", b"\xe9"),
    "iso-8859-1": (8, "\xe9", b"\xe9"), "windows_1252": (8, "\u20ac", b"\x80"),
    "windows-1252": (8, "\u20ac", b"\x80"),
}
FAMILIES = {
    "ieee754_1985": "IEEE 754-1985", "ieee754-1985": "IEEE 754-1985",
    "ieee_754_1985": "IEEE 754-1985", "ieee_754-1985": "IEEE 754-1985",
    "mil_std_1750a": "MIL-STD-1750A", "mil-std-1750a": "MIL-STD-1750A",
    "mil_std-1750a": "MIL-STD-1750A", "ti": "TI", "dec": "DEC", "ibm": "IBM",
}
UNPACKING_ONLY = {
    "latin1": (b"\xe9", "\xe9"),
    "ieee754_f16": (b"\x3c\x00", 1.0), "ieee754-f16": (b"\x3c\x00", 1.0),
    "ieee754_f32": (b"\x3f\x80\x00\x00", 1.0), "ieee754-f32": (b"\x3f\x80\x00\x00", 1.0),
    "ieee754_f64": (b"\x3f\xf0" + bytes(6), 1.0), "ieee754-f64": (b"\x3f\xf0" + bytes(6), 1.0),
    "ieee754_f128": (bytes(8), 0.0), "ieee754-f128": (bytes(8), 0.0),
}
REFUSED_ON_UNPACKING = {
    f"{prefix}{sep}f{width}": f"{label} f{width}"
    for prefix_pair, label, widths in [
        (("ieee754_1985", "ieee754-1985"), "IEEE 754-1985", (32, 64, 80)),
        (("mil_std_1750a", "mil-std-1750a"), "MIL-STD-1750A", (32, 48)),
        (("ti", "ti"), "TI", (32, 40)), (("dec", "dec"), "DEC", (32, 64)),
        (("ibm", "ibm"), "IBM", (32, 64)),
    ]
    for prefix, sep in zip(prefix_pair, "_-") for width in widths
}


def raises_message(call, message):
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == message


def item(encoding, bits, **extra):
    return parsing_item("x", encoding, bits, **extra)


def test_each_table_has_65_names():
    packing = len(BOTH) + len(PACKING_ONLY) + len(FAMILIES)
    unpacking = len(BOTH) + len(UNPACKING_ONLY) + len(REFUSED_ON_UNPACKING)
    assert (packing, unpacking) == (65, 65)


@pytest.mark.parametrize("name", sorted(BOTH))
def test_names_of_both_directions(name):
    bits, value, packed = BOTH[name]
    assert pack_parameters([item(name, bits, value=value)]) == packed
    assert unpack_parameters(packed, 0, [item(name.upper(), bits)]) == {"x": value}


@pytest.mark.parametrize("name", sorted(PACKING_ONLY))
def test_packing_only_names(name):
    bits, value, packed = PACKING_ONLY[name]
    assert pack_parameters([item(name, bits, value=value)]) == packed
    raises_message(lambda: unpack_parameters(packed, 0, [item(name, bits)]),
                   f"ValueError: Unsupported encoding type: {name}")


@pytest.mark.parametrize("name", sorted(FAMILIES))
def test_family_names_refuse_with_their_member(name):
    label = FAMILIES[name]
    raises_message(lambda: pack_parameters([item(name, 32, value=1.0)]),
                   f"NotImplementedError: {label} f32 encoding not yet implemented")
    raises_message(lambda: unpack_parameters(bytes(4), 0, [item(name, 32)]),
                   f"ValueError: Unsupported encoding type: {name}")


@pytest.mark.parametrize("name", sorted(UNPACKING_ONLY))
def test_unpacking_only_names(name):
    packed, value = UNPACKING_ONLY[name]
    assert unpack_parameters(packed, 0, [item(name, 8 * len(packed))]) == {"x": value}
    raises_message(lambda: pack_parameters([item(name, 8 * len(packed), value=value)]),
                   f"ValueError: Unsupported encoding type: {name}")


@pytest.mark.parametrize("name", sorted(REFUSED_ON_UNPACKING))
def test_reserved_unpacking_names(name):
    message = f"NotImplementedError: {REFUSED_ON_UNPACKING[name]} format not yet implemented"
    raises_message(lambda: unpack_parameters(b"", 0, [item(name, 0)]), message)


def outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("name", sorted({*BOTH, *PACKING_ONLY, *FAMILIES, *UNPACKING_ONLY,
                                         *REFUSED_ON_UNPACKING}))
@pytest.mark.parametrize("bits", [8, 32, 64])
def test_a_name_resolves_alike_interned_and_built_at_run_time(name, bits):
    # The interned str of a name is recognised by its address, any other by
    # its text: both must select the same row in both directions.
    interned, built = sys.intern(name), "".join(list(name))
    assert built is not interned
    def results(text):
        return ([outcome(lambda: pack_parameters([item(text, bits, value=value)]))
                 for value in (-3, 129, 1.5, "\xe9", b"\x81")] +
                [outcome(lambda: unpack_parameters(bytes(range(0x81, 0x89)), 0, [item(text, bits)]))])

    assert results(interned) == results(built)


def test_names_of_equal_text_in_separate_objects_resolve_item_by_item():
    # A decoded recipe holds one str per item; a family name still picks
    # its member by each item's width, and other texts resolve on their own.
    def text(name):
        return "".join(list(name))

    recipe = [item(text("ieee754"), 32, value=1.0), item(text("IEEE754"), 64, value=1.0),
              item(text("ieee754"), 16, value=1.0), item(text("Unsigned"), 8, value=7),
              item(text("unsigned"), 8, value=7), item(text("twos_complement"), 8, value=-1)]
    assert pack_parameters(recipe) == b"\x3f\x80\x00\x00" + b"\x3f\xf0" + bytes(6) + \
        b"\x3c\x00\x07\x07\xff"
    refused = [item(text("ieee754"), 32, value=1.0), item(text("ieee754"), 24, value=1.0)]
    raises_message(lambda: pack_parameters(refused),
                   "ValueError: Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)")


@pytest.mark.parametrize("name", ["ieee-754-1985", "mil-std_1750a", "ieee754_1985-f32", "utf_8 ",
                                  " utf8", "utf", "bcd_unsigned", "ieee754f32"])
def test_near_misses_are_refused_in_both_directions(name):
    with pytest.raises(ValueError, match="Unsupported encoding type"):
        pack_parameters([item(name, 32, value=1)])
    with pytest.raises(ValueError, match="Unsupported encoding type"):
        unpack_parameters(bytes(4), 0, [item(name, 32)])


def stub_literals():
    """The names of each Literal type alias in the stubs."""
    import ast
    from pathlib import Path

    stub = ast.parse((Path(__file__).parent.parent / "bitloom" / "__init__.pyi").read_text())
    literals = {}
    for node in stub.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.value, ast.Subscript) \
                and getattr(node.value.value, "id", None) == "Literal":
            elements = node.value.slice.elts
            literals[node.target.id] = [element.value for element in elements]
    return literals


@pytest.mark.parametrize("alias, names", [
    ("PackingEncoding", {*BOTH, *PACKING_ONLY, *FAMILIES}),
    ("UnpackingEncoding", {*BOTH, *UNPACKING_ONLY, *REFUSED_ON_UNPACKING}),
    ("ByteOrder", {"big", "little"}),
])
def test_the_typed_names_are_those_of_the_tables(alias, names):
    listed = stub_literals()[alias]
    assert len(listed) == len(set(listed))
    assert set(listed) == names
