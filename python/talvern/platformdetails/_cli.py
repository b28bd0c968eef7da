"""The command line: which device printed each of these version texts?

Run as ``python -m talvern.platformdetails`` or ``talvern-platformdetails``;
``--help`` describes the options and exit statuses.
"""
import argparse
import itertools
import json
import multiprocessing
import os
import signal
import sys
import time
from typing import Any, Callable, Dict, Generator, Iterator, NamedTuple, Optional, Sequence, TextIO, Tuple

from . import __version__
from ._help import DESCRIPTION, EPILOG
from ._inputs import BinaryInput, decode, walk
from ._report import Options, UsageError, csv_header, describe_exception, format_entry, load_table, report

PROG = "talvern-platformdetails"

# A serial run switches to worker processes after this many inputs or this
# many seconds, whichever comes first: starting workers costs tens of
# milliseconds, which a smaller run would not win back.
SERIAL_INPUTS = 1000
SERIAL_SECONDS = 0.1
CHUNK = 256  # inputs handed to a worker at a time
PROGRESS_AFTER = 2.0  # seconds before a progress line is shown
PROGRESS_EVERY = 0.5

RECOGNISED, NOT_RECOGNISED, AMBIGUOUS, ERROR = "recognised", "not recognised", "ambiguous", "error"
STATUS = {RECOGNISED: 0, NOT_RECOGNISED: 1, AMBIGUOUS: 1, ERROR: 2}


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed pipe)."""


class Task(NamedTuple):
    """One input: its name as reported, and where its bytes come from."""

    shown: str
    path: Optional[str]
    data: Optional[bytes]
    error: Optional[str]


class Outcome(NamedTuple):
    """One input's answer, already formatted, so a worker does the work."""

    kind: str
    model: Optional[str]
    output: str
    messages: Tuple[str, ...]


def failed(task: Task, error: str, line: str, options: Options, messages: Tuple[str, ...] = ()) -> Outcome:
    """The outcome of an input that could not be answered: error goes into
    JSON and CSV, line to standard error."""
    entry = {"input": task.shown, "model": None, "detector": None, "claims": None,
             "error": error}  # type: Dict[str, Any]
    if options.table is not None:
        entry["table"] = None  # the same keys on every line
        if options.explain:
            entry["explain"] = []
    return Outcome(ERROR, None, format_entry(entry, None, options),
                   messages + ("%s: %s" % (options.prog, line),))


def unreadable(task: Task, reason: str, options: Options) -> Outcome:
    return failed(task, "cannot read: " + reason, "cannot read %s: %s" % (task.shown, reason), options)


_options = None  # type: Optional[Options]


def set_options(options: Options) -> None:
    """Worker start-up: the options every answer is formatted with."""
    global _options
    _options = options


def answer_task(task: Task) -> Outcome:
    """Reads, decodes, detects and formats one input; never raises."""
    options = _options
    assert options is not None
    if task.error is not None:
        return unreadable(task, task.error, options)
    try:
        if task.data is not None:
            data = task.data
        else:
            assert task.path is not None
            with open(task.path, "rb") as stream:
                data = stream.read()
        text, warning = decode(data)
    except OSError as exc:
        return unreadable(task, str(exc.strerror or exc), options)
    except BinaryInput:
        return failed(task, "binary file", "%s: binary file, skipped" % task.shown, options)
    messages = ()  # type: Tuple[str, ...]
    if warning is not None:
        messages = ("%s: warning: %s %s" % (options.prog, task.shown, warning),)
    try:
        entry, detection = report(task.shown, text, options.table, options.explain)
    except Exception as exc:  # a fault of ours must not lose the other inputs
        error = "failed: %s" % describe_exception(exc)
        return failed(task, error, "%s: %s" % (task.shown, error), options, messages)
    if entry["error"]:
        kind = ERROR
        messages += ("%s: %s: %s" % (options.prog, task.shown, entry["error"]),)
    elif detection.model is not None:
        kind = RECOGNISED
    else:
        kind = AMBIGUOUS if detection.ambiguous else NOT_RECOGNISED
    return Outcome(kind, detection.model, format_entry(entry, detection, options), messages)


def tasks(names: Sequence[str], stdin: Optional[TextIO]) -> Iterator[Task]:
    """The inputs, one at a time, folders walked as they are reached."""
    for name in names:
        if name == "-":
            try:
                if stdin is None:
                    raise OSError("standard input is closed")
                data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode("utf-8")
            except OSError as exc:
                yield Task("<stdin>", None, None, str(exc.strerror or exc))
                continue
            yield Task("<stdin>", None, data, None)
        elif os.path.isdir(name):
            for path, error in walk(name):
                yield Task(path, path, None, None if error is None else str(error.strerror or error))
        else:
            yield Task(name, name, None, None)


def default_jobs() -> int:
    affinity = getattr(os, "sched_getaffinity", None)
    if affinity is not None:
        return max(1, len(affinity(0)))
    return os.cpu_count() or 1


def start_worker(options: Options) -> None:
    # Ctrl-C is the main process's to handle: it stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    set_options(options)


