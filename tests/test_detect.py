"""detect(): one answer from the five detectors, and what decides it when
several of them claim a text."""
import gc
import sys
import weakref

import pytest

import talvern.platformdetails as package
from talvern.platformdetails import Claim, LineTooLong, detect
from talvern.platformdetails import function_def as fd

GARU = "Kernel: Solaris Unix 5.11\n"
TOLM = "TOLM-12 Chassis with 2 routing engines\n"
PRAV = "Vantrel PRAV-5140 Software, version 6.4.2\n"
VKORIN = "Vantrel KORIN Software, KORINv Software (X86_64_LINUX)\n"

OVERLAPS = [
    # text, model, detector, the models claimed
    ("one claim", GARU, "GARU", "get_garu_details", ["GARU"]),
    ("no claim", "Helix Storage Appliance OS\n", None, None, []),
    ("empty text", "", None, None, []),
    ("two families", GARU + TOLM, None, None, ["GARU", "TOLM12"]),
    ("three families", PRAV + VKORIN + TOLM, None, None, ["KORINv", "PRAV-5140", "TOLM12"]),
    # The hardware line's third word and the kernel marker agree.
    ("same model twice", "Hardware\n  vantrel Box GARU\n" + GARU, "GARU", "fetch_kveos_details", ["GARU", "GARU"]),
]


@pytest.mark.parametrize("text, model, detector, claimed", [case[1:] for case in OVERLAPS],
                         ids=[case[0] for case in OVERLAPS])
def test_claims_decide_the_answer(text, model, detector, claimed, capsys):
    found = detect(text)
    assert (found.model, found.detector) == (model, detector)
    assert sorted(claim.model for claim in found.claimants) == claimed
    assert found.ambiguous == (len(set(claimed)) > 1)
    # Every detector's claim stays visible, in the module's order.
    assert [claim.detector for claim in found.claims] == list(package.DETECTORS)
    assert capsys.readouterr() == ("", "")


def test_exceptions_and_printed_lines_are_kept_and_make_no_claim():
    found = detect(GARU, spawn_id=object())
    vkorin, tolm = found.claims[2], found.claims[4]
    assert vkorin.result is None and vkorin.model is None
    assert isinstance(vkorin.exception, AttributeError) and vkorin.exception.__traceback__ is None
    assert tolm == Claim("get_tolm_details", "", None, ("Unable to get platform for TOLM",))


def test_text_must_be_str():
    with pytest.raises(TypeError, match="detect\\(\\) needs the version text as str, not bytes"):
        detect(GARU.encode())


def test_standard_output_is_restored_when_a_detector_escapes(monkeypatch):
    saved = sys.stdout

    def interrupted(version, spawn_id=""):
        raise KeyboardInterrupt

    monkeypatch.setattr(fd, "get_garu_details", interrupted)
    with pytest.raises(KeyboardInterrupt):
        detect(GARU)
    assert sys.stdout is saved


@pytest.mark.parametrize("printing, printed", [
    (lambda: print("a\vb\fc\u2028d\x1ce\x85f\rg"), ("a\vb\fc\u2028d\x1ce\x85f\rg",)),
    (lambda: print("one\n\nthree"), ("one", "", "three")),
    (lambda: print("no line end", end=""), ("no line end",)),
    (lambda: print("", end=""), ()),
], ids=["separators other than newline", "empty line", "no newline", "nothing"])
def test_printed_lines_split_on_newlines_only(monkeypatch, printing, printed):
    def prints(version, spawn_id=""):
        printing()
        return ""

    monkeypatch.setattr(fd, "get_prav_details", prints)
    assert detect(GARU).claims[3].printed == printed


# Exceptions kept in claims hold nothing of the caller.

class Connection:
    """Stands for what a caller holds while it retries: a socket, say."""


def detect_while_handling(text):
    """Calls detect() inside an except block, as a retry path does."""
    connection = Connection()
    held = weakref.ref(connection)
    try:
        raise ConnectionError("first try failed")
    except ConnectionError:
        found = detect(text)
    return found, held


def test_a_detection_made_while_handling_frees_the_caller_s_locals():
    found, held = detect_while_handling(GARU)
    gc.collect()
    assert held() is None
    vkorin = found.claims[2].exception
    assert (vkorin.__traceback__, vkorin.__context__, vkorin.__cause__) == (None, None, None)
    # The caller's own exception is not the detector's story.
    assert getattr(vkorin, "__notes__", []) == []


class EngineDown(RuntimeError):
    pass


def raise_plain(pattern, string, flags=0):
    raise EngineDown("engine down")


def raise_from(pattern, string, flags=0):
    try:
        {}["PRAV"]
    except KeyError as exc:
        raise EngineDown("engine down") from exc


def raise_while_handling(pattern, string, flags=0):
    try:
        {}["PRAV"]
    except KeyError:
        raise EngineDown("engine down")


