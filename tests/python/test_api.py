"""The Python API: scan_bytes / scan_file / scan_path and their reports.

The central property: a file streamed in chunks is judged exactly as the engine's one-shot
functions judge the same bytes in one piece, whatever the chunk size and the group count, and
never less strictly. The engine's streaming scanners report an occurrence in the carried bytes of
a chunk again with the next chunk; fixtures put signatures across and just before chunk
boundaries and at the very end, where those repeats happen.
"""

import concurrent.futures
import json
import os
import pickle
import struct
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as gen
from model_folder import write_clean_folder
from safetensors_fixtures import BASH, ELF64, PE, SH, st_file

import vesquor
from vesquor import ScanReport, scan_bytes, scan_file, scan_path
from vesquor.report import ERROR, EXIT_ERROR, SCANNED

HEADER = {"w": {"dtype": "U8", "shape": [2048], "data_offsets": [0, 2048]}}


def region(*placed, length=2048, fill=b"\x01"):
    """`length` bytes of `fill` with (offset, bytes) pairs written over them."""
    data = bytearray(fill * length)
    for at, payload in placed:
        data[at:at + len(payload)] = payload
    return bytes(data)


def st(data, header=None):
    header = header or {"w": {"dtype": "U8", "shape": [len(data)], "data_offsets": [0, len(data)]}}
    return st_file(header, data)


SAFETENSORS_CASES = {
    "clean": st(region()),
    "elf_and_shebang": st(region((100, ELF64), (900, SH))),
    "elf_and_padding": st(region((100, ELF64), fill=b"\0")),
    "elf_alone": st(region((100, ELF64))),
    "padding_alone": st(region(fill=b"\0")),
    "two_shebangs_and_pe": st(region((10, SH), (500, BASH), (1500, PE))),
    # Signatures in the last bytes of the data: the final flush repeats them.
    "at_the_end": st(region((2048 - len(SH), SH), (2048 - len(SH) - len(PE), PE))),
    "suspicious_name_with_payload": st(region((100, ELF64), (900, SH)), {"backdoor_w": HEADER["w"]}),
    "offset_past_end": st(region((5, ELF64), (60, SH)), {"w": {"data_offsets": [0, 4096]}}),
    "start_after_end": st(region(), {"w": {"data_offsets": [9, 3]}}),
    "header_only": st_file({"w": {"data_offsets": [0, 0]}}),
    "not_an_object": st_file("[1, 2]", b"\x01" * 64),
    "bad_json": st_file("{nope", b"\x01" * 64),
    "forged_length": st_file({"w": {}}, b"\x01" * 64, length=10**6),
    "oversized_header": st_file({"w": {}}, b"\x01" * 64, length=10**8 + 1),
    "too_small": b"\x05\x00\x00",
}
CHUNK_SIZES = [1, 5, 16, 17, 100, 1000, 1 << 20]


def validator_result(report, name):
    (result,) = [v for v in report.validators if v.name == name]
    return result


@pytest.mark.parametrize("case", SAFETENSORS_CASES)
@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
@pytest.mark.parametrize("num_cores", [1, 3])
def test_streamed_safetensors_matches_the_one_shot_verdict(case, chunk_size, num_cores):
    data = SAFETENSORS_CASES[case]
    one_shot = vesquor.validate_safetensors(data)
    report = scan_bytes(data, "safetensors", validators=["safetensors"], chunk_size=chunk_size, num_cores=num_cores)
    assert report.status == SCANNED, report.error
    streamed = validator_result(report, "safetensors").result
    if one_shot.is_valid or not one_shot.suspicious_tensor_names:
        # Where the one-shot check went all the way, the streamed one says the same: the same
        # warnings (data findings may come in another order across groups) and fields.
        assert Counter(streamed["warnings"]) == Counter(one_shot.warnings)
        assert Counter(streamed["suspicious_data_patterns"]) == Counter(one_shot.suspicious_data_patterns)
        assert streamed["is_valid"] == one_shot.is_valid
    else:
        # The one-shot check stops at a suspicious name; the streamed one checks the data anyway.
        assert set(one_shot.warnings) <= set(streamed["warnings"])
        assert not streamed["is_valid"]
    for field in ("tensor_names", "tensor_count", "suspicious_tensor_names", "header_size", "metadata", "total_size"):
        assert streamed[field] == getattr(one_shot, field), field
    assert bool(report.findings) == (not streamed["is_valid"])


MODEL_INTEGRITY_CASES = {
    "clean": region(length=5000),
    "one_shebang": region((3000, SH), length=5000),
    "shebang_at_the_end": region((5000 - len(SH), SH), length=5000),
    "two_shebangs": region((17, SH), (40, BASH), length=5000),
    "shebang_and_padding": region((1, BASH), length=5000, fill=b"\0"),
    "pe_and_elf": region((0, PE), (4996, b"\x7fELF"), length=5000) + b"\x01",
    "exactly_95_percent_zeros_and_shebang": region((0, b"\x01" * (100 - len(SH))), (100 - len(SH), SH), length=2000, fill=b"\0"),
}


