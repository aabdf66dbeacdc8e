"""SafeTensors: the header checks, the tensor table, the tensor-data scan and the one-shot entry
points, on tiny crafted files, on files written by the `safetensors` package, and on hostile
headers."""

import json
import random
import struct
import threading

import numpy as np
import pytest
import safetensors
import safetensors.numpy
from hypothesis import given, settings
from hypothesis import strategies as st

from safetensors_fixtures import (
    BASH,
    DATA_PREFIX,
    ELF32,
    ELF64,
    LABEL,
    PAD_TEXT,
    PATTERNS,
    PE,
    SH,
    expected_name_warnings,
    header_bytes,
    name_order,
    peak_rss_growth,
    st_file,
    tensors,
)

PARSE = "Failed to parse JSON header: "
EMPTY_INPUT = PARSE + (
    "parse error at line 1, column 1: syntax error while parsing value - unexpected end of input; "
    "expected '[', '{', or a literal"
)


def data_start(file):
    return 8 + struct.unpack("<Q", file[:8])[0]


def u8_tensor(data, name="t"):
    """A valid one-tensor file whose data region is `data`."""
    return st_file({name: {"dtype": "U8", "shape": [len(data)], "data_offsets": [0, len(data)]}}, data)


# ---------------------------------------------------------------------------------------------
# Header checks: each row one file, its warnings in order. A callable gets (H, L): the offset of
# the data region and the length of the file.

WRAP_HEADER = '{"t":{"data_offsets":[0,%020d]}}'


def wrapping_end_file():
    # end + 8 + N is exactly 2**64: wrapped, it would be offset 0 and pass.
    h = 8 + len(WRAP_HEADER % 0)
    return st_file(WRAP_HEADER % (2**64 - h))