def raise_from_none(pattern, string, flags=0):
    try:
        {}["PRAV"]
    except KeyError:
        raise EngineDown("engine down") from None


@pytest.mark.parametrize("search, notes", [
    (raise_plain, []),
    (raise_from, ["raised from KeyError: 'PRAV'"]),
    (raise_while_handling, ["raised while handling KeyError: 'PRAV'"]),
    (raise_from_none, []),
], ids=["plain", "from", "while handling", "from None"])
def test_a_stand_in_re_that_raises_is_one_detectors_exception_kept_without_its_chain(monkeypatch, search, notes):
    import re

    class FailingOnPrav:
        I = re.I
        match = staticmethod(re.match)

        def search(self, pattern, string, flags=0):
            if "PRAV" in pattern:
                search(pattern, string, flags)
            return re.search(pattern, string, flags)

    monkeypatch.setattr(fd, "re", FailingOnPrav())
    found, held = detect_while_handling(PRAV + GARU)
    gc.collect()
    assert held() is None
    assert (found.model, found.detector) == ("GARU", "get_garu_details")
    exc = found.claims[3].exception
    assert repr(exc) == "EngineDown('engine down')"
    assert (exc.__traceback__, exc.__context__, exc.__cause__) == (None, None, None)
    assert getattr(exc, "__notes__", []) == notes


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception groups are new in 3.11")
def test_an_exception_group_s_members_keep_no_traceback(monkeypatch):
    def grouped(version, spawn_id=""):
        try:
            raise ValueError("inner")
        except ValueError as inner:
            raise ExceptionGroup("several", [inner])  # noqa: F821 (3.11+)

    monkeypatch.setattr(fd, "get_prav_details", grouped)
    found, held = detect_while_handling(GARU)
    gc.collect()
    assert held() is None
    assert found.claims[3].exception.exceptions[0].__traceback__ is None


# A bound on line length, for callers that cannot wait on a cubic pattern.

CALLED = []


@pytest.fixture
def counting(monkeypatch):
    """Records every detector call."""
    del CALLED[:]
    for name in package.DETECTORS:
        real = getattr(fd, name)
        monkeypatch.setattr(fd, name, lambda version, spawn_id="", real=real: CALLED.append(1) or real(version))


@pytest.mark.parametrize("text, limit, line, length", [
    ("abc\n" + "x" * 11 + "\nend", 10, 2, 11),
    ("x" * 11, 10, 1, 11),  # a last line without \n
    (GARU + "y" * 30, 25, 2, 30),
    ("\n\n" + "z" * 3, 0, 3, 3),
    ("a\rb\vc\u2028d\x85e" + "x" * 10, 10, 1, 19),  # only \n ends a line
], ids=["middle", "last, unterminated", "after a match", "bound 0", "other separators"])
def test_a_line_past_the_bound_raises_before_any_detector(counting, text, limit, line, length):
    with pytest.raises(LineTooLong) as caught:
        detect(text, max_line_length=limit)
    assert (caught.value.line, caught.value.length, caught.value.limit) == (line, length, limit)
    assert str(caught.value) == "line %d is %d characters long, more than max_line_length=%d" % (line, length, limit)
    assert isinstance(caught.value, ValueError)
    assert CALLED == []


@pytest.mark.parametrize("text, limit", [
    (GARU + TOLM, len(TOLM) - 1),  # the longest line exactly at the bound
    (GARU, 10 ** 6),
    ("", 0),
    ("\n\n\n", 0),
    ("Vantrel TM-7 (rev 2) processor\nboard\nTOLM-880-ER\n", 30),
], ids=["at the bound", "whole text within", "empty", "empty lines", "third line"])
def test_texts_within_the_bound_give_the_same_answer(text, limit):
    def said(found):
        return found.model, found.detector, [(c.detector, c.result, repr(c.exception), c.printed) for c in found.claims]

    assert said(detect(text, max_line_length=limit)) == said(detect(text))


def test_a_bound_past_what_one_pattern_counts(monkeypatch):
    from talvern.platformdetails import _detect

    monkeypatch.setattr(_detect, "_sre_max_repeat", 5)
    with pytest.raises(LineTooLong, match="line 2 is 7 characters long"):
        detect("abc\n" + "x" * 7 + "\nabc", max_line_length=6)
    assert detect("abc\nxxxxxx\nabc", max_line_length=6).model is None


@pytest.mark.parametrize("limit, error, message", [
    (-1, ValueError, "max_line_length must not be negative"),
    ("10", TypeError, "max_line_length must be an int or None, not str"),
    (True, TypeError, "max_line_length must be an int or None, not bool"),
    (10.0, TypeError, "max_line_length must be an int or None, not float"),
])
def test_the_bound_must_be_a_count(limit, error, message):
    with pytest.raises(error, match="^%s$" % message):
        detect(GARU, max_line_length=limit)
