"""Throughput and peak memory of the whole `vesquor scan` command on one large file.

Writes a sparse SafeTensors file of --size-gib GiB (a real header, then zeros that take no disk)
to a temporary folder, runs the installed `vesquor scan --format json` on it --runs times, with
and without the SHA-256 (`--no-hash`), and prints for each the best wall time, the throughput in
GB/s (1e9 bytes per second, file size over wall time of the whole process: start-up, reads,
hashing, every validator of the policy, the report) and the peak resident size of the process.

The report must say exactly one scanned file, clean, of the right size, else the script exits
with status 1, so a command that skips the data fails. Compare with the engine's own figures from
bench_model_integrity.py, run on the same machine.

    .venv/bin/python bench/bench_cli.py [--size-gib 6] [--runs 3] [--chunk-size 4M]
"""

from __future__ import annotations

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def write_sparse_safetensors(path: Path, size: int) -> None:
    data = size - 1024
    header = json.dumps({"weights": {"dtype": "U8", "shape": [data], "data_offsets": [0, data]}}).encode()
    header += b" " * (1024 - 8 - len(header))
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(header)) + header)
        f.truncate(size)


def run_once(command: list[str], out: Path) -> tuple[float, int, dict]:
    with open(out, "wb") as stdout:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss * 1024, {"exit": process.returncode, **json.loads(out.read_text())}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-gib", type=float, default=6.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--chunk-size", default="4M")
    args = parser.parse_args()
    vesquor = Path(sys.executable).with_name("vesquor")
    size = int(args.size_gib * (1 << 30))
    with tempfile.TemporaryDirectory(prefix="vesquor-bench-") as folder:
        path = Path(folder) / "big.safetensors"
        write_sparse_safetensors(path, size)
        print(f"vesquor scan of a {size / (1 << 30):.1f} GiB sparse SafeTensors file, chunk size {args.chunk_size}, best of {args.runs}")
        for label, extra in (("with SHA-256", []), ("--no-hash", ["--no-hash"])):
            best = None
            for _ in range(args.runs):
                elapsed, peak, report = run_once([str(vesquor), "scan", "--format", "json", "--chunk-size", args.chunk_size, *extra, str(path)], Path(folder) / "out.json")
                files = report["files"]
                if report["exit"] != 0 or len(files) != 1 or files[0]["size"] != size or files[0]["findings"]:
                    print(f"unexpected report: exit {report['exit']}, {files}", file=sys.stderr)
                    return 1
                if best is None or elapsed < best[0]:
                    best = (elapsed, peak)
            elapsed, peak = best
            print(f"  {label:<13} {elapsed:6.2f} s  {size / elapsed / 1e9:5.2f} GB/s  peak RSS {peak / (1 << 20):5.0f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
