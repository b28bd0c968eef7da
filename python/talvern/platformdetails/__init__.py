"""Device-model detection and pattern-table classification.

The work is done by the C++ extension ``talvern.platformdetails.function_def``.
"""
