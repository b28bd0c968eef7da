"""The shortcuts the module takes between its own functions, and around
``re``, must behave exactly like the plain calls they stand for: rebinding
a late-bound name, even in the middle of a walk, takes effect at the next
use; replaced tables, ``re`` objects and match objects are used as given."""
import re
import subprocess
import sys
import textwrap
import types

import pytest

from talvern.platformdetails import function_def as fd

TOLM = ["(TOLM[-]?[0-9]+).*Chassis", r"[Vv]antrel (.+) \(.*\) processor", "^.+ \\(.+\\) processor.*\n.*\n(.*)\n"]


@pytest.fixture
def names():
    """Restores the module's late-bound names after a test rebinds them."""
    saved = {n: fd.__dict__[n] for n in ("re", "invokeaction", "get_key_value")}
    yield fd.__dict__
    for n in ("re", "invokeaction", "get_key_value"):
        fd.__dict__.pop(n, None)
    fd.__dict__.update(saved)


class RecordingRe(object):
    """Stands in for re: records each call and hands out recording matches."""

    I = re.I

    def __init__(self):
        self.calls = []

    def search(self, *args):
        self.calls.append(("search",) + args)
        m = re.search(*args)
        return m and Match(self.calls, m)

    def match(self, *args):
        self.calls.append(("match",) + args)
        m = re.match(*args)
        return m and Match(self.calls, m)


class Match(object):
    __slots__ = ("calls", "real")  # no instance dict, but Python methods

    def __init__(self, calls, real):
        self.calls, self.real = calls, real

    def group(self, *args):
        self.calls.append(("group",) + args)
        return self.real.group(*args)

    def groups(self):
        self.calls.append(("groups",))
        return self.real.groups()


# ---- get_tolm_details and the TOLM walk ---------------------------------------

@pytest.mark.parametrize("text, result, searched", [
    ("Hardware: TOLM-12 Chassis\n", "TOLM12", TOLM[:1]),
    ("Vantrel TOLM-3064 Series (PX-2) processor\n", "TOLM3064 Series", TOLM[:2]),
    ("Q (R) processor\nline two\nTOLM-12-X\nmore", "TOLM12X", TOLM),
    ("nothing here", "", TOLM),
])
def test_tolm_makes_the_calls_of_the_table_walk(names, capsys, text, result, searched):
    rec = names["re"] = RecordingRe()
    assert fd.get_tolm_details(text) == result
    expected = [("search", p, text) for p in searched]
    if result:
        expected += [("group",), ("groups",)]
    assert rec.calls == expected
    assert capsys.readouterr().out == ("" if result else "Unable to get platform for TOLM\n")


def test_tolm_hands_a_fresh_table_to_a_replaced_get_key_value(names):
    seen = []

    def get_key_value(version, table):
        seen.append((version, type(table), list(table.items())))
        return ["k", ["w", ("A-B-C",)]]

    names["get_key_value"] = get_key_value
    assert fd.get_tolm_details("text", "handle") == "ABC"
    assert seen == [("text", dict, list(zip([1, 2, 3], TOLM)))]


def test_tolm_takes_the_answer_of_a_replaced_invokeaction_as_it_is(names):
    calls = []

    class Groups(object):
        def __getitem__(self, i):
            calls.append(("item", i))
            return "X-1"

    def invokeaction(*args):
        calls.append(args)
        return ["whole", Groups()] if len(calls) == 2 else []

    names["invokeaction"] = invokeaction
    assert fd.get_tolm_details("text") == "X1"
    assert calls == [("text", TOLM[0]), ("text", TOLM[1]), ("item", 0)]


def test_tolm_sees_invokeaction_rebound_between_two_patterns(names):
    calls = []
    own = fd.invokeaction

    def first(*args):
        calls.append(args)
        names["invokeaction"] = own  # the next pattern goes to the module's own again
        return []

    names["invokeaction"] = first
    assert fd.get_tolm_details("Vantrel Q (R) processor\n") == "Q"
    assert calls == [("Vantrel Q (R) processor\n", TOLM[0])]


