"""The devices of a live run: ssh:// arguments and inventory files, read
into targets with every mistake told by line."""
import csv
import io
import unicodedata
from typing import Iterable, List, NamedTuple, Optional, Sequence, Set, Tuple

SCHEME = "ssh://"
DEFAULT_PORT = 22


class TargetError(ValueError):
    """A target or an inventory that cannot be read; the message says where."""


class Target(NamedTuple):
    host: str
    port: int
    user: Optional[str]  # None: the run's user

    @property
    def shown(self) -> str:
        """How answers name the target: its ssh:// form, which reads back the same."""
        host = "[%s]" % self.host if ":" in self.host else self.host
        user = self.user + "@" if self.user else ""
        port = ":%d" % self.port if self.port != DEFAULT_PORT else ""
        return SCHEME + user + host + port


def parse_port(text: str, where: str) -> int:
    if not text.isdigit() or not 0 < int(text) < 65536:
        raise TargetError("%s: the port must be a number from 1 to 65535, not %r" % (where, text))
    return int(text)


def check_user(user: str, where: str) -> None:
    """A user name with a password after it (user:password@host) is
    refused, and the error does not repeat it."""
    if ":" in user:
        raise TargetError("%s: a password in a target is not taken, nor shown; give it with --password-env"
                          " or --ask-password" % where)
    if not is_text(user):
        raise TargetError("%s: a user name with a control character, or bytes that are not UTF-8" % where)


def is_text(name: str) -> bool:
    """No control character, line separator or lone surrogate (a byte of
    the command line that is not UTF-8); joiners and other format
    characters of internationalised names are text."""
    return not any(unicodedata.category(char) in ("Cc", "Cs", "Zl", "Zp") for char in name)


def parse_target(text: str, where: str) -> Target:
    """[ssh://][user@]host[:port], an IPv6 address bracketed when it has a port."""
    spec = text.strip()
    if spec.startswith(SCHEME):
        spec = spec[len(SCHEME):]
    spec = spec.rstrip("/")
    user = None  # type: Optional[str]
    if "@" in spec:
        user, spec = spec.rsplit("@", 1)
        if not user:
            raise TargetError("%s: an empty user name in %r" % (where, text))
        check_user(user, where)
    port = DEFAULT_PORT
    if spec.startswith("["):
        host, bracket, rest = spec[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise TargetError("%s: a bracketed address needs its ] in %r" % (where, text))
        if rest:
            port = parse_port(rest[1:], where)
    elif spec.count(":") == 1:
        host, _, port_text = spec.partition(":")
        port = parse_port(port_text, where)
    else:
        host = spec  # a name, an IPv4 address, or IPv6 without a port
    if not host or not is_text(host) or any(char.isspace() or char in "/@[],;" for char in host):
        raise TargetError("%s: no host name or address in %r" % (where, text))
    return Target(host, port, user)


def read_inventory(path: str) -> List[Target]:
    """One target per line (blank lines and # comments skipped), or CSV
    whose header names at least host, and perhaps user and port."""
    try:
        with open(path, "r", encoding="utf-8-sig", newline="") as stream:
            text = stream.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise TargetError("cannot read the inventory %s: %s" % (path, getattr(exc, "strerror", None) or exc))
    lines = [(number, line.strip()) for number, line in enumerate(text.splitlines(), 1)]
    lines = [(number, line) for number, line in lines if line and not line.startswith("#")]
    if not lines:
        return []
    first = lines[0][1]
    header = [cell.strip().lower() for cell in next(csv.reader([first]))]
    if "host" in header and ("," in first or first.lower() == "host"):
        return _read_csv(path, text, header)
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
            unique.append(target)
    return unique
