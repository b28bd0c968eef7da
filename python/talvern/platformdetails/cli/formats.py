"""The command's output formats, each one object: its option and its help
line, its header, one input's entry, the separator
between entries and its summary (or none).

Each renders the data of an answer (an entry, see report) where it is
written, in the main process. A new format is a class here and its place
in FORMATS: the command line takes its options from that list.
"""
from __future__ import annotations

from .._detect import DETECTORS
from .escape import escape
from .report import AMBIGUOUS, EMPTY, ERROR, NOT_RECOGNISED, claimants

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

    from .report import Entry


class Format:
    """What every format has; each subclass below is one format."""

    #: The option that chooses this format (None: the default) and its help line.
    option = None  # type: Optional[str]
    help = ""
    #: Written between two non-empty entries, and before the summary.
    separator = ""
    #: False: the format has no summary, and --summary cannot be combined with it.
    has_summary = True

    def header(self, with_table: bool) -> str:
        """Written once, before the first entry."""
        return ""

    def entry(self, entry: Entry) -> str:
        """One input's output with its line end, from its report."""
        raise NotImplementedError

    def summary(self, counts: Dict[str, int], kinds: Dict[str, int], total: int,
                failures: Optional[Dict[str, int]] = None) -> str:
        """The counts of inputs per model and per kind of answer, and for
        devices asked live, of the failed ones per failure class."""
        raise NotImplementedError


class Text(Format):
    """The default: one answer line per input."""

    def entry(self, entry: Entry) -> str:
        if entry["claims"] is None:
            return ""  # an input not answered: said on standard error only
        lines = ["%s: %s" % (escape(entry["input"]), "empty" if entry["empty"] else answer(entry))]
        return "\n".join(lines + table_lines(entry, len("table"))) + "\n"

    def summary(self, counts: Dict[str, int], kinds: Dict[str, int], total: int,
                failures: Optional[Dict[str, int]] = None) -> str:
        rows = sorted(counts.items()) + [(NOT_RECOGNISED, kinds[NOT_RECOGNISED]),
                                         (AMBIGUOUS, kinds[AMBIGUOUS]), (EMPTY, kinds[EMPTY]),
                                         ("errors", kinds[ERROR])]
        rows += [("failed: %s" % kind, count) for kind, count in (failures or {}).items()]
        width = max(len(str(count)) for _, count in rows)
        return "== summary: %d inputs\n" % total + "".join("  %*d  %s\n" % (width, count, escape(label))
                                                           for label, count in rows)


class Detectors(Text):
    option = "--detectors"
    help = "show what each detector returned or raised, a block per input"
    separator = "\n"  # a blank line between blocks

    def entry(self, entry: Entry) -> str:
        if entry["claims"] is None:
            return ""
        return "\n".join(format_detectors(entry)) + "\n"


class Json(Format):
    option = "--json"
    help = "print one JSON object per input and line"
    def entry(self, entry: Entry) -> str:
        return _dumps()(entry) + "\n"

    def summary(self, counts: Dict[str, int], kinds: Dict[str, int], total: int,
                failures: Optional[Dict[str, int]] = None) -> str:
        import json

        whole = {"inputs": total, "models": dict(sorted(counts.items())),
                 "not recognised": kinds[NOT_RECOGNISED], "ambiguous": kinds[AMBIGUOUS],
                 "empty": kinds[EMPTY], "errors": kinds[ERROR]}  # type: Dict[str, Any]
        if failures is not None:
            whole["failures"] = failures
        return json.dumps({"summary": whole}) + "\n"


class Csv(Format):
    option = "--csv"
    help = "print a CSV header and one row per input"
    has_summary = False
    #: A spreadsheet takes a cell beginning so for a formula; ' begins the
    #: cells so guarded, and is guarded too so that no two cells look alike.
    formula_starts = ("=", "+", "-", "@", "'")

    def header(self, with_table: bool) -> str:
        return self.row(["input", "model", "detector", "claims", "error", "empty"]
                        + (["table"] if with_table else []))

    def entry(self, entry: Entry) -> str:
        claims = ";".join("%s=%s" % claim for claim in claimants(entry))
        cells = [entry["input"], entry["model"] or "", entry["detector"] or "", claims, entry["error"] or "",
                 "yes" if entry["empty"] else ""]
        if "table" in entry:
            cells.append(entry["table"]["key"] if entry["table"] else "")
        return self.row(cells)

    def row(self, cells: Sequence[str]) -> str:
        import csv
        import io

        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerow(
            ["'" + cell if cell.startswith(self.formula_starts) else cell for cell in map(escape, cells)])
        return out.getvalue()


class Tsv(Csv):
    """The CSV columns for cut and awk: every row one line, however odd a
    file's name or an error's text."""

    option = "--tsv"
    help = "print a TSV header and one row per input"
    def row(self, cells: Sequence[str]) -> str:
        return "\t".join(map(escape, cells)) + "\n"


_encoder = []  # type: List[Callable[[Any], str]]


def _dumps() -> Callable[[Any], str]:
    """json.dumps, but with json's C encoder made once: json.dumps makes one
    per call, which cost a fleet's main process 8 us of 13 an entry (3.13)."""
    if not _encoder:
        import json.encoder  # only JSON output pays for it

        make = getattr(json.encoder, "c_make_encoder", None)  # not in the stubs: it is json's own
        if make is None:  # no C accelerator in this build
            _encoder.append(json.dumps)
        else:
            encode = make(None, json.JSONEncoder().default, json.encoder.encode_basestring_ascii, None, ": ",
                          ", ", False, False, True)
            _encoder.append(lambda value: "".join(encode(value, 0)))
    return _encoder[0]


#: The default first, then the formats an option chooses, in --help's order.
FORMATS = (Text(), Detectors(), Json(), Csv(), Tsv())  # type: Tuple[Format, ...]


def answer(entry: Entry) -> str:
    """The default output's words for one text."""
    if entry["model"] is not None:
        return "%s (%s)" % (escape(entry["model"]), entry["detector"])
    claimed = claimants(entry)
    if len(claimed) > 1:
        return "ambiguous: " + ", ".join("%s (%s)" % (escape(model), detector) for detector, model in claimed)
    return "not recognised"


def format_named(named: Dict[str, Any]) -> str:
    return "   named %s" % ", ".join("%s=%r" % item for item in named.items()) if named else ""


def table_lines(entry: Dict[str, Any], width: int) -> List[str]:
    """The table's verdict and walk as indented lines."""
    lines = []
    if "table" in entry:
        won = entry["table"]
        if entry["error"]:
            verdict = escape(entry["error"])
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
                outcome, mark = escape(step["error"]), ""
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
    lines = ["== %s" % escape(entry["input"])]
    if entry["empty"]:
        lines.append("  (empty: no text, or only white space)")
    for detector, said in entry["claims"].items():
        value = escape(said["error"]) if said["error"] else repr(said["result"])
        if said["printed"]:
            value += "   (printed: %s)" % " | ".join(escape(line) for line in said["printed"])
        lines.append("  %-*s  %s" % (DETECTOR_WIDTH, detector, value))
    return lines + table_lines(entry, DETECTOR_WIDTH)
