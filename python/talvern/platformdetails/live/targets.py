"""A device to ask, as people write one: [ssh://][user@]host[:port], every
mistake told with where it was found."""
import unicodedata
from typing import NamedTuple, Optional

SCHEME = "ssh://"
DEFAULT_PORT = 22


class TargetError(ValueError):
    """A target or an inventory that cannot be read; the message says where."""


class Target(NamedTuple):
    """A device to ask: its host (a name, an address, or a Host of the SSH
    config), port and user (None: the config's, else the run's), the target
    as it was given, by which answers name it, and what an inventory may
    give one device alone: its key file, the environment variable holding
    its password, and its jump hosts as ssh -J takes them ("none": none).
    port_named: whether port 22 was written: a target whose port is 22 only
    because it names none takes the SSH config's Port; any other port is
    the target's own."""

    host: str
    port: int
    user: Optional[str]
    given: Optional[str] = None
    identity: Optional[str] = None
    password_env: Optional[str] = None
    jump: Optional[str] = None
    port_named: bool = False

    @property
    def config_port(self) -> Optional[int]:
        """The port that wins over the SSH config's: None where it names none."""
        return None if self.port == DEFAULT_PORT and not self.port_named else self.port

    @property
    def name(self) -> str:
        """How an answer names the target: as given, else in its ssh:// form."""
        return self.given if self.given is not None else self.shown

    @property
    def shown(self) -> str:
        """How answers name the target: its ssh:// form, which reads back the same."""
        host = "[%s]" % self.host if ":" in self.host else self.host
        user = self.user + "@" if self.user else ""
        port = ":%d" % self.port if self.port != DEFAULT_PORT or self.port_named else ""
        return SCHEME + user + host + port


def parse_port(text: str, where: str) -> int:
    """A port as OpenSSH takes one: ASCII digits only (str.isdigit would
    take superscripts and other scripts' digits)."""
    if not (text.isascii() and text.isdigit()) or not 0 < int(text) < 65536:
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
    port, named = DEFAULT_PORT, True
    if spec.startswith("["):
        host, bracket, rest = spec[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise TargetError("%s: a bracketed address needs its ] in %r" % (where, text))
        if rest:
            port = parse_port(rest[1:], where)
        named = bool(rest)
    elif spec.count(":") == 1:
        host, _, port_text = spec.partition(":")
        port = parse_port(port_text, where)
    else:
        host, named = spec, False  # a name, an IPv4 address, or IPv6 without a port
    if not host or not is_text(host) or any(char.isspace() or char in "/@[],;" for char in host):
        raise TargetError("%s: no host name or address in %r" % (where, text))
    return Target(host, port, user, text, port_named=named and port == DEFAULT_PORT)
