"""Host keys checked as OpenSSH 9.2's client checks them with its defaults,
in the user's files (~/.ssh/known_hosts and known_hosts2, or those an SSH
config names for the host), the global ones and the tool's own, where
--accept-new-host-keys records new hosts; each is read once per process.

A host is looked up by its name alone (CheckHostIP no: no record for its
address is consulted), in lower case and its ASCII (IDNA) form, or by its
HostKeyAlias. Stricter than OpenSSH: on a port other than 22 only as
[host]:port (OpenSSH then also takes a matching key from the entry without
a port), and a @revoked line is honoured with tabs after its marker. A key
on record of another type than the one offered is a changed key, as there.
Lines OpenSSH skips are skipped, and said once each in problems;
@cert-authority lines are not used: certificate host keys are not asked for.
"""
import os
import re
import shlex
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

try:
    import fcntl
except ImportError:  # no worker processes there to agree with
    fcntl = None  # type: ignore[assignment]

from .known_hosts import REVOKED, KnownHostsFile, Record, fingerprint, host_pattern, lookup_name, lower_ascii

GLOBAL_FILES = ("/etc/ssh/ssh_known_hosts", "/etc/ssh/ssh_known_hosts2")
# What OpenSSH will not write as a host name, and what would make a
# recorded name a pattern or a list of names.
_NOT_RECORDABLE = re.compile(r"[@?*#\[\]|'\"\\,!]|[^\x21-\x7e]")


def default_user_files() -> List[str]:
    ssh = os.path.join(os.path.expanduser("~"), ".ssh")
    return [os.path.join(ssh, "known_hosts"), os.path.join(ssh, "known_hosts2")]


def default_own_file() -> str:
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "talvern-platformdetails", "known_hosts")


def _changed(name: str, key: Any, on_record: List[Record]) -> str:
    try:  # the file ssh-keygen -R edits without -f: under the account's home, which need not be $HOME
        import pwd

        default = os.path.join(pwd.getpwuid(os.getuid()).pw_dir, ".ssh", "known_hosts")  # type: Optional[str]
    except (ImportError, KeyError):
        default = None
    fixes = []
    for path in dict.fromkeys(record.path for record in on_record):
        patterns = [str(record.line) for record in on_record
                    if record.path == path and any(char in record.names for char in "*?!")]
        if patterns:  # ssh-keygen -R would remove them for every host they name
            fixes.append("edit line %s of %s, a pattern naming other hosts too" % (", ".join(patterns), path))
        else:
            fixes.append(" ".join(["ssh-keygen", "-R", shlex.quote(name)]
                                  + ([] if path == default else ["-f", shlex.quote(path)])))
    first = on_record[0]
    return ("HOST KEY CHANGED for %s: it offered %s, but %s:%d holds %s%s; someone may be intercepting the"
            " connection. Check the device; if the change is expected, remove the old key (%s) and connect"
            " again" % (name, fingerprint(key), first.path, first.line, fingerprint(first.key),
                        " (and %d more on record)" % (len(on_record) - 1) if on_record[1:] else "",
                        "; ".join(fixes)))


def _verdict(name: str, key: Any, records: List[Record]) -> Tuple[bool, Optional[str]]:
    """(whether the records decide, why the key is refused or None). A
    revoked key is refused first, even where it is also on record."""
    for record in records:
        if record.marker == REVOKED and record.key.public_data == key.public_data:
            return True, "the host key of %s is marked revoked (in %s:%d)" % (name, record.path, record.line)
    on_record = [record for record in records if record.marker == "-"]
    if any(record.key.public_data == key.public_data for record in on_record):
        return True, None
    return bool(on_record), _changed(name, key, on_record) if on_record else None


