"""Where credentials come from, as OpenSSH users keep them: the SSH agent,
private key files (named, else the usual ~/.ssh/id_*), and a password,
given or read from an environment variable, never from a command line.
All are read once, before any device is asked; none is ever shown."""
import os
import re
import stat
import threading
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from .._detect import describe_exception
from ._asyncssh import asyncssh

DEFAULT_KEYS = ("id_ed25519", "id_ecdsa", "id_rsa")
# Upper case, as variables are named: anything else may be a password typed
# where its variable's name belongs, and is not repeated.
ENVIRONMENT_NAME = re.compile(r"[A-Z_][A-Z0-9_]{0,63}\Z")

Passphrase = Union[str, Callable[[str], Optional[str]], None]


class CredentialError(ValueError):
    """Credentials asked for that cannot be had; the message says which."""


class Secret:
    """A password that does not show itself in reprs, logs or tracebacks."""

    __slots__ = ("_value",)

    def __init__(self, value: str) -> None:
        self._value = value

    def reveal(self) -> str:
        return self._value

    def __repr__(self) -> str:
        return "Secret(***)"

    __str__ = __repr__

    def __reduce__(self) -> Any:
        raise TypeError("a password is not pickled")


class PerTarget:
    """A password that a callable gives for each target (a device's own)."""

    __slots__ = ("_find",)

    def __init__(self, find: Callable[[Any], Optional[str]]) -> None:
        self._find = find

    def reveal_for(self, target: Any) -> Optional[str]:
        found = self._find(target)
        if found is not None and not isinstance(found, str):
            raise TypeError("the password callable returned %s, not a str" % type(found).__name__)
        return found

    def __repr__(self) -> str:
        return "PerTarget(***)"

    def __reduce__(self) -> Any:
        raise TypeError("a password is not pickled")


class Credentials(NamedTuple):
    """The run's, loaded once; never printed (the password is not in repr).
    keys: those named for every device (-i), or () with keys_named False."""

    user: str
    keys: Tuple[Any, ...]
    agent: Optional[str]
    password: Union[Secret, PerTarget, None]
    unused: Tuple[str, ...] = ()  # why keys were not loaded, to say so
    keys_named: bool = False

    def password_for(self, target: Any) -> Optional[str]:
        return reveal(self.password, target)


def reveal(password: Union[Secret, PerTarget, None], target: Any) -> Optional[str]:
    """The password itself, a callable's for the target given."""
    if isinstance(password, PerTarget):
        return password.reveal_for(target)
    return password.reveal() if password is not None else None


def _load_key(path: str, passphrase: Passphrase, required: bool) -> Tuple[List[Any], Optional[str]]:
    """The key pair(s) in one file, with its -cert.pub beside it if any,
    and why none could be had (a key named: CredentialError). An encrypted
    key takes its passphrase, asked once of a callable."""
    given = None  # type: Optional[str]
    for attempt in range(2):
        try:
            return list(asyncssh.load_keypairs([path], given)), None
        except asyncssh.KeyImportError as exc:
            encrypted = "passphrase" in str(exc).lower()
            if not encrypted or attempt == 1:
                reason = "cannot use the key %s: %s" % (path, "wrong passphrase" if given is not None else exc)
            else:
                given = passphrase(path) if callable(passphrase) else passphrase
                if given is not None:
                    continue
                reason = ("the key %s is encrypted: add it to ssh-agent, or run at a terminal to type its"
                          " passphrase" % path)
        except (OSError, ValueError) as exc:
            reason = "cannot read the key %s: %s" % (path, describe_exception(exc))
        if required:
            raise CredentialError(reason)
        return [], reason
    return [], None


def given_keys(keys: Sequence[Any], files: "KeyFiles") -> List[Any]:
    """The keys the user named for every device: key files (each must
    load) or keys asyncssh loaded."""
    if isinstance(keys, (str, bytes)):
        raise TypeError("keys must be a sequence of key files or keys, not one %s" % type(keys).__name__)
    given = []  # type: List[Any]
    for key in keys:
        if isinstance(key, (str, os.PathLike)):
            given.extend(files.load(os.fspath(key), True)[0])
        elif isinstance(key, (asyncssh.SSHKey, asyncssh.SSHKeyPair)):
            given.append(key)
        else:
            raise TypeError("a key must be a file name or an asyncssh key, not %s" % type(key).__name__)
    return given