HEADER_CASES = [
    # prefix
    ("too_small", b"\x00" * 7, ["File too small to be valid safetensors"]),
    ("zero_length_header", st_file(b""), [EMPTY_INPUT]),
    ("limit_plus_one_before_buffer_check", struct.pack("<Q", 100_000_001) + b"{}",
     ["Header size 100000001 exceeds maximum allowed 100000000 (potential DoS)"]),
    ("largest_prefix", struct.pack("<Q", 2**64 - 1),
     ["Header size 18446744073709551615 exceeds maximum allowed 100000000 (potential DoS)"]),
    ("header_one_past_buffer", st_file(b"{}", length=3), ["Invalid header size: 3 > file size 2"]),
    ("header_fills_buffer", st_file(b"{}"), []),
    # JSON
    ("array_header", st_file(b"[]"), ["Header must be a JSON object"]),
    ("number_header", st_file(b"5"), ["Header must be a JSON object"]),
    ("null_header", st_file(b"null"), ["Header must be a JSON object"]),
    ("trailing_whitespace", st_file(b"{}\t\r\n "), []),
    ("trailing_value", st_file(b"{} {}"),
     [PARSE + "parse error at line 1, column 4: syntax error while parsing value - unexpected '{'; expected end of input"]),
    ("line_and_column_kept", st_file(b'{"a":1,}'),
     [PARSE + "parse error at line 1, column 8: syntax error while parsing object key - unexpected '}'; "
      "expected string literal"]),
    ("third_line", st_file(b'{"a":\n1,\n]'),
     [PARSE + "parse error at line 3, column 1: syntax error while parsing object key - unexpected ']'; "
      "expected string literal"]),
    # names
    ("backdoor_any_case", st_file(tensors(["Model.Backdoor_Layer"])),
     ["Suspicious tensor name 'Model.Backdoor_Layer' contains pattern 'backdoor_'"]),
    ("patterns_in_table_order_then_unusual", st_file(tensors(["shell_..x?"])),
     ["Suspicious tensor name 'shell_..x?' contains pattern 'shell_'",
      "Suspicious tensor name 'shell_..x?' contains pattern '..'",
      "Tensor name 'shell_..x?' contains unusual special characters"]),
    ("single_slash", st_file(tensors(["a/b"])), []),
    ("double_slash", st_file(tensors(["a//b"])), ["Suspicious tensor name 'a//b' contains pattern '//'"]),
    ("single_backslash", st_file(tensors(["a\\b"])), []),
    ("double_backslash", st_file(tensors(["a\\\\b"])), ["Suspicious tensor name 'a\\\\b' contains pattern '\\\\'"]),
    ("kelvin_sign_completes_pattern", st_file(tensors(["BAC\u212aDOOR_x"])),
     ["Suspicious tensor name 'BAC\u212aDOOR_x' contains pattern 'backdoor_'"]),
    ("dotted_capital_i_keeps_its_dot", st_file(tensors(["PO\u0130SON_x"])), []),
    ("unusual_once_per_name", st_file(tensors(['a<b>|*?"'])), ["Tensor name 'a<b>|*?\"' contains unusual special characters"]),
    ("names_in_key_order", st_file(tensors(["z..", "a//"])),
     ["Suspicious tensor name 'a//' contains pattern '//'", "Suspicious tensor name 'z..' contains pattern '..'"]),
    ("metadata_key_is_not_screened", st_file({"__metadata__": {"x..": "a//"}}), []),
    # offsets
    ("start_after_end", st_file({"t": {"data_offsets": [10, 5]}}, b"d" * 20), ["Tensor 't' has invalid offsets: start 10 > end 5"]),
    ("end_past_file", st_file({"t": {"data_offsets": [0, 100]}}, b"d" * 50),
     lambda h, l: [f"Tensor 't' data offset {100 + h} exceeds file size {l}"]),
    ("end_on_last_byte", st_file({"t": {"data_offsets": [0, 4]}}, b"d" * 4), []),
    ("end_one_past_last_byte", st_file({"t": {"data_offsets": [0, 5]}}, b"d" * 4),
     lambda h, l: [f"Tensor 't' data offset {5 + h} exceeds file size {l}"]),
    ("both_offset_warnings", st_file({"t": {"data_offsets": [60, 55]}}, b"d" * 50),
     lambda h, l: [f"Tensor 't' data offset {55 + h} exceeds file size {l}", "Tensor 't' has invalid offsets: start 60 > end 55"]),
    ("offsets_in_name_order", st_file({"b": {"data_offsets": [0, 9]}, "a": {"data_offsets": [2, 1]}}),
     lambda h, l: [f"Tensor 'a' data offset {1 + h} exceeds file size {l}", "Tensor 'a' has invalid offsets: start 2 > end 1",
                   f"Tensor 'b' data offset {9 + h} exceeds file size {l}"]),
    ("largest_end_not_wrapped", st_file({"t": {"data_offsets": [0, 2**64 - 1]}}),
     lambda h, l: [f"Tensor 't' data offset {2**64 - 1 + h} exceeds file size {l}"]),
    ("end_wrapping_to_zero", wrapping_end_file(), lambda h, l: [f"Tensor 't' data offset {2**64} exceeds file size {l}"]),
    ("largest_start_and_end", st_file({"t": {"data_offsets": [2**64 - 1, 2**64 - 1]}}),
     lambda h, l: [f"Tensor 't' data offset {2**64 - 1 + h} exceeds file size {l}"]),
    # Offsets that are not two unsigned integers are passed over: with no data region, every
    # one of these would otherwise be reported as past the file.
    ("fraction_passed_over", st_file(b'{"t":{"data_offsets":[0,1.5]}}'), []),
    ("integral_float_passed_over", st_file(b'{"t":{"data_offsets":[0,4.0]}}'), []),
    ("exponent_passed_over", st_file(b'{"t":{"data_offsets":[0,1e3]}}'), []),
    ("negative_passed_over", st_file(b'{"t":{"data_offsets":[-1,4]}}'), []),
    ("minus_zero_passed_over", st_file(b'{"t":{"data_offsets":[-0,4]}}'), []),
    ("beyond_64_bits_passed_over", st_file(b'{"t":{"data_offsets":[0,18446744073709551616]}}'), []),
    ("three_offsets_passed_over", st_file(b'{"t":{"data_offsets":[0,4,8]}}'), []),
    ("one_offset_passed_over", st_file(b'{"t":{"data_offsets":[4]}}'), []),
    ("offsets_as_object_passed_over", st_file(b'{"t":{"data_offsets":{"0":4}}}'), []),
    ("scalar_entry_passed_over", st_file(b'{"t":5}'), []),
    ("array_entry_passed_over", st_file(b'{"t":[0,4]}'), []),
    ("nested_offsets_ignored", st_file(b'{"t":{"x":{"data_offsets":[0,4]}}}'), []),
    # repeated keys: the later value decides
    ("later_duplicate_wins_good", st_file(b'{"t":{"data_offsets":[0,100]},"t":{"data_offsets":[0,0]}}'), []),
    ("later_duplicate_wins_bad", st_file(b'{"t":{"data_offsets":[0,0]},"t":{"data_offsets":[0,100]}}'),
     lambda h, l: [f"Tensor 't' data offset {100 + h} exceeds file size {l}"]),
    ("later_member_wins", st_file(b'{"t":{"data_offsets":[0,100],"data_offsets":"x"}}'), []),
]


@pytest.mark.parametrize("file,expected", [c[1:] for c in HEADER_CASES], ids=[c[0] for c in HEADER_CASES])
def test_header_warnings(native, file, expected):
    result = native.validate_safetensors(file)
    if callable(expected):
        expected = expected(data_start(file), len(file))
    assert result.warnings == expected
    assert result.is_valid is (not expected)
    assert result.total_size == len(file)
    assert result.suspicious_data_patterns == []


def test_a_stopped_check_keeps_only_its_warning(native):
    for file, header_size in [(b"\x00" * 7, 0), (st_file(b""), 0), (st_file(b"[]"), 2),
                              (struct.pack("<Q", 100_000_001), 100_000_001), (st_file(b'{"a..":{}', length=9), 9)]:
        result = native.validate_safetensors(file)
        assert len(result.warnings) == 1 and not result.is_valid
        assert (result.header_size, result.tensor_count, result.tensor_names, result.metadata) == (header_size, 0, [], None)
        assert result.suspicious_tensor_names == []


# ---------------------------------------------------------------------------------------------
# The record: names, counts, metadata

