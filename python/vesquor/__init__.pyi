"""vesquor: a fast native scanner for machine-learning model files."""

# The runtime module re-exports the engine's names dynamically, which a type checker cannot
# follow; this stub names the same things statically. Keep it in step with __init__.py's
# __all__ (tests/python/test_stubs.py compares the two).
from vesquor import _native as _native
from vesquor._native import *
from vesquor.report import FileReport as FileReport
from vesquor.report import Finding as Finding
from vesquor.report import ScanReport as ScanReport
from vesquor.report import ValidatorResult as ValidatorResult
from vesquor.scan import DEFAULT_CHUNK_SIZE as DEFAULT_CHUNK_SIZE
from vesquor.scan import DEFAULT_NUM_CORES as DEFAULT_NUM_CORES
from vesquor.scan import scan_bytes as scan_bytes
from vesquor.scan import scan_file as scan_file
from vesquor.scan import scan_path as scan_path

__version__: str
__all__: list[str]
