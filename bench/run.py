#!/usr/bin/env python3
"""Benchmark the extension against plain Python and against the floor.

    python3 bench/run.py                      # CPython 3.7 and the newest CPython found
    python3 bench/run.py --python 3.11        # chosen interpreters (repeatable)
    python3 bench/run.py --json out.json      # also write all results as JSON
    python3 bench/run.py --markdown out.md    # and the table for bench/README.md
    python3 bench/run.py --no-install         # reuse the venvs as they are
    python3 bench/run.py --rounds 41 --target-ms 4

For each interpreter, the package is built and installed from this checkout
into its own venv (.venvs/bench-py3.X), then bench/measure.py runs there:
it checks that the module and the plain Python versions in bench/plain.py
agree on every case, then times module, plain and floor, interleaved, and
prints a table of medians (ns per call) with the ratios module/plain and
module/floor and their geometric means, and the cost of importing the
module. Not part of the test suite; not run by CI.
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


def venv_python(version, python, install):
    venv = os.path.join(ROOT, ".venvs", "bench-py" + version)
    install = install or not os.path.exists(os.path.join(venv, "bin", "python"))
    vpython = make_venv(venv, python, fresh=False)
    env = clean_env()
    if install:
        log("building and installing into " + venv)
        subprocess.run([vpython, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", ROOT],
                       check=True, env=env)
    return vpython, env


def markdown(combined):
    """bench/README.md's table: ns per call and both ratios, one column group per interpreter."""
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", metavar="3.X", help="interpreters (default: 3.7 and newest)")
    parser.add_argument("--json", metavar="FILE", help="write {version: results} as JSON")
    parser.add_argument("--markdown", metavar="FILE", help="write the results as a Markdown table")
    parser.add_argument("--no-install", action="store_true", help="do not rebuild the module in existing venvs")
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--target-ms", type=float, default=2.0)
    parser.add_argument("--only", metavar="FUNCTION", action="append", help="time only these functions")
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
        vpython, env = venv_python(version, found[version], not args.no_install)
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "result.json")
            cmd = [vpython, os.path.join(HERE, "measure.py"), "--rounds", str(args.rounds),
                   "--target-ms", str(args.target_ms), "--json", out]
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
            f.write(markdown(combined))
        log("table written to " + args.markdown)
    return 0


if __name__ == "__main__":
    sys.exit(main())
