"""The tool-calling validator: names per category, per-chunk findings, integer score, streaming."""

import os
import random

import pytest
from busy_object import conflict_while_busy
from catalogue_tables import TOOL_CALLING as CATALOGUE
from streaming_reference import ReferenceStream

CATEGORIES = ["dangerous", "suspicious"]
EVERY_PATTERN = b"\n".join(p for p, _ in CATALOGUE)

CASES = [
    # name                         data                               cores  dangerous, suspicious                               total score
    ("empty",                      b"",                               1,     ([], []),                                           0,  0),
    ("one_of_each",                b"x delete_ y DROP DATABASE z",    1,     (["delete_tool"], ["drop_database"]),               2,  7),
    ("repeats_count_once",         b"admin_ admin_ admin_",           1,     (["admin_tool"], []),                               3,  5),
    ("catalogue_order",            b"sudo_ chmod 777 ; rm -rf",       1,     (["sudo_tool"], ["shell_command_injection", "chmod_777"]), 3, 9),
    ("case_sensitive",             b"drop database Admin_ ADMIN_ Su -", 1,   ([], []),                                           0,  0),
    ("overlap_in_one_group",       b"| bash_",                        1,     ([], ["pipe_to_bash"]),                             1,  2),
    ("overlap_split_by_groups",    b"| bash_",                        5,     (["bash_tool"], ["pipe_to_bash"]),                  2,  7),
    ("every_name_caps_at_259",     EVERY_PATTERN,                     1,
     ([label.split(":", 1)[1] for _, label in CATALOGUE[:39]], [label.split(":", 1)[1] for _, label in CATALOGUE[39:]]), 71, 259),
    ("huge_group_count",           b"| bash_",                        2**63, (["bash_tool"], ["pipe_to_bash"]),                  2,  7),
]


def lists(result):
    return result.dangerous_tools_found, result.suspicious_parameters_found