class HostKeys:
    """The known keys, matched per connection without reading a file again.
    problems: "FILE:LINE: why" for each line skipped, for the command to say.
    A file that cannot be read is a ValueError here; one of a host's own
    (files, below) fails its check."""

    def __init__(self, user_files: Sequence[str], own_file: str, accept_new: bool,
                 global_files: Sequence[str] = GLOBAL_FILES) -> None:
        self.user_files = list(user_files)
        self.global_files = list(global_files)
        self.own_file = own_file
        self.accept_new = accept_new
        self.problems = []  # type: List[str]
        self._lock = threading.RLock()  # one Settings serves many threads at once
        self._files = {}  # type: Dict[str, Union[KnownHostsFile, str]]  # by path; a str says why it cannot be read
        for path in self.user_files + self.global_files:
            self._file(path)
        self._own = self._file(own_file)

    def _file(self, path: str) -> KnownHostsFile:
        """The file, read once (a missing one holds no key); a ValueError
        each time when it cannot be read."""
        if path not in self._files:
            known = self._files[path] = KnownHostsFile(path)
            try:
                handle = os.open(path, os.O_RDONLY)
                try:
                    known.catch_up(handle, self.problems)
                finally:
                    os.close(handle)
            except (FileNotFoundError, NotADirectoryError):
                pass
            except OSError as exc:  # a folder too: reading it fails
                self._files[path] = "cannot read %s: %s" % (path, exc.strerror or exc)
        loaded = self._files[path]
        if isinstance(loaded, str):
            raise ValueError(loaded)
        return loaded

    def _records(self, name: str, files: Optional[Sequence[str]]) -> List[Record]:
        """What the files hold for the name. files: the host's own
        UserKnownHostsFile, instead of the user's files; the global files
        and the tool's own still count."""
        paths = self.user_files if files is None else [os.path.expanduser(path) for path in files]
        return [record for path in dict.fromkeys(list(paths) + self.global_files + [self.own_file])
                for record in self._file(path).records(name)]

    def algorithms(self, host: str, port: int, alias: Optional[str] = None,
                   files: Optional[Sequence[str]] = None) -> List[str]:
        """Signature algorithms of the keys on record, to ask for them first."""
        with self._lock:
            return self._algorithms(host, port, alias, files)

    def _algorithms(self, host: str, port: int, alias: Optional[str], files: Optional[Sequence[str]]) -> List[str]:
        try:
            records = self._records(lower_ascii(alias) if alias else host_pattern(lookup_name(host), port), files)
        except ValueError:  # said by check()
            return []
        return [alg.decode("ascii") for record in records if record.marker == "-"
                for alg in record.key.sig_algorithms]

    def none(self, host: str, addr: str, port: Optional[int]) -> Tuple[list, list, list]:  # type: ignore[type-arg]
        """For asyncssh: nothing trusted outright, so every key reaches check()."""
        return [], [], []

    def read(self, files: Sequence[str]) -> None:
        """Reads a host's own files now (once: before workers are forked);
        one that cannot be read fails the checks that use it."""
        with self._lock:
            for path in files:
                try:
                    self._file(os.path.expanduser(path))
                except ValueError:
                    pass

    def check(self, host: str, addr: str, port: int, key: Any, alias: Optional[str] = None,
              files: Optional[Sequence[str]] = None, accept_new: Optional[bool] = None) -> Optional[str]:
        """None when the key is the one on record; else the one-line reason.
        addr is not consulted (OpenSSH's default CheckHostIP no); alias and
        files are the host's HostKeyAlias and UserKnownHostsFile; accept_new,
        for this host, instead of the run's --accept-new-host-keys."""
        with self._lock:
            return self._check(host, port, key, alias, files, self.accept_new if accept_new is None else accept_new)

    def _check(self, host: str, port: int, key: Any, alias: Optional[str], files: Optional[Sequence[str]],
               accept_new: bool) -> Optional[str]:
        name = lower_ascii(alias) if alias else host_pattern(lookup_name(host), port)  # alias: no port, as ssh
        try:
            decided, reason = _verdict(name, key, self._records(name, files))
        except ValueError as exc:
            return str(exc)
        if decided:
            return reason
        if not accept_new:
            return ("unknown host %s (key %s); verify it and add it to known_hosts, or use"
                    " --accept-new-host-keys" % (name, fingerprint(key)))
        recorded = lower_ascii(alias) if alias else lookup_name(host)
        if not recorded or _NOT_RECORDABLE.search(recorded):
            return "unknown host %s (key %s), not recorded: a name known_hosts cannot hold" % (
                name, fingerprint(key))
        try:
            return self._record(name, key)
        except OSError as exc:
            return "unknown host %s, not recorded: %s: %s" % (name, self.own_file, exc.strerror or exc)

    def _record(self, name: str, key: Any) -> Optional[str]:
        """Appends a new host's key to the tool's own file, unless another
        process recorded one for it first: with the file locked, what was
        appended since it was read is read, and then it is decided. The key
        is trusted once it is written, not before."""
        folder = os.path.dirname(self.own_file)
        if folder:
            os.makedirs(folder, mode=0o700, exist_ok=True)
        handle = os.open(self.own_file, os.O_RDWR | os.O_APPEND | os.O_CREAT, 0o600)
        try:
            if fcntl is not None:
                fcntl.flock(handle, fcntl.LOCK_EX)  # released when closed
            self._own.catch_up(handle, self.problems)
            decided, reason = _verdict(name, key, self._own.records(name))
            if decided:
                return reason
            line = "%s %s\n" % (name, " ".join(key.export_public_key("openssh").decode("ascii").split()[:2]))
            ends = os.fstat(handle).st_size == self._own.size  # empty, or on a newline
            os.write(handle, ("" if ends else "\n").encode("ascii") + line.encode("ascii"))
            self._own.catch_up(handle, self.problems)
        finally:
            os.close(handle)
        return None
