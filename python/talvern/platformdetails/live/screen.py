"""A device's terminal as it shows itself: its lines as a terminal draws
them (a carriage return goes back to the start of the line, backspaces
and erase-line sequences erase, colours are not text), its prompt, its
pager, and the text of a shell session without the echoed command or the
trailing prompt. All on the device's own bytes."""
import re
from typing import List, Optional

# A prompt is a whole last line: a name (or <name>), then #, > or $ (and a space).
PROMPT = re.compile(rb"[<A-Za-z0-9_.@:/()\[\]~-][A-Za-z0-9_.@:/()\[\]~ -]{0,79}[#>$%] ?\Z")
PAGER = re.compile(rb"(?:-+ ?\(?more\b[^\n]{0,30}|<--- more --->|press any key to continue[^\n]{0,20}"
                   rb"|--more--)\s*\Z", re.IGNORECASE)
# What a device answers a command it does not take with, as the first line
# of a short answer: "% Invalid input detected", "Error: Unrecognized command".
REFUSAL = re.compile(rb"\s*(?:%|\^\s*$|(?:error|syntax error|invalid|unknown|unrecognized|unrecognised|incomplete"
                     rb"|ambiguous)\b|.*\bcommand not found)", re.IGNORECASE)
REFUSAL_LINES = 3  # a refusal is this short; a version text is far longer
# Control sequences: CSI (ESC [ ... letter), charset and keypad selection.
_TOKENS = re.compile("\x1b\\[([0-9;?]*)([A-Za-z@`])|\x1b[()][A-Za-z0-9]|\x1b[=>78]|[\r\x08]|\x1b|[^\r\x08\x1b]+")
_DRAWN = re.compile(rb"[\r\x08\x1b]")
_DRAWN_LINE = re.compile(rb"[^\n]*[\r\x08\x1b][^\n]*")


def _render(line: str) -> str:
    """One line as a terminal shows it, after every overwrite and erase."""
    cells = []  # type: List[str]
    column = 0
    for token in _TOKENS.finditer(line):
        text = token.group(0)
        final = token.group(2)
        if text == "\r":
            column = 0
        elif text == "\x08":
            column = max(0, column - 1)
        elif final is not None:
            first = token.group(1).split(";")[0]
            count = int(first) if first.isdigit() else 0
            if final == "K":  # erase in line: 0 to its end, 1 to its start, 2 all of it
                if count == 0:
                    del cells[column:]
                elif count == 1:
                    cells[:column] = [" "] * min(column, len(cells))
                else:
                    cells = []
            elif final == "C":
                column += max(1, count)
            elif final == "D":
                column = max(0, column - max(1, count))
            elif final == "G":
                column = max(0, count - 1)
        elif not text.startswith("\x1b"):
            if column > len(cells):
                cells.extend(" " * (column - len(cells)))
            cells[column:column + len(text)] = text
            column += len(text)
    return "".join(cells).rstrip(" ")


def shown(line: bytes) -> bytes:
    """A line (without its newline) as a terminal shows it; a line with
    nothing drawn over it stays as it is, byte for byte."""
    line = line.rstrip(b"\r")  # a terminal's line end: \r\n, or \r\r\n
    if not _DRAWN.search(line):
        return line
    return _render(line.decode("utf-8", "surrogateescape")).encode("utf-8", "surrogateescape")


def last_line(data: bytes) -> bytes:
    """The last line of what was read, as a terminal shows it."""
    return shown(data[data.rfind(b"\n") + 1:])


def pager(line: bytes) -> Optional["re.Match[bytes]"]:
    return PAGER.search(line)


def refusal(text: bytes) -> Optional[bytes]:
    """The device's words when a short answer refuses the command, or None."""
    lines = [line.strip() for line in text.split(b"\n") if line.strip()]
    if lines and len(lines) <= REFUSAL_LINES and REFUSAL.match(lines[0]):
        return b" ".join(lines)
    return None


def clean(data: bytes, command: str, prompt: Optional[bytes]) -> bytes:
    """What the device printed for the command, as a terminal shows it,
    without the echoed command or the trailing prompt. Made a copy at a
    time, never a line at a time: a large output costs about its size."""
    data = data.replace(b"\r\n", b"\n")
    if _DRAWN.search(data):
        data = _DRAWN_LINE.sub(lambda line: shown(line.group(0)), data)
    if prompt is not None:
        end = data.find(b"\n")
        if (data if end < 0 else data[:end]).strip().endswith(command.encode("utf-8")):
            data = b"" if end < 0 else data[end + 1:]
        start = data.rfind(b"\n") + 1
        if data[start:].strip() == prompt.strip():
            data = data[:start]
        elif start < len(data):
            data += b"\n"
    return data
