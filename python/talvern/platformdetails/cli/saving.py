"""A live run's captures on disk (--save DIR): each device's text as it
printed it, readable by the offline mode, with its target, time and command
in a hidden file beside it, and the targets that failed, with why, for
--retry-failed. Everything is the user's alone (mode 0600, folder 0700).

Another user who could write the folder or one above it could choose where
a run writes, read what it saves, or what a retry asks: such a folder is
refused before any device is asked, as OpenSSH's StrictModes refuses one.
The folder is then used through one descriptor, and nothing in it is opened
but the run's own new files, each renamed into place once written."""
import json
import os
import re
import stat
import time
import unicodedata
from typing import TYPE_CHECKING, Iterable, List, NamedTuple, Optional, Tuple
from urllib.parse import quote

if TYPE_CHECKING:  # live/ imports asyncssh, which the offline mode must not load
    from ..live.targets import Target

FAILED = ".failed"  # hidden: the offline mode's walk skips it, the sidecars and the temporary files
INTERRUPTED = "interrupted"  # the class of a target the run never asked
UNKNOWN = "unknown"  # the class of a target in a .failed saved without reasons
SEPARATOR = "  # "  # between a failed target and its class and reason
MAX_LINKS = 40  # links followed in one path, as Linux allows

_FLAGS = getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
_FOLDER = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_NONBLOCK", 0) | _FLAGS
_NEW_FILE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _FLAGS
_READ = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | _FLAGS
_CLASS = re.compile(r"[a-z][a-z0-9-]*")


class SaveError(ValueError):
    """A folder that cannot be saved into or read from safely; the message
    says why, on one line."""


class FailedEntry(NamedTuple):
    shown: str  # the target as the run named it: ssh://...
    failure: str  # its class: auth, timeout, ..., interrupted
    reason: str
    where: str  # DIR/.failed:LINE, for a message about that line


def capture_name(target: "Target") -> str:
    """USER@HOST:PORT, or HOST:PORT: a file's name that no other target has,
    and not a hidden one."""
    # Anything but letters, digits and ._-~ (and : in a host) is written %XX.
    name = "%s:%d" % (quote(target.host, safe=":"), target.port)
    if target.user:
        name = quote(target.user, safe="") + "@" + name
    return "%2E" + name[1:] if name.startswith(".") else name


def _problem(info: os.stat_result, shown: str, uid: int, on_the_way: bool) -> Optional[str]:
    """Why what info is about is not safe, or None. As OpenSSH's safe_path:
    it must be the user's (or root's, on the way to the folder) and not
    writable by group or others."""
    mode = stat.S_IMODE(info.st_mode)
    if info.st_uid != uid and not (on_the_way and info.st_uid == 0):
        return "%s belongs to uid %d, not to you" % (shown, info.st_uid)
    # Unlike safe_path, a sticky folder on the way (as /tmp) may be writable
    # by all: in one, only an entry's owner (or the folder's, or root) may
    # rename or remove it, so the user's folder there stays theirs, and one
    # planted by another is refused as not the user's: --save /tmp/caps
    # works exactly when it is safe.
    if mode & 0o022 and not stat.S_ISLNK(info.st_mode) and not (on_the_way and mode & stat.S_ISVTX):
        return "%s can be written by others (mode %04o)" % (shown, mode)
    return None


def _parts(path: str) -> List[str]:
    return [part for part in path.split("/") if part not in ("", ".")]


