"""The command line: one table of options, read by one parser, which also
writes the usage and the short --help from it.

Long options may be abbreviated to any unambiguous prefix and take their
value as --name VALUE or --name=VALUE; short ones as -j N or -jN. Options
and files may come in any order; after -- everything is a file.
"""
from __future__ import annotations

from .escape import escape
from .formats import FORMATS
from .inputs import MAX_SIZE, shown_size, size

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

PROG = "talvern-platformdetails"
#: --max-line-length's default: a line this long costs the slowest detector
#: pattern about 0.07 s, and that time grows with the cube of the length.
MAX_LINE_LENGTH = 4096
USAGE = """\
usage: {prog} [OPTION]... [FILE]...
       {prog} [OPTION]... ssh://[USER@]HOST[:PORT]...
"""
SUMMARY = """\
Name the device model that printed each version text, with the five
detectors of talvern.platformdetails.function_def. FILE is a device's
version text, a folder of them, or - (standard input, also when no FILE is
given); ssh://[USER@]HOST[:PORT] asks the device itself over SSH, and so
does each target of an --inventory FILE.
"""
STATUSES = """\
exit status: 0 every input recognised; 1 some input not recognised,
ambiguous or empty; 2 an error (usage, an input that cannot be read or
answered, a device that failed, output that cannot be written).
"""
DOCS = """\
The whole reference (formats, tables, time limits, the live mode's
credentials, host keys and failure classes) is in docs/ in the source tree
and the sdist: docs/command.md and docs/live.md.
"""


class UsageError(Exception):
    """A mistake on the command line: said with the usage, exit status 2."""


class Option:
    """One row of the table. value converts the option's argument (None: a
    flag, set to const, True by default); many: it may be given again, and
    its values make a list; live: it is for asking devices."""

    __slots__ = ("flags", "help", "value", "metavar", "many", "live", "dest", "const")

    def __init__(self, flags: Sequence[str], help: str, value: Optional[Callable[[str], Any]] = None,
                 metavar: str = "", many: bool = False, live: bool = False, dest: Optional[str] = None,
                 const: Any = True) -> None:
        self.flags, self.help, self.value, self.metavar = tuple(flags), help, value, metavar
        self.many, self.live, self.const = many, live, const
        self.dest = dest or [flag for flag in flags if flag.startswith("--")][0][2:].replace("-", "_")

    @property
    def default(self) -> Any:
        return False if self.value is None and self.const is True else None


def number(value: str) -> int:
    return int(value.strip())


def seconds(value: str) -> float:
    return float(value.strip())


OPTIONS = tuple(Option((form.option,), form.help, dest="format", const=form)
                for form in FORMATS if form.option is not None) + (
    Option(("--summary",), "end with the count of inputs per model"),
    Option(("--table",), "also classify each text with get_key_value against this JSON pattern table",
           str, "FILE"),
    Option(("--explain",), "with --table: show what every key's pattern yielded, in walk order"),
    Option(("-j", "--jobs"), "worker processes for many inputs (default: the CPUs available, {cpus} here)",
           number, "N"),
    Option(("--timeout",), "seconds an input may take before it is an error (default: 60; 0: no limit); "
           "live: seconds a device has, from connecting to its last byte (default: 30)", seconds, "SECONDS"),
    Option(("--max-line-length",), "an input with a line longer than N characters is an error, not "
           "answered; 0: no limit (default: %d)" % MAX_LINE_LENGTH, number, "N"),
    Option(("--max-size",), "read at most SIZE bytes of an input (K, M, G: 1024, 1024**2, 1024**3; default: "
           "%s); live: of a device's output (default: 1M)" % shown_size(MAX_SIZE), size, "SIZE"),
    Option(("--inventory",), "ask the devices listed in FILE (a target a line, or CSV with a host column)",
           str, "FILE", many=True, live=True),
    Option(("--command",), "the version command to send (default: show version)", str, "CMD", live=True),
    Option(("--paging-off",), "in a shell, send CMD first to turn paging off (default: terminal length 0)",
           str, "CMD", many=True, live=True),
    Option(("--user",), "log in as NAME, as ssh -l: over a target's user and the SSH config's (default:"
           " those, else your login name)", str, "NAME", live=True),
    Option(("-i", "--identity"), "a private key file to log in with, offered first (default: the SSH config's"
           " IdentityFile, else ~/.ssh/id_*; and the SSH agent)", str, "FILE", many=True, live=True),
    Option(("-F", "--config"), "read this SSH client config file, as ssh -F; none: none (default:"
           " ~/.ssh/config, then /etc/ssh/ssh_config)", str, "FILE", live=True, dest="ssh_config"),
    Option(("-J", "--jump"), "reach every device through these jump hosts, as ssh -J: [USER@]HOST[:PORT][,...],"
           " the first reached first; none: no jump host (default: the inventory's jump column, else the SSH"
           " config's ProxyJump or ProxyCommand)", str, "HOPS", live=True),
    Option(("--password-env",), "log in with the password in the environment variable NAME", str, "NAME",
           live=True),
    Option(("--ask-password",), "ask for the password at the terminal, once for the run", live=True),
    Option(("--concurrency",), "devices asked at once (default 100)", number, "N", live=True),
    Option(("--save",), "keep each device's text in DIR, to answer later as files", str, "DIR", live=True),
    Option(("--retry-failed",), "ask again only the devices that failed in the run saved in DIR", str, "DIR",
           live=True),
    Option(("--accept-new-host-keys",), "trust a host seen for the first time, recording its key in this"
           " tool's own known_hosts; a changed key is still refused", live=True),
    Option(("--legacy-algorithms",), "also offer old SHA-1 key exchange and CBC ciphers, for this run",
           live=True),
    Option(("-h", "--help"), "show this help and exit", dest="help"),
    Option(("--version",), "show the version and exit"),
)


