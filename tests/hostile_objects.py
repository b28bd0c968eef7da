"""Objects that fight back: raising dunders, stand-ins for `re`, odd tables.

Imported by the child interpreters of test_hostile.py.
"""
import contextlib
import gc

from talvern.platformdetails import function_def as fd


class Boom(Exception):
    pass


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class RaisingEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__


class RaisingLt:
    def __init__(self, n):
        self.n = n

    def __lt__(self, other):
        raise Boom("__lt__")


class RaisingStr:
    """A callable action with a false result whose string form raises."""

    def __call__(self, *args):
        return ""

    def __str__(self):
        raise Boom("__str__")


class FakeMatch:
    """A match object whose group(n) answers from a table (a value, or an
    exception to raise) and whose groups() answers `groups`."""

    def __init__(self, by_group=None, groups=()):
        self.by_group = by_group or {}
        self._groups = groups

    def group(self, n=0):
        value = self.by_group.get(n)
        if isinstance(value, BaseException):
            raise value
        return value

    def groups(self):
        return self._groups


class FakeRe:
    """A stand-in `re`: search and match give fixed answers."""
    I = 2

    def __init__(self, search=None, match=None):
        self._search = search
        self._match = match

    def search(self, *args):
        return self._search

    def match(self, *args):
        return self._match


def with_re(stand_in, func, *args):
    """func(*args) with the module's `re` replaced by `stand_in`."""
    saved = fd.re
    fd.re = stand_in
    try:
        return func(*args)
    finally:
        fd.re = saved


def with_stdout(stream, func, *args):
    with contextlib.redirect_stdout(stream):
        return func(*args)


class RaisingWriter:
    def write(self, text):
        raise Boom("write")

    def flush(self):
        pass


class DisagreeingMapping:
    """Iterates keys its subscription does not know."""

    def __iter__(self):
        return iter(["b", "a"])

    def __getitem__(self, key):
        raise KeyError(key)


class LyingIter:
    """__iter__ returns something that is not an iterator."""

    def __iter__(self):
        return 42

    def __getitem__(self, key):
        return "x"


class RaisingIter:
    def __iter__(self):
        raise Boom("__iter__")


def generator_table():
    yield "a"
    yield "b"


# ---- tables that actions change while they are walked -----------------------


def deleting_table():
    """'a' removes 'b' before its turn."""
    table = {}

    def action(text):
        del table["b"]
        return ""

    table.update(a=action, b="x")
    return table


def clearing_table():
    table = {}

    def action(text):
        table.clear()
        return ""

    table.update(a=action, b="x", c="y")
    return table


def replacing_table():
    """'a' drops the last reference to itself and rebinds 'b'."""
    table = {}

    def make_action():
        def action(text):
            table["a"] = None
            table["b"] = "e(x)t"
            gc.collect()
            return ""

        return action

    table.update(a=make_action(), b="nomatch")
    return table


def growing_table():
    table = {}

    def action(text):
        for i in range(1000):
            table["z%d" % i] = "t"
        return ""

    table.update(a=action)
    return table


def call_with_keyword_dict(func, kwargs):
    """func(**kwargs) through the type's tp_call, handing over `kwargs`
    itself: the dict stays the only owner of what it holds."""
    import ctypes

    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(type(func).__call__, (func,), kwargs)


class EmptyingAction:
    """Empties the keyword dict it was passed in, then finds nothing: the
    false-result line then needs this action's str() after it is gone
    from the dict."""

    def __init__(self, kwargs):
        self.kwargs = kwargs

    def __call__(self, text):
        self.kwargs.clear()
        gc.collect()
        return ""


def keyword_dict_emptied():
    kwargs = {"input_value": "x" * 50}
    kwargs["action"] = EmptyingAction(kwargs)
    return call_with_keyword_dict(fd.invokeaction, kwargs)


def table_freed_mid_walk():
    """The table's only owner is the call's keyword dict, which the action
    empties: the walk must hold the table itself."""
    kwargs = {"input_value": "text"}
    kwargs["dict_name"] = {"a": EmptyingAction(kwargs), "b": "t"}
    return call_with_keyword_dict(fd.get_key_value, kwargs)


def key_list_cleared():
    """An action that finds the walk's private key list through the garbage
    collector, empties it and the table, and matches: the key it returns
    with must still be alive."""
    marker = "key-%d" % id(object())
    table = {}

    def action(text):
        for obj in gc.get_objects():
            if type(obj) is list and len(obj) == 3 and type(obj[0]) is str and obj[0] == "a" + marker:
                obj.clear()
        table.clear()
        return "M"

    table["a" + marker] = action
    table["b" + marker] = "nomatch"
    table["c" + marker] = "t"
    key, output = fd.get_key_value("text", table)
    return key == "a" + marker, output


def tampered_type():
    """Changes the function type where the interpreter lets it (before 3.10
    the type is mutable): no instance can be made, no call crashes."""
    kind = type(fd.invokeaction)
    for attr, value in [("__new__", staticmethod(lambda cls: object.__new__(cls))),
                        ("__call__", lambda self, *a: "replaced"),
                        ("__repr__", None)]:
        try:
            setattr(kind, attr, value)
        except TypeError:
            pass
    for attempt in (lambda: kind(), lambda: object.__new__(kind), lambda: fd.invokeaction("t", "t"),
                    lambda: fd.get_key_value("t", {"a": fd.get_garu_details}), lambda: repr(fd.invokeaction)):
        try:
            attempt()
        except TypeError:
            pass
    for attr in ("__call__", "__repr__", "__new__"):
        try:
            delattr(kind, attr)
        except (TypeError, AttributeError):
            pass
    try:
        fd.invokeaction("t", "t")
    except TypeError:
        pass
    return "done"
