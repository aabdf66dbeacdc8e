"""validate_model_integrity: signatures, the padding check and the report threshold of 3."""

import resource
import threading

import pytest

PE = b"\x4d\x5a\x90\x00"
ELF32 = b"\x7fELF\x01"
ELF64 = b"\x7fELF\x02"
SH = b"#!/bin/sh"
BASH = b"#!/bin/bash"
PAD_TEXT = "Excessive null bytes ({}% of data) - possible padding attack"

LABEL = {
    PE: "PE executable header (Windows .exe)",
    ELF32: "ELF executable header (Linux/Unix 32-bit)",
    ELF64: "ELF executable header (Linux/Unix 64-bit)",
    b"\xfe\xed\xfa\xce": "Mach-O executable (macOS 32-bit)",
    b"\xfe\xed\xfa\xcf": "Mach-O executable (macOS 64-bit)",
    b"\xca\xfe\xba\xbe": "Mach-O universal binary (macOS)",
    SH: "Shell script shebang",
    BASH: "Bash script shebang",
    b"#!/usr/bin/python": "Python script shebang",
    b"#!/usr/bin/env": "Generic script shebang",
}

CASES = [
    # name                          data                                        findings
    ("empty",                       b"",                                        []),
    ("plain_text",                  b"weights and nothing else",                []),
    ("pe_anywhere",                 b"xx" + PE + b"yy",                         [LABEL[PE]]),
    ("mz_then_other_byte",          b"MZ\x90\x01",                              []),
    ("elf_class_byte_decides",      ELF64,                                      [LABEL[ELF64]]),
    ("elf_unknown_class",           b"\x7fELF\x03",                             []),
    ("elf_is_case_sensitive",       b"\x7felf\x02",                             []),
    ("mach_o_little_endian_absent", b"\xce\xfa\xed\xfe\xcf\xfa\xed\xfe",        []),
    ("one_shebang_below_threshold", SH,                                         []),
    ("two_shebangs_reported",       SH + b" " + SH,                             [LABEL[SH]] * 2),
    ("bash_is_not_sh",              BASH + b" " + BASH,                         [LABEL[BASH]] * 2),
    ("python_version_digit",        b"#!/usr/bin/python3\n" + ELF32,            [LABEL[b"#!/usr/bin/python"], LABEL[ELF32]]),
    ("data_order",                  b"\xca\xfe\xba\xbe" + b"." + PE,            [LABEL[b"\xca\xfe\xba\xbe"], LABEL[PE]]),
    ("padding_alone_not_reported",  bytes(1000) + b"x" * 24,                    []),
    ("padding_with_shebang",        bytes(1000) + BASH + b"x" * 13,             [LABEL[BASH], PAD_TEXT.format("97.7")]),
    ("shebang_after_zeros",         bytes(2048) + SH,                            [LABEL[SH], PAD_TEXT.format("99.6")]),
    ("no_check_below_1024",         bytes(1023 - len(SH)) + SH,                 []),
    ("exactly_95_percent",          bytes(1900) + SH + b"y" * 91,               []),
    ("just_over_95_percent",        bytes(1901) + SH + b"y" * 90,               [LABEL[SH], PAD_TEXT.format("95.0")]),
    ("executable_and_padding",      bytes(4096) + PE,                           [LABEL[PE], PAD_TEXT.format("99.9")]),
]


@pytest.mark.parametrize("data,findings", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_findings(native, data, findings):
    result = native.validate_model_integrity(data)
    assert result.suspicious_patterns == findings
    assert result.warnings == ["Suspicious pattern detected: " + f for f in findings]
    assert result.is_valid is (not findings)
    assert repr(result) == f"ModelIntegrityValidation(valid={'false' if findings else 'true'}, warnings={len(findings)})"


def test_every_signature_has_its_label_and_weight(native):
    for signature, label in LABEL.items():
        found = native.validate_model_integrity(signature + b"|" + signature + b"|" + signature).suspicious_patterns
        assert found == [label] * 3, signature


@pytest.mark.parametrize("length", [1024, 2000, 4099, 1 << 16])
def test_padding_percentage_is_correctly_rounded(native, length):
    # The interpreter's own formatting of the same quotient is correctly rounded: the oracle.
    for nonzero in range(len(ELF64), length // 20 + 2):
        zeros = length - nonzero
        data = bytes(zeros) + ELF64 + b"a" * (nonzero - len(ELF64))
        percent = zeros / length * 100.0
        expected = [LABEL[ELF64]] + ([PAD_TEXT.format(f"{percent:.1f}")] if percent > 95.0 else [])
        assert native.validate_model_integrity(data).suspicious_patterns == expected, (zeros, length)


def test_signature_across_internal_block_boundaries(native):
    # The scan works in blocks of a few hundred KiB; a signature cut by any of them is still found.
    block = 256 * 1024
    data = bytearray(b"a" * (4 * block))
    for end in (block + 1, 2 * block + 3, 3 * block + 17):  # each cut by a block boundary
        data[end - len(BASH) : end] = BASH
    data[2 * block - 20 : 2 * block - 15] = ELF64
    found = native.validate_model_integrity(bytes(data)).suspicious_patterns
    assert found == [LABEL[BASH], LABEL[ELF64], LABEL[BASH], LABEL[BASH]]


def test_result_is_a_read_only_snapshot(native):
    result = native.validate_model_integrity(PE)
    for name in ("is_valid", "warnings", "suspicious_patterns"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    first = result.warnings
    first.append("changed")
    assert result.warnings == ["Suspicious pattern detected: " + LABEL[PE]]
    assert result.warnings is not result.warnings


def test_empty_constructor(native):
    empty = native.ModelIntegrityValidation()
    assert (empty.is_valid, empty.warnings, empty.suspicious_patterns) == (True, [], [])
    assert repr(empty) == "ModelIntegrityValidation(valid=true, warnings=0)"


def test_bytes_subclass_is_read(native):
    class Blob(bytes):
        pass

    assert native.validate_model_integrity(Blob(PE)).suspicious_patterns == [LABEL[PE]]


def test_concurrent_calls_agree(native):
    data = (b"a" * 5000 + ELF64 + SH) * 200 + bytes(300_000)
    expected = native.validate_model_integrity(data).suspicious_patterns
    results = []
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        for _ in range(20):
            results.append(native.validate_model_integrity(data).suspicious_patterns)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 160 and all(r == expected for r in results)


def test_other_threads_run_during_a_scan(native):
    # The interpreter lock is released while scanning: a counting thread makes progress meanwhile.
    data = bytes(512 * 1024 * 1024 - 1) + b"x"
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before = len(ticks)
        for _ in range(3):
            native.validate_model_integrity(data)
        during = len(ticks) - before
    finally:
        stop.set()
        thread.join()
    assert during > 1000


@pytest.mark.slow
def test_four_gib_buffer_is_scanned_in_place(native):
    # Hyperscan takes a 32-bit length; the buffer is longer, and the signature straddles 2**32.
    size = 2**32 + 4096
    data = b"".join([bytes(2**32 - 2), ELF64, bytes(size - 2**32 - 3)])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = native.validate_model_integrity(data)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert result.suspicious_patterns == [LABEL[ELF64], PAD_TEXT.format("100.0")]
    assert grown_kib < 64 * 1024, "the scan must not copy the buffer"
