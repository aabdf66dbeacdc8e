"""The supply-chain validator: five categories of names, score, grouping effects, streaming."""

import os
import random
import re

import pytest
from busy_object import conflict_while_busy
from catalogue_tables import SUPPLY_CHAIN as CATALOGUE
from streaming_reference import ReferenceStream

CATEGORIES = ["malicious", "exfiltration", "tampering", "typosquat", "domain"]
WEIGHTS = [0.3, 0.3, 0.2, 0.1, 0.1]

CASES = [
    # name                       data                                   cores  {category: names}                                  total score
    ("empty",                    b"",                                   1,     {},                                                 0, 0.0),
    ("one_call",                 b"x = eval(y)",                        1,     {"malicious": ["eval"]},                            1, 0.3),
    ("order_of_additions",       b"eval( exec( upload_file",            1,
     {"malicious": ["eval", "exec"], "exfiltration": ["upload_file"]},                                                          3, 0.8999999999999999),
    ("three_typosquats",         b"torch-gpu numpy-gpu pandas-gpu",     1,
     {"typosquat": ["torch_gpu", "numpy_gpu", "pandas_gpu"]},                                                                    3, 0.30000000000000004),
    ("one_of_each_is_exactly_1", b"eval( base64.b64encode modified_weights torch-cuda conda-unofficial.org", 1,
     {"malicious": ["eval"], "exfiltration": ["base64_encode"], "tampering": ["modified_weights"],
      "typosquat": ["torch_cuda"], "domain": ["conda_unofficial"]},                                                             5, 1.0),
    ("four_calls_cap",           b"eval( exec( compile( os.popen(",     1,
     {"malicious": ["eval", "exec", "compile", "os_popen"]},                                                                     4, 1.0),
    ("case_sensitive",           b"EVAL( Pickle.loads TORCH-GPU PyPI-Mirror.org", 1, {},                                    0, 0.0),
    ("repeats_count_once",       b"exec( exec( exec(",                  3,     {"malicious": ["exec"]},                            3, 0.3),
    ("host_names_become_names",  b"https://pip-mirror.org/simple and pytorch-unofficial.org/whl", 1,
     {"domain": ["pip_mirror_org", "pytorch_unofficial"]},                                                                       2, 0.2),
    # A row that starts a longer one ends first and hides it within one group (rows 25 and 27).
    ("prefix_hides_one_group",   b"pickle.loads",                       1,     {"exfiltration": ["pickle_load"]},                  1, 0.3),
    ("prefix_hides_same_group",  b"pickle.loads",                       2,     {"exfiltration": ["pickle_load"]},                  1, 0.3),
    ("prefix_split_by_groups",   b"pickle.loads",                       4,     {"exfiltration": ["pickle_loads", "pickle_load"]},  2, 0.6),
    ("call_read_as_transfer",    b"requests.get(url)",                  1,     {"exfiltration": ["requests_get"]},                 1, 0.3),
    # One name in two categories (rows 12 and 35).
    ("shared_name_one_group",    b"socket.send(",                       1,     {"exfiltration": ["socket_send"]},                  1, 0.3),
    ("shared_name_both_lists",   b"socket.send(",                       4,
     {"malicious": ["socket_send"], "exfiltration": ["socket_send"]},                                                            2, 0.6),
    # "system(" ends "os.system(" (rows 9 and 4): at the same end the longer wins within a group.
    ("suffix_longest_wins",      b"os.system(",                         5,     {"malicious": ["os_system"]},                       1, 0.3),
    ("suffix_split_by_groups",   b"os.system(",                         2,     {"malicious": ["os_system", "system"]},             2, 0.6),
]


def lists(result):
    return (
        result.malicious_functions_found,
        result.data_exfiltration_found,
        result.tampering_indicators_found,
        result.typosquatting_found,
        result.suspicious_domains_found,
    )


def summary(result):
    return lists(result), result.total_matches, result.risk_score


