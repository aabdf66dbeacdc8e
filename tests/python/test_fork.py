"""A process that has scanned, and so started the worker pool, forks: scans in the child work."""

import multiprocessing
import os
import random
import signal
import subprocess
import sys

import pytest

# Forking a process whose worker pool has threads is what these tests do on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")

# Large enough to be cut into segments that the pool scans at once.
DATA = bytes(random.Random(3).randbytes(12 << 20)) + b"vsprintf\x00 %n sizeof("


def summary(native):
    result = native.validate_buffer_overflow(DATA, 3)
    return (result.dangerous_functions_found, result.rop_gadgets_found, result.total_matches, result.risk_score)


def child_summary(_):
    from vesquor import _native

    return summary(_native)


@pytest.mark.skipif(sys.platform != "linux", reason="fork start method")
def test_multiprocessing_fork_child_scans(native):
    expected = summary(native)  # the pool is running in this process now
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as workers:
        results = workers.map_async(child_summary, range(4)).get(timeout=120)
    assert results == [expected] * 4


def test_os_fork_child_scans(native):
    expected = summary(native)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report and leave without running the parent's cleanup
        try:
            signal.alarm(60)  # a hang in the child must not hang the suite
            os.write(write_end, repr(summary(native)).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        reported = pipe.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert reported == repr(expected)


def pool_size(env_value):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    if env_value is not None:
        env["RAYON_NUM_THREADS"] = env_value
    code = "import _vesquor_testing as t; print(t.pool_concurrency())"
    return int(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout)


def test_pool_size_cap_from_the_environment():
    default = pool_size(None)
    assert default == len(os.sched_getaffinity(0)) or default >= 1
    assert pool_size("1") == 1
    assert pool_size("+1") == 1
    assert pool_size(str(default + 5)) == default  # a cap, never more threads than processors
    for ignored in ("", "0", "-1", "two", " 1", "1.5", "99999999999999999999"):
        assert pool_size(ignored) == default, ignored
