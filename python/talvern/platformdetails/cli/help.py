"""The text of ``talvern-platformdetails --help``: what the command reads,
how it decides, what it prints and which status it exits with.

Kept apart from the code so the words can be read and edited as prose;
each output format's paragraph is kept with the format, in _formats.
"""
from __future__ import annotations

TYPE_CHECKING = False  # as in _cli: typing stays unimported
if TYPE_CHECKING:
    from typing import Sequence

    from .formats import Format

DESCRIPTION = """\
Name the device model that printed each version text, with the five
detectors of talvern.platformdetails.function_def.

Each FILE holds the text one device printed for its version command; a
folder is walked recursively in sorted order (hidden files and folders are
skipped, a folder reached again through a link is walked once, and only
regular files are read: FIFOs, sockets and devices found there are skipped,
as grep -r skips them). FILE - is standard input, and so is no FILE at all,
unless standard input is a terminal: then the usage is printed instead of
waiting for a text. A FIFO or a device named as FILE is read as a stream,
so <(some command) works. An input larger than --max-size (64M unless
given) is an error, named on standard error, and the run goes on.

A text with a byte-order mark is read as UTF-8, UTF-16 or UTF-32 as the
mark says; one without is read as UTF-8, or as Latin-1 with a warning when
it is not UTF-8. A file with NUL bytes that is not UTF-16 or UTF-32 is
reported as binary and skipped. Any run of \\r before a \\n (terminal logs
end lines with \\r\\r\\n) is one line end, and so is a \\r alone.

A detector that raises (get_vkorin_details does for any text without the
vKORIN banner) or returns '' makes no claim. One claim, or several naming
the same model, is the answer; claims naming different models make the text
ambiguous, and none is chosen. Lines a detector prints are caught, never
mixed into the output.

Outside --json, what comes from an input (a file's name, a model, a
message) is shown escaped: a control character as \\x1b, \\n or \\t (any
character Python deems unprintable, as in a string literal, and one above
ASCII as \\u0085), a byte of a
name that is not UTF-8 as \\xff, and a backslash as \\\\, so that nothing
drives the terminal and two names never look alike.
"""

SUMMARY = """\
  --summary ends with the count of inputs per model (with --json, as one
  last object {"summary": {...}}).

"""

SECTIONS = """\
pattern tables:
  --table FILE reads a JSON object that maps a key to a regular expression,
  for example {"garu": "Solaris Unix", "tolm": "(?P<model>TOLM-?[0-9]+).*Chassis"}.
  get_key_value walks the keys in ascending order, searches the text with
  each pattern, and the first key whose pattern matches wins. Keys are
  strings and sort as strings: "10" comes before "9", so give number
  prefixes the same width. --explain shows what every key's pattern yielded,
  so overlapping patterns are easy to spot. Groups are reported by position,
  and named groups (?P<name>...) by name as well. Every pattern is compiled
  before any text is read; one that does not compile is reported by its key.

many inputs:
  Past a thousand or so inputs the work is shared among --jobs worker
  processes (by default one per CPU this process may use); the output stays
  in input order. A long run whose output is not shown on the terminal
  shows its progress on standard error when that is a terminal.

time limit and lost workers:
  No input is answered for longer than --timeout seconds (default 60; 0: no
  limit). One still being answered then is an error, "NAME: not answered
  within 60 s" on standard error, and the run goes on: in this process an
  alarm stops the answer (the regex engine heeds it even inside a match),
  and a worker past the limit is killed and replaced. Where no alarm can be
  set (outside the main thread of a program that runs the command), every
  input goes to a worker, even for --jobs 1. A worker that dies (killed when
  memory runs out, say) costs only the input it was answering, reported as
  "NAME: not answered: its worker process was killed by SIGKILL"; a new
  worker answers the others it held.

long lines:
  One detector's pattern takes time that grows with the cube of a line's
  length: about 0.07 s for a line of 4 KB, 0.5 s for 8 KB, over a minute for
  32 KB. An input with a line longer than --max-line-length characters
  (default 4096, far longer than any real version text's) is reported as an
  error and not answered; the run goes on. --max-line-length 0: no limit.

exit status:
  0  every input was recognised
  1  some input was read but not recognised, was ambiguous, or was empty
  2  an error: usage, an input that cannot be read, is binary, has a line
     past --max-line-length or is larger than --max-size, or was not
     answered (past the time limit, or its worker died), a table file that
     cannot be read or is invalid, or output that cannot be written
  A closed output pipe (| head) ends the run quietly, with the status of the
  inputs answered until then.
"""


def epilog(formats: Sequence[Format]) -> str:
    """The text after the options: the formats' paragraphs, then the rest."""
    return "output:\n" + "".join(form.paragraph for form in formats) + SUMMARY + SECTIONS
