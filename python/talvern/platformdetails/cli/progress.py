"""What a person at a terminal sees of a long run: a progress line on
standard error, shown only where it helps."""
from __future__ import annotations

import time

TYPE_CHECKING = False  # as in _cli: typing stays unimported
if TYPE_CHECKING:
    from typing import Callable, Optional, TextIO

PROGRESS_AFTER = 2.0  # seconds before a progress line is shown
PROGRESS_EVERY = 0.5


def is_terminal(stream: Optional[TextIO]) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty is not None and isatty())


class Progress:
    """A line on a terminal's standard error telling how far a long run is.

    Not shown when the answers themselves go to the terminal: they tell it.
    """

    def __init__(self, stream: TextIO, shown_output: bool,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.stream = stream if is_terminal(stream) and not shown_output else None
        self.clock = clock
        self.started = self.last = clock()
        self.shown = False

    def update(self, count: int) -> None:
        if self.stream is None:
            return
        now = self.clock()
        if now - self.started < PROGRESS_AFTER or now - self.last < PROGRESS_EVERY:
            return
        self.last = now
        self.stream.write("\r%d inputs, %.0f/s " % (count, count / (now - self.started)))
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        """Before another message, and at the end."""
        if self.shown and self.stream is not None:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