@pytest.mark.parametrize("answer, error", [
    (["only one item"], IndexError),
    ([1, 2], TypeError),
    (["w", ()], IndexError),
    (["w", (5,)], AttributeError),
])
def test_tolm_errors_of_a_replaced_invokeaction_pass_through(names, answer, error):
    names["invokeaction"] = lambda *args: answer
    with pytest.raises(error):
        fd.get_tolm_details("text")


def test_tolm_without_invokeaction_raises_name_error(names):
    del names["invokeaction"]
    with pytest.raises(NameError, match="name 'invokeaction' is not defined"):
        fd.get_tolm_details("text")


def test_tolm_invokeaction_from_builtins(names, monkeypatch):
    del names["invokeaction"]
    import builtins
    monkeypatch.setattr(builtins, "invokeaction", lambda *a: ["w", ("B-1",)], raising=False)
    assert fd.get_tolm_details("text") == "B1"


def test_tolm_with_another_module_function_as_get_key_value(names, capsys):
    # invokeaction(version, table): the table is not a str but is not callable either.
    names["get_key_value"] = fd.invokeaction
    assert fd.get_tolm_details("text") == ""
    assert capsys.readouterr().out == ("The action should be expression or a function\n"
                                       "Unable to get platform for TOLM\n")


# ---- get_key_value and invokeaction ----------------------------------------------

def test_invokeaction_rebound_in_the_middle_of_a_walk(names):
    calls = []

    def rebinding(text):
        names["invokeaction"] = lambda *args: calls.append(args) or []
        return ""

    table = {"a": rebinding, "b": "x", "c": "y"}
    assert fd.get_key_value("xy", table) == []
    assert calls == [("xy", "x"), ("xy", "y")]


def test_own_invokeaction_walk_prints_and_skips_as_invokeaction_does(capsys):
    nothing = lambda text: None  # noqa: E731
    table = {"a": None, "b": nothing, "c": "z", "d": lambda text: ("M",)}
    assert fd.get_key_value("abc", table) == ["d", [("M",)]]
    assert capsys.readouterr().out == ("The action should be expression or a function\n"
                                       "Return value from funcation %s\n" % nothing)


class Table(dict):
    def __iter__(self):
        return iter(["b", "a"])

    def __getitem__(self, key):
        return "(%s)" % key


class Missing(dict):
    def __missing__(self, key):
        return "(m)"


@pytest.mark.parametrize("table, result", [
    (Table(zzz=1), ["a", ["a", ("a",)]]),
    (Missing(), []),
])
def test_dict_subclasses_are_iterated_and_subscribed_as_written(table, result):
    assert fd.get_key_value("abm", table) == result


def test_missing_subclass_key_is_read_through_missing():
    table = Missing(a="x")

    def drop(text):
        del table["b"]
        return None

    table["b"] = drop
    table["c"] = "m"  # reached only after b
    assert fd.get_key_value("m", table) == ["c", ["m", ()]]


def test_key_removed_by_an_earlier_action_raises_key_error(capsys):
    table = {}
    table["a"] = lambda text: table.pop("b") and None
    table["b"] = "x"
    with pytest.raises(KeyError) as info:
        fd.get_key_value("x", table)
    assert info.value.args == ("b",)


def test_an_action_that_changes_a_later_entry_is_seen():
    table = {"a": lambda text: table.update(b="y") or None, "b": "x"}
    assert fd.get_key_value("y", table) == ["b", ["y", ()]]


def test_an_action_dropping_itself_from_the_table_is_kept_alive(capsys):
    class Action(object):
        def __call__(self, text):
            table.clear()
            return "found"

    table = {"a": Action()}
    assert fd.get_key_value("t", table) == ["a", ["found"]]


# ---- re, modules and match objects -----------------------------------------------

