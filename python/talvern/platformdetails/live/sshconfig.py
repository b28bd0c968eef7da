"""The user's SSH client configuration, read as OpenSSH's ssh reads it:
~/.ssh/config then /etc/ssh/ssh_config (or one file, as ssh -F), Host and
Match blocks, Include, the first value obtained for each keyword, and %
tokens and ~ expanded where ssh expands them. Files are parsed once, and a
lookup visits only the blocks that can apply to its host."""
import glob
import hashlib
import os
import pwd
import re
import socket
import subprocess
import urllib.parse
from typing import Any, Callable, Dict, List, Match, NamedTuple, Optional, Pattern, Sequence, Set, Tuple

SYSTEM_FILE = "/etc/ssh/ssh_config"
_WS = " \t\r\n"
_MAX_DEPTH = 16  # nested Includes, as readconf.c bounds them
_MAX_IDENTITY_FILES = 100
_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")  # C's tolower
_STRINGS = ("hostname", "user", "hostkeyalias", "identityfile")
_STATES: Dict[str, Dict[str, Any]] = {
    "stricthostkeychecking": {"yes": "yes", "true": "yes", "no": "no", "false": "no", "off": "no", "ask": "ask",
                              "accept-new": "accept-new"},
    "identitiesonly": {"yes": True, "true": True, "no": False, "false": False},
    "canonicalizehostname": {"yes": True, "true": True, "always": True, "no": False, "false": False}}
_USED = _STRINGS + tuple(_STATES) + ("port", "connecttimeout", "host", "include", "userknownhostsfile")
_DELIM, _QUOTED, _BLANKS = re.compile(r'[ \t\r\n"=]'), re.compile("[\"'\\\\#]"), re.compile("[ \t]+")
_TOKENS, _TOKENS_AND_NAMES = re.compile("%(.?)", re.S), re.compile(r"%(.?)|\$\{([^}]*)(\}?)", re.S)
_AS_NUMBERS = int(socket.AI_NUMERICHOST | socket.AI_NUMERICSERV)
_NUMERIC = re.compile("[0-9][0-9a-fA-FxX.]*\\Z")
_PROXY_TOKENS = "hknpr"  # ProxyCommand and ProxyJump expand these; paths all of ssh_config(5)'s


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


def _strdelim(s: Optional[str]) -> Tuple[Optional[str], Optional[str]]:
    """misc.c's strdelim: the next word, split at blanks, one "=", or "quotes"."""
    if s is None:
        return None, None
    m = _DELIM.search(s)
    if m is None:
        return s, None
    i = m.start()
    if s[i] == '"':
        s = s[:i] + s[i + 1:]
        end = s.find('"', i)
        return (None, None) if end < 0 else (s[:end], s[end + 1:].lstrip(_WS))
    rest = s[i + 1:].lstrip(_WS)
    if s[i] != "=" and rest.startswith("="):
        rest = rest[1:].lstrip(_WS)
    return s[:i], rest


def _argv_split(s: str, where: str) -> List[str]:
    """misc.c's argv_split: words, 'quotes', "quotes", \\ escapes, # ends the line."""
    if not _QUOTED.search(s):
        return [arg for arg in _BLANKS.split(s) if arg]
    args, i, n = [], 0, len(s)
    while i < n:
        if s[i] in " \t":
            i += 1
            continue
        if s[i] == "#":
            break
        arg, quote = [], ""
        while i < n and (quote or s[i] not in " \t"):
            c = s[i]
            if c == "\\" and i + 1 < n and (s[i + 1] in "'\"\\" or (not quote and s[i + 1] == " ")):
                i += 1
                arg.append(s[i])
            elif not quote and c in "'\"":
                quote = c
            elif quote and c == quote:
                quote = ""
            else:
                arg.append(c)
            i += 1
        if quote:
            raise ConfigError("%s: a quote is not closed" % where)
        args.append("".join(arg))
    return args


def _compile(patterns: Sequence[str]) -> Optional[Pattern[str]]:
    """match.c's wildcards, * and ?, over the whole name; None matches nothing."""
    alts = ["".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in p) for p in patterns]
    return re.compile("(?:%s)\\Z" % "|".join(alts), re.S) if alts else None


class _Patterns:
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


def _lower(text: str) -> str:
    """C's tolower, letter by letter: ASCII letters only."""
    return text.lower() if text.isascii() else text.translate(_LOWER)


def _port(text: str) -> int:
    """misc.c's a2port: 0 to 65535 or a service name; -1 for neither."""
    if re.match(r"[ \t\n\v\f\r]*[+-]?[0-9]+\Z", text) and abs(int(text)) <= 65535:
        return int(text)
    try:
        return socket.getservbyname(text, "tcp")
    except (OSError, UnicodeError, ValueError):
        return -1


