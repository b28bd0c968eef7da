"""The command line: which device printed each of these version texts?

Run as ``python -m talvern.platformdetails`` or ``talvern-platformdetails``;
``--help`` describes the options and exit statuses.
"""
import argparse
import csv
import io
import itertools
import json
import multiprocessing
import os
import re
import signal
import sys
import time
from typing import (Any, Callable, Dict, Generator, Iterator, List, NamedTuple, Optional, Sequence, TextIO,
                    Tuple)

from . import __version__
from . import function_def as fd
from ._detect import DETECTORS, Detection, detect
from ._inputs import BinaryInput, decode, walk

PROG = "talvern-platformdetails"

DESCRIPTION = """\
Name the device model that printed each version text, with the five
detectors of talvern.platformdetails.function_def.

Each FILE holds the text one device printed for its version command; a
folder is walked recursively in sorted order (hidden files and folders are
skipped, a folder reached again through a link is walked once). FILE - is
standard input, and so is no FILE at all, unless standard input is a
terminal: then the usage is printed instead of waiting for a text.

A text with a byte-order mark is read as UTF-8, UTF-16 or UTF-32 as the
mark says; one without is read as UTF-8, or as Latin-1 with a warning when
it is not UTF-8. A file with NUL bytes that is not UTF-16 or UTF-32 is
reported as binary and skipped. Line ends \\r\\n and \\r become \\n.

A detector that raises (get_vkorin_details does for any text without the
vKORIN banner) or returns '' makes no claim. One claim, or several naming
the same model, is the answer; claims naming different models make the text
ambiguous, and none is chosen. Lines a detector prints are caught, never
mixed into the output.
"""

EPILOG = """\
output:
  By default, one line per input: "NAME: MODEL (DETECTOR)", "NAME: not
  recognised" or "NAME: ambiguous: MODEL (DETECTOR), MODEL (DETECTOR)".
  --detectors shows instead a block per input with what each detector
  returned (in Python notation, so '' is the empty string) or raised.
  --json writes one JSON object per input and line:
    {"input": NAME, "model": STR or null, "detector": STR or null,
     "claims": {DETECTOR: {"result": STR or null, "error": null or
                           "Type: message", "printed": [LINE, ...]}, ...},
     "error": null or MESSAGE}
  with "claims" null for an input that could not be read. --table adds
  "table": null or {"key": KEY, "match": TEXT, "groups": [...], "named":
  {NAME: TEXT}}, and --explain adds "explain": [{"key": KEY, "pattern":
  PATTERN, "yielded": [...], "named": {...}}, ...]. --csv writes a header and
  one row per input: input, model, detector, claims (DETECTOR=MODEL;...),
  error, and table with --table. --summary ends with the count of inputs per
  model (with --json, as one last object {"summary": {...}}).

pattern tables:
  --table FILE reads a JSON object that maps a key to a regular expression,
  for example {"garu": "Solaris Unix", "tolm": "(?P<model>TOLM-?[0-9]+).*Chassis"}.
  get_key_value walks the keys in ascending order, searches the text with
  each pattern, and the first key whose pattern matches wins. Keys are
  strings and sort as strings: "10" comes before "9", so give number
  prefixes the same width. --explain shows what every key's pattern yielded,
  so overlapping patterns are easy to spot. Groups are reported by position,
  and named groups (?P<name>...) by name as well. Every pattern is compiled
  before any text is read; one that does not compile is reported by its key.

many inputs:
  Past a thousand or so inputs the work is shared among --jobs worker
  processes (by default one per CPU this process may use); the output stays
  in input order. A long run whose output is not shown on the terminal
  shows its progress on standard error when that is a terminal.

exit status:
  0  every input was recognised
  1  some input was read but not recognised, or was ambiguous
  2  an error: usage, an input that cannot be read or is binary, a table
     file that cannot be read or is invalid, or output that cannot be written
"""

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