def test_re_as_a_module_with_getattr_hook(names):
    stand_in = types.ModuleType("stand_in")
    stand_in.__getattr__ = lambda name: {"search": lambda p, t: None}[name]
    names["re"] = stand_in
    assert fd.get_garu_details("Solaris Unix") == ""


def test_re_as_a_module_subclass_with_a_property(names):
    class Special(types.ModuleType):
        @property
        def search(self):
            return lambda p, t: "hit"

    stand_in = Special("stand_in")
    stand_in.__dict__["search"] = lambda p, t: None  # shadowed by the property
    names["re"] = stand_in
    assert fd.get_garu_details("text") == "FESK-L2"


def test_re_module_entry_missing_raises_attribute_error(names):
    names["re"] = types.ModuleType("empty")
    with pytest.raises(AttributeError, match="search"):
        fd.invokeaction("text", "x")


def test_kveos_method_calls_on_match_objects_with_an_instance_dict(names):
    class DictMatch(object):
        def __init__(self, real):
            self.group = real.group  # an instance attribute, not a method

    class StandIn(object):
        I = re.I

        def search(self, *args):
            m = re.search(*args)
            return m and DictMatch(m)

        def match(self, *args):
            m = re.match(*args)
            return m and DictMatch(m)

    names["re"] = StandIn()
    assert fd.fetch_kveos_details("Hardware\n vantrel Ostrel1234 Chassis") == "1234"


def test_module_functions_calling_each_other_end_in_recursion_error():
    # From 3.12 the C-level limit does not follow sys.setrecursionlimit, so
    # the loop runs thousands of levels deep: a thread with a large stack
    # keeps sanitizer builds, whose frames are several times larger, from
    # running out of stack first.
    code = textwrap.dedent("""
        import sys, threading
        from talvern.platformdetails import function_def as fd
        fd.invokeaction = fd.get_key_value  # get_key_value(text, action) again, through the walk
        table = {}
        table["a"] = table
        sys.setrecursionlimit(200)
        def loop():
            try:
                fd.get_key_value("t", table)
            except RecursionError:
                print("RecursionError")
        threading.stack_size(256 * 1024 * 1024)
        thread = threading.Thread(target=loop)
        thread.start()
        thread.join()
    """)
    out = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.decode().strip() == "RecursionError"


def test_tolm_group_of_a_str_subclass_uses_its_own_replace(names):
    class Model(str):
        def replace(self, old, new):
            return "replaced(%s, %s)" % (old, new)

    names["invokeaction"] = lambda *args: ["w", (Model("A-B"),)]
    assert fd.get_tolm_details("text") == "replaced(-, )"
    names["invokeaction"] = lambda *args: ["w", ("A-B",)]
    assert fd.get_tolm_details("text") == "AB"


def test_match_methods_follow_the_type_of_each_match(names):
    text = "Vantrel KORIN Software, vkorin_l2 Software"

    class Slotted(object):
        __slots__ = ("real",)

        def __init__(self, real):
            self.real = real

        def group(self, n):
            return self.real.group(n)

    class StandIn(object):
        def search(self, *args):
            return Slotted(re.search(*args))

    assert fd.get_vkorin_details(text) == "KORINvL2"
    names["re"] = StandIn()
    assert fd.get_vkorin_details(text) == "KORINvL2"
    Slotted.group = lambda self, n: "KORINv"  # a class that can change is asked anew
    assert fd.get_vkorin_details(text) == "KORINv"
    names["re"] = re
    assert fd.get_vkorin_details(text) == "KORINvL2"


# ---- late-bound names seen again after every change ------------------------------

def test_a_change_inside_the_re_module_is_seen_at_the_next_call(monkeypatch):
    assert fd.get_garu_details("Solaris Unix") == "GARU"
    monkeypatch.setattr(re, "search", lambda p, t: p == "Linux Unix")
    assert fd.get_garu_details("Solaris Unix") == "FESK"
    monkeypatch.undo()
    assert fd.get_garu_details("Solaris Unix") == "GARU"


