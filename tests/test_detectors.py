"""What the detectors take from their namespace: a replaced get_key_value
for get_tolm_details, and whatever object is bound as `re`. What they
return, print and ask of `re` for every known text is in test_reference.py."""
import re
import types

import pytest

from talvern.platformdetails import function_def as fd

BANNER = "Vantrel KORIN Software, %s Software"
TOLM = ["(TOLM[-]?[0-9]+).*Chassis", r"[Vv]antrel (.+) \(.*\) processor", "^.+ \\(.+\\) processor.*\n.*\n(.*)\n"]


def test_tolm_hands_a_fresh_table_to_a_replaced_get_key_value(monkeypatch):
    seen = []

    def get_key_value(version, table):
        seen.append((version, list(table.items())))
        table.clear()  # the next call must get a table of its own
        return ["k", ["w", ("A-B-C",)]]

    monkeypatch.setattr(fd, "get_key_value", get_key_value)
    assert fd.get_tolm_details("text", "handle") == "ABC"
    assert fd.get_tolm_details("text") == "ABC"
    assert seen == [("text", list(zip([1, 2, 3], TOLM)))] * 2


# ---- other regular-expression engines bound as re ------------------------------

class SlottedMatch(object):
    __slots__ = ("real",)

    def __init__(self, real):
        self.real = real

    def group(self, n):
        return self.real.group(n)


def module_with_getattr_hook():
    stand_in = types.ModuleType("stand_in")
    stand_in.__getattr__ = lambda name: {"search": lambda p, t: None}[name]
    return stand_in


def module_subclass_with_property():
    class Special(types.ModuleType):
        search = property(lambda self: (lambda p, t: "hit"))

    stand_in = Special("stand_in")
    stand_in.__dict__["search"] = lambda p, t: None  # shadowed by the property
    return stand_in


@pytest.mark.parametrize("make, call, expected", [
    (module_with_getattr_hook, lambda: fd.get_garu_details("Solaris Unix"), ""),
    (module_subclass_with_property, lambda: fd.get_garu_details("text"), "FESK-L2"),
    (lambda: types.ModuleType("empty"), lambda: fd.invokeaction("text", "x"), AttributeError),
    (lambda: types.SimpleNamespace(search=lambda p, t: SlottedMatch(re.search(p, t))),
     lambda: fd.get_vkorin_details(BANNER % "vkorin_l2"), "KORINvL2"),
])
def test_re_is_read_as_attributes_of_whatever_is_bound(monkeypatch, make, call, expected):
    monkeypatch.setattr(fd, "re", make())
    if isinstance(expected, str):
        assert call() == expected
    else:
        with pytest.raises(expected):
            call()


def test_changes_to_re_and_to_match_classes_are_seen_at_the_next_call(monkeypatch):
    assert fd.get_garu_details("Solaris Unix") == "GARU"
    monkeypatch.setattr(re, "search", lambda p, t: p == "Linux Unix")
    assert fd.get_garu_details("Solaris Unix") == "FESK"
    monkeypatch.undo()
    monkeypatch.setattr(fd, "re", types.SimpleNamespace(search=lambda p, t: SlottedMatch(re.search(p, t))))
    assert fd.get_vkorin_details(BANNER % "vkorin_l2") == "KORINvL2"
    monkeypatch.setattr(SlottedMatch, "group", lambda self, n: "KORINv")
    assert fd.get_vkorin_details(BANNER % "vkorin_l2") == "KORINv"
