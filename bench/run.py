#!/usr/bin/env python3
"""Benchmark the extension against plain Python and against the floor.

    python3 bench/run.py                      # wall clock, CPython 3.7 and the newest CPython found
    python3 bench/run.py --count              # instructions per call under callgrind instead
    python3 bench/run.py --python 3.11        # chosen interpreters (repeatable)
    python3 bench/run.py --json out.json      # also write all results as JSON
    python3 bench/run.py --markdown out.md    # and the table for bench/README.md
    python3 bench/run.py --no-install         # reuse the venvs as they are
    python3 bench/run.py --rounds 41 --target-ms 4   # wall clock: more and longer rounds
    python3 bench/run.py --count --calls 300         # instructions: calls per counted loop

For each interpreter, the package is built and installed from this checkout
into its own venv (.venvs/bench-py3.X), then bench/measure.py runs there. It
first checks that the module and the plain Python versions in tests/reference.py
agree on every case.

The wall-clock mode times module, plain and floor, interleaved, and prints a
table of medians (ns per call) with the ratios module/plain and module/floor
and their geometric means, and the cost of importing the module.

The count mode (--count) also installs Cython 3.0 into the venv (with
--no-install, only where it is missing), runs measure.py under valgrind's
callgrind and prints instructions per call for module, plain, plain compiled
by Cython and floor, with the geometric means of module/plain, module/cython
and module/floor; the counts repeat exactly from run to run.

Not part of the test suite; not run by CI.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

from interpreters import clean_env, find_interpreters, make_venv, minor  # noqa: E402


def log(message):
    print("==> " + message, flush=True)


def venv_python(version, python, install, count):
    venv = os.path.join(ROOT, ".venvs", "bench-py" + version)
    install = install or not os.path.exists(os.path.join(venv, "bin", "python"))
    vpython = make_venv(venv, python, fresh=False)
    env = clean_env()
    if install:
        log("building and installing into " + venv)
        subprocess.run([vpython, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", ROOT],
                       check=True, env=env)
    if count and (install or subprocess.run([vpython, "-c", "import Cython, setuptools"],
                                            stderr=subprocess.DEVNULL).returncode != 0):
        # setuptools too: Cython builds with it, and venvs of 3.12 and later lack it.
        log("installing Cython 3.0 into " + venv)
        subprocess.run([vpython, "-m", "pip", "install", "-q", "Cython>=3.0,<3.1", "setuptools"], check=True, env=env)
    return vpython, env


def time_markdown(combined):
    """bench/README.md's wall-clock table: ns per call and both ratios, one column group per interpreter."""
    versions = list(combined)
    head = "| function | case |" + "".join(" %s module ns | plain ns | floor ns | mod/plain | mod/floor |"
                                          % combined[v]["python"] for v in versions)
    rule = "|---|---|" + "---:|---:|---:|---:|---:|" * len(versions)
    rows = [head, rule]
    first = combined[versions[0]]["cases"]
    for i, case in enumerate(first):
        cells = ""
        for v in versions:
            r = combined[v]["cases"][i]
            cells += " %.0f | %.0f | %.0f | %.3f | %.3f |" % (r["ns"]["module"], r["ns"]["plain"], r["ns"]["floor"],
                                                            r["module/plain"], r["module/floor"])
        rows.append("| `%s` | %s |%s" % (case["function"], case["case"], cells))
    for name in combined[versions[0]]["per_function"]:
        cells = "".join(" | | | %.3f | %.3f |" % (combined[v]["per_function"][name]["module/plain"],
                                                  combined[v]["per_function"][name]["module/floor"])
                        for v in versions)
        rows.append("| geometric mean | `%s` |%s" % (name, cells))
    cells = "".join(" | | | **%.3f** | **%.3f** |" % (combined[v]["overall"]["module/plain"],
                                                      combined[v]["overall"]["module/floor"]) for v in versions)
    rows.append("| **geometric mean** | **all cases** |%s" % cells)
    for name in list(combined[versions[0]]["per_function"]) + [None]:
        cells = "".join(" | | | %.3f | |" % (combined[v]["per_function"][name] if name else combined[v]["overall"])
                        ["floor/plain"] for v in versions)
        rows.append("| floor/plain (lowest reachable mod/plain) | %s |%s" % ("`%s`" % name if name else "all cases",
                                                                           cells))
    imports = "; ".join("%s: %.3f ms, %.0f KiB" % (combined[v]["python"], combined[v]["import"]["ms"],
                                                    combined[v]["import"]["kib"]) for v in versions)
    return "\n".join(rows) + "\n\nImport (median of %d fresh processes, `re` already imported): %s.\n" % (
        combined[versions[0]]["import"]["runs"], imports)


