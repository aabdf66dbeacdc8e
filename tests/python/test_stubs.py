"""The type stubs of vesquor._native: same entries, members and signatures as the module, installed
with the package, and usable by a strict type checker."""

import ast
import importlib.resources
import importlib.util
import inspect
import re
import subprocess
import sys
import textwrap

import pytest
from test_binding import ALL


def stub_tree():
    return ast.parse((importlib.resources.files("vesquor") / "_native.pyi").read_text())


def stub_entries():
    """Top-level functions and classes of the stub, in file order: name -> node."""
    return {node.name: node for node in stub_tree().body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}


def signature_text(function, drop_self=False):
    """The signature a stub function declares, written as inspect writes it."""
    args = function.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + list(args.defaults)
    parts = [name if default is None else f"{name}={ast.literal_eval(default)!r}" for name, default in zip(names, defaults)]
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs), function.name
    return "(" + ", ".join(parts[1:] if drop_self else parts) + ")"


def module_signature_text(member):
    """A method's signature without its first parameter (a text signature's "$self" reads back as
    positional-only), written as inspect writes it."""
    parameters = list(inspect.signature(member).parameters.values())[1:]
    return str(inspect.Signature(parameters))


def members(cls_node):
    """Methods and properties a stub class declares: name -> (kind, node)."""
    out = {}
    for node in cls_node.body:
        if isinstance(node, ast.FunctionDef):
            is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
            out[node.name] = ("property" if is_property else "method", node)
    return out


def test_stub_lists_every_entry_in_registration_order():
    entries = stub_entries()
    assert list(entries) == [name for name, _ in ALL]
    for name, expected in ALL:  # built or not, each with the signature of the module's table
        node = entries[name]
        if isinstance(node, ast.FunctionDef):
            assert signature_text(node) == expected, name
        else:
            constructor = members(node).get("__init__")
            assert (constructor and signature_text(constructor[1], drop_self=True)) == expected, name


def test_stub_and_module_name_the_same_entries(native):
    entries = stub_entries()
    public = [name for name in vars(native) if not name.startswith("_")]
    assert public == [name for name in entries if hasattr(native, name)]
    assert any(isinstance(n, ast.AnnAssign) and n.target.id == "__version__" for n in stub_tree().body)


def test_stub_signatures_and_members_match_the_module(native):
    for name, node in stub_entries().items():
        if not hasattr(native, name):
            continue  # not built yet
        entry = getattr(native, name)
        if isinstance(node, ast.FunctionDef):
            assert signature_text(node) == str(inspect.signature(entry)), name
            continue
        declared = members(node)
        constructor = declared.pop("__init__", None)
        if entry.__text_signature__ is None:
            assert constructor is None, name
        else:
            assert signature_text(constructor[1], drop_self=True) == str(inspect.signature(entry)), name
        actual = {attr: member for attr, member in vars(entry).items() if not attr.startswith("__")}
        assert set(declared) == set(actual), name
        for attr, (kind, function) in declared.items():
            member = actual[attr]
            if kind == "property":
                assert inspect.isgetsetdescriptor(member), (name, attr)
            else:
                assert function.args.args[0].arg == "self", (name, attr)
                assert signature_text(function, drop_self=True) == module_signature_text(member), (name, attr)


def test_package_stub_names_what_the_package_exports():
    # __init__.py re-exports at run time; its stub must name the same things for a type checker.
    import vesquor

    tree = ast.parse((importlib.resources.files("vesquor") / "__init__.pyi").read_text())
    named = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.module == "vesquor._native" and node.names[0].name == "*":
            named |= set(stub_entries())
        elif isinstance(node, ast.ImportFrom):
            named |= {alias.asname for alias in node.names if alias.asname and not alias.asname.startswith("_")}
    assert named == set(vesquor.__all__) - {name for name, _ in ALL if not hasattr(vesquor, name)}


def test_every_stub_entry_has_a_one_line_docstring():
    tree = stub_tree()
    documented = [tree] + [n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
    for node in documented:
        doc = ast.get_docstring(node)
        assert doc and "\n" not in doc, getattr(node, "name", "module")


def test_stubs_are_installed_with_the_package():
    package = importlib.resources.files("vesquor")
    assert (package / "py.typed").is_file()
    assert (package / "_native.pyi").is_file()
    assert (package / "__init__.pyi").is_file()


GOOD = """
    import vesquor
    from vesquor import _native


    def scan(data: bytes) -> float:
        tokens = _native.validate_tokenizer_hygiene(data, 2, pattern_mode="strict")
        found: list[str] = tokens.hidden_tokens_found + tokens.shell_command_single_word_found
        mode: str = tokens.pattern_mode
        stream = vesquor.GGUFSafetyStreamingValidator(2)
        stream.process_chunk(data)
        gguf = stream.finalize()
        calls = vesquor.validate_tool_calling(data)
        per_chunk: dict[str, list[str]] = _native.ToolCallingStreamingValidator(1).process_chunk(data)
        points: int = calls.risk_score + len(per_chunk["dangerous_tools"]) + len(found) + len(mode)
        header = _native.SafeTensorsStreamingValidator(1)
        ok: bool = header.validate_header(data)
        metadata: dict[str, str] | None = header.finalize().metadata
        offsets: tuple[int, int] = _native.parse_safetensors_header(data)[0].data_offsets
        scanner = _native.PyParallelStreamingScanner(2)
        labels = [m.description for m in scanner.scan_chunk(data) + scanner.finalize()]
        total: int = vesquor.validate_buffer_overflow(data, 1).total_matches + scanner.num_groups
        assert ok and metadata is None and offsets and labels and points and total
        return gguf.risk_score + _native.validate_behavior_analysis(data, 1).risk_score
"""

BAD = """
    from vesquor import _native

    _native.validate_gguf_safety("text", 1)
    score: str = _native.validate_behavior_analysis(b"", 1).risk_score
    _native.GGUFSafetyStreamingValidator(1).reset()
    _native.validate_tokenizer_hygiene(b"", 1, None)
    _native.validate_buffer_overflow(b"")
    _native.validate_tool_calling(b"").risk_score = 3
"""
BAD_ERRORS = {(4, "arg-type"), (5, "assignment"), (6, "attr-defined"), (7, "arg-type"), (8, "call-arg"), (9, "misc")}


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_on_usage_samples(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--cache-dir", str(tmp_path / "cache"),
         "good.py", "bad.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    errors = re.findall(r"^(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", run.stdout, re.MULTILINE)
    assert [e for e in errors if e[0] == "good"] == [], run.stdout
    assert {(int(line), code) for file, line, code in errors if file == "bad"} == BAD_ERRORS, run.stdout
