"""Throughput of the supply-chain validator beside the per-group design on ahocorasick-rs.

For 256 MiB of random bytes, zeros, tokenizer-like JSON text and a tool-schema JSON text, each
with 2000 catalogue patterns planted at random offsets, prints in GB/s (best of --runs)
`vesquor.validate_supply_chain(buffer, n)` for n = 1, 2 and 4 groups beside the same search done
the plain way: the table split round-robin into n groups, one ahocorasick-rs automaton per group
(MatchKind.Standard, non-overlapping), each group a pass over the whole buffer, on n threads.

Before anything is timed, vesquor's total match count and distinct names are checked against the
per-group reference on each buffer; a wrong answer exits with status 1.

    .venv/bin/python bench/bench_supply_chain.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import argparse
import os
import sys

import vesquor
from bench_model_integrity import random_buffer, text_buffer, zeros_buffer
from bench_tool_calling import GROUPS, PLANTED, PerGroup, check, plant, report, schema_buffer

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import SUPPLY_CHAIN as TABLE  # noqa: E402

CATEGORIES = ["malicious", "exfiltration", "tampering", "typosquat", "domain"]
ATTRIBUTES = ["malicious_functions_found", "data_exfiltration_found", "tampering_indicators_found",
              "typosquatting_found", "suspicious_domains_found"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib << 20

    rows = [p for p, _ in TABLE]
    makers = (("random", random_buffer), ("zeros", zeros_buffer), ("text", text_buffer), ("schema", schema_buffer))
    buffers = {name: plant(make(size), rows, PLANTED, seed) for seed, (name, make) in enumerate(makers)}
    references = {g: PerGroup(rows, g) for g in GROUPS}
    errors = []
    for name, data in buffers.items():
        errors += check(name, data, TABLE, vesquor.validate_supply_chain, ATTRIBUTES, CATEGORIES, references)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    report("supply-chain scan", args.size_mib, args.runs, buffers, vesquor.validate_supply_chain, references)
    return 0


if __name__ == "__main__":
    sys.exit(main())
