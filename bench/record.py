"""What each benchmark case does, recorded, and the floor written from it.

Every case is run through an implementation with a recording stand-in for
``re`` that logs each call into ``re``, each match accessor and each
``replace`` of a group; check_all stops the benchmark unless all
implementations agree on results, printed lines and that log. floor_code
then writes the case's floor from the log: the calls into Python the case
requires, prebound, straight-line.
"""
import io
import re
import sys

import cases as C
import reference as plain

ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def comparable(text):
    """A printed text without what differs between implementations of the same
    function: its address, and the name Cython gives its function type."""
    return ADDRESS.sub(" at 0x?", text).replace("<cyfunction ", "<function ")


# ---- recording stand-in for re -------------------------------------------------

class Match(object):
    def __init__(self, log, index, real):
        self._log, self._index, self._real = log, index, real

    def group(self, *args):
        self._log.append(("group", self._index, args))
        return self._real.group(*args)

    def groups(self, *args):
        self._log.append(("groups", self._index, args))
        return tuple(Group(g, self._log) if isinstance(g, str) else g for g in self._real.groups(*args))


class Group(str):
    """A str item of groups(): what is done with it, replace(), is recorded too."""

    def __new__(cls, value, log):
        self = str.__new__(cls, value)
        self._log = log
        return self

    def replace(self, *args):
        self._log.append(("replace", str(self), args))
        return str.replace(self, *args)


class RecordingRe(object):
    I = re.I

    def __init__(self):
        self.log = []
        self.matches = 0

    def _call(self, name, args):
        self.log.append((name, args))
        real = getattr(re, name)(*args)
        if real is None:
            self.log.append(("none",))
            return None
        self.matches += 1
        self.log.append(("is", self.matches - 1))
        return Match(self.log, self.matches - 1, real)

    def search(self, *args):
        return self._call("search", args)

    def match(self, *args):
        return self._call("match", args)


def run_recorded(impl, case):
    """(outcome, printed lines, re log) of one call with re recorded."""
    func_name, _, make_args, _ = case
    rec = RecordingRe()
    saved_re, saved_out = impl.re, sys.stdout
    impl.re = rec
    sys.stdout = out = io.StringIO()
    try:
        try:
            outcome = ("result", getattr(impl, func_name)(*make_args(impl)))
        except Exception as exc:  # compared below, whatever it is
            outcome = ("raised", type(exc), str(exc))
    finally:
        impl.re, sys.stdout = saved_re, saved_out
    printed = [comparable(line) for line in out.getvalue().splitlines()]
    return outcome, printed, rec.log


def check_all(impls):
    """The record of plain Python on every case; stops the run unless each
    other implementation agrees with it on every case."""
    failures = []
    records = []
    for case in C.CASES:
        want = run_recorded(plain, case)
        for name, impl in impls.items():
            got = run_recorded(impl, case)
            if got != want:
                failures.append("%s [%s]: %s %r, plain %r" % (case[0], case[1], name, got[:2], want[:2]))
        expected = case[3]
        if (want[0][0] == "raised") != (expected is not None) or (expected and want[0][1] is not expected):
            failures.append("%s [%s]: unexpected outcome %r" % (case[0], case[1], want[0]))
        records.append(want)
    if failures:
        sys.stderr.write("implementations disagree with plain Python:\n  " + "\n  ".join(failures) + "\n")
        sys.exit(1)
    return records


# ---- the floor --------------------------------------------------------------------

def floor_code(case, record):
    """(statement, namespace): the calls into Python this case requires."""
    func_name, _, make_args, expected = case
    outcome, printed, log = record
    args = make_args(plain)
    ns = {"search": re.search, "match": re.match, "print_": print, "str_": str}
    consts = {}

    def const(value):
        key = (type(value), value) if isinstance(value, (str, int)) else id(value)
        if key not in consts:
            consts[key] = "k%d" % len(consts)
            ns[consts[key]] = value
        return consts[key]

    lines = []
    i = 0
    while i < len(log):
        event = log[i]
        if event[0] in ("search", "match"):
            call = "%s(%s)" % (event[0], ", ".join(const(a) for a in event[1]))
            if log[i + 1][0] == "is":
                lines.append("m%d = %s" % (log[i + 1][1], call))
            else:
                lines.append(call)
            i += 2
            continue
        if event[0] == "replace":
            _, text, call_args = event
            lines.append("%s.replace(%s)" % (const(text), ", ".join(const(a) for a in call_args)))
        else:
            kind, index, call_args = event
            lines.append("m%d.%s(%s)" % (index, kind, ", ".join(const(a) for a in call_args)))
        i += 1
    # A caller's own action is called as invokeaction calls it.
    if func_name == "invokeaction" and args[1] in C.USER_ACTIONS:
        handle = args[2] if len(args) > 2 and args[2] else None
        call_args = (args[0], handle) if handle else (args[0],)
        lines.append("%s(%s)" % (const(args[1]), ", ".join(const(a) for a in call_args)))
    callables = [a for a in args if callable(a)]
    for a in args:
        if isinstance(a, dict):
            callables += [v for v in a.values() if callable(v)]
    for line in printed:
        # A line that shows a callable took its str().
        for action in callables:
            shown = comparable(str(action))
            if shown in line:
                lines.append("str_(%s)" % const(action))
                line = line.replace(shown, str(action))
        lines.append("print_(%s)" % const(line))
    if expected is not None:
        # What the body does without a match: read .group of None.
        lines = lines + ["try:", "    %s.group" % const(None), "except AttributeError:", "    pass"]
    return "\n".join(lines), ns