def _open_checked(path: str, create: bool) -> Optional[int]:
    """A descriptor of the folder path names, reached from / one name at a
    time: each folder on the way and the folder itself checked, each link
    followed by hand (only the user's or root's), the missing folders made
    when create (None when one is missing and not create); and every entry
    of the folder checked. Raises SaveError."""
    uid = os.geteuid()
    at = below = "/"  # the folder the walk is in, links resolved; the name it looks at
    handle = os.open("/", _FOLDER)
    try:
        parts = _parts(os.path.join(os.getcwd(), path))
        links = 0
        problem = _problem(os.fstat(handle), at, uid, bool(parts))
        while parts and problem is None:
            name = parts.pop(0)
            below = os.path.dirname(at) if name == ".." else os.path.join(at, name)
            try:
                info = os.stat(name, dir_fd=handle, follow_symlinks=False)
            except FileNotFoundError:
                if not create:
                    os.close(handle)
                    return None
                try:
                    os.mkdir(name, 0o700, dir_fd=handle)
                except FileExistsError:  # made meanwhile: checked below like any other
                    pass
                info = os.stat(name, dir_fd=handle, follow_symlinks=False)
            if stat.S_ISLNK(info.st_mode):
                links += 1
                problem = _problem(info, below + " (a link)", uid, True)
                if problem is None and links > MAX_LINKS:
                    problem = "%s: too many links" % below
                if problem is None:
                    text = os.readlink(name, dir_fd=handle)
                    if text.startswith("/"):
                        handle, at = _move(handle, "/", None), "/"
                    parts[:0] = _parts(text)
            elif not stat.S_ISDIR(info.st_mode):
                problem = "%s is not a folder" % below
            else:
                handle, at = _move(handle, name, handle), below
                problem = _problem(os.fstat(handle), at, uid, bool(parts))
        if problem is None:
            problem = _entries_problem(handle, at, uid)
        if problem is not None:
            raise SaveError(problem)
    except OSError as exc:
        os.close(handle)
        raise SaveError("%s: %s" % (below, exc.strerror or exc))
    except BaseException:
        os.close(handle)
        raise
    return handle


def _move(handle: int, name: str, relative_to: Optional[int]) -> int:
    """The folder name opened (from the folder relative_to, or /), and the
    one handle was for closed."""
    opened = os.open(name, _FOLDER, dir_fd=relative_to)
    os.close(handle)
    return opened


def _entries_problem(handle: int, at: str, uid: int) -> Optional[str]:
    """A file in the folder that another may have planted or may change."""
    with os.scandir(handle) as entries:
        for entry in entries:
            problem = _problem(entry.stat(follow_symlinks=False), os.path.join(at, entry.name), uid, False)
            if problem is not None:
                return problem
    return None


def open_folder(path: str) -> "SaveFolder":
    """The folder a run saves into, made (0700) if it is missing. Raises
    SaveError when it cannot be made, or is not safe to save into."""
    try:
        handle = _open_checked(path, create=True)
    except SaveError as exc:
        raise SaveError("cannot save into %s: %s" % (path, exc)) from None
    assert handle is not None
    return SaveFolder(path, handle)


