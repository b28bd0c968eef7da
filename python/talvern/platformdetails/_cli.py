"""The command line: what the five detectors say about device version texts.

Run as ``python -m talvern.platformdetails`` or ``talvern-platformdetails``;
``--help`` describes the options and exit statuses.
"""
import argparse
import contextlib
import io
import json
import os
import re
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple

from . import function_def as fd

PROG = "talvern-platformdetails"

# The detectors, in the order the module defines them and this command reports them.
DETECTORS = (
    "fetch_kveos_details",
    "get_garu_details",
    "get_vkorin_details",
    "get_prav_details",
    "get_tolm_details",
)

DESCRIPTION = """\
Report what each of the five device-model detectors of
talvern.platformdetails.function_def says about device version texts.

Each FILE holds the text one device printed for its version command. With no
FILE, or where FILE is -, the text is read from standard input. Texts are
read as UTF-8 (undecodable bytes become U+FFFD) and their line ends \\r\\n and
\\r become \\n, as the detectors expect.

A detector that raises is reported as its exception type and message (for
example get_vkorin_details raises AttributeError for a text without the vKORIN
banner). Lines a detector prints (such as "Unable to get platform for TOLM")
are caught and reported beside its result, never mixed into the output.
"""

EPILOG = """\
pattern tables:
  --table FILE reads a JSON object that maps a key to a regular expression,
  for example {"garu": "Solaris Unix", "tolm": "(TOLM-?[0-9]+).*Chassis"}.
  get_key_value walks the keys in ascending (sorted) order, searches the text
  with each pattern, and the first key whose pattern matches wins; a key that
  sorts earlier wins over a later one whose pattern also matches. --explain
  shows what every key's pattern yielded, so overlapping patterns are easy to
  spot. Every pattern is compiled before any text is read; one that does not
  compile is reported by its key.

output:
  By default, one aligned block per input: each detector's result (in Python
  notation, so '' is the empty string) or its exception, then the table's
  verdict. With --json, one JSON object per input and line:
    {"input": NAME, "error": null or MESSAGE,
     "detectors": {DETECTOR: {"result": STR or null, "error": null or
                              "Type: message", "printed": [LINE, ...]}, ...},
     "table": null or {"key": KEY, "match": TEXT, "groups": [...]},
     "explain": [{"key": KEY, "pattern": PATTERN, "yielded": [...]}, ...]}
  "table" is present with --table (null when no key matched), "explain" with
  --explain.

exit status:
  0  every input was read and classified
  1  some input could not be read (it is named on standard error; the other
     inputs are still reported)
  2  usage error, or a table file that cannot be read or is not valid
"""


class UsageError(Exception):
    """A problem with the command line or the table file: exit status 2."""


def describe_exception(exc: BaseException) -> str:
    message = str(exc)
    return "%s: %s" % (type(exc).__name__, message) if message else type(exc).__name__


def printed_lines(captured: str) -> List[str]:
    return captured.splitlines()


def call_captured(func: Callable[..., Any], *args: Any) -> Tuple[Any, Optional[str], List[str]]:
    """Calls func, catching what it prints on standard output and what it raises.

    The module's print writes to whatever sys.stdout is at the moment of the
    call, so redirecting it here keeps detector lines out of our own output.
    """
    buffer = io.StringIO()
    result = None  # type: Any
    error = None  # type: Optional[str]
    with contextlib.redirect_stdout(buffer):
        try:
            result = func(*args)
        except Exception as exc:  # reported, never a traceback
            error = describe_exception(exc)
    return result, error, printed_lines(buffer.getvalue())


def load_table(path: str) -> Dict[str, str]:
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
    for key in sorted(table):
        pattern = table[key]
        if not isinstance(pattern, str):
            raise UsageError("table %s: the pattern for key %r must be a string, not %s"
                             % (path, key, type(pattern).__name__))
        try:
            # Validation only: the module compiles nothing itself and gets the
            # pattern text, searched with re.search at each use.
            re.compile(pattern)
        except re.error as exc:
            raise UsageError("table %s: the pattern for key %r does not compile: %s" % (path, key, exc))
        except (RecursionError, OverflowError) as exc:
            raise UsageError("table %s: the pattern for key %r does not compile: %s"
                             % (path, key, describe_exception(exc)))
    return table


def read_text(name: str) -> str:
    """The version text of one input; OSError when it cannot be read."""
    if name == "-":
        stdin = sys.stdin
        data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode("utf-8")
    else:
        with open(name, "rb") as stream:
            data = stream.read()
    text = data.decode("utf-8", "replace")
    return text.replace("\r\n", "\n").replace("\r", "\n")


