"""The buffer-overflow validator: catalogue, categories, counts, score, streaming and reset."""

import os
import random
import subprocess
import sys
import textwrap

import pytest
from catalogue_tables import BUFFER_OVERFLOW as CATALOGUE
from streaming_reference import ReferenceStream

NUL = b"\x00"

CASES = [
    # name                           data                                              cores lists (d, r, f, i)                                         total score
    ("empty",                        b"",                                              1, ([], [], [], []),                                          0, 0.0),
    ("same_label_two_rows",          b"strcpy\x00 .. strcpy@",                         1, (["dangerous:strcpy"], [], [], []),                        2, 0.4),
    ("one_gadget",                   b"..\x58\xc3..",                                  1, ([], ["rop:pop_eax_ret"], [], []),                         1, 0.3),
    ("one_of_each_kind",             b"gets\x00 \xff\xe4 %n sizeof(",                  1,
     (["dangerous:gets"], ["rop:jmp_esp"], ["format_string:format_n_specifier"], ["integer_overflow:sizeof_expr"]), 4, 0.9999999999999999),
    ("two_format_two_overflow",      b"%x%x%x %p%p%p len + 1 size * count",             1,
     ([], [], ["format_string:repeated_x", "format_string:repeated_p"], ["integer_overflow:multiply_size_count", "integer_overflow:increment_len"]), 4, 0.6000000000000001),
    ("three_dangerous_cap",          b"gets\x00strcat\x00bzero\x00",                   1,
     (["dangerous:strcat", "dangerous:gets", "dangerous:bzero"], [], [], []),     3, 1.0),
    ("case_sensitive",               b"STRCPY\x00 %N Sizeof(",                         1, ([], [], [], []),                                          0, 0.0),
    ("name_without_terminator",      b"strcpy strcpy_s",                               1, ([], [], [], []),                                          0, 0.0),
    ("vsprintf_one_group",           b"vsprintf\x00",                                  1, (["dangerous:vsprintf"], [], [], []),                      1, 0.4),
    ("vsprintf_two_groups",          b"vsprintf\x00",                                  2, (["dangerous:vsprintf"], [], [], []),                      1, 0.4),
    ("vsprintf_three_groups",        b"vsprintf\x00",                                  3, (["dangerous:vsprintf", "dangerous:printf"], [], [], []),  2, 0.8),
    ("vsprintf_four_groups",         b"vsprintf\x00",                                  4, (["dangerous:sprintf", "dangerous:vsprintf"], [], [], []), 2, 0.8),
    ("vsprintf_many_groups",         b"vsprintf\x00",                                  2**63,
     (["dangerous:sprintf", "dangerous:vsprintf", "dangerous:printf"], [], [], []), 3, 1.0),
]


def lists(result):
    return (
        result.dangerous_functions_found,
        result.rop_gadgets_found,
        result.format_string_vulns_found,
        result.integer_overflow_patterns_found,
    )


