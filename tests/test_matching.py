"""invokeaction and get_key_value: pattern and callable actions, the
printed lines, and the walk over a pattern table."""
import re

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
