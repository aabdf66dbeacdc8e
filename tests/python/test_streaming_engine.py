"""The streaming engine: tails carried between chunks, round-robin groups, one pass for all."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from streaming_reference import ReferenceStream

ABCD = [b"abcd"]

TAIL_CASES = [
    # name                        steps                                       reported ids per step
    ("split_across_chunks",       [b"xxab", b"cdyy", "finalize"],             [[], [0], []]),
    ("tail_rescanned_once",       [b"abcdxx", b"yyyy", "finalize"],           [[0], [], []]),
    ("repeat_from_tail",          [b"xxabcd", b"z", "finalize"],              [[0], [0], []]),
    ("finalize_repeats",          [b"abcd", "finalize"],                      [[0], [0]]),
    ("finalize_empties_tail",     [b"abcd", "finalize", "finalize", b"x"],    [[0], [0], [], []]),
    ("empty_chunk_is_nothing",    [b"ab", b"", b"cd"],                        [[], [], [0]]),
    ("one_byte_chunks",           [b"a", b"b", b"c", b"d", b"e"],             [[], [], [], [0], [0]]),
    ("reset_drops_tail",          [b"xxab", "reset", b"cdyy"],                [[], None, []]),
]


# How stretches of a chunk are searched: Hyperscan's occurrences through the filters, the
# byte-at-a-time automata, or a hand-over between the two after every stretch (of 1 byte here).
SEARCH_MODES = {"hyperscan": dict(dense=1), "automata": dict(dense=2), "hand_over": dict(dense=3, segment_bytes=1)}


@pytest.mark.parametrize("mode", SEARCH_MODES)
@pytest.mark.parametrize("steps,expected", [c[1:] for c in TAIL_CASES], ids=[c[0] for c in TAIL_CASES])
def test_tail_rules(engine, steps, expected, mode):
    assert engine.stream(ABCD, 1, steps, **SEARCH_MODES[mode])[:-1] == expected
    assert ReferenceStream(ABCD, 1).run(steps)[:-1] == expected


def test_bytes_processed(engine):
    assert engine.stream(ABCD, 1, [b"x" * 10, b"y" * 5, b""]) [-1] == 15
    assert engine.stream(ABCD, 1, [b"x" * 10, b"y" * 5, "finalize"])[-1] == 15
    assert engine.stream(ABCD, 1, [b"x" * 10, "reset"])[-1] == 0
    assert engine.stream([], 3, [b"abc", b"d"]) == [[], [], 4]


GROUP_CASES = [
    # name                         patterns                           groups  data          ids
    ("group_order_not_position",   [b"a0", b"b1"],                    2,      b"b1a0",      [0, 1]),
    ("one_group_is_position",      [b"a0", b"b1"],                    1,      b"b1a0",      [1, 0]),
    ("round_robin_split",          [b"r0", b"r1", b"r2", b"r3", b"r4"], 2,    b"r4r3r2r1r0", [4, 2, 0, 3, 1]),
    ("suppression_within_group",   [b"abcd", b"bc"],                  1,      b"abcd",      [1]),
    ("no_suppression_across",      [b"abcd", b"bc"],                  2,      b"abcd",      [0, 1]),
    ("extra_groups_are_empty",     [b"ab", b"b"],                     7,      b"ab",        [0, 1]),
    ("huge_group_count",           [b"ab", b"b"],                     2**63,  b"ab",        [0, 1]),
    ("max_group_count",            [b"ab", b"b"],                     2**64 - 1, b"abab",   [0, 0, 1, 1]),
]


@pytest.mark.parametrize("mode", SEARCH_MODES)
@pytest.mark.parametrize("patterns,groups,data,expected", [c[1:] for c in GROUP_CASES], ids=[c[0] for c in GROUP_CASES])
def test_groups(engine, patterns, groups, data, expected, mode):
    assert engine.stream(patterns, groups, [data], **SEARCH_MODES[mode])[0] == expected
    assert ReferenceStream(patterns, groups).run([data])[0] == expected


def test_zero_groups_refused(engine):
    with pytest.raises(ValueError, match="^num_groups must be at least 1$"):
        engine.stream(ABCD, 0, [])


def test_group_tails_differ(engine):
    # Group 0 carries 6 bytes ("longer"), group 1 only 2 ("ab"): "ab" in the last 6 bytes of the
    # first chunk is seen again only if it is within group 1's 2 bytes.
    patterns = [b"longer", b"ab"]
    steps = [b"..ab..", b"xx", b"ab", b"yy", "finalize"]
    assert engine.stream(patterns, 2, steps) == ReferenceStream(patterns, 2).run(steps)
    assert engine.stream(patterns, 2, steps)[:-1] == [[1], [], [1], [1], []]


@st.composite
def streams(draw):
    alphabet = draw(st.sampled_from([b"ab", b"abc", b"\x00\xff", b"xyz\x00\x80"]))
    symbol = st.sampled_from(alphabet)
    pattern = st.lists(symbol, min_size=1, max_size=draw(st.sampled_from([3, 8, 30]))).map(bytes)
    patterns = draw(st.lists(pattern, min_size=0, max_size=10))
    piece = st.one_of(st.lists(symbol, max_size=3).map(bytes), st.sampled_from(patterns) if patterns else st.just(b""))
    data = st.lists(piece, max_size=60).map(b"".join)
    step = st.one_of(data, data, data, st.just(b""), st.just("finalize"), st.just("reset"))
    steps = draw(st.lists(step, max_size=12))
    groups = draw(st.one_of(st.integers(1, 8), st.sampled_from([11, 10**6, 2**63])))
    return patterns, groups, steps


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams(), st.sampled_from([0, 1, 2, 5, 64]))
def test_engine_equals_per_group_reference(engine, case, segment_bytes):
    patterns, groups, steps = case
    assert engine.stream(patterns, groups, steps, segment_bytes) == ReferenceStream(patterns, groups).run(steps)


def counted(steps_result):
    """A run's per-step ids as a counting sink sees them: sorted."""
    return [sorted(ids) if ids is not None else None for ids in steps_result[:-1]] + steps_result[-1:]


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams(), st.sampled_from([1, 2, 5, 64]), st.sampled_from([2, 3]), st.booleans())
def test_automata_equal_reference(engine, case, segment_bytes, dense, count):
    # The automata from the start (2) or taking over and handing back after every stretch of
    # `segment_bytes` (3); matches handed over in order, or counted.
    patterns, groups, steps = case
    expected = ReferenceStream(patterns, groups).run(steps)
    got = engine.stream(patterns, groups, steps, segment_bytes, dense, count)
    assert got == (counted(expected) if count else expected)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.binary(min_size=1, max_size=6), min_size=1, max_size=6), st.integers(1, 4), st.data())
