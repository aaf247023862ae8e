"""Recipe items for the tests.

`Items(**defaults)` makes a maker of complete items: an 8-bit "unsigned"
big-endian item named "a" unless a test says otherwise, plus whatever the
maker's defaults add (a "value" for packing).  Keys keep the order in which
a recipe would list them; keyword arguments replace or add keys.

Beside them, the int, str and index-only types that take a recipe's values
and keys off the usual road, and dicts of the same entries laid out in the
interpreter's other ways.
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


class Holder:
    pass


def instance_dict(entry):
    """The attribute dict of an instance: split keys, values kept apart."""
    holder = Holder()
    for key, value in entry.items():
        setattr(holder, key, value)
    return holder.__dict__


def with_holes(entry):
    """The same entries behind deleted ones (the dict is not compacted)."""
    result = {"x0": 0, "x1": 1}
    result.update(entry)
    result["x2"] = 2
    del result["x0"], result["x1"], result["x2"]
    return result


def general_layout(entry):
    """The same entries in the layout for keys of any type: a key that is not
    a str was added and deleted again."""
    result = {**entry, 0: None}
    del result[0]
    return result


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


# A replacement that deletes its key, in the changes below.
MISSING = object()


def make_unusual(recipe, change, at):
    """Applies one change, (key, replacement), to item `at` (modulo the
    recipe's length) of `recipe`; `None` or an empty recipe changes nothing."""
    if change is None or not recipe:
        return
    key, replacement = change
    entry = recipe[at % len(recipe)]
    if replacement is MISSING:
        entry.pop(key, None)
    else:
        entry[key] = replacement
