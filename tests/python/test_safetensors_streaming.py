"""SafeTensorsStreamingValidator: the header first, the data region in chunks, then finalize."""

import pytest
from safetensors_fixtures import DATA_PREFIX, st_file

ELF = b"\x7fELF\x02"
SH = b"#!/bin/sh"
HEADER = {"w": {"dtype": "U8", "shape": [16], "data_offsets": [0, 16]}}


def stream(native, header_file, chunks, cores=1):
    validator = native.SafeTensorsStreamingValidator(cores)
    valid = validator.validate_header(header_file)
    returned = [validator.process_chunk(chunk) for chunk in chunks]
    return valid, returned, validator.finalize()


def test_clean_file(native):
    valid, returned, result = stream(native, st_file(HEADER), [b"\x01" * 16])
    assert valid and returned == [[]]
    assert (result.is_valid, result.tensor_names, result.total_size, result.warnings) == (True, ["w"], 0, [])
    assert repr(result) == "SafeTensorsValidation(valid=true, tensors=1, size=0, warnings=0)"


FLUSH_CASES = [
    # name                       chunks (last bytes stay in the tail)          per-chunk returns            flagged
    ("elf_and_shebang_in_tail",  [b"." * 40 + ELF + SH],                       [[ "ELF executable header (Linux/Unix 64-bit)", "Shell script shebang"]],
     ["ELF executable header (Linux/Unix 64-bit)", "Shell script shebang"]),
    ("one_elf_below_five",       [b"." * 40 + ELF],                            [["ELF executable header (Linux/Unix 64-bit)"]], []),
    ("out_of_the_tail",          [ELF + SH + b"." * 40],                       [["ELF executable header (Linux/Unix 64-bit)", "Shell script shebang"]], []),
    ("split_across_chunks",      [b"...\x7fEL", b"F\x02#!/bin/sh"],            [[], ["ELF executable header (Linux/Unix 64-bit)", "Shell script shebang"]],
     ["ELF executable header (Linux/Unix 64-bit)", "Shell script shebang"]),
]


@pytest.mark.parametrize("chunks,returns,flagged", [c[1:] for c in FLUSH_CASES], ids=[c[0] for c in FLUSH_CASES])
def test_only_the_flush_is_scored(native, chunks, returns, flagged):
    valid, returned, result = stream(native, st_file(HEADER), chunks)
    assert valid and returned == returns
    assert result.suspicious_data_patterns == flagged
    assert result.warnings == [DATA_PREFIX + name for name in flagged]
    assert result.is_valid is (not flagged)


def test_group_order_of_chunk_matches(native):
    # Row 2 (ELF 64) is in group 0 of 2, row 7 (bash shebang) in group 1: group order, not position.
    validator = native.SafeTensorsStreamingValidator(2)
    validator.validate_header(st_file(HEADER))
    assert validator.process_chunk(b"#!/bin/bash.." + ELF + b"." * 40) == [
        "ELF executable header (Linux/Unix 64-bit)", "Bash script shebang"]


def test_header_warning_keeps_result_invalid(native):
    forged = st_file(HEADER, length=10**9)
    valid, returned, result = stream(native, forged, [b"clean data"])
    assert valid is False and returned == [[]]  # chunks are scanned after an invalid header too
    assert result.is_valid is False and result.warnings


def test_states_and_errors(native):
    validator = native.SafeTensorsStreamingValidator(3)
    for call, message in [(lambda: validator.process_chunk(b"x"), "Must call validate_header() before process_chunk()"),
                          (validator.finalize, "Must call validate_header() before finalize()")]:
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == message
    validator.validate_header(st_file(HEADER))
    validator.finalize()
    with pytest.raises(ValueError, match=r"^Must call validate_header\(\) before finalize\(\)$"):
        validator.finalize()
    # The flush emptied the tail: the next file does not see the previous one's last bytes.
    validator.validate_header(st_file(HEADER))
    assert validator.process_chunk(b"x") == []
    with pytest.raises(ValueError, match="^num_groups must be at least 1$"):
        native.SafeTensorsStreamingValidator(0)
    with pytest.raises(TypeError, match="^argument 'header_data': 'bytearray' object cannot be converted to 'PyBytes'$"):
        validator.validate_header(bytearray(b"x"))


def test_second_header_replaces_the_first(native):
    validator = native.SafeTensorsStreamingValidator(1)
    validator.validate_header(st_file(HEADER, length=10**9))
    assert validator.validate_header(st_file(HEADER)) is True
    assert validator.finalize().is_valid is True
