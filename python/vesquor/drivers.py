"""Drivers: each feeds the bytes of one file to one validator of the engine, chunk by chunk, and
turns the engine's result into plain values and findings.

A driver reads one byte range of the file (its region: the whole file, or the tensor data of a
SafeTensors or GGUF file) and is fed successive pieces of it, in file order, by the scan loop.

Counting malware-catalogue matches exactly. The engine's streaming scanners carry the last bytes
of the stream into the next call, so a signature cut by a chunk boundary is found; an occurrence
lying wholly inside those carried bytes is therefore reported twice, by the call that completed it
and by the next one (and by the final flush). The threat validators score distinct labels, so a
repeat changes nothing there; the model-integrity and SafeTensors data checks add up weights per
occurrence, so a shebang in the last bytes of a chunk would count double and could cross a report
threshold on its own. `CatalogueStream` removes the repeats: whenever a call reports anything, a
fresh scanner of the same catalogue and group count is fed the last bytes of the stream before
the call and flushed; what that flush reports is exactly what the call repeated. Example, chunks
"..#!/bin/sh" + "xyz": the second call reports the shebang again, the fresh scanner fed
"..#!/bin/sh" and flushed reports it once, and the difference is nothing. The final flush only
ever repeats and is discarded.
"""

from __future__ import annotations

import re
from collections import Counter
from typing import Any, Callable

from vesquor import _native, formats, kinds, policy
from vesquor.report import Finding, ValidatorResult


def native(name: str) -> Any:
    """The engine entry `name`, or None when this build does not have it."""
    return getattr(_native, name, None)


def result_fields(obj: Any) -> dict[str, Any]:
    """Every public attribute of an engine result object as plain values. Lists that hold the
    distinct entries of a set (attributes ending in "_found") come sorted, so that the same file
    always gives the same report."""
    fields: dict[str, Any] = {}
    for name in dir(obj):
        if name.startswith("_"):
            continue
        value = getattr(obj, name)
        if callable(value):
            continue
        if isinstance(value, tuple):
            value = list(value)
        if isinstance(value, list) and name.endswith("_found"):
            value = sorted(value)
        elif isinstance(value, dict):
            value = dict(sorted(value.items()))
        fields[name] = value
    return fields


def _slug(text: str) -> str:
    return re.sub(r"[^a-z0-9]+", "_", text.lower()).strip("_") or "other"


# ------------------------------------------------------------------------------------------------
# The threat validators: one streaming class each, fed every piece, finalized once.

# Per validator: the streaming class, and for the validators whose lists hold only the name part
# of a label ("admin_tool" rather than "dangerous:admin_tool"), the category of each list.
THREATS: dict[str, tuple[str, dict[str, str]]] = {
    "gguf_safety": ("GGUFSafetyStreamingValidator", {}),
    "tokenizer_hygiene": ("TokenizerHygieneStreamingValidator", {}),
    "behavior_analysis": ("BehaviorAnalysisStreamingValidator", {}),
    "tool_calling": ("ToolCallingStreamingValidator", {"dangerous_tools_found": "dangerous", "suspicious_parameters_found": "suspicious"}),
    "supply_chain": (
        "SupplyChainStreamingValidator",
        {
            "malicious_functions_found": "malicious",
            "data_exfiltration_found": "exfiltration",
            "tampering_indicators_found": "tampering",
            "typosquatting_found": "typosquat",
            "suspicious_domains_found": "domain",
        },
    ),
    "buffer_overflow": ("BufferOverflowStreamingValidator", {}),
}


def threat_findings(validator: str, fields: dict[str, Any], categories: dict[str, str]) -> list[Finding]:
    findings = []
    for attribute, value in fields.items():
        if not attribute.endswith("_found") or not isinstance(value, list):
            continue
        for entry in value:
            if ":" in entry:
                category, _, name = entry.partition(":")
            else:
                category, name = categories.get(attribute, attribute.removesuffix("_found")), entry
            rule = f"{category}:{name}"
            text = policy.CATEGORY_TEXT.get((validator, category), category.replace("_", " "))
            findings.append(Finding(validator, rule, policy.severity(validator, rule), f"{text}: {name}"))
    return findings


