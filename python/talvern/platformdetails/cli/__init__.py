"""The command line: which device printed each of these version texts?

Run as ``python -m talvern.platformdetails`` or ``talvern-platformdetails``;
``--help`` describes the options and exit statuses. An input goes from here
to _workers (read, decode), _report (what is said about it) and _formats
(how it is printed), and its entry comes back to be written by _output,
which writes devices' answers (_live) the same way.
"""
from __future__ import annotations

import os
import sys

from .escape import escape
from .formats import FORMATS
from .inputs import MAX_SIZE, shown_size, size
from .output import OutputError, Writer
from .progress import Progress, is_terminal
from .answers import TIMEOUT, Options, answers, default_jobs, tasks

# typing.TYPE_CHECKING without importing typing at run time; the type
# checker takes any TYPE_CHECKING as true.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any, Callable, Dict, NoReturn, Optional, Sequence, TextIO, Tuple

    from .formats import Format

PROG = "talvern-platformdetails"
#: --max-line-length's default: a line this long costs the slowest detector
#: pattern about 0.07 s, and that time grows with the cube of the length.
MAX_LINE_LENGTH = 4096


class Option:
    """One option besides the formats: both readers of the command line take
    it from here. value is None for a flag, else what converts its value;
    many: the option may be given again, and its values make a list."""

    __slots__ = ("flags", "help", "value", "metavar", "many")

    def __init__(self, flags: Tuple[str, ...], help: str, value: Optional[Callable[[str], Any]] = None,
                 metavar: Optional[str] = None, many: bool = False) -> None:
        self.flags, self.help, self.value, self.metavar, self.many = flags, help, value, metavar, many

    @property
    def dest(self) -> str:
        return {"-i": "identity"}.get(self.flags[0]) or self.flags[0][2:].replace("-", "_")


OPTIONS = (
    Option(("--summary",), "end with the count of inputs per model"),
    Option(("--table",), "also classify each text with get_key_value against this JSON pattern table",
           str, "FILE"),
    Option(("--explain",), "with --table: show what every key's pattern yielded, in walk order"),
    Option(("--jobs", "-j"), "worker processes for many inputs (default: the CPUs available, {cpus} here)",
           int, "N"),
    Option(("--timeout",), "seconds an input may take before it is reported as an error "
           "(default: {timeout}; 0: no limit); live: seconds a device has, from connecting to its last "
           "byte (default: 30)", float, "SECONDS"),
    Option(("--max-line-length",), "report an input with a line longer than N characters as an error instead "
           "of answering it; 0: no limit (default: %d)" % MAX_LINE_LENGTH, int, "N"),
    Option(("--max-size",), "read at most SIZE bytes of an input (K, M, G: 1024, 1024**2, 1024**3; "
           "default: %s); a larger one is an error. live: of a device's output (default: 1M)"
           % shown_size(MAX_SIZE), size, "SIZE"),
    # The live mode: asking devices over SSH (_live).
    Option(("--inventory",), "live: ask the devices listed in FILE (a target a line, or CSV with a host column)",
           str, "FILE", many=True),
    Option(("--command",), "live: the version command to send (default: show version)", str, "CMD"),
    Option(("--paging-off",), "live: in a shell, send CMD first to turn paging off (default: terminal length 0)",
           str, "CMD", many=True),
    Option(("--user",), "live: log in as NAME where a target names no user (default: your login name)",
           str, "NAME"),
    Option(("-i",), "live: a private key file to log in with (default: ~/.ssh/id_*, and the SSH agent)",
           str, "FILE", many=True),
    Option(("--password-env",), "live: log in with the password in the environment variable NAME", str, "NAME"),
    Option(("--ask-password",), "live: ask for the password at the terminal, once for the run"),
    Option(("--concurrency",), "live: devices asked at once (default 100)", int, "N"),
    Option(("--save",), "live: keep each device's text in DIR, to answer later as files", str, "DIR"),
    Option(("--retry-failed",), "live: ask again only the devices that failed in the run saved in DIR",
           str, "DIR"),
    Option(("--accept-new-host-keys",), "live: trust a host seen for the first time, recording its key in"
           " this tool's own known_hosts; a changed key is still refused"),
    Option(("--legacy-algorithms",), "live: also offer old SHA-1 key exchange and CBC ciphers, for this run"),
)


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    import argparse

    from .. import __version__
    from .help import DESCRIPTION, epilog

    class Parser(argparse.ArgumentParser):
        def error(self, message: str) -> NoReturn:
            # argparse quotes a bad argument raw ("unrecognized arguments"), and
            # a glob's file names can begin with -.
            super().error(message if message.isprintable() else escape(message))

    parser = Parser(prog=prog, description=DESCRIPTION, epilog=epilog(FORMATS),
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a device version text or a folder of them (-: standard input), or"
                        " ssh://[USER@]HOST[:PORT] to ask the device itself")
    choice = parser.add_mutually_exclusive_group()
    for form in FORMATS:
        if form.option is not None:
            choice.add_argument(form.option, dest="format", action="store_const", const=form, help=form.help)
    parser.set_defaults(format=FORMATS[0])
    cpus = str(default_jobs())
    for option in OPTIONS:
        help = option.help.replace("{cpus}", cpus).replace("{timeout}", "%g" % TIMEOUT)
        if option.value is None:
            parser.add_argument(*option.flags, dest=option.dest, action="store_true", help=help)
        elif option.many:
            parser.add_argument(*option.flags, dest=option.dest, type=option.value, metavar=option.metavar,
                                action="append", help=help)
        else:
            parser.add_argument(*option.flags, dest=option.dest, type=option.value, metavar=option.metavar,
                                help=help)
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    return parser


