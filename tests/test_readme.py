"""The README's examples run as written: ```python blocks as doctests (sharing
one namespace, in order), ```console blocks as commands whose output must be
exactly what the README shows."""
import doctest
import os
import re
import shlex
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
BLOCK = re.compile(r"^```(python|console)\n(.*?)^```$", re.M | re.S)


def blocks(kind):
    with open(README) as f:
        text = f.read()
    return [(text[:m.start()].count("\n") + 1, m.group(2)) for m in BLOCK.finditer(text) if m.group(1) == kind]


def test_python_examples():
    from talvern.platformdetails import function_def

    found = blocks("python")
    assert len(found) >= 8
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {}
    try:
        for line, source in found:
            test = parser.get_doctest(source, globs, "README.md", README, line)
            runner.run(test, clear_globs=False)
            globs = test.globs  # later blocks use names bound by earlier ones
    finally:
        function_def.re = re  # an example swaps it; never leak that to other tests
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0


def console_commands():
    out = []
    for line, source in blocks("console"):
        for part in source.split("$ ")[1:]:
            command, _, expected = part.partition("\n")
            out.append(pytest.param(command, expected, id="README.md:%d" % line))
    return out


@pytest.mark.parametrize("command, expected", console_commands())
def test_console_examples(command, expected):
    argv = shlex.split(command)
    assert argv[0] == "talvern-platformdetails"
    argv[0] = os.path.join(os.path.dirname(sys.executable), argv[0])
    proc = subprocess.run(argv, cwd=ROOT, stdout=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0
    assert proc.stdout.decode() == expected
