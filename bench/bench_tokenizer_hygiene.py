"""Throughput of the tokenizer-hygiene validator beside a plain per-group search on ahocorasick-rs,
and strict mode beside the malware-catalogue check on JSON-like text.

For 256 MiB of random bytes, zeros and tokenizer-like JSON text, each with the catalogue's rows
planted 2000 times, prints in GB/s (best of --runs) `vesquor.validate_tokenizer_hygiene(buffer, n,
mode)` for both modes (vocab_heavy: 90 rows, strict: 112 rows) and n = 1 and 2 groups, beside the
table split round-robin into n groups with one ahocorasick-rs automaton and one pass per group, on
n threads (the harness of bench_behavior_analysis.py).

Then, on the JSON-like text, strict mode with 1 and 2 groups beside
`vesquor.validate_model_integrity` over the same buffer: strict mode is expected to stay within 2x
of that figure (printed as "ok" or "SLOW", not enforced).

Before anything is timed, vesquor's total match count and distinct labels are checked against the
per-group reference on each buffer, in both modes; a wrong answer exits with status 1.

    .venv/bin/python bench/bench_tokenizer_hygiene.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import os
import sys

import vesquor
from bench_behavior_analysis import GROUPS, Variant, arguments, best_seconds, make_buffers, run, wrong_answers

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import TOKENIZER_HYGIENE as ROWS  # noqa: E402

LISTS = ["code_injection_found", "prompt_injection_found", "network_file_found", "shell_command_found",
         "shell_command_single_word_found", "hidden_tokens_found"]
# Strict mode on JSON-like text may be at most this many times slower than the malware check.
LIMIT = 2.0


def main() -> int:
    args = arguments(__doc__)
    size = args.size_mib << 20
    buffers = make_buffers(size, [p for p, _ in ROWS])
    variants = [
        Variant("vocab_heavy", ROWS[:90], lambda data, n: vesquor.validate_tokenizer_hygiene(data, n), LISTS),
        Variant("strict", ROWS, lambda data, n: vesquor.validate_tokenizer_hygiene(data, n, "strict"), LISTS),
    ]
    errors = wrong_answers(variants, buffers)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    rates = run("tokenizer-hygiene scan", variants, buffers, args.runs)

    text = buffers["text"]
    malware = size / best_seconds(lambda: vesquor.validate_model_integrity(text), args.runs) / 1e9
    print(f"\nJSON-like text: validate_model_integrity {malware:.2f} GB/s")
    for g in GROUPS:
        strict = rates[("strict", "text", g)]
        verdict = "ok" if malware / strict <= LIMIT else "SLOW"
        print(f"  strict, {g} group{'s' if g > 1 else ''}: {strict:.2f} GB/s, "
              f"{malware / strict:.1f}x slower than the malware check (limit {LIMIT:.0f}x): {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
