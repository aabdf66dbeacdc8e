"""Which validators run on which kind of file, and how serious each kind of finding is.

The default policy is chosen so that clean, real files give no finding: a validator runs where
its catalogue means something. The buffer-overflow catalogue, for example, holds two-byte x86
gadgets that random tensor bytes contain every few KiB, so it runs only when asked for
(``--validators buffer_overflow`` or ``--all``); the GGUF safety catalogue looks for URLs and
shell words, which a GGUF file's metadata legitimately holds, so it reads only the tensor data.

This table is the one the README shows; keep them the same.
"""

from __future__ import annotations

from dataclasses import dataclass

from vesquor import kinds

HIGH = "high"
MEDIUM = "medium"
LOW = "low"
#: Severities, most serious first.
SEVERITIES = (HIGH, MEDIUM, LOW)
SEVERITY_RANK = {severity: rank for rank, severity in enumerate(SEVERITIES)}


@dataclass(frozen=True)
class Validator:
    name: str
    summary: str
    #: True for a check of one container format: under --all it still runs only on that kind.
    format_of: str | None = None


VALIDATORS = {
    v.name: v
    for v in (
        Validator("safetensors", "SafeTensors header, tensor names, data offsets and tensor data", kinds.SAFETENSORS),
        Validator("gguf", "GGUF container: magic, version, metadata, tensor table and offsets", kinds.GGUF),
        Validator("model_integrity", "embedded executables, script shebangs and zero-byte padding"),
        Validator("gguf_safety", "executables, malware words and exfiltration commands in GGUF tensor data"),
        Validator("tokenizer_hygiene", "markup, prompt injection, shell commands and hidden tokens in tokenizer files"),
        Validator("behavior_analysis", "backdoor triggers, tool hijacking, exfiltration and instruction overrides"),
        Validator("tool_calling", "destructive tool names and injected shell or SQL in tool schemas"),
        Validator("supply_chain", "code execution, exfiltration, tampering words, typosquats and mirror hosts"),
        Validator("buffer_overflow", "unsafe C calls, ROP gadget bytes and format-string tokens (noisy on binary data)"),
    )
}

#: The default policy: the validators run on each kind of file, in this order.
DEFAULT_POLICY = {
    kinds.SAFETENSORS: ("safetensors", "model_integrity"),
    kinds.GGUF: ("gguf", "gguf_safety", "model_integrity"),
    kinds.TOKENIZER_VOCAB: ("tokenizer_hygiene",),
    kinds.TOKENIZER_CONFIG: ("tokenizer_hygiene", "behavior_analysis"),
    kinds.CONFIG: ("tool_calling", "behavior_analysis"),
    kinds.SOURCE: ("supply_chain",),
    kinds.BINARY: ("model_integrity",),
}

#: The tokenizer-hygiene pattern mode per kind: a vocabulary is full of subword fragments such
#: as "curl" or "bash", so only the compound patterns are searched there.
TOKENIZER_MODE = {kinds.TOKENIZER_CONFIG: "strict"}
DEFAULT_TOKENIZER_MODE = "vocab_heavy"


def validators_for(kind: str, requested: tuple[str, ...] | None = None, run_all: bool = False) -> tuple[str, ...]:
    """The validators to run on a file of `kind`: `requested` as given, every validator under
    `run_all` (format checks only on their own kind), else the default policy."""
    if requested:
        return tuple(requested)
    if run_all:
        return tuple(name for name, v in VALIDATORS.items() if v.format_of in (None, kind))
    return DEFAULT_POLICY[kind]


# Severity of a finding by validator and rule category (the text before ':' of the rule id).
SEVERITY = {
    "safetensors": {"format": HIGH, "name": HIGH, "offsets": HIGH, "tensor_data": HIGH},
    "gguf": {"format": HIGH, "metadata": MEDIUM, "tensor": HIGH},
    "model_integrity": {"executable": HIGH, "script": MEDIUM, "padding": LOW},
    "gguf_safety": {"executable": HIGH, "malicious": HIGH, "suspicious": MEDIUM},
    "tokenizer_hygiene": {
        "code_injection": HIGH,
        "prompt_injection": HIGH,
        "hidden_token": HIGH,
        "shell_command": HIGH,
        "network_file": MEDIUM,
        "shell_single": LOW,
    },
    "behavior_analysis": {
        "trigger": MEDIUM,
        "tool_hijack": HIGH,
        "exfiltration": HIGH,
        "system_override": HIGH,
        "privilege": MEDIUM,
    },
    "tool_calling": {"dangerous": MEDIUM, "suspicious": HIGH},
    "supply_chain": {"malicious": HIGH, "exfiltration": MEDIUM, "tampering": MEDIUM, "typosquat": MEDIUM, "domain": HIGH},
    "buffer_overflow": {"dangerous": MEDIUM, "rop": LOW, "format_string": MEDIUM, "integer_overflow": LOW},
    "filesystem": {"symlink": MEDIUM},
}


def severity(validator: str, rule: str) -> str:
    return SEVERITY.get(validator, {}).get(rule.partition(":")[0], MEDIUM)


# What a rule category means, in words, for the findings of the threat validators, whose results
# carry only labels such as "hidden_token:backdoor_tag".
CATEGORY_TEXT = {
    ("gguf_safety", "executable"): "executable or script header in tensor data",
    ("gguf_safety", "malicious"): "malware keyword in tensor data",
    ("gguf_safety", "suspicious"): "code execution, download or credential path in tensor data",
    ("tokenizer_hygiene", "code_injection"): "code or markup that runs when rendered",
    ("tokenizer_hygiene", "prompt_injection"): "prompt-injection phrase",
    ("tokenizer_hygiene", "network_file"): "URL scheme or sensitive file path",
    ("tokenizer_hygiene", "shell_command"): "shell command",
    ("tokenizer_hygiene", "shell_single"): "shell or attack word",
    ("tokenizer_hygiene", "hidden_token"): "hidden or trigger token",
    ("behavior_analysis", "trigger"): "backdoor trigger word",
    ("behavior_analysis", "tool_hijack"): "tool-hijacking instruction",
    ("behavior_analysis", "exfiltration"): "data-exfiltration instruction",
    ("behavior_analysis", "system_override"): "instruction or safety override",
    ("behavior_analysis", "privilege"): "privilege-escalation claim",
    ("tool_calling", "dangerous"): "dangerous tool or function name",
    ("tool_calling", "suspicious"): "injected command in a parameter",
    ("supply_chain", "malicious"): "code-execution or network call",
    ("supply_chain", "exfiltration"): "serialisation or data-transfer call",
    ("supply_chain", "tampering"): "tampering indicator",
    ("supply_chain", "typosquat"): "typosquatted package name",
    ("supply_chain", "domain"): "unofficial package host",
    ("buffer_overflow", "dangerous"): "unsafe C library function",
    ("buffer_overflow", "rop"): "ROP gadget bytes",
    ("buffer_overflow", "format_string"): "format-string attack token",
    ("buffer_overflow", "integer_overflow"): "integer-overflow-prone size expression",
}