@pytest.mark.parametrize("data,cores,names,total,score", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_one_shot_and_streamed(native, data, cores, names, total, score):
    expected = (tuple(names.get(c, []) for c in CATEGORIES), total, score)
    assert summary(native.validate_supply_chain(data, cores)) == expected  # lists in catalogue order
    validator = native.SupplyChainStreamingValidator(cores)
    assert validator.process_chunk(data) is None
    assert summary(validator.finalize()) == expected


def test_every_row_reports_its_own_name(native):
    # Each row in a group of its own, alone in the data: its name is listed in its category.
    for pattern, label in CATALOGUE:
        category, name = label.split(":", 1)
        result = native.validate_supply_chain(b"<" + pattern + b">", 2**63)
        assert name in lists(result)[CATEGORIES.index(category)], label


def test_domain_rows_are_bare_host_names():
    hosts = [pattern.decode("ascii") for pattern, label in CATALOGUE if label.startswith("domain:")]
    assert len(hosts) == 5
    for host in hosts:
        assert re.fullmatch(r"[a-z0-9-]+(\.[a-z0-9-]+)+", host), host


def test_split_pattern_and_carried_repeat(native):
    validator = native.SupplyChainStreamingValidator(1)
    validator.process_chunk(b"import subprocess; subprocess.Po")
    validator.process_chunk(b"")
    validator.process_chunk(b"pen(['sh'])")
    assert summary(validator.finalize()) == ((["subprocess_popen"], [], [], [], []), 1, 0.3)
    # One group carries 25 bytes: "eval(" at the very end of a chunk is reported again with the
    # next one, counted twice and named once.
    validator = native.SupplyChainStreamingValidator(1)
    validator.process_chunk(b"A" * 40 + b"eval(")
    validator.process_chunk(b"B" * 40)
    validator.process_chunk(b"C" * 40)
    assert summary(validator.finalize()) == ((["eval"], [], [], [], []), 2, 0.3)


def test_finalize_changes_nothing_and_reset_keeps_the_tail(native):
    validator = native.SupplyChainStreamingValidator(2)
    validator.process_chunk(b"tampered_model" + b"." * 30)
    first, second = validator.finalize(), validator.finalize()
    assert summary(first) == summary(second) == (([], [], ["tampered_model"], [], []), 1, 0.2)
    validator.process_chunk(b"sklearn-gpu" + b"." * 30)
    assert lists(validator.finalize())[3] == ["sklearn_gpu_short"]
    validator.process_chunk(b"... backdoor_wei")
    assert validator.reset() is None
    assert summary(validator.finalize()) == (([], [], [], [], []), 0, 0.0)
    # The scanner still carries the end of the previous input, so the name it started is found.
    validator.process_chunk(b"ghts")
    assert summary(validator.finalize()) == (([], [], ["backdoor_weights"], [], []), 1, 0.2)


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.SupplyChainStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_supply_chain(b"x", 0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_supply_chain(b"x"), TypeError,
         "validate_supply_chain() missing 1 required positional argument: 'num_threads'"),
        (lambda n: n.validate_supply_chain(b"x", num_threads=2.0), TypeError,
         "argument 'num_threads': 'float' object cannot be interpreted as an integer"),
        (lambda n: n.SupplyChainStreamingValidator(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda n: n.SupplyChainStreamingValidator(num_threads=1), TypeError,
         "SupplyChainStreamingValidator.__new__() got an unexpected keyword argument 'num_threads'"),
        (lambda n: n.SupplyChainStreamingValidator(1).process_chunk("eval("), TypeError,
         "argument 'chunk': 'str' object cannot be converted to 'PyBytes'"),
        (lambda n: n.SupplyChainValidation(), TypeError, "No constructor defined for SupplyChainValidation"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_result_is_read_only(native):
    result = native.validate_supply_chain(b"eval(", 1)
    docs = {
        "malicious_functions_found": "Malicious functions detected",
        "data_exfiltration_found": "Data exfiltration patterns detected",
        "tampering_indicators_found": "Tampering indicators detected",
        "typosquatting_found": "Typosquatting patterns detected",
        "suspicious_domains_found": "Suspicious domains detected",
        "total_matches": "Total pattern matches found",
        "risk_score": "Overall risk score (0.0 to 1.0)",
    }
    for name, doc in docs.items():
        with pytest.raises(AttributeError):
            setattr(result, name, None)
        assert getattr(type(result), name).__doc__ == doc
    assert repr(result).startswith("<vesquor._native.SupplyChainValidation object at ")


def expected_from_reference(chunks, cores):
    reference = ReferenceStream([p for p, _ in CATALOGUE], cores)
    ids = [i for chunk in chunks for i in reference.scan_chunk(chunk)]
    seen = {CATALOGUE[i][1] for i in ids}
    names = tuple([label.split(":", 1)[1] for _, label in CATALOGUE if label in seen and label.startswith(c + ":")]
                  for c in CATEGORIES)
    score = 0.0
    for weight, found in zip(WEIGHTS, names):
        score = score + len(found) * weight
    return names, len(ids), min(score, 1.0)


def test_validator_equals_reference_on_random_streams(native):
    rng = random.Random(45)
    pieces = [p for p, _ in CATALOGUE] + [p[:-3] for p, _ in CATALOGUE] + [b"(", b".", b"-gpu", b"s"]
    for _ in range(300):
        data = b"".join(rng.choice(pieces) if rng.random() < 0.6 else os.urandom(rng.randrange(4)) for _ in range(30))
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
        chunks = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        cores = rng.choice([1, 2, 3, 4, 5, 8, 23, 86, 2**40])
        validator = native.SupplyChainStreamingValidator(cores)
        for chunk in chunks:
            validator.process_chunk(chunk)
        assert summary(validator.finalize()) == expected_from_reference(chunks, cores)


def test_second_thread_meets_the_borrow(native):
    validator = native.SupplyChainStreamingValidator(3)
    data = (b"exec(" + b"." * 4091) * 8192  # 32 MiB, so the scan outlasts many probes; no match near its end
    busy = lambda: validator.process_chunk(data)  # noqa: E731
    assert conflict_while_busy(busy, lambda: validator.process_chunk(b"")) == "Already borrowed"
    assert conflict_while_busy(busy, validator.finalize) == "Already mutably borrowed"
    assert validator.finalize().total_matches % 8192 == 0
    assert conflict_while_busy(busy, validator.reset) == "Already borrowed"
