"""Scanning files and folders: the walk, the reads, and the per-file loop that streams a file's
bytes through its validators.

One file is read once, front to back, in chunks of `chunk_size` bytes; each chunk goes to every
validator whose byte range it overlaps and to the SHA-256 (on a worker thread, so hashing runs
beside the engine, which releases the interpreter lock while it scans). At most a few chunks are
alive at once, so memory stays bounded by the chunk size whatever the file size. Container headers
are read first, with positioned reads: the SafeTensors header (bounded by the format's 100 MB
limit) and the GGUF metadata and tensor table (read through a 1 MiB window).

Nothing here raises for a bad path or a bad file: a path that cannot be read becomes a FileReport
with status "error" and a one-line reason, and the scan goes on with the next path.
"""

from __future__ import annotations

import fnmatch
import hashlib
import os
import stat
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator

from vesquor import drivers, formats, kinds, policy
from vesquor.report import ERROR, SCANNED, SKIPPED, FileReport, Finding, ScanReport

DEFAULT_CHUNK_SIZE = 4 << 20
#: Pattern groups per validator. Fixed rather than taken from the machine, so that a report does
#: not depend on where it was made: the group count decides which overlapping patterns the engine
#: reports (see the engine's documentation); the worker pool uses every core either way.
DEFAULT_NUM_CORES = 4
#: Directories of version-control systems, skipped (and listed as skipped) unless named.
DEFAULT_EXCLUDE = (".git", ".hg", ".svn")

ProgressFn = Callable[[int], None]


class ScanError(Exception):
    """A file that could not be scanned; the message is the one-line reason."""


def _native_version() -> str:
    from vesquor import __version__

    return __version__


def check_validators(names: Iterable[str]) -> list[str]:
    """The names, checked: raises ValueError for a name that is not a validator or that this
    build of the engine does not provide."""
    names = [n.strip() for n in names if n.strip()]
    for name in names:
        if name not in policy.VALIDATORS:
            raise ValueError(f"unknown validator {name!r} (known: {', '.join(policy.VALIDATORS)})")
        if not drivers.available(name):
            raise ValueError(f"validator {name!r} is not available in this build of the engine")
    return names


# ------------------------------------------------------------------------------------------------
# One file


_hash_pool: ThreadPoolExecutor | None = None
_hash_pool_lock = threading.Lock()


def _hasher() -> ThreadPoolExecutor:
    global _hash_pool
    with _hash_pool_lock:
        if _hash_pool is None:
            _hash_pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="vesquor-sha256")
        return _hash_pool


def _forget_hasher() -> None:
    # A forked child (a process pool's worker) inherits the executor but not its thread, and a
    # task given to it would wait for ever; the child makes its own.
    global _hash_pool, _hash_pool_lock
    _hash_pool, _hash_pool_lock = None, threading.Lock()


os.register_at_fork(after_in_child=_forget_hasher)


def _describe_mode(mode: int) -> str:
    for test, text in (
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISDIR, "a directory"),
    ):
        if test(mode):
            return text
    return "not a regular file"


def _os_reason(e: OSError) -> str:
    return e.strerror or str(e)


@dataclass
class _Options:
    validators: tuple[str, ...] | None
    run_all: bool
    chunk_size: int
    num_cores: int
    compute_hash: bool
    kind: str | None


def _plan(kind: str, options: _Options) -> tuple[list[str], list[str]]:
    """(validators to run, validators of the plan this build lacks)."""
    wanted = policy.validators_for(kind, options.validators, options.run_all)
    run = [name for name in wanted if drivers.available(name)]
    return run, [name for name in wanted if name not in run]


class _Source:
    """Reads one open file: positioned reads for headers, sequential chunks for the stream."""

    def __init__(self, fd: int, size: int):
        self.fd = fd
        self.size = size

    def read_at(self, offset: int, n: int) -> bytes:
        parts = []
        while n > 0:
            got = os.pread(self.fd, n, offset)
            if not got:
                break
            parts.append(got)
            offset += len(got)
            n -= len(got)
        return b"".join(parts)


