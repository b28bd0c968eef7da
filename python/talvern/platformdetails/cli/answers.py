"""The inputs as tasks, and their answers: here for a small run, in worker
processes for a fleet.

Each task's answer is made by answer(): read, decode, report, format. The
options travel with the function handed to the workers (a partial), so no
module state is set in them; the workers (_pool, with multiprocessing) are
imported only when they start.
"""
from __future__ import annotations

import itertools
import os
import sys
import time

from .escape import escape
from .inputs import MAX_SIZE, BinaryInput, TooLarge, decode, read_bounded, read_file, shown_size, walk
from .report import describe_exception, kind, report

TYPE_CHECKING = False  # as in _cli: typing stays unimported
if TYPE_CHECKING:
    from typing import Callable, Generator, Iterator, Optional, Sequence, TextIO, Tuple

    from .formats import Format
    from .tables import Table

# A serial run switches to worker processes after this many inputs or this
# many seconds, whichever comes first: starting workers costs tens of
# milliseconds, which a smaller run would not win back.
SERIAL_INPUTS = 1000
SERIAL_SECONDS = 0.1
TIMEOUT = 60.0  # seconds an input may take by default: a normal one takes milliseconds


# Plain classes rather than typing.NamedTuple: importing typing and making
# a named tuple would cost a run that answers one file more than its answer.


class Options:
    """What every answer is made with; sent to the workers with each chunk."""

    __slots__ = ("format", "table", "explain", "prog", "max_line_length", "max_size")

    def __init__(self, format: Format, table: Optional[Table], explain: bool, prog: str,
                 max_line_length: Optional[int] = None, max_size: int = MAX_SIZE) -> None:
        self.format, self.table, self.explain, self.prog = format, table, explain, prog
        self.max_line_length = max_line_length  # None: no limit
        self.max_size = max_size


class Task:
    """One input: its name as reported (exactly: escaped only when shown),
    and where its bytes come from: a path (walked: found in a folder), the
    bytes of standard input, or an error."""

    __slots__ = ("shown", "path", "data", "error", "walked")

    def __init__(self, shown: str, path: Optional[str], data: Optional[bytes], error: Optional[str],
                 walked: bool = False) -> None:
        self.shown, self.path, self.data, self.error = shown, path, data, error
        self.walked = walked


class Outcome:
    """One input's answer, already formatted, so a worker does the work."""

    __slots__ = ("kind", "model", "output", "messages")

    def __init__(self, kind: str, model: Optional[str], output: str, messages: Tuple[str, ...]) -> None:
        self.kind, self.model, self.output, self.messages = kind, model, output, messages


def too_large(limit: int) -> str:
    return "larger than --max-size %s" % shown_size(limit)


def tasks(names: Sequence[str], stdin: Optional[TextIO], max_size: int = MAX_SIZE) -> Iterator[Task]:
    """The inputs, one at a time, folders walked as they are reached."""
    for name in names:
        if name == "-":
            try:
                if stdin is None:
                    raise OSError("standard input is closed")
                if hasattr(stdin, "buffer"):
                    data = read_bounded(stdin.buffer.read, max_size)
                else:
                    data = stdin.read().encode("utf-8")
            except OSError as exc:
                yield Task("<stdin>", None, None, str(exc.strerror or exc))
                continue
            except TooLarge:
                yield Task("<stdin>", None, None, too_large(max_size))
                continue
            except MemoryError:
                yield Task("<stdin>", None, None, "out of memory")
                continue
            yield Task("<stdin>", None, data, None)
        elif os.path.isdir(name):
            for path, error in walk(name):
                yield Task(path, path, None, None if error is None else str(error.strerror or error), True)
        else:
            yield Task(name, name, None, None)


def read(task: Task, max_size: int = MAX_SIZE) -> Tuple[Optional[str], Optional[str], Optional[str], Optional[str]]:
    """(text, warning, error, message) of one input: the text, or why it
    cannot be answered for the entry and as a line for standard error.
    Never raises: whatever goes wrong with one input is that input's error."""
    reason = task.error
    if reason is None:
        try:
            if task.data is not None:
                data = task.data
            else:
                assert task.path is not None
                data = read_file(task.path, max_size, task.walked)
            text, warning = decode(data)
            return text, warning, None, None
        except OSError as exc:
            reason = str(exc.strerror or exc)
        except BinaryInput:
            return None, None, "binary file", "%s: binary file, skipped" % escape(task.shown)
        except TooLarge:
            reason = too_large(max_size)
        except MemoryError:
            reason = "out of memory"
        except Exception as exc:  # a fault of ours must not lose the other inputs
            reason = "failed: %s" % describe_exception(exc)
    return None, None, "cannot read: " + reason, "cannot read %s: %s" % (escape(task.shown), escape(reason))