class KeyFiles:
    """Key files loaded once each, by path, however many devices use them
    (before any worker is forked, which shares them). One the user named
    for a device must load; one of ~/.ssh or of the SSH config may not, and
    with an agent (which may hold it) an encrypted one asks no passphrase."""

    def __init__(self, passphrase: Passphrase, agent: bool) -> None:
        self._passphrase, self._agent = passphrase, agent
        self._loaded = {}  # type: Dict[Tuple[str, bool], Tuple[Tuple[Any, ...], Optional[str]]]
        self._defaults = None  # type: Optional[Tuple[Tuple[Any, ...], Tuple[str, ...]]]
        self._lock = threading.Lock()  # one Settings serves many threads at once

    def load(self, path: str, named: bool) -> Tuple[Tuple[Any, ...], Optional[str]]:
        """The key pairs in the file (~ is $HOME), and why none could be
        had; a key named that cannot be had is a CredentialError."""
        path = os.path.expanduser(path)
        asks = named or not self._agent
        with self._lock:
            if (path, asks) not in self._loaded:
                loaded, reason = _load_key(path, self._passphrase if asks else None, False)
                self._loaded[path, asks] = (tuple(loaded), reason)
            keys, why = self._loaded[path, asks]
        if named and why is not None:
            raise CredentialError(why)
        return keys, why

    def defaults(self) -> Tuple[Tuple[Any, ...], Tuple[str, ...]]:
        """The usual keys of ~/.ssh that are there, and why some cannot be used."""
        if self._defaults is None:
            folder = os.path.join(os.path.expanduser("~"), ".ssh")
            found, unused = (), ()  # type: Tuple[Any, ...], Tuple[str, ...]
            for name in DEFAULT_KEYS:
                path = os.path.join(folder, name)
                if os.path.isfile(path):
                    keys, why = self.load(path, False)
                    found, unused = found + keys, unused + ((why,) if why else ())
            self._defaults = (found, unused)
        return self._defaults

    def public(self, path: str) -> Optional[bytes]:
        """The public key of a key file, for an agent to offer (IdentitiesOnly):
        from the key when it loaded, else from the .pub file beside it."""
        keys, _ = self.load(path, False)
        if keys:
            return bytes(keys[0].public_data)
        try:
            return bytes(asyncssh.read_public_key(os.path.expanduser(path) + ".pub").public_data)
        except (OSError, ValueError):
            return None


def find_agent(agent: Union[bool, str]) -> Optional[str]:
    """The agent's socket: SSH_AUTH_SOCK for True, the path given, or None."""
    if isinstance(agent, bool):
        path = (os.environ.get("SSH_AUTH_SOCK") or None) if agent else None
    elif isinstance(agent, (str, os.PathLike)):
        path = os.fspath(agent)
    else:
        raise TypeError("agent must be True, False or a socket's path, not %s" % type(agent).__name__)
    if path is not None:
        try:
            if not stat.S_ISSOCK(os.stat(path).st_mode):
                path = None
        except OSError:
            path = None  # a stale variable from another session
    if path is None and not isinstance(agent, bool):
        raise CredentialError("agent: %s is not an agent's socket" % agent)
    return path


def password_from(password: Any, password_env: Optional[str]) -> Union[Secret, PerTarget, None]:
    """The password: given as it is, or a callable given each target, or
    the value of the environment variable named."""
    if password_env is not None:
        if not isinstance(password_env, str):
            raise TypeError("password_env must be a variable's name (str), not %s" % type(password_env).__name__)
        value = os.environ.get(password_env)
        if value is None:
            # A name that is not one is not repeated: it may be a password typed in its place.
            named = " %s" % password_env if ENVIRONMENT_NAME.match(password_env) else " of that name"
            raise CredentialError("no environment variable%s is set, for the password" % named)
        return Secret(value)
    if password is None or isinstance(password, (Secret, PerTarget)):
        return password
    if isinstance(password, str):
        return Secret(password)
    if callable(password):
        return PerTarget(password)
    raise TypeError("password must be a str or a callable, not %s" % type(password).__name__)
