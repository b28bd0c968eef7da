"""Inputs as people have them: folders to walk, files and pipes to read
within a size, and texts in whatever encoding a shell or a terminal
program wrote them."""
import codecs
import os
import stat
from typing import Callable, Iterator, List, Optional, Set, Tuple

# Longest first: the UTF-32 little-endian mark begins with the UTF-16 one.
BOMS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)


#: --max-size by default: far above any version text, far below a machine's memory.
MAX_SIZE = 64 << 20
CHUNK = 1 << 20  # bytes read at a time from a stream
UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


class BinaryInput(ValueError):
    """The bytes hold NULs and are not UTF-16 or UTF-32 text."""


class TooLarge(ValueError):
    """The input is larger than the largest size to be read."""


def size(value: str) -> int:
    """A number of bytes, with K, M or G for 1024, 1024**2 or 1024**3 (the
    value of --max-size; the name is argparse's word for a bad one)."""
    digits = value.strip()
    unit = digits[-1:].upper() if digits[-1:].isalpha() else ""
    if unit:
        digits = digits[:-1]
    if unit not in UNITS or not digits.isdigit() or int(digits) < 1:
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


def _wide_encoding(data: bytes) -> Optional[str]:
    """The UTF-16/32 byte order of text written without a mark, judged by
    where the NULs of mostly-ASCII text fall, or None."""
    sample = data[:4096]
    size = len(sample)
    if len(data) % 4 == 0 and size >= 4:
        if sample[1::4].count(0) + sample[2::4].count(0) + sample[3::4].count(0) == 3 * (size // 4):
            return "utf-32-le"
        if sample[0::4].count(0) + sample[1::4].count(0) + sample[2::4].count(0) == 3 * (size // 4):
            return "utf-32-be"
    if len(data) % 2 == 0 and size >= 2:
        half = size // 2
        odd_nuls, even_nuls = sample[1::2].count(0), sample[0::2].count(0)
        if odd_nuls >= 0.9 * half and even_nuls <= 0.1 * half:
            return "utf-16-le"
        if even_nuls >= 0.9 * half and odd_nuls <= 0.1 * half:
            return "utf-16-be"
    return None


def decode(data: bytes) -> Tuple[str, Optional[str]]:
    """The text of one input with \\n line ends, and a warning or None.

    Raises BinaryInput for bytes that are not text.
    """
    warning = None  # type: Optional[str]
    for bom, encoding in BOMS:
        if data.startswith(bom):
            text = data[len(bom):].decode(encoding, "replace")
            break
    else:
        if b"\0" in data:
            encoding_found = _wide_encoding(data)
            try:
                if encoding_found is None:
                    raise BinaryInput()
                text = data.decode(encoding_found)
            except UnicodeDecodeError:
                raise BinaryInput()
        else:
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError:
                # Old devices and terminal logs often are Latin-1; every byte decodes.
                text = data.decode("latin-1")
                warning = "not UTF-8, read as Latin-1"
    if "\0" in text:
        raise BinaryInput()
    if "\r" in text:
        import re  # loaded already: the detectors search with it

        # Terminal and expect logs end lines with \r\r\n: any run of \r
        # before a \n is one line end; a \r alone is one too.
        text = re.sub("\r+\n", "\n", text).replace("\r", "\n")
    return text, warning


def _listing(folder: str, seen: Set[Tuple[int, int]]) -> List[Tuple[str, bool]]:
    """A folder's visible folders and regular files, sorted by name, as
    (path, is_folder); empty when this folder was already walked (a link
    back up the tree). FIFOs, sockets and devices are skipped, as grep -r
    skips them: reading one could wait for ever or never end."""
    info = os.stat(folder)
    if (info.st_dev, info.st_ino) in seen:
        return []
    seen.add((info.st_dev, info.st_ino))
    entries = []
    with os.scandir(folder) as scan:
        for entry in scan:
            if entry.name.startswith("."):
                continue
            try:
                is_folder = entry.is_dir()
                if not is_folder and not entry.is_file() and os.path.exists(entry.path):
                    continue  # a special file; a dangling link is reported when it is opened
            except OSError:
                is_folder = False  # reported when it is opened
            entries.append((entry.path, is_folder))
    entries.sort()
    return entries


def walk(folder: str) -> Iterator[Tuple[str, Optional[OSError]]]:
    """The files under a folder, depth first in sorted order, as (path, None),
    with (path, error) for a folder that cannot be listed. Hidden files and
    folders are skipped; links are followed, each folder walked once."""
    seen = set()  # type: Set[Tuple[int, int]]
    try:
        stack = [iter(_listing(folder, seen))]
    except OSError as exc:
        yield folder, exc
        return
    while stack:
        for path, is_folder in stack[-1]:
            if not is_folder:
                yield path, None
                continue
            try:
                stack.append(iter(_listing(path, seen)))
            except OSError as exc:
                yield path, exc
                continue
            break  # go down into the folder just listed
        else:
            stack.pop()
