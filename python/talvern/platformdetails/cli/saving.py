"""A live run's captures on disk (--save DIR): each device's text as it
printed it, readable by the offline mode, with its target, time and
command in a hidden file beside it, and the targets that failed, for
--retry-failed. Everything is the user's alone (mode 0600, folder 0700)."""
import json
import os
import time
from typing import Iterable, List, Optional
from urllib.parse import quote

from ..live.targets import Target, TargetError, parse_target

FAILED = ".failed"  # hidden: the offline mode's walk skips it, and the sidecars



def prepare(folder: str) -> None:
    """Raises OSError when the folder cannot be made or written."""
    os.makedirs(folder, mode=0o700, exist_ok=True)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(13, "Permission denied", folder)


def capture_name(target: Target) -> str:
    """USER@HOST:PORT, or HOST:PORT: a file's name that no other target has,
    and not a hidden one."""
    # Anything but letters, digits and ._-~ (and : in a host) is written %XX.
    name = "%s:%d" % (quote(target.host, safe=":"), target.port)
    if target.user:
        name = quote(target.user, safe="") + "@" + name
    return "%2E" + name[1:] if name.startswith(".") else name


def _write(path: str, data: bytes) -> None:
    handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        os.fchmod(handle, 0o600)  # a file of an earlier run may have had another mode
        os.write(handle, data)
    finally:
        os.close(handle)


def save(folder: str, target: Target, user: str, text: bytes, command: str, via: str, seconds: float) -> str:
    """Writes one capture and its sidecar; returns the capture's path."""
    name = capture_name(target)
    path = os.path.join(folder, name + ".txt")
    _write(path, text)
    about = {"target": target._replace(user=target.user or user).shown, "command": command, "via": via,
             "seconds": round(seconds, 3), "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
    _write(os.path.join(folder, "." + name + ".json"), (json.dumps(about) + "\n").encode("utf-8"))
    return path


def forget(folder: str, target: Target) -> None:
    """A failed target's capture from an earlier run goes: the folder says
    what the last run found. Raises OSError when it cannot go."""
    name = capture_name(target)
    for path in (os.path.join(folder, name + ".txt"), os.path.join(folder, "." + name + ".json")):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def write_failed(folder: str, targets: Iterable[Target]) -> None:
    _write(os.path.join(folder, FAILED), "".join(target.shown + "\n" for target in targets).encode("utf-8"))


def read_failed(folder: str) -> Optional[List[Target]]:
    """The targets that failed (or were not reached) in the last run saved
    in folder; None when no run was saved there."""
    path = os.path.join(folder, FAILED)
    try:
        with open(path, "r", encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as exc:
        raise TargetError("cannot read %s: %s" % (path, getattr(exc, "strerror", None) or exc))
    return [parse_target(line, "%s:%d" % (path, number)) for number, line in enumerate(lines, 1) if line.strip()]
