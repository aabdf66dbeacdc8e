"""The GGUF safety validator: catalogue, categories, counts, score, streaming and a real GGUF file."""

import random

import pytest
from catalogue_tables import GGUF_SAFETY as CATALOGUE
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from streaming_reference import ReferenceStream

CATEGORIES = ["suspicious", "executable", "malicious"]
LABELS = [label for _, label in CATALOGUE]
ALL_APART = b"".join(b"~" * 20 + pattern for pattern, _ in CATALOGUE) + b"~" * 20


def lists(result):
    return (result.suspicious_patterns_found, result.executable_patterns_found, result.malicious_patterns_found)


def test_catalogue_shape():
    # What the table is known to hold, recomputed: rows, distinct labels per category, no row
    # inside another (so the grouping never matters within one scan), the longest row.
    assert len(CATALOGUE) == 26 and len(set(LABELS)) == 26
    assert [sum(label.startswith(c + ":") for label in LABELS) for c in CATEGORIES] == [14, 6, 6]
    assert not [(a, b) for a, _ in CATALOGUE for b, _ in CATALOGUE if a != b and a in b]
    assert max(len(p) for p, _ in CATALOGUE) == 16


S, X, M = LABELS[12:], LABELS[:6], LABELS[6:12]

CASES = [
    # name                       data                                        cores  lists (S, X, M)                                   total score
    ("empty",                    b"",                                        1, ([], [], []),                                        0, 0.0),
    ("elf_32bit",                b"..\x7fELF\x01\x01\x01..",                 1, ([], ["executable:elf_header"], []),                 1, 0.03),
    ("elf_64bit_is_no_row",      b"..\x7fELF\x02\x01\x01..",                 1, ([], [], []),                                        0, 0.0),
    ("macho_little_endian",      b"\xce\xfa\xed\xfe\x00\x00\x00",            1, ([], [], []),                                        0, 0.0),
    ("curl_space",               b"run curl x",                              1, (["suspicious:curl_command"], [], []),               1, 0.015),
    ("curl_other_byte",          b"curl\tx curl-x curl\x00 curls",           1, ([], [], []),                                        0, 0.0),
    ("https_only_row_18",        b"https://x",                               1, (["suspicious:https_scheme"], [], []),               1, 0.015),
    ("http_only_row_17",         b"http://x",                                1, (["suspicious:http_scheme"], [], []),                1, 0.015),
    ("one_of_each",              b"MZ\x90\x00 payload eval(",                1,
     (["suspicious:eval_function"], ["executable:pe_header"], ["malicious:payload_keyword"]),                            3, 0.08499999999999999),
    ("executable_and_malicious", b"#!/usr/bin/env python # rootkit",         1,
     ([], ["executable:usr_script"], ["malicious:rootkit_keyword"]),                                                     2, 0.06999999999999999),
    ("backdoor_five_times",      b"backdoor " * 5,                           1, ([], [], ["malicious:backdoor_keyword"]),            5, 0.04),
    ("case_sensitive",           b"BACKDOOR Eval( CURL  HTTPS://",           1, ([], [], []),                                        0, 0.0),
] + [
    (f"all_26_{cores}_groups",   ALL_APART,                                  cores, (S, X, M),                                        26, 0.6300000000000001)
    for cores in (1, 2, 3, 5, 13, 26, 27, 2**63)
]


