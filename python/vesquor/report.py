"""Scan reports: plain dataclasses that the CLI prints and the API returns.

Every class here holds only str, int, float, bool, None, lists and dicts, so reports pickle
cleanly and can be sent between processes (``multiprocessing``, ``concurrent.futures``, a
distributed engine). ``to_dict()`` gives the JSON document that ``vesquor scan --format json``
writes, field for field; ``from_dict()`` reads it back.

    >>> report = ScanReport.merge([file_a, file_b])     # FileReports from worker processes
    >>> report.exit_code, report.to_json()
"""

from __future__ import annotations

import json
import time
from collections import Counter
from dataclasses import asdict, dataclass, field
from typing import Any, Iterable

from vesquor.policy import HIGH, LOW, MEDIUM, SEVERITIES, SEVERITY_RANK

REPORT_FORMAT = "vesquor-report"
#: Bumped when a field changes meaning or disappears; new fields do not bump it.
REPORT_VERSION = 1

SCANNED = "scanned"
ERROR = "error"
SKIPPED = "skipped"

# Exit codes of `vesquor scan`, most important first: a usage error stops everything, an
# unreadable file outweighs findings (a CI gate must not pass a file it could not read), and
# "nothing scannable" is reported only when there was neither a finding nor an error.
EXIT_CLEAN = 0
EXIT_FINDINGS = 1
EXIT_ERROR = 2
EXIT_NOTHING = 3
EXIT_USAGE = 4


@dataclass(frozen=True)
class Finding:
    """One kind of problem found in a file. `rule` is stable (``hidden_token:backdoor_tag``);
    `message` is for people; `count` is how often it occurred, where the validator counts."""

    validator: str
    rule: str
    severity: str
    message: str
    count: int = 1

    @property
    def rule_id(self) -> str:
        """The rule across validators, as SARIF names it: ``tokenizer_hygiene/hidden_token:backdoor_tag``."""
        return f"{self.validator}/{self.rule}"


@dataclass
class ValidatorResult:
    """What one validator made of one file: the engine entries that did the work, the byte range
    of the file they read, every attribute of the engine's result as plain values, and the
    findings drawn from it."""

    name: str
    engine: str
    offset: int
    length: int
    result: dict[str, Any]
    findings: list[Finding] = field(default_factory=list)


@dataclass
class FileReport:
    """The outcome for one path: `status` is "scanned", "error" (`error` says why; never
    clean) or "skipped" (`error` says why, e.g. a symbolic link that was not followed)."""

    path: str
    status: str
    kind: str | None = None
    size: int | None = None
    sha256: str | None = None
    scan_seconds: float = 0.0
    error: str | None = None
    validators: list[ValidatorResult] = field(default_factory=list)
    findings: list[Finding] = field(default_factory=list)
    #: Validators of the policy that this build of the engine does not provide.
    unavailable: list[str] = field(default_factory=list)

    @property
    def clean(self) -> bool:
        return self.status == SCANNED and not self.findings

    def severities(self) -> Counter:
        return Counter(f.severity for f in self.findings)

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> FileReport:
        data = dict(data)
        data["findings"] = [Finding(**f) for f in data.get("findings", [])]
        data["validators"] = [
            ValidatorResult(**{**v, "findings": [Finding(**f) for f in v.get("findings", [])]})
            for v in data.get("validators", [])
        ]
        return cls(**data)


def _utc_now() -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


