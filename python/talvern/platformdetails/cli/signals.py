"""How the command stops early: SIGTERM and SIGHUP end it as Ctrl-C does,
at once, with what was answered written out first (finally blocks run),
and with 128 plus the signal's number as its status."""
from __future__ import annotations

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Dict


class Stopped(BaseException):
    """Raised in the main thread by SIGTERM or SIGHUP; like KeyboardInterrupt
    not an Exception, so no handler on the way takes it for an error."""

    def __init__(self, signum: int) -> None:
        BaseException.__init__(self, signum)
        self.signum = signum


def _stop(signum: int, frame: Any) -> None:
    raise Stopped(signum)


def handle_stop_signals() -> Dict[int, Any]:
    """Turns SIGTERM and SIGHUP into Stopped; returns the handlers replaced."""
    # The core of signal: the module around it makes enums when imported,
    # which would cost every run 0.7 ms on CPython 3.7.
    signal = __import__("_signal")
    saved = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        saved[signum] = signal.signal(signum, _stop)
    return saved
