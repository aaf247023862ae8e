"""pack_parameters and unpack_parameters on structured random recipes.

Run by `make fuzz` and `make test` under atheris, against the checked build
in .venv-sanitize (AddressSanitizer, UndefinedBehaviorSanitizer and coverage
feedback from the native code).  Each input becomes either

- a well-formed recipe of the encodings that Python can encode and decode
  itself: the packet and the parsed values are compared with a reference
  written here from the placement and parsing rules, or
- a hostile recipe: any key missing or of any type, dict subclasses, values
  whose conversion hooks raise or rewrite the recipe.  Only clean behaviour
  is checked: a result of the right type or one of the documented
  exceptions, never an internal fault, and an unchanged recipe.

Run directly: python fuzz/fuzz_recipes.py [libFuzzer flags] [corpus dirs].
Any other exception, a sanitizer report or a failed assertion is a finding.
"""

import struct
import sys

import atheris

import bitloom

ALLOWED = (ValueError, TypeError, OverflowError, MemoryError)

# ---- the reference ------------------------------------------------------

U64 = 2**64


class Unknown(Exception):
    """The reference does not model this item; skip the comparison."""


def signed64(v):
    return v - U64 if v >= 2**63 else v


def reverse_bits(value, width):
    out = 0
    for i in range(width):
        if value >> (i % 64) & 1:
            out |= 1 << ((width - 1 - i) % 64)
    return out


def windows_1252(data):
    if data[:3] == b"\xef\xbb\xbf":
        return data[3:].decode("utf-8")
    if data[:2] == b"\xff\xfe":
        return data[2:].decode("utf-16-le")
    if data[:2] == b"\xfe\xff":
        return data[2:].decode("utf-16-be")
    return "".join(chr(b) if b in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else bytes([b]).decode("cp1252")
                   for b in data)


def utf16_marked(data):
    if len(data) < 2 or len(data) % 2:
        raise ValueError("length")
    if data[:2] == b"\xfe\xff":
        return data[2:].decode("utf-16-be")
    if data[:2] == b"\xff\xfe":
        return data[2:].decode("utf-16-le")
    return data.decode("utf-16-be")


TEXT_DECODERS = {
    "utf8": lambda b: b.decode("utf-8"),
    "utf16": utf16_marked,
    "utf16le": lambda b: b.decode("utf-16-le"),
    "utf16be": lambda b: b.decode("utf-16-be"),
    "us_ascii": lambda b: b.decode("ascii"),
    "iso-8859-1": lambda b: b.decode("latin-1"),
    "windows_1252": windows_1252,
}


def decode_number(encoding, v, w):
    if encoding == "unsigned":
        return v
    if encoding == "twos_complement":
        if w >= 64:
            return signed64(v)
        if w == 0:
            return 0 if v >> 63 else v
        return v - 2**w if v >> (w - 1) & 1 else v
    if encoding == "ones_complement":
        if w == 0:
            return signed64(v)
        if w >= 64:
            s = signed64(v)
            return s + 1 if s < 0 else s
        return v - 2**w + 1 if v >> (w - 1) & 1 else v
    if encoding == "sign_magnitude":
        position = (w - 1) % 64
        magnitude = v & ((1 << position) - 1)
        return -magnitude if v >> position & 1 else magnitude
    if encoding == "ieee754_f16":
        return struct.unpack(">e", (v & 0xFFFF).to_bytes(2, "big"))[0]
    if encoding == "ieee754_f32":
        return struct.unpack(">f", (v & 0xFFFFFFFF).to_bytes(4, "big"))[0]
    if encoding == "ieee754_f64":
        return struct.unpack(">d", v.to_bytes(8, "big"))[0]
    if encoding == "binary":
        raise ValueError("raw bytes are packed but not parsed")
    raise Unknown(encoding)


