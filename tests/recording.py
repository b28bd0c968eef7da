"""Runs one call of an implementation of the functions with everything it
does recorded: what it looks up on ``re`` and calls there, what it asks of
each match and of each group it reads, the caller's actions it calls, and
the lines it prints. Two implementations that agree on the record are
interchangeable for their callers."""
import io
import re
import sys

ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


class Log(list):
    """The record of one call; entries are added only while it is active,
    so comparing recorded values afterwards records nothing."""

    active = True

    def add(self, *entry):
        if self.active:
            self.append(entry)


class Group(str):
    """A group read from a match: its truth, comparisons and replace() are
    recorded too."""

    def __new__(cls, value, log):
        self = str.__new__(cls, value)
        self._log = log
        return self

    def __bool__(self):
        self._log.add("bool", str(self))
        return len(self) > 0

    def __eq__(self, other):
        self._log.add("==", str(self), str(other))
        return str.__eq__(self, other)

    __hash__ = str.__hash__

    def replace(self, *args):
        self._log.add("replace", str(self), args)
        return str.replace(self, *args)


def recorded(value, log):
    return Group(value, log) if isinstance(value, str) else value


class Match(object):
    def __init__(self, real, log):
        self._real, self._log = real, log

    def __bool__(self):
        self._log.add("bool", "match")
        return bool(self._real)

    def group(self, *args):
        self._log.add("group", args)
        return recorded(self._real.group(*args), self._log)

    def groups(self, *args):
        self._log.add("groups", args)
        return tuple(recorded(value, self._log) for value in self._real.groups(*args))


class RecordingRe(object):
    """Stands for ``re`` (or another engine) in an implementation's namespace."""

    def __init__(self, log, engine):
        self._log, self._engine = log, engine

    def __getattr__(self, name):
        self._log.add("get", name)
        value = getattr(self._engine, name)
        if not callable(value):
            return value

        def call(*args, **kwargs):
            self._log.add(name, tuple(str(a) if isinstance(a, Group) else a for a in args), sorted(kwargs.items()))
            found = value(*args, **kwargs)
            return None if found is None else Match(found, self._log)

        return call


class Unrecorded(object):
    """An engine to bind as ``re`` itself, so that the implementation reads
    it as it is; only the outcome and printed lines are compared then."""

    def __init__(self, engine):
        self.engine = engine


CURRENT = [Log()]


class Action(object):
    """A caller's callable action: records its calls, returns `result`."""

    def __init__(self, name, result=None):
        self.name, self.result = name, result

    def __call__(self, *args, **kwargs):
        CURRENT[0].add("call", self.name, args, sorted(kwargs.items()))
        return self.result

    def __str__(self):
        return "<action %s>" % self.name


def shape(value):
    """A value with the type of every part, so that equal-looking values of
    different types do not compare equal."""
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [shape(item) for item in value]
    return type(value).__name__, str(value) if isinstance(value, Group) else value


def run(impl, func_name, make_args, bind=None):
    """(outcome, printed lines, log) of one call of `func_name` of `impl`
    with the arguments make_args(impl), and the names that bind(impl) gives
    bound in its namespace meanwhile (``re`` among them is an engine to
    record, unless Unrecorded)."""
    log = Log()
    args = make_args(impl)
    names = dict(bind(impl) if bind else {})
    engine = names.get("re", re)
    names["re"] = engine.engine if isinstance(engine, Unrecorded) else RecordingRe(log, engine)
    saved, saved_out = {name: getattr(impl, name) for name in names}, sys.stdout
    vars(impl).update(names)
    sys.stdout, CURRENT[0] = io.StringIO(), log
    try:
        try:
            outcome = ("returned", getattr(impl, func_name)(*args))
        except Exception as exc:  # any exception is an outcome to compare
            outcome = ("raised", type(exc).__name__, ADDRESS.sub(" at 0x?", str(exc)))
        printed = sys.stdout.getvalue()
    finally:
        vars(impl).update(saved)
        sys.stdout = saved_out
        log.active = False
    if outcome[0] == "returned":
        outcome = ("returned", shape(outcome[1]))
    return outcome, ADDRESS.sub(" at 0x?", printed).splitlines(), list(log)
