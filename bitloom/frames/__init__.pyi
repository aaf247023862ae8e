# Type information for bitloom.frames.

from collections.abc import Buffer, Iterable, Iterator, Mapping, Sequence
from os import PathLike
from typing import (
    Any,
    Literal,
    NamedTuple,
    NotRequired,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    overload,
    type_check_only,
)

from bitloom import ByteOrder, PackingEncoding, UnpackingEncoding

from . import ccsds as ccsds
from .streams import PacketError as PacketError, PacketStream as PacketStream, Packets as Packets

__all__ = ["ArrayColumn", "ArrowStream", "BinaryColumn", "Column", "FrameCodec", "FrameError", "FrameField", "Frames",
           "ListColumn", "PacketError", "PacketStream", "Packets", "StringColumn", "ccsds", "masked"]

@type_check_only
class FrameItem(TypedDict):
    """One field of a FrameCodec recipe: an item of pack_parameters or of
    unpack_parameters, with the encoding names of either table and an
    optional "value" (the field's default for packing).  Only for type
    checking, like bitloom.PackingItem."""

    name: str
    encoding: PackingEncoding | UnpackingEncoding
    bits: int
    # Also a permutation of the field's bytes such as "3412" (a str the
    # type does not list).
    byte_order: ByteOrder | Literal["lsb_first", "little_lsb0"]
    reverse_bits: bool
    # The bit position from the start of the frame (of a "little_lsb0"
    # field: 8 * byte + bit, bit 0 the byte's least significant); absent:
    # after the previous field.
    offset_bits: NotRequired[int]
    value: NotRequired[int | float | str | bytes | bytearray | Sequence[Any]]
    # An array of this many elements, each the field the other keys describe:
    # an int, the name of an earlier unsigned field, or "rest".
    count: NotRequired[int | str]

# A recipe item as a FrameItem, or any mapping, for recipes kept in plain
# variables or made by a helper function (the codec checks every item when
# it is made).
_RecipeItem: TypeAlias = FrameItem | Mapping[str, Any]