@pytest.mark.parametrize("data,cores,expected,total,score", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_one_shot(native, data, cores, expected, total, score):
    result = native.validate_gguf_safety(data, cores)
    assert lists(result) == expected  # catalogue order
    assert (result.total_matches, result.risk_score) == (total, score)
    streamed = native.GGUFSafetyStreamingValidator(cores)
    assert streamed.process_chunk(data) is None
    again = streamed.finalize()
    assert (lists(again), again.total_matches, again.risk_score) == (expected, total, score)


@pytest.mark.parametrize(
    "after,total",
    [(b"", 2), (b"." * 9, 2), (b"." * 10, 1)],  # "rootkit" starting at the first of the 16 carried bytes, or before
    ids=["at_the_end", "first_carried_byte", "just_before_the_tail"],
)
def test_repeat_within_the_last_16_bytes(native, after, total):
    validator = native.GGUFSafetyStreamingValidator(1)
    validator.process_chunk(b"x" * 100 + b"rootkit" + after)
    validator.process_chunk(b"y" * 100)
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == (
        ([], [], ["malicious:rootkit_keyword"]), total, 0.04)


def test_streaming_lifecycle(native):
    validator = native.GGUFSafetyStreamingValidator(3)
    validator.process_chunk(b"cat /etc/pa")
    validator.process_chunk(b"")
    assert validator.finalize().total_matches == 0
    validator.process_chunk(b"sswd now")  # the pattern split across chunks is found
    first, second = validator.finalize(), validator.finalize()
    assert (lists(first), first.total_matches) == (lists(second), second.total_matches) == (
        (["suspicious:passwd_file"], [], []), 1)
    validator.process_chunk(b"~" * 20 + b"shellcode")  # a chunk after finalize is reflected
    assert validator.finalize().malicious_patterns_found == ["malicious:shellcode_keyword"]
    assert not hasattr(validator, "reset")


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.GGUFSafetyStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_gguf_safety(b"x", 0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_gguf_safety(data=b"x"), TypeError,
         "validate_gguf_safety() missing 1 required positional argument: 'num_cores'"),
        (lambda n: n.validate_gguf_safety(memoryview(b"x"), 1), TypeError,
         "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda n: n.GGUFSafetyStreamingValidator(2**64), OverflowError, "int too big to convert"),
        (lambda n: n.GGUFSafetyStreamingValidator(1.5), TypeError,
         "argument 'num_cores': 'float' object cannot be interpreted as an integer"),
        (lambda n: n.GGUFSafetyStreamingValidator(1).process_chunk(bytearray(b"x")), TypeError,
         "argument 'chunk': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda n: n.GGUFSafetyStreamingValidator(1, 2), TypeError,
         "GGUFSafetyStreamingValidator.__new__() takes 2 positional arguments but 3 were given"),
        (lambda n: n.GGUFSafetyValidation(), TypeError, "No constructor defined for GGUFSafetyValidation"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_result_is_read_only(native):
    result = native.validate_gguf_safety(b"exec(", 1)
    for name in ("suspicious_patterns_found", "executable_patterns_found", "malicious_patterns_found",
                 "total_matches", "risk_score"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    assert type(result).__doc__ == "Validation results for GGUF safety analysis"
    assert repr(result).startswith("<vesquor._native.GGUFSafetyValidation object at ")


def expected_from_reference(chunks, cores):
    """The validator's rules applied literally over the per-group reference."""
    reference = ReferenceStream([p for p, _ in CATALOGUE], cores)
    ids = [i for chunk in chunks for i in reference.scan_chunk(chunk)]
    found = {LABELS[i] for i in ids}
    seen = tuple([label for label in LABELS if label in found and label.split(":")[0] == c] for c in CATEGORIES)
    s, x, m = (len(found_in) for found_in in seen)
    return seen, len(ids), min(((s * 0.15 + x * 0.3) + m * 0.4) / 10.0, 1.0)


PIECES = [p for p, _ in CATALOGUE] + [p[:-1] for p, _ in CATALOGUE] + [p[1:] for p, _ in CATALOGUE] + [b"\x00", b" "]


@st.composite
def streams(draw):
    piece = st.one_of(st.sampled_from(PIECES), st.binary(max_size=5))
    data = b"".join(draw(st.lists(piece, max_size=40)))
    cuts = sorted(draw(st.lists(st.integers(0, len(data)), max_size=5)))
    chunks = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
    return chunks, draw(st.integers(1, 6))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams())
def test_validator_equals_reference_on_random_streams(native, stream):
    chunks, cores = stream
    validator = native.GGUFSafetyStreamingValidator(cores)
    for chunk in chunks:
        validator.process_chunk(chunk)
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference(chunks, cores)


@pytest.mark.parametrize("cores", [1, 4])
def test_large_chunk_equals_reference(native, cores):
    # A chunk of several MiB is cut into segments that the pool scans at once.
    data = bytearray(random.Random(26).randbytes(9 << 20))
    for k in range(600):
        pattern = CATALOGUE[k % len(CATALOGUE)][0]
        at = (k * 15731) % (len(data) - 20)
        data[at:at + len(pattern)] = pattern
    data = bytes(data)
    result = native.validate_gguf_safety(data, cores)
    assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference([data], cores)


# ---------------------------------------------------------------------------------------------
# A real GGUF file, written by the gguf package


def write_gguf(path, plant=b""):
    """A small llama-style model: metadata, a vocabulary, three tensors; `plant` goes into the
    middle of the second tensor's data."""
    gguf = pytest.importorskip("gguf")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_name("tiny-test-model")
    writer.add_context_length(256)
    writer.add_embedding_length(16)
    writer.add_block_count(1)
    writer.add_tokenizer_model("llama")
    writer.add_token_list(["<unk>", "<s>", "</s>", "the", "cat", "sat", "on", "mat"])
    writer.add_tensor("token_embd.weight", rng.standard_normal((8, 16)).astype(np.float32))
    weights = rng.standard_normal((16, 16)).astype(np.float16)
    if plant:
        raw = bytearray(weights.tobytes())
        raw[200:200 + len(plant)] = plant
        weights = np.frombuffer(bytes(raw), dtype=np.float16).reshape(16, 16).copy()
    writer.add_tensor("blk.0.attn_q.weight", weights)
    writer.add_tensor("output_norm.weight", np.ones(16, dtype=np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return gguf.GGUFReader(str(path))


PLANT = b"\x7fELF\x01\x01\x01\x00\x00\x00" + b"#!/bin/sh\n"


def test_real_gguf_file(native, tmp_path):
    write_gguf(tmp_path / "clean.gguf")
    clean = (tmp_path / "clean.gguf").read_bytes()
    assert clean.startswith(b"GGUF")
    result = native.validate_gguf_safety(clean, 2)
    assert (lists(result), result.total_matches, result.risk_score) == (([], [], []), 0, 0.0)

    reader = write_gguf(tmp_path / "planted.gguf", PLANT)
    tensor = next(t for t in reader.tensors if t.name == "blk.0.attn_q.weight")
    assert PLANT in tensor.data.tobytes()  # the file still reads back, the bytes inside the tensor's data
    planted = (tmp_path / "planted.gguf").read_bytes()
    expected = ([], ["executable:elf_header", "executable:shell_script"], [])
    for cores in (1, 2):
        result = native.validate_gguf_safety(planted, cores)
        assert (lists(result), result.total_matches, result.risk_score) == (expected, 2, 0.06)
    # Read in small chunks, as a caller streams a file: the same findings.
    validator = native.GGUFSafetyStreamingValidator(2)
    for at in range(0, len(planted), 61):
        validator.process_chunk(planted[at:at + 61])
    assert lists(validator.finalize()) == expected
