"""Where a live run's credentials come from, as OpenSSH users keep them:
the SSH agent, private key files (-i, else the usual ~/.ssh/id_*), and a
password from an environment variable or a prompt at a terminal, never
from the command line. All are read once, before any device is asked."""
import getpass
import os
import re
import stat
from typing import Any, List, NamedTuple, Optional, Sequence, TextIO, Tuple

from .._detect import describe_exception
from ._asyncssh import asyncssh

DEFAULT_KEYS = ("id_ed25519", "id_ecdsa", "id_rsa")
# Upper case, as variables are named: anything else may be a password typed
# where its variable's name belongs, and is not repeated.
ENVIRONMENT_NAME = re.compile(r"[A-Z_][A-Z0-9_]{0,63}\Z")


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


class Credentials(NamedTuple):
    """Loaded once per run; never printed (the password is not in repr)."""

    user: str
    keys: Tuple[Any, ...]
    agent: Optional[str]
    password: Optional[Secret]
    unused: Tuple[str, ...] = ()  # why keys of ~/.ssh were not loaded, to say so


class CredentialError(ValueError):
    """Credentials asked for that cannot be had; the message says which."""


def _at_terminal(stdin: Optional[TextIO]) -> bool:
    isatty = getattr(stdin, "isatty", None)
    return bool(isatty is not None and isatty())


def _load_key(path: str, stdin: Optional[TextIO], required: bool) -> Tuple[List[Any], Optional[str]]:
    """The key pair(s) in one file, with its -cert.pub beside it if any,
    and why none could be had (a key named with -i: CredentialError). An
    encrypted key asks for its passphrase at a terminal."""
    passphrase = None  # type: Optional[str]
    for attempt in range(2):
        try:
            return list(asyncssh.load_keypairs([path], passphrase)), None
        except asyncssh.KeyImportError as exc:
            encrypted = "passphrase" in str(exc).lower()
            if not encrypted or attempt == 1:
                reason = "cannot use the key %s: %s" % (path, "wrong passphrase" if passphrase is not None else exc)
            elif not _at_terminal(stdin):
                reason = ("the key %s is encrypted: add it to ssh-agent, or run at a terminal to type its"
                          " passphrase" % path)
            else:
                passphrase = getpass.getpass("Passphrase for %s: " % path)
                continue
        except (OSError, ValueError) as exc:
            reason = "cannot read the key %s: %s" % (path, describe_exception(exc))
        if required:
            raise CredentialError(reason)
        return [], reason
    return [], None


def load(user: Optional[str], key_files: Sequence[str], password_env: Optional[str], ask_password: bool,
         stdin: Optional[TextIO]) -> Credentials:
    """The run's credentials. Raises CredentialError for the user's mistake."""
    keys = []  # type: List[Any]
    unused = []  # type: List[str]
    agent = os.environ.get("SSH_AUTH_SOCK") or None
    if agent is not None:
        try:
            if not stat.S_ISSOCK(os.stat(agent).st_mode):
                agent = None
        except OSError:
            agent = None  # a stale variable from another session
    if key_files:
        for path in key_files:
            keys.extend(_load_key(os.path.expanduser(path), stdin, True)[0])
    else:
        folder = os.path.join(os.path.expanduser("~"), ".ssh")
        for name in DEFAULT_KEYS:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                # With an agent, which holds such keys, an encrypted one asks nothing.
                found, why = _load_key(path, None if agent else stdin, False)
                keys.extend(found)
                if why is not None:
                    unused.append(why)
    password = None  # type: Optional[Secret]
    if password_env is not None:
        value = os.environ.get(password_env)
        if value is None:
            # A name that is not one is not repeated: it may be a password typed in its place.
            named = " %s" % password_env if ENVIRONMENT_NAME.match(password_env) else " of that name"
            raise CredentialError("--password-env: no environment variable%s is set" % named)
        password = Secret(value)
    elif ask_password:
        if not _at_terminal(stdin):
            raise CredentialError("--ask-password needs a terminal; use --password-env NAME elsewhere")
        password = Secret(getpass.getpass("SSH password: "))
    if not keys and agent is None and password is None:
        raise CredentialError("no credentials: no SSH agent, no key in ~/.ssh that can be used (or -i FILE), and"
                              " no password (--password-env NAME or --ask-password)"
                              + "".join("; %s" % why for why in unused))
    return Credentials(user or getpass.getuser(), tuple(keys), agent, password, tuple(unused))
