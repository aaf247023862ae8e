"""CCSDS space packets: the primary header as a recipe, and the usual
stream of packets keyed by APID.

    >>> from bitloom.frames import ccsds
    >>> [item["name"] for item in ccsds.PRIMARY_HEADER]
    ['version', 'type', 'secondary_header', 'apid', 'sequence_flags', 'sequence_count', 'packet_length']

See docs/frames.md.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from . import FrameCodec
from .streams import PacketStream


def _unsigned(name: str, bits: int) -> dict[str, Any]:
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False}


# The six bytes that start every space packet.  A packet's total length is
# its packet_length + 7 (the field counts the data field's bytes, minus one).
PRIMARY_HEADER: list[dict[str, Any]] = [
    {**_unsigned("version", 3), "value": 0},
    _unsigned("type", 1),
    _unsigned("secondary_header", 1),
    _unsigned("apid", 11),
    {**_unsigned("sequence_flags", 2), "value": 3},
    _unsigned("sequence_count", 14),
    _unsigned("packet_length", 16),
]

# Bytes a packet has beyond its packet_length field's value.
LENGTH_ADD = 7


def packet_codec(body: Sequence[Mapping[str, Any]], **options: Any) -> FrameCodec:
    """A codec of whole packets: the primary header, then `body` (the
    secondary header and user data, whose items without "offset_bits" follow
    the header)."""
    items: list[Any] = [dict(item) for item in PRIMARY_HEADER] + [dict(item) for item in body]
    return FrameCodec(items, **options)


def stream(codecs: Mapping[int, Any], *, unknown: str = "skip") -> PacketStream:
    """The usual CCSDS packet stream: packets keyed by APID, each `packet_length`
    + 7 bytes, version 0.  `codecs` maps APIDs to codecs of whole packets
    (packet_codec makes them from the fields after the header) or to such
    recipes."""
    return PacketStream(PRIMARY_HEADER, length_field="packet_length", length_add=LENGTH_ADD,
                        key_field="apid", codecs=codecs, unknown=unknown, expect={"version": 0})
