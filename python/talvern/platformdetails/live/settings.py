"""How devices are asked: one immutable object, made once and reused across
calls and threads. Keys are loaded and known_hosts files read when it is
made, and every mistake in an option is said then, before anything
connects. It never shows, pickles or logs a password."""
import math
import os
import warnings
from typing import Any, Callable, Dict, Optional, Sequence, Tuple, Union

from .credentials import Credentials, KeyFiles, find_agent, given_keys, password_from
from .hostkeys import HostKeys, default_own_file, default_user_files
from .sshconfig import ConfigError, JumpHost, SSHConfig, load, parse_jump

MAX_SIZE = 1 << 20  # bytes a device may print
DEFAULT_COMMAND = "show version"
DEFAULT_PAGING_OFF = ("terminal length 0",)
TIMEOUT = 30.0  # seconds per device
CONCURRENCY = 100
MAX_LINE_LENGTH = 4096  # as the command's: the slowest detector pattern is cubic in a line's length

Password = Union[str, Callable[[Any], Optional[str]], None]
PathOrKey = Union[str, "os.PathLike[str]", Any]


def _positive(name: str, value: Any, kind: type, allow_none: bool = False) -> Any:
    """A number above 0 (and finite) of kind int or float, or None where allowed."""
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float) if kind is float else int):
        raise TypeError("%s must be %s, not %s" % (name, "a number" if kind is float else "an int",
                                                   type(value).__name__))
    if not (value > 0 and math.isfinite(value)):
        raise ValueError("%s must be above 0, not %r" % (name, value))
    return kind(value)


def _flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError("%s must be True or False, not %s" % (name, type(value).__name__))
    return value


def _text(name: str, value: Any) -> str:
    if not isinstance(value, str) or not value or "\n" in value or "\r" in value:
        raise (TypeError if not isinstance(value, str) else ValueError)(
            "%s must be a command on one line, not %r" % (name, value if isinstance(value, str) else type(value)))
    return value


