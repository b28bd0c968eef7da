"""The user's SSH client configuration, read as OpenSSH's ssh reads it:
~/.ssh/config then /etc/ssh/ssh_config (or one file, as ssh -F), Host and
Match blocks and Include, each line checked as ssh checks it. Files are
parsed once; sshconfig_lookup answers for each host."""
import glob
import os
import pwd
import re
import socket
import urllib.parse
from typing import Any, Dict, List, Optional, Tuple

from .sshconfig_lookup import Block, ConfigError, JumpHost, ParsedFile, Patterns, SSHConfig, c_lower

__all__ = ["SYSTEM_FILE", "ConfigError", "JumpHost", "SSHConfig", "load", "parse_jump"]
SYSTEM_FILE = "/etc/ssh/ssh_config"
_WS = " \t\r\n"
_MAX_DEPTH = 16  # nested Includes, as readconf.c bounds them
_STRINGS = ("hostname", "user", "hostkeyalias", "identityfile")
_YES_NO = {"yes": True, "true": True, "no": False, "false": False}
_STATES: Dict[str, Dict[str, Any]] = {"identitiesonly": _YES_NO, "canonicalizehostname": dict(_YES_NO, always=True),
                                      "stricthostkeychecking": {"yes": "yes", "true": "yes", "no": "no", "false": "no",
                                                                "off": "no", "ask": "ask", "accept-new": "accept-new"}}
_USED = _STRINGS + tuple(_STATES) + ("port", "connecttimeout", "host", "include", "userknownhostsfile")
_DELIM, _QUOTED, _BLANKS = re.compile(r'[ \t\r\n"=]'), re.compile("[\"'\\\\#]"), re.compile("[ \t]+")


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


def parse_jump(raw: str, where: str, what: str = "ProxyJump") -> Optional[Tuple[JumpHost, ...]]:
    """ProxyJump's hops (the first reached first), or None for none, as ssh -J takes them."""
    if c_lower(raw) == "none":
        return None
    hops = [_hop(part) for part in raw.partition("#")[0].rstrip().split(",")]
    if None in hops:
        raise ConfigError("%s: bad %s %r" % (where, what, raw))
    return tuple(hop for hop in hops if hop is not None)


class _Loader:
    def __init__(self, home: str, system_dir: str) -> None:
        self.home, self.system_dir, self.wants_final = home, system_dir, False

    def read(self, path: str, user: bool, checked: bool, depth: int, where: Optional[str] = None,
             optional: bool = False) -> Optional[ParsedFile]:
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
        blocks = [Block(None, [])]
        for number, text in enumerate(data.decode("utf-8", "surrogateescape").split("\n"), 1):
            at = "%s:%d" % (path, number)
            entry = self.line(text.partition("\0")[0].rstrip(_WS + "\f"), at, user, depth)
            if entry and entry[0] in ("host", "match"):
                blocks.append(Block(entry[1], []))
            elif entry:
                blocks[-1].lines.append((at, entry[0], entry[1]))
        return ParsedFile(blocks)

    def line(self, text: str, at: str, user: bool, depth: int) -> Optional[Tuple[str, Any]]:
        """readconf.c's process_config_line, for the keywords used here."""
        keyword, rest = _strdelim(text)
        if keyword == "":
            keyword, rest = _strdelim(rest)
        if not keyword or keyword.startswith("#"):
            return None
        keyword = c_lower(keyword)
        rest = (rest or "").lstrip(_WS)
        if not rest:
            raise ConfigError("%s: %s without its argument" % (at, keyword))
        args = _argv_split(rest, at)  # for every keyword: ssh refuses a line whose quotes do not close
        if keyword in ("proxycommand", "proxyjump"):
            raw = rest.lstrip(_WS + "=")
            return keyword, raw if keyword == "proxycommand" else parse_jump(raw, at)
        if keyword == "match" or keyword not in _USED:  # a word of no use here, or one a newer ssh has
            return (keyword, self.criteria(rest, at)) if keyword == "match" else None
        if "" in args or not (args or keyword in ("host", "include", "userknownhostsfile")):
            raise ConfigError("%s: %s without its argument" % (at, keyword))
        if keyword in ("host", "include"):
            return keyword, Patterns(args) if keyword == "host" else self.include(args, at, user, depth)
        if keyword == "userknownhostsfile":
            if len(args) > 1 and "none" in [c_lower(arg) for arg in args]:
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
            if arg == "none":
                return None  # as if unset: a later ConnectTimeout still counts
            value = _seconds(arg)
            if value is None:
                raise ConfigError("%s: bad time %r" % (at, arg))
        elif keyword in _STATES:
            value = _STATES[keyword].get(c_lower(arg))
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
            name = c_lower(word[negate:])
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
                patterns = [c_lower(p) if name.endswith("host") else p for p in arg.split(",")]
                found.append((negate, name, Patterns(patterns)))
            else:
                raise ConfigError("%s: Match %s is not supported" % (at, name))
        if not found:
            raise ConfigError("%s: Match without a criterion" % at)
        return tuple(found)

    def include(self, args: List[str], at: str, user: bool, depth: int) -> List[ParsedFile]:
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
        files = [] if c_lower(path) == "none" else [loader.read(path, True, False, 0)]
    return SSHConfig([f for f in files if f is not None], loader.wants_final, home)
