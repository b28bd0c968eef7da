"""Host keys as OpenSSH users keep them: the user's known_hosts, checked
for every device, and the tool's own file, where --accept-new-host-keys
records hosts seen for the first time. Both are read once per process."""
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ._asyncssh import asyncssh


def default_user_file() -> str:
    return os.path.join(os.path.expanduser("~"), ".ssh", "known_hosts")


def default_own_file() -> str:
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "talvern-platformdetails", "known_hosts")


def host_pattern(host: str, port: int) -> str:
    """How known_hosts names a host: bare on port 22, [host]:port elsewhere."""
    return host if port == 22 else "[%s]:%d" % (host, port)


def _read(path: str) -> Optional[Any]:
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as stream:
            text = stream.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise ValueError("cannot read %s: %s" % (path, exc.strerror or exc))
    text = "\n".join(_as_matched(line) for line in text.splitlines())
    try:
        return _PlainHosts.read(text) or asyncssh.import_known_hosts(text)
    except (ValueError, asyncssh.KeyImportError) as exc:
        raise ValueError("cannot read %s: %s" % (path, exc))


def _as_matched(line: str) -> str:
    """The line with its host names as OpenSSH matches them: in lower case
    (hashed ones aside), and without the empty name a stray comma leaves,
    which asyncssh would match to any host asked without an address."""
    line = line.strip()
    fields = line.split(None, 2 if line.startswith("@") else 1)  # a marker ends at a space or a tab
    if line.startswith("#") or len(fields) < (3 if line.startswith("@") else 2):
        return line
    names = [name if name.startswith("|") else name.lower() for name in fields[-2].split(",") if name]
    if not names:
        return ""
    return " ".join(fields[:-2] + [",".join(names), fields[-1]])


class _PlainHosts:
    """A known_hosts file whose every line names its hosts plainly, as ssh
    without HashKnownHosts and --accept-new-host-keys write them. Its lines
    are kept as text by name, and a host's lines are parsed only when that
    host is asked: a fleet's file held parsed took a kilobyte a host in the
    process that asks them all. Matching is asyncssh's, over those lines."""

    def __init__(self, lines: Dict[str, List[str]]) -> None:
        self.lines = lines

    @classmethod
    def read(cls, text: str) -> Optional["_PlainHosts"]:
        """None when a line is hashed, a pattern or marked, or is not
        one asyncssh reads: such a file is parsed whole."""
        lines = {}  # type: Dict[str, List[str]]
        for line in text.splitlines():
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split(None, 1)
            if len(fields) < 2 or line.startswith("@") or any(c in fields[0] for c in "*?|/!"):
                return None
            for name in fields[0].split(","):
                lines.setdefault(name, []).append(line)
        return cls(lines)

    def match(self, host: str, addr: str, port: Optional[int]) -> Any:
        names = [host, addr] + (["[%s]:%d" % (host, port) if host else "", "[%s]:%d" % (addr, port) if addr else ""]
                                if port else [])
        found = dict.fromkeys(line for name in names for line in self.lines.get(name, ()))
        return asyncssh.import_known_hosts("\n".join(found)).match(host, addr, port)


def fingerprint(key: Any) -> str:
    return "%s %s" % (key.get_algorithm(), key.get_fingerprint("sha256"))


class HostKeys:
    """The known keys, matched per connection without reading a file again."""

    def __init__(self, user_files: Sequence[str], own_file: str, accept_new: bool) -> None:
        self.own_file = own_file
        self.accept_new = accept_new
        self.files = []  # type: List[Tuple[str, Any]]
        for path in list(user_files) + [own_file]:
            loaded = _read(path)
            if loaded is not None:
                self.files.append((path, loaded))
        self.added = {}  # type: dict  # type: ignore[type-arg]

    def _known(self, host: str, addr: str, port: int) -> Tuple[List[Tuple[str, Any]], List[Tuple[str, Any]]]:
        """The (file, key) pairs on record for the host, by name or address,
        and those marked revoked, found as OpenSSH finds them: the name in
        lower case, and a port other than 22 only as [host]:port (asyncssh
        would also try the host's port-22 entries)."""
        host = host.lower()
        if port == 22:
            names = [(host, addr)]
        else:  # asyncssh takes an address for an IP, and [addr]:port is none
            names = [(host_pattern(host, port), "")] + ([(host_pattern(addr, port), "")] if addr else [])
        trusted = []  # type: List[Tuple[str, Any]]
        revoked = []  # type: List[Tuple[str, Any]]
        for path, known in self.files:
            for name, address in names:
                keys, _, marked = known.match(name, address, None)[:3]
                trusted.extend((path, key) for key in keys)
                revoked.extend((path, key) for key in marked)
        trusted.extend((self.own_file, key) for key in self.added.get((host, port), ()))
        return trusted, revoked

    def algorithms(self, host: str, port: int) -> List[str]:
        """Signature algorithms of the keys on record, to ask for them first."""
        algs = []  # type: List[str]
        # No address yet: asyncssh takes an address for an IP, and a name is none.
        for path, key in self._known(host, "", port)[0]:
            algs.extend(alg.decode("ascii") for alg in key.sig_algorithms)
        return algs

    def none(self, host: str, addr: str, port: Optional[int]) -> Tuple[list, list, list]:  # type: ignore[type-arg]
        """For asyncssh: no key is trusted outright, so that every key
        reaches check() below, which tells changed from unknown."""
        return [], [], []

    def check(self, host: str, addr: str, port: int, key: Any) -> Optional[str]:
        """None when the key is the one on record; else the one-line reason.
        A revoked key is refused even where it is also on record."""
        known, revoked = self._known(host, addr, port)
        for path, stored in revoked:
            if stored == key:
                return "the host key of %s is marked revoked (in %s)" % (host_pattern(host, port), path)
        if any(stored == key for _, stored in known):
            return None
        offered = fingerprint(key)
        if known:
            stored_types = sorted(set(stored.get_algorithm() for _, stored in known))
            return ("HOST KEY CHANGED for %s: it offered %s, but %s holds %s; someone may be"
                    " intercepting the connection. Check the device; if the change is expected, remove"
                    " the old key (ssh-keygen -R) and connect again"
                    % (host_pattern(host, port), offered, known[0][0], ", ".join(stored_types)))
        if not self.accept_new:
            return ("unknown host %s (key %s); verify it and add it to known_hosts, or use"
                    " --accept-new-host-keys" % (host_pattern(host, port), offered))
        self.record(host, port, key)
        return None

    def record(self, host: str, port: int, key: Any) -> None:
        """A new host's key, appended to the tool's own file only."""
        host = host.lower()
        self.added.setdefault((host, port), []).append(key)
        line = "%s %s\n" % (host_pattern(host, port), key.export_public_key("openssh").decode("ascii").strip())
        folder = os.path.dirname(self.own_file)
        if folder:
            os.makedirs(folder, mode=0o700, exist_ok=True)
        # One write with O_APPEND: lines from worker processes do not interleave.
        handle = os.open(self.own_file, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
        try:
            os.write(handle, line.encode("ascii"))
        finally:
            os.close(handle)
