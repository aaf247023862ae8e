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

import os
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, NamedTuple

from bitloom._frames import ArrayColumn, BinaryColumn, Column, ListColumn, StringColumn, _arrow_schema, _arrow_stream
from bitloom._frames import FrameCodec as _NativeFrameCodec

__all__ = ["ArrayColumn", "ArrowStream", "BinaryColumn", "Column", "FrameCodec", "FrameError", "FrameField", "Frames",
           "ListColumn", "PacketError", "PacketStream", "Packets", "StringColumn", "ccsds", "masked"]

_NATIVE_COLUMNS = (Column, StringColumn, BinaryColumn, ArrayColumn, ListColumn)


class FrameField(NamedTuple):
    """A compiled field: its name, the encoding name its recipe item gave,
    its width, the bit of the frame where it starts (bit 0 is the most
    significant bit of byte 0), its byte order ("big" or "little") and
    whether its bits are reversed.  An array is one field: `count` is its
    number of elements (an int, or the name of the field that holds it, or
    "rest"), `bits` those of one element and `offset_bits` where the first
    starts; count is None for a field of one value."""

    name: str
    encoding: str
    bits: int
    offset_bits: int
    byte_order: str
    reverse_bits: bool
    count: int | str | None = None  # type: ignore[assignment]  # named as the recipe key, over tuple.count


class FrameError(NamedTuple):
    """A field that failed to decode under errors="null"."""

    frame: int
    byte_offset: int
    field: str
    message: str


class Frames(dict[str, Any]):
    """What unpack_many returns: a dict of field name to column, in recipe
    order, that is also one Arrow record batch (``pyarrow.table(frames)``,
    ``polars.DataFrame(frames)``) and records the fields that failed to
    decode under errors="null"."""

    __slots__ = ("_failures",)

    def __init__(self, columns: Mapping[str, Any] = {}, failures: list[tuple[int, int, str, str]] | None = None,
                 /) -> None:
        super().__init__(columns)
        self._failures = [] if failures is None else failures

    @property
    def error_count(self) -> int:
        """How many fields failed to decode (each is null in its column)."""
        return len(self._failures)

    @property
    def first_error(self) -> FrameError | None:
        """The first failure in frame, then field order, or None."""
        return FrameError(*self._failures[0]) if self._failures else None

    @property
    def errors(self) -> list[FrameError]:
        """Every failure, in frame, then field order."""
        return [FrameError(*failure) for failure in self._failures]

    def __arrow_c_schema__(self) -> object:
        if not all(isinstance(column, _NATIVE_COLUMNS) for column in self.values()):
            return self._arrow_table().schema.__arrow_c_schema__()
        return _arrow_schema(tuple(self), tuple(self.values()))

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        if not all(isinstance(column, _NATIVE_COLUMNS) for column in self.values()):
            return self._arrow_table().__arrow_c_stream__(requested_schema)
        return _arrow_stream(tuple(self), tuple(self.values()))

    def _arrow_table(self) -> Any:
        # Columns made elsewhere (a Frames built by hand) go through pyarrow.
        import pyarrow
        return pyarrow.table({name: column if isinstance(column, pyarrow.Array) else pyarrow.array(column)
                              for name, column in self.items()})

    def as_arrow_stream(self) -> ArrowStream:
        """The columns as an object that has only Arrow's stream interface,
        for consumers that read any such object but take a dict for a dict of
        numpy arrays (duckdb: ``duckdb.sql("select ... from stream")``)."""
        return ArrowStream(self)

    def __reduce__(self) -> tuple[Any, ...]:
        return (Frames, (dict(self), self._failures))


class ArrowStream:
    """A Frames mapping seen only as one Arrow record batch."""

    __slots__ = ("_frames",)

    def __init__(self, frames: Frames, /) -> None:
        self._frames = frames

    def __arrow_c_schema__(self) -> object:
        return self._frames.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._frames.__arrow_c_stream__(requested_schema)


