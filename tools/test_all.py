#!/usr/bin/env python3
"""Build, install and test the extension on every CPython this machine has.

Each interpreter gets its own virtual environment under .venvs/, where the
package is installed with ``pip install .[test]`` (normal build isolation,
warnings as errors through FDEF_WERROR) and the whole test suite runs, with
stubtest and mypy on the newest. The other jobs each have their own file:

- tools/source_checks.py: the C++ sources compiled with clang++ under
  -Werror, clang-tidy and cppcheck;
- tools/memory_checks.py: the suite against an AddressSanitizer and
  UndefinedBehaviorSanitizer build on CPython 3.7 and the newest CPython
  tested, and under valgrind's memcheck on CPython 3.7 (--no-memcheck skips
  both);
- tools/wheel_checks.py: an sdist, a manylinux wheel from it for every
  CPython tested, built by tools/build_wheels.py as a user with a newer
  compiler would (CXXFLAGS=-Wpadded, a warning that must not stop the
  build), each installed into a fresh venv with no compiler on PATH, where
  the module's behaviour, the packaging and the documented examples are
  tested again (root_checks.WHEEL: the rest of the suite is pure Python,
  the same files the source build's run tested on that interpreter);
- tools/root_checks.py: the steps that run in Debian roots.

The steps run in two lanes side by side, one per core: the main lane (every
CPython here, valgrind, the types, the x86_64 wheels) in this process, and
the side lane (clang++, clang-tidy and cppcheck, the sanitizers, the Debian
roots' CPythons, the arm64 wheels) in a process of its own, whose output is
printed when it ends. --serial runs them one after another.

A step whose tool (clang++, clang-tidy, cppcheck, valgrind, g++'s sanitizer
runtime, debootstrap, qemu) is missing is skipped and named in the summary;
under CI (which installs them in .ci/run) it fails instead.

Interpreters are found under pyenv (``pyenv root``) and as ``python3.X`` on
PATH. CPython 3.7 is the primary host: under CI its absence is a failure.
CPython 3.14 and 3.15, where this machine lacks them, run in a Debian
unstable root (tools/root_checks.py): the suite and type checks, the suite
once more on the debug build of 3.15 (python3.15-dbg), and their release
wheels; the arm64 wheels run there under qemu. Without a root (not run as
root, no debootstrap) those are skipped by name; under CI they fail.

    python3 tools/test_all.py                # everything
    python3 tools/test_all.py --python 3.7   # one interpreter (repeatable)
    python3 tools/test_all.py -- -k binding  # extra pytest arguments
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import root_checks
from interpreters import clean_env, find_interpreters, minor, rooted_versions
from memory_checks import sanitizer_run, valgrind_run
from source_checks import clang_build, static_analysis
from shell import log, run
from steps import ROOT, VENVS, Skipped, fresh_venv, pytest_cmd, venv_python
from wheel_checks import check_aarch64, check_packaging, test_wheel

REQUIRED = "3.7"
SIDE_LOG = os.path.join(VENVS, "side-lane.log")
SIDE_RESULTS = os.path.join(VENVS, "side-lane.json")
# Type checking runs in the newest interpreter's venv here, and on each
# interpreter in a Debian root; this release installs on 3.8 and newer.
MYPY = "mypy==1.13.0"
TYPES_OLDEST = 8  # the oldest CPython 3 minor version MYPY installs on


def test_interpreter(version, python, pytest_args):
    vpython = fresh_venv(os.path.join(VENVS, "py" + version), python)
    if vpython is None:
        return False
    env = clean_env(FDEF_WERROR="ON")
    if run([vpython, "-m", "pip", "install", "-q", ROOT + "[test]"], env=env) != 0:
        return False
    # From tests/, so that the installed package is what gets imported.
    cmd = pytest_cmd(vpython, pytest_args)
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0


def check_types(version):
    """stubtest: the shipped stub against the built module; mypy: our Python code."""
    vpython = venv_python(version)
    env = clean_env()
    if run([vpython, "-m", "pip", "install", "-q", MYPY], env=env) != 0:
        return False
    # From outside the tree, so the installed package (and its stub) is checked.
    with tempfile.TemporaryDirectory() as outside:
        ok = run([vpython, "-m", "mypy.stubtest", "talvern.platformdetails.function_def"],
                 cwd=outside, env=env) == 0
    # [tool.mypy] in pyproject.toml names the package and its source folder.
    ok = run([vpython, "-m", "mypy"], cwd=ROOT, env=env) == 0 and ok
    # The stub against documented uses and common mistakes: skipped in the
    # other runs, which have no mypy.
    cmd = [vpython, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_types.py"]
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0 and ok


def inside_root(args):
    """--inside: this interpreter's steps in a Debian root (root_checks)."""
    (version,) = args.python
    python = find_interpreters()[version]
    if args.wheel:
        return test_wheel(version, python, args.wheel, args.pytest_args, args.emulated)
    if args.debug:
        # Debian's debug build: assertions on, sys.gettotalrefcount.
        return test_interpreter(version + "d", shutil.which("python%sd" % version), args.pytest_args)
    ok = test_interpreter(version, python, args.pytest_args)
    return ok and check_types(version)