@pytest.mark.parametrize("case", MODEL_INTEGRITY_CASES)
@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
@pytest.mark.parametrize("num_cores", [1, 4])
def test_streamed_model_integrity_matches_the_one_shot_check(case, chunk_size, num_cores):
    data = MODEL_INTEGRITY_CASES[case]
    expected = vesquor.validate_model_integrity(data)
    report = scan_bytes(data, "binary", chunk_size=chunk_size, num_cores=num_cores)
    result = validator_result(report, "model_integrity").result
    assert result["is_valid"] == expected.is_valid
    assert Counter(result["suspicious_patterns"]) == Counter(expected.suspicious_patterns)
    assert Counter(result["warnings"]) == Counter(expected.warnings)


@pytest.mark.parametrize(
    "hidden",
    [
        # A build with only the one-shot functions: the header through validate_safetensors, the
        # catalogue through validate_model_integrity over overlapping windows.
        {"SafeTensorsStreamingValidator", "ModelIntegrityStreamingValidator", "PyParallelStreamingScanner"},
        # The scanner wrapper as the only streaming scanner of the catalogue.
        {"ModelIntegrityStreamingValidator"},
    ],
    ids=["one_shot_only", "scanner_wrapper"],
)
@pytest.mark.parametrize("chunk_size", [1, 17, 300])
def test_builds_without_the_streaming_classes_judge_the_same(hidden, chunk_size, monkeypatch):
    from vesquor import drivers

    real = drivers.native
    monkeypatch.setattr(drivers, "native", lambda name: None if name in hidden else real(name))
    for case in ("elf_and_shebang", "at_the_end", "offset_past_end", "forged_length", "elf_alone"):
        data = SAFETENSORS_CASES[case]
        one_shot = vesquor.validate_safetensors(data)
        streamed = validator_result(scan_bytes(data, "safetensors", validators=["safetensors"], chunk_size=chunk_size), "safetensors")
        assert Counter(streamed.result["warnings"]) == Counter(one_shot.warnings), case
        assert not any(name in streamed.engine for name in hidden)
    for case, data in MODEL_INTEGRITY_CASES.items():
        result = validator_result(scan_bytes(data, "binary", chunk_size=chunk_size), "model_integrity").result
        assert Counter(result["suspicious_patterns"]) == Counter(vesquor.validate_model_integrity(data).suspicious_patterns), case


SIGNATURES = [SH, BASH, PE, ELF64, b"#!/usr/bin/env", b"\xca\xfe\xba\xbe"]


@settings(max_examples=60, deadline=None)
@given(
    pieces=gen.lists(gen.one_of(gen.sampled_from(SIGNATURES), gen.binary(max_size=40)), max_size=30),
    chunk_size=gen.integers(1, 64),
    num_cores=gen.integers(1, 5),
)
def test_streamed_model_integrity_counts_each_occurrence_once(pieces, chunk_size, num_cores):
    data = b"".join(pieces)
    expected = vesquor.validate_model_integrity(data)
    result = validator_result(scan_bytes(data, "binary", chunk_size=chunk_size, num_cores=num_cores), "model_integrity").result
    assert Counter(result["suspicious_patterns"]) == Counter(expected.suspicious_patterns)


def test_scan_file_streams_what_scan_bytes_scans(tmp_path):
    data = SAFETENSORS_CASES["elf_and_shebang"]
    path = tmp_path / "weights.bin"
    path.write_bytes(data)
    from_file = scan_file(path, chunk_size=64)
    from_bytes = scan_bytes(data, name=str(path), chunk_size=64)
    assert from_file.kind == "safetensors"
    assert [f.rule for f in from_file.findings] == [f.rule for f in from_bytes.findings]
    assert from_file.sha256 == from_bytes.sha256 and len(from_file.sha256) == 64
    assert [v.result for v in from_file.validators] == [v.result for v in from_bytes.validators]


def test_threat_validator_results_are_read_whole(tmp_path):
    if not hasattr(vesquor._native, "ToolCallingStreamingValidator"):
        pytest.skip("ToolCallingStreamingValidator is not in this build of the engine")
    data = json.dumps({"tools": [{"name": "delete_everything", "parameters": {"cmd": "x; rm -rf /"}}]}).encode()
    report = scan_bytes(data, name="tools.json", validators=["tool_calling"])
    (result,) = report.validators
    native = vesquor.validate_tool_calling(data, 4)
    assert result.result == {
        "dangerous_tools_found": sorted(native.dangerous_tools_found),
        "suspicious_parameters_found": sorted(native.suspicious_parameters_found),
        "total_matches": native.total_matches,
        "risk_score": native.risk_score,
    }
    assert {f.rule for f in report.findings} == {"dangerous:delete_tool", "suspicious:shell_command_injection"}
    assert {f.severity for f in report.findings} == {"medium", "high"}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return write_clean_folder(tmp_path_factory.mktemp("models") / "tiny")


