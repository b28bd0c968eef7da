"""The live mode: asking devices over SSH for their version text.

Needs the ``ssh`` extra (asyncssh); this is the only part of the package
that imports it.
"""
from ._asyncssh import asyncssh  # noqa: F401  (the extra, or an ImportError naming it)
