"""Many threads at once: one-shot functions, private streaming objects, a shared one misused,
and a Ctrl-C during a long scan."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from busy_object import conflict_while_busy
from safetensors_fixtures import st_file

RNG = random.Random(11)
PLANTS = [b"\x7fELF\x02", b"#!/bin/bash", b"vsprintf\x00", b"%n", b"os.system(", b"<backdoor>",
          b"ignore previous instructions", b"curl https://", b"rm -rf /"]
DATA = b"".join(RNG.randbytes(RNG.randrange(2000)) + RNG.choice(PLANTS) for _ in range(600))
CHUNKS = [DATA[i : i + 7777] for i in range(0, len(DATA), 7777)]


def one_shot(native):
    """Every one-shot entry's answer on DATA, as plain values."""
    mi = native.validate_model_integrity(DATA)
    bo = native.validate_buffer_overflow(DATA, 3)
    out = [mi.suspicious_patterns, (bo.dangerous_functions_found, bo.total_matches, bo.risk_score)]
    for name, args in [("validate_tool_calling", (2,)), ("validate_supply_chain", (2,)),
                       ("validate_behavior_analysis", (4,)), ("validate_tokenizer_hygiene", (2, "strict")),
                       ("validate_gguf_safety", (3,))]:
        if hasattr(native, name):
            result = getattr(native, name)(DATA, *args)
            out.append(sorted((k, repr(getattr(result, k))) for k in dir(result) if not k.startswith("_")))
    return out


def streamed(native):
    """A private streaming object per call, fed DATA in chunks."""
    validator = native.BufferOverflowStreamingValidator(2)
    scanner = native.PyParallelStreamingScanner(3) if hasattr(native, "PyParallelStreamingScanner") else None
    found = []
    for chunk in CHUNKS:
        validator.process_chunk(chunk)
        if scanner is not None:
            found += [m.description for m in scanner.scan_chunk(chunk)]
    result = validator.finalize()
    if scanner is not None:
        found += [m.description for m in scanner.finalize()]
    return (result.dangerous_functions_found, result.format_string_vulns_found, result.total_matches), found


def run_threads(count, work):
    results, errors = [], []
    barrier = threading.Barrier(count)

    def body():
        try:
            barrier.wait()
            results.append(work())
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=body) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


def test_first_use_from_many_threads_at_once():
    # A fresh process: the shared malware scanner and the pool are built by the racing threads.
    code = textwrap.dedent(
        """
        import threading
        from vesquor import _native
        data = b"x" * 100000 + b"\\x7fELF\\x02" + b"y" * 5000 + b"#!/bin/sh"
        barrier = threading.Barrier(12)
        results = []
        def work():
            barrier.wait()
            results.append(_native.validate_model_integrity(data).suspicious_patterns)
        threads = [threading.Thread(target=work) for _ in range(12)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        assert len(results) == 12 and all(r == results[0] for r in results), results
        print(results[0])
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['ELF executable header (Linux/Unix 64-bit)', 'Shell script shebang']"


def test_one_shot_functions_from_many_threads(native):
    expected = one_shot(native)
    assert run_threads(8, lambda: one_shot(native)) == [expected] * 8


def test_private_streaming_objects_from_many_threads(native):
    expected = streamed(native)
    assert run_threads(6, lambda: streamed(native)) == [expected] * 6


def test_misused_shared_object_fails_cleanly(native):
    # Threads share one validator: calls that collide get the borrow error, nothing else; the
    # object stays usable and counts every chunk that got through exactly once.
    validator = native.BufferOverflowStreamingValidator(1)
    chunk = b"%n" + bytes(2 << 20)
    fed, refused, other = [], [], []

    def hammer():
        for _ in range(10):
            try:
                validator.process_chunk(chunk)
                fed.append(1)
            except RuntimeError as error:
                refused.append(str(error))
            except BaseException as error:
                other.append(error)

    run_threads(4, hammer)
    assert not other and set(refused) <= {"Already borrowed"}
    assert len(fed) + len(refused) == 40 and fed
    assert validator.finalize().total_matches == len(fed)


def with_header(validator):
    validator.validate_header(st_file({"w": {"dtype": "U8", "shape": [16], "data_offsets": [0, 16]}}))
    return validator


# Every method that takes one bytes argument and holds the object while it runs.
HOLDERS = [
    # name                object                                                      method
    ("scanner",           lambda n: n.PyParallelStreamingScanner(2),                  "scan_chunk"),
    ("model_integrity",   lambda n: n.ModelIntegrityStreamingValidator(2),            "process_chunk"),
    ("safetensors_data",  lambda n: with_header(n.SafeTensorsStreamingValidator(2)),  "process_chunk"),
    ("safetensors_head",  lambda n: with_header(n.SafeTensorsStreamingValidator(2)),  "validate_header"),
    ("tool_calling",      lambda n: n.ToolCallingStreamingValidator(2),               "process_chunk"),
    ("buffer_overflow",   lambda n: n.BufferOverflowStreamingValidator(2),            "process_chunk"),
    ("supply_chain",      lambda n: n.SupplyChainStreamingValidator(2),               "process_chunk"),
    ("behavior_analysis", lambda n: n.BehaviorAnalysisStreamingValidator(2),          "process_chunk"),
    ("tokenizer_hygiene", lambda n: n.TokenizerHygieneStreamingValidator(2),          "process_chunk"),
    ("gguf_safety",       lambda n: n.GGUFSafetyStreamingValidator(2),                "process_chunk"),
]


@pytest.mark.parametrize("make,method", [h[1:] for h in HOLDERS], ids=[h[0] for h in HOLDERS])
def test_argument_is_checked_before_the_borrow(native, make, method):
    # While another thread scans 32 MiB on the object, a call with a str is still refused for its
    # argument (TypeError), and an empty chunk right after it meets the borrow.
    target = make(native)
    scan = getattr(target, "scan_chunk" if method == "scan_chunk" else "process_chunk")
    data = random.Random(5).randbytes(32 << 20)
    seen = []

    def probe():
        try:
            getattr(target, method)("chunk")
        except (TypeError, RuntimeError) as error:
            seen.append(type(error))
        scan(b"")

    assert conflict_while_busy(lambda: scan(data), probe) == "Already borrowed"
    assert set(seen) == {TypeError}


@pytest.mark.skipif(sys.platform != "linux", reason="signals to the own process")
def test_interrupt_during_a_long_scan_arrives_after_it():
    code = textwrap.dedent(
        """
        import os, signal, threading, time
        from vesquor import _native
        data = b"\\x7fELF\\x02" + os.urandom(1 << 30)
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            result = _native.validate_model_integrity(data)
            print("returned", result.suspicious_patterns[:1])
        except KeyboardInterrupt:
            print("interrupted after the call")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    # The scan is not cut short by the signal: either it finished before Python saw the signal,
    # or the KeyboardInterrupt came once the call returned. Either way, no crash.
    assert out.stdout.strip() in {"interrupted after the call",
                                  "returned ['ELF executable header (Linux/Unix 64-bit)']"}, out.stdout