def _seconds(text: str) -> Optional[int]:
    """misc.c's convtime: 90, 90s, 1h30m; None when it is none of those."""
    total, pos, units = 0, 0, {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800}
    while True:
        m = re.compile(r"[ \t\n\v\f\r]*([+-]?[0-9]+)([sSmMhHdDwW]|\Z)").match(text, pos)
        if m is None or int(m.group(1)) < 0:
            return None
        total += int(m.group(1)) * units[m.group(2).lower()]
        if total > 2 ** 31 - 1:
            return None
        pos = m.end()
        if pos == len(text):
            return total


def _hpdelim(s: str) -> Optional[Tuple[str, str, str]]:
    """misc.c's hpdelim2: host, then ":" or "/" or "", then the rest."""
    end = s.find("]") + 1 if s.startswith("[") else len(re.split("[:/]", s, maxsplit=1)[0])
    if s.startswith("[") and not end:
        return None
    if end == len(s) or s[end] in ":/":
        host = s[:end]
        return (host[1:-1] if host.startswith("[") and host.endswith("]") else host), s[end:end + 1], s[end + 1:]
    return None


def _hop(text: str) -> Optional[JumpHost]:
    """One ProxyJump hop: [user@]host[:port] or ssh://[user@]host[:port]."""
    user = None  # type: Optional[str]
    if text.startswith("ssh://"):
        info, at, rest = text[6:].partition("@")
        if not at:
            info, rest = "", text[6:]
        info = info.partition(";")[0]
        if at and (not info or re.search("%(?![0-9a-fA-F]{2})", info)):
            return None
        user = urllib.parse.unquote_plus(info, errors="surrogateescape") if at else None
        parts = _hpdelim(rest)
        if not parts or not re.match(r"[A-Za-z0-9](?!.*\.\.)[-A-Za-z0-9._]*\Z", parts[0]):
            return None
        host, delim, rest = parts[0].rstrip(".") if len(parts[0]) > 1 else parts[0], parts[1], parts[2]
        port = None  # type: Optional[int]
        if delim == ":":
            number, _, rest = rest.partition("/")
            port = _port(number) if number else -1
        return None if rest or (port is not None and port <= 0) else JumpHost(host, user, port)
    if "@" in text:
        user, _, text = text.rpartition("@")
        if not user:
            return None
    parts = _hpdelim(text)
    if not parts or not parts[0] or parts[1] == "/":
        return None
    port = _port(parts[2]) if parts[2] else None
    return None if port is not None and port <= 0 else JumpHost(parts[0], user, port)


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
    return name if re.search(r"[%:]|\A[0-9.]*\Z", name) else _lower(name)


def _jump(raw: str, where: str) -> Optional[Tuple[JumpHost, ...]]:
    """ProxyJump's hops, or None for none; each as ssh -J takes it."""
    if _lower(raw) == "none":
        return None
    hops = [_hop(part) for part in raw.partition("#")[0].rstrip().split(",")]
    if None in hops:
        raise ConfigError("%s: bad ProxyJump %r" % (where, raw))
    return tuple(hop for hop in hops if hop is not None)


class _Block(NamedTuple):
    head: Any  # None at a file's start, _Patterns for Host, a tuple of criteria for Match
    lines: List[Tuple[str, str, Any]]  # (where, keyword, value)


class _File:
    """A parsed file. The blocks a host can reach: those of Host lines that
    name it plainly, and every other one, in the file's order."""

    def __init__(self, blocks: List[_Block]) -> None:
        self.blocks = blocks
        self.named = {}  # type: Dict[str, List[int]]
        self.generic = []  # type: List[int]
        for i, block in enumerate(blocks):
            names = block.head.names if isinstance(block.head, _Patterns) else None
            if block.lines and names is None:
                self.generic.append(i)
            for name in set(names or ()) if block.lines else ():
                self.named.setdefault(name, []).append(i)

    def reached(self, host: str) -> List[_Block]:
        named = self.named.get(host)
        return [self.blocks[i] for i in (sorted(self.generic + named) if named else self.generic)]