@pytest.mark.parametrize("data,cores,expected,total,score", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_one_shot(native, data, cores, expected, total, score):
    result = native.validate_tool_calling(data, cores)
    assert lists(result) == expected  # catalogue order
    assert (result.total_matches, result.risk_score) == (total, score)
    assert repr(result) == (f"ToolCallingValidation(dangerous_tools={len(expected[0])}, "
                            f"suspicious_params={len(expected[1])}, risk_score={score})")
    streamed = native.ToolCallingStreamingValidator(cores)
    streamed.process_chunk(data)
    again = streamed.finalize()
    assert (lists(again), again.total_matches, again.risk_score) == (expected, total, score)


def test_num_cores_defaults_to_one(native):
    # "| bash_" holds two overlapping rows (41 and 5): one group reports only the first to end.
    data = b"| bash_ root_"
    one = (["root_tool"], ["pipe_to_bash"])
    for result in (native.validate_tool_calling(data), native.validate_tool_calling(data=data, num_cores=1)):
        assert (lists(result), result.total_matches) == (one, 2)
    assert lists(native.validate_tool_calling(data, 5)) == (["root_tool", "bash_tool"], ["pipe_to_bash"])


def chunk_dict(dangerous=(), suspicious=()):
    return {"dangerous_tools": list(dangerous), "suspicious_parameters": list(suspicious)}


def test_chunk_dict_lists_every_match(native):
    validator = native.ToolCallingStreamingValidator(1)
    found = validator.process_chunk(b"admin_ admin_ | sh admin_")
    assert found == chunk_dict(["admin_tool"] * 3, ["pipe_to_sh"])
    assert list(found) == ["dangerous_tools", "suspicious_parameters"]
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == ((["admin_tool"], ["pipe_to_sh"]), 4, 7)


ROOT, ADMIN = "root_tool", "admin_tool"


@pytest.mark.parametrize("cores,expected", [(1, [ROOT, ROOT, ADMIN]), (2, [ADMIN, ROOT, ROOT]), (3, [ADMIN, ROOT, ROOT])])
def test_chunk_lists_come_group_by_group(native, cores, expected):
    # Row 1 ("root_") twice before row 0 ("admin_"): by position within a group, group 0 first.
    assert native.ToolCallingStreamingValidator(cores).process_chunk(b"root_ root_ admin_")["dangerous_tools"] == expected


def test_split_pattern_and_empty_chunks(native):
    validator = native.ToolCallingStreamingValidator(3)
    assert validator.process_chunk(b"call exfil") == chunk_dict()
    assert validator.process_chunk(b"") == chunk_dict()
    assert validator.process_chunk(b"trate_data()") == chunk_dict(["exfiltrate_tool"])
    assert validator.finalize().total_matches == 1


def test_match_in_the_carried_tail_is_reported_again(native):
    # With one group the scanner carries 18 bytes: "sudo_" at the end of the first chunk lies
    # wholly in them and comes back with the second chunk; it is counted twice, named once.
    validator = native.ToolCallingStreamingValidator(1)
    assert validator.process_chunk(b"A" * 30 + b"sudo_") == chunk_dict(["sudo_tool"])
    assert validator.process_chunk(b"B" * 30) == chunk_dict(["sudo_tool"])
    assert validator.process_chunk(b"C" * 30) == chunk_dict()
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == ((["sudo_tool"], []), 2, 5)


def test_finalize_changes_nothing_and_later_chunks_count(native):
    validator = native.ToolCallingStreamingValidator(2)
    validator.process_chunk(b"setuid " + b"." * 20)
    first, second = validator.finalize(), validator.finalize()
    assert (lists(first), first.total_matches) == (lists(second), second.total_matches) == (([], ["setuid"]), 1)
    validator.process_chunk(b"hide_")
    assert lists(validator.finalize()) == (["hide_tool"], ["setuid"])


def test_reset_empties_the_state_but_keeps_the_tail(native):
    validator = native.ToolCallingStreamingValidator(1)
    validator.process_chunk(b"admin_ ... DROP DAT")
    assert validator.reset() is None
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == (([], []), 0, 0)
    # The scanner still carries the end of the previous input, so the pattern it started is found.
    assert validator.process_chunk(b"ABASE") == chunk_dict([], ["drop_database"])


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.ToolCallingStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_tool_calling(b"x", 0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_tool_calling(b"x", num_cores=-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda n: n.validate_tool_calling(b"x", "2"), TypeError,
         "argument 'num_cores': 'str' object cannot be interpreted as an integer"),
        (lambda n: n.validate_tool_calling(), TypeError, "validate_tool_calling() missing 1 required positional argument: 'data'"),
        (lambda n: n.validate_tool_calling(b"", 1, 2), TypeError,
         "validate_tool_calling() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda n: n.validate_tool_calling(bytearray(b"admin_")), TypeError,
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda n: n.ToolCallingStreamingValidator(), TypeError,
         "ToolCallingStreamingValidator.__new__() missing 1 required positional argument: 'num_cores'"),
        (lambda n: n.ToolCallingStreamingValidator(1).process_chunk(memoryview(b"x")), TypeError,
         "argument 'chunk': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda n: n.ToolCallingStreamingValidator(1).finalize(True), TypeError,
         "ToolCallingStreamingValidator.finalize() takes 1 positional argument but 2 were given"),
        (lambda n: n.ToolCallingValidation(), TypeError, "No constructor defined for ToolCallingValidation"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_bytes_subclass_is_read(native):
    class Blob(bytes):
        pass

    assert native.validate_tool_calling(Blob(b"nc -e /bin/sh")).suspicious_parameters_found == ["nc_execute"]


def test_result_is_a_read_only_snapshot(native):
    validator = native.ToolCallingStreamingValidator(1)
    validator.process_chunk(b"steal_")
    result = validator.finalize()
    validator.process_chunk(b"crack_")
    validator.reset()
    assert result.dangerous_tools_found == ["steal_tool"]
    result.dangerous_tools_found.append("x")  # a new list each time
    assert result.dangerous_tools_found == ["steal_tool"]
    for name in ("dangerous_tools_found", "suspicious_parameters_found", "total_matches", "risk_score"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
        assert getattr(type(result), name).__doc__ == ""
    assert type(result).__doc__ == "Tool calling validation result"


def expected_from_reference(chunks, cores):
    """Per-chunk dicts and the final lists, total and score, from the reference's row ids."""
    reference = ReferenceStream([p for p, _ in CATALOGUE], cores)
    per_chunk, seen = [], set()
    total = 0
    for chunk in chunks:
        ids = reference.scan_chunk(chunk)
        total += len(ids)
        found = chunk_dict()
        for i in ids:
            category, name = CATALOGUE[i][1].split(":", 1)
            found["dangerous_tools" if category == "dangerous" else "suspicious_parameters"].append(name)
            seen.add(CATALOGUE[i][1])
        per_chunk.append(found)
    names = tuple([label.split(":", 1)[1] for _, label in CATALOGUE if label in seen and label.startswith(c + ":")]
                  for c in CATEGORIES)
    return per_chunk, names, total, 5 * len(names[0]) + 2 * len(names[1])


def test_validator_equals_reference_on_random_streams(native):
    rng = random.Random(44)
    pieces = [p for p, _ in CATALOGUE] + [p[:-2] for p, _ in CATALOGUE] + [b"_", b"| ", b" ", b"-"]
    for _ in range(300):
        data = b"".join(rng.choice(pieces) if rng.random() < 0.6 else os.urandom(rng.randrange(4)) for _ in range(30))
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
        chunks = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        cores = rng.choice([1, 2, 3, 4, 5, 7, 36, 71, 1000])
        validator = native.ToolCallingStreamingValidator(cores)
        per_chunk = [validator.process_chunk(chunk) for chunk in chunks]
        result = validator.finalize()
        assert (per_chunk, lists(result), result.total_matches, result.risk_score) == expected_from_reference(chunks, cores)


def test_second_thread_meets_the_borrow(native):
    validator = native.ToolCallingStreamingValidator(2)
    data = (b"admin_" + b"." * 4090) * 8192  # 32 MiB, so the scan outlasts many probes; no match near its end
    busy = lambda: validator.process_chunk(data)  # noqa: E731
    assert conflict_while_busy(busy, lambda: validator.process_chunk(b"")) == "Already borrowed"
    assert conflict_while_busy(busy, validator.finalize) == "Already mutably borrowed"
    # Every busy call ran whole (8192 matches each) and the refused calls changed nothing.
    assert validator.finalize().total_matches % 8192 == 0
    assert conflict_while_busy(busy, validator.reset) == "Already borrowed"
