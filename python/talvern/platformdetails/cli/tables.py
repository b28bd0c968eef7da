"""Pattern tables for ``--table``: a JSON file of key to regular expression,
read and checked once, before any input is read."""
from __future__ import annotations

import re

from .._decode import BOMS
from .._detect import describe_exception
from .escape import escape
from .inputs import MAX_SIZE, TooLarge, read_bounded, shown_size

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Dict, List, Tuple


class TableError(Exception):
    """A table file that cannot be read or is not a table: exit status 2."""


class Table:
    """A checked table: its patterns, and per key the pattern's named groups
    as (name, group number)."""

    __slots__ = ("patterns", "names")

    def __init__(self, patterns: Dict[str, str], names: Dict[str, List[Tuple[str, int]]]) -> None:
        self.patterns, self.names = patterns, names


def _text(path: str, data: bytes) -> str:
    """The table's text: a byte-order mark is honoured as for inputs, and
    without one the file must be UTF-8."""
    for bom, encoding in BOMS:
        if data.startswith(bom):
            data = data[len(bom):]
            break
    else:
        encoding = "utf-8"
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as exc:
        raise TableError("table %s is not %s: %s" % (path, encoding.upper(), exc))


def load_table(path: str) -> Table:
    """Reads and checks a pattern table; raises TableError with a one-line reason."""
    shown = escape(path)  # the name as a terminal may show it
    import json  # only a run with --table pays for it

    try:
        with open(path, "rb") as stream:
            data = read_bounded(stream.read, MAX_SIZE)
    except OSError as exc:
        raise TableError("cannot read table %s: %s" % (shown, describe_exception(exc)))
    except TooLarge:
        raise TableError("table %s is larger than %s" % (shown, shown_size(MAX_SIZE)))
    except MemoryError:
        raise TableError("table %s: out of memory while reading it" % shown)

    def no_duplicates(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
        table = {}  # type: Dict[str, Any]
        for key, value in pairs:
            if key in table:
                raise TableError("table %s: key %r appears twice" % (shown, key))
            table[key] = value
        return table

    try:
        table = json.loads(_text(shown, data), object_pairs_hook=no_duplicates)
    except ValueError as exc:  # json.JSONDecodeError is a ValueError
        raise TableError("table %s is not valid JSON: %s" % (shown, exc))
    except RecursionError:  # json's decoder recurses once per [ or {
        raise TableError("table %s is not valid JSON: nested too deeply" % shown)
    except MemoryError:
        raise TableError("table %s: out of memory while reading it" % shown)
    if not isinstance(table, dict):
        raise TableError("table %s must be a JSON object of key to pattern, not %s"
                         % (shown, type(table).__name__))
    names = {}  # type: Dict[str, List[Tuple[str, int]]]
    for key in sorted(table):
        pattern = table[key]
        if not isinstance(pattern, str):
            raise TableError("table %s: the pattern for key %r must be a string, not %s"
                             % (shown, key, type(pattern).__name__))
        try:
            # The module gets the pattern text and searches with it at each
            # use; compiling here checks it and tells its named groups.
            compiled = re.compile(pattern)
        except re.error as exc:  # its message may quote the pattern
            raise TableError("table %s: the pattern for key %r does not compile: %s"
                             % (shown, key, escape(str(exc))))
        except Exception as exc:  # RecursionError, OverflowError: whatever re says, one line
            raise TableError("table %s: the pattern for key %r does not compile: %s"
                             % (shown, key, describe_exception(exc)))
        names[key] = sorted(compiled.groupindex.items(), key=lambda item: item[1])
    return Table(table, names)