class _Loader:
    def __init__(self, home: str, system_dir: str) -> None:
        self.home, self.system_dir, self.wants_final = home, system_dir, False

    def read(self, path: str, user: bool, checked: bool, depth: int, where: Optional[str] = None,
             optional: bool = False) -> Optional[_File]:
        """user: a file of the user's (not the system's); checked: one ssh
        refuses when others may write it; where: the Include line naming it."""
        at = "%s: cannot read %s" % (where, path) if where else "%s: cannot be read" % path
        try:
            with open(path, "rb") as stream:
                info = os.fstat(stream.fileno())
                if checked and (info.st_uid not in (0, os.getuid()) or info.st_mode & 0o22):
                    raise ConfigError("%s: bad owner or permissions on %s" % (where or path, path))
                data = stream.read()
        except IsADirectoryError:  # one an Include matches is read by ssh as empty
            if not where:
                raise ConfigError("%s: it is a directory" % at)
            data = b""
        except FileNotFoundError:
            if optional:
                return None
            raise ConfigError("%s: no such file" % at)
        except OSError as exc:
            raise ConfigError("%s: %s" % (at, exc.strerror or exc))
        blocks = [_Block(None, [])]
        for number, text in enumerate(data.decode("utf-8", "surrogateescape").split("\n"), 1):
            at = "%s:%d" % (path, number)
            entry = self.line(text.partition("\0")[0].rstrip(_WS + "\f"), at, user, depth)
            if entry and entry[0] in ("host", "match"):
                blocks.append(_Block(entry[1], []))
            elif entry:
                blocks[-1].lines.append((at, entry[0], entry[1]))
        return _File(blocks)

    def line(self, text: str, at: str, user: bool, depth: int) -> Optional[Tuple[str, Any]]:
        """readconf.c's process_config_line, for the keywords used here."""
        keyword, rest = _strdelim(text)
        if keyword == "":
            keyword, rest = _strdelim(rest)
        if not keyword or keyword.startswith("#"):
            return None
        keyword = _lower(keyword)
        rest = (rest or "").lstrip(_WS)
        if not rest:
            raise ConfigError("%s: %s without its argument" % (at, keyword))
        args = _argv_split(rest, at)  # for every keyword: ssh refuses a line whose quotes do not close
        if keyword in ("proxycommand", "proxyjump"):
            raw = rest.lstrip(_WS + "=")
            return keyword, raw if keyword == "proxycommand" else _jump(raw, at)
        if keyword == "match":
            return keyword, self.criteria(rest, at)
        if keyword not in _USED:
            return None  # of no use here; nor is a word ssh lacks, which a newer ssh may have
        if "" in args or not (args or keyword in ("host", "include", "userknownhostsfile")):
            raise ConfigError("%s: %s without its argument" % (at, keyword))
        if keyword in ("host", "include"):
            return keyword, _Patterns(args) if keyword == "host" else self.include(args, at, user, depth)
        if keyword == "userknownhostsfile":
            if len(args) > 1 and "none" in [_lower(arg) for arg in args]:
                raise ConfigError("%s: UserKnownHostsFile none with other files" % at)
            return (keyword, tuple(args)) if args else None
        if len(args) > 1:
            raise ConfigError("%s: %s takes one argument, not %d" % (at, keyword, len(args)))
        arg = args[0]
        value = (arg, user) if keyword == "identityfile" else arg  # type: Any
        if keyword == "port":
            value = _port(arg)
            if value <= 0:
                raise ConfigError("%s: bad port %r" % (at, arg))
        elif keyword == "connecttimeout":
            value = None if arg == "none" else _seconds(arg)
            if value is None:
                if arg == "none":
                    return None  # as if unset: a later ConnectTimeout still counts
                raise ConfigError("%s: bad time %r" % (at, arg))
        elif keyword in _STATES:
            value = _STATES[keyword].get(_lower(arg))
            if value is None:
                raise ConfigError("%s: %s cannot be %r" % (at, keyword, arg))
        return keyword, value

    def criteria(self, rest: Optional[str], at: str) -> Tuple[Tuple[bool, str, Any], ...]:
        """readconf.c's match_cfg_line, checked once: each word as its strdelim reads it."""
        found = []  # type: List[Tuple[bool, str, Any]]
        while True:
            word, rest = _strdelim(rest)
            if not word or word.startswith("#"):
                if word == "" and rest:
                    raise ConfigError("%s: extra arguments after Match" % at)
                break
            negate = word.startswith("!")
            name = _lower(word[negate:])
            if name == "all":
                after = _strdelim(rest)[0]
                if found[1:] or (after and not after.startswith("#")):
                    raise ConfigError("%s: Match %s cannot be combined with other criteria" % (at, word))
                return tuple(found) + ((negate, name, None),)
            if name in ("canonical", "final"):
                self.wants_final = self.wants_final or name == "final"
                found.append((negate, name, None))
                continue
            arg, rest = _strdelim(rest)
            if not arg or arg.startswith("#"):
                raise ConfigError("%s: Match %s without its argument" % (at, name))
            if name == "exec":
                found.append((negate, name, (arg, at)))
            elif name in ("host", "originalhost", "user", "localuser"):
                patterns = [_lower(p) if name.endswith("host") else p for p in arg.split(",")]
                found.append((negate, name, _Patterns(patterns)))
            else:
                raise ConfigError("%s: Match %s is not supported" % (at, name))
        if not found:
            raise ConfigError("%s: Match without a criterion" % at)
        return tuple(found)

    def include(self, args: List[str], at: str, user: bool, depth: int) -> List[_File]:
        """Globs, sorted; relative to ~/.ssh or to the system file's directory."""
        files = []
        for arg in args:
            if arg.startswith("~") and not user:
                raise ConfigError("%s: an Include of the system file cannot start with ~" % at)
            if not arg.startswith(("/", "~")):
                arg = ("~/.ssh/" if user else self.system_dir + "/") + arg
            name, slash, tail = arg[1:].partition("/")
            if arg.startswith("~"):  # as glob's GLOB_TILDE, which reads $HOME
                try:
                    arg = glob.escape(pwd.getpwnam(name).pw_dir if name else self.home) + slash + tail
                except KeyError:
                    pass
            for path in sorted(glob.glob(arg)):
                if depth >= _MAX_DEPTH:
                    raise ConfigError("%s: Include nested more than %d deep" % (at, _MAX_DEPTH))
                files.append(self.read(path, user, True, depth + 1, at))
        return [f for f in files if f is not None]


