"""Throughput of the buffer-overflow validator beside the per-group design on ahocorasick-rs.

For 256 MiB of random bytes, zeros and tokenizer-like JSON text, prints in GB/s (best of --runs)
`vesquor.validate_buffer_overflow(buffer, n)` for n = 1, 2 and 4 groups, and the same search done
the plain way: the table split round-robin into n groups, one ahocorasick-rs automaton per group
(MatchKind.Standard, non-overlapping), each group a pass over the whole buffer, the groups run on
n threads. The scan in vesquor is one pass whatever n is, so its figure should not fall as n
grows; with both cores in use (the default) big chunks are cut into segments that both scan.

Before anything is timed, vesquor's total match count and distinct labels are checked against the
per-group reference on each buffer; a wrong answer exits with status 1.

Then buffers that are nothing but matches (by default 1 GiB each of "%n", of the gadget 58 C3,
and of the table's ten two-byte rows in random order): vesquor's speed, how many times faster it
scans random bytes, and the peak memory a scan adds, measured in a fresh process.

    .venv/bin/python bench/bench_buffer_overflow.py [--size-mib 256] [--runs 3] [--dense-mib 1024]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import subprocess
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
    parser.add_argument("--dense-mib", type=int, default=1024, help="size of each buffer dense with matches")
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
    random_speed = {g: size / best_seconds(lambda: vesquor.validate_buffer_overflow(buffers["random"], g), args.runs)
                    / 1e9 for g in GROUPS}
    del buffers
    return dense(args, references, random_speed)


# Data that is nothing but matches, one every two bytes: one row over and over, and the ten
# two-byte rows in random order (the same bytes never come back in step, so the automata cannot
# read blocks from their memo). No row is made across two of them.
DENSE_UNITS = [b"%n", b"\x58\xc3", b"\x5d\xc3", b"\xff\xe4", b"\xff\x25", b"\x81\xc4", b"\x81\xec", b"\xf3\xa4", b"\xf3\xa5", b"\xf3\xaa"]
REFERENCE_SLICE = 16 << 20  # the per-group design lists every match: timed on a slice only


DENSE = ("%n", "58 c3", "mixed")


def dense_buffer(name: str, size: int) -> bytes:
    if name != "mixed":
        return DENSE_UNITS[DENSE.index(name)] * (size // 2)
    # Each random byte picks a row; its two bytes are laid down side by side.
    picks = bytes(random_buffer(size // 2))
    firsts = bytes(DENSE_UNITS[i % len(DENSE_UNITS)][0] for i in range(256))
    seconds = bytes(DENSE_UNITS[i % len(DENSE_UNITS)][1] for i in range(256))
    mixed = bytearray(size // 2 * 2)
    mixed[0::2] = picks.translate(firsts)
    mixed[1::2] = picks.translate(seconds)
    return bytes(mixed)


def dense(args, references, random_speed) -> int:
    """Buffers dense with matches: speed beside random bytes, and the memory a scan adds."""
    size = args.dense_mib << 20
    print(f"\ndense buffers: {args.dense_mib} MiB each (the per-group design timed on {REFERENCE_SLICE >> 20} MiB)")
    header = "".join(f"{'vq ' + str(g):>9}{'ac ' + str(g):>9}{'rnd/vq':>8}{'+MiB':>7}" for g in GROUPS)
    print(f"{'buffer':<8}{'matches':>11}{header}")
    for name in DENSE:
        data = dense_buffer(name, size)
        piece = data[:REFERENCE_SLICE]
        columns = ""
        for g in GROUPS:
            # One match per two bytes; the reference confirms it on the slice.
            found = len(references[g].ids(piece))
            matches = vesquor.validate_buffer_overflow(data, g).total_matches
            if found != len(piece) // 2 or matches != len(data) // 2:
                print(f"wrong answer on {name}, {g} groups: {matches} != {len(data) // 2} ({found})", file=sys.stderr)
                return 1
            ours = size / best_seconds(lambda: vesquor.validate_buffer_overflow(data, g), args.runs) / 1e9
            theirs = len(piece) / best_seconds(lambda: references[g].ids(piece), 1) / 1e9
            columns += f"{ours:>9.2f}{theirs:>9.2f}{random_speed[g] / ours:>7.1f}x{extra_mib(name, size, g):>7.1f}"
        print(f"{name:<8}{matches:>11}{columns}")
    print("rnd/vq = how many times faster vesquor scans random bytes; +MiB = peak memory a scan adds, in a fresh process")
    return 0


def extra_mib(name: str, size: int, groups: int) -> float:
    """Peak resident memory that one scan adds beyond its buffer, measured in a fresh process."""
    # The process's own high-water mark (VmHWM, in KiB), reset once the buffer is built (writing
    # 5 to clear_refs) so that building it does not hide the scan's peak; getrusage would report
    # the parent's peak, which a child inherits.
    code = (
        "import sys, vesquor\n"
        f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
        "from bench_buffer_overflow import dense_buffer\n"
        "def peak():\n"
        "    with open('/proc/self/status') as status:\n"
        "        return next(int(line.split()[1]) for line in status if line.startswith('VmHWM:'))\n"
        f"data = dense_buffer({name!r}, {size})\n"
        "with open('/proc/self/clear_refs', 'w') as refs:\n"
        "    refs.write('5')\n"
        "before = peak()\n"
        f"vesquor.validate_buffer_overflow(data, {groups})\n"
        "print(peak() - before)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return int(out) / 1024


def vesquor_label(row: int) -> str:
    return LABELS[row]


if __name__ == "__main__":
    sys.exit(main())
