"""The installed `vesquor` command, run in a subprocess over model folders written by the
libraries that write such files (see model_folder.py), with one attack planted per folder."""

from __future__ import annotations

import importlib.resources
import json
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import jsonschema
import pytest
from model_folder import ATTACKS, write_clean_folder

VESQUOR = Path(sys.executable).with_name("vesquor")
FIXTURES = Path(__file__).resolve().parents[1] / "fixtures"
README = Path(__file__).resolve().parents[2] / "README.md"


def run(*args, cwd=None, timeout=120, **kwargs):
    return subprocess.run([str(VESQUOR), *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=timeout, **kwargs)


@pytest.fixture(scope="session")
def report_schema():
    return json.loads((importlib.resources.files("vesquor") / "report.schema.json").read_text())


@pytest.fixture(scope="session")
def sarif_validator():
    schema = json.loads((FIXTURES / "sarif-schema-2.1.0.json").read_text())
    cls = jsonschema.validators.validator_for(schema)
    cls.check_schema(schema)
    return cls(schema)


@pytest.fixture(scope="session")
def clean(tmp_path_factory):
    return write_clean_folder(tmp_path_factory.mktemp("downloads") / "tiny-llama")


def clean_lines(text):
    return len(re.findall(r"  clean$", text, re.M))


def scan_all_formats(folder, report_schema, sarif_validator, *extra):
    """Runs the three formats; returns (text, json report, sarif log) after checking that the
    exit codes agree and both documents validate against their schemas."""
    paths = folder if isinstance(folder, list) else [folder]
    text = run("scan", *paths, *extra)
    as_json = run("scan", "--format", "json", *paths, *extra)
    as_sarif = run("scan", "--format", "sarif", *paths, *extra)
    assert text.returncode == as_json.returncode == as_sarif.returncode, (text.stderr, as_json.stderr, as_sarif.stderr)
    report = json.loads(as_json.stdout)
    jsonschema.validate(report, report_schema)
    log = json.loads(as_sarif.stdout)
    sarif_validator.validate(log)
    return text, report, log


def test_the_command_is_installed_and_runs_as_a_module():
    assert VESQUOR.is_file(), "pip install . puts the vesquor command beside the interpreter"
    as_module = subprocess.run([sys.executable, "-m", "vesquor", "--version"], capture_output=True, text=True)
    assert as_module.returncode == 0 and re.fullmatch(r"vesquor \d+\.\d+\.\d+\n", as_module.stdout)


def test_a_clean_model_folder_gives_no_finding_and_exit_0(clean, report_schema, sarif_validator):
    text, report, log = scan_all_formats(clean, report_schema, sarif_validator)
    assert text.returncode == 0, text.stdout + text.stderr
    assert report["summary"]["scanned"] == 8 and report["summary"]["clean"] == 8
    kinds = {Path(f["path"]).name: f["kind"] for f in report["files"]}
    assert kinds == {
        "config.json": "config",
        "model.gguf": "gguf",
        "model.safetensors": "safetensors",
        "rotary.py": "source",
        "special_tokens_map.json": "tokenizer_config",
        "tokenizer.json": "tokenizer_vocab",
        "tokenizer_config.json": "tokenizer_config",
        "tools.json": "config",
    }
    for f in report["files"]:
        assert f["findings"] == [] and f["status"] == "scanned"
        assert f["size"] == (clean / Path(f["path"]).name).stat().st_size
        assert f["validators"], f["path"]
    assert log["runs"][0]["results"] == []
    assert clean_lines(text.stdout) == 8 and text.stderr == ""


@pytest.mark.parametrize("attack", ATTACKS, ids=lambda a: a.name)
def test_each_planted_attack_is_reported_in_every_format(attack, clean, tmp_path, report_schema, sarif_validator):
    if not attack.available():
        pytest.skip(f"{attack.needs} is not in this build of the engine")
    folder = attack.build(clean, tmp_path / "tiny-llama")
    text, report, log = scan_all_formats(folder, report_schema, sarif_validator)
    assert text.returncode == 1, text.stdout + text.stderr

    (entry,) = [f for f in report["files"] if Path(f["path"]).name == attack.file]
    found = {(f["validator"], f["rule"]) for f in entry["findings"]}
    assert (attack.validator, attack.rule) in found
    # The other files stay clean: one planted file, one file reported.
    assert {Path(f["path"]).name for f in report["files"] if f["findings"]} == {attack.file}

    run_log = log["runs"][0]
    rules = run_log["tool"]["driver"]["rules"]
    rule_id = f"{attack.validator}/{attack.rule}"
    assert len({r["id"] for r in rules}) == len(rules)
    (result,) = [r for r in run_log["results"] if r["ruleId"] == rule_id]
    assert rules[result["ruleIndex"]]["id"] == rule_id
    assert result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"].endswith(attack.file)

    line = next(line for line in text.stdout.splitlines() if line.startswith(str(folder / attack.file)))
    assert "finding" in line
    assert attack.validator in text.stdout


def test_the_json_document_is_the_documented_one(clean, report_schema):
    # Every field of the report schema is named in the README's field list.
    readme = README.read_text()
    names = set(report_schema["properties"])
    for definition in report_schema["$defs"].values():
        names |= set(definition["properties"])
    missing = sorted(name for name in names if f"`{name}`" not in readme)
    assert not missing, f"README does not document {missing}"
    report = json.loads(run("scan", "-f", "json", clean / "model.safetensors").stdout)
    (entry,) = report["files"]
    assert re.fullmatch(r"[0-9a-f]{64}", entry["sha256"])
    import hashlib

    assert entry["sha256"] == hashlib.sha256((clean / "model.safetensors").read_bytes()).hexdigest()
    st = {v["name"]: v for v in entry["validators"]}["safetensors"]
    assert st["result"]["tensor_count"] == 3 and st["result"]["metadata"] == {"format": "pt"}


def test_validators_and_all_replace_the_policy(clean, tmp_path):
    one = json.loads(run("scan", "-f", "json", "--validators", "model_integrity", clean / "tokenizer.json").stdout)
    assert [v["name"] for v in one["files"][0]["validators"]] == ["model_integrity"]
    every = json.loads(run("scan", "-f", "json", "--all", clean / "rotary.py").stdout)
    names = [v["name"] for v in every["files"][0]["validators"] + [{"name": n} for n in every["files"][0]["unavailable"]]]
    assert "buffer_overflow" in names and "safetensors" not in names
    forced = json.loads(run("scan", "-f", "json", "--kind", "safetensors", clean / "config.json").stdout)
    assert forced["files"][0]["kind"] == "safetensors" and forced["summary"]["exit_code"] == 1


def test_output_file_and_fail_on(clean, tmp_path):
    folder = ATTACKS[5].build(clean, tmp_path / "m") if ATTACKS[5].available() else None
    if folder is None:
        pytest.skip("SupplyChainStreamingValidator is not in this build of the engine")
    out = tmp_path / "report.sarif"
    result = run("scan", "-f", "sarif", "-o", out, folder)
    assert result.returncode == 1 and result.stdout == ""
    assert json.loads(out.read_text())["version"] == "2.1.0"
    # os.system( is a high finding: only --fail-on above high would let it pass, and there is none.
    assert run("scan", "--fail-on", "high", folder).returncode == 1
    assert run("scan", "-q", clean).stdout.count("\n") == 1  # quiet: only the summary line


# ------------------------------------------------------------------------------------------------
# Bad input: one clear line for the path, the scan goes on, exit code 2.


def assert_error_line(result, path, reason):
    assert result.returncode == 2, result.stdout + result.stderr
    assert f"vesquor: {path}: {reason}" in result.stderr.splitlines(), result.stderr
    assert re.search(rf"^{re.escape(str(path))}\s+ERROR\s+{re.escape(reason)}", result.stdout, re.M), result.stdout
    assert "Traceback" not in result.stderr


def test_missing_path(clean, tmp_path, report_schema, sarif_validator):
    missing = tmp_path / "no-such-model"
    result = run("scan", missing, clean / "config.json")
    assert_error_line(result, missing, "no such file or directory")
    assert re.search(r"config\.json\s+config\s+.*clean", result.stdout)
    text, report, log = scan_all_formats([missing, clean / "config.json"], report_schema, sarif_validator)
    assert [f["status"] for f in report["files"]] == ["error", "scanned"]
    assert report["summary"]["exit_code"] == 2
    (notification,) = log["runs"][0]["invocations"][0]["toolExecutionNotifications"]
    assert notification["level"] == "error" and str(missing) in notification["message"]["text"]


def test_broken_symlink(clean, tmp_path):
    folder = tmp_path / "m"
    shutil.copytree(clean, folder)
    (folder / "weights.safetensors").symlink_to(tmp_path / "gone.safetensors")
    assert_error_line(run("scan", folder), folder / "weights.safetensors", f"broken symbolic link (to {tmp_path / 'gone.safetensors'})")


def test_fifo_is_refused_without_blocking(clean, tmp_path):
    folder = tmp_path / "m"
    shutil.copytree(clean, folder)
    os.mkfifo(folder / "pipe.bin")
    result = run("scan", folder, timeout=60)
    assert_error_line(result, folder / "pipe.bin", "not a regular file (a FIFO)")
    named = run("scan", folder / "pipe.bin", timeout=60)
    assert_error_line(named, folder / "pipe.bin", "not a regular file (a FIFO)")


def _without_dac_override():
    """Root reads any folder; drop the capabilities that let it, so permissions apply."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root without setpriv: folder permissions cannot be enforced")
    return [setpriv, "--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search"]


def test_directory_without_permission(clean, tmp_path):
    folder = tmp_path / "m"
    shutil.copytree(clean, folder)
    locked = folder / "locked"
    locked.mkdir()
    (locked / "model.safetensors").write_bytes(b"")
    locked.chmod(0)
    try:
        command = _without_dac_override() + [str(VESQUOR), "scan", str(folder)]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    finally:
        locked.chmod(0o755)
    assert_error_line(result, locked, "cannot list directory: Permission denied")
    assert clean_lines(result.stdout) == 8


def test_symlinks_are_not_followed_out_of_the_folder_unless_asked(clean, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "payload.bin").write_bytes(b"MZ\x90\x00" + b"\x01" * 100)
    folder = tmp_path / "m"
    shutil.copytree(clean, folder)
    (folder / "extra.bin").symlink_to(outside / "payload.bin")
    (folder / "alias.json").symlink_to(folder / "config.json")

    kept_in = json.loads(run("scan", "-f", "json", folder).stdout)
    entries = {Path(f["path"]).name: f for f in kept_in["files"]}
    assert entries["extra.bin"]["status"] == "skipped"
    assert [f["rule"] for f in entries["extra.bin"]["findings"]] == ["symlink:outside_folder"]
    assert entries["alias.json"]["status"] == "scanned"  # inside the folder: followed
    assert kept_in["summary"]["exit_code"] == 1

    followed = json.loads(run("scan", "-f", "json", "--follow-symlinks", folder).stdout)
    entry = {Path(f["path"]).name: f for f in followed["files"]}["extra.bin"]
    assert entry["status"] == "scanned"
    assert [f["rule"] for f in entry["findings"]] == ["executable:pe"]


# ------------------------------------------------------------------------------------------------
# Exit codes 3 and 4, progress.


@pytest.mark.parametrize(
    "args, message",
    [
        (["scan"], "the following arguments are required: PATH"),
        (["scan", "--validators", "nope", "."], "unknown validator 'nope'"),
        (["scan", "--chunk-size", "0", "."], "chunk size must be between"),
        (["scan", "--chunk-size", "lots", "."], "not a size: 'lots'"),
        (["scan", "--num-cores", "0", "."], "must be at least 1"),
        (["scan", "--format", "xml", "."], "invalid choice: 'xml'"),
        (["scan", "-o", "/no/such/folder/report.json", "."], "cannot write the report to /no/such/folder/report.json"),
        ([], "usage: vesquor"),
    ],
)
def test_usage_errors_exit_4(args, message, tmp_path):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 4, result.stderr
    assert message in result.stderr
    assert "Traceback" not in result.stderr


def test_nothing_scannable_exits_3(tmp_path):
    (tmp_path / "empty" / ".git").mkdir(parents=True)
    (tmp_path / "empty" / ".git" / "HEAD").write_text("ref: refs/heads/main\n")
    result = run("scan", tmp_path / "empty")
    assert result.returncode == 3, result.stdout
    assert "skipped" in result.stdout


def progress_output(args):
    """Runs vesquor with standard error on a terminal; returns what the terminal showed."""
    leader, follower = pty.openpty()
    try:
        process = subprocess.Popen([str(VESQUOR), *map(str, args)], stdout=subprocess.DEVNULL, stderr=follower)
        os.close(follower)
        chunks = []
        while True:
            try:
                data = os.read(leader, 4096)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        process.wait(timeout=60)
    finally:
        os.close(leader)
    return b"".join(chunks).decode(errors="replace"), process.returncode


def test_progress_bar_only_on_a_terminal_and_not_when_quiet(clean):
    shown, code = progress_output(["scan", clean])
    assert code == 0
    assert re.search(r"\d+/8 ", shown) and "B/s" in shown, shown
    quiet, _ = progress_output(["scan", "--quiet", clean])
    assert quiet == ""
    assert run("scan", clean).stderr == ""  # not a terminal: silent


# ------------------------------------------------------------------------------------------------
# Large files: memory stays bounded by the chunk size.


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.slow
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer keeps freed memory in quarantine: the peak is its own")
def test_a_6_gib_file_scans_in_bounded_memory(tmp_path):
    size = 6 << 30
    header = json.dumps({"w": {"dtype": "U8", "shape": [size - 1024], "data_offsets": [0, size - 1024]}}).encode()
    header += b" " * (1024 - 8 - len(header))
    path = tmp_path / "big.safetensors"
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(header)) + header)
        f.truncate(size)  # sparse: reads as zeros, takes no disk
    out, err = tmp_path / "report.json", tmp_path / "stderr.txt"
    # The command's own peak, from the kernel's high-water mark of its memory (VmHWM), read as it
    # exits: the rusage of a child starts at its parent's size at the fork, which in a long test
    # session is the size of pytest, not of the scan.
    run_and_report_peak = (
        "import atexit, sys\n"
        "from vesquor.cli import main\n"
        "report_to = sys.argv[1]\n"
        "def peak():\n"
        "    line = next(l for l in open('/proc/self/status') if l.startswith('VmHWM:'))\n"
        "    open(report_to, 'w').write(line.split()[1])\n"
        "atexit.register(peak)\n"
        "sys.exit(main(sys.argv[2:]))\n"
    )
    peak_file = tmp_path / "peak_kib"
    started = time.perf_counter()
    with open(out, "wb") as stdout, open(err, "wb") as stderr:
        process = subprocess.run([sys.executable, "-c", run_and_report_peak, str(peak_file), "scan", "--format",
                                  "json", str(path)], stdout=stdout, stderr=stderr)
    elapsed = time.perf_counter() - started
    assert process.returncode == 0, err.read_text()
    report = json.loads(out.read_text())
    assert report["files"][0]["size"] == size and report["summary"]["exit_code"] == 0
    peak = int(peak_file.read_text()) * 1024
    print(f"\n6 GiB sparse SafeTensors: {elapsed:.2f} s, {size / elapsed / 1e9:.2f} GB/s, peak RSS {peak / 2**20:.0f} MiB")
    assert peak < 200 * 2**20
