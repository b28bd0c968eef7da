"""Every call the tests know, as (label, function name, make_args, bind):
the version texts of examples/, the benchmark's cases, the edge cases of
each family and of the matching core, and calls generated from fragments
of all of them. make_args(impl) gives the arguments for one implementation,
so that a detector used as an action is that implementation's own, and
bind(impl), if given, the names to bind in its namespace meanwhile."""
import glob
import importlib.util
import json
import os
import random
import re
import types

from conftest import DETECTOR_NAMES as DETECTORS
from hostile_objects import FakeMatch, FakeRe
from recording import ADDRESS, Action, Unrecorded

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SPAWN_IDS = [(), ("",), (None,), (0,), (False,), ([],), ("handle",), (1,), (object(),)]


class Detector(object):
    """Stands for the detector `name` of whichever implementation is called."""

    def __init__(self, name):
        self.name = name


class Fresh(object):
    """Stands for what make() builds anew for each implementation: a table
    that its own actions change."""

    def __init__(self, make):
        self.make = make


def resolve(value, impl):
    if isinstance(value, Fresh):
        return value.make()
    if isinstance(value, Detector):
        return getattr(impl, value.name)
    if type(value) is dict:
        return {key: resolve(action, impl) for key, action in value.items()}
    return value


def call(label, func_name, *args, bind=None):
    return (label, func_name, lambda impl: tuple(resolve(arg, impl) for arg in args), bind)


# ---- version texts -------------------------------------------------------------

NOTICE = "Corvath is a demo version of the Ostrel Operating System"
BANNER = "Vantrel KORIN Software, %s Software"
MARKER = "KORIN DALM Admin"
THIRD = "Foo (Bar) processor with 1K\nline two\n%s\nmore"


def hw(line, before="", after="\n"):
    return "%sHardware\n%s%s" % (before, line, after)


