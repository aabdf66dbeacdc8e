"""vesquor: a fast native scanner for machine-learning model files."""

# The runtime module re-exports the engine's names dynamically, which a type checker cannot
# follow; this stub names the same things statically. Keep it in step with __init__.py's
# __all__ (tests/python/test_stubs.py compares the two).
from vesquor import _native as _native
from vesquor._native import *

__version__: str
__all__: list[str]
