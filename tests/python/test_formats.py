"""Container layouts read before streaming: the GGUF structure and its problems, the SafeTensors
header length and data offsets."""

import json
import struct

import pytest
from model_folder import write_gguf
from safetensors_fixtures import st_file

import vesquor
from vesquor import formats


def read_at_of(data):
    return lambda offset, n: data[offset:offset + n]


def layout_of(data):
    return formats.read_gguf_layout(read_at_of(data), len(data))


def test_gguf_written_by_the_gguf_package_reads_clean_and_agrees_with_its_reader(tmp_path):
    import gguf

    path = tmp_path / "m.gguf"
    write_gguf(path)
    data = path.read_bytes()
    layout = layout_of(data)
    reader = gguf.GGUFReader(str(path))
    assert layout.problems == []
    assert (layout.version, layout.tensor_count, layout.alignment) == (3, len(reader.tensors), reader.alignment)
    assert layout.metadata_count == len(reader.fields) - 3  # the reader lists the three header fields too
    assert layout.data_start == reader.data_offset


def test_ggml_block_sizes_match_the_gguf_package():
    from gguf.constants import GGML_QUANT_SIZES

    known = {int(t): size for t, size in GGML_QUANT_SIZES.items()}
    assert {t: known[t] for t in formats.GGML_BLOCKS if t in known} == formats.GGML_BLOCKS


def gguf_string(text: bytes) -> bytes:
    return struct.pack("<Q", len(text)) + text


def gguf_bytes(kvs=(), tensors=(), version=3, tensor_count=None, kv_count=None, data=b"", magic=b"GGUF"):
    """A GGUF file by hand: kvs are (key, type, raw value bytes), tensors (name, dims, type, offset)."""
    out = magic + struct.pack("<IQQ", version, len(tensors) if tensor_count is None else tensor_count, len(kvs) if kv_count is None else kv_count)
    for key, value_type, raw in kvs:
        out += gguf_string(key) + struct.pack("<I", value_type) + raw
    for name, dims, ggml_type, offset in tensors:
        out += gguf_string(name) + struct.pack("<I", len(dims)) + b"".join(struct.pack("<Q", d) for d in dims) + struct.pack("<IQ", ggml_type, offset)
    out += bytes(-len(out) % 32)
    return out + data


F32_16 = [(b"w", [4, 4], 0, 0)]  # one float32 tensor of 64 bytes at offset 0


@pytest.mark.parametrize(
    "data, rule",
    [
        (b"GGU", "format:bad_magic"),
        (b"GGML" + bytes(40), "format:bad_magic"),
        (gguf_bytes(version=7), "format:unsupported_version"),
        (gguf_bytes(kv_count=2**40), "format:count_too_large"),
        (gguf_bytes(tensors=F32_16, tensor_count=10**9, data=bytes(64)), "format:count_too_large"),
        # A string longer than the rest of the file.
        (gguf_bytes(kvs=[(b"general.name", 8, struct.pack("<Q", 10**6) + b"abc")]), "format:truncated"),
        (gguf_bytes(kvs=[(b"general.name", 13, b"\0" * 8)]), "format:bad_value"),
        (gguf_bytes(kvs=[(b"general.alignment", 4, struct.pack("<I", 24))], tensors=F32_16, data=bytes(64)), "format:bad_alignment"),
        (gguf_bytes(kvs=[(b"general.alignment", 8, gguf_string(b"32"))], tensors=F32_16, data=bytes(64)), "format:bad_alignment"),
        # The tensor data cut short, as by an interrupted download.
        (gguf_bytes(tensors=F32_16, data=bytes(40)), "tensor:out_of_bounds"),
        (gguf_bytes(tensors=[(b"w", [4, 4], 0, 8)], data=bytes(128)), "tensor:misaligned"),
        (gguf_bytes(tensors=[(b"w", [1] * 5, 0, 0)], data=bytes(64)), "tensor:bad_dims"),
        (gguf_bytes(tensors=[(b"w", [4], 0, 0), (b"w", [4], 0, 32)], data=bytes(64)), "tensor:duplicate_name"),
        (gguf_bytes(tensors=[(b"w", [33], 2, 0)], data=bytes(64)), "tensor:bad_shape"),
        (gguf_bytes(kvs=[(b"\xff\xfe", 0, b"\x01")]), "metadata:invalid_key"),
    ],
)
def test_gguf_problems(data, rule):
    layout = layout_of(data)
    assert rule in [r for r, _ in layout.problems], layout.problems
    assert not layout.result()["is_valid"]


def test_gguf_string_arrays_and_nested_arrays_are_walked_not_read():
    tokens = struct.pack("<IQ", 8, 3) + b"".join(gguf_string(t) for t in (b"a", b"bb", b""))
    nested = struct.pack("<IQ", 9, 2) + (struct.pack("<IQ", 4, 2) + bytes(8)) * 2
    data = gguf_bytes(kvs=[(b"tokenizer.ggml.tokens", 9, tokens), (b"x.nested", 9, nested)], tensors=F32_16, data=bytes(64))
    layout = layout_of(data)
    assert layout.problems == []
    assert layout.data_start == len(data) - 64


def test_safetensors_layout_never_reads_a_forged_header():
    reads = []

    def read_at(offset, n):
        reads.append(n)
        return b"\0" * min(n, 100)

    huge = formats.read_safetensors_layout(lambda o, n: struct.pack("<Q", 5 * 10**8) if o == 0 else read_at(o, n), 10**9)
    assert huge.data_start is None and reads == []
    past = formats.read_safetensors_layout(lambda o, n: struct.pack("<Q", 5000), 100)
    assert past.data_start is None and past.stop_warning == "Invalid header size: 5000 > file size 92"


@pytest.mark.parametrize(
    "offsets, data_length",
    [
        ([0, 100], 50),
        ([10, 5], 20),
        ([30, 5], 10),
        ([0, 1.5], 10),
        ([-1, 4], 10),
        ([0], 10),
        (["a", 4], 10),
        ([0, 2**64], 10),
        ([0, 2**64 - 1], 10),
    ],
)
def test_offset_warnings_agree_with_the_one_shot_validator(offsets, data_length):
    header = '{"t":{"dtype":"F32","shape":[1],"data_offsets":%s}}' % json.dumps(offsets)
    data = st_file(header, b"\x01" * data_length)
    (n,) = struct.unpack_from("<Q", data)
    expected = [w for w in vesquor.validate_safetensors(data).warnings if w.startswith("Tensor 't'")]
    assert formats.safetensors_offset_warnings(data[8:8 + n], n, len(data)) == expected


def test_offset_warnings_walk_names_in_byte_order():
    header = {"b": {"data_offsets": [0, 99]}, "a": {"data_offsets": [0, 99]}, "\u00e9": {"data_offsets": [0, 99]}, "Z": {"data_offsets": [0, 99]}}
    data = st_file(header, b"\x01" * 8)
    (n,) = struct.unpack_from("<Q", data)
    assert formats.safetensors_offset_warnings(data[8:8 + n], n, len(data)) == vesquor.validate_safetensors(data).warnings
