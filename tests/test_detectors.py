"""The five detectors: tables of version texts and the model they name,
the call order they make into `re`, and their use as table actions."""
import re
import types

import pytest

from conftest import DETECTOR_NAMES
from talvern.platformdetails import function_def as fd

NOTICE = "Corvath is a demo version of the Ostrel Operating System"
SPAWN_IDS = [(), ("",), (None,), (object(),), ("handle",)]


def hw(line, before="", after="\n"):
    return "%sHardware\n%s%s" % (before, line, after)


KVEOS = [
    ("", ""),
    ("Software image: 4.2\n", ""),
    (hw("vantrel KVE-OSv Chassis"), "KVEOSv"),
    (hw("vantrel kve-osv Chassis"), ""),
    (hw("vantrel Ostrel1234 Chassis"), "1234"),
    (hw("vantrel ostrel1234 CHASSIS"), "1234"),
    (hw("vantrel Ostrel1234 ChassisXL"), "1234"),
    (hw("vantrel Ostrel12x4 Chassis"), ""),
    (hw("vantrel Ostrel Chassis"), ""),
    (hw("vantrel Ostrel1234 P4416 Chassis"), "P4416"),
    (hw("vantrel Ostrel1234 P4416 Chassis", before=NOTICE + "\n"), "KVEOSv"),
    (hw("vantrel Ostrel1234 P4416 Chassis", after="\n" + NOTICE + "\n"), "KVEOSv"),
    (hw("vantrel Ostrel1234 P4416 Chassis", after="\n" + NOTICE.upper()), "P4416"),
    (hw("vantrel Ostrel1234 p4416 Chassis", after="\n" + NOTICE), "p4416"),
    (hw("vantrel Ostrel1234 Chassis", after="\n" + NOTICE), "1234"),
    (hw("vantrel KVE-OSv P4416", after="\n" + NOTICE), "KVEOSv"),
    (hw("vantrel Ostrel1234 AB-CD Chassis"), "AB"),
    ("Hardware: vantrel Ostrel1234 Chassis\n", ""),
    ("Hardware   \n\n\n   vantrel   Ostrel1234   Chassis\n", "1234"),
    ("Hardware\nvantrel Ostrel1234", ""),
    ("Hardware\nvantrel Ostrel1234 Chassis\nBoard rev 2\n".replace("vantrel ", ""), "Board"),
    ("HARDWARE\n vantrel Ostrel1234 Chassis", "1234"),
    ("hardware\n vantrel Ostrel5 Chassis", "5"),
    ("FirmwareHardware\n vantrel Ostrel77 Chassis", "77"),
]



GARU = [
    ("", ""),
    ("Router OS 12.1\nUptime 5 days\n", ""),
    ("kernel LINUX_L2\nSolaris Unix\nLinux Unix", "FESK-L2"),
    ("Linux Unix\nSolaris Unix", "GARU"),
    ("Solaris Unix then Linux Unix", "GARU"),
    ("Base: Linux Unix 4.9", "FESK"),
    ("linux unix / SOLARIS UNIX / linux_l2", ""),
    ("Linux  Unix\nSolaris\tUnix\nLinux\nUnix\nLINUX-L2", ""),
    ("LINUX UNIX", ""),
]



BANNER = "Vantrel KORIN Software, %s Software"
VKORIN = [
    (BANNER % "KORINv", "KORINv"),
    (BANNER % "vkorin_l2", "KORINvL2"),
    ("uptime 3 days\n" + (BANNER % "KORINv") + " (tm)\nmore", "KORINv"),
    ("Vantrel KORIN Software,\t\n  vkorin_l2 \n Software", "KORINvL2"),
    ((BANNER % "vkorin_l2") + "\n" + (BANNER % "KORINv"), "KORINvL2"),
]
NOT_VKORIN = [
    "",
    "no banner here",
    "Vantrel KORIN Software,KORINv Software",
    "Vantrel KORIN Software, KORINv2 Software",
    "vantrel KORIN Software, KORINv Software",
    "Vantrel KORIN Software, KORINV Software",
    "Solaris Unix",
]



@pytest.mark.parametrize("text", NOT_VKORIN)
@pytest.mark.parametrize("spawn", SPAWN_IDS)
def test_get_vkorin_details_without_banner_raises(text, spawn):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'group'"):
        fd.get_vkorin_details(text, *spawn)


MARKER = "KORIN DALM Admin"
PRAV = [
    ("Vantrel PRAV-12 router", "PRAV-12"),
    ("vantrel PRAV-7", "PRAV-7"),
    (MARKER + "\nVantrel PRAV-12", "PRAV-12"),
    ("Vantrel PRAV-3 ... Vantrel PRAV-4", "PRAV-3"),
    ("XVantrel PRAV-12", "PRAV-12"),
    ("Vantrel PRAV-12A", "PRAV-12"),
    ("Vantrel PRAV-0012", "PRAV-0012"),
    (MARKER, "PRAV"),
    ("VANTREL PRAV-7\n" + MARKER, "PRAV"),
    ("Vantrel prav-7 " + MARKER, "PRAV"),
    ("Vantrel PRAV7 " + MARKER, "PRAV"),
    ("Vantrel PRAV- " + MARKER, "PRAV"),
    ("Vantrel  PRAV-12 " + MARKER, "PRAV"),
    ("Vantrel\nPRAV-12 " + MARKER, "PRAV"),
    # Neither a model code nor the marker: not a PRAV device.
    ("", ""),
    ("korin dalm admin", ""),
    ("KORIN  DALM Admin", ""),
    ("Solaris Unix", ""),
]



