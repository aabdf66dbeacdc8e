"""The behaviour-analysis validator: catalogue, categories, counts, score and streaming."""

import random

import pytest
from catalogue_tables import BEHAVIOR_ANALYSIS as CATALOGUE
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from streaming_reference import ReferenceStream

CATEGORIES = ["trigger", "tool_hijack", "exfiltration", "system_override", "privilege"]
ALL_APART = b"".join(b"~" * 40 + pattern for pattern, _ in CATALOGUE) + b"~" * 40
LABELS = [label for _, label in CATALOGUE]


def lists(result):
    return (
        result.backdoor_triggers_found,
        result.tool_hijacking_found,
        result.data_exfiltration_found,
        result.system_override_found,
        result.privilege_escalation_found,
    )


def test_catalogue_shape():
    # What the table is known to hold, recomputed: rows, distinct labels per category, the one
    # row that occurs inside another, the longest row.
    assert len(CATALOGUE) == 28 and len(set(LABELS)) == 28
    assert [sum(label.startswith(c + ":") for label in LABELS) for c in CATEGORIES] == [6, 7, 5, 5, 5]
    inside = [(i, j) for i, (a, _) in enumerate(CATALOGUE) for j, (b, _) in enumerate(CATALOGUE) if i != j and a in b]
    assert inside == [(3, 22)] and CATALOGUE[22][0].startswith(CATALOGUE[3][0])
    # Rows 3 and 22 share a group exactly when the group count divides 19.
    assert [n for n in range(1, 40) if (22 - 3) % n == 0] == [1, 19]
    assert max(len(p) for p, _ in CATALOGUE) == 28


T, H, E, O, P = (list(LABELS[a:b]) for a, b in [(0, 6), (6, 13), (13, 18), (18, 23), (23, 28)])

CASES = [
    # name                       data                                                cores  lists (T, H, E, O, P)                       total score
    ("empty",                    b"",                                                1, ([], [], [], [], []),                           0, 0.0),
    ("backdoor_three_times",     b"backdoor, backdoor and backdoor",                 1, (["trigger:backdoor"], [], [], [], []),         3, 0.015),
    ("one_of_each_category",     b"exploit system_call credential_theft admin_mode debug mode enabled", 1,
     (["trigger:exploit"], ["tool_hijack:system_call"], ["exfiltration:credential_theft"], ["system_override:admin_mode"],
      ["privilege:debug_mode"]),                                                                                          5, 0.12),
    ("bypass_safety_one_group",  b"bypass safety",                                   1, (["trigger:bypass"], [], [], [], []),           1, 0.015),
    ("bypass_safety_two_groups", b"bypass safety",                                   2,
     (["trigger:bypass"], [], [], ["system_override:bypass_safety"], []),                                                 2, 0.045),
    ("bypass_safety_19_groups",  b"bypass safety",                                   19, (["trigger:bypass"], [], [], [], []),          1, 0.015),
    ("bypass_safety_20_groups",  b"bypass safety",                                   20,
     (["trigger:bypass"], [], [], ["system_override:bypass_safety"], []),                                                 2, 0.045),
    ("all_28_two_groups",        ALL_APART,                                          2, (T, H, E, O, P),                                29, 0.655),
    # "bypass" hides "bypass safety" in the one group: the one label short of all 28.
    ("all_28_one_group",         ALL_APART,                                          1, (T, H, E, O[:4], P),                            28, 0.625),
    ("all_28_many_groups",       ALL_APART,                                          2**63, (T, H, E, O, P),                            29, 0.655),
    ("case_sensitive",           b"BACKDOOR Jailbreak Bypass Safety RM -RF /",       1, ([], [], [], [], []),                           0, 0.0),
    ("near_misses",              b"rm -rf . delete files admin-mode debug_mode",     1, ([], [], [], [], []),                           0, 0.0),
]


