"""What the command says about one version text: the detectors' claims and
the pattern table's verdict as plain data, and that data as a text line, a
per-detector block, a JSON object or a CSV row.

Nothing here reads inputs, runs workers or knows the command line beyond
the Options it is handed.
"""
import csv
import io
import json
import re
import sys
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

from . import function_def as fd
from ._detect import DETECTORS, Detection, detect


class UsageError(Exception):
    """A problem with the command line or the table file: exit status 2."""


class Table(NamedTuple):
    patterns: Dict[str, str]
    #: Per key, the pattern's named groups as (name, group number).
    names: Dict[str, List[Tuple[str, int]]]


class Options(NamedTuple):
    mode: str  # "text", "detectors", "json" or "csv"
    table: Optional[Table]
    explain: bool
    prog: str


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
