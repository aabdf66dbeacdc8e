"""The engine seen from Python: PyParallelStreamingScanner, PyPatternMatch and the model-integrity
streaming validator, both thin fronts over a streaming scanner of the malware catalogue."""

import gc
import os
import random

import pytest
from busy_object import conflict_while_busy
from catalogue_tables import MALWARE
from streaming_reference import ReferenceStream

PE, ELF32, ELF64, BASH = (MALWARE[i][1] for i in (0, 1, 2, 7))


class Front:
    """One of the two classes, driven the same way: `scan` is scan_chunk or process_chunk."""

    def __init__(self, native, name, groups):
        self.object = getattr(native, name)(groups)
        self.scan = getattr(self.object, "scan_chunk" if name == "PyParallelStreamingScanner" else "process_chunk")

    def run(self, steps):
        out = []
        for step in steps:
            matches = self.object.finalize() if step == "finalize" else self.scan(step)
            assert all(type(m).__name__ == "PyPatternMatch" for m in matches)
            out.append([m.description for m in matches])
        return out


FRONTS = ["PyParallelStreamingScanner", "ModelIntegrityStreamingValidator"]

STREAM_CASES = [
    # name                       groups  steps                                               descriptions per step
    ("shebang_split",            1,      [b"x #!/bin/", b"bash -c"],                         [[], [BASH]]),
    ("empty_chunk_is_nothing",   3,      [b"#!/bin/", b"", b"bash"],                         [[], [], [BASH]]),
    ("finalize_repeats_tail",    1,      [b"..\x7fELF\x02", "finalize"],                     [[ELF64], [ELF64]]),
    ("finalize_once",            2,      [b"\x7fELF\x02", "finalize", "finalize"],           [[ELF64], [ELF64], []]),
    ("no_threshold",             2,      [b"#!/bin/sh\n"],                                   [[MALWARE[6][1]]]),
    ("position_in_one_group",    1,      [b"\x7fELF\x01 MZ\x90\x00"],                        [[ELF32, PE]]),
    ("group_by_group",           2,      [b"\x7fELF\x01 MZ\x90\x00"],                        [[PE, ELF32]]),
    ("every_row_own_group",      2**63,  [b"\xca\xfe\xba\xbe#!/usr/bin/env python"],         [[MALWARE[5][1], MALWARE[9][1]]]),
]


@pytest.mark.parametrize("front", FRONTS)
@pytest.mark.parametrize("groups,steps,expected", [c[1:] for c in STREAM_CASES], ids=[c[0] for c in STREAM_CASES])
def test_streams(native, front, groups, steps, expected):
    assert Front(native, front, groups).run(steps) == expected


def test_match_carries_label_and_weight(native):
    (match,) = native.PyParallelStreamingScanner(1).scan_chunk(b"head \x7fELF\x02\x01\x01 tail")
    assert (match.description, match.score) == (ELF64, 3)
    assert type(match).__doc__ == "A PyO3-compatible wrapper for PatternMatch"
    for name in ("description", "score"):
        with pytest.raises(AttributeError):
            setattr(match, name, None)


def test_counters_and_the_finished_state(native):
    scanner = native.PyParallelStreamingScanner(4)
    assert (scanner.num_groups, scanner.bytes_processed) == (4, 0)
    scanner.scan_chunk(b"a" * 100)
    scanner.scan_chunk(b"b" * 50)
    scanner.scan_chunk(b"")
    assert scanner.bytes_processed == 150
    assert scanner.finalize() == []
    # Finished: the scanner is gone for good.
    assert (scanner.num_groups, scanner.bytes_processed) == (0, 0)
    assert scanner.finalize() == []
    assert scanner.reset() is None
    with pytest.raises(ValueError, match="^Scanner not initialized$"):
        scanner.scan_chunk(b"x")
    for name in ("num_groups", "bytes_processed"):
        with pytest.raises(AttributeError):
            setattr(scanner, name, 1)


def test_model_integrity_validator_is_finished_by_finalize(native):
    validator = native.ModelIntegrityStreamingValidator(2)
    assert [m.description for m in validator.process_chunk(b"..#!/bin/sh")] == ["Shell script shebang"]
    assert [m.description for m in validator.finalize()] == ["Shell script shebang"]  # the carried tail
    assert validator.finalize() == []
    with pytest.raises(ValueError, match="^Scanner not initialized$"):
        validator.process_chunk(b"")
    assert not hasattr(validator, "reset")


