"""How text taken from an input (a file's name, a model, a message) is
shown to a person: never raw enough to drive a terminal.

A text is shown as written, except that every character Python's
``str.isprintable`` refuses (control characters such as ESC, line breaks,
tabs, format characters) is written as Python would write it in a string
literal (``\\x1b``, ``\\n``, ``\\u202e``), except that one above ASCII is
always written ``\\u0085``, never ``\\x85``: ``\\xff`` is a byte of a file name
that is not UTF-8. A backslash is written ``\\\\``; so two different texts are
never shown the same.
"""
from __future__ import annotations

NAMED = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escaped(char: str) -> str:
    named = NAMED.get(char)
    if named is not None:
        return named
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:
        # A byte that is not UTF-8, as os hands it over (surrogateescape).
        return "\\x%02x" % (code - 0xDC00)
    if code < 0x80:
        return "\\x%02x" % code
    if code < 0x10000:
        return "\\u%04x" % code
    return "\\U%08x" % code


def escape(text: str) -> str:
    """text as it is safe to show on a terminal, one line."""
    if text.isprintable() and "\\" not in text:
        return text  # nearly every text: no copy
    return "".join(_escaped(char) if char == "\\" or not char.isprintable() else char for char in text)
