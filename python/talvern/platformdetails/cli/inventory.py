"""The devices a live run asks: ssh:// arguments and inventory files (a
target a line, or CSV with a host column), every mistake told by file and
line, each target once."""
import csv
import io
import re
from typing import Iterable, List, Optional, Sequence, Set, Tuple

from .._detect import describe_exception
from ..live.targets import Target, TargetError, check_user, parse_port, parse_target


COMMENT = re.compile(r"\s#.*")  # after a target: "edge-01  # the lab's"


def read_inventory(path: str) -> List[Target]:
    """One target per line (blank lines and # comments skipped, whole or
    after a target), or CSV whose header names at least host, and perhaps
    user and port."""
    try:
        with open(path, "r", encoding="utf-8-sig", newline="") as stream:
            text = stream.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise TargetError("cannot read the inventory %s: %s" % (path, describe_exception(exc)))
    lines = [(number, COMMENT.sub("", line).strip()) for number, line in enumerate(text.splitlines(), 1)]
    lines = [(number, line) for number, line in lines if line and not line.startswith("#")]
    if not lines:
        return []
    number, first = lines[0]
    header = [cell.strip().lower() for cell in next(csv.reader([first]))]
    if "host" in header and ("," in first or first.lower() == "host"):
        return _read_csv(path, text, header)
    if "," in first and not any("." in cell or ":" in cell or "@" in cell for cell in header):
        raise TargetError("%s:%d: a CSV inventory needs a host column; this header names %s"
                          % (path, number, ", ".join(cell for cell in header if cell) or "none"))
    return [parse_target(line, "%s:%d" % (path, number)) for number, line in lines]


def _read_csv(path: str, text: str, header: List[str]) -> List[Target]:
    # Other columns (a site, a role) are the inventory's own business.
    targets = []
    reader = csv.reader(io.StringIO(text))
    for row in reader:
        number = reader.line_num
        cells = [cell.strip() for cell in row]
        if not any(cells) or cells[0].startswith("#") or [cell.lower() for cell in cells] == header:
            continue
        where = "%s:%d" % (path, number)
        if len(cells) > len(header):
            raise TargetError("%s: %d cells, but the header names %d" % (where, len(cells), len(header)))
        values = dict(zip(header, cells))
        if not values.get("host"):
            raise TargetError("%s: no host" % where)
        target = parse_target(values["host"], where)
        if values.get("user"):
            check_user(values["user"], where)
            target = target._replace(user=values["user"])
        if values.get("port"):
            target = target._replace(port=parse_port(values["port"], where))
        targets.append(target)
    return targets


def collect(arguments: Sequence[str], inventories: Iterable[str]) -> List[Target]:
    """Every target once, in the order given: arguments, then each inventory."""
    found = [parse_target(argument, "target") for argument in arguments]
    for path in inventories:
        found.extend(read_inventory(path))
    seen = set()  # type: Set[Tuple[str, int, Optional[str]]]
    unique = []
    for target in found:
        key = (target.host.lower(), target.port, target.user)
        if key not in seen:
            seen.add(key)
            unique.append(target._replace(given=None))  # the command names a target in its ssh:// form
    return unique
