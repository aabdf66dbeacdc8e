"""vesquor: a fast native scanner for machine-learning model files.

The engine lives in :mod:`vesquor._native`; everything it exports is re-exported here.
"""

from vesquor import _native
from vesquor._native import (  # noqa: F401
    ModelIntegrityValidation,
    validate_model_integrity,
)

__version__ = _native.__version__

__all__ = [
    "ModelIntegrityValidation",
    "validate_model_integrity",
]
