"""Recipe items for the tests.

`Items(**defaults)` makes a maker of complete items: an 8-bit "unsigned"
big-endian item named "a" unless a test says otherwise, plus whatever the
maker's defaults add (a "value" for packing).  Keys keep the order in which
a recipe would list them; keyword arguments replace or add keys.

Beside them, the int, str and index-only types that take a recipe's values
and keys off the usual road.
"""


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Items:
    def __init__(self, **defaults):
        self.defaults = {"encoding": "unsigned", "bits": 8, "byte_order": "big",
                         "reverse_bits": False, **defaults}

    def __call__(self, name="a", encoding=None, bits=None, **fields):
        entry = {"name": name, **self.defaults, **fields}
        if encoding is not None:
            entry["encoding"] = encoding
        if bits is not None:
            entry["bits"] = bits
        return entry

    def without(self, key, **fields):
        entry = self(**fields)
        del entry[key]
        return entry


# Items for unpack_parameters (no "value") and for pack_parameters.
parsing_item = Items()
packing_item = Items(value=0)