@pytest.mark.parametrize("data,cores,expected,total,score", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_one_shot(native, data, cores, expected, total, score):
    result = native.validate_buffer_overflow(data, cores)
    assert lists(result) == expected  # catalogue order
    assert result.total_matches == total
    assert result.risk_score == score


def test_streaming_equals_one_shot_per_chunk(native):
    for data, cores, *_ in [c[1:] for c in CASES]:
        validator = native.BufferOverflowStreamingValidator(cores)
        assert validator.process_chunk(data) is None
        a, b = validator.finalize(), native.validate_buffer_overflow(data, cores)
        assert (lists(a), a.total_matches, a.risk_score) == (lists(b), b.total_matches, b.risk_score)


def test_repeat_within_the_carried_tail(native):
    # "%n" within the last 12 bytes of the first chunk is seen again with the second.
    validator = native.BufferOverflowStreamingValidator(1)
    validator.process_chunk(b"A" * 100 + b"%n")
    validator.process_chunk(b"B" * 100)
    result = validator.finalize()
    assert (result.format_string_vulns_found, result.total_matches, result.risk_score) == (
        ["format_string:format_n_specifier"], 2, 0.2)
    once = native.BufferOverflowStreamingValidator(1)
    once.process_chunk(b"A" * 100 + b"%n" + b"A" * 12)
    once.process_chunk(b"B" * 100)
    assert once.finalize().total_matches == 1


def test_split_pattern_and_finalize_is_idempotent(native):
    validator = native.BufferOverflowStreamingValidator(2)
    validator.process_chunk(b"x = sizeo")
    assert validator.finalize().total_matches == 0
    validator.process_chunk(b"f(buf)")
    first, second = validator.finalize(), validator.finalize()
    assert first.integer_overflow_patterns_found == ["integer_overflow:sizeof_expr"]
    assert (lists(first), first.total_matches) == (lists(second), second.total_matches)


def test_reset_keeps_the_scanners_tail(native):
    validator = native.BufferOverflowStreamingValidator(1)
    validator.process_chunk(b"......gets")
    validator.process_chunk(b"\x00" + b"." * 40 + b"%n")
    validator.reset()
    empty = validator.finalize()
    assert (lists(empty), empty.total_matches, empty.risk_score) == (([], [], [], []), 0, 0.0)
    # The first chunk after the reset is scanned with the tail of the previous input: "%n" again.
    validator.process_chunk(b"clean")
    assert validator.finalize().format_string_vulns_found == ["format_string:format_n_specifier"]


def test_empty_chunk_changes_nothing(native):
    validator = native.BufferOverflowStreamingValidator(1)
    validator.process_chunk(b"...%")
    validator.process_chunk(b"")
    validator.process_chunk(b"n")
    assert validator.finalize().total_matches == 1


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.BufferOverflowStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_buffer_overflow(b"x", 0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_buffer_overflow(b"x"), TypeError,
         "validate_buffer_overflow() missing 1 required positional argument: 'num_threads'"),
        (lambda n: n.BufferOverflowStreamingValidator(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda n: n.BufferOverflowStreamingValidator(2**64), OverflowError, "int too big to convert"),
        (lambda n: n.BufferOverflowStreamingValidator(2.0), TypeError,
         "argument 'num_cores': 'float' object cannot be interpreted as an integer"),
        (lambda n: n.BufferOverflowStreamingValidator(1).process_chunk(bytearray()), TypeError,
         "argument 'chunk': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda n: n.BufferOverflowStreamingValidator(1).finalize(1), TypeError,
         "BufferOverflowStreamingValidator.finalize() takes 1 positional argument but 2 were given"),
        (lambda n: n.BufferOverflowStreamingValidator(1).reset(hard=True), TypeError,
         "BufferOverflowStreamingValidator.reset() got an unexpected keyword argument 'hard'"),
        (lambda n: n.BufferOverflowValidation(), TypeError, "No constructor defined for BufferOverflowValidation"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_result_is_read_only(native):
    result = native.validate_buffer_overflow(b"%n", 1)
    for name in ("dangerous_functions_found", "rop_gadgets_found", "format_string_vulns_found",
                 "integer_overflow_patterns_found", "total_matches", "risk_score"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    assert type(result).__doc__ == "Validation results for buffer overflow analysis"
    assert repr(result).startswith("<vesquor._native.BufferOverflowValidation object at ")


CATEGORIES = ["dangerous", "rop", "format_string", "integer_overflow"]


def test_catalogue_shape():
    # What the table is known to hold, recomputed: rows, distinct labels per category, longest row.
    labels = [label for _, label in CATALOGUE]
    assert len(CATALOGUE) == 42 and len(set(labels)) == 39
    assert [len({l for l in labels if l.startswith(c + ":")}) for c in CATEGORIES] == [23, 9, 4, 3]
    assert max(len(p) for p, _ in CATALOGUE) == 12


def expected_from_reference(chunks, cores):
    reference = ReferenceStream([p for p, _ in CATALOGUE], cores)
    ids = [i for chunk in chunks for i in reference.scan_chunk(chunk)]
    seen = {c: [] for c in CATEGORIES}
    for _, label in CATALOGUE:  # catalogue order
        category = label.split(":")[0]
        if label in {CATALOGUE[i][1] for i in ids} and label not in seen[category]:
            seen[category].append(label)
    counts = [len(seen[c]) for c in CATEGORIES]
    score = min(((counts[0] * 0.4 + counts[1] * 0.3) + counts[2] * 0.2) + counts[3] * 0.1, 1.0)
    return tuple(seen[c] for c in CATEGORIES), len(ids), score


def test_validator_equals_reference_on_random_streams(native):
    rng = random.Random(5)
    pieces = [p for p, _ in CATALOGUE] + [p[:-1] for p, _ in CATALOGUE] + [b"x", b"\x00", b"%", b"\xc3"]
    for _ in range(300):
        data = b"".join(rng.choice(pieces) if rng.random() < 0.5 else os.urandom(rng.randrange(6)) for _ in range(40))
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(5)))
        chunks = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        cores = rng.randrange(1, 7)
        validator = native.BufferOverflowStreamingValidator(cores)
        for chunk in chunks:
            validator.process_chunk(chunk)
        result = validator.finalize()
        assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference(chunks, cores)


def test_results_do_not_depend_on_the_pool_size(native):
    # 24 MiB chunks take the parallel path; the pool capped at one thread must agree with it.
    code = textwrap.dedent(
        """
        import random
        from vesquor import _native
        rng = random.Random(9)
        data = bytearray(rng.randbytes(24 << 20))
        for i in range(2000):
            at = rng.randrange(len(data) - 16)
            data[at:at + 9] = rng.choice([b"vsprintf\\x00", b"%p%p%p", b"sizeof(", b"gets\\x00"])
        data = bytes(data)
        out = []
        for cores in (1, 2, 3, 5):
            r = _native.validate_buffer_overflow(data, cores)
            out.append((r.dangerous_functions_found, r.rop_gadgets_found, r.total_matches, r.risk_score))
        print(repr(out))
        """
    )
    runs = []
    for cap in ("1", None):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        if cap:
            env["RAYON_NUM_THREADS"] = cap
        runs.append(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout)
    assert runs[0] == runs[1] and runs[0].startswith("[")