class SaveFolder:
    """An open, checked folder of captures. Each method writes or removes
    only in it, through its descriptor, and raises OSError when it cannot."""

    def __init__(self, path: str, handle: int) -> None:
        self.path = path
        self._handle = handle

    def __enter__(self) -> "SaveFolder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self._handle >= 0:
            os.close(self._handle)
            self._handle = -1

    def save(self, target: "Target", user: str, data: bytes, command: str, via: str, seconds: float) -> str:
        """Writes one capture and its sidecar; returns the capture's path."""
        name = capture_name(target)
        self._write(name + ".txt", data)
        about = {"target": target._replace(user=target.user or user).shown, "command": command, "via": via,
                 "seconds": round(seconds, 3), "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
        self._write("." + name + ".json", (json.dumps(about) + "\n").encode("utf-8"))
        return os.path.join(self.path, name + ".txt")

    def forget(self, target: "Target") -> None:
        """A failed target's capture from an earlier run goes: the folder says
        what the last run found."""
        name = capture_name(target)
        for entry in (name + ".txt", "." + name + ".json"):
            try:
                os.unlink(entry, dir_fd=self._handle)  # a link goes itself, a folder stays (an OSError)
            except FileNotFoundError:
                pass

    def write_failed(self, failed: Iterable[Tuple["Target", str, str]]) -> None:
        """The targets that failed or were never asked (class INTERRUPTED),
        each with its class and one-line reason."""
        lines = []
        for target, failure, reason in failed:
            if not _CLASS.fullmatch(failure):
                raise ValueError("not a failure class: %r" % failure)
            lines.append(("%s%s%s: %s" % (target.shown, SEPARATOR, failure, one_line(reason))).rstrip() + "\n")
        self._write(FAILED, "".join(lines).encode("utf-8"))

    def _write(self, name: str, data: bytes) -> None:
        """A new file, 0600, renamed over whatever was at name: a link, a
        FIFO or a file another holds open is replaced, never written."""
        temporary = ".tmp-%s" % os.urandom(8).hex()  # hidden, and short however long name is
        output = os.open(temporary, _NEW_FILE, 0o600, dir_fd=self._handle)
        try:
            try:
                os.fchmod(output, 0o600)  # exactly: the umask may have taken the owner's bits
                view = memoryview(data)
                while view:
                    view = view[os.write(output, view):]
            finally:
                os.close(output)
            os.rename(temporary, name, src_dir_fd=self._handle, dst_dir_fd=self._handle)
        except BaseException:
            try:
                os.unlink(temporary, dir_fd=self._handle)
            except OSError:
                pass
            raise


def one_line(reason: str) -> str:
    """reason as one line of UTF-8 with single spaces: nothing in it can
    end a line of .failed or be taken for its separator."""
    kept = ("\ufffd" if unicodedata.category(char) == "Cs"
            else " " if unicodedata.category(char) in ("Cc", "Zl", "Zp") else char for char in reason)
    return " ".join("".join(kept).split())


def read_failed_entries(path: str) -> Optional[List[FailedEntry]]:
    """The targets the last run saved in path did not answer, with class and
    reason, as written; None when no run was saved there. Raises SaveError
    when the folder or .failed is not safe to read (then nothing is read)."""
    shown = os.path.join(path, FAILED)
    try:
        handle = _open_checked(path, create=False)
        if handle is None:
            return None
        try:
            data = _read_own(handle, FAILED, shown)
        finally:
            os.close(handle)
    except SaveError as exc:
        raise SaveError("cannot read the run saved in %s: %s" % (path, exc)) from None
    if data is None:
        return None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise SaveError("cannot read %s: it is not UTF-8 text" % shown) from None
    entries = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        target, separator, about = line.rpartition(SEPARATOR)  # the last: a reason has no double space
        failure, colon, reason = about.partition(":")
        if separator and colon and _CLASS.fullmatch(failure):
            entries.append(FailedEntry(target.strip(), failure, reason.strip(), "%s:%d" % (shown, number)))
        else:  # a line of a run that saved no reasons
            entries.append(FailedEntry(line.strip(), UNKNOWN, "no reason was saved", "%s:%d" % (shown, number)))
    return entries


def _read_own(handle: int, name: str, shown: str) -> Optional[bytes]:
    """A regular file's bytes (the folder's check made sure it is the
    user's alone), or None when it is missing; nothing else is opened."""
    try:
        info = os.stat(name, dir_fd=handle, follow_symlinks=False)
        if not stat.S_ISREG(info.st_mode):
            raise SaveError("%s is not a regular file" % shown)
        with open(os.open(name, _READ, dir_fd=handle), "rb") as stream:
            opened = os.fstat(stream.fileno())
            if (opened.st_dev, opened.st_ino) != (info.st_dev, info.st_ino):
                raise SaveError("%s changed while it was read" % shown)
            return stream.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise SaveError("%s: %s" % (shown, exc.strerror or exc))


def read_failed(path: str) -> Optional[List[Tuple["Target", str, str]]]:
    """read_failed_entries' targets, parsed (a TargetError names the line)."""
    from ..live.targets import parse_target  # only a retry asks devices: the offline mode never comes here

    entries = read_failed_entries(path)
    if entries is None:
        return None
    return [(parse_target(entry.shown, entry.where)._replace(given=None), entry.failure, entry.reason) for entry in entries]
