"""One input's answer, as data: its bytes read and decoded, the detectors
asked, the report made. Answered here for a small run, in worker processes
(_fanout) for a fleet; the answers come back in input order, and are
rendered only where they are written.
"""
from __future__ import annotations

import itertools
import sys
import time

from .._decode import BinaryInput, decode
from .._detect import LineTooLong, describe_exception, detect
from .inputs import MAX_SIZE, TooLarge, read_file, too_large
from .report import kind, report

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Callable, Generator, Iterator, List, Optional, Tuple

    from .._detect import Detection
    from .._worker import Batch
    from .inputs import Task
    from .report import Entry
    from .tables import Table

    #: What is said on standard error of an input, as (what, its name, detail),
    #: rendered with the program's name where it is written (output.MESSAGES).
    Message = Tuple[str, str, str]

# A serial run switches to worker processes after this many inputs or this
# many seconds, whichever comes first: starting workers costs tens of
# milliseconds, which a smaller run would not win back.
SERIAL_INPUTS = 1000
SERIAL_SECONDS = 0.1
TIMEOUT = 60.0  # seconds an input may take by default: a normal one takes milliseconds
BATCH = 256  # inputs handed to a worker at a time

# Plain classes rather than typing.NamedTuple: importing typing and making
# a named tuple would cost a run that answers one file more than its answer.


class Outcome:
    """One answer as data: its kind, its entry and its messages."""

    __slots__ = ("kind", "entry", "messages")

    def __init__(self, kind: str, entry: Entry, messages: Tuple[Message, ...]) -> None:
        self.kind, self.entry, self.messages = kind, entry, messages

    def __reduce__(self) -> Any:  # smaller and faster to pickle than the slots' state
        return Outcome, (self.kind, self.entry, self.messages)


class Answerer:
    """Answers inputs: what every answer is made with (the table, whether to
    explain it, the limits) travels with it to the workers."""

    __slots__ = ("table", "explain", "max_line_length", "max_size")

    def __init__(self, table: Optional[Table] = None, explain: bool = False,
                 max_line_length: Optional[int] = None, max_size: int = MAX_SIZE) -> None:
        self.table, self.explain = table, explain
        self.max_line_length = max_line_length  # None: no limit
        self.max_size = max_size

    def __call__(self, task: Task) -> Outcome:
        """Reads, decodes, detects and reports one input; never raises."""
        messages = []  # type: List[Message]
        text = error = None  # type: Optional[str]
        unreadable = None  # type: Optional[str]
        if task.failure is not None:  # a device of a saved live run
            error = "%s: %s" % task.failure
            return self.answer(task.shown, None, error, [("error", task.shown, error)])
        if task.error is not None:
            unreadable = task.error
        else:
            try:
                if task.data is not None:
                    data = task.data
                else:
                    assert task.path is not None
                    data = read_file(task.path, self.max_size, task.walked)
                text, warning = decode(data)
                if warning is not None:
                    messages.append(("warning", task.shown, warning))
            except OSError as exc:
                unreadable = describe_exception(exc)
            except BinaryInput:
                error = "binary file"
                messages.append(("binary", task.shown, ""))
            except TooLarge:
                unreadable = too_large(self.max_size)
            except MemoryError:
                unreadable = "out of memory"
            except Exception as exc:  # a fault of ours must not lose the other inputs
                unreadable = "failed: %s" % describe_exception(exc)
        if unreadable is not None:
            error = "cannot read: " + unreadable
            messages.append(("unreadable", task.shown, unreadable))
        return self.answer(task.shown, text, error, messages)

    def answer(self, name: str, text: Optional[str], error: Optional[str], messages: List[Message]) -> Outcome:
        """The outcome of a text; text None: not answered, error says why, and
        messages say it already."""
        detection = None  # type: Optional[Detection]
        said = error is not None
        try:
            if text is not None:
                detection = detect(text, max_line_length=self.max_line_length)
        except LineTooLong as exc:
            text, error = None, "line %d is %d characters long, over the line-length limit of %d" % (
                exc.line, exc.length, exc.limit)
        except Exception as exc:  # a fault of ours must not lose the other inputs
            text, error = None, "failed: %s" % describe_exception(exc)
        return self.outcome(name, text, detection, error, messages, said)

    def outcome(self, name: str, text: Optional[str], detection: Optional[Detection], error: Optional[str],
                messages: List[Message], said: bool) -> Outcome:
        """The outcome of a text and its detection (None: not answered, and
        error says why; said: messages say that already)."""
        try:
            entry = report(name, text, detection, self.table, self.explain, error)
        except Exception as exc:  # a fault of ours must not lose the other inputs
            entry = report(name, None, None, self.table, self.explain, "failed: %s" % describe_exception(exc))
            said = False
        if entry["error"] and not said:
            messages.append(("error", name, entry["error"]))
        return Outcome(kind(entry), entry, tuple(messages))

    def unanswered(self, task: Task, reason: str) -> Outcome:
        """The outcome of an input that was not answered, and why."""
        return self.answer(task.shown, None, reason, [("error", task.shown, reason)])

    def batch(self, batch: Batch) -> None:
        """A worker's batch of inputs, each on its own under the time limit."""
        for number, task in batch:
            batch.begin(number)
            batch.done(number, self(task))


def not_within(seconds: float) -> str:
    return "not answered within %g s" % seconds


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

    def answer(self, answerer: Answerer, task: Task) -> Outcome:
        saved = sys.stdout
        try:
            try:
                self.armed = True
                self.signal.setitimer(self.signal.ITIMER_REAL, self.seconds, 0.1)
                return answerer(task)
            finally:
                self.armed = False
                self.signal.setitimer(self.signal.ITIMER_REAL, 0)
        except NotAnswered:
            sys.stdout = saved  # the detectors' capture may not have put it back
            return answerer.unanswered(task, not_within(self.seconds))

    def close(self) -> None:
        if self.saved is not None:  # None: set outside Python, and cannot be put back
            self.signal.signal(self.signal.SIGALRM, self.saved)


def alarm(timeout: float) -> Optional[Alarm]:
    """An Alarm for timeout seconds, or None where this process cannot set
    one (outside the main thread, or without SIGALRM)."""
    try:
        return Alarm(timeout)
    except (ValueError, AttributeError):
        return None


def answers(answerer: Answerer, work: Iterator[Task], jobs: int, timeout: float,
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
                yield answerer(task) if limit is None else limit.answer(answerer, task)
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
    from .._fanout import fan_out

    # A forked worker flushes its copy of the output buffer when it ends:
    # before_workers empties it before each start.
    results = fan_out(answerer.batch, itertools.chain([first], work), jobs, answerer.unanswered, BATCH,
                      timeout=timeout, late=not_within(timeout), before_fork=before_workers)
    try:
        for _, outcome in results:
            yield outcome
    finally:
        results.close()
