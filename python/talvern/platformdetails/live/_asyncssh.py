"""asyncssh, the ``ssh`` extra, imported once for the whole live mode.

asyncssh and cryptography warn at import time about algorithms they will
drop; that is theirs to sort out, not the user's. Without the extra, the
ImportError says how to get it.
"""
import warnings

EXTRA = "pip install 'talvern-platformdetails[ssh]'"

try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import asyncssh
except ImportError as exc:
    raise ImportError("asking devices needs asyncssh: %s" % EXTRA, name="asyncssh") from exc

__all__ = ["EXTRA", "asyncssh"]
