"""Throughput of the behaviour-analysis validator beside a plain per-group search on ahocorasick-rs.

For 256 MiB of random bytes, zeros and tokenizer-like JSON text, each with the catalogue's rows
planted 2000 times, prints in GB/s (best of --runs)
`vesquor.validate_behavior_analysis(buffer, n)` for n = 1 and 2 groups, and the same search done
the plain way: the table split round-robin into n groups, one ahocorasick-rs automaton per group
(MatchKind.Standard, non-overlapping), each group a pass over the whole buffer, the groups run on
n threads.

Before anything is timed, vesquor's total match count and distinct labels are checked against the
per-group reference on each buffer; a wrong answer exits with status 1.

The harness here (`PerGroup`, `Variant`, `run`) also serves bench_gguf_safety.py and
bench_tokenizer_hygiene.py.

    .venv/bin/python bench/bench_behavior_analysis.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import os
import sys
import time
from typing import Any, Callable

import ahocorasick_rs

import vesquor
from bench_model_integrity import random_buffer, text_buffer, zeros_buffer

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import BEHAVIOR_ANALYSIS as ROWS  # noqa: E402

LISTS = ["backdoor_triggers_found", "tool_hijacking_found", "data_exfiltration_found", "system_override_found",
         "privilege_escalation_found"]
GROUPS = (1, 2)


class PerGroup:
    """The table split round-robin into groups, one automaton and one pass per group."""

    def __init__(self, patterns: list[bytes], groups: int):
        self.automata = []
        for g in range(min(groups, len(patterns))):
            ids = [i for i in range(len(patterns)) if i % groups == g]
            automaton = ahocorasick_rs.BytesAhoCorasick([patterns[i] for i in ids],
                                                        matchkind=ahocorasick_rs.MatchKind.Standard)
            self.automata.append((ids, automaton))
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=groups)

    def ids(self, data: bytes) -> list[int]:
        def one(group):
            ids, automaton = group
            return [ids[i] for i, _, _ in automaton.find_matches_as_indexes(data, overlapping=False)]

        return [i for found in self.pool.map(one, self.automata) for i in found]


@dataclasses.dataclass
class Variant:
    """One validator configuration: its rows, how to call it, and its result's list attributes."""

    name: str
    rows: list[tuple[bytes, str]]
    validate: Callable[[bytes, int], Any]
    lists: list[str]


def best_seconds(call, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


# Rows planted into each buffer, evenly spaced, so that a wrong engine cannot pass the check by
# finding nothing; one straddles each MiB boundary, where the scan cuts large buffers.
PLANTED = 2000


def make_buffers(size: int, patterns: list[bytes]) -> dict[str, bytes]:
    buffers = {}
    for name, make in (("random", random_buffer), ("zeros", zeros_buffer), ("text", text_buffer)):
        buffer = make(size)
        stride = size // PLANTED
        straddled = set()
        for k in range(PLANTED):
            pattern = patterns[k % len(patterns)]
            at = k * stride + stride // 2
            boundary = at >> 20 << 20
            if boundary and boundary not in straddled:  # the first row planted past each boundary straddles it
                straddled.add(boundary)
                at = boundary - len(pattern) // 2
            buffer[at:at + len(pattern)] = pattern
        buffers[name] = bytes(buffer)
    return buffers


def wrong_answers(variants: list[Variant], buffers: dict[str, bytes]) -> list[str]:
    """What differs between vesquor and the per-group reference: match counts or distinct labels."""
    errors = []
    for variant in variants:
        for g in GROUPS:
            reference = PerGroup([p for p, _ in variant.rows], g)
            for name, data in buffers.items():
                ids = reference.ids(data)
                result = variant.validate(data, g)
                labels = {label for attribute in variant.lists for label in getattr(result, attribute)}
                if result.total_matches != len(ids) or labels != {variant.rows[i][1] for i in ids}:
                    errors.append(f"{variant.name}, {name}, {g} groups: vesquor {result.total_matches} matches, "
                                  f"reference {len(ids)}")
    return errors


def run(title: str, variants: list[Variant], buffers: dict[str, bytes], runs: int) -> dict[tuple[str, str, int], float]:
    """Prints the table and returns vesquor's GB/s by (variant, buffer, groups)."""
    size = len(next(iter(buffers.values())))
    print(f"vesquor {vesquor.__version__} {title}: {size >> 20} MiB per buffer, best of {runs}, "
          f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")
    header = "".join(f"{'vq ' + str(g):>9}{'ac ' + str(g):>9}{'x':>6}" for g in GROUPS)
    print(f"{'buffer':<8}{'variant':<13}{'matches':>9}{header}")
    rates = {}
    for variant in variants:
        references = {g: PerGroup([p for p, _ in variant.rows], g) for g in GROUPS}
        for name, data in buffers.items():
            line = f"{name:<8}{variant.name:<13}{variant.validate(data, 1).total_matches:>9}"
            for g in GROUPS:
                ours = size / best_seconds(lambda: variant.validate(data, g), runs) / 1e9
                theirs = size / best_seconds(lambda: references[g].ids(data), runs) / 1e9
                rates[(variant.name, name, g)] = ours
                line += f"{ours:>9.2f}{theirs:>9.2f}{ours / theirs:>5.0f}x"
            print(line)
    print("\nGB/s (1e9 bytes/s); vq n = vesquor with n groups, ac n = per-group ahocorasick-rs on n threads")
    return rates


def arguments(doc: str) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    return parser.parse_args()


def main() -> int:
    args = arguments(__doc__)
    buffers = make_buffers(args.size_mib << 20, [p for p, _ in ROWS])
    variants = [Variant("behaviour", ROWS, vesquor.validate_behavior_analysis, LISTS)]
    errors = wrong_answers(variants, buffers)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    run("behaviour-analysis scan", variants, buffers, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
