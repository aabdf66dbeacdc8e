"""File kinds from name and content together, and the policy that follows from the kind."""

import struct

import pytest

from vesquor import kinds, policy
from vesquor.kinds import detect_kind


def st_bytes(header=b'{"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}}', data=b"\0" * 4):
    return struct.pack("<Q", len(header)) + header + data


GGUF_HEAD = b"GGUF\x03\x00\x00\x00" + bytes(16)


@pytest.mark.parametrize(
    "name, head, kind",
    [
        # The name claims the format: kept even when the content does not hold up, so that the
        # format's validator reports the malformation.
        ("model.safetensors", st_bytes(), kinds.SAFETENSORS),
        ("model.safetensors", GGUF_HEAD, kinds.SAFETENSORS),
        ("model.safetensors", b"", kinds.SAFETENSORS),
        ("dir/Model.SafeTensors", b"garbage", kinds.SAFETENSORS),
        ("model.gguf", b"no magic here", kinds.GGUF),
        # Content decides where the name says nothing.
        ("pytorch_model.bin", st_bytes(), kinds.SAFETENSORS),
        ("weights", GGUF_HEAD, kinds.GGUF),
        ("tokenizer.json", GGUF_HEAD, kinds.GGUF),
        # A length prefix that is not followed by a JSON object is not SafeTensors.
        ("blob", struct.pack("<Q", 4) + b"[1] ", kinds.BINARY),
        ("blob", struct.pack("<Q", 10**9) + b"{}", kinds.BINARY),
        # Tokenizer files by name, vocabulary apart from configuration.
        ("tokenizer.json", b'{"version": "1.0"}', kinds.TOKENIZER_VOCAB),
        ("some/dir/vocab.json", b"{}", kinds.TOKENIZER_VOCAB),
        ("merges.txt", b"#version: 0.2\n", kinds.TOKENIZER_VOCAB),
        ("added_tokens.json", b"{}", kinds.TOKENIZER_CONFIG),
        ("Tokenizer_Config.json", b"{}", kinds.TOKENIZER_CONFIG),
        ("special_tokens_map.json", b"{}", kinds.TOKENIZER_CONFIG),
        # Sources by suffix or by a shebang; configs by suffix or JSON content.
        ("modeling.py", b"import torch\n", kinds.SOURCE),
        ("install", b"#!/bin/sh\necho hi\n", kinds.SOURCE),
        ("config.json", b'{"model_type": "llama"}', kinds.CONFIG),
        ("params.yaml", b"lr: 0.1\n", kinds.CONFIG),
        ("schema", b'\xef\xbb\xbf  [{"type": "function"}]', kinds.CONFIG),
        ("model.bin", bytes(range(256)), kinds.BINARY),
        ("README.md", b"# Model card\n", kinds.BINARY),
    ],
)
def test_detect_kind(name, head, kind):
    assert detect_kind(name, head, len(head)) == kind


def test_every_kind_has_a_policy_of_available_names():
    assert set(policy.DEFAULT_POLICY) == set(kinds.KINDS)
    for names in policy.DEFAULT_POLICY.values():
        assert names and set(names) <= set(policy.VALIDATORS)


@pytest.mark.parametrize(
    "kind, requested, run_all, expected",
    [
        (kinds.BINARY, None, False, ("model_integrity",)),
        (kinds.CONFIG, ("supply_chain",), False, ("supply_chain",)),
        # --all runs the format checks only on their own kind: a SafeTensors header check of a
        # Python file says nothing.
        (kinds.SOURCE, None, True, tuple(n for n in policy.VALIDATORS if n not in ("safetensors", "gguf"))),
        (kinds.GGUF, None, True, tuple(n for n in policy.VALIDATORS if n != "safetensors")),
    ],
)
def test_validators_for(kind, requested, run_all, expected):
    assert policy.validators_for(kind, requested, run_all) == expected


def test_the_readme_policy_table_is_the_code_policy():
    from pathlib import Path

    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    for kind, names in policy.DEFAULT_POLICY.items():
        row = next((line for line in readme.splitlines() if line.startswith(f"| `{kind}` |")), None)
        assert row is not None, f"README policy table has no row for {kind}"
        listed = [cell.strip() for cell in row.split("|")[3].split(",")]
        assert [name.split(" ")[0].strip("`") for name in listed] == list(names), row