class ThreatDriver:
    def __init__(self, name: str, num_cores: int, offset: int, length: int, mode: str | None = None):
        class_name, self.categories = THREATS[name]
        cls = native(class_name)
        self.name, self.engine, self.offset, self.length = name, class_name, offset, length
        self.validator = cls(num_cores) if mode is None else cls(num_cores, mode)

    def feed(self, piece: bytes) -> None:
        self.validator.process_chunk(piece)

    def finish(self) -> ValidatorResult:
        fields = result_fields(self.validator.finalize())
        return ValidatorResult(self.name, self.engine, self.offset, self.length, fields, threat_findings(self.name, fields, self.categories))


# ------------------------------------------------------------------------------------------------
# Malware-catalogue matches of a stream, each occurrence once.

# Bytes of the stream kept to replay the engine's carried tail; longer than any catalogue row.
_TAIL = 256
# A PE header: the one-shot check reports every finding once its score reaches 3, which this
# alone does, so prefixing it makes the one-shot function list every match of what follows. No
# catalogue row starts with a suffix of it, so it never joins with the bytes after it.
_SENTINEL = b"MZ\x90\x00"
_PADDING_PREFIX = "Excessive null bytes ("


def _without(found: list[str], repeats: list[str]) -> list[str]:
    if not repeats:
        return found
    pending = Counter(repeats)
    kept = []
    for description in found:
        if pending[description] > 0:
            pending[description] -= 1
        else:
            kept.append(description)
    return kept


def _descriptions(matches: list[Any]) -> list[str]:
    return [m if isinstance(m, str) else m.description for m in matches]


def _one_shot_matches(data: bytes) -> list[str]:
    found = list(_native.validate_model_integrity(_SENTINEL + data).suspicious_patterns[1:])
    if found and found[-1].startswith(_PADDING_PREFIX):
        found.pop()
    return found


class CatalogueStream:
    """Every occurrence of a malware-catalogue signature in a stream, once (see the module text).
    `primary`, when given, is the per-chunk call of a streaming object over the catalogue that
    the caller owns (SafeTensorsStreamingValidator.process_chunk). In a build with no fresh
    scanner to replay the carried bytes with, a repeat counts twice, which can only make the
    verdict stricter."""

    def __init__(self, num_cores: int, primary: Callable[[bytes], list[Any]] | None = None, primary_engine: str = ""):
        self.num_cores = num_cores
        self._aux = native("ModelIntegrityStreamingValidator") or native("PyParallelStreamingScanner")
        self._close: Callable[[], Any] | None = None
        self._last = b""
        if primary is not None:
            self._scan, self.engine = primary, primary_engine
        elif native("ModelIntegrityStreamingValidator") is not None:
            scanner = native("ModelIntegrityStreamingValidator")(num_cores)
            self._scan, self._close, self.engine = scanner.process_chunk, scanner.finalize, "ModelIntegrityStreamingValidator"
        elif native("PyParallelStreamingScanner") is not None:
            scanner = native("PyParallelStreamingScanner")(num_cores)
            self._scan, self._close, self.engine = scanner.scan_chunk, scanner.finalize, "PyParallelStreamingScanner"
        else:
            # No streaming scanner over the catalogue in this build: the one-shot function over
            # each chunk with the stream's last bytes in front, minus what those bytes alone hold.
            self._scan, self._aux, self.engine = self._windowed, None, "validate_model_integrity"

    def _windowed(self, chunk: bytes) -> list[str]:
        found = _one_shot_matches(self._last + chunk)
        return _without(found, _one_shot_matches(self._last)) if self._last else found

    def _repeats(self) -> list[str]:
        replay = self._aux(self.num_cores)
        (getattr(replay, "process_chunk", None) or replay.scan_chunk)(self._last)
        return _descriptions(replay.finalize())

    def feed(self, chunk: bytes) -> list[str]:
        if not chunk:
            return []
        found = _descriptions(self._scan(chunk))
        if found and self._last and self._aux is not None:
            found = _without(found, self._repeats())
        self._last = (self._last + chunk[-_TAIL:])[-_TAIL:]
        return found

    def close(self) -> None:
        if self._close is not None:
            self._close()  # the flush only repeats what was reported; it releases the scanner
            self._close = None


PADDING_MIN_LENGTH = 1024
_ZERO_READ = 4 << 20


