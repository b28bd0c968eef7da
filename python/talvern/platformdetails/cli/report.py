"""What the command says about one input, as plain data: the detectors'
claims, the pattern table's verdict, or why the input could not be read,
and which kind of answer that is.

Nothing here reads inputs, runs workers, formats output or knows the
command line; an input's bytes are read and decoded before its text
arrives here, and _formats turns the data into the printed entry.
"""
from __future__ import annotations

from .. import function_def as fd
from .._printed import close_capture, open_capture, reroute
from .._detect import LineTooLong, detect

TYPE_CHECKING = False  # as in _cli: typing stays unimported
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

    from .._detect import Detection
    from .tables import Table

RECOGNISED, NOT_RECOGNISED, AMBIGUOUS, EMPTY, ERROR = "recognised", "not recognised", "ambiguous", "empty", "error"
#: Each kind of answer's exit status, as grep's. An empty text is usually a
#: collection that failed, so it is told apart from a device not recognised.
STATUS = {RECOGNISED: 0, NOT_RECOGNISED: 1, AMBIGUOUS: 1, EMPTY: 1, ERROR: 2}


def describe_exception(exc: BaseException) -> str:
    message = str(exc)
    return "%s: %s" % (type(exc).__name__, message) if message else type(exc).__name__


def call_captured(func: Callable[..., Any], *args: Any) -> Tuple[Any, Optional[str], List[str]]:
    """Calls func, catching what it prints on standard output and what it raises.

    The printed lines are caught as detect() catches a detector's, split on
    \\n only, and nothing else that the program prints is taken with them.
    """
    result = None  # type: Any
    error = None  # type: Optional[str]
    capture = open_capture()
    try:
        reroute()
        try:
            result = func(*args)
        except Exception as exc:  # reported, never a traceback
            error = describe_exception(exc)
        printed = list(capture.take())
    finally:
        close_capture(capture)
    return result, error, printed


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


def report(name: str, text: Optional[str], table: Optional[Table], explain: bool,
           error: Optional[str] = None,
           max_line_length: Optional[int] = None) -> Tuple[Dict[str, Any], Optional[Detection]]:
    """Everything this command says about one input, as plain data, and the
    detection behind it. text is None for an input that could not be
    answered, with error saying why: its entry has the same keys, empty.
    A text with a line longer than max_line_length is not answered either."""
    detection = None
    if text is not None:
        try:
            detection = detect(text, max_line_length=max_line_length)
        except LineTooLong as exc:
            text, error = None, "line %d is %d characters long, over the line-length limit of %d" % (
                exc.line, exc.length, exc.limit)
    entry = {"input": name, "model": None, "detector": None, "claims": None,
             "error": error, "empty": text is not None and not text.strip()}  # type: Dict[str, Any]
    if detection is not None:
        entry.update(model=detection.model, detector=detection.detector, claims=claims_json(detection))
    if table is None:
        return entry, detection
    entry["table"] = None  # the same keys on every line
    if text is None:
        if explain:
            entry["explain"] = []
        return entry, detection
    ret, raised, printed = call_captured(fd.get_key_value, text, table.patterns)
    if raised:
        entry["error"] = "get_key_value raised %s" % raised
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
            yielded, raised, printed = call_captured(fd.invokeaction, text, table.patterns[key])
            step = {"key": key, "pattern": table.patterns[key], "yielded": to_json(yielded),
                    "named": named_groups(table.names[key], yielded[1]) if yielded else {}}  # type: Dict[str, Any]
            if raised:
                step["error"] = raised
            if printed:
                step["printed"] = printed
            steps.append(step)
        entry["explain"] = steps
    return entry, detection


def kind(entry: Dict[str, Any], detection: Optional[Detection]) -> str:
    """Which kind of answer a report is: RECOGNISED, NOT_RECOGNISED, AMBIGUOUS, EMPTY or ERROR."""
    if detection is None or entry["error"]:
        return ERROR
    if entry["empty"]:
        return EMPTY
    if detection.model is not None:
        return RECOGNISED
    return AMBIGUOUS if detection.ambiguous else NOT_RECOGNISED
