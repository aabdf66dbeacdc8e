"""vesquor: a fast native scanner for machine-learning model files.

The engine lives in :mod:`vesquor._native`; every function and class it exports is re-exported
here under the same name (``vesquor.validate_safetensors`` is ``vesquor._native.validate_safetensors``).
"""

from vesquor import _native

__version__ = _native.__version__

# The engine's public names, in its registration order: functions first, then classes.
__all__ = [name for name in vars(_native) if not name.startswith("_")]
globals().update({name: getattr(_native, name) for name in __all__})

# The scanner around the engine: file kinds, policy, streaming and reports (all file I/O lives in
# these modules, none in the engine).
from vesquor.report import FileReport, Finding, ScanReport, ValidatorResult  # noqa: E402
from vesquor.scan import DEFAULT_CHUNK_SIZE, DEFAULT_NUM_CORES, scan_bytes, scan_file, scan_path  # noqa: E402

__all__ += [
    "scan_path",
    "scan_file",
    "scan_bytes",
    "ScanReport",
    "FileReport",
    "ValidatorResult",
    "Finding",
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_NUM_CORES",
]
