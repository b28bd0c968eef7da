"""Huge and odd texts are never copied: the text itself reaches re and the
caller's actions (test_reference checks what the functions make of them)."""
import io
import tracemalloc
from contextlib import redirect_stdout

import pytest

from corpus import Text
from talvern.platformdetails import function_def as fd

MB = 1 << 20


@pytest.fixture(scope="module")
def huge():
    """50 MB of short lines, then a GARU kernel line."""
    line = "interface Ethernet0 is up, line protocol is up, 1500 MTU, no errors  \n"
    return line * (50 * MB // len(line)) + "Kernel: Solaris Unix 5.11\n"


@pytest.mark.parametrize("call,expected", [
    (lambda t: fd.get_garu_details(t), "GARU"),
    (lambda t: fd.fetch_kveos_details(t), ""),
    (lambda t: fd.get_prav_details(t), ""),
    (lambda t: fd.get_tolm_details(t), ""),
    (lambda t: fd.get_key_value(t, {"a": "Kernel: (\\w+)"}), ["a", ["Kernel: Solaris", ("Solaris",)]]),
    (lambda t: fd.invokeaction(t, lambda v: v is t), [True]),
], ids=["garu", "kveos", "prav", "tolm", "table", "callable"])
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