def reference_unpack(packet, offset, recipe):
    """The parsed dict, or ValueError when the call must fail."""
    result = {}
    cursor = offset
    for item in recipe:
        w = item["bits"]
        start = offset + item["offset_bits"] if "offset_bits" in item else cursor
        if start >= U64:
            raise ValueError("start")
        first, count = start // 8, (w + 7) // 8
        if first + count > len(packet):
            raise ValueError("window")
        window = packet[first:first + count]
        if item["byte_order"] == "little":
            window = window[::-1]
        v = int.from_bytes(window[:8], "big")
        if item["reverse_bits"]:
            v = reverse_bits(v, w)
        elif w < 64:
            v &= (1 << w) - 1
        encoding = item["encoding"]
        if encoding in TEXT_DECODERS:
            try:
                value = TEXT_DECODERS[encoding](bytes(window))
            except UnicodeDecodeError:
                raise ValueError("text") from None
        else:
            value = decode_number(encoding, v, w)
        result[item["name"]] = value
        cursor = start + w
    return result


def field_bytes(item):
    """The field bytes of one item before byte order, or ValueError."""
    w, value, encoding = item["bits"], item["value"], item["encoding"]
    if encoding in ("unsigned", "twos_complement"):
        if w > 64:
            raise ValueError("width")
        if encoding == "unsigned":
            if w < 64 and value >= 2**w:
                raise ValueError("range")
        elif w:
            if not -(2 ** (w - 1)) <= value < 2 ** (w - 1):
                raise ValueError("range")
            value %= 2**w
        else:
            value = 0
        if item["reverse_bits"] and w:
            value = reverse_bits(value, w)
        n = (w + 7) // 8
        return (value % 2 ** (8 * n)).to_bytes(n, "big")
    if encoding == "binary":
        n = (w + 7) // 8
        data = (bytes(n) + bytes(value))[-n:] if n else b""
        if w % 8 and n:
            data = bytes([data[0] & (0xFF >> (8 * n - w))]) + data[1:]
        if item["reverse_bits"] and n:
            bits = format(int.from_bytes(data, "big"), f"0{8 * n}b")[8 * n - w:]
            data = int(bits[::-1] or "0", 2).to_bytes(n, "big")
        return data
    codec = {"utf8": "utf-8", "utf16le": "utf-16-le", "utf16be": "utf-16-be",
             "us_ascii": "ascii", "iso-8859-1": "latin-1"}[encoding]
    try:
        return value.encode(codec)
    except UnicodeEncodeError:
        raise ValueError("text") from None


