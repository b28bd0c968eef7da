"""What a call prints on standard output, caught for that call alone.

The module's ``print`` is the built-in one, which looks ``sys.stdout`` up at
each call, so standard output is the only place its lines can be caught.
``sys.stdout`` is process-wide: swapping it for a buffer would catch every
thread's output and lose it. Instead, while at least one capture is open, a
router sits in ``sys.stdout``. It sends what is written from a thread and
context (an asyncio task, a greenlet) with an open capture into that
capture, and everything else to the object it found there, unchanged and in
order. When the last capture closes, the router is taken out again, but
only if it is still ``sys.stdout``: a stream that other code put there
meanwhile is kept. The router is one object for the life of the process,
still forwarding after it has left ``sys.stdout`` (see ``_router``).

What stays shared: the router wraps whatever replaced it during calls, so a
replacement made and undone in another thread while calls run (a
``contextlib.redirect_stdout`` there, which puts back the router it saw)
leaves the router wrapping that thread's stream, and the last call to
close puts that stream in ``sys.stdout``. Telling it apart would take a
router per replacement, each kept for the life of the process.

Nothing here is specific to the detectors: the command's pattern-table calls
use the same capture.
"""
import contextvars
import sys
import threading
from typing import Any, List, Optional, Tuple


class Capture:
    """The lines one call prints; made by ``open_capture``."""

    __slots__ = ("thread", "pieces", "open", "token")

    def __init__(self) -> None:
        self.thread = threading.get_ident()
        self.pieces = []  # type: List[str]
        self.open = True
        self.token = None  # type: Optional[contextvars.Token[Optional[Capture]]]

    def take(self) -> Tuple[str, ...]:
        """The lines written since the last take, split on ``\\n`` only (a
        ``\\r``, ``\\v``, ``\\f`` or U+2028 stays inside its line); a last
        line without ``\\n`` counts too."""
        if not self.pieces:
            return ()
        text = "".join(self.pieces)
        del self.pieces[:]
        lines = text.split("\n")
        if not lines[-1]:
            lines.pop()
        return tuple(lines)


# The capture of the running context, if any. A context copied into another
# thread (asyncio.to_thread, or threads that inherit their starter's context)
# or into a task that outlives the call must not write into it: Capture
# records its thread and whether it is still open.
_current = contextvars.ContextVar("talvern_platformdetails_capture",
                                  default=None)  # type: contextvars.ContextVar[Optional[Capture]]
_lock = threading.Lock()
_open_count = 0


class _Router:
    """Stands in ``sys.stdout`` while captures are open; see the module's
    docstring. Anything but writing is the wrapped stream's."""

    # Also the value of an instance made without __init__ (a copy.copy):
    # __getattr__ then finds it here instead of calling itself for it.
    _target = None  # type: Any

    def write(self, text: str) -> int:
        capture = _current.get()
        if capture is not None and capture.open and capture.thread == threading.get_ident():
            capture.pieces.append(text)
            return len(text)
        target = self._target
        if target is None:  # no standard output (pythonw): print writes nowhere
            return len(text)
        return target.write(text)  # type: ignore[no-any-return]

    def writelines(self, lines: Any) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        capture = _current.get()
        if capture is not None and capture.open and capture.thread == threading.get_ident():
            return
        flush = getattr(self._target, "flush", None)
        if flush is not None:
            flush()

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):  # copy and pickle ask for hooks: the stream's are not ours
            raise AttributeError(name)
        return getattr(self._target, name)


# The one router, never freed. print() keeps using the sys.stdout it looked
# up, without a reference of its own, until it has written its end: a router
# freed when the last capture closed left another thread's print writing
# through freed memory (a crash, or a RecursionError). Being the only one, it
# never wraps a router either.
_router = _Router()


def _route() -> None:
    """Puts the router in sys.stdout, wrapping what is there, unless it is
    there already. Called with _lock held."""
    current = sys.stdout
    if current is _router:
        return
    if isinstance(current, _Router):  # a copy of the router: wrap what it wraps
        current = current._target
    _router._target = current
    sys.stdout = _router


def open_capture() -> Capture:
    """Starts catching what this thread and context print on standard output.

    Every ``open_capture`` needs its ``close_capture``, in a ``finally``.
    """
    global _open_count
    capture = Capture()
    with _lock:
        _open_count += 1
        _route()
    capture.token = _current.set(capture)
    return capture


def reroute() -> None:
    """Puts the router back when other code has replaced sys.stdout since
    the capture opened, so later lines are caught again. Cheap when nothing
    changed: call it before each call whose output is to be caught."""
    if sys.stdout is not _router:
        with _lock:
            if _open_count:
                _route()


def close_capture(capture: Capture) -> None:
    """Stops the capture; the last one to close takes the router out of
    sys.stdout, if it is still there, and puts back the stream it wraps."""
    global _open_count
    capture.open = False
    token, capture.token = capture.token, None
    if token is not None:
        try:
            _current.reset(token)
        except ValueError:  # closed from another context: nothing of ours is set there
            pass
    with _lock:
        _open_count -= 1
        current = sys.stdout
        if _open_count == 0 and isinstance(current, _Router):
            # Also the router that other code saved during a call and put
            # back after we had taken it out: it only forwards. It keeps its
            # stream, for a print that may still be writing through it.
            sys.stdout = current._target
