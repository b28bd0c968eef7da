"""What the command says about one input, as plain data: the detectors'
claims, the pattern table's verdict, or why the input could not be read,
and which kind of answer that is.

Nothing here reads inputs, runs workers or formats output; an entry is the
data a format renders (and --json writes as it is).
"""
from __future__ import annotations

from .. import function_def as fd
from .._detect import describe_exception
from .._printed import close_capture, open_capture, reroute

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

    from .._detect import Detection
    from .tables import Table

    Entry = Dict[str, Any]

RECOGNISED, NOT_RECOGNISED, AMBIGUOUS, EMPTY, ERROR = "recognised", "not recognised", "ambiguous", "empty", "error"
#: Each kind of answer's exit status, as grep's. An empty text is usually a
#: collection that failed, so it is told apart from a device not recognised.
STATUS = {RECOGNISED: 0, NOT_RECOGNISED: 1, AMBIGUOUS: 1, EMPTY: 1, ERROR: 2}


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


def report(name: str, text: Optional[str], detection: Optional[Detection], table: Optional[Table],
           explain: bool, error: Optional[str] = None) -> Entry:
    """Everything this command says about one input, as plain data. text
    and detection are None for an input that could not be answered, with
    error saying why: its entry has the same keys, empty."""
    entry = {"input": name, "model": None, "detector": None, "claims": None,
             "error": error, "empty": text is not None and not text.strip()}  # type: Entry
    if detection is not None:
        entry.update(model=detection.model, detector=detection.detector, claims=claims_json(detection))
    if table is None:
        return entry
    entry["table"] = None  # the same keys on every line
    if text is None:
        if explain:
            entry["explain"] = []
        return entry
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
    return entry


def claimants(entry: Entry) -> List[Tuple[str, str]]:
    """(detector, model) of each claim that names a model, in detector order."""
    claims = entry["claims"] or {}
    return [(detector, said["result"]) for detector, said in claims.items() if said["result"]]


def kind(entry: Entry) -> str:
    """Which kind of answer an entry is: RECOGNISED, NOT_RECOGNISED, AMBIGUOUS, EMPTY or ERROR."""
    if entry["claims"] is None or entry["error"]:
        return ERROR
    if entry["empty"]:
        return EMPTY
    if entry["model"] is not None:
        return RECOGNISED
    return AMBIGUOUS if len(claimants(entry)) > 1 else NOT_RECOGNISED
