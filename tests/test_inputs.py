"""Huge and odd texts: correct results or the host's TypeError, and the text
is never copied."""
import io
import tracemalloc
from contextlib import redirect_stdout

import pytest

from talvern.platformdetails import function_def as fd

MB = 1 << 20


class Text(str):
    """A str subclass that would give itself away if the module used its
    methods instead of handing it to `re`."""

    def __eq__(self, other):
        raise AssertionError("__eq__ of the text called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ of the text called")

    __hash__ = str.__hash__


@pytest.fixture(scope="module")
def huge():
    """50 MB of short lines, then a GARU kernel line."""
    line = "interface Ethernet0 is up, line protocol is up, 1500 MTU, no errors  \n"
    return line * (50 * MB // len(line)) + "Kernel: Solaris Unix 5.11\n"


@pytest.mark.parametrize("call,expected", [
    (lambda t: fd.get_garu_details(t), "GARU"),
    (lambda t: fd.fetch_kveos_details(t), ""),
    (lambda t: fd.get_prav_details(t), ""),
    (lambda t: fd.get_key_value(t, {"a": "Kernel: (\\w+)"}), ["a", ["Kernel: Solaris", ("Solaris",)]]),
    (lambda t: fd.invokeaction(t, lambda v: v is t), [True]),
], ids=["garu", "kveos", "prav", "table", "callable"])
def test_huge_text_is_not_copied(huge, call, expected):
    tracemalloc.start()
    try:
        with redirect_stdout(io.StringIO()):
            result = call(huge)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert result == expected
    assert peak < 5 * MB, "%d MB allocated while reading a 50 MB text" % (peak // MB)


def test_huge_text_without_match_for_tolm(huge):
    out = io.StringIO()
    with redirect_stdout(out):
        assert fd.get_tolm_details(huge) == ""
    assert out.getvalue() == "Unable to get platform for TOLM\n"


@pytest.mark.parametrize("call,expected", [
    # NUL characters are text like any other.
    (lambda: fd.get_garu_details("\0Kernel: Solaris Unix 5.11\0"), "GARU"),
    (lambda: fd.get_garu_details("Kernel: Solaris\0Unix"), ""),
    (lambda: fd.invokeaction("a\0b", "\0(b)"), ["\0b", ("b",)]),
    (lambda: fd.get_key_value("x\0y", {"\0": "y", "a": "x"}), ["\0", ["y", ()]]),
    # astral-plane characters
    (lambda: fd.get_prav_details("\U0001F600 Vantrel PRAV-100 \U0001F600"), "PRAV-100"),
    (lambda: fd.invokeaction("\U0001F600X1", "X(\\d)"), ["X1", ("1",)]),
    (lambda: fd.get_key_value("t", {"\U0001F600": "t", "z": "nomatch"}), ["\U0001F600", ["t", ()]]),
    (lambda: fd.get_vkorin_details("\U00010348Vantrel KORIN Software, KORINv Software\U00010348"), "KORINv"),
    # lone surrogates
    (lambda: fd.get_garu_details("\ud800Kernel: Solaris Unix\udfff"), "GARU"),
    (lambda: fd.invokeaction("\udcff", "\udcff"), ["\udcff", ()]),
    (lambda: fd.get_key_value("t", {"\udc80": "t"}), ["\udc80", ["t", ()]]),
    (lambda: fd.get_tolm_details("Vantrel TOLM-\ud8001 Chassis"), ""),
    # str subclasses: handed over as they are
    (lambda: fd.get_garu_details(Text("Kernel: Solaris Unix 5.11")), "GARU"),
    (lambda: fd.get_tolm_details(Text("Vantrel TOLM-12 Chassis")), "TOLM12"),
    (lambda: fd.fetch_kveos_details(Text("Hardware\n  Type  Ostrel3 Chassis\n")), "3"),
])
def test_odd_text(call, expected):
    with redirect_stdout(io.StringIO()):
        assert call() == expected


@pytest.mark.parametrize("text", [b"Kernel: Solaris Unix", bytearray(b"Solaris Unix"), memoryview(b"Solaris Unix")],
                         ids=["bytes", "bytearray", "memoryview"])
@pytest.mark.parametrize("func", [fd.fetch_kveos_details, fd.get_garu_details, fd.get_vkorin_details,
                                  fd.get_prav_details, fd.get_tolm_details,
                                  lambda t: fd.invokeaction(t, "Solaris"),
                                  lambda t: fd.get_key_value(t, {"a": "Solaris"})],
                         ids=["kveos", "garu", "vkorin", "prav", "tolm", "invokeaction", "get_key_value"])
def test_binary_text_is_the_hosts_type_error(func, text):
    with pytest.raises(TypeError):
        func(text)


@pytest.mark.parametrize("text", [b"b", bytearray(b"b"), memoryview(b"b"), Text("t"), "\udc80\0\U0001F600"],
                         ids=["bytes", "bytearray", "memoryview", "str subclass", "odd str"])
def test_callable_receives_the_text_itself(text):
    seen = []
    assert fd.invokeaction(text, lambda v: seen.append(v) or "M") == ["M"]
    assert fd.get_key_value(text, {"a": lambda v: seen.append(v) or "M"}) == ["a", ["M"]]
    assert len(seen) == 2 and seen[0] is text and seen[1] is text


class SurrogateName:
    def __call__(self, text):
        return ""

    def __str__(self):
        return "\udc80"


def test_surrogates_in_messages():
    out = io.StringIO()
    with redirect_stdout(out):
        assert fd.invokeaction("t", SurrogateName()) == []
    assert out.getvalue() == "Return value from funcation \udc80\n"
    with pytest.raises(TypeError, match="unexpected keyword argument '\udc80'"):
        fd.get_garu_details("t", **{"\udc80": 1})
