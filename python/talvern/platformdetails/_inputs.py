"""Inputs as people have them: folders to walk, and texts in whatever
encoding a shell or a terminal program wrote them."""
import codecs
import os
from typing import Iterator, List, Optional, Set, Tuple

# Longest first: the UTF-32 little-endian mark begins with the UTF-16 one.
BOMS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)


class BinaryInput(ValueError):
    """The bytes hold NULs and are not UTF-16 or UTF-32 text."""


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
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text, warning


def _listing(folder: str, seen: Set[Tuple[int, int]]) -> List[Tuple[str, bool]]:
    """A folder's visible entries, sorted by name, as (path, is_folder);
    empty when this folder was already walked (a link back up the tree)."""
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
