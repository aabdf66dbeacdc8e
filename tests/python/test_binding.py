"""The module's Python surface: registration, signatures, argument conversion and errors."""

import inspect
import subprocess
import sys
import textwrap

import pytest

# Every entry of the module in registration order: functions, then classes. Entries arrive as the
# validators are built; what is present must keep this order and these signatures.
FUNCTIONS = [
    ("validate_safetensors", "(data)"),
    ("parse_safetensors_header", "(data)"),
    ("is_safetensors", "(data)"),
    ("validate_model_integrity", "(data)"),
    ("validate_tool_calling", "(data, num_cores=1)"),
    ("validate_buffer_overflow", "(data, num_threads)"),
    ("validate_supply_chain", "(data, num_threads)"),
    ("validate_behavior_analysis", "(data, num_cores)"),
    ("validate_tokenizer_hygiene", "(data, num_cores, pattern_mode='vocab_heavy')"),
    ("validate_gguf_safety", "(data, num_cores)"),
]
CLASSES = [
    ("SafeTensorsValidation", None),
    ("TensorInfo", None),
    ("SafeTensorsStreamingValidator", "(num_cores)"),
    ("ModelIntegrityStreamingValidator", "(num_cores)"),
    ("ModelIntegrityValidation", "()"),
    ("ToolCallingStreamingValidator", "(num_cores)"),
    ("ToolCallingValidation", None),
    ("BufferOverflowStreamingValidator", "(num_cores)"),
    ("BufferOverflowValidation", None),
    ("SupplyChainStreamingValidator", "(num_cores)"),
    ("SupplyChainValidation", None),
    ("BehaviorAnalysisStreamingValidator", "(num_cores)"),
    ("BehaviorAnalysisValidation", None),
    ("TokenizerHygieneStreamingValidator", "(num_cores, pattern_mode='vocab_heavy')"),
    ("TokenizerHygieneValidation", None),
    ("GGUFSafetyStreamingValidator", "(num_cores)"),
    ("GGUFSafetyValidation", None),
    ("PyParallelStreamingScanner", "(num_groups)"),
    ("PyPatternMatch", None),
]
ALL = FUNCTIONS + CLASSES


def present(native):
    return [(name, sig) for name, sig in ALL if hasattr(native, name)]


def test_version_and_docstring(native):
    assert native.__version__ == "0.1.0"
    assert native.__name__ == "vesquor._native"
    assert native.__doc__ and native.__doc__.strip().endswith(".")


def test_registration_order(native):
    public = [name for name in vars(native) if not name.startswith("_")]
    assert public == [name for name, _ in present(native)]
    assert "validate_model_integrity" in public and "ModelIntegrityValidation" in public


def test_every_entry_is_registered(native):
    # The whole table, 10 functions and 19 classes, in registration order.
    public = [name for name in vars(native) if not name.startswith("_")]
    assert public == [name for name, _ in ALL]
    assert not any(isinstance(getattr(native, name), type) for name, _ in FUNCTIONS)
    assert all(isinstance(getattr(native, name), type) for name, _ in CLASSES)


def test_signatures(native):
    for name, expected in present(native):
        entry = getattr(native, name)
        if expected is None:
            assert entry.__text_signature__ is None, name
            assert entry.__doc__ and not entry.__doc__.startswith(name + "("), name
        else:
            assert str(inspect.signature(entry)) == expected, name
            parameters = inspect.signature(entry).parameters.values()
            assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters), name


def test_method_signatures_include_self(native):
    for name, _ in present(native):
        cls = getattr(native, name)
        if not isinstance(cls, type):
            continue
        for attribute, member in vars(cls).items():
            if callable(member) and not attribute.startswith("__"):
                assert member.__text_signature__.startswith("($self"), (name, attribute)


CALL_ERRORS = [
    # name                    call                                                   error and message
    ("missing",              lambda n: n.validate_model_integrity(),
     TypeError, "validate_model_integrity() missing 1 required positional argument: 'data'"),
    ("surplus",              lambda n: n.validate_model_integrity(b"", b""),
     TypeError, "validate_model_integrity() takes 1 positional argument but 2 were given"),
    ("duplicated",           lambda n: n.validate_model_integrity(b"", data=b""),
     TypeError, "validate_model_integrity() got multiple values for argument 'data'"),
    ("unexpected_keyword",   lambda n: n.validate_model_integrity(b"", chunk=b""),
     TypeError, "validate_model_integrity() got an unexpected keyword argument 'chunk'"),
    ("keyword_works",        lambda n: n.validate_model_integrity(data=b"").is_valid and None,
     None, None),
    ("bytearray",            lambda n: n.validate_model_integrity(bytearray(b"x")),
     TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("memoryview",           lambda n: n.validate_model_integrity(memoryview(b"x")),
     TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("str",                  lambda n: n.validate_model_integrity("x"),
     TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    ("none",                 lambda n: n.validate_model_integrity(None),
     TypeError, "argument 'data': 'NoneType' object cannot be converted to 'PyBytes'"),
    ("constructor_surplus",  lambda n: n.ModelIntegrityValidation(1),
     TypeError, "ModelIntegrityValidation.__new__() takes 1 positional argument but 2 were given"),
    ("constructor_keyword",  lambda n: n.ModelIntegrityValidation(x=1),
     TypeError, "ModelIntegrityValidation.__new__() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call,error,message", [c[1:] for c in CALL_ERRORS], ids=[c[0] for c in CALL_ERRORS])
def test_call_errors(native, call, error, message):
    if error is None:
        assert call(native) is None
        return
    with pytest.raises(error) as caught:
        call(native)
    assert str(caught.value) == message


def test_classes_are_final_and_immutable(native):
    cls = native.ModelIntegrityValidation
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.is_valid = None


def test_panic_is_a_base_exception(engine):
    for kind, message in [("bad_alloc", "memory allocation failed"), ("broken invariant", "broken invariant")]:
        with pytest.raises(BaseException) as caught:
            engine.throw_native(kind)
        panic = type(caught.value)
        assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
        assert not issubclass(panic, Exception)
        assert str(caught.value) == message


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_second_import_returns_the_same_module():
    result = run_python(
        """
        import importlib, sys
        import vesquor._native as first
        del sys.modules["vesquor._native"]
        import vesquor._native as second
        assert first is second
        assert importlib.reload(second) is second
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_sub_interpreter_import_is_refused():
    result = run_python(
        """
        import _testcapi
        import vesquor._native
        assert _testcapi.run_in_subinterp("import vesquor._native") == -1
        print("refused")
        """
    )
    assert result.stdout.strip() == "refused", result.stderr
    assert "ImportError: vesquor._native cannot be imported in a sub-interpreter" in result.stderr


def test_nothing_is_built_at_import():
    # The shared scanner and the pool start on first use: importing is cheap and side-effect free.
    result = run_python(
        """
        import threading
        import vesquor._native
        print(threading.active_count())
        """
    )
    assert result.stdout.strip() == "1", result.stderr