# A frame as unpack returns it: an int, float, str or bytes per field (by
# the field's encoding), typed Any like struct.unpack's results, so that a
# value is used without narrowing it first.
_Fields: TypeAlias = dict[str, Any]
_NumericType = Literal["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                       "float32", "float64"]

class _ColumnBase:
    @property
    def null_count(self) -> int: ...
    def null_mask(self) -> bytes: ...
    def __len__(self) -> int: ...
    def __array__(self, dtype: Any = None, copy: bool | None = None) -> Any: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class Column(_ColumnBase):
    """One numeric field of many frames: a read-only array of one native type
    that exports the buffer protocol and Arrow's PyCapsule interface."""

    @property
    def type(self) -> _NumericType: ...
    @property
    def format(self) -> str: ...
    def tolist(self) -> list[int | None] | list[float | None]: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> int | float | None: ...
    @overload
    def __getitem__(self, index: slice, /) -> Column: ...
    def __iter__(self) -> Iterator[int | float | None]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class StringColumn(_ColumnBase):
    """One text field of many frames, UTF-8 in Arrow's layout."""

    @property
    def type(self) -> Literal["string"]: ...
    def tolist(self) -> list[str | None]: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> str | None: ...
    @overload
    def __getitem__(self, index: slice, /) -> StringColumn: ...
    def __iter__(self) -> Iterator[str | None]: ...

@final
class BinaryColumn(_ColumnBase):
    """One raw-bytes field of many frames, in Arrow's layout."""

    @property
    def type(self) -> Literal["binary"]: ...
    def tolist(self) -> list[bytes | None]: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> bytes | None: ...
    @overload
    def __getitem__(self, index: slice, /) -> BinaryColumn: ...
    def __iter__(self) -> Iterator[bytes | None]: ...

_AnyColumn = Column | StringColumn | BinaryColumn | ArrayColumn | ListColumn

class FrameField(NamedTuple):
    name: str
    encoding: str
    bits: int
    offset_bits: int
    byte_order: str
    reverse_bits: bool
    count: int | str | None = None  # type: ignore[assignment]  # named as the recipe key, over tuple.count

class FrameError(NamedTuple):
    frame: int
    byte_offset: int
    field: str
    message: str

# A column is typed Any here, like unpack's values: which class a name holds
# (Column for a numeric field, StringColumn for text, BinaryColumn for
# "binary") depends on the recipe, and a value used as what it is needs no
# narrowing; annotate it (`column: Column = frames["apid"]`) for the
# column's own types.
class Frames(dict[str, Any]):
    """unpack_many's result: field name to column, and one Arrow record batch."""

    def __init__(self, columns: Mapping[str, _AnyColumn] = ...,
                 failures: list[tuple[int, int, str, str]] | None = None, /) -> None: ...
    @property
    def error_count(self) -> int: ...
    @property
    def first_error(self) -> FrameError | None: ...
    @property
    def errors(self) -> list[FrameError]: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def as_arrow_stream(self) -> ArrowStream: ...

@final
class ArrayColumn(_ColumnBase):
    """An array field of many frames: frames x count numbers of one native
    type, row after row in one buffer (a 2-D array to the buffer protocol,
    a fixed-size list to Arrow); an item is a frame's list, None where it
    failed to decode."""

    @property
    def type(self) -> _NumericType: ...
    @property
    def format(self) -> str: ...
    @property
    def count(self) -> int: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    def tolist(self) -> list[list[Any] | None]: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> list[Any] | None: ...
    @overload
    def __getitem__(self, index: slice, /) -> ArrayColumn: ...
    def __iter__(self) -> Iterator[list[Any] | None]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class ListColumn(_ColumnBase):
    """An array field whose length varies, over many packets: Arrow's list
    layout (int32 offsets and one buffer of values)."""

    @property
    def type(self) -> _NumericType: ...
    def tolist(self) -> list[list[Any] | None]: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> list[Any] | None: ...
    @overload
    def __getitem__(self, index: slice, /) -> ListColumn: ...
    def __iter__(self) -> Iterator[list[Any] | None]: ...

class ArrowStream:
    """A Frames mapping seen only as one Arrow record batch."""

    def __init__(self, frames: Frames, /) -> None: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

class FrameCodec:
    """A recipe compiled once, for packing and parsing frames."""

    def __new__(cls, recipe: Sequence[_RecipeItem], *,
                text_padding: Literal["keep", "strip"] = "keep", read_only: bool = False) -> FrameCodec: ...
    @property
    def size(self) -> int: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def recipe(self) -> list[dict[str, Any]]: ...
    @property
    def text_padding(self) -> Literal["keep", "strip"]: ...
    @property
    def read_only(self) -> bool: ...
    @property
    def fields(self) -> tuple[FrameField, ...]: ...
    def pack(self, values: Mapping[str, Any] | Sequence[Any], /) -> bytes: ...
    def unpack(self, buffer: Buffer, offset_bits: SupportsIndex = 0) -> _Fields: ...
    def unpack_tuple(self, buffer: Buffer, offset_bits: SupportsIndex = 0) -> tuple[Any, ...]: ...
    def unpack_many(self, buffer: Buffer, *, frame_bytes: SupportsIndex | None = None,
                    offset_bits: SupportsIndex = 0, ignore_partial: bool = False,
                    errors: Literal["raise", "null"] = "raise", threads: int | None = None) -> Frames: ...
    def _unpack_many(self, buffer: Buffer, *, frame_bytes: SupportsIndex | None = None,
                     offset_bits: SupportsIndex = 0, ignore_partial: bool = False,
                     errors: Literal["raise", "null"] = "raise", threads: int | None = None,
                     frame_offsets: bytes | None = None) -> tuple[dict[str, _AnyColumn], list[tuple[int, int, str, str]]]: ...
    def iter_batches(self, source: str | PathLike[str] | Buffer | Any, *, batch_frames: int = 65536,
                     frame_bytes: int | None = None, offset_bits: int = 0,
                     ignore_partial: bool = False, errors: Literal["raise", "null"] = "raise",
                     threads: int | None = None) -> Iterator[Frames]: ...
    def iter_unpack(self, buffer: Buffer, *, frame_bytes: int | None = None, offset_bits: int = 0,
                    ignore_partial: bool = False) -> Iterator[_Fields]: ...
    def pack_many(self, frames: Mapping[str, Iterable[Any]] | Iterable[Any]) -> bytes: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __copy__(self) -> FrameCodec: ...
    def __deepcopy__(self, memo: object, /) -> FrameCodec: ...
    __hash__: None  # type: ignore[assignment]

def masked(column: Column) -> Any: ...