EDGE_TEXTS = [
    # KVE-OS: the hardware line, its words and the demo notice
    "", "Software image: 4.2\n", hw("vantrel KVE-OSv Chassis"), hw("vantrel kve-osv Chassis"),
    hw("vantrel Ostrel1234 Chassis"), hw("vantrel ostrel1234 CHASSIS"), hw("vantrel Ostrel1234 ChassisXL"),
    hw("vantrel Ostrel12x4 Chassis"), hw("vantrel Ostrel Chassis"), hw("vantrel Ostrel1234 P4416 Chassis"),
    hw("vantrel Ostrel1234 P4416 Chassis", before=NOTICE + "\n"),
    hw("vantrel Ostrel1234 P4416 Chassis", after="\n" + NOTICE + "\n"),
    hw("vantrel Ostrel1234 P4416 Chassis", after="\n" + NOTICE.upper()),
    hw("vantrel Ostrel1234 p4416 Chassis", after="\n" + NOTICE),
    hw("vantrel Ostrel1234 Chassis", after="\n" + NOTICE), hw("vantrel KVE-OSv P4416", after="\n" + NOTICE),
    hw("vantrel Ostrel1234 AB-CD Chassis"), hw("vantrel Ostrel\u0663\u0664 Chassis"),
    "Hardware: vantrel Ostrel1234 Chassis\n", "Hardware   \n\n\n   vantrel   Ostrel1234   Chassis\n",
    "Hardware\nvantrel Ostrel1234", "Hardware\nOstrel1234 Chassis\nBoard rev 2\n",
    "HARDWARE\n vantrel Ostrel1234 Chassis", "hardware\n vantrel Ostrel5 Chassis",
    "FirmwareHardware\n vantrel Ostrel77 Chassis",
    # GARU and FESK: which marker comes first in the order of the tests
    "Router OS 12.1\nUptime 5 days\n", "kernel LINUX_L2\nSolaris Unix\nLinux Unix", "Linux Unix\nSolaris Unix",
    "Solaris Unix then Linux Unix", "Base: Linux Unix 4.9", "linux unix / SOLARIS UNIX / linux_l2",
    "Linux  Unix\nSolaris\tUnix\nLinux\nUnix\nLINUX-L2", "LINUX UNIX",
    # vKORIN: the banner and texts without it
    BANNER % "KORINv", BANNER % "vkorin_l2", "uptime 3 days\n" + (BANNER % "KORINv") + " (tm)\nmore",
    "Vantrel KORIN Software,\t\n  vkorin_l2 \n Software", (BANNER % "vkorin_l2") + "\n" + (BANNER % "KORINv"),
    "no banner here", "Vantrel KORIN Software,KORINv Software", BANNER % "KORINv2", "v" + (BANNER % "KORINv")[1:],
    BANNER % "KORINV",
    # PRAV: the model code and the marker
    "Vantrel PRAV-12 router", "vantrel PRAV-7", MARKER + "\nVantrel PRAV-12", "Vantrel PRAV-3 ... Vantrel PRAV-4",
    "XVantrel PRAV-12", "Vantrel PRAV-12A", "Vantrel PRAV-0012", MARKER, "VANTREL PRAV-7\n" + MARKER,
    "Vantrel prav-7 " + MARKER, "Vantrel PRAV7 " + MARKER, "Vantrel PRAV- " + MARKER, "Vantrel  PRAV-12 " + MARKER,
    "Vantrel\nPRAV-12 " + MARKER, "korin dalm admin", "KORIN  DALM Admin",
    # TOLM: the three ranked patterns
    "TOLM-12 Chassis", "TOLM12 Chassis", "TOLM-123x Chassis", "TOLM--12 Chassis", "tolm-12 Chassis",
    "TOLM-12 chassis", "TOLM-12\nChassis", "A TOLM-12 B TOLM-34 Chassis", "Vantrel Q (R) processor\nTOLM-7 Chassis",
    "Vantrel TOLM-12 (X1) processor with 1K bytes", "vantrel TOLM 12 Series (P-2) processor",
    "Vantrel A (B) C (D) processor", "Vantrel A-B (C) processor (D) processor", "Vantrel Q () processor",
    "Vantrel Q ()  processor", "Vantrel  Q () processor", THIRD % "TOLM-12-X", THIRD % "",
    (THIRD % "TOLM-12-X")[: -len("\nmore")], "first line\n" + THIRD % "TOLM-12-X",
    "VANTREL Q (R) processor\nsecond\nthird-line\n",
    # and the first family's marker in the others' tables
    "Solaris Unix", "TOLM-9 Chassis", "Vantrel PRAV-12", "unrelated",
    # NUL, astral-plane characters and lone surrogates are text like any other
    "\0Kernel: Solaris Unix 5.11\0", "Kernel: Solaris\0Unix", "\U0001F600 Vantrel PRAV-100 \U0001F600",
    "\U00010348Vantrel KORIN Software, KORINv Software\U00010348", "\ud800Kernel: Solaris Unix\udfff",
    "Vantrel TOLM-\ud8001 Chassis",
]
# What re.search refuses as a text.
NOT_TEXTS = [None, b"Linux Unix", bytearray(b"Solaris Unix"), memoryview(b"Solaris Unix"), 5]


def example_texts():
    texts = []
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.txt"))):
        with open(path, encoding="utf-8") as f:
            texts.append((os.path.basename(path), f.read()))
    return texts


def example_table():
    with open(os.path.join(ROOT, "examples", "table.json"), encoding="utf-8") as f:
        return json.load(f)


def bench_cases():
    """The benchmark's cases, whose make_args already takes the implementation."""
    located = importlib.util.spec_from_file_location("bench_cases", os.path.join(ROOT, "bench", "cases.py"))
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return [("bench %s" % label, func_name, make_args, None) for func_name, label, make_args, _ in module.CASES]


# ---- actions and tables -----------------------------------------------------------

class CallableStr(str):
    def __call__(self, *args):
        raise AssertionError("a str action is never called")


PATTERN_ACTIONS = [
    (r"X(\d)", "Hardware: X1"), ("b", "abc"), ("z", "abc"), ("(x)?b", "abc"), ("x*", "abc"), ("B", "abc"),
    (r"(\d)\D(\d)", "a1b2"), ("two$", "line one\nline two"), (CallableStr("b"), "abc"), ("(b)", "abc"),
    ("(", "abc"), ("b", None), ("b", b"abc"), ("b", bytearray(b"abc")), ("b", memoryview(b"abc")),
    (r"(?P<n>b)(c)?", "abc"), ("\0(b)", "a\0b"), (r"X(\d)", "\U0001F600X1"), ("\udcff", "\udcff"),
]
# Neither a pattern nor callable: reported by a printed line.
NOT_ACTIONS = [None, 1, 2.5, b"b", re.compile("b"), ["b"], ("b",)]
# What a caller's action may return: true results are kept, false ones printed.
RESULTS = ["M1", ["x"], (0,), None, "", [], 0, False]

