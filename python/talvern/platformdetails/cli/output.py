"""Writing answers as they come, files' and devices' alike: each at once and
in order, its messages on standard error, counted for the summary and the
exit status."""
from __future__ import annotations

from .report import STATUS

# typing.TYPE_CHECKING without importing typing at run time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Dict, Optional, TextIO

    from .formats import Format
    from .answers import Outcome


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed pipe); status
    is that of the inputs answered before."""

    status = 0


def write(stream: TextIO, text: str) -> None:
    try:
        stream.write(text)
    except (OSError, ValueError) as exc:  # ValueError: the stream was closed
        raise OutputError(exc)


def flush(stream: TextIO) -> None:
    try:
        stream.flush()
    except (OSError, ValueError) as exc:
        raise OutputError(exc)


class Writer:
    """One run's output: its header, each outcome as it comes, its summary.
    An OutputError leaving here carries the status of what was written."""

    def __init__(self, form: Format, stdout: TextIO, stderr: TextIO, with_table: bool) -> None:
        self.form, self.stdout, self.stderr = form, stdout, stderr
        self.counts = {}  # type: Dict[str, int]
        self.kinds = {kind: 0 for kind in STATUS}
        self.status = self.total = 0
        self.shown_any = False
        self.out(form.header(with_table))

    def out(self, text: str, then_flush: bool = False) -> None:
        try:
            write(self.stdout, text)
            if then_flush:
                flush(self.stdout)
        except OutputError as exc:
            exc.status = self.status
            raise

    def take(self, outcome: Outcome, clear: Optional[Callable[[], None]] = None,
             then_flush: bool = False) -> None:
        """Counts and writes one outcome; clear() first takes a progress line
        off the terminal before a message goes to standard error."""
        self.total += 1
        self.kinds[outcome.kind] += 1
        self.status = max(self.status, STATUS[outcome.kind])
        if outcome.model is not None:
            self.counts[outcome.model] = self.counts.get(outcome.model, 0) + 1
        if outcome.messages:
            self.out("", then_flush=True)  # keep the order a person sees on a terminal
            if clear is not None:
                clear()
            try:
                self.stderr.write("".join(line + "\n" for line in outcome.messages))
                self.stderr.flush()
            except (OSError, ValueError):
                # Messages that cannot be written must not cost the other
                # inputs their answers; the status says something was lost.
                self.status = 2
        if outcome.output and self.shown_any:
            self.out(self.form.separator)
        self.shown_any = self.shown_any or bool(outcome.output)
        self.out(outcome.output, then_flush)

    def finish(self, summary: bool, failures: Optional[Dict[str, int]] = None) -> int:
        """Writes the summary if asked for; the run's exit status."""
        if summary:
            self.out((self.form.separator if self.shown_any else "")
                     + self.form.summary(self.counts, self.kinds, self.total, failures))
        self.out("", then_flush=True)
        return self.status
