"""What the SSH client configuration says for one host, as OpenSSH's ssh
finds it in the files sshconfig read: the blocks that apply in ssh's order,
the first value obtained for each keyword, and % tokens, ${NAME} and ~
expanded where ssh expands them. A lookup visits only the blocks that can
apply to its host."""
import hashlib
import os
import pwd
import re
import socket
import subprocess
from typing import Any, Callable, Dict, List, Match, NamedTuple, Optional, Pattern, Sequence, Set, Tuple

_MAX_IDENTITY_FILES = 100
_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")  # C's tolower
_TOKENS, _TOKENS_AND_NAMES = re.compile("%(.?)", re.S), re.compile(r"%(.?)|\$\{([^}]*)(\}?)", re.S)
_AS_NUMBERS = int(socket.AI_NUMERICHOST | socket.AI_NUMERICSERV)
_NUMERIC = re.compile("[0-9][0-9a-fA-FxX.]*\\Z")
_PROXY_TOKENS = "hknpr"  # ProxyCommand and ProxyJump expand these; paths all of ssh_config(5)'s
GIVEN = "jump"  # where the hops of -J come from, as a line's "FILE:LINE" says where others do


class ConfigError(ValueError):
    """A configuration ssh would refuse; the message is one line, "FILE:LINE: why"."""


class JumpHost(NamedTuple):
    host: str
    user: Optional[str]
    port: Optional[int]


class HostConfig(NamedTuple):
    """What the configuration says for one host: None where it says nothing."""
    hostname: Optional[str]
    user: Optional[str]
    port: Optional[int]
    identity_files: Optional[Tuple[str, ...]]  # () for IdentityFile none
    identities_only: Optional[bool]
    proxy_jump: Optional[Tuple[JumpHost, ...]]  # the hop reached first comes first
    proxy_command: Optional[str]  # run as ssh runs it: $SHELL -c "exec " + this
    user_known_hosts_files: Optional[Tuple[str, ...]]  # () for none
    host_key_alias: Optional[str]
    connect_timeout: Optional[int]  # seconds
    strict_host_key_checking: Optional[str]  # "yes", "no", "ask" or "accept-new"


def _compile(patterns: Sequence[str]) -> Optional[Pattern[str]]:
    """match.c's wildcards, * and ?, over the whole name; None matches nothing."""
    alts = ["".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in p) for p in patterns]
    return re.compile("(?:%s)\\Z" % "|".join(alts), re.S) if alts else None


class Patterns:
    """A Host line (words) or a Match pattern list (commas), each pattern !negatable."""

    def __init__(self, patterns: Sequence[str]) -> None:
        yes = [p for p in patterns if not p.startswith("!")]
        no = [p[1:] for p in patterns if p.startswith("!")]
        plain = not no and not any("*" in p or "?" in p for p in yes)
        self.names = frozenset(yes) if plain else None  # a block a lookup can find by name
        if self.names is not None:
            self.match = self.names.__contains__  # type: Callable[[str], Any]
        else:
            take, leave = _compile(yes), _compile(no)
            self.match = (lambda name: False) if not take else take.match if not leave else (
                lambda name: bool(take and take.match(name) and not leave.match(name)))


def c_lower(text: str) -> str:
    """C's tolower, letter by letter: ASCII letters only."""
    return text.lower() if text.isascii() else text.translate(_LOWER)


def _expand(text: str, where: str, keys: Dict[str, str], dollar: bool = False) -> str:
    """misc.c's percent_expand, and ${NAME} from the environment where ssh takes it."""
    if "%" not in text and not (dollar and "${" in text):
        return text

    def one(m: Match[str]) -> str:
        if m.group(0).startswith("$"):
            if not m.group(2) or not m.group(3) or m.group(2) not in os.environ:
                raise ConfigError("%s: %r names no environment variable that is set" % (where, text))
            return os.environ[m.group(2)]
        if m.group(1) != "%" and m.group(1) not in keys:
            raise ConfigError("%s: %r has %%%s, which is no token there" % (where, text, m.group(1)))
        return keys.get(m.group(1), "%")
    return (_TOKENS_AND_NAMES if dollar else _TOKENS).sub(one, text)


def _tilde(path: str, where: str, home: str) -> str:
    """misc.c's tilde_expand, but with ~ meaning $HOME as for the rest of the command."""
    if not path.startswith("~"):
        return path
    name, _, tail = path[1:].partition("/")
    if name:
        try:
            home = pwd.getpwnam(name).pw_dir
        except KeyError:
            raise ConfigError("%s: no user %s for %s" % (where, name, path))
    return home.rstrip("/") + "/" + tail.lstrip("/")