def padding_finding(read_at: formats.ReadAt, offset: int, length: int) -> str | None:
    """The zero-byte padding finding of the region [offset, offset + length) of the file, or None
    when 95 % or less of it is zero or it is shorter than 1024 bytes.

    Padding alone weighs 2, below both report thresholds, so it matters only for a file that has
    matches; the drivers count zeros only then, in a second pass of positioned reads, and never
    for the clean majority. Counting stops once more than 1/19 of the region is non-zero (it can
    no longer exceed 95 %). Raises formats.Truncated when the file is shorter than it was."""
    if length < PADDING_MIN_LENGTH:
        return None
    zeros = nonzero = 0
    position, end = offset, offset + length
    while position < end:
        piece = read_at(position, min(_ZERO_READ, end - position))
        if not piece:
            raise formats.Truncated(f"the file ended at offset {position} while its zero bytes were counted")
        count = piece.count(0)
        zeros += count
        nonzero += len(piece) - count
        if nonzero * 19 > length:
            return None
        position += len(piece)
    percent = zeros / length * 100.0
    if percent > 95.0:
        return f"Excessive null bytes ({percent:.1f}% of data) - possible padding attack"
    return None


def label_score(description: str) -> int:
    """The weight of a catalogue match by its label: 3 for an executable, 2 for a script."""
    if any(word in description for word in ("executable", "Mach-O", "ELF")):
        return 3
    if any(word in description for word in ("script", "shebang", "import")):
        return 2
    return 1


MALWARE_RULES = {
    "PE executable header (Windows .exe)": "executable:pe",
    "ELF executable header (Linux/Unix 32-bit)": "executable:elf32",
    "ELF executable header (Linux/Unix 64-bit)": "executable:elf64",
    "Mach-O executable (macOS 32-bit)": "executable:macho32",
    "Mach-O executable (macOS 64-bit)": "executable:macho64",
    "Mach-O universal binary (macOS)": "executable:macho_universal",
    "Shell script shebang": "script:sh_shebang",
    "Bash script shebang": "script:bash_shebang",
    "Python script shebang": "script:python_shebang",
    "Generic script shebang": "script:env_shebang",
}


def malware_rule(description: str) -> str:
    if description.startswith(_PADDING_PREFIX):
        return "padding:null_bytes"
    return MALWARE_RULES.get(description) or f"{'executable' if label_score(description) == 3 else 'script'}:{_slug(description)}"


# Occurrence lists in results are capped; the counts per signature are always complete.
LIST_LIMIT = 1000


class Occurrences:
    def __init__(self) -> None:
        self.counts: Counter = Counter()
        self.listed: list[str] = []

    def add(self, descriptions: list[str]) -> None:
        self.counts.update(descriptions)
        room = LIST_LIMIT - len(self.listed)
        if room > 0:
            self.listed.extend(descriptions[:room])

    def score(self) -> int:
        return sum(label_score(d) * n for d, n in self.counts.items())


def _grouped(validator: str, rules: list[tuple[str, str]], counts: dict[str, int] | None = None) -> list[Finding]:
    """Findings from (rule, message) pairs, equal pairs merged with their count."""
    seen: Counter = Counter(rules)
    return [
        Finding(validator, rule, policy.severity(validator, rule), message, (counts or {}).get(message, seen[(rule, message)]))
        for rule, message in dict.fromkeys(rules)
    ]


class ModelIntegrityDriver:
    """The model-integrity check of a whole file, streamed: every catalogue occurrence, the
    zero-byte padding check and the report threshold of 3, as `validate_model_integrity` would
    judge the same bytes in one piece."""

    THRESHOLD = 3

    def __init__(self, num_cores: int, size: int, read_at: formats.ReadAt):
        self.name, self.offset, self.length = "model_integrity", 0, size
        self.read_at = read_at
        self.stream = CatalogueStream(num_cores)
        self.engine = self.stream.engine
        self.occurrences = Occurrences()

    def feed(self, piece: bytes) -> None:
        self.occurrences.add(self.stream.feed(piece))

    def finish(self) -> ValidatorResult:
        self.stream.close()
        score = self.occurrences.score()
        padding = padding_finding(self.read_at, self.offset, self.length) if score + 2 >= self.THRESHOLD else None
        score += 2 if padding else 0
        patterns = self.occurrences.listed + [padding] if padding else list(self.occurrences.listed)
        counts = dict(self.occurrences.counts)
        if score < self.THRESHOLD:
            patterns, counts = [], {}
        elif padding:
            counts[padding] = 1
        fields = {
            "is_valid": not patterns,
            "suspicious_patterns": patterns,
            "warnings": [f"Suspicious pattern detected: {p}" for p in patterns],
            "occurrences": dict(sorted(counts.items())),
        }
        rules = [(malware_rule(d), d) for d in counts]
        return ValidatorResult(self.name, self.engine, self.offset, self.length, fields, _grouped(self.name, rules, counts))


