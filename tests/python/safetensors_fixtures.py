"""Builders and oracles for the SafeTensors tests: files made from an 8-byte length, a JSON header
and a data region, and the name screening computed the plain way, with the interpreter's own
str.lower()."""

import json
import struct

PATTERNS = ["backdoor_", "poison_", "malicious_", "trojan_", "inject_", "exploit_", "rce_", "shell_", "..", "//", "\\\\"]
UNUSUAL = '<>|*?"'

ELF32 = b"\x7fELF\x01"
ELF64 = b"\x7fELF\x02"
PE = b"\x4d\x5a\x90\x00"
SH = b"#!/bin/sh"
BASH = b"#!/bin/bash"
LABEL = {
    ELF32: "ELF executable header (Linux/Unix 32-bit)",
    ELF64: "ELF executable header (Linux/Unix 64-bit)",
    PE: "PE executable header (Windows .exe)",
    SH: "Shell script shebang",
    BASH: "Bash script shebang",
}
DATA_PREFIX = "Suspicious pattern in tensor data: "
PAD_TEXT = "Excessive null bytes ({}% of data) - possible padding attack"


def header_bytes(header):
    """A dict as compact JSON (names written as they are, not \\u-escaped), or str/bytes as given."""
    if isinstance(header, dict):
        return json.dumps(header, ensure_ascii=False, separators=(",", ":")).encode()
    if isinstance(header, str):
        return header.encode()
    return header


def st_file(header, data=b"", length=None):
    """8-byte little-endian header length (the real one unless `length` forges it), header, data."""
    text = header_bytes(header)
    return struct.pack("<Q", len(text) if length is None else length) + text + data


def tensors(names, **value):
    """A header mapping each name to the same tensor entry (an empty object by default)."""
    return {name: dict(value) for name in names}


def name_order(names):
    """Ascending byte-wise order of the UTF-8 names, duplicates dropped."""
    return sorted(set(names), key=lambda name: name.encode())


def expected_name_warnings(names):
    """The warnings of the name screening, with the interpreter's full lower-case as the oracle."""
    warnings = []
    for name in name_order(names):
        lower = name.lower()
        warnings += [f"Suspicious tensor name '{name}' contains pattern '{p}'" for p in PATTERNS if p in lower]
        if any(c in name for c in UNUSUAL):
            warnings.append(f"Tensor name '{name}' contains unusual special characters")
    return warnings


def peak_rss_growth(call):
    """Runs `call()` and returns (its result, the growth of the peak resident size in bytes), or
    (result, None) where the kernel cannot reset the peak."""
    def peak():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
        return None

    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident size
        before = peak()
    except OSError:
        return call(), None
    result = call()
    after = peak()
    return result, (None if before is None or after is None else after - before)