def to_json(value: Any) -> Any:
    """Match result lists hold tuples of groups: JSON has only arrays."""
    if isinstance(value, (list, tuple)):
        return [to_json(item) for item in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return repr(value)


def report(name: str, text: str, table: Optional[Dict[str, str]], explain: bool) -> Dict[str, Any]:
    """Everything this command says about one text, as plain data."""
    detectors = {}  # type: Dict[str, Dict[str, Any]]
    for detector in DETECTORS:
        result, error, printed = call_captured(getattr(fd, detector), text)
        detectors[detector] = {"result": None if error else result, "error": error, "printed": printed}
    entry = {"input": name, "error": None, "detectors": detectors}  # type: Dict[str, Any]
    if table is not None:
        ret, error, printed = call_captured(fd.get_key_value, text, table)
        if error:
            entry["error"] = "get_key_value raised %s" % error
            entry["table"] = None
        elif ret:
            key, (match, groups) = ret[0], ret[1]
            entry["table"] = {"key": key, "match": match, "groups": to_json(groups)}
        else:
            entry["table"] = None
        if printed:
            entry["table_printed"] = printed
    if table is not None and explain:
        # The same walk as get_key_value, key by key, without stopping at the winner.
        steps = []
        for key in sorted(table):
            yielded, error, printed = call_captured(fd.invokeaction, text, table[key])
            step = {"key": key, "pattern": table[key], "yielded": to_json(yielded)}  # type: Dict[str, Any]
            if error:
                step["error"] = error
            if printed:
                step["printed"] = printed
            steps.append(step)
        entry["explain"] = steps
    return entry


def format_block(entry: Dict[str, Any], width: int) -> List[str]:
    """The aligned text form of one report."""
    lines = ["== %s" % entry["input"]]
    for detector, said in entry["detectors"].items():
        value = said["error"] if said["error"] else repr(said["result"])
        if said["printed"]:
            value += "   (printed: %s)" % " | ".join(said["printed"])
        lines.append("  %-*s  %s" % (width, detector, value))
    if "table" in entry:
        won = entry["table"]
        if entry["error"]:
            verdict = entry["error"]
        elif won is None:
            verdict = "no key matched"
        else:
            verdict = "%r   matched %r   groups %r" % (won["key"], won["match"], tuple(won["groups"]))
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
                outcome = "%r %r" % (match, tuple(groups))
                mark = "   <- also matches" if winner_seen else "   <- wins"
                winner_seen = True
            else:
                outcome, mark = "no match", ""
            lines.append("    %-*s  %-*s  %s%s" % (key_width, repr(step["key"]), pattern_width,
                                                    repr(step["pattern"]), outcome, mark))
    return lines


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a device version text (- or none: standard input)")
    parser.add_argument("--json", action="store_true", help="print one JSON object per input and line")
    parser.add_argument("--table", metavar="FILE",
                        help="also classify each text with get_key_value against this JSON pattern table")
    parser.add_argument("--explain", action="store_true",
                        help="with --table: show what every key's pattern yielded, in walk order")
    return parser


def run(argv: Optional[Sequence[str]], stdout: TextIO, stderr: TextIO, prog: str = PROG) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)  # exits with status 2 on a usage error
    if args.explain and args.table is None:
        parser.error("--explain needs --table FILE")
    try:
        table = load_table(args.table) if args.table is not None else None
    except UsageError as exc:
        stderr.write("%s: error: %s\n" % (prog, exc))
        return 2

    names = args.files or ["-"]
    width = max(len(name) for name in DETECTORS)
    status = 0
    first = True
    for name in names:
        shown = "<stdin>" if name == "-" else name
        try:
            text = read_text(name)
        except OSError as exc:
            stderr.write("%s: cannot read %s: %s\n" % (prog, shown, exc.strerror or exc))
            stderr.flush()
            status = 1
            if args.json:
                stdout.write(json.dumps({"input": shown, "error": "cannot read: %s" % (exc.strerror or exc)}) + "\n")
            continue
        entry = report(shown, text, table, args.explain)
        if entry["error"]:
            status = 1
        if args.json:
            stdout.write(json.dumps(entry) + "\n")
        else:
            if not first:
                stdout.write("\n")
            stdout.write("\n".join(format_block(entry, width)) + "\n")
        first = False
        stdout.flush()
    return status


def main(argv: Optional[Sequence[str]] = None, prog: str = PROG) -> int:
    # Results may hold any character; never fail on a narrow terminal encoding.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    try:
        return run(argv, sys.stdout, sys.stderr, prog)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, as other filters do.
        # Point stdout at /dev/null so the flush at exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