def answer(options: Options, task: Task) -> Outcome:
    """Reads, decodes, detects and formats one input; never raises."""
    text, warning, error, message = read(task, options.max_size)
    messages = ()  # type: Tuple[str, ...]
    if warning is not None:
        messages = ("%s: warning: %s %s" % (options.prog, escape(task.shown), warning),)
    try:
        entry, detection = report(task.shown, text, options.table, options.explain, error,
                                  options.max_line_length)
    except Exception as exc:  # a fault of ours must not lose the other inputs
        error = "failed: %s" % describe_exception(exc)
        message = "%s: %s" % (escape(task.shown), escape(error))
        entry, detection = report(task.shown, None, options.table, options.explain, error)
    if message is None and entry["error"]:
        message = "%s: %s" % (escape(task.shown), escape(entry["error"]))
    if message is not None:
        messages += ("%s: %s" % (options.prog, message),)
    return Outcome(kind(entry, detection), detection.model if detection is not None else None,
                   options.format.entry(entry, detection), messages)


def default_jobs() -> int:
    affinity = getattr(os, "sched_getaffinity", None)
    if affinity is not None:
        return max(1, len(affinity(0)))
    return os.cpu_count() or 1


class NotAnswered(BaseException):
    """Raised by the alarm into an answer past its time limit; not an
    Exception, so that no handler on the way catches it."""


class Alarm:
    """A time limit on an answer made in this process.

    The regex engine heeds pending signals while it matches, so SIGALRM
    stops even a pattern that backtracks for minutes. The timer repeats
    until the answer stops, in case some code on the way swallows the first.
    """

    def __init__(self, seconds: float) -> None:
        # The core of signal: the module around it makes enums when imported,
        # which costs a one-file run 0.7 ms on CPython 3.7.
        signal = __import__("_signal")
        self.seconds, self.armed, self.signal = seconds, False, signal
        # ValueError outside the main thread: answers() uses a worker instead.
        self.saved = signal.signal(signal.SIGALRM, self.ring)

    def ring(self, signum: int, frame: object) -> None:
        if self.armed:
            raise NotAnswered()

    def answer(self, options: Options, task: Task) -> Outcome:
        saved = sys.stdout
        try:
            try:
                self.armed = True
                self.signal.setitimer(self.signal.ITIMER_REAL, self.seconds, 0.1)
                return answer(options, task)
            finally:
                self.armed = False
                self.signal.setitimer(self.signal.ITIMER_REAL, 0)
        except NotAnswered:
            sys.stdout = saved  # the detectors' capture may not have put it back
            return unanswered(options, task, not_within(self.seconds))

    def close(self) -> None:
        if self.saved is not None:  # None: set outside Python, and cannot be put back
            self.signal.signal(self.signal.SIGALRM, self.saved)


def not_within(seconds: float) -> str:
    return "not answered within %g s" % seconds


def unanswered(options: Options, task: Task, reason: str) -> Outcome:
    """The outcome of an input that was not answered, and why."""
    entry, detection = report(task.shown, None, options.table, options.explain, reason)
    return Outcome(kind(entry, detection), None, options.format.entry(entry, detection),
                   ("%s: %s: %s" % (options.prog, escape(task.shown), reason),))


def alarm(timeout: float) -> Optional[Alarm]:
    """An Alarm for timeout seconds, or None where this process cannot set
    one (outside the main thread, or without SIGALRM)."""
    try:
        return Alarm(timeout)
    except (ValueError, AttributeError):
        return None


def answers(options: Options, work: Iterator[Task], jobs: int, timeout: float,
            before_workers: Callable[[], None]) -> Generator[Outcome, None, None]:
    """The outcomes in input order: here while the run is small, then in
    worker processes when there are more and more CPUs to use.

    No input is answered for more than timeout seconds (0: no limit). Here
    an alarm keeps to it; where no alarm can be set, every input goes to a
    worker.
    """
    limit = alarm(timeout) if timeout > 0 else None
    try:
        if timeout <= 0 or limit is not None:
            started = time.monotonic()
            count = 0
            for task in work:
                yield answer(options, task) if limit is None else limit.answer(options, task)
                count += 1
                if jobs > 1 and (count >= SERIAL_INPUTS or time.monotonic() - started > SERIAL_SECONDS):
                    break
            else:
                return
    finally:
        if limit is not None:
            limit.close()
    try:
        first = next(work)
    except StopIteration:
        return
    from functools import partial

    from .._fanout import in_workers

    # A forked worker flushes its copy of the output buffer when it ends:
    # before_workers empties it before each start.
    outcomes = in_workers(partial(answer, options), partial(unanswered, options), jobs,
                          itertools.chain([first], work), timeout, not_within(timeout), before_workers)
    try:
        for outcome in outcomes:
            yield outcome
    finally:
        outcomes.close()