def under_ci():
    """CI=true, as CI sets it (CI=false or CI=0 is a person's run)."""
    return os.environ.get("CI", "").lower() not in ("", "0", "false", "no")


def timed(results, name, step, *args):
    """Runs a step; results[name] becomes True, False or the reason it was skipped."""
    log(name)
    started = time.time()
    try:
        results[name] = step(*args)
    except (Skipped, root_checks.Unavailable) as skipped:
        results[name] = str(skipped)
        if under_ci():
            log("%s: %s, which CI must have: failing" % (name, skipped))
            results[name] = False
        else:
            log("%s skipped: %s" % (name, skipped))
    log("%s: %.0f s" % (name, time.time() - started))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", metavar="3.X", help="test only these versions")
    parser.add_argument("--no-memcheck", action="store_true", help="skip the sanitizer and valgrind runs")
    parser.add_argument("--no-roots", action="store_true", help="skip the steps in Debian roots")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--debug", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--wheel", help=argparse.SUPPRESS)
    parser.add_argument("--emulated", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--lane", help=argparse.SUPPRESS)
    parser.add_argument("--serial", action="store_true", help="one step at a time (by default two lanes of steps"
                        " run side by side, one per core)")
    parser.add_argument("pytest_args", nargs="*", help="passed on to pytest (after --)")
    args = parser.parse_args()
    if args.inside:
        return 0 if inside_root(args) else 1

    interpreters = find_interpreters()
    rooted = [] if args.no_roots else rooted_versions(interpreters)
    ci = under_ci()
    if REQUIRED not in interpreters:
        if ci:
            log("CPython %s, the primary host, was not found: failing under CI" % REQUIRED)
            return 1
        log("warning: CPython %s, the primary host, was not found" % REQUIRED)
    wanted = sorted(args.python or list(interpreters) + rooted, key=minor)
    unknown = [v for v in wanted if v not in interpreters and v not in rooted]
    if unknown:
        log("not found: " + ", ".join(unknown))
        return 1

    os.makedirs(VENVS, exist_ok=True)
    here = [v for v in wanted if v in interpreters]
    in_root = [v for v in wanted if v not in interpreters]
    plan = Plan(args, interpreters, wanted, here, in_root)
    if args.lane == "side":
        results = {}  # type: dict
        side_lane(plan, results)
        with open(SIDE_RESULTS, "w") as f:
            json.dump(results, f)
        return 0
    results = {}
    if args.no_roots:
        results["steps in Debian roots"] = "--no-roots"  # named in the summary as a skip
    started = time.time()
    side = None if args.serial else start_side_lane()
    if side is None:
        side_lane(plan, results)
    main_lane(plan, results)
    if side is not None:
        results.update(finish_side_lane(side))

    log("summary (%.0f s)" % (time.time() - started))
    for name, ok in results.items():
        print("  %-40s %s" % (name, "passed" if ok is True else "skipped: " + ok if ok else "FAILED"))
    failed = [name for name, ok in results.items() if not ok]
    skipped = [name for name, ok in results.items() if isinstance(ok, str)]
    print("%d passed, %d failed, %d skipped" % (len(results) - len(failed) - len(skipped), len(failed), len(skipped)))
    return 1 if failed else 0


class Plan:
    """What a run covers: the interpreters here and in roots, the newest here."""

    def __init__(self, args, interpreters, wanted, here, in_root):
        self.args, self.interpreters, self.wanted, self.here, self.in_root = args, interpreters, wanted, here, in_root
        self.newest = here[-1] if here else sorted(interpreters, key=minor)[-1]
        self.arm = not args.python and not args.no_roots


def side_lane(plan, results):
    """The steps that need no venv of the main lane's: the other compilers,
    the sanitizers, the Debian roots' CPythons and the arm64 wheels (from an
    sdist of their own). Run beside the main lane, in a process of its own."""
    args, interpreters = plan.args, plan.interpreters
    # Roots missing on a fresh machine are made while the other steps run.
    root_checks.make_roots_in_background(plan.in_root, plan.arm)
    timed(results, "clang++ -Werror build", clang_build, interpreters[plan.newest])
    timed(results, "clang-tidy, cppcheck", static_analysis, interpreters[plan.newest])
    if not args.no_memcheck:
        for version in [v for v in plan.here if v in (REQUIRED, plan.newest)]:
            timed(results, "ASan+UBSan " + version, sanitizer_run, version, interpreters[version], args.pytest_args)
    for version in plan.in_root:
        timed(results, "CPython %s (Debian root)" % version, root_checks.suite, version, args.pytest_args)
    if plan.in_root:
        timed(results, "debug CPython %s, -X dev" % plan.in_root[-1], root_checks.debug_suite, plan.in_root[-1],
              args.pytest_args)
    if plan.arm and plan.here:
        timed(results, "aarch64 wheels under qemu", check_aarch64, args.pytest_args)


def main_lane(plan, results):
    """Every CPython here, valgrind on the primary host, the types, and the
    x86_64 release wheels (those of the roots' CPythons tested in theirs)."""
    args, interpreters = plan.args, plan.interpreters
    for version in plan.here:
        log("CPython %s: %s" % (version, interpreters[version]))
        results["CPython " + version] = test_interpreter(version, interpreters[version], args.pytest_args)
    if not args.no_memcheck and REQUIRED in plan.here:
        timed(results, "valgrind " + REQUIRED, valgrind_run, REQUIRED, args.pytest_args)
    newest = plan.newest
    if newest not in plan.here:
        pass  # the types of a root's CPython are checked in its suite step
    elif minor(newest) < TYPES_OLDEST:
        log("stubtest and mypy skipped: %s needs CPython 3.%d or newer" % (MYPY, TYPES_OLDEST))
    elif results["CPython " + newest]:
        log("stubtest and mypy on CPython %s" % newest)
        results["types (CPython %s)" % newest] = check_types(newest)
    packaged = {v: interpreters[v] for v in plan.here if results["CPython " + v]}
    if packaged:
        timed(results, "sdist, manylinux wheels on CPython " + ", ".join(sorted(packaged, key=minor) + plan.in_root),
              check_packaging, packaged, plan.in_root, args.pytest_args)


def start_side_lane():
    """The side lane in a process of its own, its output kept for the end."""
    log("the side lane runs beside this one; its output follows the summary of this one's steps "
        "(%s)" % SIDE_LOG)
    argv = [sys.executable, os.path.abspath(__file__), "--lane", "side"] + [
        arg for arg in sys.argv[1:] if arg != "--serial"]
    with open(SIDE_LOG, "w") as out:
        return subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)


def finish_side_lane(side):
    """Waits for the side lane; prints what it printed; its results."""
    status = side.wait()
    log("the side lane's output")
    with open(SIDE_LOG) as f:
        sys.stdout.write(f.read())
    sys.stdout.flush()
    try:
        with open(SIDE_RESULTS) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {"side lane": False if status else "it wrote no results"}


if __name__ == "__main__":
    sys.exit(main())
