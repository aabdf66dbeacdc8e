"""The `vesquor` command.

    vesquor scan PATH [PATH ...]   scan files and folders, print a report, exit with a verdict
    vesquor validators             the validators, which this build provides, and the policy

Exit codes of `scan`: 0 nothing found, 1 findings, 2 a path could not be read or scanned (the
others are still scanned and reported), 3 nothing scannable found, 4 usage error.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from typing import IO, Sequence

from vesquor import drivers, kinds, policy, report as reports
from vesquor.scan import DEFAULT_CHUNK_SIZE, DEFAULT_EXCLUDE, DEFAULT_NUM_CORES, Target, check_validators, scan_path, total_bytes

_SIZE_UNITS = {"": 1, "b": 1, "k": 1 << 10, "kb": 1000, "kib": 1 << 10, "m": 1 << 20, "mb": 10**6, "mib": 1 << 20, "g": 1 << 30, "gb": 10**9, "gib": 1 << 30}
# A chunk holds one read; above this a single read would itself be the memory problem.
_MAX_CHUNK = 1 << 30


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    """argparse exits with status 2 on bad usage; 2 means an unreadable file here."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(reports.EXIT_USAGE, f"{self.prog}: error: {message}\n")


def parse_size(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+)\s*([a-zA-Z]*)\s*", text)
    unit = match and _SIZE_UNITS.get(match.group(2).lower())
    if not match or unit is None:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (examples: 65536, 64K, 4M, 1G)")
    size = int(match.group(1)) * unit
    if not 1 <= size <= _MAX_CHUNK:
        raise argparse.ArgumentTypeError(f"chunk size must be between 1 byte and 1G, not {text!r}")
    return size


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    from vesquor import __version__

    parser = _Parser(
        prog="vesquor",
        description="Scan model files (SafeTensors, GGUF, tokenizer files, configs, sources) for malformation and planted content before loading them.",
    )
    parser.add_argument("--version", action="version", version=f"vesquor {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    scan = commands.add_parser(
        "scan",
        help="scan files and folders",
        description="Scan files and folders (recursively). Exit codes: 0 nothing found, 1 findings, "
        "2 a path could not be read or scanned, 3 nothing scannable found, 4 usage error.",
    )
    scan.add_argument("paths", nargs="+", metavar="PATH", help="files and folders to scan")
    scan.add_argument("-f", "--format", choices=("text", "json", "sarif"), default="text", help="report format (default: text, for people)")
    scan.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of standard output")
    chosen = scan.add_mutually_exclusive_group()
    chosen.add_argument("--validators", metavar="LIST", help="comma-separated validators to run on every file, instead of the policy for its kind (see `vesquor validators`)")
    chosen.add_argument("--all", action="store_true", help="run every validator on every file (format checks on their own kind only)")
    scan.add_argument("--kind", choices=kinds.KINDS, help="treat every file as this kind instead of detecting it")
    scan.add_argument("--fail-on", choices=policy.SEVERITIES, default=policy.LOW, help="least severity that makes the exit code 1 (default: low, any finding)")
    scan.add_argument("--chunk-size", type=parse_size, default=DEFAULT_CHUNK_SIZE, metavar="SIZE", help=f"bytes read and scanned at a time (default: {DEFAULT_CHUNK_SIZE >> 20}M); memory use follows it")
    scan.add_argument("--num-cores", type=_positive, default=DEFAULT_NUM_CORES, metavar="N", help=f"pattern groups per validator, passed to the engine (default: {DEFAULT_NUM_CORES}); the engine's worker pool uses every core regardless")
    scan.add_argument("--follow-symlinks", action="store_true", help="follow symbolic links that point outside the scanned folder, and links to folders")
    scan.add_argument("--exclude", action="append", default=[], metavar="GLOB", help="skip entries whose name or relative path matches GLOB (repeatable)")
    scan.add_argument("--no-default-excludes", action="store_true", help=f"also scan {', '.join(DEFAULT_EXCLUDE)} folders (skipped by default)")
    scan.add_argument("--no-hash", action="store_true", help="do not compute SHA-256 digests (faster; the JSON then has null digests)")
    scan.add_argument("-q", "--quiet", action="store_true", help="no progress bar; the text report lists only files with findings or errors")
    scan.add_argument("--color", choices=("auto", "always", "never"), default="auto", help="colour the text report (default: when writing to a terminal)")

    commands.add_parser("validators", help="list the validators, whether this build provides them, and the default policy")
    return parser


