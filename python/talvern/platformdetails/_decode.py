"""Texts as devices, terminals and shells write them: bytes in whatever
encoding they came in, with the line ends a terminal log has."""
import codecs
from typing import Optional, Tuple

# Longest first: the UTF-32 little-endian mark begins with the UTF-16 one.
BOMS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)
LATIN_1 = "not UTF-8, read as Latin-1"


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


def line_ends(text: str) -> str:
    """text with \\n line ends: terminal and expect logs end lines with
    \\r\\r\\n, so any run of \\r before a \\n is one line end, and a \\r
    alone is one too."""
    if "\r" not in text:
        return text
    import re  # loaded already (the detectors search with it); the pattern is compiled when first needed

    return re.sub("\r+\n", "\n", text).replace("\r", "\n")


def decode(data: bytes) -> Tuple[str, Optional[str]]:
    """The text of some bytes with \\n line ends, and a warning or None.

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
                warning = LATIN_1
    if "\0" in text:
        raise BinaryInput()
    return line_ends(text), warning
