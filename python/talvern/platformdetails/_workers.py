"""The inputs as tasks, and their answers: here for a small run, in worker
processes for a fleet.

Each task's answer is made by answer(): read, decode, report, format. The
options travel with the function handed to the workers (a partial), so no
module state is set in them; multiprocessing is imported only when workers
start.
"""
from __future__ import annotations

import itertools
import os
import time

from ._escape import escape
from ._inputs import MAX_SIZE, BinaryInput, TooLarge, decode, read_bounded, read_file, shown_size, walk
from ._report import describe_exception, kind, report

TYPE_CHECKING = False  # as in _cli: typing stays unimported
if TYPE_CHECKING:
    from typing import Callable, Generator, Iterable, Iterator, Optional, Sequence, TextIO, Tuple

    from ._formats import Format
    from ._tables import Table

# A serial run switches to worker processes after this many inputs or this
# many seconds, whichever comes first: starting workers costs tens of
# milliseconds, which a smaller run would not win back.
SERIAL_INPUTS = 1000
SERIAL_SECONDS = 0.1
CHUNK = 256  # inputs handed to a worker at a time


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


def answers(options: Options, work: Iterator[Task], jobs: int,
            before_workers: Callable[[], None]) -> Generator[Outcome, None, None]:
    """The outcomes in input order: here while the run is small, then in
    worker processes when there are more and more CPUs to use."""
    started = time.monotonic()
    count = 0
    for task in work:
        yield answer(options, task)
        count += 1
        if jobs > 1 and (count >= SERIAL_INPUTS or time.monotonic() - started > SERIAL_SECONDS):
            break
    else:
        return
    try:
        first = next(work)
    except StopIteration:
        return
    # A forked worker flushes its copy of the output buffer when it ends.
    before_workers()
    from functools import partial

    outcomes = in_workers(partial(answer, options), jobs, itertools.chain([first], work))
    try:
        for outcome in outcomes:
            yield outcome
    finally:
        outcomes.close()


def start_worker() -> None:
    import signal

    # Ctrl-C is the main process's to handle: it stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def in_workers(function: Callable[[Task], Outcome], jobs: int,
               work: Iterable[Task]) -> Generator[Outcome, None, None]:
    """function over work in jobs worker processes, results in input order;
    closing the generator stops the workers. The one place a pool is used."""
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    # fork shares the loaded module at no cost; elsewhere workers import it.
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    pool = context.Pool(jobs, initializer=start_worker)
    try:
        for outcome in pool.imap(function, work, CHUNK):
            yield outcome
        pool.close()
    finally:
        pool.terminate()
        pool.join()