@dataclass
class ScanReport:
    """The outcome of one scan: one FileReport per path, in scan order."""

    files: list[FileReport] = field(default_factory=list)
    version: str = ""
    started_at: str = field(default_factory=_utc_now)
    duration_seconds: float = 0.0
    #: The settings the scan ran with (validators, chunk size, ...), for the record.
    options: dict[str, Any] = field(default_factory=dict)
    #: Findings at or above this severity make the exit code 1.
    fail_on: str = LOW

    @classmethod
    def merge(cls, parts: Iterable[FileReport | ScanReport], **kwargs: Any) -> ScanReport:
        """One report from FileReports and ScanReports made elsewhere, in the order given."""
        files: list[FileReport] = []
        duration = 0.0
        for part in parts:
            if isinstance(part, ScanReport):
                files.extend(part.files)
                duration += part.duration_seconds
            else:
                files.append(part)
                duration += part.scan_seconds
        if not kwargs.get("version"):
            from vesquor import __version__

            kwargs["version"] = __version__
        kwargs.setdefault("duration_seconds", duration)
        return cls(files=files, **kwargs)

    @property
    def findings(self) -> list[Finding]:
        return [f for report in self.files for f in report.findings]

    def counts_as_failure(self, finding: Finding) -> bool:
        return SEVERITY_RANK.get(finding.severity, 0) <= SEVERITY_RANK[self.fail_on]

    @property
    def summary(self) -> dict[str, Any]:
        statuses = Counter(f.status for f in self.files)
        severities = Counter(f.severity for f in self.findings)
        scanned = [f for f in self.files if f.status == SCANNED]
        return {
            "files": len(self.files),
            "scanned": statuses[SCANNED],
            "clean": sum(1 for f in scanned if not f.findings),
            "with_findings": sum(1 for f in self.files if f.findings),
            "errors": statuses[ERROR],
            "skipped": statuses[SKIPPED],
            "bytes_scanned": sum(f.size or 0 for f in scanned),
            "findings": {severity: severities[severity] for severity in SEVERITIES},
            "exit_code": self.exit_code,
        }

    @property
    def exit_code(self) -> int:
        if any(f.status == ERROR for f in self.files):
            return EXIT_ERROR
        if any(self.counts_as_failure(finding) for finding in self.findings):
            return EXIT_FINDINGS
        if not any(f.status == SCANNED for f in self.files) and not self.findings:
            return EXIT_NOTHING
        return EXIT_CLEAN

    def to_dict(self) -> dict[str, Any]:
        return {
            "format": REPORT_FORMAT,
            "format_version": REPORT_VERSION,
            "tool": {"name": "vesquor", "version": self.version},
            "started_at": self.started_at,
            "duration_seconds": self.duration_seconds,
            "options": self.options,
            "fail_on": self.fail_on,
            "summary": self.summary,
            "files": [f.to_dict() for f in self.files],
        }

    def to_json(self, indent: int | None = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False) + "\n"

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> ScanReport:
        return cls(
            files=[FileReport.from_dict(f) for f in data["files"]],
            version=data["tool"]["version"],
            started_at=data["started_at"],
            duration_seconds=data["duration_seconds"],
            options=data.get("options", {}),
            fail_on=data.get("fail_on", LOW),
        )

    def to_text(self, color: bool = False, only_problems: bool = False) -> str:
        return format_text(self, color, only_problems)

    def to_sarif(self) -> str:
        return format_sarif(self)


# ------------------------------------------------------------------------------------------------
# The human report: one line per file, its findings below it grouped by severity, a summary.

_COLORS = {HIGH: "\033[1;31m", MEDIUM: "\033[33m", LOW: "\033[36m", "ok": "\033[32m", "error": "\033[1;31m", "dim": "\033[2m"}
_RESET = "\033[0m"


def human_size(n: int | None) -> str:
    if n is None:
        return "-"
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{n} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def format_text(report: ScanReport, color: bool = False, only_problems: bool = False) -> str:
    """The report for people. `only_problems` leaves out the lines of clean and skipped files
    (the summary still counts them)."""
    def paint(text: str, style: str) -> str:
        return f"{_COLORS[style]}{text}{_RESET}" if color else text

    lines: list[str] = []
    width = min(max((len(f.path) for f in report.files), default=0), 60)
    for f in report.files:
        if only_problems and not f.findings and f.status != ERROR:
            continue
        if f.status == ERROR:
            lines.append(f"{f.path:<{width}}  {paint('ERROR', 'error')}  {f.error}")
        elif f.status == SKIPPED and not f.findings:
            lines.append(f"{f.path:<{width}}  {paint('skipped', 'dim')}  {f.error}")
        else:
            counts = f.severities()
            if f.findings:
                detail = ", ".join(f"{counts[s]} {s}" for s in SEVERITIES if counts[s])
                worst = min(counts, key=lambda severity: SEVERITY_RANK.get(severity, 0))
                verdict = paint(f"{len(f.findings)} finding{'s' if len(f.findings) != 1 else ''} ({detail})", worst)
            else:
                verdict = paint("clean", "ok")
            kind = f.kind or ""
            lines.append(f"{f.path:<{width}}  {kind:<16} {human_size(f.size):>10}  {verdict}")
            if f.unavailable:
                lines.append(paint(f"    not checked: {', '.join(f.unavailable)} (not in this build of the engine)", "dim"))
            for finding in sorted(f.findings, key=lambda x: SEVERITY_RANK.get(x.severity, 0)):
                times = f" (x{finding.count})" if finding.count > 1 else ""
                lines.append(f"    {paint(f'{finding.severity:<6}', finding.severity)}  {finding.validator:<18} {finding.message}{times}")
    s = report.summary
    found = s["findings"]
    total = sum(found.values())
    rate = s["bytes_scanned"] / report.duration_seconds if report.duration_seconds > 0 else 0.0
    parts = [f"{s['scanned']} file{'s' if s['scanned'] != 1 else ''} scanned ({human_size(s['bytes_scanned'])} in {report.duration_seconds:.2f} s, {human_size(int(rate))}/s)"]
    parts.append(f"{s['clean']} clean")
    if s["with_findings"]:
        parts.append(f"{s['with_findings']} with findings ({total} finding{'s' if total != 1 else ''}: {', '.join(f'{found[k]} {k}' for k in SEVERITIES)})")
    if s["errors"]:
        parts.append(paint(f"{s['errors']} error{'s' if s['errors'] != 1 else ''}", "error"))
    if s["skipped"]:
        parts.append(f"{s['skipped']} skipped")
    if not report.files:
        parts = ["nothing to scan"]
    if lines:
        lines.append("")
    lines.append("vesquor " + report.version + ": " + "; ".join(parts))
    return "\n".join(lines) + "\n"