def _scan_open(report: FileReport, source: _Source, name: str, options: _Options, on_progress: ProgressFn | None) -> None:
    size = source.size
    head = source.read_at(0, kinds.SNIFF_BYTES)
    kind = options.kind or kinds.detect_kind(name, head, size)
    report.kind = kind
    run, report.unavailable = _plan(kind, options)
    layouts: dict[str, Any] = {}
    active = []
    for validator in run:
        try:
            active.append(drivers.make_driver(validator, kind, size, options.num_cores, source.read_at, layouts))
        except formats.Truncated as e:
            raise ScanError(f"the file changed while being read ({e})") from None
    sha = hashlib.sha256() if options.compute_hash else None
    pending: Future | None = None
    offset = 0
    os.lseek(source.fd, 0, os.SEEK_SET)
    try:
        while offset < size:
            chunk = os.read(source.fd, min(options.chunk_size, size - offset))
            if not chunk:
                raise ScanError(f"the file shrank while being read: {size} bytes expected, {offset} read")
            if sha is not None:
                if pending is not None:
                    pending.result()
                pending = _hasher().submit(sha.update, chunk)
            end = offset + len(chunk)
            for driver in active:
                lo, hi = max(driver.offset, offset), min(driver.offset + driver.length, end)
                if lo < hi:
                    driver.feed(chunk if (lo, hi) == (offset, end) else chunk[lo - offset:hi - offset])
            offset = end
            if on_progress is not None:
                on_progress(len(chunk))
        if os.read(source.fd, 1):
            raise ScanError(f"the file grew while being read: more than the {size} bytes it had when the scan began")
    finally:
        if pending is not None:
            pending.result()
    report.sha256 = sha.hexdigest() if sha is not None else None
    for driver in active:
        result = driver.finish()
        report.validators.append(result)
        report.findings.extend(result.findings)


def _guard(report: FileReport, work: Callable[[], None]) -> None:
    """Runs `work`; any failure becomes the report's error. A failure inside the engine (even a
    native panic, which is not an Exception) is reported, never raised."""
    try:
        work()
    except ScanError as e:
        report.status, report.error = ERROR, str(e)
    except formats.Truncated as e:
        report.status, report.error = ERROR, f"the file changed while being read ({e})"
    except OSError as e:
        report.status, report.error = ERROR, _os_reason(e)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        report.status, report.error = ERROR, f"internal error while scanning: {type(e).__name__}: {e}"
    if report.status == ERROR:
        report.validators, report.findings, report.sha256 = [], [], None


def _scan_file(path: str, display: str, options: _Options, on_progress: ProgressFn | None = None) -> FileReport:
    report = FileReport(path=display, status=SCANNED)
    started = time.perf_counter()

    def work() -> None:
        # A FIFO or a device is refused before it is opened: opening a FIFO blocks until a writer
        # comes, and /dev/zero never ends. O_NONBLOCK keeps a FIFO swapped in meanwhile from
        # blocking the open, and fstat of the open file settles what it is.
        try:
            st = os.stat(path)
        except FileNotFoundError:
            if os.path.islink(path):
                raise ScanError(f"broken symbolic link (to {os.readlink(path)})") from None
            raise ScanError("no such file or directory") from None
        if not stat.S_ISREG(st.st_mode):
            raise ScanError(f"not a regular file ({_describe_mode(st.st_mode)})")
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOCTTY", 0))
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                raise ScanError(f"not a regular file ({_describe_mode(st.st_mode)})")
            report.size = st.st_size
            _scan_open(report, _Source(fd, st.st_size), path, options, on_progress)
        finally:
            os.close(fd)

    _guard(report, work)
    report.scan_seconds = time.perf_counter() - started
    return report


def _options(validators: Iterable[str] | None, all_validators: bool, chunk_size: int, num_cores: int, compute_hash: bool, kind: str | None) -> _Options:
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    if num_cores < 1:
        raise ValueError("num_cores must be at least 1")
    if kind is not None and kind not in kinds.KINDS:
        raise ValueError(f"unknown kind {kind!r} (known: {', '.join(kinds.KINDS)})")
    names = tuple(check_validators(validators)) if validators is not None else None
    return _Options(names or None, all_validators, chunk_size, num_cores, compute_hash, kind)


def scan_file(
    path: str | os.PathLike,
    *,
    validators: Iterable[str] | None = None,
    all_validators: bool = False,
    kind: str | None = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    num_cores: int = DEFAULT_NUM_CORES,
    compute_hash: bool = True,
    on_progress: ProgressFn | None = None,
) -> FileReport:
    """Scans one file and returns its FileReport (status "error" when it cannot be read).

    `validators` replaces the default policy for the file's kind; `all_validators` runs every
    validator; `kind` overrides the detected kind. Picklable in and out, for process pools:

        >>> with ProcessPoolExecutor() as pool:
        ...     report = ScanReport.merge(pool.map(vesquor.scan_file, paths))
    """
    path = os.fspath(path)
    return _scan_file(path, path, _options(validators, all_validators, chunk_size, num_cores, compute_hash, kind), on_progress)