def test_reset_drops_the_carried_bytes(native):
    scanner = native.PyParallelStreamingScanner(2)
    assert scanner.scan_chunk(b"....#!/bin/") == []
    assert scanner.reset() is None
    assert scanner.bytes_processed == 0
    assert scanner.scan_chunk(b"bash") == []
    assert scanner.bytes_processed == 4
    assert scanner.num_groups == 2


def test_matches_outlive_their_scanner(native):
    scanner = native.PyParallelStreamingScanner(3)
    dense = scanner.scan_chunk(b"#!/bin/sh;" * 50_000)
    last = scanner.finalize()
    del scanner
    gc.collect()
    assert len(dense) == 50_000 and {(m.description, m.score) for m in dense} == {("Shell script shebang", 2)}
    assert [(m.description, m.score) for m in last] == [("Shell script shebang", 2)]


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.PyParallelStreamingScanner(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.ModelIntegrityStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.ModelIntegrityStreamingValidator(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda n: n.PyParallelStreamingScanner(2**64), OverflowError, "int too big to convert"),
        (lambda n: n.ModelIntegrityStreamingValidator(2.0), TypeError,
         "argument 'num_cores': 'float' object cannot be interpreted as an integer"),
        (lambda n: n.PyParallelStreamingScanner(None), TypeError,
         "argument 'num_groups': 'NoneType' object cannot be interpreted as an integer"),
        (lambda n: n.PyParallelStreamingScanner(num_cores=1), TypeError,
         "PyParallelStreamingScanner.__new__() got an unexpected keyword argument 'num_cores'"),
        (lambda n: n.PyParallelStreamingScanner(1).scan_chunk(bytearray(b"x")), TypeError,
         "argument 'chunk': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda n: n.ModelIntegrityStreamingValidator(1).process_chunk(), TypeError,
         "ModelIntegrityStreamingValidator.process_chunk() missing 1 required positional argument: 'chunk'"),
        (lambda n: n.PyParallelStreamingScanner(1).reset(1), TypeError,
         "PyParallelStreamingScanner.reset() takes 1 positional argument but 2 were given"),
        (lambda n: n.PyPatternMatch(), TypeError, "No constructor defined for PyPatternMatch"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_docstrings(native):
    doc = native.PyParallelStreamingScanner.__doc__.splitlines()
    assert doc[:4] == [
        "Parallel streaming pattern scanner (Python wrapper)",
        "",
        "Splits patterns into groups and processes each group on a separate thread.",
        "Provides significant speedup for pattern sets with 15+ patterns.",
    ]
    assert "Example:" in doc and "PyParallelStreamingScanner(num_cores)" in native.PyParallelStreamingScanner.__doc__
    assert native.PyParallelStreamingScanner.bytes_processed.__doc__ == "Get total bytes processed"
    assert native.PyParallelStreamingScanner.num_groups.__doc__ == "Get number of pattern groups"
    assert native.ModelIntegrityStreamingValidator.__doc__.startswith("Streaming validator for generic model integrity checks\n\n")


@pytest.mark.parametrize("front", FRONTS)
def test_front_equals_reference_on_random_streams(native, front):
    rng = random.Random(12)
    signatures = [p for p, _, _ in MALWARE]
    pieces = signatures + [p[:3] for p in signatures] + [p[3:] for p in signatures] + [b"#!/", b"\x7fELF"]
    for _ in range(300):
        data = b"".join(rng.choice(pieces) if rng.random() < 0.5 else os.urandom(rng.randrange(5)) for _ in range(30))
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
        steps = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])] + ["finalize"]
        groups = rng.choice([1, 2, 3, 4, 7, 10, 11, 2**63])
        reference = ReferenceStream(signatures, groups).run(steps)[:-1]
        expected = [[MALWARE[i][1] for i in ids] for ids in reference]
        assert Front(native, front, groups).run(steps) == expected


def test_second_thread_meets_the_borrow(native):
    data = (b"#!/bin/sh" + b"." * 4087) * 8192  # 32 MiB, so the scan outlasts many probes
    scanner = native.PyParallelStreamingScanner(2)
    busy = lambda: scanner.scan_chunk(data)  # noqa: E731
    assert conflict_while_busy(busy, lambda: scanner.scan_chunk(b"")) == "Already borrowed"
    assert conflict_while_busy(busy, lambda: scanner.bytes_processed) == "Already mutably borrowed"
    assert conflict_while_busy(busy, scanner.reset) == "Already borrowed"
    assert scanner.num_groups == 2
    validator = native.ModelIntegrityStreamingValidator(2)
    assert conflict_while_busy(lambda: validator.process_chunk(data), lambda: validator.process_chunk(b"")) == "Already borrowed"