# ------------------------------------------------------------------------------------------------
# SARIF 2.1.0, through the SARIF object model: one rule per kind of finding, one result per
# finding, and files that could not be read as tool execution notifications.

SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
_SARIF_LEVEL = {HIGH: "error", MEDIUM: "warning", LOW: "note"}
# GitHub code scanning sorts security alerts by this property (a CVSS-like 0.0 to 10.0).
_SECURITY_SEVERITY = {HIGH: "8.0", MEDIUM: "5.0", LOW: "2.0"}


def _uri(path: str) -> str:
    return path.replace("\\", "/").removeprefix("./")


def format_sarif(report: ScanReport) -> str:
    import sarif_om as sarif
    from jschema_to_python.to_json import to_json

    def properties(tags: list[str] | None = None, **extra: Any) -> Any:
        bag = sarif.PropertyBag(tags=tags)
        for key, value in extra.items():
            setattr(bag, key, value)
        return bag

    rules: dict[str, Any] = {}
    rule_index: dict[str, int] = {}
    results = []
    for f in report.files:
        location = sarif.Location(physical_location=sarif.PhysicalLocation(artifact_location=sarif.ArtifactLocation(uri=_uri(f.path))))
        for finding in f.findings:
            rule_id = finding.rule_id
            if rule_id not in rules:
                rule_index[rule_id] = len(rules)
                rules[rule_id] = sarif.ReportingDescriptor(
                    id=rule_id,
                    name=finding.rule,
                    short_description=sarif.MultiformatMessageString(text=f"{finding.validator}: {finding.rule}"),
                    default_configuration=sarif.ReportingConfiguration(level=_SARIF_LEVEL.get(finding.severity, "warning")),
                    properties=properties(["security", finding.validator], **{"security-severity": _SECURITY_SEVERITY.get(finding.severity, "5.0")}),
                )
            text = finding.message + (f" ({finding.count} occurrences)" if finding.count > 1 else "")
            results.append(
                sarif.Result(
                    rule_id=rule_id,
                    rule_index=rule_index[rule_id],
                    level=_SARIF_LEVEL.get(finding.severity, "warning"),
                    message=sarif.Message(text=text),
                    locations=[location],
                    partial_fingerprints={"vesquorFinding/v1": f"{f.sha256 or f.path}:{rule_id}"},
                    properties=properties(kind=f.kind, severity=finding.severity, count=finding.count),
                )
            )
    notifications = [
        sarif.Notification(
            level="error",
            message=sarif.Message(text=f"{f.path}: {f.error}"),
            locations=[sarif.Location(physical_location=sarif.PhysicalLocation(artifact_location=sarif.ArtifactLocation(uri=_uri(f.path))))],
        )
        for f in report.files
        if f.status == ERROR
    ]
    invocation = sarif.Invocation(
        execution_successful=not notifications,
        exit_code=report.exit_code,
        tool_execution_notifications=notifications or None,
    )
    driver = sarif.ToolComponent(
        name="vesquor",
        version=report.version,
        semantic_version=report.version,
        rules=list(rules.values()),
    )
    log = sarif.SarifLog(
        version="2.1.0",
        schema_uri=SARIF_SCHEMA,
        runs=[sarif.Run(tool=sarif.Tool(driver=driver), invocations=[invocation], results=results)],
    )
    return to_json(log) + "\n"