def scan_bytes(
    data: bytes,
    kind: str | None = None,
    *,
    name: str = "<bytes>",
    validators: Iterable[str] | None = None,
    all_validators: bool = False,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    num_cores: int = DEFAULT_NUM_CORES,
    compute_hash: bool = True,
) -> FileReport:
    """Scans `data` as a file called `name`, of `kind` (detected from `name` and the bytes when
    not given), exactly as `scan_file` would scan a file holding those bytes, in chunks of
    `chunk_size`."""
    data = bytes(data)
    options = _options(validators, all_validators, chunk_size, num_cores, compute_hash, kind)
    report = FileReport(path=name, status=SCANNED, size=len(data))
    started = time.perf_counter()
    _guard(report, lambda: _scan_memory(report, data, name, options))
    report.scan_seconds = time.perf_counter() - started
    return report


def _scan_memory(report: FileReport, data: bytes, name: str, options: _Options) -> None:
    size = len(data)
    kind = options.kind or kinds.detect_kind(name, data[: kinds.SNIFF_BYTES], size)
    report.kind = kind
    run, report.unavailable = _plan(kind, options)
    layouts: dict[str, Any] = {}
    read_at = lambda offset, n: data[offset:offset + n]  # noqa: E731
    active = [drivers.make_driver(v, kind, size, options.num_cores, read_at, layouts) for v in run]
    for offset in range(0, size, options.chunk_size):
        chunk = data[offset:offset + options.chunk_size]
        end = offset + len(chunk)
        for driver in active:
            lo, hi = max(driver.offset, offset), min(driver.offset + driver.length, end)
            if lo < hi:
                driver.feed(chunk[lo - offset:hi - offset])
    report.sha256 = hashlib.sha256(data).hexdigest() if options.compute_hash else None
    for driver in active:
        result = driver.finish()
        report.validators.append(result)
        report.findings.extend(result.findings)


# ------------------------------------------------------------------------------------------------
# Folders


@dataclass
class Target:
    """One entry of a walk: a file to scan, or a report made without scanning (an error, a
    skipped link)."""

    path: str  # what to open
    display: str  # what the report calls it
    size: int = 0
    report: FileReport | None = None


def _inside(path: str, root: str) -> bool:
    try:
        return os.path.commonpath([path, root]) == root
    except ValueError:
        return False


def walk(paths: Iterable[str | os.PathLike], *, follow_symlinks: bool = False, exclude: Iterable[str] = DEFAULT_EXCLUDE) -> Iterator[Target]:
    """The files under `paths`, in a stable order (each folder's entries by name).

    A path named on the command line is followed even when it is a symbolic link. Inside a
    folder, a symbolic link is followed when its target lies inside the folder and is a file;
    one pointing outside the folder is reported (a finding, since a loader would follow it),
    and a link to a folder is not descended; `follow_symlinks` follows both, with loops cut.
    `exclude` holds glob patterns matched against entry names and relative paths."""
    patterns = tuple(exclude)

    def excluded(name: str, rel: str) -> bool:
        return any(fnmatch.fnmatch(name, p) or fnmatch.fnmatch(rel, p) for p in patterns)

    for given in paths:
        given = os.fspath(given)
        try:
            st = os.stat(given)
        except OSError as e:
            if os.path.islink(given):
                reason = f"broken symbolic link (to {os.readlink(given)})"
            elif isinstance(e, FileNotFoundError):
                reason = "no such file or directory"
            else:
                reason = _os_reason(e)
            yield Target(given, given, report=FileReport(path=given, status=ERROR, error=reason))
            continue
        if not stat.S_ISDIR(st.st_mode):
            yield Target(given, given, st.st_size if stat.S_ISREG(st.st_mode) else 0)
            continue
        root = os.path.realpath(given)
        seen = {(st.st_dev, st.st_ino)}
        yield from _walk_dir(given, root, "", follow_symlinks, excluded, seen)


