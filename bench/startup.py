#!/usr/bin/env python3
"""How long the command takes to answer one file, against a bare interpreter.

    python3 bench/startup.py                     # CPython 3.7 and the newest CPython found
    python3 bench/startup.py --python 3.13       # chosen interpreters (repeatable)
    python3 bench/startup.py --rounds 41         # more rounds

A shell loop over files starts the command once per file, so what it pays
is the interpreter's start plus the command's imports and one answer. For
each interpreter this runs, interleaved, ``python -c pass`` and
``python -m talvern.platformdetails examples/garu.txt`` (with the package
from this checkout's python/ folder, whose extension must be built there:
copy ``function_def*.so`` in, as for the quick test loop), and prints the
median wall-clock time of each and their ratio. The two are timed in the
same run on the same interpreter, so the machine's load moves both alike.

Not part of the test suite; not run by CI.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

from interpreters import clean_env, find_interpreters, minor  # noqa: E402

EXAMPLE = os.path.join(ROOT, "examples", "garu.txt")


def elapsed(argv, env):
    started = time.perf_counter()
    subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - started


def measure(python, rounds):
    """(bare seconds, command seconds): medians over interleaved rounds."""
    env = clean_env(PYTHONPATH=os.path.join(ROOT, "python"))
    # An installed package has its bytecode compiled; let the warm-up run
    # write it here too, or every run would compile the sources again.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    bare_argv = [python, "-c", "pass"]
    command_argv = [python, "-m", "talvern.platformdetails", EXAMPLE]
    for argv in (bare_argv, command_argv):  # warm the file cache and .pyc files
        elapsed(argv, env)
    bare, command = [], []
    for _ in range(rounds):
        bare.append(elapsed(bare_argv, env))
        command.append(elapsed(command_argv, env))
    return statistics.median(bare), statistics.median(command)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", metavar="3.X",
                        help="an interpreter version to measure (default: 3.7 and the newest found)")
    parser.add_argument("--rounds", type=int, default=21)
    args = parser.parse_args()
    found = find_interpreters()
    versions = args.python or sorted({min(found, key=minor), max(found, key=minor)}, key=minor)
    print("| Interpreter | `python -c pass` (ms) | answering one file (ms) | ratio |")
    print("|---|---:|---:|---:|")
    for version in versions:
        bare, command = measure(found[version], args.rounds)
        print("| CPython %s | %.1f | %.1f | %.2f |" % (version, bare * 1e3, command * 1e3, command / bare),
              flush=True)


if __name__ == "__main__":
    main()