def test_a_change_inside_a_module_bound_as_re_is_seen(names):
    stand_in = types.ModuleType("stand_in")
    stand_in.search = lambda p, t: None
    names["re"] = stand_in
    assert fd.get_garu_details("LINUX_L2") == ""
    stand_in.search = lambda p, t: True
    assert fd.get_garu_details("LINUX_L2") == "FESK-L2"
    del stand_in.search
    with pytest.raises(AttributeError):
        fd.get_garu_details("LINUX_L2")


def test_re_changing_its_class_is_seen(names):
    stand_in = types.ModuleType("stand_in")
    stand_in.search = lambda p, t: None
    names["re"] = stand_in
    assert fd.get_garu_details("x") == ""

    class Special(types.ModuleType):
        search = property(lambda self: (lambda p, t: True))

    stand_in.__class__ = Special  # no dict changes
    assert fd.get_garu_details("x") == "FESK-L2"


def test_names_deleted_then_found_in_builtins_then_rebound(names, monkeypatch):
    import builtins
    assert fd.get_garu_details("Linux Unix") == "FESK"
    del names["re"]
    with pytest.raises(NameError, match="name 're' is not defined"):
        fd.get_garu_details("Linux Unix")
    stand_in = types.SimpleNamespace(search=lambda p, t: p == "Solaris Unix")
    monkeypatch.setattr(builtins, "re", stand_in, raising=False)
    assert fd.get_garu_details("Linux Unix") == "GARU"
    stand_in.search = lambda p, t: False  # not a module: read anew each time
    assert fd.get_garu_details("Linux Unix") == ""
    names["re"] = re
    assert fd.get_garu_details("Linux Unix") == "FESK"


def test_get_key_value_rebound_and_deleted_between_tolm_calls(names, capsys):
    own = fd.get_key_value
    assert fd.get_tolm_details("TOLM-1 Chassis") == "TOLM1"
    names["get_key_value"] = lambda version, table: ["k", ["w", ("Z-9",)]]
    assert fd.get_tolm_details("TOLM-1 Chassis") == "Z9"
    del names["get_key_value"]
    with pytest.raises(NameError, match="name 'get_key_value' is not defined"):
        fd.get_tolm_details("TOLM-1 Chassis")
    names["get_key_value"] = own
    assert fd.get_tolm_details("TOLM-1 Chassis") == "TOLM1"


# ---- the order of the walk ------------------------------------------------------

KEYS = ["b", "B", "a", "é", "z", "Z", "\U0001F600", "", "ab", "\u0100", "a\x00"]


@pytest.mark.parametrize("count", [0, 1, 2, 7, 8, 9, 11])
def test_keys_are_tried_in_sorted_order_whatever_the_table_size(capsys, count):
    tried = []
    table = {k: (lambda text, k=k: tried.append(k)) for k in KEYS[:count]}
    assert fd.get_key_value("t", table) == []
    assert tried == sorted(KEYS[:count])


class Reversed(str):
    def __lt__(self, other):
        return str.__gt__(self, other)


def test_str_subclass_keys_are_ordered_by_their_own_comparison(capsys):
    tried = []
    table = {Reversed(k): (lambda text, k=k: tried.append(k)) for k in "abc"}
    fd.get_key_value("t", table)
    assert tried == ["c", "b", "a"]


def test_keys_that_cannot_be_ordered_raise_before_any_action_runs():
    ran = []
    with pytest.raises(TypeError):
        fd.get_key_value("t", {"a": lambda text: ran.append(1), 1: "x"})
    assert ran == []


def test_keys_removed_while_walking_a_small_table_are_still_tried_in_order(capsys):
    tried = []

    def clear_all(text):
        tried.append("a")
        table.clear()

    table = {"a": clear_all, "b": "b"}
    with pytest.raises(KeyError):
        fd.get_key_value("b", table)
    assert tried == ["a"]