class CommandLine:
    """What the command line says: each option's value under its dest (its
    default when not given), the format, and the files and targets."""

    def __init__(self) -> None:
        self.files = []  # type: List[str]
        self.format = FORMATS[0]
        self.given = []  # type: List[Option]
        for option in OPTIONS:
            if option.dest != "format":
                setattr(self, option.dest, option.default)

    def __getattr__(self, name: str) -> Any:  # for the type checker: every dest is set in __init__
        raise AttributeError(name)


def _find(flag: str, arg: str) -> Option:
    """The option a flag (of the argument arg) names, in full or as a
    prefix of one long option."""
    for option in OPTIONS:
        if flag in option.flags:
            return option
    if flag.startswith("--") and len(flag) > 2:
        matches = [option for option in OPTIONS for name in option.flags if name.startswith(flag)]
        if len(matches) == 1:
            return matches[0]
        if matches:
            raise UsageError("%s is ambiguous: %s" % (flag, ", ".join(option.flags[-1] for option in matches)))
    raise UsageError("unknown option %s" % arg)


def parse(argv: Sequence[str]) -> CommandLine:
    """Reads argv; raises UsageError, with the mistake, for a wrong one."""
    line = CommandLine()
    chosen = {}  # type: Dict[str, Option]
    position = 0
    while position < len(argv):
        arg = argv[position]
        position += 1
        if arg == "--":
            line.files.extend(argv[position:])
            break
        if not arg.startswith("-") or arg == "-":
            line.files.append(arg)
            continue
        flag, value = arg, None  # type: str, Optional[str]
        if arg.startswith("--") and "=" in arg:
            flag, value = arg.split("=", 1)
        elif not arg.startswith("--") and len(arg) > 2:
            flag, value = arg[:2], arg[2:]
        option = _find(flag, arg)
        name = option.flags[-1]
        if option.value is None:
            if value is not None:
                raise UsageError("%s takes no value" % name)
            other = chosen.setdefault(option.dest, option)
            if other is not option and other.const is not option.const:
                raise UsageError("%s cannot be combined with %s" % (name, other.flags[-1]))
            setattr(line, option.dest, option.const)
        else:
            if value is None:
                if position == len(argv):
                    raise UsageError("%s needs %s" % (name, option.metavar))
                value = argv[position]
                position += 1
            try:
                converted = option.value(value)
            except ValueError:
                raise UsageError("%s: %r is not a valid %s" % (name, value, option.metavar))
            setattr(line, option.dest, (getattr(line, option.dest) or []) + [converted] if option.many
                    else converted)
        if option not in line.given:
            line.given.append(option)
    return line


def usage(prog: str) -> str:
    return USAGE.format(prog=prog)


def help_text(prog: str, cpus: int) -> str:
    """--help: the usage, what the command does, the options, the statuses,
    and where the rest is written."""
    import textwrap

    def rows(pairs: Sequence[Tuple[str, str]]) -> str:
        out = []
        for left, text in pairs:
            words = textwrap.wrap(text, 79 - 26)
            if len(left) > 22:
                out.append("  " + left)
                left = ""
            out.append("  %-22s  %s" % (left, words[0]))
            out.extend(" " * 26 + word for word in words[1:])
        return "\n".join(out) + "\n"

    def options(live: bool) -> str:
        return rows([(", ".join(option.flags) + (" " + option.metavar if option.metavar else ""),
                      option.help.replace("{cpus}", str(cpus))) for option in OPTIONS if option.live == live])
    from .._failures import FAILURES

    return (usage(prog) + "\n" + SUMMARY + "\noptions:\n" + options(False)
            + "\nasking devices (ssh:// targets, --inventory):\n" + options(True) + "\n" + STATUSES
            + "\na device that cannot be answered fails with its class, said as TARGET: CLASS:\nREASON on"
            " standard error (status 2):\n" + rows(FAILURES) + "\n" + DOCS)

def shown(text: str) -> str:
    """A mistake's words as the terminal may show them (file names from a
    glob may hold anything)."""
    return text if text.isprintable() else escape(text)
