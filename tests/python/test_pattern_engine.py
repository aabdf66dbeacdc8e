"""The pattern engine: standard, non-overlapping matches, proven against a reference."""

import random

import ahocorasick_rs
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st


def reference(patterns, data):
    """(id, start, end) of the standard non-overlapping matches, by the reference automaton."""
    if not patterns:
        return []
    automaton = ahocorasick_rs.BytesAhoCorasick(patterns, matchkind=ahocorasick_rs.MatchKind.Standard)
    return automaton.find_matches_as_indexes(data, overlapping=False)


STANDARD = [
    # name                         patterns                      data                expected (id, start, end)
    ("longest_at_same_end",        [b"abc", b"bc"],              b"abc",             [(0, 0, 3)]),
    ("earliest_end_wins",          [b"abcd", b"bc"],             b"abcd",            [(1, 1, 3)]),
    ("no_overlap_after_match",     [b"aa"],                      b"aaaa",            [(0, 0, 2), (0, 2, 4)]),
    ("odd_run",                    [b"aa"],                      b"aaa",             [(0, 0, 2)]),
    ("duplicate_rows_lowest_id",   [b"ab", b"ab"],               b"xabx",            [(0, 1, 3)]),
    ("byte_exact",                 [b"\x7fELF"],                 b"\x7felf",         []),
    ("nul_and_high_bytes",         [b"\x00\xff"],                b"a\x00\xff\x00",   [(0, 1, 3)]),
    ("end_order_not_row_order",    [b"zz", b"aa"],               b"aazz",            [(1, 0, 2), (0, 2, 4)]),
    ("short_inside_long",          [b"bcd", b"abcde"],           b"abcde",           [(0, 1, 4)]),
    ("resume_at_end_not_start",    [b"ab", b"bc"],               b"abc",             [(0, 0, 2)]),
    ("empty_data",                 [b"a"],                       b"",                []),
    ("empty_table",                [],                           b"anything",        []),
]


@pytest.mark.parametrize("patterns,data,expected", [case[1:] for case in STANDARD], ids=[c[0] for c in STANDARD])
def test_standard_semantics(engine, patterns, data, expected):
    assert engine.scan_all(patterns, data) == expected
    assert reference(patterns, data) == expected


def test_build_error_is_reported(engine):
    with pytest.raises(ValueError, match=r"^Failed to build pattern automaton: "):
        engine.scan_all([b"ok", b""], b"data")


@pytest.mark.parametrize("piece_bytes", [1, 2, 3, 7, 64])
def test_pieces_give_the_results_of_one_scan(engine, piece_bytes):
    # Occurrences that straddle every piece boundary, of patterns longer than a piece.
    patterns = [b"abcab", b"bca", b"cabcabc", b"b"]
    data = b"abcabcabcab" * 20 + b"xcabcabcx"
    assert engine.scan_all(patterns, data, piece_bytes) == reference(patterns, data)


# Small alphabets force overlaps, shared prefixes and suffixes and repeated patterns.
ALPHABETS = [b"ab", b"abc", b"\x00\xff", b"a\x00\x80z"]


@st.composite
def pattern_sets(draw):
    alphabet = draw(st.sampled_from(ALPHABETS))
    symbol = st.sampled_from(alphabet)
    pattern = st.lists(symbol, min_size=1, max_size=30).map(bytes)
    short = st.lists(symbol, min_size=1, max_size=4).map(bytes)
    patterns = draw(st.lists(st.one_of(short, short, pattern), min_size=1, max_size=12))
    if draw(st.booleans()):
        patterns.append(draw(st.sampled_from(patterns)))  # an identical row
    haystack = draw(st.lists(st.one_of(symbol, st.sampled_from(patterns)), max_size=400))
    data = b"".join(bytes([part]) if isinstance(part, int) else part for part in haystack)
    pad = draw(st.binary(max_size=8)), draw(st.binary(max_size=8))
    return patterns, pad[0] + data + pad[1]


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pattern_sets(), st.sampled_from([0, 1, 5, 31, 4096]))
@example(([b"aa"], b"aaaa"), 0)
def test_engine_equals_reference(engine, case, piece_bytes):
    patterns, data = case
    assert engine.scan_all(patterns, data, piece_bytes) == reference(patterns, data)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.binary(min_size=1, max_size=30), min_size=1, max_size=40), st.binary(max_size=4096))
def test_engine_equals_reference_on_random_bytes(engine, patterns, data):
    data = data + b"".join(patterns[::3]) + data[:50]
    assert engine.scan_all(patterns, data) == reference(patterns, data)


@st.composite
def sparse_cases(draw):
    """Few patterns of arbitrary bytes in mostly unrelated data: the start filter's windows."""
    patterns = draw(st.lists(st.binary(min_size=1, max_size=30), min_size=1, max_size=5))
    parts = []
    for _ in range(draw(st.integers(0, 12))):
        parts.append(draw(st.binary(max_size=700)))
        pattern = draw(st.sampled_from(patterns))
        cut = draw(st.integers(0, len(pattern)))
        parts.append(pattern if draw(st.booleans()) else pattern[:cut])  # whole, or a prefix
    return patterns, b"".join(parts) + draw(st.binary(max_size=64))