FAMILY_TABLE = {"a_garu": Detector("get_garu_details"), "b_kveos": Detector("fetch_kveos_details"),
                "c_prav": Detector("get_prav_details"), "d_tolm": Detector("get_tolm_details")}


class Reversed(str):
    def __lt__(self, other):
        return str.__gt__(self, other)


KEYS = ["b", "B", "a", "\xe9", "z", "Z", "\U0001F600", "", "ab", "\u0100", "a\x00", "10", "9", "1"]
TABLES = [
    ("Chassis X1", {}), ("Chassis X1", {"b": r"X(\d)", "a": "Chassis"}), ("Chassis X1", {"b": r"X(\d)", "a": "nomatch"}),
    ("Chassis X1", {"a": "nomatch", "b": "nomatch"}), ("text", {"a": "x", "Z": "t"}),
    ("text", {3: "t", 1: "nomatch", 2: "ex"}), ("text", {"a": Action("none"), "b": Action("model", "M")}),
    ("text", {"b": Action("later", "N"), "a": Action("first", "M")}), ("text", {"a": None, "b": "t"}),
    ("text", {key: Action(repr(key)) for key in KEYS}),
    ("text", {Reversed(key): Action(key) for key in "abc"}), ("text", {"a": "(", "b": "t"}),
    ("Solaris Unix", {"a": Detector("get_vkorin_details"), "b": Detector("get_garu_details")}),
    (BANNER % "KORINv", {"a": Detector("get_vkorin_details")}),
    ("text", None), ("text", 5), ("text", {1: "a", "b": "c"}), ("text", {"a"}), ("text", ["a", "b"]),
    ("text", [1, 0]), (None, {"a": "t"}), ("x\0y", {"\0": "y", "a": "x"}),
    ("t", {"\U0001F600": "t", "z": "nomatch"}), ("t", {"\udc80": "t"}),
]


def spawn_label(spawn):
    if not spawn:
        return "no spawn_id"
    return "spawn_id %s" % ("an object" if type(spawn[0]) is object else repr(spawn[0]))


class Text(str):
    """Gives itself away if an implementation used its methods instead of
    handing it to re."""

    def __eq__(self, other):
        raise AssertionError("__eq__ of the text called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ of the text called")

    __hash__ = str.__hash__


class Iterated(dict):
    def __iter__(self):
        return iter(["b", "a"])

    def __getitem__(self, key):
        return "(%s)" % key


class Missing(dict):
    def __missing__(self, key):
        return "(m)"


class FalseHandle(object):
    def __bool__(self):
        return False


def changing_table(first_does, cls=dict, **later):
    """A table whose first action, under key "a", does first_does(table)
    and returns None."""
    def make():
        table = cls(later)
        table["a"] = lambda text: first_does(table)
        return table
    return Fresh(make)


ODD_CALLS = [
    ("a str subclass as text", "get_garu_details", Text("Solaris Unix")),
    ("a str subclass as text", "fetch_kveos_details", Text("Hardware\n vantrel Ostrel12 Chassis")),
    ("a str subclass as text", "get_tolm_details", Text("TOLM-1 Chassis")),
    ("a false handle", "invokeaction", "t", Action("handle", "r"), FalseHandle()),
    ("a tuple as text", "get_key_value", ("t",), {"a": Action("tuple", "y")}),
    ("tuple keys", "get_key_value", "t", {(1,): "t", (0,): "x"}),
    ("own iteration and subscription", "get_key_value", "abm", Iterated(zzz=1)),
    ("__missing__", "get_key_value", "abm", Missing()),
    ("an action read at its turn", "get_key_value", "replaced",
     changing_table(lambda table: table.update(b="replaced"), b="never")),
    ("keys added after the snapshot", "get_key_value", "text",
     changing_table(lambda table: table.update(aa="text"), b="nomatch")),
    ("a key removed mid-walk", "get_key_value", "x", changing_table(lambda table: table.pop("b") and None, b="x")),
    ("a key removed, read through __missing__", "get_key_value", "abm",
     changing_table(lambda table: table.pop("b") and None, cls=Missing, b="x", c="m")),
]