class FrameCodec(_NativeFrameCodec):
    """A recipe compiled once, for packing and parsing frames.

    The recipe holds the items that pack_parameters and unpack_parameters
    take; an item's "value", if present, is the field's default for
    packing.  Every item is checked here, and a recipe that cannot pack
    frames that read back as they were packed is refused.
    """

    __slots__ = ()

    def __new__(cls, recipe: Any, **options: Any) -> FrameCodec:
        if cls is FrameCodec and isinstance(recipe, (list, tuple)) and any(
                isinstance(item, Mapping) and isinstance(item.get("count"), str) for item in recipe):
            return _VariableFrameCodec._build(recipe, options)
        return super().__new__(cls, recipe, **options)

    @property
    def fields(self) -> tuple[FrameField, ...]:
        """The compiled fields, in recipe order, each where it lies in the
        frame."""
        return tuple(map(FrameField._make, self._fields()))

    def unpack_many(self, buffer: Any, *, frame_bytes: int | None = None, offset_bits: int = 0,
                    ignore_partial: bool = False, errors: str = "raise",
                    threads: int | None = None) -> Frames:
        """Every whole frame of `buffer` (frames of `frame_bytes` bytes, by
        default `size`) as columns: a Frames mapping of field name to Column
        (numbers of the field's native width), StringColumn or BinaryColumn.

        errors="raise" raises the first field that fails to decode;
        errors="null" makes it null in its column and records it.  threads
        (default: the calling thread alone) splits large dumps; the result is
        the same for any number."""
        columns, failures = self._unpack_many(buffer, frame_bytes=frame_bytes, offset_bits=offset_bits,
                                              ignore_partial=ignore_partial, errors=errors, threads=threads)
        return Frames(columns, failures)

    def iter_batches(self, source: Any, *, batch_frames: int = 65536, frame_bytes: int | None = None,
                     offset_bits: int = 0, ignore_partial: bool = False, errors: str = "raise",
                     threads: int | None = None) -> Iterator[Frames]:
        """unpack_many over `source` a batch of `batch_frames` frames at a
        time: `source` is a path, a binary file object or a buffer.  A file
        is read a batch at a time, so memory holds about one batch.  A
        trailing partial frame is an error at the end (naming its byte
        offset), unless ignore_partial."""
        if isinstance(batch_frames, bool) or not isinstance(batch_frames, int) or batch_frames < 1:
            raise ValueError(f"batch_frames must be a positive int, not {batch_frames!r}")
        # The checks of unpack_many, on an empty dump, before anything is read.
        _, frame_bytes = self._frame_count(0, frame_bytes, offset_bits, ignore_partial)
        decode_options = {"frame_bytes": frame_bytes, "offset_bits": offset_bits, "errors": errors,
                          "threads": threads}
        if isinstance(source, (str, os.PathLike)):
            return self._file_batches(source, None, batch_frames, frame_bytes, ignore_partial,
                                      decode_options)
        try:
            view = memoryview(source)
        except TypeError:
            if not (hasattr(source, "readinto") or hasattr(source, "read")):
                raise TypeError(f"iter_batches() takes a path, a binary file or a buffer, not "
                                f"{type(source).__name__!r}") from None
            return self._file_batches(None, source, batch_frames, frame_bytes, ignore_partial,
                                      decode_options)
        # An mmap, bytes or bytearray: batches are views of it, read in place.
        return self._buffer_batches(view.cast("B") if view.format != "B" or view.ndim != 1 else view,
                                    batch_frames, frame_bytes, ignore_partial, decode_options)

    def _buffer_batches(self, view: memoryview, batch_frames: int, frame_bytes: int,
                        ignore_partial: bool, options: dict[str, Any]) -> Iterator[Frames]:
        step = batch_frames * frame_bytes
        with view:
            whole = len(view) - len(view) % frame_bytes
            for start in range(0, whole, step):
                yield self._batch(view[start:min(start + step, whole)], start // frame_bytes, options)
            if whole != len(view) and not ignore_partial:
                self._raise_partial(len(view) - whole, whole, frame_bytes)

    def _file_batches(self, path: Any, file: Any, batch_frames: int, frame_bytes: int,
                      ignore_partial: bool, options: dict[str, Any]) -> Iterator[Frames]:
        handle = open(path, "rb", buffering=0) if file is None else file
        try:
            buffer = bytearray(batch_frames * frame_bytes)
            view = memoryview(buffer)
            first_frame = 0
            while True:
                filled = _read_fully(handle, view)
                frames = filled // frame_bytes
                if frames:
                    yield self._batch(view[:frames * frame_bytes], first_frame, options)
                    first_frame += frames
                if filled < len(view):
                    rest = filled - frames * frame_bytes
                    if rest and not ignore_partial:
                        self._raise_partial(rest, first_frame * frame_bytes, frame_bytes)
                    return
        finally:
            if file is None:
                handle.close()

    def _batch(self, view: memoryview, first_frame: int, options: dict[str, Any]) -> Frames:
        try:
            columns, failures = self._unpack_many(view, **options)
        except Exception as error:
            error.add_note(f"in the batch from frame {first_frame} (byte {first_frame * options['frame_bytes']})")
            raise
        if failures and first_frame:
            # Frame numbers and offsets count from the start of the source.
            offset = first_frame * options["frame_bytes"]
            failures = [(frame + first_frame, byte + offset, name, message)
                        for frame, byte, name, message in failures]
        return Frames(columns, failures)

    @staticmethod
    def _raise_partial(rest: int, offset: int, frame_bytes: int) -> None:
        raise ValueError(f"a partial frame of {rest} bytes at byte offset {offset} (frames are "
                         f"{frame_bytes} bytes; pass ignore_partial=True to leave it out)")

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


def _read_fully(handle: Any, view: memoryview) -> int:
    """Fills `view` from a binary file; fewer bytes only at the end of it."""
    filled = 0
    readinto = getattr(handle, "readinto", None)
    while filled < len(view):
        if readinto is not None:
            count = readinto(view[filled:])
        else:
            chunk = handle.read(len(view) - filled)
            count = len(chunk) if chunk else 0
            view[filled:filled + count] = chunk
        if not count:
            break
        filled += count
    return filled


def masked(column: Column) -> Any:
    """A numpy masked array of a numeric column: its nulls masked (numpy
    itself sees them as 0)."""
    import numpy

    values = numpy.asarray(column)
    return numpy.ma.masked_array(values, mask=numpy.frombuffer(column.null_mask(), dtype=bool))


# Packet streams build on the codec above.
from .streams import PacketError, Packets, PacketStream  # noqa: E402
from . import ccsds  # noqa: E402


# ---- arrays of variable length ----------------------------------------------------
#
# An array whose count is another field's value or "rest" makes frames of
# varying length.  Its codec is the codec of the fields around the array,
# and it reads a packet through a codec of the same recipe with that
# packet's count (an array of fixed length).


def _rebuild_codec(recipe: Any, options: dict[str, Any]) -> FrameCodec:
    return FrameCodec(recipe, **options)


class _VariableFrameCodec(FrameCodec):
    """A FrameCodec with one array whose count is another field's value or
    "rest" (as many elements as fit before the fields after it, which end
    the packet).  Its frames vary in length: it reads one packet at a time,
    or the packets of a PacketStream, and its native part holds the fields
    around the array (its size is the shortest frame).  Its names, recipe
    and pickling are the recipe's as written, not its native part's."""

    __slots__ = ("_source", "_options", "_names", "_array", "_count", "_position", "_prefix",
                 "_element_bits", "_outside_bits", "_fixed_codecs", "_items", "_element", "_count_index")
    _source: list[Any]
    _options: dict[str, Any]
    _names: tuple[str, ...]

    @property
    def names(self) -> tuple[str, ...]:
        return self._names

    @property
    def recipe(self) -> list[Any]:
        import copy
        return copy.deepcopy(self._source)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_codec, (self._source, self._options))

    @classmethod
    def _build(cls, recipe: Any, options: dict[str, Any]) -> _VariableFrameCodec:
        import copy
        source = copy.deepcopy([dict(item) if isinstance(item, Mapping) else item for item in recipe])
        variable = [i for i, item in enumerate(source)
                    if isinstance(item, dict) and isinstance(item.get("count"), str)]
        position = variable[0]
        item = source[position]
        name, count = item.get("name"), item["count"]
        where = f"recipe item {position} ({name!r})"
        if len(variable) > 1:
            raise ValueError(f"recipe item {variable[1]} ({source[variable[1]].get('name')!r}): a recipe "
                             f"has at most one array of variable length")
        earlier = [entry.get("name") for entry in source[:position] if isinstance(entry, dict)]
        if count != "rest" and count not in earlier:
            raise ValueError(f"{where}: count must be an int, 'rest' or the name of an earlier field, "
                             f"not {count!r}")
        if count != "rest" and "count" in source[earlier.index(count)]:
            raise ValueError(f"{where}: the count field {count!r} is an array")
        if any(isinstance(entry, dict) and "offset_bits" in entry for entry in source):
            raise ValueError(f"{where}: a recipe with an array of variable length places its fields one "
                             f"after the other (no offset_bits)")
        if "value" in item:
            raise ValueError(f"{where}: an array of variable length has no default value")
        outside = source[:position] + source[position + 1:]
        self = _NativeFrameCodec.__new__(cls, outside, **options)  # type: ignore[arg-type]
        self._array = name
        self._count = count
        self._position = position
        self._items = source
        self._prefix = FrameCodec(source[:position]) if count != "rest" else None
        self._element_bits = item.get("bits")
        outside_fields = self._fields()  # the fields around the array
        if isinstance(self._element_bits, int) and self._element_bits % 8 and any(
                f[4] == "little_lsb0" for f in outside_fields[position:]):
            # Such a field numbers the bits of the packet's bytes, which an
            # array of this element width moves by a part of a byte.
            raise ValueError(f"{where}: fields after an array of {self._element_bits}-bit elements cannot "
                             f"take byte_order 'little_lsb0' (the array would end inside a byte)")
        self._outside_bits = [sum(f[2] * (f[6] or 1) for f in outside_fields[:position]),
                              sum(f[2] * (f[6] or 1) for f in outside_fields[position:])]
        self._fixed_codecs: dict[int, FrameCodec] = {}
        self._source = source
        self._options = dict(options)
        self._names = tuple(entry.get("name") for entry in source)
        self._fixed(1)  # checks the element
        element = {key: value for key, value in item.items() if key not in ("count", "value")}
        self._element = _NativeFrameCodec([element], **options)
        if self._element._fields()[0][2] == 0:
            raise ValueError(f"{where}: the elements of an array of variable length have at least one bit")
        self._count_index = -1 if count == "rest" else earlier.index(count)
        if count != "rest":
            alone = FrameCodec([source[self._count_index]], **options)
            counter = alone.unpack_many(b"", frame_bytes=max(alone.size, 1))[count]
            if not (isinstance(counter, Column) and counter.type.startswith("uint")):
                raise ValueError(f"{where}: the count field {count!r} is not an unsigned field")
        return self

    @property
    def fields(self) -> tuple[FrameField, ...]:
        """The fields in recipe order; the array is one field whose count is
        the name of its count field or "rest", and the fields after it lie
        where they do when the array is empty."""
        outside = list(super().fields)
        element = self._fixed(1).fields[self._position]
        return tuple(outside[:self._position] + [element._replace(count=self._count)] + outside[self._position:])

    def _fixed(self, count: int) -> FrameCodec:
        codec = self._fixed_codecs.get(count)
        if codec is None:
            items = [dict(entry) for entry in self._items]
            if count:
                items[self._position]["count"] = count
            else:
                del items[self._position]
            codec = FrameCodec(items, **self._options)
            if len(self._fixed_codecs) < 4096:
                self._fixed_codecs[count] = codec
        return codec

    def _count_of(self, buffer: Any, offset_bits: int, length_bytes: int) -> int:
        if self._count == "rest":
            room = length_bytes * 8 - offset_bits - self._outside_bits[0] - self._outside_bits[1]
            if room < 0:
                raise ValueError(f"a packet of {length_bytes} bytes is shorter than the fields around "
                                 f"array {self._array!r}")
            if room % self._element_bits:
                raise ValueError(f"a packet of {length_bytes} bytes leaves {room} bits for array "
                                 f"{self._array!r}, not a whole number of {self._element_bits}-bit elements")
            return room // self._element_bits
        assert self._prefix is not None
        count = self._prefix.unpack(buffer, offset_bits)[self._count]
        if not isinstance(count, int) or count < 0:
            raise ValueError(f"array {self._array!r} takes its count from field {self._count!r}, which "
                             f"holds {count!r}")
        room = length_bytes * 8 - offset_bits - self._outside_bits[0] - self._outside_bits[1]
        if room < 0:
            raise ValueError(f"a packet of {length_bytes} bytes is shorter than the fields around "
                             f"array {self._array!r}")
        if count > room // self._element_bits:
            # Before a codec of `count` elements is made: a hostile count
            # must not cost memory.
            raise ValueError(f"array {self._array!r} has {count} elements by its count field, which pass "
                             f"the end of the {length_bytes}-byte packet")
        return count

    def _order(self, values: dict[str, Any], count: int) -> dict[str, Any]:
        if count == 0:
            values[self._array] = []
        return {name: values[name] for name in self._names}

    def unpack(self, buffer: Any, offset_bits: int = 0) -> dict[str, Any]:  # type: ignore[override]
        with memoryview(buffer) as view:
            length = view.nbytes
        count = self._count_of(buffer, offset_bits, length)
        return self._order(self._fixed(count).unpack(buffer, offset_bits), count)

    def unpack_tuple(self, buffer: Any, offset_bits: int = 0) -> tuple[Any, ...]:  # type: ignore[override]
        return tuple(self.unpack(buffer, offset_bits).values())

    def pack(self, values: Any) -> bytes:  # type: ignore[override]
        if not isinstance(values, Mapping):
            values = list(values)
            if len(values) != len(self._names):
                raise ValueError(f"pack takes {len(self._names)} values, one per recipe item, "
                                 f"not {len(values)}")
            values = dict(zip(self._names, values))
        values = dict(values)
        sequence = values.get(self._array)
        if isinstance(sequence, (str, bytes, Mapping)) or not isinstance(sequence, Iterable):
            raise TypeError(f"field {self._array!r} is an array: it takes a sequence of values, "
                            f"not {type(sequence).__name__!r}")
        sequence = list(sequence)
        values[self._array] = sequence
        if self._count != "rest":
            given = values.setdefault(self._count, len(sequence))
            if given != len(sequence):
                raise ValueError(f"field {self._count!r} is {given!r}, but array {self._array!r} has "
                                 f"{len(sequence)} values")
        if not sequence:
            del values[self._array]
        return self._fixed(len(sequence)).pack(values)

    def _unpack_many(self, buffer: Any, **options: Any) -> Any:  # type: ignore[override]
        with memoryview(buffer) as view:
            if not view.nbytes:
                # No frames: the columns' types, whatever the frames' lengths.
                return self._decode_packets(b"", [], []), []
        raise ValueError(f"the frames of this codec vary in length (array {self._array!r} has count "
                         f"{self._count!r}), so a dump cannot be cut into frames by size: decode a stream "
                         f"of them with a PacketStream, or one at a time with unpack")

    def iter_unpack(self, buffer: Any, **options: Any) -> Iterator[dict[str, Any]]:  # type: ignore[override]
        self._unpack_many(buffer)
        raise AssertionError  # pragma: no cover

    def _decode_packets(self, source: Any, where: list[int] | bytes, sizes: list[int] | bytes) -> dict[str, Any]:
        """The packets at byte `where[i]` of `source`, `sizes[i]` bytes
        each (lists, or bytes of native uint64s), as columns in packet
        order: the array a ListColumn.  A packet that does not hold its
        array raises ValueError naming its offset."""
        import array
        if not isinstance(where, bytes):
            where = array.array("Q", where).tobytes()
        if not isinstance(sizes, bytes):
            sizes = array.array("Q", sizes).tobytes()
        columns: dict[str, Any] = self._unpack_packets(
            source, where, sizes, self._element,
            self._position, self._count_index, self._outside_bits[0], self._outside_bits[1], self._array)
        return columns
