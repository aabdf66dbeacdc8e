"""Time and peak memory of vesquor.validate_safetensors beside safetensors.safe_open(...).keys().

Header cases: files whose headers are about 1 KB, 1 MB and 100 MB (the largest header accepted),
made of many small U8 tensors of 2 bytes each, one after another, so the files are valid for both
readers. For each, prints the best of --runs:

- validate_safetensors(data) on the bytes in memory: seconds, header MB/s, and the growth of the
  process's peak resident size during one call (the kernel's high-water mark, reset before it);
- safetensors.safe_open(path, "numpy").keys() on the same file, written to a temporary folder
  (page cache warm): seconds and peak growth the same way.

Data case: one U8 tensor of --data-mib MiB, random bytes with PLANTED pairs of a 64-bit ELF
header and a shell shebang, and the same size of zeros with the pairs; prints the data region's
throughput in GB/s beside the single-thread memory read rate (memchr over a buffer of one byte value).

Before anything is timed, the answers are checked: every header case must validate with its tensor
count and no warning, and safe_open must list the same names; the data cases must report exactly
the planted pairs (plus the padding finding for the zeros). A wrong answer exits with status 1.

The process is pinned to one CPU.

    .venv/bin/python bench/bench_safetensors.py [--runs 3] [--data-mib 512]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import struct
import sys
import tempfile
import time

import safetensors

import vesquor

# The catalogue tables live beside the tests, which check them against the package.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from catalogue_tables import MALWARE  # noqa: E402

HEADER_SIZES = {"1 KB": 1_000, "1 MB": 1_000_000, "100 MB": 100_000_000}
ENTRY = '"model.layers.{:08d}.mlp.weight":{{"dtype":"U8","shape":[2],"data_offsets":[{},{}]}}'

ELF64 = b"\x7fELF\x02"
SHEBANG = b"#!/bin/sh"
ELF_LABEL = "ELF executable header (Linux/Unix 64-bit)"
SHEBANG_LABEL = "Shell script shebang"
PLANTED = 50
SIGNATURES = [pattern for pattern, _, _ in MALWARE]


def header_file(size: int) -> tuple[bytes, int]:
    """A file whose header is exactly `size` bytes of tensor entries (then spaces); its count."""
    entries, used, count = [], 2, 0
    while True:
        entry = ENTRY.format(count, 2 * count, 2 * count + 2)
        if used + len(entry) + 1 > size:
            break
        entries.append(entry)
        used += len(entry) + 1
        count += 1
    header = ("{" + ",".join(entries) + "}").encode().ljust(size)
    return struct.pack("<Q", len(header)) + header + b"\x01\x02" * count, count


def data_file(size: int, zeros: bool) -> bytes:
    if zeros:
        region = bytearray(size)
    else:
        rng = random.Random(11)
        step = 1 << 20
        region = bytearray(b"".join(rng.randbytes(min(step, size - at)) for at in range(0, size, step)))
        for signature in SIGNATURES:  # break the ones that occur by chance
            at = region.find(signature)
            while at >= 0:
                region[at] ^= 0x01
                at = region.find(signature, at + 1)
    stride = size // PLANTED
    for k in range(PLANTED):
        at = k * stride + stride // 2
        region[at : at + len(ELF64) + 1 + len(SHEBANG)] = ELF64 + b"-" + SHEBANG
    header = json.dumps({"w": {"dtype": "U8", "shape": [size], "data_offsets": [0, size]}}).encode()
    return struct.pack("<Q", len(header)) + header + bytes(region)


def peak_growth(call) -> int:
    """Bytes the peak resident size grew by during call(); -1 where the peak cannot be reset."""
    def peak() -> int:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))

    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        return -1
    before = peak()
    call()
    return peak() - before


def best_seconds(call, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


def safe_open_keys(path: str) -> list[str]:
    with safetensors.safe_open(path, framework="numpy") as opened:
        return list(opened.keys())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="timed runs per figure; the best counts (default 3)")
    parser.add_argument("--data-mib", type=int, default=512, help="size of the data-region cases (default 512)")
    args = parser.parse_args()

    cpu = min(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    errors = []
    print(f"vesquor {vesquor.__version__}, safetensors {safetensors.__version__}: best of {args.runs}, on CPU {cpu}\n")
    print(f"{'header':<8}{'tensors':>10}{'vesquor ms':>12}{'MB/s':>8}{'peak MB':>9}{'keys() ms':>11}{'peak MB':>9}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as folder:
        for label, size in HEADER_SIZES.items():
            data, count = header_file(size)
            path = os.path.join(folder, "model.safetensors")
            with open(path, "wb") as out:
                out.write(data)
            result = vesquor.validate_safetensors(data)
            if not result.is_valid or result.tensor_count != count:
                errors.append(f"{label}: vesquor gave {result.tensor_count} tensors, {result.warnings[:2]}")
            if sorted(safe_open_keys(path)) != result.tensor_names:
                errors.append(f"{label}: safe_open lists other names")
            del result
            if errors:
                break
            ours = best_seconds(lambda: vesquor.validate_safetensors(data), args.runs)
            our_peak = peak_growth(lambda: vesquor.validate_safetensors(data))
            theirs = best_seconds(lambda: safe_open_keys(path), args.runs)
            their_peak = peak_growth(lambda: safe_open_keys(path))
            print(f"{label:<8}{count:>10}{ours * 1e3:>12.3f}{size / ours / 1e6:>8.0f}{our_peak / 1e6:>9.1f}"
                  f"{theirs * 1e3:>11.3f}{their_peak / 1e6:>9.1f}{ours / theirs:>7.2f}x")
            del data
    if errors:
        print("wrong answers:", *errors, sep="\n  ", file=sys.stderr)
        return 1

    size = args.data_mib << 20
    filler = b"\x02" * size  # written pages: bytes(size) would read the kernel's one zero page
    memchr_rate = size / best_seconds(lambda: filler.find(b"\x01"), args.runs) / 1e9
    del filler
    print(f"\ndata region of {args.data_mib} MiB, {PLANTED} ELF header + shebang pairs planted; "
          f"memchr reads {memchr_rate:.1f} GB/s")
    print(f"{'data':<8}{'findings':>10}{'GB/s':>8}{'of mem':>8}")
    for name, zeroed in (("random", False), ("zeros", True)):
        data = data_file(size, zeroed)
        found = vesquor.validate_safetensors(data).suspicious_data_patterns
        expected = [ELF_LABEL, SHEBANG_LABEL] * PLANTED
        if (found[:-1] if zeroed else found) != expected or (zeroed and not found[-1].startswith("Excessive null bytes")):
            print(f"wrong answer on {name}: {len(found)} findings", file=sys.stderr)
            return 1
        rate = size / best_seconds(lambda: vesquor.validate_safetensors(data), args.runs) / 1e9
        print(f"{name:<8}{len(found):>10}{rate:>8.2f}{rate / memchr_rate:>7.0%}")
        del data
    print("\nratio = vesquor / safe_open; peak MB = growth of the peak resident size during one call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
