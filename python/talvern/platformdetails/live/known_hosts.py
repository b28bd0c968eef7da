"""known_hosts files as OpenSSH reads them: their lines, hashed names,
patterns and markers, found by a host's name with their file and line."""
import base64
import binascii
import hmac
import os
import re
from functools import lru_cache
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

from ._asyncssh import asyncssh

REVOKED, CA = "@revoked", "@cert-authority"
_FIELDS = re.compile(r"[ \t]+")
_ASCII_LOWER = {code: code + 32 for code in range(ord("A"), ord("Z") + 1)}


def host_pattern(host: str, port: int) -> str:
    """How known_hosts names a host: bare on port 22, [host]:port elsewhere."""
    return host if port == 22 else "[%s]:%d" % (host, port)


def lookup_name(host: str) -> str:
    """The host as known_hosts names it: its ASCII (IDNA) form, in lower case
    (a name without one as it is: it is never recorded)."""
    try:
        return lower_ascii(host if host.isascii() else host.encode("idna").decode("ascii"))
    except UnicodeError:
        return lower_ascii(host)


def lower_ascii(text: str) -> str:
    """Lower case as OpenSSH has it: ASCII letters only."""
    return text.lower() if text.isascii() else text.translate(_ASCII_LOWER)


def fingerprint(key: Any) -> str:
    return "%s %s" % (key.get_algorithm(), key.get_fingerprint("sha256"))


@lru_cache(maxsize=1024)
def _glob(pattern: str) -> Any:
    return re.compile("".join(".*" if char == "*" else "." if char == "?" else re.escape(char)
                              for char in pattern) + r"\Z", re.S)


def _matches(name: str, names: str) -> bool:
    """Whether a line's list of patterns (* and ?) takes the name, as
    OpenSSH's match_hostname: a negated one (!) that matches refuses it."""
    found = False
    for pattern in names.split(","):
        negated = pattern.startswith("!")
        pattern = lower_ascii(pattern[1:] if negated else pattern)
        if len(pattern) >= 1023:  # OpenSSH's limit: the whole list then matches nothing
            return False
        if _glob(pattern).match(name):
            if negated:
                return False
            found = True
    return found


def _b64(text: str) -> Optional[bytes]:
    """The 20 bytes of a salt or HMAC-SHA1, from base64 as OpenSSH writes it."""
    try:
        decoded = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    return decoded if len(decoded) == 20 and base64.b64encode(decoded).decode("ascii") == text else None


class Record(NamedTuple):
    path: str
    line: int
    marker: str  # "-" for none
    names: str
    key: Any


class KnownHostsFile:
    """One known_hosts file. Its plain lines (no pattern, hash or marker: as
    ssh and this tool write them) are kept as text by name, their keys parsed
    when their host is asked: a fleet of thousands costs little memory. The
    others, hashed names with salt and HMAC decoded, are matched one by one
    as OpenSSH does. A line is kept as "NUMBER MARKER NAMES TYPE BLOB"."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._reset()

    def _reset(self) -> None:
        self.named = {}  # type: Dict[str, Union[str, Tuple[str, ...]]]
        self.hashed = []  # type: List[Tuple[bytes, bytes, str]]  # salt, digest, line
        self.others = []  # type: List[str]
        self.size = self.lines = 0  # read so far: bytes up to the last newline, and the lines in them
        self.taken = 0  # lines taken: those, and a last one without its newline
        self.identity = None  # type: Optional[Tuple[int, int]]

    def catch_up(self, handle: int, problems: List[str]) -> None:
        """Takes what was appended since the last reading (by another process);
        the whole file again when it was replaced or cut short since."""
        status = os.fstat(handle)
        if (status.st_dev, status.st_ino) != self.identity or status.st_size < self.size:
            self._reset()
            self.identity = (status.st_dev, status.st_ino)
        with open(handle, "rb", closefd=False) as stream:
            stream.seek(self.size)
            data = stream.read(status.st_size - self.size)
        pieces = data.decode("utf-8", "replace").split("\n")
        for number, line in enumerate(pieces, self.lines + 1):
            if number > self.taken and line:
                why = self._take(line[:-1] if line.endswith("\r") else line, number)
                if why:
                    problems.append("%s:%d: %s; the line is skipped" % (self.path, number, why))
        self.taken = max(self.taken, self.lines + len(pieces) - (0 if pieces[-1] else 1))
        self.lines += len(pieces) - 1
        self.size += data.rfind(b"\n") + 1

    def _take(self, line: str, number: int) -> Optional[str]:
        """Keeps a line as OpenSSH's hostkeys_foreach_file reads it; or says
        why it is skipped."""
        fields = _FIELDS.split(line.lstrip(" \t"), 4)
        if not fields[0] or fields[0].startswith("#"):
            return None
        # OpenSSH ends a marker at the line's first space if it has one, not a tab.
        marker = fields.pop(0) if fields[0].startswith("@") else "-"
        if marker not in ("-", REVOKED, CA):
            return "an unknown marker (%s)" % marker[:32]
        if fields and fields[0].startswith("@"):
            return "more than one marker"
        if marker == CA:
            return "@cert-authority lines are not used: certificate host keys are not asked for"
        if len(fields) < 3 or not fields[2] or fields[1].startswith("#"):
            return "no key after the host names"
        names = fields[0]
        salt, _, digest = names[3:].partition("|")
        hashed = (_b64(salt), _b64(digest) or b"") if names.startswith("|") else None
        if hashed is not None and (not names.startswith("|1|") or hashed[0] is None):
            return "a hashed host name that is not |1|salt|hash"
        try:
            asyncssh.import_public_key("%s %s" % (fields[1], fields[2]))
        except ValueError as exc:
            return "the key cannot be read (%s)" % exc
        entry = "%d %s %s %s %s" % (number, marker, names, fields[1], fields[2])
        if hashed is not None:
            self.hashed.append((hashed[0] or b"", hashed[1], entry))  # a digest that is not one matches nothing
        elif marker != "-" or any(char in names for char in "*?!") or any(
                len(name) >= 1023 for name in names.split(",")):
            self.others.append(entry)
        else:
            for name in dict.fromkeys(lower_ascii(names).split(",")):
                kept = self.named.get(name)
                self.named[name] = entry if kept is None else (
                    (kept if isinstance(kept, tuple) else (kept,)) + (entry,))
        return None

    def records(self, name: str) -> List[Record]:
        kept = self.named.get(name, ())
        entries = [kept] if isinstance(kept, str) else list(kept)
        encoded = name.encode("utf-8", "surrogateescape")
        entries += [entry for salt, digest, entry in self.hashed if hmac.digest(salt, encoded, "sha1") == digest]
        entries += [entry for entry in self.others if _matches(name, entry.split(" ", 3)[2])]
        found = []
        for entry in entries:
            number, marker, names, algorithm, blob = entry.split(" ")
            found.append(Record(self.path, int(number), marker, names,
                                 asyncssh.import_public_key("%s %s" % (algorithm, blob))))
        return sorted(found, key=lambda record: record.line)