FIELD_CASES = [
    # name                      header                                                  names                      suspicious         metadata
    ("no_tensors",              "{}",                                                   [],                        [],                None),
    ("written_b_then_a",        {"b": {}, "a": {}},                                     ["a", "b"],                [],                None),
    ("byte_wise_order",         {"z": {}, "\u00e9": {}, "Z": {}, "_": {}, "\U00010000": {}, "\uffff": {}},
                                                                                        ["Z", "_", "z", "\u00e9", "\uffff", "\U00010000"], [], None),
    ("scalar_entry_counts",     '{"t":5,"u":[1]}',                                      ["t", "u"],                [],                None),
    ("duplicate_counts_once",   '{"t":1,"u":{},"t":{}}',                                ["t", "u"],                [],                None),
    ("empty_name",              '{"":{}}',                                              [""],                      [],                None),
    ("metadata_strings_only",   {"__metadata__": {"a": "1", "b": 2, "c": None, "d": {"e": "f"}, "g": ["h"]}},
                                                                                        [],                        [],                {"a": "1"}),
    ("metadata_not_object",     {"__metadata__": "x", "t": {}},                         ["t"],                     [],                None),
    ("metadata_array",          {"__metadata__": ["a"]},                                [],                        [],                None),
    ("metadata_empty",          {"__metadata__": {}},                                   [],                        [],                {}),
    ("metadata_later_wins",     '{"__metadata__":{"a":"1"},"__metadata__":{"b":"2"}}',  [],                        [],                {"b": "2"}),
    ("metadata_later_scalar",   '{"__metadata__":{"a":"1"},"__metadata__":7}',          [],                        [],                None),
    ("metadata_member_later_non_string", '{"__metadata__":{"a":"1","a":2}}',            [],                        [],                {}),
    ("metadata_member_later_string", '{"__metadata__":{"a":2,"a":"1"}}',                [],                        [],                {"a": "1"}),
    ("metadata_key_case_sensitive", {"__METADATA__": {}},                               ["__METADATA__"],          [],                None),
    ("suspicious_once_each",    tensors(["b//", "a?", "c", "shell_..x?"]),              ["a?", "b//", "c", "shell_..x?"], ["a?", "b//", "shell_..x?"], None),
]


@pytest.mark.parametrize("header,names,suspicious,metadata", [c[1:] for c in FIELD_CASES], ids=[c[0] for c in FIELD_CASES])
def test_record_fields(native, header, names, suspicious, metadata):
    file = st_file(header)
    result = native.validate_safetensors(file)
    assert result.tensor_names == names
    assert result.tensor_count == len(names)
    assert result.suspicious_tensor_names == suspicious
    assert result.metadata == metadata
    assert result.header_size == len(header_bytes(header))
    assert result.total_size == len(file)


def test_repr(native):
    header = header_bytes({"a": {"dtype": "U8", "shape": [412], "data_offsets": [0, 412]},
                           "b": {"dtype": "U8", "shape": [412], "data_offsets": [412, 824]}}).ljust(200)
    valid = native.validate_safetensors(st_file(header, b"w" * 824))
    assert repr(valid) == "SafeTensorsValidation(valid=true, tensors=2, size=1032, warnings=0)"
    assert repr(native.validate_safetensors(st_file(b"[]"))) == "SafeTensorsValidation(valid=false, tensors=0, size=10, warnings=1)"
    planted = u8_tensor(ELF64 + SH)
    assert repr(native.validate_safetensors(planted)) == f"SafeTensorsValidation(valid=false, tensors=1, size={len(planted)}, warnings=2)"


