"""What a person at a terminal sees of a long run: a progress line on
standard error, shown only where it helps."""
from __future__ import annotations

import time

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Callable, Optional, TextIO

PROGRESS_AFTER = 2.0  # seconds before a progress line is shown
PROGRESS_EVERY = 0.5


def is_terminal(stream: Any) -> bool:
    """Whether a stream of ours (standard input, output or error) is a terminal."""
    isatty = getattr(stream, "isatty", None)
    return bool(isatty is not None and isatty())


class Progress:
    """A line on a terminal's standard error telling how far a long run is.
    Where the answers go to that terminal too, it is taken off before each
    one is written, and drawn again after."""

    def __init__(self, stream: TextIO, output_is_terminal: bool,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.stream = stream if is_terminal(stream) else None
        self.shared = output_is_terminal
        self.clock = clock
        self.started = self.last = clock()
        self.shown = False

    def update(self, done: int, total: Optional[int] = None, failed: int = 0) -> None:
        """done inputs so far; for devices, of total, and how many failed."""
        if self.stream is None:
            return
        now = self.clock()
        if now - self.started < PROGRESS_AFTER or now - self.last < PROGRESS_EVERY:
            return
        self.last = now
        rate = done / (now - self.started)
        if total is None:
            line = "%d inputs, %.0f/s " % (done, rate)
        else:
            line = "%d/%d devices, %d failed, %.0f/s " % (done, total, failed, rate)
        self.stream.write("\r" + line)
        self.stream.flush()
        self.shown = True

    def before_output(self) -> None:
        if self.shared:
            self.clear()

    def clear(self) -> None:
        """Before another message, and at the end."""
        if self.shown and self.stream is not None:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
