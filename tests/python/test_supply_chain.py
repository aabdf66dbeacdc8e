"""The supply-chain validator: five categories of names, score, grouping effects, streaming."""

import os
import random
import re

import pytest
from busy_object import conflict_while_busy
from streaming_reference import ReferenceStream

# The catalogue as the reference sees it: bytes and labels by row.
CATALOGUE = [
    (b"eval(", "malicious:eval"), (b"exec(", "malicious:exec"), (b"__import__(", "malicious:__import__"),
    (b"compile(", "malicious:compile"), (b"os.system(", "malicious:os_system"), (b"os.popen(", "malicious:os_popen"),
    (b"subprocess.call(", "malicious:subprocess_call"), (b"subprocess.run(", "malicious:subprocess_run"),
    (b"subprocess.Popen(", "malicious:subprocess_popen"), (b"system(", "malicious:system"),
    (b"socket.socket(", "malicious:socket_socket"), (b"socket.connect(", "malicious:socket_connect"),
    (b"socket.send(", "malicious:socket_send"), (b"urllib.request.urlopen(", "malicious:urllib_urlopen"),
    (b"urllib.request.Request(", "malicious:urllib_request"), (b"requests.get(", "malicious:requests_get"),
    (b"requests.post(", "malicious:requests_post"), (b"requests.put(", "malicious:requests_put"),
    (b"requests.delete(", "malicious:requests_delete"), (b"import(", "malicious:import"),
    (b"importlib.import_module(", "malicious:importlib"), (b"base64.b64encode", "exfiltration:base64_encode"),
    (b"base64.b64decode", "exfiltration:base64_decode"), (b"base64.encode", "exfiltration:base64_encode_alt"),
    (b"base64.decode", "exfiltration:base64_decode_alt"), (b"pickle.loads", "exfiltration:pickle_loads"),
    (b"pickle.dumps", "exfiltration:pickle_dumps"), (b"pickle.load", "exfiltration:pickle_load"),
    (b"pickle.dump", "exfiltration:pickle_dump"), (b"marshal.loads", "exfiltration:marshal_loads"),
    (b"marshal.dumps", "exfiltration:marshal_dumps"), (b"marshal.load", "exfiltration:marshal_load"),
    (b"marshal.dump", "exfiltration:marshal_dump"), (b"requests.get", "exfiltration:requests_get"),
    (b"requests.post", "exfiltration:requests_post"), (b"socket.send", "exfiltration:socket_send"),
    (b"socket.recv", "exfiltration:socket_recv"), (b"download_file", "exfiltration:download_file"),
    (b"upload_file", "exfiltration:upload_file"), (b"send_file", "exfiltration:send_file"),
    (b"receive_file", "exfiltration:receive_file"), (b"download_model", "exfiltration:download_model"),
    (b"upload_model", "exfiltration:upload_model"), (b"steal_data", "exfiltration:steal_data"),
    (b"exfiltrate", "exfiltration:exfiltrate"), (b"ctypes.CDLL", "exfiltration:ctypes_cdll"),
    (b"ctypes.windll", "exfiltration:ctypes_windll"), (b"ctypes.cdll", "exfiltration:ctypes_cdll_lower"),
    (b"send_data(", "exfiltration:send_data"), (b"post_data(", "exfiltration:post_data"),
    (b"get_data(", "exfiltration:get_data"), (b"put_data(", "exfiltration:put_data"),
    (b"delete_data(", "exfiltration:delete_data"), (b"tampered_with", "tampering:tampered_with"),
    (b"altered_model", "tampering:altered_model"), (b"patched_version", "tampering:patched_version"),
    (b"unofficial_build", "tampering:unofficial_build"), (b"modified_weights", "tampering:modified_weights"),
    (b"custom_weights", "tampering:custom_weights"), (b"backdoor_weights", "tampering:backdoor_weights"),
    (b"version_modified", "tampering:version_modified"), (b"build_tampered", "tampering:build_tampered"),
    (b"weights_altered", "tampering:weights_altered"), (b"model_patched", "tampering:model_patched"),
    (b"unofficial_release", "tampering:unofficial_release"), (b"custom_fork", "tampering:custom_fork"),
    (b"tampered_model", "tampering:tampered_model"), (b"altered_weights", "tampering:altered_weights"),
    (b"patched_model", "tampering:patched_model"), (b"modified_model", "tampering:modified_model"),
    (b"backdoor_injection", "tampering:backdoor_injection"), (b"malicious_patch", "tampering:malicious_patch"),
    (b"unauthorized_modification", "tampering:unauthorized_modification"),
    (b"tensorflow-gpu", "typosquat:tensorflow_gpu"), (b"tensorflow-cpu", "typosquat:tensorflow_cpu"),
    (b"torch-gpu", "typosquat:torch_gpu"), (b"torch-cuda", "typosquat:torch_cuda"),
    (b"scikit-learn-gpu", "typosquat:sklearn_gpu"), (b"sklearn-gpu", "typosquat:sklearn_gpu_short"),
    (b"numpy-gpu", "typosquat:numpy_gpu"), (b"pandas-gpu", "typosquat:pandas_gpu"),
    (b"pypi-mirror.org", "domain:pypi_mirror"), (b"pip-mirror.org", "domain:pip_mirror_org"),
    (b"pytorch-unofficial.org", "domain:pytorch_unofficial"), (b"tensorflow-mirror.org", "domain:tensorflow_mirror"),
    (b"conda-unofficial.org", "domain:conda_unofficial"),
]
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
