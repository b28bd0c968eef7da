"""What the detectors take from their namespace at each call: a fresh table
for a replaced get_key_value, and `re` and the match classes as they are
now. What they return, print and ask of `re` for every known text, and of
odd objects bound as `re`, is in test_reference.py."""
import re
import types

from corpus import SlottedMatch
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

def test_changes_to_re_and_to_match_classes_are_seen_at_the_next_call(monkeypatch):
    assert fd.get_garu_details("Solaris Unix") == "GARU"
    monkeypatch.setattr(re, "search", lambda p, t: p == "Linux Unix")
    assert fd.get_garu_details("Solaris Unix") == "FESK"
    monkeypatch.undo()
    monkeypatch.setattr(fd, "re", types.SimpleNamespace(search=lambda p, t: SlottedMatch(re.search(p, t))))
    assert fd.get_vkorin_details(BANNER % "vkorin_l2") == "KORINvL2"
    monkeypatch.setattr(SlottedMatch, "group", lambda self, n: "KORINv")
    assert fd.get_vkorin_details(BANNER % "vkorin_l2") == "KORINv"