DETECTOR_TABLES = [("fetch_kveos_details", KVEOS), ("get_garu_details", GARU),
                   ("get_vkorin_details", VKORIN), ("get_prav_details", PRAV)]


@pytest.mark.parametrize("name, text, expected",
                         [(name, text, expected) for name, table in DETECTOR_TABLES for text, expected in table])
@pytest.mark.parametrize("spawn", SPAWN_IDS)
def test_detector_tables(name, text, expected, spawn):
    """Every spawn_id, given or not, gives the same result."""
    assert getattr(fd, name)(text, *spawn) == expected


NO_TOLM = "Unable to get platform for TOLM\n"
BAD_ACTION = "The action should be expression or a function\n"
THIRD = "Foo (Bar) processor with 1K\nline two\n%s\nmore"
TOLM = [
    ("TOLM-12 Chassis", "TOLM12", ""),
    ("TOLM12 Chassis", "TOLM12", ""),
    ("TOLM-123x Chassis", "TOLM123", ""),
    ("TOLM--12 Chassis", "", NO_TOLM),
    ("tolm-12 Chassis", "", NO_TOLM),
    ("TOLM-12 chassis", "", NO_TOLM),
    ("TOLM-12\nChassis", "", NO_TOLM),
    ("A TOLM-12 B TOLM-34 Chassis", "TOLM12", ""),
    ("Vantrel Q (R) processor\nTOLM-7 Chassis", "TOLM7", ""),
    ("Vantrel TOLM-12 (X1) processor with 1K bytes", "TOLM12", ""),
    ("vantrel TOLM 12 Series (P-2) processor", "TOLM 12 Series", ""),
    ("Vantrel A (B) C (D) processor", "A (B) C", ""),
    ("Vantrel A-B (C) processor (D) processor", "AB (C) processor", ""),
    ("Vantrel Q () processor", "Q", ""),
    ("Vantrel Q ()  processor", "", NO_TOLM),
    ("Vantrel  Q () processor", " Q", ""),
    (THIRD % "TOLM-12-X", "TOLM12X", ""),
    (THIRD % "", "", ""),
    ((THIRD % "TOLM-12-X")[: -len("\nmore")], "", NO_TOLM),
    ("first line\n" + THIRD % "TOLM-12-X", "", NO_TOLM),
    ("VANTREL Q (R) processor\nsecond\nthird-line\n", "thirdline", ""),
    ("", "", NO_TOLM),
]


@pytest.mark.parametrize("text, expected, printed", TOLM)
@pytest.mark.parametrize("spawn", SPAWN_IDS)
def test_get_tolm_details(capsys, text, expected, printed, spawn):
    assert fd.get_tolm_details(text, *spawn) == expected
    assert capsys.readouterr().out == printed


@pytest.mark.parametrize("name", DETECTOR_NAMES)
@pytest.mark.parametrize("text", [None, b"Linux Unix", 5])
def test_detectors_refuse_non_text(name, text):
    with pytest.raises(TypeError):
        getattr(fd, name)(text)


# ---- call order into `re` --------------------------------------------------

def test_kveos_call_order(recording_re):
    text = hw("vantrel Ostrel1234 P4416 Chassis") + NOTICE
    assert fd.fetch_kveos_details(text) == "KVEOSv"
    hardware = "Hardware\\s*\n\\s*\\w+\\s+([A-Za-z0-9_-]+)\\s+(\\w+)"
    assert recording_re.log == [
        ("get", "search"), ("get", "I"), ("search", hardware, text, recording_re._real.I),
        ("group", 1),
        ("group", 1), ("group", 2),
        ("get", "match"), ("group", 2), ("get", "I"), ("match", "Chassis", "P4416", recording_re._real.I),
        ("group", 2), ("group", 2),
        ("get", "search"), ("search", NOTICE, text),
    ]


def test_kveos_chassis_path_call_order(recording_re):
    text = hw("vantrel Ostrel1234 Chassis")
    assert fd.fetch_kveos_details(text) == "1234"
    flag = recording_re._real.I
    assert recording_re.log[3:] == [
        ("group", 1),
        ("group", 1), ("group", 2),
        ("get", "match"), ("group", 2), ("get", "I"), ("match", "Chassis", "Chassis", flag),
        ("get", "match"), ("group", 1), ("get", "I"), ("match", "^Ostrel(\\d+)$", "Ostrel1234", flag),
        ("group", 1),
    ]


