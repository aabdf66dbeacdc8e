"""Throughput of the tool-calling validator beside the per-group design on ahocorasick-rs.

For 256 MiB of random bytes, zeros, tokenizer-like JSON text and a tool-schema JSON text, each
with 2000 catalogue patterns planted at random offsets, prints in GB/s (best of --runs):

- `vesquor.validate_tool_calling(buffer, n)` for n = 1, 2 and 4 groups;
- the same search done the plain way: the table split round-robin into n groups, one
  ahocorasick-rs automaton per group (MatchKind.Standard, non-overlapping), each group a pass over
  the whole buffer, the groups run on n threads;
- `ToolCallingStreamingValidator(1).process_chunk` over 16 MiB chunks, which also builds the
  per-chunk dict of names ("stream 1").

Before anything is timed, vesquor's total match count and distinct names are checked against the
per-group reference on each buffer, and the streamed per-chunk lists against the streamed total; a
wrong answer exits with status 1.

    .venv/bin/python bench/bench_tool_calling.py [--size-mib 256] [--runs 3]

The helpers here (PerGroup, plant, check, report) serve bench_supply_chain.py too.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import random
import sys
import time

import ahocorasick_rs

import vesquor
from bench_model_integrity import random_buffer, text_buffer, zeros_buffer

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import TOOL_CALLING as TABLE  # noqa: E402

GROUPS = (1, 2, 4)
PLANTED = 2000
STREAM_CHUNK = 16 << 20


class PerGroup:
    """The table split round-robin into groups, one automaton and one pass per group."""

    def __init__(self, rows: list[bytes], groups: int):
        self.automata = [
            (
                [i for i in range(len(rows)) if i % groups == g],
                ahocorasick_rs.BytesAhoCorasick(
                    [rows[i] for i in range(len(rows)) if i % groups == g], matchkind=ahocorasick_rs.MatchKind.Standard
                ),
            )
            for g in range(min(groups, len(rows)))
        ]
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=groups)

    def ids(self, data: bytes) -> list[int]:
        def one(group):
            ids, automaton = group
            return [ids[i] for i, _, _ in automaton.find_matches_as_indexes(data, overlapping=False)]

        return [i for found in self.pool.map(one, self.automata) for i in found]


def schema_buffer(size: int) -> bytearray:
    """Tool definitions as a function-calling model file carries them: JSON, many underscores."""
    rng = random.Random(11)
    verbs = ["get", "list", "find", "lookup", "create", "update", "search", "summarize", "translate", "schedule"]
    nouns = ["weather", "order", "invoice", "calendar_event", "user_profile", "document", "ticket", "flight", "stock"]
    tools = []
    for _ in range(400):
        name = f"{rng.choice(verbs)}_{rng.choice(nouns)}"
        tools.append({
            "type": "function",
            "function": {
                "name": name,
                "description": f"Returns the {name.split('_', 1)[1].replace('_', ' ')} the user asks about.",
                "parameters": {"type": "object", "properties": {
                    "query_text": {"type": "string", "description": "What to look for, in plain words"},
                    "max_results": {"type": "integer", "minimum": 1, "maximum": 50},
                }, "required": ["query_text"]},
            },
        })
    snippet = json.dumps({"tools": tools}, indent=1).encode("ascii")
    return bytearray((snippet * (size // len(snippet) + 1))[:size])


def plant(buffer: bytearray, rows: list[bytes], count: int, seed: int) -> bytes:
    rng = random.Random(seed)
    for _ in range(count):
        row = rng.choice(rows)
        at = rng.randrange(len(buffer) - len(row))
        buffer[at : at + len(row)] = row
    return bytes(buffer)


def best_seconds(call, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


def names(result, attributes: list[str], categories: list[str]) -> set[tuple[str, str]]:
    return {(c, n) for c, a in zip(categories, attributes) for n in getattr(result, a)}


def check(name, data, table, validate, attributes, categories, references) -> list[str]:
    """What is wrong with vesquor's answer on `data` for each group count; empty when all agree."""
    errors = []
    for g, reference in references.items():
        ids = reference.ids(data)
        result = validate(data, g)
        expected = {tuple(table[i][1].split(":", 1)) for i in ids}
        if result.total_matches != len(ids) or names(result, attributes, categories) != expected:
            errors.append(f"{name}, {g} groups: vesquor {result.total_matches} matches, reference {len(ids)}")
    return errors


def report(title, size_mib, runs, buffers, validate, references, extra=None) -> None:
    """Prints the table; `extra`, if given, is a column title and a call timed per buffer name."""
    size = size_mib << 20
    print(f"vesquor {vesquor.__version__} {title}: {size_mib} MiB per buffer, {PLANTED} patterns planted, "
          f"best of {runs}, {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")
    header = "".join(f"{'vq ' + str(g):>9}{'ac ' + str(g):>9}{'x':>6}" for g in references)
    print(f"{'buffer':<8}{'matches':>10}{header}" + (f"{extra[0]:>10}" if extra else ""))
    for name, data in buffers.items():
        line = f"{name:<8}{validate(data, 1).total_matches:>10}"
        for g, reference in references.items():
            ours = size / best_seconds(lambda: validate(data, g), runs) / 1e9
            theirs = size / best_seconds(lambda: reference.ids(data), runs) / 1e9
            line += f"{ours:>9.2f}{theirs:>9.2f}{ours / theirs:>5.0f}x"
        if extra:
            line += f"{size / best_seconds(lambda: extra[1](name), runs) / 1e9:>10.2f}"
        print(line)
    print("\nGB/s (1e9 bytes/s); vq n = vesquor with n groups, ac n = per-group ahocorasick-rs on n threads")


def streamed(chunks: list[bytes]) -> tuple[int, int]:
    """Per-chunk names listed and total counted by a streaming validator fed `chunks`."""
    validator = vesquor.ToolCallingStreamingValidator(1)
    listed = 0
    for chunk in chunks:
        found = validator.process_chunk(chunk)
        listed += len(found["dangerous_tools"]) + len(found["suspicious_parameters"])
    return listed, validator.finalize().total_matches


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
    # The chunks are cut before timing: slicing bytes copies them, which a file reader does anyway.
    chunks = {name: [data[at : at + STREAM_CHUNK] for at in range(0, size, STREAM_CHUNK)]
              for name, data in buffers.items()}
    attributes = ["dangerous_tools_found", "suspicious_parameters_found"]
    errors = []
    for name, data in buffers.items():
        errors += check(name, data, TABLE, vesquor.validate_tool_calling, attributes, ["dangerous", "suspicious"],
                        references)
        listed, total = streamed(chunks[name])
        if listed != total:
            errors.append(f"{name}, streamed: {listed} names listed per chunk, {total} matches counted")
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    report("tool-calling scan", args.size_mib, args.runs, buffers, vesquor.validate_tool_calling, references,
           extra=("stream 1", lambda name: streamed(chunks[name])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
