"""Runs the command as a user runs it: a subprocess of the test venv's
interpreter, from a directory outside the source tree, on the examples."""
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
TABLE = os.path.join(EXAMPLES, "table.json")


def example(name):
    return os.path.join(EXAMPLES, name)


def cli(tmp_path, *args, stdin="", **options):
    """stdin is a text to feed or a file descriptor; options (stdout,
    preexec_fn, pass_fds...) go to subprocess.run as they are."""
    streams = {"input": stdin.encode()} if isinstance(stdin, str) else {"stdin": stdin}
    settings = dict(streams, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path), timeout=60)
    settings.update(options)
    return subprocess.run([sys.executable, "-m", "talvern.platformdetails"] + list(args), **settings)


def json_lines(proc):
    """Every stdout line must be one whole JSON object."""
    return [json.loads(line) for line in proc.stdout.decode().splitlines()]