def known_groups():
    """[(label, calls)]: the calls the tests know, a group per text and
    per kind of action or table."""
    groups = []
    texts = [(ADDRESS.sub("", repr(text))[:60], text) for text in EDGE_TEXTS + NOT_TEXTS] + example_texts()
    for label, text in texts:
        calls = [call("%s, %s" % (name, spawn_label(spawn)), name, text, *spawn)
                 for name in DETECTORS for spawn in SPAWN_IDS]
        calls.append(call("the families' table", "get_key_value", text, FAMILY_TABLE))
        calls.append(call("examples/table.json", "get_key_value", text, example_table()))
        groups.append(("text " + label, calls))
    groups.append(("pattern actions", [call("%r in %r, spawn_id %r" % (pattern, text, spawn), "invokeaction",
                                            text, pattern, spawn)
                                       for pattern, text in PATTERN_ACTIONS for spawn in ["", "handle", None]]))
    groups.append(("not actions", [call(repr(action), "invokeaction", "abc", action) for action in NOT_ACTIONS]))
    groups.append(("callable actions", [call("giving %r, %s" % (result, spawn_label(spawn)), "invokeaction", "text",
                                             Action(repr(result), result), *spawn)
                                        for result in RESULTS for spawn in SPAWN_IDS]))
    groups.append(("detectors as actions", [call(name, "invokeaction", "Linux Unix", Detector(name), "h")
                                            for name in DETECTORS]))
    groups.append(("tables", [call("%r for %r" % (table, text), "get_key_value", text, table)
                              for text, table in TABLES]))
    groups.append(("odd values and changing tables", [call(*odd) for odd in ODD_CALLS]))
    groups.append(("the benchmark's cases", bench_cases()))
    return groups + rebound_groups()


# ---- other engines bound as re, and replaced matching functions -------------------

class Model(str):
    def replace(self, old, new):
        return "own replace"


# What another engine's search and match find (test_hostile.py has more).
ENGINES = [FakeMatch({1: "something else", 2: "Chassis"}), FakeMatch({1: "Ostrel1", 2: "P4416"}),
           FakeMatch({0: "w", 1: "KORINv"}, groups=("A-B",)), FakeMatch(groups=(None,))]
# What a replaced invokeaction answers get_tolm_details (through get_key_value).
ANSWERS = [["w", ("A-B",)], ["only one item"], [1, 2], ["w", ()], ["w", (5,)], ["w", (Model("A-B"),)], [], None]


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


# Objects bound as re that must be read by attribute, as Python reads them.
UNRECORDED_ENGINES = [
    ("a module with __getattr__", module_with_getattr_hook),
    ("a module subclass with a property", module_subclass_with_property),
    ("an empty module", lambda: types.ModuleType("empty")),
    ("a namespace of slotted matches", lambda: types.SimpleNamespace(search=lambda p, t: SlottedMatch(re.search(p, t)))),
]


