"""What a device's terminal shows: its prompt, its pager, and the text of
a shell session without the terminal's noise, the echoed command or the
trailing prompt."""
import re
from typing import Optional

# A prompt is a whole last line: a name (or <name>), then #, > or $ (and a space).
PROMPT = re.compile(r"(?:^|\n)([<A-Za-z0-9_.@:/()\[\]~-][A-Za-z0-9_.@:/()\[\]~ -]{0,79}[#>$%] ?)\Z")
PAGER = re.compile(r"(?:-+ ?\(?more\b[^\n]{0,30}|<--- more --->|press any key to continue[^\n]{0,20}"
                   r"|--more--)\s*\Z", re.IGNORECASE)
# What terminals draw: colours, cursor moves, and the backspaces a pager
# uses to rub its prompt out.
ESCAPES = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Za-z0-9]|\x1b[=>]|[^\n\x08]\x08| *\x08+")


def clean(text: str, command: str, prompt: Optional[str]) -> str:
    """What the device printed for the command, without terminal noise, the
    echoed command or the trailing prompt."""
    text = drawn(text.replace("\r\n", "\n"))
    lines = text.split("\n")
    if "\r" in text:
        # A bare carriage return starts the line again: what follows it is
        # what a terminal shows (a pager rubs its prompt out so).
        lines = [_last_drawn(line) for line in lines]
    if prompt is not None:
        if lines and lines[0].strip().endswith(command):
            lines = lines[1:]
        if lines and lines[-1].strip() == prompt.strip():
            lines[-1] = ""
        elif lines and lines[-1] != "":
            lines.append("")
    return "\n".join(lines)


def drawn(text: str) -> str:
    """The text without what a terminal draws rather than shows (a coloured prompt)."""
    return ESCAPES.sub("", text) if "\x1b" in text or "\x08" in text else text


def _last_drawn(line: str) -> str:
    parts = [part for part in line.split("\r") if part.strip()]
    return parts[-1] if parts else ""
