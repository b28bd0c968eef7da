"""Device-model detection and pattern-table classification.

The work is done by the C++ extension ``talvern.platformdetails.function_def``.
"""

# The one place the version is written: the build reads it from here into
# the distribution's metadata.
__version__ = "0.1.0"
