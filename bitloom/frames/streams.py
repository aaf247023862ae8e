"""Packet streams: packets of several kinds one after the other, each framed
by a length field in its header and sent to the codec of its key (the APID
of CCSDS packets).

The scan that frames the packets and gathers those of each key runs in the
native module without the interpreter lock; each key's packets are then
one dump that its FrameCodec decodes with unpack_many.
"""

from __future__ import annotations

import array
import itertools
import os
from collections.abc import Iterator, Mapping
from typing import Any, NamedTuple

from bitloom._frames import _scan_packets  # type: ignore[import-not-found]

from . import FrameCodec, Frames


class PacketError(NamedTuple):
    """A packet that could not be framed or decoded."""

    byte_offset: int  # of the packet, from the start of the stream
    key: int | None  # None where the packet could not be framed
    field: str | None  # the field that failed to decode, if any
    message: str


class Packets(dict[int, Frames]):
    """PacketStream.unpack_many's result: key to the Frames of its packets,
    in the order keys first appear.

    unknown_count counts the packets of keys without a codec that were
    skipped; with unknown="keep", raw holds them instead (key to a list of
    packets).  errors lists the packets that could not be framed or
    decoded, with errors="null"."""

    def __init__(self, frames: Mapping[int, Frames] = {}, errors: list[PacketError] | None = None,
                 unknown_count: int = 0, raw: dict[int, list[bytes]] | None = None) -> None:
        super().__init__(frames)
        self._errors = list(errors or [])
        self.unknown_count = unknown_count
        self.raw = raw if raw is not None else {}

    @property
    def error_count(self) -> int:
        return len(self._errors)

    @property
    def first_error(self) -> PacketError | None:
        return self._errors[0] if self._errors else None

    @property
    def errors(self) -> list[PacketError]:
        return list(self._errors)

    def __reduce__(self) -> tuple[Any, ...]:
        return (Packets, (dict(self), self._errors, self.unknown_count, self.raw))


def _codec(codec: Any, what: str) -> FrameCodec:
    if isinstance(codec, FrameCodec):
        return codec
    if isinstance(codec, (list, tuple)):
        return FrameCodec(codec)
    raise TypeError(f"{what} must be a FrameCodec or a recipe, not {type(codec).__name__!r}")


def _field_index(header: FrameCodec, name: str, role: str) -> int:
    if name not in header.names:
        raise ValueError(f"the {role} field {name!r} is not a field of the header "
                         f"(its fields: {', '.join(header.names)})")
    return header.names.index(name)


def _offsets_after(first: int, sizes_bytes: bytes | None, uniform: int, count: int) -> bytes:
    """The offsets of packets that lie one after the other from `first`."""
    if sizes_bytes is None:
        return array.array("Q", range(first, first + count * uniform, uniform)).tobytes()
    offsets = array.array("Q", itertools.accumulate(memoryview(sizes_bytes).cast("Q"), initial=first))
    offsets.pop()
    return offsets.tobytes()


