"""detect(): one answer from the five detectors, and what decides it when
several of them claim a text."""
import sys

import pytest

import talvern.platformdetails as package
from talvern.platformdetails import Claim, detect
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


def test_a_stand_in_re_that_raises_is_one_detectors_exception(monkeypatch):
    import re

    class FailingOnPrav:
        I = re.I

        def search(self, pattern, string, flags=0):
            if "PRAV" in pattern:
                raise RuntimeError("engine down")
            return re.search(pattern, string, flags)

        def match(self, pattern, string, flags=0):
            return re.match(pattern, string, flags)

    monkeypatch.setattr(fd, "re", FailingOnPrav())
    found = detect(PRAV + GARU)
    assert (found.model, found.detector) == ("GARU", "get_garu_details")
    assert repr(found.claims[3].exception) == "RuntimeError('engine down')"


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