def test_result_is_a_read_only_snapshot(native):
    result = native.validate_safetensors(st_file({"__metadata__": {"k": "v"}, "a..": {}}, b""))
    for name in ("is_valid", "warnings", "metadata", "total_size", "header_size", "tensor_count",
                 "suspicious_data_patterns", "tensor_names", "suspicious_tensor_names"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    for name in ("warnings", "tensor_names", "suspicious_tensor_names", "metadata"):
        first = getattr(result, name)
        assert first is not getattr(result, name)
        first.clear()
        assert getattr(result, name), name
    with pytest.raises(TypeError, match="^No constructor defined for SafeTensorsValidation$"):
        native.SafeTensorsValidation()


# ---------------------------------------------------------------------------------------------
# Tensor data: the shared malware scan with threshold 5, and the zero-padding check

DATA_CASES = [
    # name                      data region                                  findings
    ("empty",                   b"",                                         []),
    ("plain",                   b"weights" * 100,                            []),
    ("executable_alone",        b"a" + ELF64 + b"b" * 100,                   []),
    ("two_shebangs_score_4",    SH + b" " + BASH,                            []),
    ("executable_and_shebang",  b"x" + ELF64 + b"y" + SH,                    [LABEL[ELF64], LABEL[SH]]),
    ("two_executables",         PE + ELF32,                                  [LABEL[PE], LABEL[ELF32]]),
    ("repeats_kept",            (ELF64 + b".") * 3,                          [LABEL[ELF64]] * 3),
    ("zeros_alone_score_2",     bytes(1024),                                 []),
    ("no_padding_check_1023",   ELF64 + bytes(1018),                         []),
    ("padding_check_from_1024", ELF64 + bytes(1019),                         [LABEL[ELF64], PAD_TEXT.format("99.5")]),
    ("padding_after_executable", ELF64 + bytes(2043),                        [LABEL[ELF64], PAD_TEXT.format("99.8")]),
    ("exactly_95_percent",      bytes(1900) + ELF64 + b"y" * 95,             []),
    ("just_over_95_percent",    bytes(1901) + ELF64 + b"y" * 94,             [LABEL[ELF64], PAD_TEXT.format("95.0")]),
    ("96_percent",              bytes(1920) + ELF64 + b"y" * 75,             [LABEL[ELF64], PAD_TEXT.format("96.0")]),
]


@pytest.mark.parametrize("data,findings", [c[1:] for c in DATA_CASES], ids=[c[0] for c in DATA_CASES])
def test_tensor_data_findings(native, data, findings):
    result = native.validate_safetensors(u8_tensor(data))
    assert result.suspicious_data_patterns == findings
    assert result.warnings == [DATA_PREFIX + f for f in findings]
    assert result.is_valid is (not findings)


def test_padding_percentage_is_the_interpreters_rounding(native):
    for zeros in range(1940, 1996):
        data = ELF64 + bytes(zeros) + b"z" * (2000 - zeros - len(ELF64))
        percent = zeros / 2000 * 100
        expected = [LABEL[ELF64], PAD_TEXT.format(f"{percent:.1f}")] if percent > 95.0 else []
        assert native.validate_safetensors(u8_tensor(data)).suspicious_data_patterns == expected, zeros


def test_offset_warnings_come_before_data_findings(native):
    file = st_file({"t": {"data_offsets": [0, 999]}}, ELF64 + SH)
    result = native.validate_safetensors(file)
    assert result.warnings == [f"Tensor 't' data offset {999 + data_start(file)} exceeds file size {len(file)}",
                               DATA_PREFIX + LABEL[ELF64], DATA_PREFIX + LABEL[SH]]


def test_suspicious_name_skips_offsets_and_data(native):
    file = st_file({"backdoor_w": {"data_offsets": [0, 999]}}, ELF64 + SH)
    result = native.validate_safetensors(file)
    assert result.warnings == ["Suspicious tensor name 'backdoor_w' contains pattern 'backdoor_'"]
    assert result.suspicious_data_patterns == []
    assert result.total_size == len(file)


def test_the_header_is_never_scanned_as_data(native):
    # Shebangs in the header (in a name and in metadata) would score 6 as tensor data.
    header = {"__metadata__": {"x": "#!/bin/sh #!/bin/sh"}, "#!/bin/bash": {}}
    assert native.validate_safetensors(st_file(header, b"plain")).is_valid


# ---------------------------------------------------------------------------------------------
# is_safetensors

IS_CASES = [
    ("object", st_file(b"{}"), True),
    ("array", st_file(b"[]"), True),
    ("number", st_file(b"5"), True),
    ("data_after_header_ignored", st_file(b"{}", b"\x00junk"), True),
    ("zero_length", st_file(b""), False),
    ("short", b"\x02" * 7, False),
    ("past_buffer", st_file(b"{}", length=3), False),
    ("largest_prefix", struct.pack("<Q", 2**64 - 1) + b"{}", False),
    ("not_json", st_file(b"{x}"), False),
    ("trailing_nul_then_value", st_file(b'{}\x00{"a":1}'), False),
    ("nesting_128", st_file(b"[" * 128 + b"]" * 128), True),
    ("nesting_129", st_file(b"[" * 129 + b"]" * 129), False),
    ("byte_order_mark", st_file(b"\xef\xbb\xbf{}"), False),
]


@pytest.mark.parametrize("file,answer", [c[1:] for c in IS_CASES], ids=[c[0] for c in IS_CASES])
def test_is_safetensors(native, file, answer):
    assert native.is_safetensors(file) is answer


# ---------------------------------------------------------------------------------------------
# parse_safetensors_header

PARSE_CASES = [
    ("full_row", {"t": {"dtype": "F32", "shape": [2, 3], "data_offsets": [0, 24]}}, [("t", "F32", [2, 3], (0, 24))]),
    ("name_order_skips_metadata_and_scalars", '{"b":{},"__metadata__":{"a":"b"},"c":5,"a":{}}',
     [("a", "unknown", [], (0, 0)), ("b", "unknown", [], (0, 0))]),
    ("dtype_not_string", {"t": {"dtype": 7}}, [("t", "unknown", [], (0, 0))]),
    ("shape_keeps_unsigned_only", '{"t":{"shape":[2,-1,"x",3,1.0,[4],18446744073709551616,-0,18446744073709551615]}}',
     [("t", "unknown", [2, 3, 2**64 - 1], (0, 0))]),
    ("shape_not_array", {"t": {"shape": 5}}, [("t", "unknown", [], (0, 0))]),
    ("one_offset", {"t": {"data_offsets": [1]}}, [("t", "unknown", [], (0, 0))]),
    ("three_offsets", {"t": {"data_offsets": [1, 2, 3]}}, [("t", "unknown", [], (0, 0))]),
    ("non_unsigned_offset_is_zero", '{"t":{"data_offsets":["a",4]},"u":{"data_offsets":[5,-1]}}',
     [("t", "unknown", [], (0, 4)), ("u", "unknown", [], (5, 0))]),
    ("largest_offsets", {"t": {"data_offsets": [2**64 - 1, 2**64 - 1]}}, [("t", "unknown", [], (2**64 - 1, 2**64 - 1))]),
    ("later_entry_wins", '{"t":{"dtype":"A"},"u":{},"t":{"dtype":"B"}}', [("t", "B", [], (0, 0)), ("u", "unknown", [], (0, 0))]),
    ("later_member_wins", '{"t":{"dtype":"A","shape":[1],"data_offsets":[1,2],"dtype":5,"shape":"x","data_offsets":[3,4]}}',
     [("t", "unknown", [], (3, 4))]),
    ("later_entry_not_object", '{"t":{"dtype":"A"},"t":1}', []),
    ("not_an_object", "[]", []),
    ("not_json", "{", []),
]


def rows(infos):
    return [(i.name, i.dtype, i.shape, i.data_offsets) for i in infos]


@pytest.mark.parametrize("header,expected", [c[1:] for c in PARSE_CASES], ids=[c[0] for c in PARSE_CASES])
def test_parse_safetensors_header(native, header, expected):
    assert rows(native.parse_safetensors_header(st_file(header))) == expected


@pytest.mark.parametrize("file", [b"\x01" * 7, st_file(b"{}", length=3), st_file(b'{"t":{}}', length=7)],
                         ids=["short", "past_buffer", "cut_header"])
def test_parse_refuses_a_bad_prefix(native, file):
    assert native.parse_safetensors_header(file) == []


def test_tensor_info_surface(native):
    [info] = native.parse_safetensors_header(st_file({"t": {"dtype": "I8", "shape": [1, 2], "data_offsets": [0, 2]}}))
    assert type(info).__name__ == "TensorInfo" and type(info).__doc__ == "Tensor information from SafeTensors header"
    assert type(info.data_offsets) is tuple
    assert info.shape is not info.shape
    for name in ("name", "dtype", "shape", "data_offsets"):
        with pytest.raises(AttributeError):
            setattr(info, name, None)
    with pytest.raises(TypeError, match="^No constructor defined for TensorInfo$"):
        native.TensorInfo()


# ---------------------------------------------------------------------------------------------
# Files written by the safetensors package

DTYPES = [np.float32, np.float16, np.float64, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
          np.uint64, np.bool_]


def real_files():
    arrays = {f"layer.{np.dtype(t).name}": (np.arange(12) % 3).astype(t).reshape(3, 4) for t in DTYPES}
    return {
        "several_dtypes": (arrays, None),
        "with_metadata": (arrays, {"format": "np", "note": "caf\u00e9"}),
        "no_tensors": ({}, None),
        "metadata_only": ({}, {"a": "b"}),
        "zero_byte_tensor": ({"empty": np.zeros((0, 3), np.float32), "w": np.ones(2, np.float32)}, None),
        "scalar": ({"s": np.array(3.5, np.float64)}, None),
        "zero_weights_of_a_4kib_tensor": ({"zeros": np.zeros(1024, np.float32)}, None),
        "unicode_names": ({"\u00e9t\u00e9": np.ones(1, np.int8), "Z": np.ones(1, np.int8)}, {"k": "v"}),
    }


@pytest.mark.parametrize("kind", list(real_files()))
def test_real_files_are_valid(native, tmp_path, kind):
    arrays, metadata = real_files()[kind]
    file = safetensors.numpy.save(arrays, metadata=metadata)
    result = native.validate_safetensors(file)
    assert result.warnings == [] and result.is_valid
    assert result.tensor_names == name_order(arrays)
    assert result.metadata == metadata
    assert (result.total_size, result.header_size) == (len(file), data_start(file) - 8)
    assert native.is_safetensors(file)

    # The tensor table agrees with the header as Python's json reads it, and with the package.
    header = json.loads(file[8:data_start(file)])
    header.pop("__metadata__", None)
    expected = [(n, header[n]["dtype"], header[n]["shape"], tuple(header[n]["data_offsets"])) for n in name_order(header)]
    assert rows(native.parse_safetensors_header(file)) == expected
    path = tmp_path / "model.safetensors"
    path.write_bytes(file)
    with safetensors.safe_open(str(path), framework="numpy") as opened:
        assert sorted(opened.keys()) == sorted(result.tensor_names)


def base_file():
    return safetensors.numpy.save({"a": np.arange(64, dtype=np.int32), "b": np.full((8, 8), 7, np.uint8)})


def forged(length):
    file = base_file()
    return struct.pack("<Q", length) + file[8:]


def planted(data_offset, payload):
    file = bytearray(base_file())
    at = data_start(bytes(file)) + data_offset
    file[at:at + len(payload)] = payload
    return bytes(file)


def with_header(transform):
    file = base_file()
    text = file[8:data_start(file)].decode().rstrip()
    return st_file(transform(text), file[data_start(file):])


def test_crafted_variants_of_a_real_file(native):
    file = base_file()
    n = data_start(file) - 8
    region = len(file) - data_start(file)
    json_end = len(file[8:data_start(file)].rstrip())  # the writer pads the header with spaces

    assert native.validate_safetensors(forged(n + 1)).warnings[0].startswith(PARSE)  # takes in a NUL
    assert native.validate_safetensors(forged(json_end - 1)).warnings[0].startswith(PARSE)
    assert native.validate_safetensors(forged(2**40)).warnings == [
        "Header size 1099511627776 exceeds maximum allowed 100000000 (potential DoS)"]
    assert native.validate_safetensors(forged(len(file))).warnings == [f"Invalid header size: {len(file)} > file size {len(file) - 8}"]

    truncated = file[:-1]
    assert native.validate_safetensors(truncated).warnings == [f"Tensor 'b' data offset {len(file)} exceeds file size {len(file) - 1}"]
    assert native.validate_safetensors(file[:data_start(file)]).warnings == [
        f"Tensor 'a' data offset {8 + n + 256} exceeds file size {8 + n}",
        f"Tensor 'b' data offset {8 + n + region} exceeds file size {8 + n}",
    ]

    elf_and_shebang = native.validate_safetensors(planted(10, ELF64 + b"-" + SH))
    assert elf_and_shebang.suspicious_data_patterns == [LABEL[ELF64], LABEL[SH]]
    assert not elf_and_shebang.is_valid

    renamed = with_header(lambda text: text.replace('"a"', '"model.Backdoor_a"').replace('"b"', '"x/../y"'))
    assert native.validate_safetensors(renamed).warnings == expected_name_warnings(["model.Backdoor_a", "x/../y"])

    # A later "a" that points past the file replaces the good one, and the reverse.
    bad_last = with_header(lambda text: text[:-1] + ',"a":{"dtype":"I32","shape":[64],"data_offsets":[0,99999]}}')
    assert native.validate_safetensors(bad_last).warnings == [
        f"Tensor 'a' data offset {99999 + data_start(bad_last)} exceeds file size {len(bad_last)}"]
    good_last = with_header(lambda text: '{"a":{"dtype":"I32","shape":[64],"data_offsets":[0,99999]},' + text[1:])
    assert native.validate_safetensors(good_last).is_valid


@pytest.mark.parametrize("zeros,findings", [(1900, []), (1920, [LABEL[ELF64], PAD_TEXT.format("96.0")])], ids=["95_percent", "96_percent"])
def test_zero_padding_in_a_real_file(native, zeros, findings):
    weights = np.full(2000, 7, np.uint8)
    weights[:zeros] = 0
    weights[zeros:zeros + len(ELF64)] = np.frombuffer(ELF64, np.uint8)
    result = native.validate_safetensors(safetensors.numpy.save({"w": weights}))
    assert result.suspicious_data_patterns == findings


# ---------------------------------------------------------------------------------------------
# Unicode lower-casing, with the interpreter's str.lower() as the oracle

def screened(native, names):
    return native.validate_safetensors(st_file(tensors(names))).warnings


def code_points():
    """Every code point that can be written in UTF-8 (surrogates cannot)."""
    return np.concatenate([np.arange(0, 0xD800), np.arange(0xE000, 0x110000)]).astype(np.uint32)


def holes():
    """For each character the patterns use, a pattern with that character cut out: a code point
    put in the hole completes the pattern exactly when it lower-cases to that character."""
    found = {}
    for pattern in sorted(PATTERNS, key=len):
        for i, c in enumerate(pattern):
            found.setdefault(c, (pattern[:i], pattern[i + 1:]))
    return list(found.values())


def holes_filled(pre, post, points):
    """"-".join(pre + chr(p) + post for p in points), built as UTF-32."""
    row = [ord(c) for c in pre] + [0] + [ord(c) for c in post] + [ord("-")]
    table = np.tile(np.array(row, np.uint32), (len(points), 1))
    table[:, len(pre)] = points
    return table.tobytes()[:-4].decode("utf-32-le")


@pytest.mark.slow
def test_every_code_point_lower_cases_as_the_interpreter(native):
    # Each code point goes in every hole. Where the interpreter's lower-case completes a pattern,
    # the filled hole is a name of its own; all other filled holes of one hole share a name, which
    # must then give no pattern warning at all, so one wrong code point among them shows.
    points = code_points()
    alphabet = set("".join(PATTERNS))
    candidates = [p for p in points.tolist() if alphabet & set(chr(p).lower())]
    completing, shared = [], []
    for pre, post in holes():
        found = {p for p in candidates if any(q in (pre + chr(p) + post).lower() for q in PATTERNS)}
        completing += [pre + chr(p) + post for p in sorted(found)]
        shared.append(holes_filled(pre, post, points[~np.isin(points, list(found))]))
        lower = shared[-1].lower()
        assert not any(q in lower for q in PATTERNS)
    assert {"bac\u212adoor_", "bacKdoor_", "po\u0130son_"} & set(completing) == {"bac\u212adoor_", "bacKdoor_"}

    assert screened(native, completing) == expected_name_warnings(completing)
    for first in range(0, len(shared), 4):  # about 60 MB of header per call
        batch = shared[first:first + 4]
        # Every shared name holds the unusual characters, and no pattern.
        assert screened(native, batch) == [f"Tensor name '{n}' contains unusual special characters" for n in name_order(batch)]


def test_special_lower_cases(native):
    names = ["BAC\u212aDOOR_", "po\u0130son_", "\u0130nject_", "SHELL_", "RCE_", "Exploit_\u03a3", "TROJAN\u0130_",
             "\u212a", "poi\u0307son_", "\uff22ACKDOOR_", "MAL\u0131CIOUS_", "\u017fhell_"]
    assert screened(native, names) == expected_name_warnings(names)
    assert "Suspicious tensor name 'BAC\u212aDOOR_' contains pattern 'backdoor_'" in screened(native, names)


NAME_TEXT = st.text(
    alphabet=st.one_of(
        st.sampled_from("".join(PATTERNS) + "BACKDORPISNMLTJEXH-<>|*?\"' "),
        st.sampled_from("\u212a\u0130\u0131\u03a3\u00df\u017f\u1e9e\uff22\u2126\u00c5\u0307"),
        st.characters(blacklist_categories=("Cs",)),
    ),
    max_size=24,
)


@settings(max_examples=300, deadline=None)
@given(st.lists(NAME_TEXT.filter(lambda n: n != "__metadata__"), min_size=1, max_size=6))
def test_random_names_screen_as_the_interpreter(native, names):
    assert screened(native, names) == expected_name_warnings(names)


# ---------------------------------------------------------------------------------------------
# Hostile headers: never a crash, never an exception, always the one parse warning

BAD_JSON = [
    ("invalid_utf8_in_name", b'{"\xff":{}}'),
    ("invalid_utf8_in_metadata", b'{"__metadata__":{"a":"\xc3\x28"}}'),
    ("overlong_utf8", b'{"\xc0\xaf":{}}'),
    ("utf8_encoded_surrogate", b'{"\xed\xa0\x80":{}}'),
    ("raw_nul_in_string", b'{"a\x00":{}}'),
    ("raw_nul_before_value", b"\x00{}"),
    ("raw_nul_inside_value", b'{"a":\x00}'),
    ("raw_nul_after_value", b"{}\x00"),
    ("lone_high_surrogate", b'{"\\ud800":{}}'),
    ("lone_low_surrogate", b'{"\\udc00":{}}'),
    ("high_surrogate_then_letter", b'{"\\ud800\\u0041":{}}'),
    ("number_overflow", b'{"t":{"data_offsets":[0,1e400]}}'),
    ("negative_overflow", b'{"t":-1e400}'),
    ("digits_beyond_double", b'{"t":1' + b"0" * 400 + b"}"),
    ("nan_literal", b'{"t":NaN}'),
    ("infinity_literal", b'{"t":Infinity}'),
    ("leading_zero", b'{"t":01}'),
    ("unterminated_string", b'{"t'),
    ("single_quotes", b"{'t':{}}"),
    ("comment", b'{/* x */"t":{}}'),
    ("byte_order_mark", b"\xef\xbb\xbf{}"),
    ("trailing_comma", b'{"t":{},}'),
    ("control_character", b'{"t\x01":{}}'),
    ("depth_129_arrays", b'{"t":' + b"[" * 128 + b"]" * 128 + b"}"),
    ("depth_129_objects", b'{"a":' * 129 + b"1" + b"}" * 129),
]


@pytest.mark.parametrize("header", [c[1] for c in BAD_JSON], ids=[c[0] for c in BAD_JSON])
def test_bad_json_is_one_warning(native, header):
    file = st_file(header, b"\x7fELF\x02#!/bin/sh")
    result = native.validate_safetensors(file)
    [warning] = result.warnings
    assert warning.startswith(PARSE + "parse error at line 1, column ")
    assert "json.exception" not in warning
    assert (result.tensor_names, result.metadata, result.suspicious_data_patterns) == ([], None, [])
    assert native.is_safetensors(file) is False
    assert native.parse_safetensors_header(file) == []


ODD_BUT_VALID = [
    ("empty_name", b'{"":{}}', [""]),
    ("escaped_nul_in_name", b'{"a\\u0000b":{}}', ["a\x00b"]),
    ("surrogate_pair_escape", b'{"\\ud83d\\ude00":{}}', ["\U0001F600"]),
    ("offset_beyond_64_bits", b'{"t":{"data_offsets":[0,99999999999999999999999]}}', ["t"]),
    ("shape_beyond_every_integer", b'{"t":{"shape":[-99999999999999999999999,1e308]}}', ["t"]),
    ("underflow_to_zero", b'{"t":1e-400}', ["t"]),
    ("depth_128", b'{"t":' + b"[" * 127 + b"]" * 127 + b"}", ["t"]),
    ("long_name", b'{"' + b"n" * 100_000 + b'":{}}', ["n" * 100_000]),
]


@pytest.mark.parametrize("header,names", [c[1:] for c in ODD_BUT_VALID], ids=[c[0] for c in ODD_BUT_VALID])
def test_odd_but_valid_headers(native, header, names):
    result = native.validate_safetensors(st_file(header))
    assert (result.warnings, result.tensor_names) == ([], names)


def test_long_suspicious_name_is_quoted_whole(native):
    name = "x" * 50_000 + ".." + "y" * 50_000
    assert screened(native, [name]) == [f"Suspicious tensor name '{name}' contains pattern '..'"]


@pytest.mark.parametrize("header,line,column", [
    (b"[" * 129, 1, 129),
    (b'{"a\\"[{":' + b"[" * 128, 1, len(b'{"a\\"[{":') + 128),  # brackets inside a string do not count
    (b"[\n" * 129, 129, 1),
    (b"[" * 100_000_000, 1, 129),
], ids=["arrays", "after_string_with_brackets", "one_per_line", "100_mb_of_brackets"])
def test_nesting_limit_position(native, header, line, column):
    [warning] = native.validate_safetensors(st_file(header)).warnings
    assert warning == PARSE + f"parse error at line {line}, column {column}: nesting depth exceeds the limit of 128"


def test_parser_message_is_cut_and_printable(native):
    # The parser echoes the token it stopped in, invalid bytes included; the warning stays short
    # and valid text.
    [warning] = native.validate_safetensors(st_file(b'{"' + b"a" * 200_000 + b'\xff"}')).warnings
    assert warning.startswith(PARSE + "parse error at line 1, column 200003: syntax error while parsing object key - "
                              "invalid string: ill-formed UTF-8 byte; last read: '\"aaa")
    assert len(warning.encode()) <= len(PARSE) + 1024 + 3 and warning.endswith("...")
    [short] = native.validate_safetensors(st_file(b'{"\xe9":{}}')).warnings
    assert "; last read: '\"\ufffd\"'" in short


# ---------------------------------------------------------------------------------------------
# Sizes at the limit

def spaced(text, size):
    return text + b" " * (size - len(text))


@pytest.mark.slow
def test_header_size_limit(native):
    at_limit = st_file(spaced(b'{"t":{}}', 100_000_000))
    result = native.validate_safetensors(at_limit)
    assert (result.is_valid, result.tensor_names, result.header_size) == (True, ["t"], 100_000_000)
    assert native.is_safetensors(at_limit)
    del at_limit

    over = st_file(spaced(b'{"t":{"dtype":"F32"}}', 100_000_001))
    assert native.validate_safetensors(over).warnings == ["Header size 100000001 exceeds maximum allowed 100000000 (potential DoS)"]
    assert native.is_safetensors(over) is False
    assert rows(native.parse_safetensors_header(over)) == [("t", "F32", [], (0, 0))]  # no limit here


@pytest.mark.slow
def test_a_million_tensors_in_100_mb(native):
    entry = '"layers.{:07d}.mlp.down_proj.weight":{{"dtype":"BF16","shape":[1],"data_offsets":[{},{}]}}'
    count = 1_000_000
    text = ("{" + ",".join(entry.format(i, 2 * i, 2 * i + 2) for i in range(count)) + "}").encode()
    assert len(text) <= 100_000_000
    file = st_file(text, b"\x01\x02" * count)
    del text
    result, growth = peak_rss_growth(lambda: native.validate_safetensors(file))
    assert result.is_valid and result.tensor_count == count
    if growth is not None:
        assert growth < 3 * len(file), growth
    infos, growth = peak_rss_growth(lambda: native.parse_safetensors_header(file))
    last = (f"layers.{count - 1:07d}.mlp.down_proj.weight", "BF16", [1], (2 * count - 2, 2 * count))
    assert len(infos) == count and rows(infos[-1:]) == [last]


# ---------------------------------------------------------------------------------------------
# The Python surface

DOCS = {
    "validate_safetensors": "validate_safetensors(data)\n--\n\n"
    "Parse and validate a SafeTensors file with comprehensive security checks (non-streaming)\n\n"
    "This function performs:\n"
    "1. Structure validation (header parsing, JSON validation)\n"
    "2. Tensor name security checks (suspicious patterns)\n"
    "3. Data offset validation\n"
    "4. Tensor data scanning for malicious patterns (executables, scripts, etc.)\n"
    "5. Metadata validation",
    "parse_safetensors_header": "parse_safetensors_header(data)\n--\n\nParse SafeTensors header and extract tensor information",
    "is_safetensors": "is_safetensors(data)\n--\n\nFast check if a file is SafeTensors format (just reads first 8 bytes + small header)",
}


@pytest.mark.parametrize("name", list(DOCS))
def test_function_surface(native, name):
    function = getattr(native, name)
    signature, _, description = DOCS[name].partition("\n--\n\n")
    assert function.__text_signature__ == "(data)"
    assert function.__doc__ == description
    assert function(data=st_file(b"{}")) is not None
    for wrong in (bytearray(b"12345678{}"), memoryview(b"12345678{}"), "text", None):
        with pytest.raises(TypeError, match=rf"^argument 'data': '{type(wrong).__name__}' object cannot be converted to 'PyBytes'$"):
            function(wrong)
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'data'$"):
        function()
    with pytest.raises(TypeError):
        function(b"", b"")

    class Blob(bytes):
        pass

    assert type(function(Blob(st_file(b"{}")))) is type(function(st_file(b"{}")))


def test_class_docstrings(native):
    assert native.SafeTensorsValidation.__doc__ == "SafeTensors validation result"
    assert native.TensorInfo.__doc__ == "Tensor information from SafeTensors header"


def test_package_reexports():
    import vesquor

    for name in ("validate_safetensors", "parse_safetensors_header", "is_safetensors", "SafeTensorsValidation", "TensorInfo"):
        assert getattr(vesquor, name) is getattr(vesquor._native, name)
        assert name in vesquor.__all__


def test_concurrent_calls_agree(native):
    rng = random.Random(7)
    files = [u8_tensor(bytes(rng.randrange(256) for _ in range(3000)) + ELF64 + SH) for _ in range(4)]
    files.append(st_file(tensors([f"t{i}.." for i in range(2000)])))
    expected = [native.validate_safetensors(f).warnings for f in files]
    failures = []
    barrier = threading.Barrier(6)

    def work():
        barrier.wait()
        for _ in range(20):
            if [native.validate_safetensors(f).warnings for f in files] != expected:
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


def test_other_threads_run_during_validation(native):
    # The interpreter lock is released for the header and the data scan: a counting thread runs.
    header = tensors([f"w{i}" for i in range(200_000)], dtype="U8", shape=[1], data_offsets=[0, 1])
    file = st_file(header, bytes(256 * 1024 * 1024))
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before = len(ticks)
        native.validate_safetensors(file)
        native.parse_safetensors_header(file)
        during = len(ticks) - before
    finally:
        stop.set()
        thread.join()
    assert during > 1000