@settings(max_examples=600, deadline=None)
@given(sparse_cases(), st.sampled_from([0, 1, 7, 100, 4096]), st.sampled_from([0, 1]))
def test_sparse_data_equals_reference(engine, case, piece_bytes, start_filter):
    # Long stretches without a candidate, scanned through the start filter's windows or by the
    # library alone: a build of the library that lost matches after such stretches failed here.
    patterns, data = case
    assert engine.scan_all(patterns, data, piece_bytes, start_filter) == reference(patterns, data)


LONE_AFTER_FILLER = [([b"st", b"s"], b"s"), ([b"X\xc3", b"]\xc3"], b"X\xc3"), ([b"tt", b"ut"], b"ut")]


@pytest.mark.parametrize("patterns,needle", LONE_AFTER_FILLER)
def test_lone_literal_after_a_long_run(engine, patterns, needle):
    for before in (63, 64, 65, 200):
        data = b"." * before + needle + b".."
        expected = [(patterns.index(needle), before, before + len(needle))]
        assert engine.scan_all(patterns, data, 0, 0) == expected
        assert engine.scan_all(patterns, data) == expected


def test_start_filter_is_used_for_small_tables(engine):
    assert engine.start_filter([b"\x7fELF\x02", b"#!/bin/sh", b"MZ\x90\x00"])
    # Rows of one common byte each leave too little to skip.
    assert engine.start_filter([bytes([c]) for c in b" etaoinshrdlu"]) is None


def _has_byte_permutes():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            flags = next((line.split() for line in cpuinfo if line.startswith("flags")), [])
    except OSError:
        return False
    return "avx512bw" in flags and "avx512vbmi" in flags


WORDS = [b"curl", b"wget", b"bash", b"sudo", b"chmod", b"chown", b"netcat", b"ncat", b"powershell", b"passwd",
         b"shadow", b"bypass", b"override", b"jailbreak", b"../", b"..\\", b"|sh", b"| bash", b"rm -rf", b"eval(",
         b"<script>", b"</iframe>", b"ignore previous", b"http://", b"https://", b"/etc/passwd", b"os.system("]
FILLER = b'{"the": 12, "\xc4\xa0thing": 345, "chin": 6, "ched": 78, "ment": 9, "tion": 10, "strange": 11}, '


@pytest.mark.skipif(not _has_byte_permutes(), reason="the four-byte test needs AVX-512 VBMI")
def test_large_tables_get_the_four_byte_test(engine):
    # Words the pair test cannot tell from text, and rows of bytes from 0x80 up.
    form, pass_rate = engine.start_filter(WORDS * 4 + [bytes([0x80 + i, i, 0x90, 0xA0 + i]) for i in range(40)])
    assert form == "bytes" and pass_rate < 1 / 10000


@st.composite
def large_table_cases(draw):
    """Tables too large for the pair test (words, their variants and random bytes, some with bytes
    from 0x80 up) in text and binary filler, rows planted whole, cut short and at the very end."""
    words = draw(st.lists(st.sampled_from(WORDS), min_size=5, max_size=len(WORDS), unique=True))
    variants = [word[:cut] + bytes([byte]) for word, cut, byte in
                draw(st.lists(st.tuples(st.sampled_from(WORDS), st.integers(2, 6), st.integers(0, 255)), max_size=30))]
    binary = draw(st.lists(st.binary(min_size=1, max_size=24), max_size=40))
    patterns = words + variants + binary
    parts = []
    for _ in range(draw(st.integers(0, 16))):
        parts.append(draw(st.sampled_from([FILLER * 40, bytes(900), b""])) + draw(st.binary(max_size=300)))
        pattern = draw(st.sampled_from(patterns))
        parts.append(pattern if draw(st.booleans()) else pattern[:draw(st.integers(0, len(pattern)))])
    return patterns, b"".join(parts) + draw(st.sampled_from(patterns))


@settings(max_examples=300, deadline=None)
@given(large_table_cases(), st.sampled_from([0, 3, 100, 4096]))
def test_large_tables_equal_reference(engine, case, piece_bytes):
    patterns, data = case
    assert engine.scan_all(patterns, data, piece_bytes) == reference(patterns, data)


def test_table_of_thousands_of_rows_equals_reference(engine):
    # More anchors than the start filter takes: such a table is scanned without it, and builds
    # as fast as the matching library compiles it.
    rng = random.Random(4)
    words = sorted({"".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9))).encode()
                    for _ in range(3000)})
    data = b" ".join(rng.choice(words) + rng.choice([b"", b"s", b"ing"]) for _ in range(20000))
    assert engine.scan_all(words, data) == reference(words, data)
