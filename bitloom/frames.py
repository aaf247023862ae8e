"""Compiled recipes: one recipe, checked once, that packs frames and reads
them back exactly, one at a time or a whole dump at once.

    >>> from bitloom.frames import FrameCodec
    >>> codec = FrameCodec([
    ...     {"name": "version", "encoding": "unsigned", "bits": 3, "byte_order": "big",
    ...      "reverse_bits": False},
    ...     {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big",
    ...      "reverse_bits": False},
    ...     {"name": "temp", "encoding": "twos_complement", "bits": 10, "byte_order": "big",
    ...      "reverse_bits": False, "value": -40},
    ... ])
    >>> frame = codec.pack({"version": 1, "apid": 0x3AB})
    >>> frame.hex()
    '2eafd8'
    >>> codec.unpack(frame)
    {'version': 1, 'apid': 939, 'temp': -40}

See docs/frames.md.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from typing import Any, NamedTuple

from bitloom._frames import Column
from bitloom._frames import FrameCodec as _NativeFrameCodec

__all__ = ["Column", "FrameCodec", "FrameField"]


class FrameField(NamedTuple):
    """A compiled field: its name, the encoding name its recipe item gave,
    its width, the bit of the frame where it starts (bit 0 is the most
    significant bit of byte 0), its byte order ("big" or "little") and
    whether its bits are reversed."""

    name: str
    encoding: str
    bits: int
    offset_bits: int
    byte_order: str
    reverse_bits: bool


class FrameCodec(_NativeFrameCodec):
    """A recipe compiled once, for packing and parsing frames.

    The recipe holds the items that pack_parameters and unpack_parameters
    take; an item's "value", if present, is the field's default for
    packing.  Every item is checked here, and a recipe that cannot pack
    frames that read back as they were packed is refused.
    """

    __slots__ = ()

    @property
    def fields(self) -> tuple[FrameField, ...]:
        """The compiled fields, in recipe order, each where it lies in the
        frame."""
        return tuple(map(FrameField._make, self._fields()))

    def iter_unpack(self, buffer: Any, *, frame_bytes: int | None = None, offset_bits: int = 0,
                    ignore_partial: bool = False) -> Iterator[dict[str, Any]]:
        """One dict per whole frame of `buffer`, like struct.iter_unpack.

        The frame count is checked before the first frame is read, with the
        rules of unpack_many."""
        with memoryview(buffer) as view:
            length = view.nbytes
        frames, frame_bytes = self._frame_count(length, frame_bytes, offset_bits, ignore_partial)
        return self._frames(buffer, frames, frame_bytes * 8, offset_bits)

    def _frames(self, buffer: Any, frames: int, frame_bits: int,
                offset_bits: int) -> Iterator[dict[str, Any]]:
        unpack = self.unpack
        for number in range(frames):
            try:
                yield unpack(buffer, number * frame_bits + offset_bits)
            except Exception as error:
                error.add_note(f"in frame {number} (byte {number * frame_bits // 8})")
                raise

    def pack_many(self, frames: Mapping[str, Iterable[Any]] | Iterable[Any]) -> bytes:
        """A dump of frames, one after the other.

        `frames` is a mapping of columns (field name to the values of every
        frame, all of one length, as unpack_many gives them), or an iterable
        of what pack takes (mappings or sequences), one per frame."""
        if isinstance(frames, Mapping):
            names = list(frames)
            columns = [list(frames[name]) for name in names]
            lengths = {len(column) for column in columns}
            if len(lengths) > 1:
                sizes = ", ".join(f"{name!r}: {len(column)}" for name, column in zip(names, columns))
                raise ValueError(f"columns of different lengths ({sizes})")
            rows: Iterable[Any] = (dict(zip(names, values)) for values in zip(*columns))
        else:
            rows = frames
        pack = self.pack
        packed = []
        for number, row in enumerate(rows):
            try:
                packed.append(pack(row))
            except Exception as error:
                error.add_note(f"in frame {number}")
                raise
        return b"".join(packed)
