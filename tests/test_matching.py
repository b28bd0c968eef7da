"""invokeaction and get_key_value: pattern and callable actions, the
printed lines, and the walk over a pattern table."""
import re
import signal
import time

import pytest

from talvern.platformdetails import function_def as fd

BAD_ACTION = "The action should be expression or a function\n"


class CallableStr(str):
    def __call__(self, *args):
        raise AssertionError("a str action is never called")


@pytest.mark.parametrize(
    "text, pattern, expected",
    [
        ("Hardware: X1", r"X(\d)", ["X1", ("1",)]),
        ("abc", "b", ["b", ()]),
        ("abc", "z", []),
        ("abc", "(x)?b", ["b", (None,)]),
        ("abc", "x*", ["", ()]),
        ("abc", "B", []),
        ("a1b2", r"(\d)\D(\d)", ["1b2", ("1", "2")]),
        ("line one\nline two", "two$", ["two", ()]),
        ("abc", CallableStr("b"), ["b", ()]),
    ],
)
@pytest.mark.parametrize("spawn_id", ["", "handle", None])
def test_pattern_actions(capsys, text, pattern, expected, spawn_id):
    assert fd.invokeaction(text, pattern, spawn_id) == expected
    assert capsys.readouterr().out == ""


def test_pattern_action_calls_re_search_with_two_arguments(recording_re):
    assert fd.invokeaction("abc", "(b)", "handle") == ["b", ("b",)]
    assert recording_re.log == [("get", "search"), ("search", "(b)", "abc"), ("group",), ("groups",)]


class Action:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        assert not kwargs
        self.calls.append(args)
        return self.result

    def __str__(self):
        return "<action %r>" % (self.result,)


@pytest.mark.parametrize(
    "result, expected, printed",
    [
        ("M1", ["M1"], ""),
        (["x"], [["x"]], ""),
        ((0,), [(0,)], ""),
        (None, [], "Return value from funcation <action None>\n"),
        ("", [], "Return value from funcation <action ''>\n"),
        ([], [], "Return value from funcation <action []>\n"),
        (0, [], "Return value from funcation <action 0>\n"),
    ],
)
def test_callable_actions(capsys, result, expected, printed):
    action = Action(result)
    output = fd.invokeaction("text", action)
    assert output == expected
    if expected:
        assert output[0] is result
    assert capsys.readouterr().out == printed


@pytest.mark.parametrize("spawn_id, handed_on", [("", False), (None, False), (0, False), (False, False),
                                                 ([], False), ("h", True), (1, True), (object(), True)])
def test_callable_gets_spawn_id_only_when_true(spawn_id, handed_on):
    action = Action("M")
    fd.invokeaction("text", action, spawn_id)
    assert action.calls == [("text", spawn_id) if handed_on else ("text",)]


def test_callable_receives_any_input_unchanged():
    action = Action("M")
    value = object()
    fd.invokeaction(value, action)
    assert action.calls[0][0] is value


@pytest.mark.parametrize("action", [None, 1, 2.5, b"b", re.compile("b"), ["b"], ("b",)])
def test_other_actions_are_reported_not_raised(capsys, action):
    assert fd.invokeaction("abc", action) == []
    assert capsys.readouterr().out == BAD_ACTION


@pytest.mark.parametrize(
    "args, error",
    [
        ((None, "b"), TypeError),
        ((b"abc", "b"), TypeError),
        (("abc", "("), re.error),
    ],
)
def test_pattern_errors_propagate(args, error):
    with pytest.raises(error):
        fd.invokeaction(*args)


def test_exceptions_pass_through_unchanged():
    failure = KeyError("mine")

    def action(text):
        raise failure

    with pytest.raises(KeyError) as info:
        fd.invokeaction("text", action)
    assert info.value is failure
    with pytest.raises(KeyError) as info:
        fd.get_key_value("text", {"a": "z", "b": action, "c": "text"})
    assert info.value is failure


# ---- get_key_value -------------------------------------------------------

def returns(value):
    return lambda text: value


@pytest.mark.parametrize(
    "text, table, expected, printed",
    [
        ("Chassis X1", {}, [], ""),
        ("Chassis X1", {"b": r"X(\d)", "a": "Chassis"}, ["a", ["Chassis", ()]], ""),
        ("Chassis X1", {"b": r"X(\d)", "a": "nomatch"}, ["b", ["X1", ("1",)]], ""),
        ("Chassis X1", {"a": "nomatch", "b": "nomatch"}, [], ""),
        ("text", {"a": "x", "Z": "t"}, ["Z", ["t", ()]], ""),
        ("text", {3: "t", 1: "nomatch", 2: "ex"}, [2, ["ex", ()]], ""),
        ("text", {"a": returns(None), "b": returns("M")}, ["b", ["M"]],
         "Return value from funcation {a}\n"),
        ("text", {"a": None, "b": "t"}, ["b", ["t", ()]], BAD_ACTION),
    ],
)
def test_get_key_value(capsys, text, table, expected, printed):
    assert fd.get_key_value(text, table) == expected
    names = {key: str(value) for key, value in table.items()}
    assert capsys.readouterr().out == printed.format(**names)