def test_dense_data_equals_reference(engine, patterns, groups, data):
    # Data made of the rows themselves, long enough for lanes guessed in parallel (64 KiB each):
    # the automata take over by density, and their counted matches are exact.
    units = data.draw(st.lists(st.sampled_from(patterns) | st.binary(max_size=2), min_size=1, max_size=8))
    body = b"".join(units) * (300_000 // len(b"".join(units) or b"x") + 1)
    steps = [body[:200_000], body[200_000:], "finalize"]
    in_order = ReferenceStream(patterns, groups).run(steps)
    expected = counted(in_order)
    assert engine.stream(patterns, groups, steps, 0, 0, 1) == expected
    assert engine.stream(patterns, groups, steps, 0, 2, 1) == expected
    # Stretches of 70000 bytes: the automata take over inside the first chunk.
    assert engine.stream(patterns, groups, steps, 70_000, 0, 1) == expected
    assert engine.stream(patterns, groups, steps, 70_000, 0, 0) == in_order


@pytest.mark.parametrize("groups", [2, 5, 20])
def test_dense_data_many_groups(engine, groups):
    # Up to 16 groups run as one joint automaton; beyond, each group's runs on its own.
    patterns = [bytes([97 + i % 3, 97 + i // 3 % 3]) + b"%" * (i % 4) for i in range(24)]
    body = (b"abcab%%ba%cc%%%" * 30_000)[:400_000]
    steps = [body[:150_000], body[150_000:], "finalize"]
    expected = counted(ReferenceStream(patterns, groups).run(steps))
    assert engine.stream(patterns, groups, steps, 0, 2, 1) == expected
    assert engine.stream(patterns, groups, steps, 50_000, 3, 1) == expected


# Counted automata read 64-byte blocks they have met before in the same state from a memo. Each
# case has blocks that look alike to a shortcut but must count differently.
REPEATED_BLOCKS = [
    # name, rows, data
    # The same bytes entered in two states: after "a", b * 64 reads "ab" first and ends elsewhere.
    ("same_block_other_state", [b"ab", b"bb"], (b"b" * 64 + b"b" * 63 + b"a") * 300 + b"b" * 64 * 40),
    # Blocks alike in their first and last eight bytes, one with a row in the middle.
    ("alike_at_both_ends", [b"%n", b"zz"],
     b"".join(b"%n" * 32 if i % 3 else b"%n" * 12 + b"zz" + b"%n" * 19 for i in range(2000))),
    # Repeats with a period prime to 64 (many blocks), broken now and then.
    ("period_prime_to_64", [b"%n", b"%s%s%s", b"\x58\xc3"],
     b"".join((b"%s%s%s%n\x58" + bytes([0xC3, i % 7])) * 50 for i in range(400))),
    # Dozens of distinct blocks, more than some sets of the memo hold, then other dozens that
    # must take the places of the first.
    ("memo_sets_overflow", [b"%n", b"%x%x%x"], (b"%n" + b"x" * 31) * 3000 + (b"%x%x%x" + b"n" * 37) * 2000),
    # Rows longer than a block, crossing block boundaries.
    ("rows_across_blocks", [b"A" * 70 + b"!", b"A" * 3], (b"A" * 70 + b"!") * 3000),
]


@pytest.mark.parametrize("rows,data", [c[1:] for c in REPEATED_BLOCKS], ids=[c[0] for c in REPEATED_BLOCKS])
@pytest.mark.parametrize("groups", [1, 2, 20])
def test_repeated_blocks_equal_reference(engine, rows, data, groups):
    steps = [data[:70_001], data[70_001:], "finalize"]
    expected = counted(ReferenceStream(rows, groups).run(steps))
    assert engine.stream(rows, groups, steps, 0, 2, 1) == expected
    assert engine.stream(rows, groups, steps, 0, 0, 1) == expected


@settings(max_examples=60, deadline=None)
@given(st.lists(st.binary(min_size=1, max_size=5), min_size=1, max_size=5), st.integers(1, 3), st.data())
def test_repeated_data_with_changes_equals_reference(engine, patterns, groups, data):
    # A repeating body with a few bytes changed at random places: blocks that came before and
    # blocks that did not, at lane starts guessed in parallel as well as in the first lane.
    unit = data.draw(st.lists(st.sampled_from(patterns) | st.binary(max_size=3), min_size=1, max_size=6))
    unit = b"".join(unit) or b"x"
    body = bytearray(unit * (270_000 // len(unit) + 1))
    for _ in range(data.draw(st.integers(0, 20))):
        body[data.draw(st.integers(0, len(body) - 1))] = data.draw(st.integers(0, 255))
    steps = [bytes(body[:5_000]), bytes(body[5_000:]), "finalize"]
    expected = counted(ReferenceStream(patterns, groups).run(steps))
    assert engine.stream(patterns, groups, steps, 0, 2, 1) == expected


@pytest.mark.parametrize("length", [400_000, 400_001, 400_003])
def test_guessed_lanes_that_never_meet_the_truth(engine, length):
    # "%n" and "n%" over "%n%n...": a lane guessed from the start state at an odd offset reads
    # "n%" matches where the truth reads "%n" ones, and the two never meet; the lane is then run
    # again from its true state.
    patterns = [b"%n", b"n%"]
    data = (b"x" + b"%n" * length)[:length]
    steps = [data, "finalize"]
    expected = counted(ReferenceStream(patterns, 1).run(steps))
    assert engine.stream(patterns, 1, steps, 0, 2, 1) == expected


@settings(max_examples=150, deadline=None)
@given(st.lists(st.binary(min_size=1, max_size=12), min_size=1, max_size=12), st.integers(1, 6), st.data())
def test_parallel_segments_equal_reference(engine, patterns, groups, data):
    # Large chunks of random bytes with planted rows, cut into segments smaller than the rows.
    body = b"".join(data.draw(st.binary(max_size=300)) + data.draw(st.sampled_from(patterns)) for _ in range(30))
    steps = [body[: len(body) // 3], body[len(body) // 3 :], "finalize"]
    expected = ReferenceStream(patterns, groups).run(steps)
    for segment_bytes in (3, 17, 256):
        assert engine.stream(patterns, groups, steps, segment_bytes) == expected
