"""Writing answers as they come, files' and devices' alike: each rendered
in the run's format at once and in order, its messages on standard error,
counted for the summary and the exit status."""
from __future__ import annotations

from .escape import escape
from .report import STATUS

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Dict, Optional, TextIO

    from .answers import Message, Outcome
    from .formats import Format
    from .progress import Progress

#: How each kind of message is said, after the program's name; the name and
#: the detail come from an input, and are shown escaped.
MESSAGES = {
    "warning": "warning: {name} {detail}",
    "binary": "{name}: binary file, skipped",
    "unreadable": "cannot read {name}: {detail}",
    "error": "{name}: {detail}",
    "not saved": "warning: cannot save {name}: {detail}",
    "not removed": "warning: cannot remove the last capture of {name}: {detail}",
}


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed pipe); status
    is that of the inputs answered before."""

    status = 0


def say(prog: str, message: Message) -> str:
    """One message as a line for standard error."""
    what, name, detail = message
    return "%s: %s\n" % (prog, MESSAGES[what].format(name=escape(name), detail=escape(detail)))


class Writer:
    """One run's output: its header, each outcome as it comes, its summary.
    An OutputError leaving here carries the status of what was written."""

    def __init__(self, form: Format, stdout: TextIO, stderr: TextIO, prog: str, with_table: bool) -> None:
        self.form, self.stdout, self.stderr, self.prog = form, stdout, stderr, prog
        self.counts = {}  # type: Dict[str, int]
        self.kinds = {kind: 0 for kind in STATUS}
        self.status = self.total = 0
        self.shown_any = False
        self.out(form.header(with_table))

    def out(self, text: str, then_flush: bool = False) -> None:
        try:
            self.stdout.write(text)
            if then_flush:
                self.stdout.flush()
        except (OSError, ValueError) as exc:  # ValueError: the stream was closed
            error = OutputError(exc)
            error.status = self.status
            raise error

    def flush(self) -> None:
        self.out("", then_flush=True)

    def take(self, outcome: Outcome, progress: Optional[Progress] = None, then_flush: bool = False) -> None:
        """Counts and writes one outcome, taking a progress line off the
        terminal first where it is in the way."""
        self.total += 1
        self.kinds[outcome.kind] += 1
        self.status = max(self.status, STATUS[outcome.kind])
        model = outcome.entry["model"]
        if model is not None:
            self.counts[model] = self.counts.get(model, 0) + 1
        if outcome.messages:
            self.flush()  # keep the order a person sees on a terminal
            if progress is not None:
                progress.clear()
            try:
                self.stderr.write("".join(say(self.prog, message) for message in outcome.messages))
                self.stderr.flush()
            except (OSError, ValueError):
                # Messages that cannot be written must not cost the other
                # inputs their answers; the status says something was lost.
                self.status = 2
        output = self.form.entry(outcome.entry)
        if output and progress is not None:
            progress.before_output()
        if output and self.shown_any:
            self.out(self.form.separator)
        self.shown_any = self.shown_any or bool(output)
        self.out(output, then_flush)

    def finish(self, summary: bool, failures: Optional[Dict[str, int]] = None) -> int:
        """Writes the summary if asked for; the run's exit status."""
        if summary:
            self.out((self.form.separator if self.shown_any else "")
                     + self.form.summary(self.counts, self.kinds, self.total, failures))
        self.flush()
        return self.status