class Settings:
    """Every option of asking devices, checked and loaded once.

    user: the login for every device, as ssh -l: over a target's user and
    the SSH config's (default: those, else yours); keys: private key files
    or keys loaded with asyncssh, offered before the SSH config's (default:
    the config's IdentityFile, else ~/.ssh/id_*);
    agent: True (SSH_AUTH_SOCK), False, or an agent's socket path;
    password: the password, or a callable given each Target, returning it
    (or None); password_env: the name of an environment variable holding it;
    passphrase: for encrypted key files, a str or a callable given the path;
    known_hosts: the user's known_hosts files (default: ~/.ssh/known_hosts and
    known_hosts2); accept_new_host_keys: trust and record a host seen for the
    first time, in this tool's own file; legacy_algorithms: also offer old
    SHA-1 and CBC algorithms; command, paging_off: what is sent; timeout:
    seconds a device has, from connecting to its last byte; max_size: bytes
    it may print; max_line_length: the longest line answered (None: no
    limit); concurrency: devices asked at once; jobs: worker processes for
    many devices (default: the CPUs); ssh_config: the SSH client config
    file, as ssh -F (default: ~/.ssh/config, then /etc/ssh/ssh_config;
    "none": none); jump: the jump hosts of every device, as ssh -J:
    "[user@]host[:port][,...]", the first reached first, or "none" (default:
    a target's own, else the config's ProxyJump or ProxyCommand).
    """

    __slots__ = ("_options", "credentials", "hostkeys", "command", "paging_off", "timeout", "max_size",
                 "max_line_length", "legacy_algorithms", "concurrency", "jobs", "user", "sshconfig", "jump",
                 "keyfiles")
    _options: Dict[str, Any]
    credentials: Credentials
    hostkeys: HostKeys
    command: str
    paging_off: Tuple[str, ...]
    timeout: float
    max_size: int
    max_line_length: Optional[int]
    legacy_algorithms: bool
    concurrency: int
    jobs: Optional[int]
    user: Optional[str]
    sshconfig: SSHConfig
    jump: Optional[Tuple[JumpHost, ...]]  # () where none was given, None for "none"
    keyfiles: KeyFiles

    def __init__(self, *, user: Optional[str] = None, keys: Optional[Sequence[PathOrKey]] = None,
                 agent: Union[bool, str] = True, password: Password = None, password_env: Optional[str] = None,
                 passphrase: Union[str, Callable[[str], Optional[str]], None] = None,
                 known_hosts: Optional[Sequence[str]] = None, accept_new_host_keys: bool = False,
                 legacy_algorithms: bool = False, command: str = DEFAULT_COMMAND,
                 paging_off: Sequence[str] = DEFAULT_PAGING_OFF, timeout: float = TIMEOUT,
                 max_size: int = MAX_SIZE, max_line_length: Optional[int] = MAX_LINE_LENGTH,
                 concurrency: int = CONCURRENCY, jobs: Optional[int] = None, ssh_config: Optional[str] = None,
                 jump: Optional[str] = None) -> None:
        if user is not None and (not isinstance(user, str) or not user or ":" in user):
            raise ValueError("user must be a user name, without a password") if isinstance(user, str) else \
                TypeError("user must be a str, not %s" % type(user).__name__)
        if isinstance(paging_off, str) or not all(isinstance(line, str) for line in paging_off):
            raise TypeError("paging_off must be a sequence of commands (str)")
        set_ = object.__setattr__
        set_(self, "command", _text("command", command))
        set_(self, "paging_off", tuple(_text("paging_off", line) for line in paging_off))
        set_(self, "timeout", _positive("timeout", timeout, float))
        set_(self, "max_size", _positive("max_size", max_size, int))
        set_(self, "max_line_length", _positive("max_line_length", max_line_length, int, allow_none=True))
        set_(self, "concurrency", _positive("concurrency", concurrency, int))
        set_(self, "jobs", _positive("jobs", jobs, int, allow_none=True))
        set_(self, "legacy_algorithms", _flag("legacy_algorithms", legacy_algorithms))
        if legacy_algorithms:
            # cryptography warns whenever asyncssh uses an old algorithm: asked
            # for here, the warning is not the caller's to see.
            warnings.filterwarnings("ignore", module=r"asyncssh(\.|$)")
        _flag("accept_new_host_keys", accept_new_host_keys)
        if password is not None and password_env is not None:
            raise ValueError("give password or password_env, not both")
        set_(self, "user", user)
        set_(self, "jump", _jump(jump))
        if ssh_config is not None and not isinstance(ssh_config, (str, os.PathLike)):
            raise TypeError("ssh_config must be a file's path or \"none\", not %s" % type(ssh_config).__name__)
        set_(self, "sshconfig", load(None if ssh_config is None else os.path.expanduser(os.fspath(ssh_config))))
        agent_path = find_agent(agent)
        set_(self, "keyfiles", KeyFiles(passphrase, agent_path is not None))
        found = given_keys(keys, self.keyfiles) if keys is not None else []
        import getpass

        set_(self, "credentials", Credentials(getpass.getuser(), tuple(found), agent_path,
                                             password_from(password, password_env), keys_named=keys is not None))
        user_files = default_user_files() if known_hosts is None else [
            os.path.expanduser(os.fspath(path)) for path in known_hosts]
        set_(self, "hostkeys", HostKeys(user_files, default_own_file(), accept_new_host_keys))
        set_(self, "_options", {"user": user, "agent": agent, "accept_new_host_keys": accept_new_host_keys,
                                "known_hosts": None if known_hosts is None else tuple(user_files),
                                "ssh_config": ssh_config, "jump": jump})

    # The names the connections use.
    @property
    def max_output(self) -> int:
        return self.max_size

    @property
    def legacy(self) -> bool:
        return self.legacy_algorithms

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Settings cannot be changed: make another")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Settings cannot be changed: make another")

    def __reduce__(self) -> Any:
        raise TypeError("Settings hold credentials and are not pickled")

    def __repr__(self) -> str:
        if not hasattr(self, "_options"):  # not made: a mistake was raised while it was
            return "Settings(...)"
        shown = dict(self._options, command=self.command, timeout=self.timeout, max_size=self.max_size,
                     concurrency=self.concurrency, jobs=self.jobs, legacy_algorithms=self.legacy_algorithms,
                     password="***" if self.credentials.password is not None else None,
                     keys=len(self.credentials.keys))  # type: Dict[str, Any]
        return "Settings(%s)" % ", ".join("%s=%r" % item for item in shown.items())


def _jump(text: Optional[str]) -> Optional[Tuple[JumpHost, ...]]:
    """-J's hops: () where none were given, None for "none"."""
    if text is None:
        return ()
    if not isinstance(text, str):
        raise TypeError("jump must be a str, [user@]host[:port][,...], not %s" % type(text).__name__)
    try:
        return parse_jump(text, "jump", "list of jump hosts")
    except ConfigError:
        raise ValueError("jump: %r is not [user@]host[:port][,...] (nor none)" % text) from None


def settings_from(settings: Optional[Settings], options: Dict[str, Any]) -> Settings:
    """The settings of a call: those given, or made from its options; both
    is a mistake."""
    if settings is not None:
        if options:
            raise TypeError("give settings or options, not both (%s)" % ", ".join(sorted(options)))
        if not isinstance(settings, Settings):
            raise TypeError("settings must be a Settings, not %s" % type(settings).__name__)
        return settings
    return Settings(**options)


