"""The README's and docs/'s examples run as written: ```python blocks as
doctests (a file's blocks share one namespace, in order), ```console blocks
as commands whose output must be exactly what is shown; and the reference
names every option and failure class the command has."""
import doctest
import glob
import importlib.util
import os
import re
import shlex

import pytest

from command import ROOT, Ran, stream

from talvern.platformdetails._failures import CLASSES
from talvern.platformdetails.cli import run
from talvern.platformdetails.cli.options import OPTIONS

PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
BLOCK = re.compile(r"^```(python|console)\n(.*?)^```$", re.M | re.S)


def read(path):
    with open(path) as f:
        return f.read()


def blocks(path, kind):
    text = read(path)
    return [(text[:m.start()].count("\n") + 1, m.group(2)) for m in BLOCK.finditer(text) if m.group(1) == kind]


@pytest.mark.parametrize("path", [page for page in PAGES if blocks(page, "python")], ids=os.path.basename)
def test_python_examples(path):
    from talvern.platformdetails import function_def

    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {}
    try:
        for line, source in blocks(path, "python"):
            extras = [needs for word, needs in (("platformdetails.live", "asyncssh"), ("nornir", "nornir"))
                      if word in source]
            if any(importlib.util.find_spec(name) is None for name in extras):
                continue  # an example of an extra this interpreter does not have
            test = parser.get_doctest(source, globs, os.path.basename(path), path, line)
            runner.run(test, clear_globs=False)
            globs = test.globs  # later blocks use names bound by earlier ones
    finally:
        function_def.re = re  # an example swaps it; never leak that to other tests
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0


def console_commands():
    out = []
    for path in PAGES:
        for line, source in blocks(path, "console"):
            for part in source.split("$ ")[1:]:
                command, _, expected = part.partition("\n")
                out.append(pytest.param(command, expected, id="%s:%d" % (os.path.basename(path), line)))
    return out


@pytest.mark.parametrize("command, expected", console_commands())
def test_console_examples(command, expected):
    argv = shlex.split(command)
    assert argv[0] == "talvern-platformdetails"
    out, err = stream(), stream()
    here = os.getcwd()
    os.chdir(ROOT)
    try:
        status = run(argv[1:], out, err, argv[0])
    finally:
        os.chdir(here)
    out.flush()
    err.flush()
    ran = Ran(status, out.buffer.getvalue(), err.buffer.getvalue())
    assert (ran.returncode, ran.stderr) == (0, b"")
    assert ran.stdout.decode() == expected


def test_the_reference_names_every_option_and_failure_class():
    reference = read(os.path.join(ROOT, "docs", "command.md")) + read(os.path.join(ROOT, "docs", "live.md"))
    missing = [option.flags[-1] for option in OPTIONS if "`%s" % option.flags[-1] not in reference]
    assert missing == []
    table = re.findall(r"^\| `([a-z-]+)` \|", read(os.path.join(ROOT, "docs", "live.md")), re.M)
    assert table == list(CLASSES)