def _canonical(name: str) -> str:
    """The host as ssh goes on to use it: an address in its numeric form, a name in lower case."""
    infos = []  # type: List[Any]
    try:
        socket.inet_pton(socket.AF_INET, name)
        return name  # a dotted quad is its own numeric form
    except (OSError, UnicodeError, ValueError):
        pass
    if ":" in name or _NUMERIC.match(name):  # the other forms of inet_pton and inet_aton: no resolver asked
        try:
            infos = socket.getaddrinfo(name, "22", 0, socket.SOCK_STREAM, 0, _AS_NUMBERS)
        except (OSError, UnicodeError, ValueError):
            pass
    if len(infos) == 1:
        addr = socket.getnameinfo(infos[0][4], socket.NI_NUMERICHOST | socket.NI_NUMERICSERV)[0]
        return name if addr.lower() == name.lower() else addr
    return name if re.search(r"[%:]|\A[0-9.]*\Z", name) else c_lower(name)


class Block(NamedTuple):
    head: Any  # None at a file's start, Patterns for Host, a tuple of criteria for Match
    lines: List[Tuple[str, str, Any]]  # (where, keyword, value)


class ParsedFile:
    """A parsed file. The blocks a host can reach: those of Host lines that
    name it plainly, and every other one, in the file's order."""

    def __init__(self, blocks: List[Block]) -> None:
        self.blocks = blocks
        self.named = {}  # type: Dict[str, List[int]]
        self.generic = []  # type: List[int]
        for i, block in enumerate(blocks):
            names = block.head.names if isinstance(block.head, Patterns) else None
            if block.lines and names is None:
                self.generic.append(i)
            for name in set(names or ()) if block.lines else ():
                self.named.setdefault(name, []).append(i)

    def reached(self, host: str) -> List[Block]:
        named = self.named.get(host)
        return [self.blocks[i] for i in (sorted(self.generic + named) if named else self.generic)]