class Args:
    """The command line as plain_args reads it: argparse's names and defaults."""

    def __init__(self) -> None:
        self.format = FORMATS[0]  # type: Format
        self.files = ()  # type: Sequence[str]
        for option in OPTIONS:
            setattr(self, option.dest, False if option.value is None else None)


def plain_args(argv: Sequence[str]) -> Optional[Args]:
    """argv read without argparse when it is plainly options, each spelled in
    full, then files that do not start with '-': nearly every run. Anything
    else (--help, an abbreviation, --, every mistake) gives None, and
    argparse reads it instead, with its own meaning and messages.

    Building argparse's parser costs a run that answers one file about as
    much as the answer.
    """
    formats = {form.option: form for form in FORMATS if form.option is not None}
    options = {flag: option for option in OPTIONS for flag in option.flags}
    args = Args()
    position = 0
    while position < len(argv) and argv[position].startswith("-") and argv[position] != "-":
        flag = argv[position]
        option = options.get(flag)
        convert = option.value if option is not None else None
        if flag in formats:
            if args.format is not FORMATS[0] and args.format is not formats[flag]:
                return None  # two formats: argparse says so
            args.format = formats[flag]
        elif option is not None and convert is None:
            setattr(args, option.dest, True)
        elif option is not None and convert is not None and position + 1 < len(argv) \
                and not argv[position + 1].startswith("-"):
            position += 1
            try:
                value = convert(argv[position])  # as argparse's type= does
            except ValueError:
                return None
            if option.many:
                value = (getattr(args, option.dest) or []) + [value]
            setattr(args, option.dest, value)
        else:
            return None
        position += 1
    args.files = argv[position:]
    if any(name.startswith("-") and name != "-" for name in args.files):
        return None
    return args


def usage_problem(args: Any) -> Optional[str]:
    if args.explain and args.table is None:
        return "--explain needs --table FILE"
    if args.summary and not args.format.has_summary:
        return "--summary cannot be combined with %s" % args.format.option
    if args.jobs is not None and args.jobs < 1:
        return "--jobs needs a number of 1 or more"
    if args.max_line_length is not None and args.max_line_length < 0:
        return "--max-line-length needs a number of 0 or more (0: no limit)"
    if args.timeout is not None and not args.timeout >= 0:  # NaN too
        return "--timeout needs a number of seconds, 0 or more"
    return live_problem(args)


def is_live(args: Any) -> bool:
    return bool(args.inventory or args.retry_failed is not None
                or any(name.startswith("ssh://") for name in args.files))


def live_problem(args: Any) -> Optional[str]:
    if is_live(args):
        if any(not name.startswith("ssh://") for name in args.files):
            return "ssh:// targets and files cannot be answered in one run"
        if (args.timeout is not None and args.timeout <= 0) or (args.concurrency is not None
                                                                 and args.concurrency < 1):
            return "--timeout and --concurrency need a number above 0"
        return None
    given = [option.flags[0] for option in OPTIONS
             if option.help.startswith("live:") and getattr(args, option.dest) not in (None, False)]
    return None if not given else "%s is for asking devices: give ssh:// targets or --inventory FILE" % given[0]


def run(argv: Optional[Sequence[str]], stdout: TextIO, stderr: TextIO, prog: str = PROG,
        stdin: Optional[TextIO] = None) -> int:
    args = plain_args(sys.argv[1:] if argv is None else argv)  # type: Any
    if args is None:
        args = build_parser(prog).parse_args(argv)  # exits with status 2 on a usage error
    problem = usage_problem(args)
    if problem is not None:
        build_parser(prog).error(problem)
    form = args.format
    if not args.files and is_terminal(stdin) and not is_live(args):
        build_parser(prog).print_usage(stderr)
        stderr.write("%s: error: no FILE given, and standard input is a terminal (use - to type a text)\n"
                     % prog)
        return 2
    table = None
    if args.table is not None:
        from .tables import UsageError, load_table

        try:
            table = load_table(args.table)
        except UsageError as exc:
            stderr.write("%s: error: %s\n" % (prog, exc))
            return 2

    limit = MAX_LINE_LENGTH if args.max_line_length is None else args.max_line_length
    max_size = args.max_size or MAX_SIZE
    options = Options(form, table, args.explain, prog, limit or None, max_size)
    if is_live(args):
        try:
            from .devices import run_live
        except ImportError as exc:
            if exc.name != "asyncssh":
                raise
            stderr.write("%s: error: asking devices needs asyncssh: pip install 'talvern-platformdetails[ssh]'\n"
                         % prog)
            return 2
        return run_live(args, options, stdout, stderr, stdin)
    writer = Writer(form, stdout, stderr, table is not None)
    progress = Progress(stderr, is_terminal(stdout))
    timeout = TIMEOUT if args.timeout is None else args.timeout
    if timeout > 1e9:  # over 30 years is no limit, and more than an alarm timer takes
        timeout = 0.0
    outcomes = answers(options, tasks(args.files or ["-"], stdin, max_size), args.jobs or default_jobs(),
                       timeout, lambda: writer.out("", then_flush=True))
    try:
        for outcome in outcomes:
            writer.take(outcome, progress.clear)
            progress.update(writer.total)
    finally:
        outcomes.close()  # stops the workers when output fails
        progress.clear()
    return writer.finish(args.summary)


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
        # Point stdout at /dev/null so the flush at exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        cause = exc.args[0]
        if isinstance(cause, BrokenPipeError):
            return exc.status  # the reader has all it wanted, as with grep | head
        reason = cause.strerror if isinstance(cause, OSError) and cause.strerror else cause
        sys.stderr.write("%s: error: cannot write the output: %s\n" % (prog, reason))
        return 2