def answers(work: Iterator[Task], jobs: int, before_workers: Callable[[], None]) -> Generator[Outcome, None, None]:
    """The outcomes in input order: here while the run is small, then in
    worker processes when there are more and more CPUs to use."""
    started = time.monotonic()
    count = 0
    for task in work:
        yield answer_task(task)
        count += 1
        if jobs > 1 and (count >= SERIAL_INPUTS or time.monotonic() - started > SERIAL_SECONDS):
            break
    else:
        return
    try:
        first = next(work)
    except StopIteration:
        return
    methods = multiprocessing.get_all_start_methods()
    # fork shares the loaded module at no cost; elsewhere workers import it.
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    # A forked worker flushes its copy of the output buffer when it ends.
    before_workers()
    pool = context.Pool(jobs, initializer=start_worker, initargs=(_options,))
    try:
        for outcome in pool.imap(answer_task, itertools.chain([first], work), CHUNK):
            yield outcome
        pool.close()
    finally:
        pool.terminate()
        pool.join()


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


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a device version text or a folder of them (-: standard input)")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--detectors", action="store_true",
                      help="show what each detector returned or raised, a block per input")
    form.add_argument("--json", action="store_true", help="print one JSON object per input and line")
    form.add_argument("--csv", action="store_true", help="print a CSV header and one row per input")
    parser.add_argument("--summary", action="store_true", help="end with the count of inputs per model")
    parser.add_argument("--table", metavar="FILE",
                        help="also classify each text with get_key_value against this JSON pattern table")
    parser.add_argument("--explain", action="store_true",
                        help="with --table: show what every key's pattern yielded, in walk order")
    parser.add_argument("--jobs", "-j", type=int, metavar="N", default=None,
                        help="worker processes for many inputs (default: the CPUs available, %d here)"
                        % default_jobs())
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    return parser


def summary_lines(counts: Dict[str, int], kinds: Dict[str, int], total: int, as_json: bool) -> str:
    if as_json:
        return json.dumps({"summary": {"inputs": total, "models": dict(sorted(counts.items())),
                                       "not recognised": kinds[NOT_RECOGNISED],
                                       "ambiguous": kinds[AMBIGUOUS], "errors": kinds[ERROR]}}) + "\n"
    rows = sorted(counts.items()) + [(NOT_RECOGNISED, kinds[NOT_RECOGNISED]),
                                     (AMBIGUOUS, kinds[AMBIGUOUS]), ("errors", kinds[ERROR])]
    width = max(len(str(count)) for _, count in rows)
    return "== summary: %d inputs\n" % total + "".join("  %*d  %s\n" % (width, count, label)
                                                       for label, count in rows)


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


def run(argv: Optional[Sequence[str]], stdout: TextIO, stderr: TextIO, prog: str = PROG,
        stdin: Optional[TextIO] = None) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)  # exits with status 2 on a usage error
    if args.explain and args.table is None:
        parser.error("--explain needs --table FILE")
    if args.summary and args.csv:
        parser.error("--summary cannot be combined with --csv")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs needs a number of 1 or more")
    if not args.files and is_terminal(stdin):
        parser.print_usage(stderr)
        stderr.write("%s: error: no FILE given, and standard input is a terminal (use - to type a text)\n"
                     % prog)
        return 2
    try:
        table = load_table(args.table) if args.table is not None else None
    except UsageError as exc:
        stderr.write("%s: error: %s\n" % (prog, exc))
        return 2

    mode = "json" if args.json else "csv" if args.csv else "detectors" if args.detectors else "text"
    options = Options(mode, table, args.explain, prog)
    set_options(options)
    if mode == "csv":
        write(stdout, csv_header(options))
    counts = {}  # type: Dict[str, int]
    kinds = {kind: 0 for kind in STATUS}
    status = total = 0
    shown_any = False
    progress = Progress(stderr, is_terminal(stdout))
    outcomes = answers(tasks(args.files or ["-"], stdin), args.jobs or default_jobs(), lambda: flush(stdout))
    try:
        for outcome in outcomes:
            total += 1
            kinds[outcome.kind] += 1
            status = max(status, STATUS[outcome.kind])
            if outcome.model is not None:
                counts[outcome.model] = counts.get(outcome.model, 0) + 1
            if outcome.messages:
                flush(stdout)  # keep the order a person sees on a terminal
                progress.clear()
                stderr.write("".join(line + "\n" for line in outcome.messages))
                stderr.flush()
            if mode == "detectors" and outcome.output and shown_any:
                write(stdout, "\n")  # a blank line between blocks
            shown_any = shown_any or bool(outcome.output)
            write(stdout, outcome.output)
            progress.update(total)
    finally:
        outcomes.close()  # stops the workers when output fails
        progress.clear()
    if args.summary:
        if mode == "detectors" and shown_any:
            write(stdout, "\n")
        write(stdout, summary_lines(counts, kinds, total, mode == "json"))
    flush(stdout)
    return status


def main(argv: Optional[Sequence[str]] = None, prog: str = PROG) -> int:
    # Results may hold any character; never fail on a narrow terminal encoding.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    if sys.stdout is None:  # started with standard output closed
        sys.stderr.write("%s: error: standard output is closed\n" % prog)
        return 2
    try:
        return run(argv, sys.stdout, sys.stderr, prog, sys.stdin)
    except KeyboardInterrupt:
        return 130
    except OutputError as exc:
        cause = exc.args[0]
        reason = cause.strerror if isinstance(cause, OSError) and cause.strerror else cause
        sys.stderr.write("%s: error: cannot write the output: %s\n" % (prog, reason))
        # Point stdout at /dev/null so the flush at exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 2
