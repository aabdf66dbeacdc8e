"""Throughput of the model-integrity check beside a plain Aho-Corasick search for the same signatures.

For three buffers of 256 MiB, random bytes, zeros and tokenizer-like JSON text, each with 100
64-bit ELF headers planted at fixed offsets, prints in GB/s (1e9 bytes per second, best of
--runs):

- vesquor.validate_model_integrity(buffer);
- ahocorasick_rs.BytesAhoCorasick over the ten catalogue signatures (MatchKind.Standard,
  find_matches_as_indexes, non-overlapping): the same search, minus the zero-byte count;
- their ratio, and the share of the machine's single-thread memory read rate, measured as
  bytes.find of an absent byte over the zeros (memchr).

Before anything is timed, both engines' answers are checked against the planted headers: exactly
100 findings from vesquor (plus the padding finding on the zeros) and exactly the 100 planted
spans from Aho-Corasick. A wrong count exits with status 1, so a fast wrong engine fails; the
throughput targets are printed beside the figures, not enforced.

The process is pinned to one CPU, so every figure is for one core.

    .venv/bin/python bench/bench_model_integrity.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time

import ahocorasick_rs

import vesquor

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import MALWARE  # noqa: E402

# The ten signatures of the malware catalogue, in catalogue order.
SIGNATURES = [pattern for pattern, _, _ in MALWARE]
PLANTED = SIGNATURES[2]
PLANTED_INDEX = 2
PLANTED_LABEL = "ELF executable header (Linux/Unix 64-bit)"
PLANTED_COUNT = 100
PADDING_PREFIX = "Excessive null bytes ("

# The scan works in blocks of 256 KiB; every planted header straddles a block boundary, so an
# engine that loses matches cut by its own blocks gets the count wrong.
BLOCK = 256 * 1024

# GB/s on one core that the check is expected to reach.
TARGETS = {"random": 8.0, "zeros": 20.0, "text": 20.0}


def random_buffer(size: int) -> bytearray:
    rng = random.Random(20240601)
    step = 1 << 20  # randbytes takes at most 2**31 bits at once
    return bytearray(b"".join(rng.randbytes(min(step, size - at)) for at in range(0, size, step)))


def zeros_buffer(size: int) -> bytearray:
    return bytearray(size)


def text_buffer(size: int) -> bytearray:
    """A tokenizer.json-like vocabulary, repeated: quotes, colons, ids, "Ġ" word starts."""
    rng = random.Random(7)
    syllables = ["an", "er", "in", "on", "re", "th", "st", "ing", "ed", "al", "ou", "ch", "ment", "tion"]
    vocab = {"<unk>": 0, "<s>": 1, "</s>": 2}
    while len(vocab) < 6000:
        piece = "".join(rng.choice(syllables) for _ in range(rng.randint(1, 4)))
        if rng.random() < 0.5:
            piece = "\u0120" + piece
        elif rng.random() < 0.1:
            piece = piece.capitalize()
        vocab.setdefault(piece, len(vocab))
    merges = [f"{a} {b}" for a, b in zip(list(vocab)[3:2003], list(vocab)[4:2004])]
    snippet = json.dumps(
        {"version": "1.0", "model": {"type": "BPE", "unk_token": "<unk>", "vocab": vocab, "merges": merges}},
        ensure_ascii=False,
    ).encode("utf-8")
    repeats = size // len(snippet) + 1
    return bytearray((snippet * repeats)[:size])


def scrub(buffer: bytearray) -> None:
    """Breaks every signature that occurs by chance (bytes.find, independent of both engines)."""
    changed = True
    while changed:
        changed = False
        for signature in SIGNATURES:
            at = buffer.find(signature)
            while at >= 0:
                buffer[at] ^= 0x01  # no signature starts with the resulting byte
                changed = True
                at = buffer.find(signature, at + 1)


def plant(buffer: bytearray) -> list[int]:
    """Writes PLANTED_COUNT headers, evenly spaced, each across a block boundary; returns starts."""
    stride = len(buffer) // PLANTED_COUNT
    starts = []
    for k in range(PLANTED_COUNT):
        boundary = (k * stride + stride // 2) // BLOCK * BLOCK
        start = max(boundary - 2, 0)
        buffer[start : start + len(PLANTED)] = PLANTED
        starts.append(start)
    return starts


def best_seconds(call, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


def check_counts(name: str, data: bytes, starts: list[int], automaton) -> list[str]:
    """Returns what is wrong with either engine's answer on `data`; empty when both are right."""
    errors = []
    found = vesquor.validate_model_integrity(data).suspicious_patterns
    expected = [PLANTED_LABEL] * PLANTED_COUNT
    padded = name == "zeros"
    headers = found[:-1] if padded and found else found
    if headers != expected:
        errors.append(f"{name}: vesquor reported {len(headers)} header findings, expected {PLANTED_COUNT}")
    if padded and not (found and found[-1].startswith(PADDING_PREFIX)):
        errors.append(f"{name}: vesquor did not report the zero-byte padding")
    matches = automaton.find_matches_as_indexes(data, overlapping=False)
    if matches != [(PLANTED_INDEX, s, s + len(PLANTED)) for s in starts]:
        errors.append(f"{name}: ahocorasick reported {len(matches)} matches, expected {PLANTED_COUNT}")
    return errors


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256, help="size of each buffer (default 256)")
    parser.add_argument("--runs", type=int, default=3, help="timed runs per figure; the best counts (default 3)")
    args = parser.parse_args()
    size = args.size_mib << 20
    if size < PLANTED_COUNT * BLOCK * 2:
        parser.error(f"--size-mib must be at least {PLANTED_COUNT * BLOCK * 2 >> 20}")

    cpu = min(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})

    automaton = ahocorasick_rs.BytesAhoCorasick(SIGNATURES, matchkind=ahocorasick_rs.MatchKind.Standard)
    buffers = {}
    errors = []
    for name, make in (("random", random_buffer), ("zeros", zeros_buffer), ("text", text_buffer)):
        buffer = make(size)
        scrub(buffer)
        starts = plant(buffer)
        buffers[name] = data = bytes(buffer)
        del buffer
        errors += check_counts(name, data, starts, automaton)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1

    zeros = buffers["zeros"]
    assert zeros.find(b"\x01") == -1
    memchr_rate = size / best_seconds(lambda: zeros.find(b"\x01"), args.runs) / 1e9

    print(
        f"vesquor {vesquor.__version__} model-integrity scan: {args.size_mib} MiB per buffer, "
        f"{PLANTED_COUNT} ELF headers planted, best of {args.runs}, on CPU {cpu}"
    )
    print(f"single-thread memory read (memchr over zeros): {memchr_rate:.1f} GB/s\n")
    print(f"{'buffer':<8}{'findings':>10}{'vesquor':>10}{'ahocor.':>10}{'ratio':>8}{'of mem':>8}{'target':>8}  ok")
    for name, data in buffers.items():
        findings = len(vesquor.validate_model_integrity(data).suspicious_patterns)
        ours = size / best_seconds(lambda: vesquor.validate_model_integrity(data), args.runs) / 1e9
        theirs = size / best_seconds(lambda: automaton.find_matches_as_indexes(data, overlapping=False), args.runs) / 1e9
        target = TARGETS[name]
        print(
            f"{name:<8}{findings:>10}{ours:>10.2f}{theirs:>10.2f}{ours / theirs:>7.1f}x"
            f"{ours / memchr_rate:>7.0%}{target:>8.0f}  {'yes' if ours >= target else 'NO'}"
        )
    print("\nfigures in GB/s (1e9 bytes/s); ratio = vesquor / ahocorasick; of mem = vesquor / memchr")
    return 0


if __name__ == "__main__":
    sys.exit(main())