def reference_pack(recipe):
    total = 0
    for item in recipe:
        total = max(total, item.get("offset_bits", total) + item["bits"])
    bits = [0] * ((total + 7) // 8 * 8)
    cursor = 0
    for item in recipe:
        field = field_bytes(item)
        if item["byte_order"] == "little":
            field = field[::-1]
        start = item.get("offset_bits", cursor)
        w, m = item["bits"], len(field) * 8
        j = m - w if m >= w else 0
        for i in range(w):
            bits[start + i] = field[j // 8] >> (7 - j % 8) & 1 if j < m else 0
            j += 1
        cursor = start + w
    return bytes(int("".join(map(str, bits[k:k + 8])), 2) for k in range(0, len(bits), 8))


# ---- well-formed recipes ------------------------------------------------

PACKABLE = ["unsigned", "twos_complement", "binary", "utf8", "utf16le", "utf16be", "us_ascii",
            "iso-8859-1"]
PARSE_ONLY = ["ones_complement", "sign_magnitude", "ieee754_f16", "ieee754_f32", "ieee754_f64",
              "utf16", "windows_1252"]


def clean_value(fdp, encoding, w):
    if encoding == "unsigned":
        return fdp.ConsumeIntInRange(0, 2**w - 1 if w < 64 and fdp.ConsumeProbability() < 0.9
                                     else U64 - 1)
    if encoding == "twos_complement":
        bound = 2 ** (max(w, 1) - 1) if w <= 64 and fdp.ConsumeProbability() < 0.9 else 2**63
        return fdp.ConsumeIntInRange(-bound, bound - 1)
    if encoding == "binary":
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
    length = fdp.ConsumeIntInRange(0, 8)
    if encoding in ("us_ascii", "iso-8859-1") and fdp.ConsumeProbability() < 0.8:
        limit = 0x7F if encoding == "us_ascii" else 0xFF
        return "".join(chr(fdp.ConsumeIntInRange(0, limit)) for _ in range(length))
    return fdp.ConsumeUnicodeNoSurrogates(length)


def clean_recipe(fdp, encodings):
    recipe = []
    for index in range(fdp.ConsumeIntInRange(0, 6)):
        encoding = fdp.PickValueInList(encodings)
        w = fdp.PickValueInList([0, 1, 3, 7, 8, 12, 16, 24, 32, 40, 63, 64, 65, 72, 96])
        if encoding.startswith("ieee754"):
            w = fdp.PickValueInList([16, 32, 64])
        item = {"name": f"f{fdp.ConsumeIntInRange(0, index)}", "encoding": encoding, "bits": w,
                "byte_order": fdp.PickValueInList(["big", "little"]),
                "reverse_bits": fdp.ConsumeBool()}
        if fdp.ConsumeProbability() < 0.3:
            item["offset_bits"] = fdp.ConsumeIntInRange(0, 160)
        if encoding in PACKABLE:
            item["value"] = clean_value(fdp, encoding, w)
        recipe.append(item)
    return recipe


def check_clean(fdp):
    recipe = clean_recipe(fdp, PACKABLE)
    snapshot = [dict(item) for item in recipe]
    try:
        expected = reference_pack(recipe)
    except ValueError:
        expected = None
    try:
        packet = bitloom.pack_parameters(recipe)
    except ValueError:
        packet = None
    assert packet == expected, (recipe, packet, expected)
    assert recipe == snapshot

    # Parse the packet (or arbitrary bytes) with any decodable encoding.
    for item in recipe:
        if fdp.ConsumeProbability() < 0.3:
            item["encoding"] = fdp.PickValueInList(PARSE_ONLY + PACKABLE[:2] + PACKABLE[3:])
            if item["encoding"].startswith("ieee754"):
                item["bits"] = fdp.PickValueInList([16, 32, 64])
    if packet is None or fdp.ConsumeBool():
        packet = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    offset = fdp.PickValueInList([0, 0, 1, 4, 8, 13, U64 - 1, U64 - 8, 2**61])
    snapshot = [dict(item) for item in recipe]
    try:
        expected = reference_unpack(packet, offset, recipe)
    except ValueError:
        expected = None
    try:
        result = bitloom.unpack_parameters(packet, offset, recipe)
    except ValueError:
        result = None
    assert same_values(result, expected), (packet, offset, recipe, result, expected)
    assert recipe == snapshot


def same_values(got, expected):
    if got is None or expected is None:
        return got is expected
    if list(got) != list(expected):
        return False
    for key, value in expected.items():
        other = got[key]
        if type(other) is not type(value):
            return False
        if isinstance(value, float):
            if value != value:
                if other == other:
                    return False
            elif struct.pack(">d", value) != struct.pack(">d", other):
                return False
        elif other != value:
            return False
    return True


# ---- hostile recipes ----------------------------------------------------

ALL_NAMES = PACKABLE + PARSE_ONLY + [
    "bcd", "bcd_signed", "packed_bcd", "packed_bcd_signed", "ieee754", "ieee754_f128", "ti", "ibm",
    "ieee754_1985", "mil_std_1750a", "dec", "ti_f40", "ibm_f32", "latin1", "UTF-8", "Unsigned",
    "\u212aelvin", "utf32", "utf32le", "utf32be", "nonsense", "",
]


class Hostile:
    """A value whose conversion hooks raise, or rewrite the recipe."""

    def __init__(self, recipe, action):
        self.recipe, self.action = recipe, action

    def _hook(self, result):
        action = self.action
        if action == 0:
            raise RuntimeError("hook failed")
        if action == 1:
            self.recipe.clear()
        elif action == 2 and self.recipe:
            self.recipe[0]["bits"] = 4096
            self.recipe[-1]["offset_bits"] = U64 - 1
        elif action == 3:
            self.recipe.append({"name": "late", "encoding": "unsigned", "bits": 8,
                                "byte_order": "big", "reverse_bits": False, "value": 1})
        elif action == 4 and self.recipe:
            self.recipe[0].clear()
        elif action == 5:
            raise Unprintable()
        return result

    def __index__(self):
        return self._hook(1)

    def __float__(self):
        return self._hook(1.0)

    def __bool__(self):
        return self._hook(True)


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class OddDict(dict):
    def __getitem__(self, key):
        raise RuntimeError("never called by the engine")


class OddBytes(bytes):
    def __len__(self):
        return 10**9

    def __getitem__(self, index):
        raise RuntimeError("never called by the engine")


def hostile_value(fdp, recipe):
    choice = fdp.ConsumeIntInRange(0, 15)
    if choice == 0:
        return fdp.ConsumeIntInRange(-(2**70), 2**70)
    if choice == 1:
        return fdp.ConsumeInt(9)
    if choice == 2:
        return fdp.ConsumeFloat()
    if choice == 3:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if choice == 4:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
    if choice == 5:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6)))
    if choice == 6:
        return [fdp.ConsumeIntInRange(-2, 300) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    if choice == 7:
        return Hostile(recipe, fdp.ConsumeIntInRange(0, 5))
    if choice == 8:
        return fdp.PickValueInList([None, True, False, (), {}, object(), 1.5, float("nan")])
    if choice == 9:
        return OddBytes(fdp.ConsumeBytes(4))
    if choice == 10:
        return fdp.PickValueInList(ALL_NAMES)
    if choice == 11:
        return fdp.PickValueInList([0, 1, 7, 8, 16, 32, 64, 65, 128, 2**32 - 1, 2**32, -1,
                                    U64 - 1, U64, 2**63])
    return fdp.ConsumeIntInRange(0, 300)


def hostile_recipe(fdp):
    recipe = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        if fdp.ConsumeProbability() < 0.05:
            recipe.append(hostile_value(fdp, recipe))
            continue
        item = OddDict() if fdp.ConsumeProbability() < 0.1 else {}
        defaults = {"name": "a", "encoding": fdp.PickValueInList(ALL_NAMES),
                    "bits": fdp.PickValueInList([0, 8, 16, 32, 64, 12, 3]),
                    "byte_order": fdp.PickValueInList(["big", "little", "BIG", "middle"]),
                    "reverse_bits": fdp.ConsumeBool(), "offset_bits": None, "value": None}
        for key, default in defaults.items():
            roll = fdp.ConsumeIntInRange(0, 9)
            if roll == 0:
                continue  # absent
            if roll == 1 or (key == "value" and roll < 8) or (key == "offset_bits" and roll < 5):
                dict.__setitem__(item, key, hostile_value(fdp, recipe))
            elif key != "offset_bits" and default is not None:
                dict.__setitem__(item, key, default)
        recipe.append(item)
    return recipe


def check_hostile(fdp):
    recipe = hostile_recipe(fdp)
    mutating = any(isinstance(v, Hostile) for item in recipe if isinstance(item, dict)
                   for v in item.values()) or any(isinstance(v, Hostile) for v in recipe)
    container = tuple(recipe) if fdp.ConsumeProbability() < 0.2 else recipe
    snapshot = [dict(item) if isinstance(item, dict) else item for item in recipe]
    try:
        packet = bitloom.pack_parameters(container)
    except ALLOWED:
        packet = None
    else:
        assert type(packet) is bytes
    if not mutating:
        assert recipe == snapshot
    if packet is None or fdp.ConsumeBool():
        packet = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 24))
        if fdp.ConsumeProbability() < 0.1:
            packet = OddBytes(packet)
    offset = fdp.PickValueInList([0, 3, 8, U64 - 1, U64 - 8, 2**63, 2**61 + 5])
    try:
        result = bitloom.unpack_parameters(packet, offset, container)
    except ALLOWED:
        return
    assert type(result) is dict
    assert all(type(key) is str for key in result)
    assert all(type(value) in (int, float, str) for value in result.values())


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        check_clean(fdp)
    else:
        check_hostile(fdp)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