class PacketStream:
    """Packets one after the other, each starting with `header`.

    A packet's total bytes are the value of its header field `length_field`
    plus `length_add` (CCSDS: the packet data length + 7).  Its header field
    `key_field` picks the codec in `codecs` (key to FrameCodec or recipe)
    that reads the whole packet, header included.  Packets of other keys
    are skipped and counted (unknown="skip") or kept as raw packets
    (unknown="keep").  `expect` maps header fields to the values every
    packet holds (CCSDS: version 0): a packet without them is not framed.
    """

    def __init__(self, header: Any, *, length_field: str, key_field: str,
                 codecs: Mapping[int, Any], length_add: int = 0, unknown: str = "skip",
                 expect: Mapping[str, int] | None = None) -> None:
        if unknown not in ("skip", "keep"):
            raise ValueError(f"unknown must be 'skip' or 'keep', not {unknown!r}")
        self.header = _codec(header, "header")
        if self.header.size == 0:
            raise ValueError("the header has no bytes")
        self.length_field = length_field
        self.key_field = key_field
        self.length_add = int(length_add)
        self.unknown = unknown
        self.expect = dict(expect or {})
        self.codecs = {int(key): _codec(codec, f"the codec of key {key!r}") for key, codec in codecs.items()}
        self._length_index = _field_index(self.header, length_field, "length")
        self._key_index = _field_index(self.header, key_field, "key")
        self._expected = tuple((_field_index(self.header, name, "expected"), int(value))
                               for name, value in self.expect.items())
        for key, codec in self.codecs.items():
            if codec.size < self.header.size:
                raise ValueError(f"the codec of key {key} reads {codec.size} bytes, fewer than the "
                                 f"{self.header.size}-byte header")
        # An empty scan checks the fields' types once, here.
        self._scan(b"", skip=False, at_end=True)

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.codecs))
        return (f"<PacketStream by {self.key_field!r}, length {self.length_field!r} + {self.length_add}, "
                f"keys {keys}>")

    def _scan(self, data: Any, *, skip: bool, at_end: bool, keep_all: bool = False,
              gather: bool = True) -> tuple[Any, ...]:
        known = None if keep_all else tuple(self.codecs)
        scanned: tuple[Any, ...] = _scan_packets(self.header, data, self._length_index, self.length_add, self._key_index,
                             self.header.size, self._expected, known, skip, at_end,
                             keep_all or self.unknown == "keep", gather)
        return scanned

    # ---- messages --------------------------------------------------------

    def _problem_message(self, offset: int, problem: str, size: int, expected_index: int, found: int,
                         data_length: int, base: int = 0) -> str:
        """The message of a packet that cannot be framed at `offset` of data
        of `data_length` bytes that start at byte `base` of the stream."""
        at = base + offset
        if problem == "partial_header":
            return (f"a partial packet header of {data_length - offset} bytes at byte offset "
                    f"{at} (headers are {self.header.size} bytes)")
        if problem == "past_end":
            return (f"the packet at byte offset {at} runs past the end of the data: its "
                    f"{self.length_field!r} gives {size} bytes, {data_length - offset} are left")
        if problem == "impossible_length":
            return (f"the packet at byte offset {at} has an impossible length: its "
                    f"{self.length_field!r} gives {size} bytes, fewer than its "
                    f"{self.header.size}-byte header")
        name = self.header.names[self._expected[expected_index][0]]
        return (f"the bytes at byte offset {at} are not a packet: header field {name!r} holds "
                f"{found}, not {self._expected[expected_index][1]}")

    # ---- decoding --------------------------------------------------------

    def _decode(self, data: Any, base: int, *, at_end: bool, errors: str,
                threads: int | None) -> tuple[Packets, int]:
        if errors not in ("raise", "null"):
            raise ValueError(f"errors must be 'raise' or 'null', not {errors!r}")
        if type(data) is not bytes:
            # Read once: the scan and the decoders read the same bytes.
            data = bytes(data)
        groups, problems, consumed, unknown_count = self._scan(data, skip=errors == "null", at_end=at_end,
                                                               gather=False)
        length = len(data)
        found: list[PacketError] = []
        for offset, problem, size, expected_index, value, resumed in problems:
            message = self._problem_message(offset, problem, size, expected_index, value, length, base)
            if resumed < length:
                message += f"; framing resumed at byte offset {base + resumed}"
            found.append(PacketError(base + offset, None, None, message))
        result: dict[int, Frames] = {}
        raw: dict[int, list[bytes]] = {}
        for key, (packed, offsets_bytes, sizes_bytes, uniform, first, count) in groups.items():
            codec = self.codecs.get(key)
            if codec is None:
                pieces, position = [], 0
                for size in memoryview(sizes_bytes).cast("Q"):
                    pieces.append(packed[position:position + size])
                    position += size
                raw[key] = pieces
                continue
            # Where each packet lies in the stream, and in what the codec reads:
            # the key's packets gathered, or the stream where they lie one
            # after the other.
            if offsets_bytes is None:
                # All alike, one after the other.
                offsets: Any = range(first, first + count * uniform, uniform)
            else:
                offsets = memoryview(offsets_bytes).cast("Q")
            start: int | None
            if packed is not None:
                source, start = packed, None
            elif offsets_bytes is None:
                # A stream that is this key's packets (and perhaps a piece of
                # one cut by the end of a batch) is read in place.
                whole = first == 0 and 0 <= len(data) - count * uniform < uniform
                source, start = (data if whole else memoryview(data)[first:]), first
            else:
                source, start = data, 0  # scattered: read by offset
            decode_packets = getattr(codec, "_decode_packets", None)
            if decode_packets is not None:
                # A codec whose packets vary in length (an array of variable
                # length): where each lies in `source`, as native uint64s.
                sizes_of: bytes = (sizes_bytes if sizes_bytes is not None
                                   else array.array("Q", [uniform]).tobytes() * count)
                starts_of = (offsets_bytes if offsets_bytes is not None and packed is None
                             else _offsets_after(0, sizes_of, 0, count))
                try:
                    columns = decode_packets(source, starts_of, sizes_of)
                except ValueError:
                    sizes: list[int] = list(memoryview(sizes_of).cast("Q"))
                    starts: list[int] = list(memoryview(starts_of).cast("Q"))
                    # Find the packets that fail, one at a time: under
                    # errors="null" they are reported and left out.
                    kept_starts, kept_sizes = [], []
                    for offset, begin, size in zip(offsets, starts, sizes):
                        try:
                            codec.unpack(memoryview(source)[begin:begin + size])
                        except ValueError as error:
                            found.append(PacketError(base + offset, key, None,
                                                     f"packet at byte offset {base + offset} (key {key}): {error}"))
                        else:
                            kept_starts.append(begin)
                            kept_sizes.append(size)
                    columns = decode_packets(source, kept_starts, kept_sizes)
                result[key] = Frames(columns, [])
                continue
            if uniform == codec.size and offsets_bytes is not None and packed is None:
                columns, failures = codec._unpack_many(data, frame_bytes=uniform, errors="null", threads=threads,
                                                       frame_offsets=offsets_bytes)
            elif uniform == codec.size:
                # One after the other, all alike: read as a dump.  The piece
                # after the stream's last packet (shorter than a packet) is
                # left out.
                piece = source is data and len(data) != count * uniform
                if not piece and len(source) != count * uniform:
                    source = memoryview(source)[:count * uniform]
                columns, failures = codec._unpack_many(source, frame_bytes=uniform, ignore_partial=piece,
                                                       errors="null", threads=threads)
            else:
                kept, where = self._keep_fitting(key, codec, offsets, sizes_bytes, uniform, start, base, found)
                columns, failures = codec._unpack_many(source, frame_bytes=codec.size, errors="null",
                                                       threads=threads, frame_offsets=where)
                offsets = kept
            if failures:
                failures = [(frame, base + offsets[frame], name, message) for frame, _, name, message in failures]
                found.extend(PacketError(offset, key, name, f"packet at byte offset {offset} (key {key}), "
                                                            f"field {name!r}: {message}")
                             for _, offset, name, message in failures)
            result[key] = Frames(columns, failures)
        found.sort(key=lambda error: error.byte_offset)
        if found and errors == "raise":
            # The first in the stream: the scan stopped at its first problem,
            # and each key's packets before it were checked and decoded.
            raise ValueError(found[0].message)
        return Packets(result, found, unknown_count, raw), consumed

    def _keep_fitting(self, key: int, codec: FrameCodec, offsets: Any, sizes_bytes: bytes | None, uniform: int,
                      start: int | None, base: int, found: list[PacketError]) -> tuple[list[int], bytes]:
        """The packets of a key that are as long as its codec reads: their
        offsets in the stream, and where they lie in what the codec reads
        (the stream from `start`, or, where start is None, the key's packets
        gathered one after the other).  The others are errors."""
        sizes: Any = memoryview(sizes_bytes).cast("Q") if sizes_bytes is not None else [uniform] * len(offsets)
        kept: list[int] = []
        where = array.array("Q")
        position = 0
        for offset, size in zip(offsets, sizes):
            if size == codec.size:
                kept.append(offset)
                where.append(position if start is None else offset - start)
            else:
                found.append(PacketError(base + offset, key, None,
                                         f"the packet at byte offset {base + offset} (key {key}) is {size} bytes, "
                                         f"but the codec of key {key} reads packets of {codec.size} bytes"))
            position += size
        return kept, where.tobytes()

    def unpack_many(self, buffer: Any, *, errors: str = "raise", threads: int | None = None) -> Packets:
        """Every packet of `buffer`, decoded by its key's codec: a Packets
        mapping of key to Frames.

        errors="raise" raises the first packet, in stream order, that
        cannot be framed (it runs past the end of the data, its length is
        impossible) or decoded, naming its byte offset; errors="null" records it, skips
        it, and keeps every packet before and after it."""
        return self._decode(buffer, 0, at_end=True, errors=errors, threads=threads)[0]

    def iter_batches(self, source: Any, *, batch_bytes: int = 1 << 24, errors: str = "raise",
                     threads: int | None = None) -> Iterator[Packets]:
        """unpack_many over `source` (a path, a binary file object or a
        buffer) about `batch_bytes` at a time; a packet cut by a batch's end
        is decoded with the next.  Byte offsets count from the start of the
        source."""
        if isinstance(batch_bytes, bool) or not isinstance(batch_bytes, int) or batch_bytes < 1:
            raise ValueError(f"batch_bytes must be a positive int, not {batch_bytes!r}")
        if errors not in ("raise", "null"):
            raise ValueError(f"errors must be 'raise' or 'null', not {errors!r}")
        return self._batches(self._pieces(source, batch_bytes), errors, threads)

    def _batches(self, pieces: Iterator[tuple[bytes, bool]], errors: str,
                 threads: int | None) -> Iterator[Packets]:
        base = 0
        pending = b""
        for piece, at_end in pieces:
            data = pending + piece if pending else piece
            packets, consumed = self._decode(data, base, at_end=at_end, errors=errors, threads=threads)
            pending = data[consumed:]
            base += consumed
            if packets or packets.unknown_count or packets.errors or packets.raw:
                yield packets

    @staticmethod
    def _pieces(source: Any, batch_bytes: int) -> Iterator[tuple[bytes, bool]]:
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as handle:
                yield from PacketStream._file_pieces(handle, batch_bytes)
            return
        if hasattr(source, "read") and not isinstance(source, (bytes, bytearray, memoryview)):
            yield from PacketStream._file_pieces(source, batch_bytes)
            return
        data = bytes(source)
        if not data:
            yield b"", True
        for start in range(0, len(data), batch_bytes):
            yield data[start:start + batch_bytes], start + batch_bytes >= len(data)

    @staticmethod
    def _file_pieces(handle: Any, batch_bytes: int) -> Iterator[tuple[bytes, bool]]:
        piece = handle.read(batch_bytes)
        while True:
            following = handle.read(batch_bytes) if piece else b""
            yield bytes(piece or b""), not following
            if not following:
                return
            piece = following

    def iter_split(self, source: Any, *, batch_bytes: int = 1 << 24) -> Iterator[dict[int, bytes]]:
        """split over `source` (a path, a binary file object or a buffer)
        about `batch_bytes` at a time: for each batch, every key's raw
        packets one after the other."""
        if isinstance(batch_bytes, bool) or not isinstance(batch_bytes, int) or batch_bytes < 1:
            raise ValueError(f"batch_bytes must be a positive int, not {batch_bytes!r}")
        base = 0
        pending = b""
        for piece, at_end in self._pieces(source, batch_bytes):
            data = pending + piece if pending else piece
            groups, problems, consumed, _ = self._scan(data, skip=False, at_end=at_end, keep_all=True)
            if problems:
                offset, problem, size, expected_index, value, _ = problems[0]
                raise ValueError(self._problem_message(offset, problem, size, expected_index, value, len(data),
                                                       base))
            pending = data[consumed:]
            base += consumed
            if groups:
                yield {key: entry[0] for key, entry in groups.items()}

    def split(self, buffer: Any) -> dict[int, bytes]:
        """The raw packets of every key, each key's one after the other,
        like ccsdspy's split_by_apid; a packet that cannot be framed is an
        error."""
        groups, problems, _, _ = self._scan(buffer, skip=False, at_end=True, keep_all=True)
        if problems:
            offset, problem, size, expected_index, value, _ = problems[0]
            raise ValueError(self._problem_message(offset, problem, size, expected_index, value, len(buffer)))
        return {key: entry[0] for key, entry in groups.items()}
