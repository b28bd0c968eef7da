"""The devices a live run asks: ssh:// arguments and inventory files (a
target a line, or CSV with a host column), every mistake told by file and
line, each target once."""
import csv
import io
import re
from typing import Dict, Iterable, List, Optional, Sequence, Set, Tuple

from .._detect import describe_exception
from ..live.credentials import ENVIRONMENT_NAME
from ..live.sshconfig import ConfigError, parse_jump
from ..live.targets import DEFAULT_PORT, Target, TargetError, check_user, is_text, parse_port, parse_target


COMMENT = re.compile(r"\s#.*")  # after a target: "edge-01  # the lab's"


def read_inventory(path: str) -> List[Target]:
    """One target per line (blank lines and # comments skipped, whole or
    after a target), or CSV whose header names at least host, and perhaps
    user, port, identity (a key file), password_env (the environment
    variable holding the device's password) and jump (its jump hosts, as
    ssh -J takes them)."""
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
            port = parse_port(values["port"], where)
            target = target._replace(port=port, port_named=port == DEFAULT_PORT)
        targets.append(_own(target, values, where))
    return targets


def _own(target: Target, values: Dict[str, str], where: str) -> Target:
    """The target with its own key file, password variable and jump hosts,
    checked (a password typed where its variable's name belongs is not repeated)."""
    found = {name: values[name] for name in ("identity", "password_env", "jump") if values.get(name)}
    if not is_text(found.get("identity", "")):
        raise TargetError("%s: an identity file name with a control character" % where)
    if "password_env" in found and not ENVIRONMENT_NAME.match(found["password_env"]):
        raise TargetError("%s: password_env must name an environment variable (A-Z, 0-9, _), not a password"
                          % where)
    if "jump" in found:
        try:
            parse_jump(found["jump"], where, "jump")
        except ConfigError as exc:
            raise TargetError("%s: it is [user@]host[:port][,...], or none" % exc) from None
    return target._replace(identity=found.get("identity"), password_env=found.get("password_env"),
                           jump=found.get("jump"))


def collect(arguments: Sequence[str], inventories: Iterable[str]) -> List[Target]:
    """Every target once, in the order given: arguments, then each inventory."""
    found = [parse_target(argument, "target") for argument in arguments]
    for path in inventories:
        found.extend(read_inventory(path))
    return unique(found)


def unique(targets: Iterable[Target]) -> List[Target]:
    """Each target once (the first given), named in its ssh:// form, as the command names targets."""
    seen = set()  # type: Set[Tuple[str, int, Optional[str]]]
    kept = []
    for target in targets:
        key = (target.host.lower(), target.port, target.user)
        if key not in seen:
            seen.add(key)
            kept.append(target._replace(given=None))
    return kept
