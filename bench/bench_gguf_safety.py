"""Throughput of the GGUF safety validator beside a plain per-group search on ahocorasick-rs.

For 256 MiB of random bytes, zeros and tokenizer-like JSON text, each with the catalogue's rows
planted 2000 times, prints in GB/s (best of --runs) `vesquor.validate_gguf_safety(buffer, n)` for
n = 1 and 2 groups, beside the table split round-robin into n groups with one ahocorasick-rs
automaton and one pass per group, on n threads (the harness of bench_behavior_analysis.py).

Before anything is timed, vesquor's total match count and distinct labels are checked against the
per-group reference on each buffer; a wrong answer exits with status 1.

    .venv/bin/python bench/bench_gguf_safety.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import sys

import vesquor
from bench_behavior_analysis import Variant, arguments, make_buffers, run, wrong_answers

# The catalogue in table order: pattern bytes and label (the package does not export its table).
ROWS = [
    (b"MZ\x90\x00", "executable:pe_header"), (b"\x7fELF\x01\x01\x01", "executable:elf_header"),
    (b"\xfe\xed\xfa\xce\x00\x00\x00", "executable:macho_32bit"), (b"\xfe\xed\xfa\xcf\x00\x00\x00", "executable:macho_64bit"),
    (b"#!/bin/", "executable:shell_script"), (b"#!/usr/", "executable:usr_script"),
    (b"backdoor", "malicious:backdoor_keyword"), (b"malware", "malicious:malware_keyword"),
    (b"exploit", "malicious:exploit_keyword"), (b"shellcode", "malicious:shellcode_keyword"),
    (b"payload", "malicious:payload_keyword"), (b"rootkit", "malicious:rootkit_keyword"),
    (b"eval(", "suspicious:eval_function"), (b"exec(", "suspicious:exec_function"),
    (b"system(", "suspicious:system_function"), (b"__import__", "suspicious:python_import"),
    (b"subprocess", "suspicious:subprocess"), (b"http://", "suspicious:http_scheme"),
    (b"https://", "suspicious:https_scheme"), (b"curl ", "suspicious:curl_command"), (b"wget ", "suspicious:wget_command"),
    (b"powershell", "suspicious:powershell"), (b"/etc/passwd", "suspicious:passwd_file"),
    (b"/etc/shadow", "suspicious:shadow_file"), (b".ssh/id_rsa", "suspicious:ssh_key"),
    (b".aws/credentials", "suspicious:aws_creds"),
]
LISTS = ["suspicious_patterns_found", "executable_patterns_found", "malicious_patterns_found"]


def main() -> int:
    args = arguments(__doc__)
    buffers = make_buffers(args.size_mib << 20, [p for p, _ in ROWS])
    variants = [Variant("gguf", ROWS, vesquor.validate_gguf_safety, LISTS)]
    errors = wrong_answers(variants, buffers)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    run("GGUF-safety scan", variants, buffers, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