def test_vkorin_reads_group_1_twice_for_the_plain_variant(recording_re):
    assert fd.get_vkorin_details(BANNER % "KORINv") == "KORINv"
    assert [entry for entry in recording_re.log if entry[0] == "group"] == [("group", 1), ("group", 1)]


@pytest.mark.parametrize("text, searches", [
    ("LINUX_L2 Solaris Unix", ["LINUX_L2"]),
    ("Solaris Unix", ["LINUX_L2", "Solaris Unix"]),
    ("", ["LINUX_L2", "Solaris Unix", "Linux Unix"]),
])
def test_garu_stops_at_first_marker(recording_re, text, searches):
    fd.get_garu_details(text)
    assert [entry[1] for entry in recording_re.log if entry[0] == "search"] == searches


class OtherMatch:
    def group(self, n):
        return "something else"


class OtherRe:
    """Another engine with the same interface, whose group 1 is neither
    banner word."""

    @staticmethod
    def search(pattern, text):
        return OtherMatch()


def test_vkorin_with_another_engine_yields_empty(monkeypatch):
    monkeypatch.setattr(fd, "re", OtherRe)
    assert fd.get_vkorin_details("anything") == ""


# ---- get_tolm_details through the late-bound matching core -------------------

TOLM = ["(TOLM[-]?[0-9]+).*Chassis", r"[Vv]antrel (.+) \(.*\) processor", "^.+ \\(.+\\) processor.*\n.*\n(.*)\n"]


@pytest.mark.parametrize("text, result, searched", [
    ("Hardware: TOLM-12 Chassis\n", "TOLM12", TOLM[:1]),
    ("Vantrel TOLM-3064 Series (PX-2) processor\n", "TOLM3064 Series", TOLM[:2]),
    ("nothing here", "", TOLM),
])
def test_tolm_searches_its_patterns_in_rank_order(recording_re, capsys, text, result, searched):
    assert fd.get_tolm_details(text) == result
    assert [entry[1] for entry in recording_re.log if entry[0] == "search"] == searched
    assert capsys.readouterr().out == ("" if result else NO_TOLM)


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


@pytest.mark.parametrize("answer, result", [
    (["w", ("A-B",)], "AB"),
    (["only one item"], IndexError),
    ([1, 2], TypeError),
    (["w", ()], IndexError),
    (["w", (5,)], AttributeError),
    (["w", (type("Model", (str,), {"replace": lambda self, old, new: "own replace"})("A-B"),)], "own replace"),
])
def test_tolm_takes_what_a_replaced_invokeaction_answers(monkeypatch, answer, result):
    monkeypatch.setattr(fd, "invokeaction", lambda *args: answer)
    if isinstance(result, str):
        assert fd.get_tolm_details("text") == result
    else:
        with pytest.raises(result):
            fd.get_tolm_details("text")


def test_tolm_with_invokeaction_bound_as_get_key_value(monkeypatch, capsys):
    # invokeaction(version, table): a dict is neither a pattern nor callable.
    monkeypatch.setattr(fd, "get_key_value", fd.invokeaction)
    assert fd.get_tolm_details("text") == ""
    assert capsys.readouterr().out == BAD_ACTION + NO_TOLM


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


# ---- detectors as table actions -------------------------------------------

FAMILY_TABLE = {
    "a_garu": fd.get_garu_details,
    "b_kveos": fd.fetch_kveos_details,
    "c_prav": fd.get_prav_details,
    "d_tolm": fd.get_tolm_details,
}


def false_line(func):
    return "Return value from funcation %s\n" % func


@pytest.mark.parametrize(
    "text, expected, printed",
    [
        ("Solaris Unix", ["a_garu", ["GARU"]], ""),
        (hw("vantrel Ostrel1234 Chassis"), ["b_kveos", ["1234"]], false_line(fd.get_garu_details)),
        ("Vantrel PRAV-12", ["c_prav", ["PRAV-12"]],
         false_line(fd.get_garu_details) + false_line(fd.fetch_kveos_details)),
        ("TOLM-9 Chassis", ["d_tolm", ["TOLM9"]],
         false_line(fd.get_garu_details) + false_line(fd.fetch_kveos_details)
         + false_line(fd.get_prav_details)),
        ("unrelated", [],
         false_line(fd.get_garu_details) + false_line(fd.fetch_kveos_details)
         + false_line(fd.get_prav_details) + NO_TOLM + false_line(fd.get_tolm_details)),
    ],
)
def test_detectors_as_table_actions(capsys, text, expected, printed):
    assert fd.get_key_value(text, FAMILY_TABLE) == expected
    assert capsys.readouterr().out == printed


def test_vkorin_in_a_table_ends_the_walk():
    with pytest.raises(AttributeError):
        fd.get_key_value("Solaris Unix", {"a": fd.get_vkorin_details, "b": fd.get_garu_details})
    assert fd.get_key_value(BANNER % "KORINv", {"a": fd.get_vkorin_details}) == ["a", ["KORINv"]]


def test_detector_gets_spawn_id_through_invokeaction():
    assert fd.invokeaction("Linux Unix", fd.get_garu_details, "handle") == ["FESK"]
