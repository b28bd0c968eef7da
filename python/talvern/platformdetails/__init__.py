"""Device-model detection and pattern-table classification.

The work is done by the C++ extension ``talvern.platformdetails.function_def``;
``detect`` asks its five detectors at once and gives one answer.
"""
from ._detect import DETECTORS, Claim, Detection, LineTooLong, detect

__all__ = ["DETECTORS", "Claim", "Detection", "LineTooLong", "detect", "__version__"]

# The one place the version is written: the build reads it from here into
# the distribution's metadata.
__version__ = "0.1.0"