def _walk_dir(directory: str, root: str, rel: str, follow: bool, excluded: Callable[[str, str], bool], seen: set) -> Iterator[Target]:
    try:
        with os.scandir(directory) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError as e:
        yield Target(directory, directory, report=FileReport(path=directory, status=ERROR, error=f"cannot list directory: {_os_reason(e)}"))
        return
    for entry in entries:
        entry_rel = f"{rel}{entry.name}"
        path = os.path.join(directory, entry.name)
        if excluded(entry.name, entry_rel):
            yield Target(path, path, report=FileReport(path=path, status=SKIPPED, error="excluded"))
            continue
        try:
            is_link = entry.is_symlink()
            if is_link:
                try:
                    st = os.stat(path)
                except OSError:
                    yield Target(path, path, report=FileReport(path=path, status=ERROR, error=f"broken symbolic link (to {os.readlink(path)})"))
                    continue
                target = os.path.realpath(path)
                if not follow and not _inside(target, root):
                    finding = Finding(
                        "filesystem",
                        "symlink:outside_folder",
                        policy.severity("filesystem", "symlink:outside_folder"),
                        f"symbolic link to {target}, outside the scanned folder; not followed (--follow-symlinks scans it)",
                    )
                    yield Target(path, path, report=FileReport(path=path, status=SKIPPED, error=f"symbolic link to {target}, outside the scanned folder", findings=[finding]))
                    continue
                if stat.S_ISDIR(st.st_mode) and not follow:
                    yield Target(path, path, report=FileReport(path=path, status=SKIPPED, error=f"symbolic link to a folder ({target}); not descended"))
                    continue
            else:
                st = entry.stat(follow_symlinks=False)
        except OSError as e:
            yield Target(path, path, report=FileReport(path=path, status=ERROR, error=_os_reason(e)))
            continue
        if stat.S_ISDIR(st.st_mode):
            key = (st.st_dev, st.st_ino)
            if key in seen:
                yield Target(path, path, report=FileReport(path=path, status=SKIPPED, error="folder already scanned (symbolic link loop)"))
                continue
            seen.add(key)
            yield from _walk_dir(path, root, entry_rel + "/", follow, excluded, seen)
        elif stat.S_ISREG(st.st_mode):
            yield Target(path, path, st.st_size)
        else:
            yield Target(path, path, report=FileReport(path=path, status=ERROR, error=f"not a regular file ({_describe_mode(st.st_mode)})"))


def scan_path(
    paths: str | os.PathLike | Iterable[str | os.PathLike],
    *,
    validators: Iterable[str] | None = None,
    all_validators: bool = False,
    kind: str | None = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    num_cores: int = DEFAULT_NUM_CORES,
    compute_hash: bool = True,
    follow_symlinks: bool = False,
    exclude: Iterable[str] = DEFAULT_EXCLUDE,
    fail_on: str = policy.LOW,
    on_progress: ProgressFn | None = None,
    on_file: Callable[[Target, int, int], None] | None = None,
    on_plan: Callable[[list[Target]], None] | None = None,
) -> ScanReport:
    """Scans files and folders (recursively) and returns one ScanReport.

    `on_plan(targets)` is called once the walk is done, with every entry found; `on_progress(n)`
    after each chunk of n bytes; `on_file(target, index, count)` before each entry. Keyword
    arguments as for `scan_file`; `fail_on` is the least severity that makes the exit code 1."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    options = _options(validators, all_validators, chunk_size, num_cores, compute_hash, kind)
    if fail_on not in policy.SEVERITIES:
        raise ValueError(f"unknown severity {fail_on!r} (known: {', '.join(policy.SEVERITIES)})")
    started = time.perf_counter()
    report = ScanReport(
        version=_native_version(),
        options={
            "validators": list(options.validators) if options.validators else None,
            "all_validators": all_validators,
            "kind": kind,
            "chunk_size": chunk_size,
            "num_cores": num_cores,
            "follow_symlinks": follow_symlinks,
            "exclude": list(exclude),
        },
        fail_on=fail_on,
    )
    targets = list(walk(paths, follow_symlinks=follow_symlinks, exclude=exclude))
    if on_plan is not None:
        on_plan(targets)
    for index, target in enumerate(targets):
        if on_file is not None:
            on_file(target, index, len(targets))
        if target.report is not None:
            report.files.append(target.report)
        else:
            report.files.append(_scan_file(target.path, target.display, options, on_progress))
    report.duration_seconds = time.perf_counter() - started
    return report


def total_bytes(targets: Iterable[Target]) -> int:
    return sum(t.size for t in targets if t.report is None)


__all__ = ["scan_path", "scan_file", "scan_bytes", "walk", "Target", "check_validators", "DEFAULT_CHUNK_SIZE", "DEFAULT_NUM_CORES"]