# ------------------------------------------------------------------------------------------------
# SafeTensors: the header through the engine's header check, the data offsets against the real
# file size, and the data region streamed through the catalogue with the padding check and the
# report threshold of 5. A streamed file is judged exactly as `validate_safetensors` judges the
# same bytes, except that the offsets and the data are checked even when the header already has a
# finding (the one-shot function stops there), so it is never judged less strictly.

DATA_PREFIX = "Suspicious pattern in tensor data: "

_SAFETENSORS_RULES = [
    (re.compile(r"File too small to be valid safetensors"), "format:file_too_small"),
    (re.compile(r"Header size \d+ exceeds maximum allowed \d+ \(potential DoS\)"), "format:header_too_large"),
    (re.compile(r"Invalid header size: \d+ > file size \d+"), "format:header_length_past_end"),
    (re.compile(r"Failed to parse JSON header: .*", re.S), "format:invalid_json"),
    (re.compile(r"Header must be a JSON object"), "format:header_not_object"),
    (re.compile(r"Suspicious tensor name '.*' contains pattern '.*'", re.S), "name:suspicious_pattern"),
    (re.compile(r"Tensor name '.*' contains unusual special characters", re.S), "name:unusual_characters"),
    (re.compile(r"Tensor '.*' data offset \d+ exceeds file size \d+", re.S), "offsets:past_end"),
    (re.compile(r"Tensor '.*' has invalid offsets: start \d+ > end \d+", re.S), "offsets:start_after_end"),
]
_OFFSET_RULES = {"offsets:past_end", "offsets:start_after_end"}


def safetensors_rule(warning: str) -> str:
    if warning.startswith(DATA_PREFIX):
        rule = malware_rule(warning[len(DATA_PREFIX):])
        return "tensor_data:" + rule.partition(":")[2]
    for pattern, rule in _SAFETENSORS_RULES:
        if pattern.fullmatch(warning):
            return rule
    return "format:other"


class SafeTensorsDriver:
    THRESHOLD = 5

    def __init__(self, num_cores: int, size: int, layout: formats.SafeTensorsLayout, read_at: formats.ReadAt):
        self.name, self.size, self.layout, self.read_at = "safetensors", size, layout, read_at
        self.offset = layout.data_start if layout.data_start is not None else size
        self.length = size - self.offset
        self.streaming = None
        self.header_record: dict[str, Any] | None = None
        engines = []
        cls = native("SafeTensorsStreamingValidator")
        if layout.stop_warning is not None:
            self.header_record = _stopped_record(layout, layout.stop_warning)
            engines.append("vesquor.formats")
        elif cls is not None:
            self.streaming = cls(num_cores)
            self.streaming.validate_header(layout.header)
            engines.append("SafeTensorsStreamingValidator")
        else:
            # No streaming class in this build: the one-shot check over the header alone. It sees a
            # file that ends after the header, so its offset findings are its own and are dropped;
            # the offsets are checked here against the real size.
            record = result_fields(_native.validate_safetensors(layout.header))
            record["warnings"] = [w for w in record["warnings"] if safetensors_rule(w) not in _OFFSET_RULES]
            self.header_record = record
            engines.append("validate_safetensors")
        self.stream = None
        if self.length > 0:
            primary = self.streaming.process_chunk if self.streaming is not None else None
            self.stream = CatalogueStream(num_cores, primary, "SafeTensorsStreamingValidator")
            if self.stream.engine not in engines:
                engines.append(self.stream.engine)
        self.engine = "+".join(engines)
        self.occurrences = Occurrences()

    def feed(self, piece: bytes) -> None:
        assert self.stream is not None, "fed outside its data region"
        self.occurrences.add(self.stream.feed(piece))

    def finish(self) -> ValidatorResult:
        if self.streaming is not None:
            record = result_fields(self.streaming.finalize())
            # Its own data findings score only the last flush; the data is judged below instead.
            record["warnings"] = [w for w in record["warnings"] if not w.startswith(DATA_PREFIX)]
        else:
            record = dict(self.header_record or {})
        if self.stream is not None:
            self.stream.close()
        warnings = list(record["warnings"])
        layout = self.layout
        if layout.data_start is not None and layout.header_length is not None and not any(safetensors_rule(w).startswith("format:") for w in warnings):
            try:
                warnings += formats.safetensors_offset_warnings(layout.header[8:], layout.header_length, self.size)
            except (ValueError, RecursionError) as e:
                warnings.append(f"Tensor offsets could not be checked: {e}")
        score = self.occurrences.score()
        padding = padding_finding(self.read_at, self.offset, self.length) if score + 2 >= self.THRESHOLD else None
        score += 2 if padding else 0
        data = self.occurrences.listed + ([padding] if padding else [])
        counts = dict(self.occurrences.counts)
        if padding:
            counts[padding] = 1
        if score < self.THRESHOLD:
            data, counts = [], {}
        warnings += [DATA_PREFIX + d for d in data]
        record.update(
            is_valid=not warnings,
            warnings=warnings,
            suspicious_data_patterns=data,
            total_size=self.size,
            data_occurrences=dict(sorted(counts.items())),
        )
        rules = [(safetensors_rule(w), w) for w in warnings]
        counted = {DATA_PREFIX + d: n for d, n in counts.items()}
        return ValidatorResult(self.name, self.engine, self.offset, self.length, dict(sorted(record.items())), _grouped(self.name, rules, counted))