class SSHConfig:
    """The files, read once; lookup() answers for one host at a time."""

    def __init__(self, files: List[_File], wants_final: bool, home: str) -> None:
        self._files, self._wants_final, self._home = files, wants_final, home
        try:
            self._local_user = pwd.getpwuid(os.getuid()).pw_name
        except KeyError:
            self._local_user = str(os.getuid())
        self._this_host, self._uid = socket.gethostname(), str(os.getuid())
        self._ran = {}  # type: Dict[str, bool]  # Match exec: each command once a run, not once a host

    def lookup(self, host: str, user: Optional[str] = None, port: Optional[int] = None) -> HostConfig:
        """user and port: what the command line or the target says; they
        win over the configuration, and Match user sees them, as in ssh."""
        walk = _Walk(self, host)
        if user is not None:
            walk.found["user"] = (user, "")
        if port is not None:
            walk.found["port"] = (port, "")
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

    def file(self, f: _File) -> None:
        for block in f.reached(self.host):
            head = block.head
            if head is not None and not (head.match(self.host) if isinstance(head, _Patterns) else self.match(head)):
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
                hit = bool(arg.match(_lower(self.match_host() if name == "host" else self.original)))
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
        alias = _lower(alias) if alias is not None else None
        keys = self.tokens(host, alias or self.original)
        proxy = {key: keys[key] for key in _PROXY_TOKENS}

        def path(text: str, where: str) -> str:
            return _expand(_tilde(text, where, self.config._home), where, keys, dollar=True)

        ids = tuple(path(p, where) for p, where in self.ids if _lower(p) != "none") if self.ids else None
        known = self.found.get("userknownhostsfile")
        files = None if not known else () if _lower(known[0][0]) == "none" else tuple(
            path(p, known[1]) for p in known[0])
        command = self.found.get("proxycommand")
        jump, hops = self.found.get("proxyjump"), None  # type: Any, Optional[Tuple[JumpHost, ...]]
        if jump and jump[0]:
            last, user = jump[0][-1], self.value("user") or self.config._local_user
            if last.host == host and (last.port or 22) == (self.value("port") or 22) and (last.user or user) == user:
                raise ConfigError("%s: ProxyJump goes through %s to reach %s" % (jump[1], host, host))
            hops = tuple(JumpHost(_expand(hop.host, jump[1], proxy), hop.user and _expand(hop.user, jump[1], proxy),
                                  hop.port) for hop in jump[0])
        return HostConfig(
            host if named else None, self.value("user"), self.value("port"), ids, self.value("identitiesonly"), hops,
            None if not command or _lower(command[0]) == "none" else _expand(command[0], command[1], proxy),
            files, alias, self.value("connecttimeout"), self.value("stricthostkeychecking"))


def load(path: Optional[str] = None, system_file: str = SYSTEM_FILE) -> SSHConfig:
    """None: ~/.ssh/config then system_file, either of which may be missing;
    "none": nothing; any other path: that file alone, as ssh -F reads it.
    Raises ConfigError for what cannot be read or parsed."""
    home = os.path.expanduser("~")
    loader = _Loader(home, os.path.dirname(system_file) or ".")
    if path is None:
        files = [loader.read(os.path.join(home, ".ssh", "config"), True, True, 0, optional=True),
                 loader.read(system_file, False, False, 0, optional=True)]
    else:
        files = [] if _lower(path) == "none" else [loader.read(path, True, False, 0)]
    return SSHConfig([f for f in files if f is not None], loader.wants_final, home)
