"""The command line: which device printed each of these version texts?

Run as ``python -m talvern.platformdetails`` or ``talvern-platformdetails``.
An argument goes from here, read by options, to inputs (a file, a folder,
standard input) and answers (read, decoded, detected, reported, in worker
processes for a fleet), or to devices (asked over SSH by the live mode),
and each answer comes back as data to output, which renders it in the
chosen format.
"""
from __future__ import annotations

import os
import sys

from .._fanout import default_jobs
from .answers import TIMEOUT, Answerer, answers
from .inputs import MAX_SIZE, tasks
from .options import MAX_LINE_LENGTH, PROG, UsageError, help_text, parse, shown, usage
from .output import OutputError, Writer
from .progress import Progress, is_terminal
from .signals import Stopped, handle_stop_signals

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Optional, Sequence, TextIO

    from .options import CommandLine

__all__ = ["main", "run"]


def is_live(line: CommandLine) -> bool:
    return bool(line.inventory or line.retry_failed is not None
                or any(name.startswith("ssh://") for name in line.files))


def problem(line: CommandLine) -> Optional[str]:
    """What is wrong with a command line that parsed, or None."""
    if line.explain and line.table is None:
        return "--explain needs --table FILE"
    if line.summary and not line.format.has_summary:
        return "--summary cannot be combined with %s" % line.format.option
    if line.jobs is not None and line.jobs < 1:
        return "--jobs needs a number of 1 or more"
    if line.max_line_length is not None and line.max_line_length < 0:
        return "--max-line-length needs a number of 0 or more (0: no limit)"
    if line.timeout is not None and not line.timeout >= 0:  # NaN too
        return "--timeout needs a number of seconds, 0 or more"
    if is_live(line):
        if any(not name.startswith("ssh://") for name in line.files):
            return "ssh:// targets and files cannot be answered in one run"
        if (line.timeout is not None and line.timeout <= 0) or (line.concurrency is not None
                                                                and line.concurrency < 1):
            return "--timeout and --concurrency need a number above 0"
        return None
    given = [option.flags[-1] for option in line.given if option.live]
    return None if not given else "%s is for asking devices: give ssh:// targets or --inventory FILE" % given[0]


def run(argv: Optional[Sequence[str]], stdout: TextIO, stderr: TextIO, prog: str = PROG,
        stdin: Optional[TextIO] = None) -> int:
    """The command on argv (None: sys.argv[1:]) with these streams; its exit status."""
    try:
        line = parse(sys.argv[1:] if argv is None else argv)
        mistake = problem(line)
        if mistake is not None:
            raise UsageError(mistake)
    except UsageError as exc:
        stderr.write(usage(prog) + "%s: error: %s\n" % (prog, shown(str(exc))))
        return 2
    if line.help:
        stdout.write(help_text(prog, default_jobs()))
        return 0
    if line.version:
        from .. import __version__

        stdout.write("%s %s\n" % (prog, __version__))
        return 0
    if not line.files and is_terminal(stdin) and not is_live(line):
        stderr.write(usage(prog) + "%s: error: no FILE given, and standard input is a terminal (use - to type"
                     " a text)\n" % prog)
        return 2
    table = None
    if line.table is not None:
        from .tables import TableError, load_table

        try:
            table = load_table(line.table)
        except TableError as exc:
            stderr.write("%s: error: %s\n" % (prog, exc))
            return 2
    limit = MAX_LINE_LENGTH if line.max_line_length is None else line.max_line_length
    answerer = Answerer(table, line.explain, limit or None, line.max_size or MAX_SIZE)
    if is_live(line):
        try:
            from .devices import run_devices
        except ImportError as exc:
            if exc.name != "asyncssh":
                raise
            stderr.write("%s: error: %s\n" % (prog, exc))
            return 2
        return run_devices(line, answerer, stdout, stderr, stdin, prog)
    writer = Writer(line.format, stdout, stderr, prog, table is not None)
    progress = Progress(stderr, is_terminal(stdout))
    timeout = TIMEOUT if line.timeout is None else line.timeout
    if timeout > 1e9:  # over 30 years is no limit, and more than an alarm timer takes
        timeout = 0.0
    outcomes = answers(answerer, tasks(line.files or ["-"], stdin, answerer.max_size), line.jobs or default_jobs(),
                       timeout, writer.flush)
    try:
        for outcome in outcomes:
            writer.take(outcome, progress)
            progress.update(writer.total)
    finally:
        outcomes.close()  # stops the workers when output fails
        progress.clear()
    return writer.finish(line.summary)


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
        try:
            handle_stop_signals()
        except ValueError:  # not the main thread: Ctrl-C alone stops the run
            pass
        return run(argv, sys.stdout, sys.stderr, prog, sys.stdin)
    except KeyboardInterrupt:
        return 130
    except Stopped as exc:
        return 128 + exc.signum
    except OutputError as exc:
        # Point stdout at /dev/null so the flush at exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        cause = exc.args[0]
        if isinstance(cause, BrokenPipeError):
            return exc.status  # the reader has all it wanted, as with grep | head
        from .._detect import describe_exception

        sys.stderr.write("%s: error: cannot write the output: %s\n" % (prog, describe_exception(cause)))
        return 2
