#!/usr/bin/env python3
"""Runs talvern-platformdetails over examples/, building it first if needed.

    python3 tools/demo.py            # the aligned report, with examples/table.json and --explain
    python3 tools/demo.py --json     # other options go to the command

The package is installed into .venvs/demo with the interpreter running this
script (or, where that one lacks venv, the newest CPython tools/test_all.py
finds), and reinstalled whenever a source is newer than the last install.
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


def base_python():
    try:
        import ensurepip  # noqa: F401  (venv needs it to bring pip)
        import venv  # noqa: F401
        return sys.executable
    except ImportError:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from interpreters import find_interpreters, minor

        found = find_interpreters()
        if not found:
            sys.exit("demo: no CPython 3.7 or newer with venv was found")
        return found[max(found, key=minor)]


def ensure_installed():
    python = os.path.join(VENV, "bin", "python")
    if os.path.exists(STAMP) and os.path.getmtime(STAMP) >= newest_source():
        return python
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from interpreters import clean_env

    env = clean_env()
    if not os.path.exists(python):
        print("demo: creating %s" % VENV, file=sys.stderr)
        subprocess.run([base_python(), "-m", "venv", VENV], check=True, env=env)
    print("demo: building and installing the package (a minute or so)", file=sys.stderr)
    subprocess.run([python, "-m", "pip", "install", "-q", ROOT], check=True, env=env)
    with open(STAMP, "w"):
        pass
    return python


def main():
    python = ensure_installed()
    command = os.path.join(os.path.dirname(python), "talvern-platformdetails")
    args = sys.argv[1:] or ["--table", os.path.join("examples", "table.json"), "--explain"]
    examples = sorted(glob.glob(os.path.join("examples", "*.txt")))
    # From the top of the tree, so the report names the inputs examples/...
    return subprocess.run([command] + args + examples, cwd=ROOT).returncode


if __name__ == "__main__":
    try:
        sys.exit(main())
    except subprocess.CalledProcessError as exc:
        sys.exit("demo: %s failed with status %d" % (" ".join(exc.cmd), exc.returncode))