@pytest.mark.parametrize("data,cores,expected,total,score", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_one_shot(native, data, cores, expected, total, score):
    result = native.validate_behavior_analysis(data, cores)
    assert lists(result) == expected  # catalogue order
    assert (result.total_matches, result.risk_score) == (total, score)
    streamed = native.BehaviorAnalysisStreamingValidator(cores)
    assert streamed.process_chunk(data) is None
    again = streamed.finalize()
    assert (lists(again), again.total_matches, again.risk_score) == (expected, total, score)


@pytest.mark.parametrize(
    "after,total",
    [
        (b"", 2),          # "backdoor" is the last 8 bytes of the 28 carried
        (b"." * 20, 2),    # starts at the first of the 28 carried bytes: still repeated
        (b"." * 21, 1),    # starts one byte before them: counted once
    ],
    ids=["at_the_end", "first_carried_byte", "just_before_the_tail"],
)
def test_repeat_within_the_last_28_bytes(native, after, total):
    validator = native.BehaviorAnalysisStreamingValidator(1)
    validator.process_chunk(b"x" * 100 + b"backdoor" + after)
    validator.process_chunk(b"y" * 100)
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == (
        (["trigger:backdoor"], [], [], [], []), total, 0.015)


def test_streaming_lifecycle(native):
    validator = native.BehaviorAnalysisStreamingValidator(2)
    validator.process_chunk(b"a jail")
    validator.process_chunk(b"")  # changes nothing, not even the carried bytes
    assert validator.finalize().total_matches == 0
    validator.process_chunk(b"break here")  # the pattern split across chunks is found
    first, second = validator.finalize(), validator.finalize()
    assert (lists(first), first.total_matches) == (lists(second), second.total_matches) == (
        (["trigger:jailbreak"], [], [], [], []), 1)
    validator.process_chunk(b"~" * 40 + b"upload sensitive")  # a chunk after finalize is reflected
    assert validator.finalize().data_exfiltration_found == ["exfiltration:upload_sensitive"]
    assert not hasattr(validator, "reset")


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.BehaviorAnalysisStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_behavior_analysis(b"x", 0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_behavior_analysis(b"x"), TypeError,
         "validate_behavior_analysis() missing 1 required positional argument: 'num_cores'"),
        (lambda n: n.validate_behavior_analysis(bytearray(b"x"), 1), TypeError,
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda n: n.BehaviorAnalysisStreamingValidator(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda n: n.BehaviorAnalysisStreamingValidator("2"), TypeError,
         "argument 'num_cores': 'str' object cannot be interpreted as an integer"),
        (lambda n: n.BehaviorAnalysisStreamingValidator(1).process_chunk(None), TypeError,
         "argument 'chunk': 'NoneType' object cannot be converted to 'PyBytes'"),
        (lambda n: n.BehaviorAnalysisStreamingValidator(1).finalize(True), TypeError,
         "BehaviorAnalysisStreamingValidator.finalize() takes 1 positional argument but 2 were given"),
        (lambda n: n.BehaviorAnalysisValidation(), TypeError, "No constructor defined for BehaviorAnalysisValidation"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_result_is_a_read_only_snapshot(native):
    validator = native.BehaviorAnalysisStreamingValidator(1)
    validator.process_chunk(b"trigger")
    result = validator.finalize()
    validator.process_chunk(b" malicious")
    assert result.backdoor_triggers_found == ["trigger:trigger_keyword"]  # not changed by later chunks
    result.backdoor_triggers_found.append("x")  # a new list on every read
    assert result.backdoor_triggers_found == ["trigger:trigger_keyword"]
    for name in ("backdoor_triggers_found", "tool_hijacking_found", "data_exfiltration_found", "system_override_found",
                 "privilege_escalation_found", "total_matches", "risk_score"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    assert type(result).__doc__ == "Validation results for behavioral backdoor analysis"
    assert repr(result).startswith("<vesquor._native.BehaviorAnalysisValidation object at ")


def expected_from_reference(chunks, cores):
    """The validator's rules applied literally over the per-group reference."""
    reference = ReferenceStream([p for p, _ in CATALOGUE], cores)
    ids = [i for chunk in chunks for i in reference.scan_chunk(chunk)]
    found = {LABELS[i] for i in ids}
    seen = tuple([label for label in LABELS if label in found and label.split(":")[0] == c] for c in CATEGORIES)
    t, h, e, o, p = (len(s) for s in seen)
    return seen, len(ids), min(((((t * 0.15 + h * 0.2) + e * 0.25) + o * 0.3) + p * 0.3) / 10.0, 1.0)


PIECES = [p for p, _ in CATALOGUE] + [p[:-1] for p, _ in CATALOGUE] + [p[1:] for p, _ in CATALOGUE] + [b" ", b"_"]


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
    validator = native.BehaviorAnalysisStreamingValidator(cores)
    for chunk in chunks:
        validator.process_chunk(chunk)
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference(chunks, cores)


@pytest.mark.parametrize("cores", [1, 3])
def test_large_chunk_equals_reference(native, cores):
    # A chunk of several MiB is cut into segments that the pool scans at once.
    data = bytearray(random.Random(28).randbytes(9 << 20))
    for k in range(600):
        pattern = CATALOGUE[k % len(CATALOGUE)][0]
        at = (k * 15731) % (len(data) - 40)
        data[at:at + len(pattern)] = pattern
    data = bytes(data)
    result = native.validate_behavior_analysis(data, cores)
    assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference([data], cores)