def rebound_groups():
    groups = []
    for label, make in UNRECORDED_ENGINES:
        bind = lambda impl, make=make: {"re": Unrecorded(make())}  # noqa: E731
        calls = [call("%s on %r" % (name, text), name, text, bind=bind)
                 for name in DETECTORS for text in ["Solaris Unix", BANNER % "vkorin_l2", "text"]]
        calls.append(call("invokeaction", "invokeaction", "text", "x", bind=bind))
        groups.append(("re bound to " + label, calls))
    for found in ENGINES:
        bind = lambda impl, found=found: {"re": FakeRe(found, found)}  # noqa: E731
        calls = [call(name, name, "text", bind=bind) for name in DETECTORS]
        calls.append(call("invokeaction", "invokeaction", "text", "p", bind=bind))
        calls.append(call("examples/table.json", "get_key_value", "text", example_table(), bind=bind))
        groups.append(("engine finding %r" % (vars(found),), calls))
    calls = [call("answering %r" % (answer,), "get_tolm_details", "text",
                  bind=lambda impl, answer=answer: {"invokeaction": lambda *args: answer})
             for answer in ANSWERS]
    calls.append(call("invokeaction bound as get_key_value", "get_tolm_details", "text",
                      bind=lambda impl: {"get_key_value": impl.invokeaction}))
    calls.append(call("get_key_value", "get_key_value", "text", {"k": "pattern", "j": "t"},
                      bind=lambda impl: {"invokeaction": Action("invokeaction", ["hit"])}))
    calls.append(call("a replaced get_key_value", "get_tolm_details", "text",
                      bind=lambda impl: {"get_key_value": Action("get_key_value", [3, ["w", ("A-B-C",)]])}))
    groups.append(("replaced invokeaction and get_key_value", calls))
    return groups


# ---- generated calls ------------------------------------------------------------

def fragments():
    """Lines of the real texts and the words the patterns look for."""
    lines = set()
    for _, text in example_texts():
        lines.update(text.splitlines())
    for text in EDGE_TEXTS:
        lines.update(text.splitlines())
    words = ["Hardware", "HARDWARE", "Chassis", "chassis", "Ostrel1234", "ostrel7", "KVE-OSv", "P4416", NOTICE,
             "LINUX_L2", "Solaris Unix", "Linux Unix", "Vantrel KORIN Software,", "KORINv", "vkorin_l2",
             "Software", "Vantrel", "vantrel", "PRAV-12", MARKER, "TOLM-12", "TOLM7", "(R2)", "processor",
             "(", ")", "-", "vantrel Ostrel1234 P4416 Chassis", "Vantrel Q (R) processor", "Hardware\n",
             "Hardware\n  vantrel Ostrel7280 Chassis-XL", "Hardware \n\n vantrel KVE-OSv x"]
    return sorted(lines) + words


SEPARATORS = ["", " ", "  ", "\n", "\n\n", "\t", " \n ", "\n  "]


def mutated(rng, text, pieces):
    """`text` with a slice changed: its letter case swapped, dropped,
    doubled, or a fragment or a separator put in its place or before it."""
    start = rng.randrange(len(text) + 1)
    end = min(len(text), start + rng.randint(0, 12))
    middle = text[start:end]
    middle = rng.choice([middle.swapcase(), "", middle * 2, rng.choice(pieces), rng.choice(SEPARATORS),
                         rng.choice(pieces) + rng.choice(SEPARATORS) + middle])
    return text[:start] + middle + text[end:]


def generated_text(rng, pieces, texts):
    """Fragments joined by separators, or a real text, changed a few times."""
    if rng.random() < 0.5:
        text = rng.choice(texts)
    else:
        parts = []
        for _ in range(rng.randint(0, 8)):
            parts.append(rng.choice(pieces))
            parts.append(rng.choice(SEPARATORS))
        text = "".join(parts)
    for _ in range(rng.randint(0, 3)):
        text = mutated(rng, text, pieces)
    return text


def generated_calls(seed, count):
    rng = random.Random(seed)
    pieces = fragments()
    texts = EDGE_TEXTS + [text for _, text in example_texts()]
    patterns = list(example_table().values()) + [pattern for pattern, _ in PATTERN_ACTIONS if pattern != "("]
    actions = patterns + [Detector(name) for name in DETECTORS] + [Action("model", "M"), Action("none"), None]
    calls = []
    for index in range(count):
        text = generated_text(rng, pieces, texts)
        label = "seed %d #%d %r" % (seed, index, text[:40])
        spawn = rng.choice(SPAWN_IDS)
        for name in DETECTORS:
            calls.append(call("%s %s" % (name, label), name, text, *spawn))
        calls.append(call("invokeaction %s" % label, "invokeaction", text, rng.choice(actions), *spawn))
        keys = rng.sample(["10-a", "20-b", "30-c", "40-d", "50-e", "99-z"], rng.randint(0, 6))
        table = {key: rng.choice(actions) for key in keys}
        calls.append(call("get_key_value %s" % label, "get_key_value", text, table))
    return calls