class _Progress:
    """A progress bar on standard error (bytes, files, rate, remaining time), when it is a
    terminal and the scan is not quiet."""

    def __init__(self, enabled: bool):
        self.bar = None
        self.enabled = enabled

    def plan(self, targets: list[Target]) -> None:
        if not self.enabled:
            return
        from tqdm import tqdm

        self.count = len(targets)
        try:
            size = os.get_terminal_size(sys.stderr.fileno())
        except OSError:
            size = os.terminal_size((0, 0))
        # A terminal that reports no size (some CI pseudo-terminals) gets a fixed one: with a
        # width or height of 0 the bar would draw nothing at all.
        width = {"dynamic_ncols": True} if size.columns and size.lines else {"ncols": 100, "nrows": 24}
        self.bar = tqdm(total=total_bytes(targets), unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr, leave=False, **width)

    def file(self, target: Target, index: int, count: int) -> None:
        if self.bar is not None:
            name = os.path.basename(target.display) or target.display
            # Drawn at once for the first file, so that even a scan shorter than the bar's
            # redraw interval shows what it scans; later names wait for the next redraw.
            self.bar.set_description(f"{index + 1}/{count} {name[:40]}", refresh=index == 0)

    def advance(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _validators_command(out: IO[str]) -> int:
    width = max(len(n) for n in policy.VALIDATORS)
    out.write("Validators (* = not in this build of the engine):\n")
    for name, v in policy.VALIDATORS.items():
        mark = " " if drivers.available(name) else "*"
        out.write(f"  {mark} {name:<{width}}  {v.summary}\n")
    out.write("\nDefault policy:\n")
    kind_width = max(len(k) for k in kinds.KINDS)
    for kind in kinds.KINDS:
        names = []
        for name in policy.DEFAULT_POLICY[kind]:
            mode = policy.TOKENIZER_MODE.get(kind, policy.DEFAULT_TOKENIZER_MODE) if name == "tokenizer_hygiene" else None
            names.append(f"{name} ({mode})" if mode else name)
        out.write(f"  {kind:<{kind_width}}  {', '.join(names)}\n")
    return reports.EXIT_CLEAN


def _scan_command(args: argparse.Namespace) -> int:
    try:
        requested = check_validators(args.validators.split(",")) if args.validators is not None else None
        if args.validators is not None and not requested:
            raise ValueError("--validators needs at least one validator name")
    except ValueError as e:
        raise UsageError(str(e)) from None
    try:
        out: IO[str] = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    except OSError as e:
        raise UsageError(f"cannot write the report to {args.output}: {e.strerror}") from None
    progress = _Progress(enabled=not args.quiet and sys.stderr.isatty())
    try:
        exclude = list(args.exclude) + ([] if args.no_default_excludes else list(DEFAULT_EXCLUDE))
        result = scan_path(
            args.paths,
            validators=requested,
            all_validators=args.all,
            kind=args.kind,
            chunk_size=args.chunk_size,
            num_cores=args.num_cores,
            compute_hash=not args.no_hash,
            follow_symlinks=args.follow_symlinks,
            exclude=exclude,
            fail_on=args.fail_on,
            on_plan=progress.plan,
            on_file=progress.file,
            on_progress=progress.advance,
        )
        progress.close()
        # One line per unreadable path on standard error as well, whatever the format, so that a
        # CI log shows it even when the report goes to a file.
        for f in result.files:
            if f.status == reports.ERROR:
                print(f"vesquor: {f.path}: {f.error}", file=sys.stderr)
        if args.format == "json":
            out.write(result.to_json())
        elif args.format == "sarif":
            out.write(result.to_sarif())
        else:
            color = args.color == "always" or (args.color == "auto" and out.isatty() and "NO_COLOR" not in os.environ)
            out.write(result.to_text(color, only_problems=args.quiet))
        out.flush()
        return result.exit_code
    finally:
        progress.close()
        if out is not sys.stdout:
            out.close()


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "scan":
            return _scan_command(args)
        if args.command == "validators":
            return _validators_command(sys.stdout)
        parser.print_help(sys.stderr)
        return reports.EXIT_USAGE
    except UsageError as e:
        print(f"vesquor: error: {e}", file=sys.stderr)
        return reports.EXIT_USAGE
    except KeyboardInterrupt:
        print("vesquor: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`vesquor scan ... | head`); nothing left to tell it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return reports.EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
