"""Where a live run's credentials come from, as OpenSSH users keep them:
the SSH agent, private key files (-i, else the usual ~/.ssh/id_*), and a
password from an environment variable or a prompt at a terminal, never
from the command line. All are read once, before any device is asked."""
import getpass
import os
import stat
from typing import Any, List, NamedTuple, Optional, Sequence, TextIO, Tuple

from .._detect import describe_exception
from ._asyncssh import asyncssh

DEFAULT_KEYS = ("id_ed25519", "id_ecdsa", "id_rsa")


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


class CredentialError(ValueError):
    """Credentials asked for that cannot be had; the message says which."""


def _at_terminal(stdin: Optional[TextIO]) -> bool:
    isatty = getattr(stdin, "isatty", None)
    return bool(isatty is not None and isatty())


def _load_key(path: str, stdin: Optional[TextIO], required: bool) -> List[Any]:
    """The key pair(s) in one file, with its -cert.pub beside it if any.
    An encrypted key asks for its passphrase at a terminal; elsewhere a
    named key is an error and a default one is left to the agent."""
    passphrase = None  # type: Optional[str]
    for attempt in range(2):
        try:
            return list(asyncssh.load_keypairs([path], passphrase))
        except asyncssh.KeyImportError as exc:
            encrypted = "passphrase" in str(exc).lower()
            if not encrypted or attempt == 1:
                if not required:
                    return []
                reason = "wrong passphrase" if passphrase is not None else str(exc)
                raise CredentialError("cannot use the key %s: %s" % (path, reason))
            if not _at_terminal(stdin):
                if not required:
                    return []
                raise CredentialError("the key %s is encrypted: add it to ssh-agent, or run at a terminal"
                                      " to type its passphrase" % path)
            passphrase = getpass.getpass("Passphrase for %s: " % path)
        except (OSError, ValueError) as exc:
            if not required:
                return []
            raise CredentialError("cannot read the key %s: %s" % (path, describe_exception(exc)))
    return []


def load(user: Optional[str], key_files: Sequence[str], password_env: Optional[str], ask_password: bool,
         stdin: Optional[TextIO]) -> Credentials:
    """The run's credentials. Raises CredentialError for the user's mistake."""
    keys = []  # type: List[Any]
    if key_files:
        for path in key_files:
            keys.extend(_load_key(os.path.expanduser(path), stdin, True))
    else:
        folder = os.path.join(os.path.expanduser("~"), ".ssh")
        for name in DEFAULT_KEYS:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                keys.extend(_load_key(path, None, False))
    agent = os.environ.get("SSH_AUTH_SOCK") or None
    if agent is not None:
        try:
            if not stat.S_ISSOCK(os.stat(agent).st_mode):
                agent = None
        except OSError:
            agent = None  # a stale variable from another session
    password = None  # type: Optional[Secret]
    if password_env is not None:
        value = os.environ.get(password_env)
        if value is None:
            # The name is not repeated: a password typed in its place must not show.
            raise CredentialError("--password-env: no environment variable of that name is set")
        password = Secret(value)
    elif ask_password:
        if not _at_terminal(stdin):
            raise CredentialError("--ask-password needs a terminal; use --password-env NAME elsewhere")
        password = Secret(getpass.getpass("SSH password: "))
    if not keys and agent is None and password is None:
        raise CredentialError("no credentials: no SSH agent, no key in ~/.ssh (or -i FILE), and no password"
                              " (--password-env NAME or --ask-password)")
    return Credentials(user or getpass.getuser(), tuple(keys), agent, password)
