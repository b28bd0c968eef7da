"""The command's inputs as people have them: files, folders to walk, and
pipes and standard input to read within a size. Each becomes a Task,
whose bytes are read where it is answered."""
import os
import stat
from typing import Callable, Iterator, List, Optional, Sequence, Set, TextIO, Tuple

from .._detect import describe_exception

#: --max-size by default: far above any version text, far below a machine's memory.
MAX_SIZE = 64 << 20
CHUNK = 1 << 20  # bytes read at a time from a stream
UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


class TooLarge(ValueError):
    """The input is larger than the largest size to be read."""


def size(value: str) -> int:
    """A number of bytes, with K, M or G for 1024, 1024**2 or 1024**3 (the
    value of --max-size; the name is argparse's word for a bad one)."""
    digits = value.strip()
    unit = digits[-1:].upper() if digits[-1:].isalpha() else ""
    if unit:
        digits = digits[:-1]
    if unit not in UNITS or not (digits.isascii() and digits.isdigit()) or int(digits) < 1:
        raise ValueError(value)
    return int(digits) * UNITS[unit]


def shown_size(count: int) -> str:
    """A size as --max-size would be given it: 64M, not 67108864."""
    for unit in ("G", "M", "K"):
        if count % UNITS[unit] == 0:
            return "%d%s" % (count // UNITS[unit], unit)
    return str(count)


def read_bounded(read: Callable[[int], bytes], limit: int, expected: int = 0) -> bytes:
    """All of a stream's bytes, taken a chunk at a time with its read method;
    raises TooLarge as soon as there are more than limit. expected: the size
    of a regular file (0 for a pipe or a device), whose first short read is
    its end."""
    chunks = []  # type: List[bytes]
    total = 0
    want = min(CHUNK, expected + 1) if expected else CHUNK  # a small file: one small read
    while True:
        asked = min(want, limit + 1 - total)
        chunk = read(asked)
        if not chunk:
            break
        chunks.append(chunk)
        total += len(chunk)
        if total > limit:
            raise TooLarge(limit)
        if expected and len(chunk) < asked:
            break
        want = CHUNK
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def read_file(path: str, limit: int, walked: bool) -> bytes:
    """A named file's bytes, at most limit of them. A file found in a walk is
    opened without waiting, so that a FIFO put there meanwhile cannot hang
    the walk: it is refused as not a regular file."""
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | (getattr(os, "O_NONBLOCK", 0) if walked else 0)
    descriptor = os.open(path, flags)
    with open(descriptor, "rb", buffering=0) as stream:
        info = os.fstat(descriptor)
        regular = stat.S_ISREG(info.st_mode)
        if walked and not regular:
            raise OSError(0, "not a regular file")
        if regular and info.st_size > limit:
            raise TooLarge(limit)  # known without reading it
        return read_bounded(stream.read, limit, info.st_size if regular else 0)


SAVED_RUN = ".failed"  # in a folder a live run saved into (--save): the targets that failed
SKIPPED_SUFFIXES = (".json",)  # never a version text: a pattern table, a run's notes


def _listing(folder: str, seen: Set[Tuple[int, int]]) -> List[Tuple[str, Optional[bool]]]:
    """A folder's visible folders and regular files, sorted by name, as
    (path, is_folder), and last (its .failed, None) for a folder a live run
    saved into; empty when this folder was already walked (a link back up
    the tree). FIFOs, sockets and devices are skipped, as grep -r skips
    them: reading one could wait for ever or never end. JSON files are
    skipped too: a version text is never one."""
    info = os.stat(folder)
    if (info.st_dev, info.st_ino) in seen:
        return []
    seen.add((info.st_dev, info.st_ino))
    entries = []  # type: List[Tuple[str, Optional[bool]]]
    saved = False
    with os.scandir(folder) as scan:
        for entry in scan:
            if entry.name.startswith(".") or entry.name.lower().endswith(SKIPPED_SUFFIXES):
                saved = saved or entry.name == SAVED_RUN
                continue
            try:
                is_folder = entry.is_dir()
                if not is_folder and not entry.is_file() and os.path.exists(entry.path):
                    continue  # a special file; a dangling link is reported when it is opened
            except OSError:
                is_folder = False  # reported when it is opened
            entries.append((entry.path, is_folder))
    entries.sort()
    if saved:
        entries.append((os.path.join(folder, SAVED_RUN), None))
    return entries


def walk(folder: str) -> Iterator[Tuple[str, Optional[OSError], bool]]:
    """The files under a folder, depth first in sorted order, as (path,
    None, False), with (path, error, False) for a folder that cannot be
    listed and (path, None, True) for a saved run's .failed, after that
    folder's files. Hidden and JSON files and hidden folders are skipped;
    links are followed, each folder walked once."""
    seen = set()  # type: Set[Tuple[int, int]]
    try:
        stack = [iter(_listing(folder, seen))]
    except OSError as exc:
        yield folder, exc, False
        return
    while stack:
        for path, is_folder in stack[-1]:
            if not is_folder:
                yield path, None, is_folder is None
                continue
            try:
                stack.append(iter(_listing(path, seen)))
            except OSError as exc:
                yield path, exc, False
                continue
            break  # go down into the folder just listed
        else:
            stack.pop()


class Task:
    """One input: its name as reported (exactly: escaped only when shown),
    and where its bytes come from: a path (walked: found in a folder), the
    bytes of standard input, or why it cannot be read; or a device that
    failed in a saved live run, with its class and reason."""

    __slots__ = ("shown", "path", "data", "error", "walked", "failure")

    def __init__(self, shown: str, path: Optional[str], data: Optional[bytes], error: Optional[str],
                 walked: bool = False, failure: Optional[Tuple[str, str]] = None) -> None:
        self.shown, self.path, self.data, self.error = shown, path, data, error
        self.walked, self.failure = walked, failure


def too_large(limit: int) -> str:
    return "larger than --max-size %s" % shown_size(limit)


def _stdin(stdin: Optional[TextIO], max_size: int) -> Task:
    try:
        if stdin is None:
            raise OSError("standard input is closed")
        if hasattr(stdin, "buffer"):
            data = read_bounded(stdin.buffer.read, max_size)
        else:
            data = stdin.read().encode("utf-8")
    except OSError as exc:
        return Task("<stdin>", None, None, describe_exception(exc))
    except TooLarge:
        return Task("<stdin>", None, None, too_large(max_size))
    except MemoryError:
        return Task("<stdin>", None, None, "out of memory")
    return Task("<stdin>", None, data, None)


def _failed(folder: str) -> Iterator[Task]:
    """The devices that failed in the live run saved in folder, each as the
    run answered it: an error by its target's name."""
    from .saving import SaveError, read_failed_entries

    try:
        entries = read_failed_entries(folder) or []
    except (SaveError, OSError) as exc:
        yield Task(os.path.join(folder, SAVED_RUN), None, None, describe_exception(exc))
        return
    for entry in entries:
        yield Task(entry.shown, None, None, None, failure=(entry.failure, entry.reason))


def tasks(names: Sequence[str], stdin: Optional[TextIO], max_size: int = MAX_SIZE) -> Iterator[Task]:
    """The inputs, one at a time, folders walked as they are reached."""
    for name in names:
        if name == "-":
            yield _stdin(stdin, max_size)
        elif os.path.isdir(name):
            for path, error, saved in walk(name):
                if saved:
                    for task in _failed(os.path.dirname(path)):
                        yield task
                else:
                    yield Task(path, path, None, None if error is None else describe_exception(error), True)
        else:
            yield Task(name, name, None, None)
