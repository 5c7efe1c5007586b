"""Model bytes in a versioned envelope, for pickling and copying.

Layout (integers little-endian)::

    magic                8 bytes
    format version       uint16
    library version      uint64 length + UTF-8 text
    metadata             uint64 length + UTF-8 JSON object
    model file bytes     uint64 length + bytes written by ZUN.save
    checksum             uint32 CRC-32 of everything before it

The format version comes right after the magic bytes so that a reader can
refuse a newer layout before trying to parse it.
"""
from __future__ import annotations

import json
import struct
import zlib
from dataclasses import dataclass
from typing import Any, Mapping, Optional

import numpy as np

from _zunmerak import ZUN

from ._version import __version__

MAGIC = b"\x89ZUNENV\n"
FORMAT_VERSION = 1

_HEADER = struct.Struct("<8sH")
_LENGTH = struct.Struct("<Q")
_CHECKSUM = struct.Struct("<I")


@dataclass(frozen=True)
class Envelope:
    """The parts of a model envelope.

    Attributes
    ----------
    format_version : int
        Layout version of the envelope.
    library_version : str
        Version of zunmerak that wrote it.
    metadata : dict
        JSON metadata (for an estimator: its parameters and feature names).
    model_bytes : bytes
        The model file, as ``ZUN.save`` writes it.
    """

    format_version: int
    library_version: str
    metadata: dict
    model_bytes: bytes


def model_to_bytes(model: ZUN) -> bytes:
    """Return the bytes of the model file that ``model.save`` writes."""
    return model.to_bytes()


def model_from_bytes(data: bytes) -> ZUN:
    """Return the model held by model file bytes, as ``ZUN.load`` reads them."""
    return ZUN.from_bytes(data)


def _json_value(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    # Generators and other objects are kept for reading, not for rebuilding.
    return repr(value)


def _with_length(data: bytes) -> bytes:
    return _LENGTH.pack(len(data)) + data


def write_envelope(model_bytes: bytes, metadata: Optional[Mapping[str, Any]] = None) -> bytes:
    """Wrap model file bytes and JSON metadata in an envelope of the current format."""
    text = json.dumps(dict(metadata or {}), default=_json_value, sort_keys=True)
    body = b"".join([
        _HEADER.pack(MAGIC, FORMAT_VERSION),
        _with_length(__version__.encode("utf-8")),
        _with_length(text.encode("utf-8")),
        _with_length(bytes(model_bytes)),
    ])
    return body + _CHECKSUM.pack(zlib.crc32(body))


class _Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.position = 0

    def take(self, count: int, what: str) -> bytes:
        end = self.position + count
        if end > len(self.data):
            raise ValueError(f"corrupted model envelope: {what} needs {count} bytes at offset {self.position}, "
                             f"but the envelope has {len(self.data)} bytes")
        chunk = self.data[self.position:end]
        self.position = end
        return chunk

    def sized(self, what: str) -> bytes:
        (count,) = _LENGTH.unpack(self.take(_LENGTH.size, f"length of the {what}"))
        return self.take(count, f"the {what}")


def read_envelope(data: bytes) -> Envelope:
    """Check and split an envelope written by :func:`write_envelope`.

    Raises
    ------
    TypeError
        If ``data`` is not bytes-like.
    ValueError
        If ``data`` is not an envelope, has a newer format version than this
        version of zunmerak reads, or is truncated or corrupted.
    """
    try:
        data = bytes(memoryview(data))
    except TypeError:
        raise TypeError(f"a model envelope must be bytes, got {type(data).__name__}") from None
    if data[:len(MAGIC)] != MAGIC:
        raise ValueError(f"not a zunmerak model envelope: it starts with {data[:len(MAGIC)]!r}, "
                         f"expected {MAGIC!r}")
    if len(data) < _HEADER.size + _CHECKSUM.size:
        raise ValueError(f"corrupted model envelope: only {len(data)} bytes")
    _, format_version = _HEADER.unpack_from(data)
    if format_version > FORMAT_VERSION:
        raise ValueError(f"model envelope format version {format_version} is newer than zunmerak "
                         f"{__version__} reads (up to {FORMAT_VERSION}); upgrade zunmerak to load it")
    if format_version == 0:
        raise ValueError("corrupted model envelope: format version 0")
    body, (stored,) = data[:-_CHECKSUM.size], _CHECKSUM.unpack(data[-_CHECKSUM.size:])
    if zlib.crc32(body) != stored:
        raise ValueError(f"corrupted model envelope: checksum {zlib.crc32(body):#010x} does not match "
                         f"the stored {stored:#010x}")
    reader = _Reader(body)
    reader.position = _HEADER.size
    try:
        library_version = reader.sized("library version").decode("utf-8")
        metadata = json.loads(reader.sized("metadata").decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"corrupted model envelope: {error}") from None
    model_bytes = reader.sized("model file")
    if reader.position != len(body):
        raise ValueError(f"corrupted model envelope: {len(body) - reader.position} unexpected bytes "
                         "after the model file")
    if not isinstance(metadata, dict):
        raise ValueError("corrupted model envelope: the metadata is not a JSON object")
    return Envelope(format_version, library_version, metadata, model_bytes)


def pack_model(model: ZUN, metadata: Optional[Mapping[str, Any]] = None) -> bytes:
    """Return ``model`` as envelope bytes (see :func:`write_envelope`)."""
    return write_envelope(model_to_bytes(model), metadata)


def unpack_model(data: bytes) -> ZUN:
    """Return the model held by envelope bytes from :func:`pack_model`."""
    envelope = read_envelope(data)
    try:
        return model_from_bytes(envelope.model_bytes)
    except ValueError as error:
        # The model file format is same-version-only; say so when that is the likely cause.
        if envelope.library_version != __version__:
            raise ValueError(f"the model was saved by zunmerak {envelope.library_version} and cannot be "
                             f"read by zunmerak {__version__}: {error}") from error
        raise


def reduce_model(model: ZUN):
    """``ZUN.__reduce__``: rebuild ``model`` from its bytes in an envelope."""
    return unpack_model, (pack_model(model, {"kind": "ZUN"}),)
