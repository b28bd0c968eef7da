"""Runs test code in child interpreters, so that a crash fails a test
instead of killing the suite.

`run_script` runs one script. `run_cases` evaluates a table of expressions,
many per child: each outcome is written to a file as soon as it is known, so
when a case kills its child, that case is reported as the crash and the cases
after it go on in a fresh child.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap

TESTS = os.path.dirname(os.path.abspath(__file__))


def child_command(*args):
    """The running interpreter with the running flags (-X dev in the suite)."""
    flags = ["-X", "dev"] if sys.flags.dev_mode else []
    return [sys.executable] + flags + list(args)


def describe_death(proc):
    if proc.returncode < 0:
        try:
            return "killed by %s" % signal.Signals(-proc.returncode).name
        except ValueError:
            return "killed by signal %d" % -proc.returncode
    return "exit status %d" % proc.returncode


def sanitizer_report(stderr):
    """A memory checker's report in a child's error output, if any."""
    for marker in ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"):
        if marker in stderr:
            return stderr
    return None


def run_script(code, timeout=600, env=None):
    """Runs `code` in a child interpreter; returns (returncode, stdout, stderr).

    A death by signal or a sanitizer report fails the calling test."""
    import pytest

    proc = subprocess.run(child_command("-c", textwrap.dedent(code)), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout,
                          env=env, cwd=TESTS)
    if proc.returncode < 0 or sanitizer_report(proc.stderr):
        pytest.fail("child interpreter crashed (%s)\n%s" % (describe_death(proc), proc.stderr[-4000:]))
    return proc.returncode, proc.stdout, proc.stderr


CHILD = r"""
import json, sys
sys.path.insert(0, %(tests)r)
namespace = {}
exec(compile(%(prelude)r, "<prelude>", "exec"), namespace)
cases = json.loads(%(cases)r)
with open(%(out)r, "a") as out:
    for key, expr in cases:
        try:
            value = eval(compile(expr, key, "eval"), namespace)
            outcome = ["returned", repr(value)]
        except Exception as exc:
            outcome = ["raised", type(exc).__name__, str(exc)]
        out.write(json.dumps([key, outcome]) + "\n")
        out.flush()
"""


def run_cases(prelude, cases, timeout=600):
    """{key: outcome} for [(key, expression)]: ("returned", repr), ("raised",
    type name, message) or ("crashed", what killed the child, its stderr)."""
    results = {}
    pending = list(cases)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "outcomes")
        while pending:
            open(out, "w").close()
            script = CHILD % {"tests": TESTS, "prelude": textwrap.dedent(prelude), "cases": json.dumps(pending),
                              "out": out}
            proc = subprocess.run(child_command("-c", script), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=timeout, cwd=TESTS)
            with open(out) as f:
                done = [json.loads(line) for line in f if line.endswith("\n")]
            for key, outcome in done:
                results[key] = tuple(outcome)
            pending = pending[len(done):]
            report = sanitizer_report(proc.stderr)
            if proc.returncode == 0 and not report:
                break
            if not pending:
                # Every case finished, yet the child died or a checker spoke
                # afterwards: blame the last one.
                pending = [cases[-1]]
            key = pending[0][0]
            results[key] = ("crashed", describe_death(proc), proc.stderr[-4000:])
            pending = pending[1:]
    return results
