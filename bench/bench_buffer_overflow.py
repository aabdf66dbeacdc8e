"""Throughput of the buffer-overflow validator beside the per-group design on ahocorasick-rs.

For 256 MiB of random bytes, zeros and tokenizer-like JSON text, prints in GB/s (best of --runs)
`vesquor.validate_buffer_overflow(buffer, n)` for n = 1, 2 and 4 groups, and the same search done
the plain way: the table split round-robin into n groups, one ahocorasick-rs automaton per group
(MatchKind.Standard, non-overlapping), each group a pass over the whole buffer, the groups run on
n threads. The scan in vesquor is one pass whatever n is, so its figure should not fall as n
grows; with both cores in use (the default) big chunks are cut into segments that both scan.

Before anything is timed, vesquor's total match count and distinct labels are checked against the
per-group reference on each buffer; a wrong answer exits with status 1.

    .venv/bin/python bench/bench_buffer_overflow.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import time

import ahocorasick_rs

import vesquor
from bench_model_integrity import random_buffer, text_buffer, zeros_buffer

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import BUFFER_OVERFLOW  # noqa: E402

ROWS = [pattern for pattern, _ in BUFFER_OVERFLOW]
LABELS = [label for _, label in BUFFER_OVERFLOW]
GROUPS = (1, 2, 4)


class PerGroup:
    """The table split round-robin into groups, one automaton and one pass per group."""

    def __init__(self, groups: int):
        self.automata = [
            (
                [i for i in range(len(ROWS)) if i % groups == g],
                ahocorasick_rs.BytesAhoCorasick(
                    [ROWS[i] for i in range(len(ROWS)) if i % groups == g], matchkind=ahocorasick_rs.MatchKind.Standard
                ),
            )
            for g in range(min(groups, len(ROWS)))
        ]
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=groups)

    def ids(self, data: bytes) -> list[int]:
        def one(group):
            ids, automaton = group
            return [ids[i] for i, _, _ in automaton.find_matches_as_indexes(data, overlapping=False)]

        return [i for found in self.pool.map(one, self.automata) for i in found]


def best_seconds(call, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib << 20

    buffers = {name: bytes(make(size)) for name, make in (("random", random_buffer), ("zeros", zeros_buffer),
                                                         ("text", text_buffer))}
    references = {g: PerGroup(g) for g in GROUPS}
    errors = []
    for name, data in buffers.items():
        for g in GROUPS:
            ids = references[g].ids(data)
            result = vesquor.validate_buffer_overflow(data, g)
            labels = set(result.dangerous_functions_found + result.rop_gadgets_found
                         + result.format_string_vulns_found + result.integer_overflow_patterns_found)
            if result.total_matches != len(ids) or labels != {vesquor_label(i) for i in ids}:
                errors.append(f"{name}, {g} groups: vesquor {result.total_matches} matches, reference {len(ids)}")
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1

    print(f"vesquor {vesquor.__version__} buffer-overflow scan: {args.size_mib} MiB per buffer, best of {args.runs}, "
          f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")
    header = "".join(f"{'vq ' + str(g):>9}{'ac ' + str(g):>9}{'x':>6}" for g in GROUPS)
    print(f"{'buffer':<8}{'matches':>10}{header}")
    for name, data in buffers.items():
        line = f"{name:<8}{vesquor.validate_buffer_overflow(data, 1).total_matches:>10}"
        for g in GROUPS:
            ours = size / best_seconds(lambda: vesquor.validate_buffer_overflow(data, g), args.runs) / 1e9
            theirs = size / best_seconds(lambda: references[g].ids(data), args.runs) / 1e9
            line += f"{ours:>9.2f}{theirs:>9.2f}{ours / theirs:>5.0f}x"
        print(line)
    print("\nGB/s (1e9 bytes/s); vq n = vesquor with n groups, ac n = per-group ahocorasick-rs on n threads")
    return 0


def vesquor_label(row: int) -> str:
    return LABELS[row]


if __name__ == "__main__":
    sys.exit(main())