def test_walk_stops_at_first_match_and_calls_actions_with_one_argument():
    first, later = Action("M"), Action("N")
    assert fd.get_key_value("text", {"b": later, "a": first}) == ["a", ["M"]]
    assert first.calls == [("text",)]
    assert later.calls == []


def test_walk_reads_each_action_at_its_turn():
    table = {}

    def first(text):
        table["b"] = "replaced"
        return None

    table.update(a=first, b="never")
    assert fd.get_key_value("replaced", table) == ["b", ["replaced", ()]]


def test_walk_uses_a_sorted_snapshot_of_the_keys():
    table = {}

    def first(text):
        table["aa"] = "text"  # added after the snapshot: never tried
        return None

    table.update(a=first, b="nomatch")
    assert fd.get_key_value("text", table) == []


def test_key_removed_mid_walk_raises_key_error():
    table = {}
    table.update(a=lambda text: table.pop("b") and None, b="x")
    with pytest.raises(KeyError):
        fd.get_key_value("x", table)


def test_invokeaction_is_looked_up_for_each_entry(monkeypatch):
    seen = []

    def replacement(text, action):
        seen.append(action)
        return []

    def first(text):
        monkeypatch.setattr(fd, "invokeaction", replacement)
        return None

    assert fd.get_key_value("x", {"a": first, "b": "x", "c": "y"}) == []
    assert seen == ["x", "y"]


@pytest.mark.parametrize(
    "table, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        (5, TypeError, "'int' object is not iterable"),
        ({1: "a", "b": "c"}, TypeError, "not supported between instances of"),
        ({"a"}, TypeError, "'set' object is not subscriptable"),
        (["a", "b"], TypeError, "list indices must be integers or slices, not str"),
    ],
)
def test_table_errors(table, error, message):
    with pytest.raises(error) as info:
        fd.get_key_value("text", table)
    assert message in str(info.value)


# ---- the order of the walk and the table's own behaviour ---------------------

KEYS = ["b", "B", "a", "\xe9", "z", "Z", "\U0001F600", "", "ab", "\u0100", "a\x00"]


class Reversed(str):
    def __lt__(self, other):
        return str.__gt__(self, other)


@pytest.mark.parametrize("keys, order", [
    (KEYS[:count], sorted(KEYS[:count])) for count in (0, 1, 2, 9, 11)
] + [
    ([Reversed(k) for k in "abc"], ["c", "b", "a"]),
    (["10", "9", "1"], ["1", "10", "9"]),
])
def test_keys_are_tried_in_sorted_order(capsys, keys, order):
    tried = []
    table = {k: (lambda text, k=k: tried.append(str(k))) for k in keys}
    assert fd.get_key_value("t", table) == []
    assert tried == order


class Iterated(dict):
    def __iter__(self):
        return iter(["b", "a"])

    def __getitem__(self, key):
        return "(%s)" % key


class Missing(dict):
    def __missing__(self, key):
        return "(m)"


@pytest.mark.parametrize("table, result", [
    (Iterated(zzz=1), ["a", ["a", ("a",)]]),
    (Missing(), []),
    (Missing(b=lambda text: None, c="m"), ["c", ["m", ()]]),
])
def test_tables_are_iterated_and_subscribed_as_they_define(capsys, table, result):
    if "b" in table:
        table["b"] = lambda text: table.pop("b") and None  # read through __missing__ afterwards
    assert fd.get_key_value("abm", table) == result


class UnstableHash(str):
    """Hashes differently at every lookup after the first."""
    hashes = 0

    def __hash__(self):
        UnstableHash.hashes += 1
        return 0 if UnstableHash.hashes % 2 else 1


def test_each_key_is_looked_up_once():
    UnstableHash.hashes = 0
    key = UnstableHash("k")
    table = {key: "t"}  # hashed once here: the walk's lookup misses
    with pytest.raises(KeyError):
        fd.get_key_value("t", table)


def test_an_action_dropping_itself_from_the_table_is_kept_alive():
    class Action(object):
        def __call__(self, text):
            table.clear()
            return "found"

    table = {"a": Action()}
    assert fd.get_key_value("t", table) == ["a", ["found"]]


def test_a_signal_interrupts_a_long_walk_of_c_callables():
    # operator-free: a bound dict method as invokeaction runs no bytecode,
    # so only the walk itself can notice the signal.
    class Alarm(Exception):
        pass

    def handler(signum, frame):
        raise Alarm(last["t"])

    last = {}
    table = {i: i for i in range(300000)}
    previous = signal.signal(signal.SIGALRM, handler)
    saved = fd.invokeaction
    fd.invokeaction = last.__setitem__  # returns None: no match, walk on
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        with pytest.raises(Alarm) as info:
            fd.get_key_value("t", table)
            time.sleep(1)  # not reached when the walk notices the signal
    finally:
        fd.invokeaction = saved
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert info.value.args[0] < len(table) - 1