class UsageError(Exception):
    """A problem with the command line or the table file: exit status 2."""


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed pipe)."""


class Table(NamedTuple):
    patterns: Dict[str, str]
    #: Per key, the pattern's named groups as (name, group number).
    names: Dict[str, List[Tuple[str, int]]]


class Options(NamedTuple):
    mode: str  # "text", "detectors", "json" or "csv"
    table: Optional[Table]
    explain: bool
    prog: str


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


def describe_exception(exc: BaseException) -> str:
    message = str(exc)
    return "%s: %s" % (type(exc).__name__, message) if message else type(exc).__name__


def call_captured(func: Callable[..., Any], *args: Any) -> Tuple[Any, Optional[str], List[str]]:
    """Calls func, catching what it prints on standard output and what it raises.

    The module's print writes to whatever sys.stdout is at the moment of the
    call, so swapping it here keeps the function's lines out of our output.
    """
    buffer = io.StringIO()
    result = None  # type: Any
    error = None  # type: Optional[str]
    saved, sys.stdout = sys.stdout, buffer
    try:
        result = func(*args)
    except Exception as exc:  # reported, never a traceback
        error = describe_exception(exc)
    finally:
        sys.stdout = saved
    return result, error, buffer.getvalue().splitlines()


def load_table(path: str) -> Table:
    """Reads and checks a pattern table; raises UsageError with a one-line reason."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise UsageError("cannot read table %s: %s" % (path, exc.strerror or exc))

    def no_duplicates(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
        table = {}  # type: Dict[str, Any]
        for key, value in pairs:
            if key in table:
                raise UsageError("table %s: key %r appears twice" % (path, key))
            table[key] = value
        return table

    try:
        table = json.loads(data.decode("utf-8"), object_pairs_hook=no_duplicates)
    except UnicodeDecodeError as exc:
        raise UsageError("table %s is not UTF-8: %s" % (path, exc))
    except ValueError as exc:  # json.JSONDecodeError is a ValueError
        raise UsageError("table %s is not valid JSON: %s" % (path, exc))
    if not isinstance(table, dict):
        raise UsageError("table %s must be a JSON object of key to pattern, not %s"
                         % (path, type(table).__name__))
    names = {}  # type: Dict[str, List[Tuple[str, int]]]
    for key in sorted(table):
        pattern = table[key]
        if not isinstance(pattern, str):
            raise UsageError("table %s: the pattern for key %r must be a string, not %s"
                             % (path, key, type(pattern).__name__))
        try:
            # The module gets the pattern text and searches with it at each
            # use; compiling here checks it and tells its named groups.
            compiled = re.compile(pattern)
        except re.error as exc:
            raise UsageError("table %s: the pattern for key %r does not compile: %s" % (path, key, exc))
        except (RecursionError, OverflowError) as exc:
            raise UsageError("table %s: the pattern for key %r does not compile: %s"
                             % (path, key, describe_exception(exc)))
        names[key] = sorted(compiled.groupindex.items(), key=lambda item: item[1])
    return Table(table, names)


def to_json(value: Any) -> Any:
    """Match result lists hold tuples of groups: JSON has only arrays."""
    if isinstance(value, (list, tuple)):
        return [to_json(item) for item in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return repr(value)


def named_groups(names: List[Tuple[str, int]], groups: Sequence[Any]) -> Dict[str, Any]:
    return {name: groups[number - 1] for name, number in names}


def claims_json(detection: Detection) -> Dict[str, Dict[str, Any]]:
    return {claim.detector: {"result": claim.result,
                             "error": None if claim.exception is None else describe_exception(claim.exception),
                             "printed": list(claim.printed)}
            for claim in detection.claims}


def report(name: str, text: str, table: Optional[Table], explain: bool) -> Tuple[Dict[str, Any], Detection]:
    """Everything this command says about one text, as plain data."""
    detection = detect(text)
    entry = {"input": name, "model": detection.model, "detector": detection.detector,
             "claims": claims_json(detection), "error": None}  # type: Dict[str, Any]
    if table is None:
        return entry, detection
    ret, error, printed = call_captured(fd.get_key_value, text, table.patterns)
    entry["table"] = None
    if error:
        entry["error"] = "get_key_value raised %s" % error
    elif ret:
        key, (match, groups) = ret[0], ret[1]
        entry["table"] = {"key": key, "match": match, "groups": to_json(groups),
                          "named": named_groups(table.names[key], groups)}
    if printed:
        entry["table_printed"] = printed
    if explain:
        # The same walk as get_key_value, key by key, without stopping at the winner.
        steps = []
        for key in sorted(table.patterns):
            yielded, error, printed = call_captured(fd.invokeaction, text, table.patterns[key])
            step = {"key": key, "pattern": table.patterns[key], "yielded": to_json(yielded),
                    "named": named_groups(table.names[key], yielded[1]) if yielded else {}}  # type: Dict[str, Any]
            if error:
                step["error"] = error
            if printed:
                step["printed"] = printed
            steps.append(step)
        entry["explain"] = steps
    return entry, detection


def answer(detection: Detection) -> str:
    """The default output's words for one text."""
    if detection.model is not None:
        return "%s (%s)" % (detection.model, detection.detector)
    if detection.ambiguous:
        return "ambiguous: " + ", ".join("%s (%s)" % (claim.model, claim.detector)
                                         for claim in detection.claimants)
    return "not recognised"


def format_named(named: Dict[str, Any]) -> str:
    return "   named %s" % ", ".join("%s=%r" % item for item in named.items()) if named else ""


def table_lines(entry: Dict[str, Any], width: int) -> List[str]:
    """The table's verdict and walk as indented lines."""
    lines = []
    if "table" in entry:
        won = entry["table"]
        if entry["error"]:
            verdict = entry["error"]
        elif won is None:
            verdict = "no key matched"
        else:
            verdict = "%r   matched %r   groups %r%s" % (won["key"], won["match"], tuple(won["groups"]),
                                                         format_named(won["named"]))
        lines.append("  %-*s  %s" % (width, "table", verdict))
    if "explain" in entry:
        steps = entry["explain"]
        key_width = max([len(repr(step["key"])) for step in steps] + [3])
        pattern_width = max([len(repr(step["pattern"])) for step in steps] + [7])
        lines.append("  walk (sorted keys):")
        winner_seen = False
        for step in steps:
            if step.get("error"):
                outcome, mark = step["error"], ""
            elif step["yielded"]:
                match, groups = step["yielded"]
                outcome = "%r %r%s" % (match, tuple(groups), format_named(step["named"]))
                mark = "   <- also matches" if winner_seen else "   <- wins"
                winner_seen = True
            else:
                outcome, mark = "no match", ""
            lines.append("    %-*s  %-*s  %s%s" % (key_width, repr(step["key"]), pattern_width,
                                                    repr(step["pattern"]), outcome, mark))
    return lines


DETECTOR_WIDTH = max(len(name) for name in DETECTORS)


def format_detectors(entry: Dict[str, Any]) -> List[str]:
    """The aligned per-detector block of one report."""
    lines = ["== %s" % entry["input"]]
    for detector, said in entry["claims"].items():
        value = said["error"] if said["error"] else repr(said["result"])
        if said["printed"]:
            value += "   (printed: %s)" % " | ".join(said["printed"])
        lines.append("  %-*s  %s" % (DETECTOR_WIDTH, detector, value))
    return lines + table_lines(entry, DETECTOR_WIDTH)


def csv_row(values: Sequence[Any]) -> str:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow(values)
    return out.getvalue()


def csv_header(options: Options) -> str:
    return csv_row(["input", "model", "detector", "claims", "error"] + (["table"] if options.table else []))


def format_entry(entry: Dict[str, Any], detection: Optional[Detection], options: Options) -> str:
    """One input's output in the chosen form, with its line end."""
    if options.mode == "json":
        return json.dumps(entry) + "\n"
    if options.mode == "csv":
        claims = ";".join("%s=%s" % (claim.detector, claim.model) for claim in detection.claimants) \
            if detection is not None else ""
        row = [entry["input"], entry["model"] or "", entry["detector"] or "", claims, entry["error"] or ""]
        if options.table is not None:
            row.append(entry["table"]["key"] if entry.get("table") else "")
        return csv_row(row)
    if detection is None:
        return ""  # an unreadable input: said on standard error only
    if options.mode == "detectors":
        return "\n".join(format_detectors(entry)) + "\n"
    lines = ["%s: %s" % (entry["input"], answer(detection))]
    return "\n".join(lines + table_lines(entry, len("table"))) + "\n"


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
