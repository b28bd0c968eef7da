#!/usr/bin/env python3
"""Runs talvern-platformdetails, building it first if needed.

    python3 tools/demo.py                 # the answer for each of examples/, and a summary
    python3 tools/demo.py --json          # options go to the command; still over examples/
    python3 tools/demo.py saved/ x.txt    # files and folders, from the folder you are in

It works from any folder: the command runs where you are, so relative
paths are read from there, and examples/ is used only when no file is given.

The package is installed into .venvs/demo with the interpreter running this
script (or, where that one lacks venv, the newest CPython that
tools/interpreters.py finds), and reinstalled whenever a source is newer
than the last install.
"""
import glob
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENV = os.path.join(ROOT, ".venvs", "demo")
STAMP = os.path.join(VENV, "installed.stamp")
SOURCES = ["pyproject.toml", "CMakeLists.txt", "src/*", "python/talvern/**/*"]


def newest_source():
    paths = [p for pattern in SOURCES for p in glob.glob(os.path.join(ROOT, pattern), recursive=True)]
    return max(os.path.getmtime(p) for p in paths if os.path.isfile(p))


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from interpreters import clean_env, find_interpreters, make_venv, minor  # noqa: E402


def base_python():
    try:
        import ensurepip  # noqa: F401  (venv needs it to bring pip)
        import venv  # noqa: F401
        return sys.executable
    except ImportError:
        found = find_interpreters()
        if not found:
            sys.exit("demo: no CPython 3.7 or newer with venv was found")
        return found[max(found, key=minor)]


def ensure_installed():
    python = os.path.join(VENV, "bin", "python")
    if os.path.exists(STAMP) and os.path.getmtime(STAMP) >= newest_source():
        return python
    if not os.path.exists(python):
        print("demo: creating %s" % VENV, file=sys.stderr)
    python = make_venv(VENV, base_python(), fresh=False)
    print("demo: building and installing the package (a minute or so)", file=sys.stderr)
    subprocess.run([python, "-m", "pip", "install", "-q", ROOT], check=True, env=clean_env())
    with open(STAMP, "w"):
        pass
    return python


# The command's options that take a value, so that the value is not taken for a file.
VALUED = {"--table", "--jobs", "-j"}


def names_a_file(args):
    """True when args name an input (a FILE, a folder or -) for the command."""
    expect_value = False
    for i, arg in enumerate(args):
        if expect_value:
            expect_value = False
        elif arg == "--":
            return i + 1 < len(args)
        elif arg in VALUED:
            expect_value = True
        elif arg == "-" or not arg.startswith("-"):
            return True
    return False


def command_args(args, cwd):
    """The command's arguments: the caller's, and the texts of examples/ when
    they name no input, shown relative to the caller's folder where they are
    inside it."""
    if names_a_file(args):
        return list(args)
    examples = []
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.txt"))):
        shown = os.path.relpath(path, cwd)
        examples.append(path if shown.startswith(os.pardir) else shown)
    return list(args or ["--summary"]) + examples


def status(returncode, args):
    """The demo's exit status: the command's, except that over examples/
    status 1 is the run as intended, since examples/unrelated.txt is not a
    device the detectors know, by design."""
    return 0 if returncode == 1 and not names_a_file(args) else returncode


def main():
    python = ensure_installed()
    command = os.path.join(os.path.dirname(python), "talvern-platformdetails")
    args = sys.argv[1:]
    return status(subprocess.run([command] + command_args(args, os.getcwd())).returncode, args)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except subprocess.CalledProcessError as exc:
        sys.exit("demo: %s failed with status %d" % (" ".join(exc.cmd), exc.returncode))
