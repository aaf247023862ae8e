# Type information for bitloom.frames.

from collections.abc import Buffer, Iterable, Iterator, Mapping, Sequence
from typing import (
    Any,
    Literal,
    NotRequired,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    overload,
    type_check_only,
)

from bitloom import ByteOrder, PackingEncoding, UnpackingEncoding

__all__ = ["Column", "FrameCodec"]

@type_check_only
class FrameItem(TypedDict):
    """One field of a FrameCodec recipe: an item of pack_parameters or of
    unpack_parameters, with the encoding names of either table and an
    optional "value" (the field's default for packing).  Only for type
    checking, like bitloom.PackingItem."""

    name: str
    encoding: PackingEncoding | UnpackingEncoding
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    # The bit position from the start of the frame; absent: after the
    # previous field.
    offset_bits: NotRequired[int]
    value: NotRequired[int | float | str | bytes | bytearray | Sequence[int]]

# A recipe item as a FrameItem, or any mapping, for recipes kept in plain
# variables or made by a helper function (the codec checks every item when
# it is made).
_RecipeItem: TypeAlias = FrameItem | Mapping[str, Any]

# A frame as unpack returns it: an int, float, str or bytes per field (by
# the field's encoding), typed Any like struct.unpack's results, so that a
# value is used without narrowing it first.
_Fields: TypeAlias = dict[str, Any]
# unpack_many's columns: a Column for a numeric field, a list of str for a
# text field and a list of bytes for a "binary" one; typed Any for the same
# reason.
_Columns: TypeAlias = dict[str, Any]

@final
class Column(Sequence[int | float]):
    """One numeric field of many frames: a read-only int64 ('q'), uint64 ('Q')
    or float64 ('d') array that exports the buffer protocol."""

    @property
    def format(self) -> Literal["q", "Q", "d"]: ...
    def tolist(self) -> list[int] | list[float]: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int, /) -> int | float: ...
    @overload
    def __getitem__(self, index: slice, /) -> Sequence[int | float]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

class FrameCodec:
    """A recipe compiled once, for packing and parsing frames."""

    def __new__(cls, recipe: Sequence[_RecipeItem]) -> FrameCodec: ...
    @property
    def size(self) -> int: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def recipe(self) -> list[dict[str, Any]]: ...
    def pack(self, values: Mapping[str, Any] | Sequence[Any], /) -> bytes: ...
    def unpack(self, buffer: Buffer, offset_bits: SupportsIndex = 0) -> _Fields: ...
    def unpack_many(self, buffer: Buffer, *, frame_bytes: SupportsIndex | None = None,
                    offset_bits: SupportsIndex = 0,
                    ignore_partial: bool = False) -> _Columns: ...
    def iter_unpack(self, buffer: Buffer, *, frame_bytes: int | None = None, offset_bits: int = 0,
                    ignore_partial: bool = False) -> Iterator[_Fields]: ...
    def pack_many(self, frames: Mapping[str, Iterable[Any]] | Iterable[Any]) -> bytes: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __copy__(self) -> FrameCodec: ...
    def __deepcopy__(self, memo: object, /) -> FrameCodec: ...
    __hash__: None  # type: ignore[assignment]
