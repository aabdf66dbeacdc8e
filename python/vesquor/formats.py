"""Container layouts read before the bytes are streamed: where a SafeTensors header ends, and the
structure of a GGUF file (its metadata and tensor table) with everything wrong about it.

Both readers take `read_at(offset, size) -> bytes`, which returns fewer bytes only at the end of
the file, and never hold more than a bounded amount: the SafeTensors header (at most the format's
100 MB limit, checked before anything is read) and a 1 MiB window of the GGUF file. GGUF string
values are skipped, not read; keys and tensor names are read only up to the format's limits.

GGUF layout, little-endian (version 1 uses 32-bit counts and lengths where later ones use 64):

    "GGUF"  u32 version  u64 tensor_count  u64 kv_count
    kv_count x { string key, u32 value_type, value }       string = u64 length + bytes
    tensor_count x { string name, u32 n_dims, u64 dims[n_dims], u32 ggml_type, u64 offset }
    padding to `general.alignment` (default 32), then the tensor data; offsets count from there.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from typing import Callable

ReadAt = Callable[[int, int], bytes]

SAFETENSORS_MAX_HEADER = 100_000_000


class Truncated(Exception):
    """The file ended where the format needs more bytes."""


# ------------------------------------------------------------------------------------------------
# SafeTensors


@dataclass
class SafeTensorsLayout:
    #: The bytes to validate as the header: the 8-byte prefix and the JSON header when its length
    #: is usable, else only what the checks of the prefix need.
    header: bytes
    #: N, the declared header length (None for a file shorter than 8 bytes).
    header_length: int | None
    #: Where the data region starts (8 + N), or None when N is unusable.
    data_start: int | None
    #: The finding for a header length past the end of the file, which needs the whole file to be
    #: stated by the engine's own header check and is stated here instead.
    stop_warning: str | None = None


def read_safetensors_layout(read_at: ReadAt, size: int) -> SafeTensorsLayout:
    if size < 8:
        return SafeTensorsLayout(read_at(0, size), None, None)
    prefix = read_at(0, 8)
    (length,) = struct.unpack("<Q", prefix)
    if length > SAFETENSORS_MAX_HEADER:
        return SafeTensorsLayout(prefix, length, None)
    if length > size - 8:
        return SafeTensorsLayout(prefix, length, None, f"Invalid header size: {length} > file size {size - 8}")
    header = read_at(8, length)
    if len(header) < length:
        raise Truncated("the file ended inside the SafeTensors header")
    return SafeTensorsLayout(prefix + header, length, 8 + length)


U64_MAX = 2**64 - 1


class _UInt(int):
    """A JSON integer written without a minus sign (so -0 is not one)."""


def _parse_int(text: str) -> int:
    return int(text) if text.startswith("-") else _UInt(text)


def _is_uint(value: object) -> bool:
    return isinstance(value, _UInt) and value <= U64_MAX


def safetensors_offset_warnings(header_json: bytes, header_length: int, size: int) -> list[str]:
    """The data-offset findings of a SafeTensors header, in tensor-name order: an end past the end
    of the file, a start after the end. Entries whose "data_offsets" is not a pair of unsigned
    integers are passed over, as the engine's one-shot check does. Raises ValueError when the
    header is not a JSON object (the header check reports that)."""
    header = json.loads(header_json, parse_int=_parse_int)
    if not isinstance(header, dict):
        raise ValueError("header is not a JSON object")
    data_start = 8 + header_length
    warnings = []
    for name in sorted(header, key=lambda n: n.encode("utf-8", "surrogatepass")):
        value = header[name]
        if name == "__metadata__" or not isinstance(value, dict) or not value:
            continue
        offsets = value.get("data_offsets")
        if not isinstance(offsets, list) or len(offsets) != 2 or not all(_is_uint(o) for o in offsets):
            continue
        start, end = offsets
        if end + data_start > size:
            warnings.append(f"Tensor '{name}' data offset {end + data_start} exceeds file size {size}")
        if start > end:
            warnings.append(f"Tensor '{name}' has invalid offsets: start {start} > end {end}")
    return warnings


# ------------------------------------------------------------------------------------------------
# GGUF

GGUF_MAGIC = b"GGUF"
GGUF_VERSIONS = (1, 2, 3)
GGUF_DEFAULT_ALIGNMENT = 32
# Limits of the format's reference reader: keys are at most 65535 bytes, tensor names at most 64,
# tensors have at most 4 dimensions. Nested arrays deeper than this are not written by any
# converter and bound the recursion.
GGUF_MAX_KEY = 65535
GGUF_MAX_NAME = 64
GGUF_MAX_DIMS = 4
GGUF_MAX_ARRAY_DEPTH = 4

# Value types: fixed sizes of the scalar ones; 8 is a string, 9 an array.
_SCALAR_SIZE = {0: 1, 1: 1, 2: 2, 3: 2, 4: 4, 5: 4, 6: 4, 7: 1, 10: 8, 11: 8, 12: 8}
_STRING, _ARRAY, _UINT32 = 8, 9, 4

# ggml tensor types: (elements per block, bytes per block). Types not listed (new ones) are
# accepted without a size check.
GGML_BLOCKS = {
    0: (1, 4), 1: (1, 2), 2: (32, 18), 3: (32, 20), 6: (32, 22), 7: (32, 24), 8: (32, 34), 9: (32, 40),
    10: (256, 84), 11: (256, 110), 12: (256, 144), 13: (256, 176), 14: (256, 210), 15: (256, 292),
    16: (256, 66), 17: (256, 74), 18: (256, 98), 19: (256, 50), 20: (32, 18), 21: (256, 110),
    22: (256, 82), 23: (256, 136), 24: (1, 1), 25: (1, 2), 26: (1, 4), 27: (1, 8), 28: (1, 8),
    29: (256, 56), 30: (1, 2), 34: (256, 54), 35: (256, 66), 39: (32, 17), 40: (64, 36), 41: (128, 18),
}

_WINDOW = 1 << 20


@dataclass
class GgufLayout:
    #: (rule, message) pairs: every structural problem found, in file order.
    problems: list[tuple[str, str]] = field(default_factory=list)
    version: int | None = None
    tensor_count: int | None = None
    metadata_count: int | None = None
    alignment: int = GGUF_DEFAULT_ALIGNMENT
    #: Where the tensor data starts, or None when the structure could not be read that far.
    data_start: int | None = None

    def result(self) -> dict:
        return {
            "is_valid": not self.problems,
            "version": self.version,
            "tensor_count": self.tensor_count,
            "metadata_count": self.metadata_count,
            "alignment": self.alignment,
            "data_offset": self.data_start,
            "warnings": [message for _, message in self.problems],
        }


class _Cursor:
    """Sequential reads through a window of the file."""

    def __init__(self, read_at: ReadAt, size: int):
        self.read_at = read_at
        self.size = size
        self.pos = 0
        self._window = b""
        self._window_at = 0

    def remaining(self) -> int:
        return self.size - self.pos

    def take(self, n: int, what: str) -> bytes:
        if n > self.remaining():
            raise Truncated(f"{what} at offset {self.pos} needs {n} bytes, the file has {self.remaining()} left")
        start = self.pos - self._window_at
        if start < 0 or start + n > len(self._window):
            self._window = self.read_at(self.pos, max(n, _WINDOW))
            self._window_at = self.pos
            start = 0
            if len(self._window) < n:
                raise Truncated(f"{what} at offset {self.pos}: the file ended early")
        self.pos += n
        return self._window[start:start + n]

    def skip(self, n: int, what: str) -> None:
        if n > self.remaining():
            raise Truncated(f"{what} at offset {self.pos} needs {n} bytes, the file has {self.remaining()} left")
        self.pos += n

    def u32(self, what: str) -> int:
        return struct.unpack("<I", self.take(4, what))[0]

    def u64(self, what: str) -> int:
        return struct.unpack("<Q", self.take(8, what))[0]


def read_gguf_layout(read_at: ReadAt, size: int) -> GgufLayout:
    """The structure of a GGUF file and its problems. Reading stops at the first problem that
    leaves the rest unreadable (a wrong magic, a length past the end); others are collected."""
    layout = GgufLayout()
    problems = layout.problems
    cur = _Cursor(read_at, size)
    try:
        magic = cur.take(4, "magic") if size >= 4 else b""
        if magic != GGUF_MAGIC:
            shown = magic.hex(" ") if magic else f"a {size}-byte file"
            problems.append(("format:bad_magic", f"GGUF magic missing: the file starts with {shown}, not 47 47 55 46 ('GGUF')"))
            return layout
        version = cur.u32("version")
        layout.version = version
        if version not in GGUF_VERSIONS:
            problems.append(("format:unsupported_version", f"unsupported GGUF version {version} (known: 1, 2, 3)"))
            return layout
        count = cur.u32 if version == 1 else cur.u64
        tensor_count = count("tensor count")
        kv_count = count("metadata count")
        layout.tensor_count, layout.metadata_count = tensor_count, kv_count
        # The smallest metadata entry is an empty key, a type and a one-byte value (13 bytes in
        # version 2 and later); the smallest tensor entry is an empty name, no dimensions, a type
        # and an offset (24 bytes). A count the rest of the file cannot hold is a forgery.
        if kv_count * 13 > cur.remaining():
            problems.append(("format:count_too_large", f"declares {kv_count} metadata entries, more than the {size}-byte file can hold"))
            return layout
        if tensor_count * 24 > cur.remaining():
            problems.append(("format:count_too_large", f"declares {tensor_count} tensors, more than the {size}-byte file can hold"))
            return layout

        def string_length(what: str) -> int:
            return count(f"length of {what}")

        def read_value(value_type: int, what: str, depth: int = 0) -> bytes | None:
            if value_type in _SCALAR_SIZE:
                return cur.take(_SCALAR_SIZE[value_type], what)
            if value_type == _STRING:
                cur.skip(string_length(what), what)
                return None
            if value_type == _ARRAY:
                if depth >= GGUF_MAX_ARRAY_DEPTH:
                    raise _Malformed("format:bad_value", f"{what}: arrays nested deeper than {GGUF_MAX_ARRAY_DEPTH}")
                element_type = cur.u32(f"element type of {what}")
                n = count(f"length of {what}")
                if element_type in _SCALAR_SIZE:
                    cur.skip(n * _SCALAR_SIZE[element_type], what)
                elif element_type == _STRING:
                    if n * (4 if version == 1 else 8) > cur.remaining():
                        raise Truncated(f"{what}: an array of {n} strings cannot fit in the rest of the file")
                    for _ in range(n):
                        cur.skip(string_length(what), what)
                elif element_type == _ARRAY:
                    if n * 12 > cur.remaining():
                        raise Truncated(f"{what}: an array of {n} arrays cannot fit in the rest of the file")
                    for _ in range(n):
                        read_value(_ARRAY, what, depth + 1)
                else:
                    raise _Malformed("format:bad_value", f"{what}: unknown array element type {element_type}")
                return None
            raise _Malformed("format:bad_value", f"{what}: unknown value type {value_type}")

        alignment_value = None
        for index in range(kv_count):
            key_length = string_length(f"metadata key {index}")
            if key_length > GGUF_MAX_KEY:
                raise _Malformed("format:bad_key", f"metadata key {index} is {key_length} bytes long (at most {GGUF_MAX_KEY})")
            raw_key = cur.take(key_length, f"metadata key {index}")
            try:
                key = raw_key.decode("utf-8")
            except UnicodeDecodeError:
                key = raw_key.decode("utf-8", "backslashreplace")
                problems.append(("metadata:invalid_key", f"metadata key {key!r} is not valid UTF-8"))
            value_type = cur.u32(f"type of {key!r}")
            value = read_value(value_type, f"metadata {key!r}")
            if key == "general.alignment":
                if value_type != _UINT32:
                    problems.append(("format:bad_alignment", f"general.alignment has value type {value_type}, not uint32"))
                elif value is not None:
                    alignment_value = struct.unpack("<I", value)[0]
        if alignment_value is not None:
            if alignment_value == 0 or alignment_value & (alignment_value - 1):
                problems.append(("format:bad_alignment", f"general.alignment {alignment_value} is not a power of two"))
            else:
                layout.alignment = alignment_value

        tensors = []
        names: set[bytes] = set()
        for index in range(tensor_count):
            name_length = string_length(f"name of tensor {index}")
            if name_length > GGUF_MAX_NAME:
                problems.append(("tensor:long_name", f"tensor {index} has a {name_length}-byte name (at most {GGUF_MAX_NAME})"))
                cur.skip(name_length, f"name of tensor {index}")
                raw_name = b"#%d" % index
            else:
                raw_name = cur.take(name_length, f"name of tensor {index}")
            name = raw_name.decode("utf-8", "backslashreplace")
            if raw_name in names:
                problems.append(("tensor:duplicate_name", f"tensor name {name!r} occurs more than once"))
            names.add(raw_name)
            n_dims = cur.u32(f"dimension count of tensor {name!r}")
            if n_dims > GGUF_MAX_DIMS:
                raise _Malformed("tensor:bad_dims", f"tensor {name!r} declares {n_dims} dimensions (at most {GGUF_MAX_DIMS})")
            dims = [count(f"dimensions of tensor {name!r}") for _ in range(n_dims)]
            ggml_type = cur.u32(f"type of tensor {name!r}")
            offset = cur.u64(f"offset of tensor {name!r}")
            tensors.append((name, dims, ggml_type, offset))

        alignment = layout.alignment
        data_start = -(-cur.pos // alignment) * alignment
        if tensors and data_start > size:
            problems.append(("format:truncated", f"the tensor data should start at offset {data_start}, past the end of the {size}-byte file"))
            return layout
        layout.data_start = min(data_start, size)
        for name, dims, ggml_type, offset in tensors:
            if offset % alignment:
                problems.append(("tensor:misaligned", f"tensor {name!r} data offset {offset} is not a multiple of the alignment {alignment}"))
            elements = 1
            for d in dims:
                elements *= d
            block = GGML_BLOCKS.get(ggml_type)
            nbytes = 0
            if block is not None:
                per_block, block_bytes = block
                if elements % per_block:
                    problems.append(("tensor:bad_shape", f"tensor {name!r} has {elements} elements, not a multiple of its type's block of {per_block}"))
                nbytes = elements // per_block * block_bytes
            end = data_start + offset + nbytes
            if end > size:
                problems.append(("tensor:out_of_bounds", f"tensor {name!r} data ends at offset {end}, past the end of the {size}-byte file"))
    except Truncated as e:
        problems.append(("format:truncated", f"GGUF structure truncated: {e}"))
    except _Malformed as e:
        problems.append((e.rule, e.message))
    return layout


class _Malformed(Exception):
    def __init__(self, rule: str, message: str):
        super().__init__(message)
        self.rule = rule
        self.message = message