def test_reports_pickle_and_round_trip_through_json(folder):
    report = scan_path(folder)
    assert report.exit_code == 0 and len(report.files) == 8
    assert pickle.loads(pickle.dumps(report)) == report
    again = ScanReport.from_dict(json.loads(report.to_json()))
    assert again.to_dict() == report.to_dict()


# A forked worker inherits the parent's hashing executor without its thread; it must make its own
# (the scan hung before it did). Python 3.12 warns about forking a threaded process; that is the
# case under test.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("start_method", ["fork", "spawn"])
def test_scan_file_maps_over_a_process_pool(folder, start_method):
    import multiprocessing

    paths = sorted(str(p) for p in folder.iterdir())
    serial = [scan_file(p) for p in paths]
    context = multiprocessing.get_context(start_method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        parallel = list(pool.map(scan_file, paths))
    strip = lambda r: {**r.to_dict(), "scan_seconds": 0}  # noqa: E731
    assert [strip(r) for r in parallel] == [strip(r) for r in serial]
    merged = ScanReport.merge(parallel)
    assert merged.exit_code == 0 and merged.summary["scanned"] == len(paths)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda f: os.truncate(f, 3000), "the file shrank while being read: 100000 bytes expected"),
        (lambda f: open(f, "ab").write(b"more"), "the file grew while being read"),
    ],
)
def test_a_file_that_changes_while_being_read_is_an_error(tmp_path, change, message):
    path = tmp_path / "blob.bin"
    path.write_bytes(b"\x01" * 100_000)
    calls = []

    def on_progress(n):
        if not calls:
            change(path)
        calls.append(n)

    report = scan_path([path, folder_file(tmp_path)], chunk_size=4096, on_progress=on_progress)
    changed, other = report.files
    assert changed.status == ERROR and changed.error.startswith(message), changed.error
    assert changed.findings == [] and changed.sha256 is None
    assert other.status == SCANNED
    assert report.exit_code == EXIT_ERROR


def folder_file(tmp_path):
    other = tmp_path / "other.json"
    other.write_text('{"a": 1}')
    return other


def test_an_engine_failure_is_an_error_not_a_crash(tmp_path, monkeypatch):
    from vesquor import drivers

    def broken(*args, **kwargs):
        raise RuntimeError("Already borrowed")

    monkeypatch.setattr(drivers.ModelIntegrityDriver, "feed", broken)
    report = scan_bytes(b"\x01" * 10, "binary")
    assert report.status == ERROR and "Already borrowed" in report.error


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"validators": ["nope"]}, "unknown validator 'nope'"),
        ({"chunk_size": 0}, "chunk_size must be at least 1"),
        ({"num_cores": 0}, "num_cores must be at least 1"),
        ({"kind": "pickle"}, "unknown kind 'pickle'"),
    ],
)
def test_bad_arguments_raise(kwargs, message):
    with pytest.raises(ValueError, match=message):
        scan_bytes(b"", **kwargs)


def test_gguf_safety_reads_only_the_tensor_data(tmp_path):
    if not hasattr(vesquor._native, "GGUFSafetyStreamingValidator"):
        pytest.skip("GGUFSafetyStreamingValidator is not in this build of the engine")
    from model_folder import write_gguf

    path = tmp_path / "m.gguf"
    write_gguf(path)  # its metadata holds an https:// URL, which GGUF safety flags in tensor data
    report = scan_file(path)
    assert report.findings == []
    gguf_safety = validator_result(report, "gguf_safety")
    layout = validator_result(report, "gguf").result
    assert gguf_safety.offset == layout["data_offset"] > 0
    assert gguf_safety.offset + gguf_safety.length == report.size
    whole = scan_file(path, validators=["gguf_safety"], kind="binary")
    assert "suspicious:https_scheme" in {f.rule for f in whole.findings}


def test_header_of_a_safetensors_file_counts_toward_model_integrity_only(tmp_path):
    # The JSON header is not tensor data: a shebang there is no data finding, but the
    # whole-file check sees it.
    data = st_file({"w": {"data_offsets": [0, 8]}, "__metadata__": {"a": "#!/bin/sh #!/bin/sh"}}, b"\x01" * 8)
    report = scan_bytes(data, "safetensors")
    assert {(f.validator, f.rule, f.count) for f in report.findings} == {("model_integrity", "script:sh_shebang", 2)}
    assert struct.unpack_from("<Q", data)[0] == validator_result(report, "safetensors").result["header_size"]
