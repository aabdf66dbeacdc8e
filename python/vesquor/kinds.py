"""What kind of file a path holds, decided from its name and its first bytes together.

The name wins where it makes a claim about the format: a file called ``model.safetensors`` is
validated as SafeTensors even when its first bytes say otherwise, so a forged or broken header is
reported as that format's malformation instead of the file being scanned as something harmless.
Content wins where the name says nothing: ``pytorch_model.bin`` holding a valid SafeTensors
header is a SafeTensors file, and anything starting with the bytes ``GGUF`` is GGUF.

    >>> detect_kind("weights.bin", b"GGUF\\x03\\x00\\x00\\x00")
    'gguf'
"""

from __future__ import annotations

import posixpath
import struct

SAFETENSORS = "safetensors"
GGUF = "gguf"
TOKENIZER_VOCAB = "tokenizer_vocab"
TOKENIZER_CONFIG = "tokenizer_config"
CONFIG = "config"
SOURCE = "source"
BINARY = "binary"

#: Every kind, in the order the policy table lists them.
KINDS = (SAFETENSORS, GGUF, TOKENIZER_VOCAB, TOKENIZER_CONFIG, CONFIG, SOURCE, BINARY)

#: What each kind is, in a few words, for help texts and reports.
DESCRIPTIONS = {
    SAFETENSORS: "SafeTensors weights",
    GGUF: "GGUF model",
    TOKENIZER_VOCAB: "tokenizer vocabulary",
    TOKENIZER_CONFIG: "tokenizer configuration or added tokens",
    CONFIG: "JSON/YAML/TOML configuration or tool schema",
    SOURCE: "Python or shell source",
    BINARY: "opaque binary",
}

# Names a tokenizer library writes; a vocabulary is large and full of subword fragments, the
# configuration files are small and hold the special tokens and chat templates.
TOKENIZER_VOCAB_NAMES = frozenset({"tokenizer.json", "vocab.json", "merges.txt"})
TOKENIZER_CONFIG_NAMES = frozenset({"added_tokens.json", "tokenizer_config.json", "special_tokens_map.json"})

SOURCE_SUFFIXES = frozenset({".py", ".pyw", ".pyi", ".ipynb", ".sh", ".bash", ".zsh", ".ksh", ".ps1", ".bat", ".cmd"})
CONFIG_SUFFIXES = frozenset({".json", ".jsonl", ".yaml", ".yml", ".toml", ".cfg", ".ini", ".conf"})

# The largest header a SafeTensors reader accepts; a length prefix above it is not taken as a
# sign of the format (the validator reports it when the name says SafeTensors).
SAFETENSORS_MAX_HEADER = 100_000_000

GGUF_MAGIC = b"GGUF"

#: How many leading bytes `detect_kind` needs to decide.
SNIFF_BYTES = 4096


def looks_like_safetensors(head: bytes, size: int) -> bool:
    """True when `head` (the first bytes of a file of `size` bytes) starts with a plausible
    SafeTensors length prefix followed by the opening brace of a JSON object."""
    if size < 10 or len(head) < 9:
        return False
    (length,) = struct.unpack_from("<Q", head)
    if not 2 <= length <= min(SAFETENSORS_MAX_HEADER, size - 8):
        return False
    text = head[8:8 + min(length, 64)].lstrip(b" \t\r\n")
    return text.startswith(b"{")


def looks_like_json(head: bytes) -> bool:
    text = head.removeprefix(b"\xef\xbb\xbf").lstrip(b" \t\r\n")
    return text[:1] in (b"{", b"[") and b"\x00" not in head


def detect_kind(name: str, head: bytes, size: int | None = None) -> str:
    """The kind of a file called `name` (a path or a base name) whose first bytes are `head`
    (at least the first SNIFF_BYTES, or the whole file when shorter) and whose size is `size`
    (len(head) when not given)."""
    if size is None:
        size = len(head)
    base = posixpath.basename(name.replace("\\", "/")).lower()
    suffix = posixpath.splitext(base)[1]
    if suffix == ".safetensors":
        return SAFETENSORS
    if suffix == ".gguf" or head.startswith(GGUF_MAGIC):
        return GGUF
    if looks_like_safetensors(head, size):
        return SAFETENSORS
    if base in TOKENIZER_VOCAB_NAMES:
        return TOKENIZER_VOCAB
    if base in TOKENIZER_CONFIG_NAMES:
        return TOKENIZER_CONFIG
    if suffix in SOURCE_SUFFIXES or head.startswith(b"#!"):
        return SOURCE
    if suffix in CONFIG_SUFFIXES or looks_like_json(head):
        return CONFIG
    return BINARY