def count_markdown(combined):
    """The instruction-count table: one per interpreter, instructions per call and the three ratios."""
    ratios = ("module/plain", "module/cython", "module/floor")
    rows = []
    for result in combined.values():
        rows += ["%s, instructions per call (%d calls per loop):" % (result["python"], result["calls"]), "",
                 "| function | case | module | plain | cython | floor | %s |" % " | ".join(ratios),
                 "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
        for case in result["cases"]:
            n = case["instructions"]
            rows.append("| `%s` | %s | %.0f | %.0f | %.0f | %.0f | %s |" % (
                case["function"], case["case"], n["module"], n["plain"], n["cython"], n["floor"],
                " | ".join("%.3f" % case[r] for r in ratios)))
        for name, means in result["per_function"].items():
            rows.append("| geometric mean | `%s` | | | | | %s |"
                        % (name, " | ".join("%.3f" % means[r] for r in ratios)))
        rows.append("| **geometric mean** | **all cases** | | | | | %s |"
                    % " | ".join("**%.3f**" % result["overall"][r] for r in ratios))
        rows.append("")
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", metavar="3.X", help="interpreters (default: 3.7 and newest)")
    parser.add_argument("--json", metavar="FILE", help="write {version: results} as JSON")
    parser.add_argument("--markdown", metavar="FILE", help="write the results as a Markdown table")
    parser.add_argument("--no-install", action="store_true", help="do not rebuild the module in existing venvs")
    parser.add_argument("--count", action="store_true", help="count instructions under callgrind instead of timing")
    parser.add_argument("--calls", type=int, default=200, help="calls per counted loop (default 200)")
    parser.add_argument("--rounds", type=int, default=21, help="timing rounds (default 21)")
    parser.add_argument("--target-ms", type=float, default=2.0, help="length of one timed measurement (default 2 ms)")
    parser.add_argument("--only", metavar="FUNCTION", action="append", help="measure only these functions")
    args = parser.parse_args()

    found = find_interpreters()
    if args.python:
        wanted = args.python
    else:
        newest = max(found, key=minor)
        wanted = sorted({"3.7", newest} & set(found), key=minor)
    missing = [v for v in wanted if v not in found]
    if missing:
        log("not found: " + ", ".join(missing))
        return 1

    combined = {}
    for version in wanted:
        log("CPython %s: %s" % (version, found[version]))
        vpython, env = venv_python(version, found[version], not args.no_install, args.count)
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "result.json")
            cmd = [vpython, os.path.join(HERE, "measure.py"), "--json", out]
            if args.count:
                cmd += ["--count", "--calls", str(args.calls)]
            else:
                cmd += ["--rounds", str(args.rounds), "--target-ms", str(args.target_ms)]
            for name in args.only or ():
                cmd += ["--only", name]
            # From a directory without the sources, so the installed module is imported.
            rc = subprocess.run(cmd, cwd=tmp, env=env).returncode
            if rc != 0:
                return rc
            with open(out) as f:
                combined[version] = json.load(f)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(combined, f, indent=1)
        log("results written to " + args.json)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write((count_markdown if args.count else time_markdown)(combined))
        log("table written to " + args.markdown)
    return 0


if __name__ == "__main__":
    sys.exit(main())
