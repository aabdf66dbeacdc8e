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

import os
import sys

import vesquor
from bench_behavior_analysis import Variant, arguments, make_buffers, run, wrong_answers

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import GGUF_SAFETY as ROWS  # noqa: E402

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
