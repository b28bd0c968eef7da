"""Runs the command on the examples: in this process through run(), with
streams of its own, or, where a process boundary is what a test is about
(file descriptors, signals, limits, a terminal), as a user runs it, a
subprocess of the test venv's interpreter."""
import io
import json
import os
import subprocess
import sys

from talvern.platformdetails.cli import run

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
TABLE = os.path.join(EXAMPLES, "table.json")
PROG = "python -m talvern.platformdetails"


def example(name):
    return os.path.join(EXAMPLES, name)


class Ran:
    """What a run gave, as subprocess.run gives it."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def stream(data=b""):
    """A text stream over bytes, encoded as main() sets up sys.stdout."""
    return io.TextIOWrapper(io.BytesIO(data), encoding="utf-8", errors="backslashreplace", newline="")


#: Set by the valgrind run: there the command runs natively in processes of
#: its own, as before the command tests ran in-process: a pure-Python program
#: over the module, whose native paths the module's own tests cover.
UNDER_VALGRIND = bool(os.environ.get("FDEF_UNDER_VALGRIND"))
IN_PROCESSES = UNDER_VALGRIND


def cli(tmp_path, *args, stdin="", here=False):
    """The command in this process, in folder tmp_path, stdin a text to feed
    (as a subprocess under valgrind, unless here: a test patched this one)."""
    if IN_PROCESSES and not here:
        return cli_process(tmp_path, *args, stdin=stdin, env=dict(os.environ))
    out, err, given = stream(), stream(), stream(stdin.encode("utf-8", "surrogateescape"))
    here = os.getcwd()
    os.chdir(str(tmp_path))
    try:
        status = run([str(arg) for arg in args], out, err, PROG, given)
    finally:
        os.chdir(here)
    out.flush()
    err.flush()
    return Ran(status, out.buffer.getvalue(), err.buffer.getvalue())


def cli_process(tmp_path, *args, stdin="", **options):
    """The command as a subprocess; stdin a text to feed or a file
    descriptor; options (stdout, preexec_fn, pass_fds...) go to
    subprocess.run as they are."""
    streams = {"input": stdin.encode()} if isinstance(stdin, str) else {"stdin": stdin}
    settings = dict(streams, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path), timeout=60)
    settings.update(options)
    return subprocess.run([sys.executable, "-m", "talvern.platformdetails"] + [str(arg) for arg in args],
                          **settings)


def json_lines(proc):
    """Every stdout line must be one whole JSON object."""
    return [json.loads(line) for line in proc.stdout.decode().splitlines()]