class SSHConfig:
    """The files, read once; lookup() answers for one host at a time."""

    def __init__(self, files: List[ParsedFile], wants_final: bool, home: str) -> None:
        self._files, self._wants_final, self._home = files, wants_final, home
        try:
            self._local_user = pwd.getpwuid(os.getuid()).pw_name
        except KeyError:
            self._local_user = str(os.getuid())
        self._this_host, self._uid = socket.gethostname(), str(os.getuid())
        self._ran = {}  # type: Dict[str, bool]  # Match exec: each command once a run, not once a host

    def lookup(self, host: str, user: Optional[str] = None, port: Optional[int] = None,
               jump: Optional[Tuple[JumpHost, ...]] = ()) -> HostConfig:
        """user, port and jump (the hops of ssh -J; None for -J none): what
        the command line or the target says; they win over the
        configuration, and Match user sees the user, as in ssh."""
        walk = _Walk(self, host)
        if user is not None:
            walk.found["user"] = (user, "")
        if port is not None:
            walk.found["port"] = (port, "")
        if jump != ():  # as a first ProxyJump line: none leaves ProxyCommand to the files, as ssh -J none
            walk.found["proxyjump"] = (jump, GIVEN)
            if jump is not None:
                walk.found["proxycommand"] = ("none", GIVEN)
        for f in self._files:
            walk.file(f)
        named = walk.found.get("hostname")
        final = _canonical(_expand(named[0], named[1], {"h": host}) if named else host)
        if self._wants_final or walk.value("canonicalizehostname"):
            walk.host, walk.final = final, True  # ssh's second pass (no CanonicalDomains search in DNS)
            for f in self._files:
                walk.file(f)
        return walk.result(final, named is not None)

    def run(self, command: str, where: str) -> bool:
        if command not in self._ran:
            shell = os.environ.get("SHELL") or "/bin/sh"
            try:
                done = subprocess.run([shell, "-c", command], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            except OSError as exc:
                raise ConfigError("%s: Match exec cannot start %s: %s" % (where, shell, exc.strerror or exc))
            if done.returncode < 0:
                raise ConfigError("%s: Match exec %r was ended by signal %d" % (where, command, -done.returncode))
            self._ran[command] = done.returncode == 0
        return self._ran[command]


class _Walk:
    """One lookup: the files in ssh's order, the first value obtained kept."""

    def __init__(self, config: SSHConfig, host: str) -> None:
        self.config, self.original, self.host, self.final = config, host, host, False
        self.found = {}  # type: Dict[str, Tuple[Any, str]]  # keyword: (value, where)
        self.ids = []  # type: List[Tuple[str, str]]
        self.taken = set()  # type: Set[Tuple[str, bool]]  # as ssh drops a repeated IdentityFile

    def value(self, keyword: str) -> Any:
        return self.found.get(keyword, (None,))[0]

    def file(self, f: ParsedFile) -> None:
        for block in f.reached(self.host):
            head = block.head
            if head is not None and not (head.match(self.host) if isinstance(head, Patterns) else self.match(head)):
                continue
            for where, keyword, value in block.lines:
                if keyword == "include":
                    for sub in value:
                        self.file(sub)  # its Host and Match lines end with it
                elif keyword == "identityfile":
                    if len(self.ids) >= _MAX_IDENTITY_FILES:
                        raise ConfigError("%s: more than %d identity files" % (where, _MAX_IDENTITY_FILES))
                    if value not in self.taken:
                        self.taken.add(value)
                        self.ids.append((value[0], where))
                elif keyword == "proxyjump":  # hops are the first of either; none stops only a later ProxyJump
                    if "proxyjump" not in self.found and "proxycommand" not in self.found:
                        self.found[keyword] = (value, where)
                        if value is not None:
                            self.found["proxycommand"] = ("none", where)
                elif keyword not in self.found:
                    self.found[keyword] = (value, where)

    def match(self, criteria: Tuple[Tuple[bool, str, Any], ...]) -> bool:
        result = True
        for negate, name, arg in criteria:
            if name == "all":
                return result and not negate
            if name in ("canonical", "final"):
                hit = self.final
            elif name == "exec":
                if not result:
                    continue  # ssh runs no command once the line has failed
                host = self.match_host()
                command = _expand(arg[0], arg[1], self.tokens(host, self.value("hostkeyalias") or host))
                hit = self.config.run(command, arg[1])
            elif name.endswith("host"):
                hit = bool(arg.match(c_lower(self.match_host() if name == "host" else self.original)))
            else:
                hit = bool(arg.match(self.value("user") or self.config._local_user if name == "user" else
                                     self.config._local_user))
            if hit == negate:
                result = False
        return result

    def match_host(self) -> str:
        named = self.found.get("hostname")
        return self.host if self.final or not named else _expand(named[0], named[1], {"h": self.host})

    def tokens(self, host: str, key: str) -> Dict[str, str]:
        """key: %k, the HostKeyAlias or, failing that, the host Match exec sees or the name asked."""
        c = self.config
        port, user = str(self.value("port") or 22), self.value("user") or c._local_user
        digest = hashlib.sha1((c._this_host + host + port + user).encode("utf-8", "surrogateescape")).hexdigest()
        return {"C": digest, "L": c._this_host.split(".")[0], "i": c._uid, "k": key, "l": c._this_host,
                "n": self.original, "p": port, "d": c._home, "h": host, "r": user, "u": c._local_user}

    def result(self, host: str, named: bool) -> HostConfig:
        alias = self.value("hostkeyalias")
        alias = c_lower(alias) if alias is not None else None
        keys = self.tokens(host, alias or self.original)
        proxy = {key: keys[key] for key in _PROXY_TOKENS}

        def path(text: str, where: str) -> str:
            return _expand(_tilde(text, where, self.config._home), where, keys, dollar=True)

        ids = tuple(path(p, where) for p, where in self.ids if c_lower(p) != "none") if self.ids else None
        known = self.found.get("userknownhostsfile")
        files = None if not known else () if c_lower(known[0][0]) == "none" else tuple(
            path(p, known[1]) for p in known[0])
        command = self.found.get("proxycommand")
        jump, hops = self.found.get("proxyjump"), None  # type: Any, Optional[Tuple[JumpHost, ...]]
        if jump and jump[0]:
            last, user = jump[0][-1], self.value("user") or self.config._local_user
            if last.host == host and (last.port or 22) == (self.value("port") or 22) and (last.user or user) == user:
                raise ConfigError("%s: ProxyJump goes through %s to reach %s" % (jump[1], host, host))
            hops = jump[0] if jump[1] == GIVEN else tuple(
                JumpHost(_expand(hop.host, jump[1], proxy), hop.user and _expand(hop.user, jump[1], proxy), hop.port)
                for hop in jump[0])
        return HostConfig(
            host if named else None, self.value("user"), self.value("port"), ids, self.value("identitiesonly"), hops,
            None if not command or c_lower(command[0]) == "none" else _expand(command[0], command[1], proxy),
            files, alias, self.value("connecttimeout"), self.value("stricthostkeychecking"))
