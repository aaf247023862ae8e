"""A few conversions, printed as a table."""

import bitloom

ROWS = [
    ("encode_twos_complement(-5, 8)", bitloom.encode_twos_complement(-5, 8), "pattern"),
    ("encode_ones_complement(-5, 8)", bitloom.encode_ones_complement(-5, 8), "pattern"),
    ("encode_sign_magnitude(-5, 8)", bitloom.encode_sign_magnitude(-5, 8), "pattern"),
    ("decode_twos_complement(0xFB, 8)", bitloom.decode_twos_complement(0xFB, 8), "value"),
    ("decode_sign_magnitude(0x85, 8)", bitloom.decode_sign_magnitude(0x85, 8), "value"),
]


def show(value: int, kind: str) -> str:
    if kind == "pattern":
        return f"0x{value:X}  (0b{value:b})"
    return repr(value)


def main() -> None:
    width = max(len(call) for call, _, _ in ROWS)
    print(f"{'call':<{width}}  result")
    print(f"{'-' * width}  {'-' * 24}")
    for call, value, kind in ROWS:
        print(f"{call:<{width}}  {show(value, kind)}")


if __name__ == "__main__":
    main()