def _stopped_record(layout: formats.SafeTensorsLayout, warning: str) -> dict[str, Any]:
    return {
        "header_size": layout.header_length or 0,
        "is_valid": False,
        "metadata": None,
        "suspicious_data_patterns": [],
        "suspicious_tensor_names": [],
        "tensor_count": 0,
        "tensor_names": [],
        "total_size": 0,
        "warnings": [warning],
    }


# ------------------------------------------------------------------------------------------------
# GGUF container structure, read before streaming; nothing to feed.


class GgufDriver:
    def __init__(self, layout: formats.GgufLayout, size: int):
        self.name, self.engine, self.offset, self.length = "gguf", "vesquor.formats", 0, size
        self.layout = layout

    def feed(self, piece: bytes) -> None:  # the structure was read up front
        pass

    def finish(self) -> ValidatorResult:
        return ValidatorResult(self.name, self.engine, self.offset, self.length, self.layout.result(), _grouped(self.name, self.layout.problems))


# ------------------------------------------------------------------------------------------------


def available(name: str) -> bool:
    """Whether this build of the engine can run validator `name`."""
    if name in THREATS:
        return native(THREATS[name][0]) is not None
    if name == "model_integrity":
        return native("validate_model_integrity") is not None or native("ModelIntegrityStreamingValidator") is not None
    if name == "safetensors":
        return native("validate_safetensors") is not None or native("SafeTensorsStreamingValidator") is not None
    return name == "gguf"


def make_driver(name: str, kind: str, size: int, num_cores: int, read_at: formats.ReadAt, layouts: dict[str, Any]) -> Any:
    """The driver of validator `name` for a file of `kind` and `size` bytes. `layouts` caches the
    container layouts, which several drivers of one file share."""

    def layout(fmt: str) -> Any:
        if fmt not in layouts:
            reader = formats.read_safetensors_layout if fmt == kinds.SAFETENSORS else formats.read_gguf_layout
            layouts[fmt] = reader(read_at, size)
        return layouts[fmt]

    if name == "safetensors":
        return SafeTensorsDriver(num_cores, size, layout(kinds.SAFETENSORS), read_at)
    if name == "gguf":
        return GgufDriver(layout(kinds.GGUF), size)
    if name == "model_integrity":
        return ModelIntegrityDriver(num_cores, size, read_at)
    if name == "gguf_safety" and kind == kinds.GGUF:
        # The tensor data only: GGUF metadata holds URLs and shell-like text legitimately.
        start = layout(kinds.GGUF).data_start
        start = 0 if start is None else start
        return ThreatDriver(name, num_cores, start, size - start)
    if name == "tokenizer_hygiene":
        return ThreatDriver(name, num_cores, 0, size, policy.TOKENIZER_MODE.get(kind, policy.DEFAULT_TOKENIZER_MODE))
    return ThreatDriver(name, num_cores, 0, size)
