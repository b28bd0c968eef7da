#!/usr/bin/env python3
"""Build, install and test the extension on every CPython this machine has.

Each interpreter gets its own virtual environment under .venvs/, where the
package is installed with ``pip install .[test]`` (normal build isolation,
warnings as errors through FDEF_WERROR) and the whole test suite runs. The
C++ sources are also compiled with clang++ under -Werror, as a second
compiler's warnings check, and run through clang-tidy (.clang-tidy) and
cppcheck (tools/cppcheck-suppressions.txt).

Memory checks: the suite runs again against an AddressSanitizer and
UndefinedBehaviorSanitizer build on CPython 3.7 and the newest CPython tested
(the sanitizer runtime preloaded, PYTHONMALLOC=malloc), and under valgrind's
memcheck on CPython 3.7, child processes included (the interpreter's own
errors count too; of the leaks, only those the module allocated).
--no-memcheck skips both.

Packaging, on CPython 3.7 and the newest: an sdist, release wheels built from
it by tools/build_wheels.py (with CXXFLAGS=-Wpadded, a warning that must not
stop a user's build) and tagged manylinux2014, each installed into a fresh
venv with no compiler on PATH, where the whole suite runs again.

A step whose tool (clang++, clang-tidy, cppcheck, valgrind, g++'s sanitizer
runtime) is missing is skipped and named in the summary; under CI (which
installs them in .ci/run) it fails instead.

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
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from platform import machine

import root_checks
from build_wheels import build_wheels
from interpreters import clean_env, find_interpreters, make_venv, minor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENVS = os.path.join(ROOT, ".venvs")
REQUIRED = "3.7"
# Type checking runs in the newest interpreter's venv only; this release
# supports 3.8 to 3.13.
MYPY = "mypy==1.13.0"
TYPES_OLDEST = 8  # the oldest CPython 3 minor version MYPY installs on
BUILD = "build>=1,<2"


def log(message):
    print("==> " + message, flush=True)


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, **kwargs).returncode


class Skipped(Exception):
    """A step this machine lacks a tool for: named in the summary, not failed
    (under CI, where .ci/run installs every tool, it fails)."""


def need_tools(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        raise Skipped("%s not installed" % ", ".join(missing))


def fresh_venv(path, python):
    """make_venv that reports a failure instead of raising."""
    try:
        return make_venv(path, python)
    except subprocess.CalledProcessError:
        log("could not create the virtual environment " + path)
        return None


def clang_configure(name, python, *defines, **kwargs):
    """A fresh CMake build tree .venvs/<name> for clang++; its path, or None."""
    build = os.path.join(VENVS, name)
    shutil.rmtree(build, ignore_errors=True)
    env = dict(clean_env(), CXX="clang++")
    configure = ["cmake", "-S", ROOT, "-B", build, "-DPython_EXECUTABLE=" + python] + list(defines)
    return build if run(configure, env=env, **kwargs) == 0 else None


def clang_build(python):
    """Compiles the extension with clang++ and -Werror (no install)."""
    need_tools("clang++", "cmake")
    build = clang_configure("clang-build", python, "-DCMAKE_BUILD_TYPE=Release", "-DFDEF_WERROR=ON")
    return build is not None and run(["cmake", "--build", build, "-j2"], env=clean_env()) == 0


def test_interpreter(version, python, pytest_args):
    vpython = fresh_venv(os.path.join(VENVS, "py" + version), python)
    if vpython is None:
        return False
    env = clean_env(FDEF_WERROR="ON")
    if run([vpython, "-m", "pip", "install", "-q", ROOT + "[test]"], env=env) != 0:
        return False
    # From tests/, so that the installed package is what gets imported.
    cmd = [vpython, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider"] + pytest_args
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0


def venv_python(version):
    return os.path.join(VENVS, "py" + version, "bin", "python")


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


def smoke_installed(vpython, bindir, env):
    """The import and the command over examples/, from outside the source tree."""
    examples = sorted(glob.glob(os.path.join(ROOT, "examples", "*.txt")))
    table = os.path.join(ROOT, "examples", "table.json")
    code = ("import talvern.platformdetails.function_def as fd, sys;"
            "assert fd.get_garu_details('Kernel: Solaris Unix 5.11') == 'GARU';"
            "assert 'site-packages' in fd.__file__, fd.__file__")
    with tempfile.TemporaryDirectory() as outside:
        if run([vpython, "-c", code], cwd=outside, env=env) != 0:
            return False
        script = os.path.join(bindir, "talvern-platformdetails")
        # Status 1: examples/unrelated.txt is, as it should be, not recognised.
        if run([script, "--table", table] + examples, cwd=outside, env=env, stdout=subprocess.DEVNULL) != 1:
            return False
        out = subprocess.run([vpython, "-m", "talvern.platformdetails", "--json"] + examples,
                             cwd=outside, env=env, stdout=subprocess.PIPE)
    lines = out.stdout.decode().splitlines()
    if out.returncode != 1 or len(lines) != len(examples):
        log("the installed command failed over examples/")
        return False
    models = [json.loads(line)["model"] for line in lines]
    return models.count(None) == 1


COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")


def compiler_free_path(venv_bin):
    """A PATH as on a user's machine without a compiler: the venv's bin, and
    nm, with which the tests read the module's exports; or None."""
    tools = os.path.join(VENVS, "no-compiler-bin")
    shutil.rmtree(tools, ignore_errors=True)
    os.makedirs(tools)
    nm = shutil.which("nm")
    if nm is not None:
        os.symlink(nm, os.path.join(tools, "nm"))
    path = os.pathsep.join([venv_bin, tools])
    found = [name for name in COMPILERS if shutil.which(name, path=path)]
    if found:
        log("a compiler is still on the test PATH: " + ", ".join(found))
        return None
    return path


def test_wheel(version, python, wheel, pytest_args):
    """The whole suite against a release wheel in a fresh venv with no compiler."""
    vpython = fresh_venv(os.path.join(VENVS, "wheel" + version), python)
    if vpython is None:
        return False
    bindir = os.path.dirname(vpython)
    path = compiler_free_path(bindir)
    if path is None:
        return False
    # FDEF_WHEEL: tests/test_packaging.py installs it beside another talvern.
    env = clean_env(PATH=path, FDEF_WHEEL=wheel)
    for name in ("CC", "CXX"):
        env.pop(name, None)
    # Binaries only: nothing may be compiled on the way in.
    if run([vpython, "-m", "pip", "install", "-q", "--only-binary", ":all:", wheel + "[test]", BUILD], env=env) != 0:
        return False
    if not smoke_installed(vpython, bindir, env):
        return False
    cmd = [vpython, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider"] + pytest_args
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0


def check_packaging(pythons, rooted, pytest_args):
    """An sdist; from it a manylinux wheel per interpreter, built as a user
    with a newer compiler would (an extra warning, -Wpadded, that must not
    fail the build); each wheel tested as users get it, those of `rooted`
    versions in their Debian root."""
    dist = os.path.join(VENVS, "dist")
    shutil.rmtree(dist, ignore_errors=True)
    env = clean_env()
    builder = venv_python(sorted(pythons, key=minor)[-1])
    if run([builder, "-m", "pip", "install", "-q", BUILD], env=env) != 0:
        return False
    if run([builder, "-m", "build", "--sdist", "--outdir", dist, ROOT], env=env) != 0:
        return False
    (sdist,) = glob.glob(os.path.join(dist, "*.tar.gz"))
    # Building from the sdist proves it holds everything the build needs.
    wheels = build_wheels(os.path.join(dist, "wheels"), pythons, sdist, [(v, machine()) for v in rooted],
                          checked=True, CXXFLAGS="-Wpadded")
    if wheels is None:
        return False
    ok = True
    for version, arch, wheel in wheels:
        log("CPython %s, from %s" % (version, os.path.basename(wheel)))
        if version in rooted:
            ok = root_checks.wheel_suite(version, arch, wheel, pytest_args) and ok
        else:
            ok = test_wheel(version, pythons[version], wheel, pytest_args) and ok
    return ok


def check_aarch64(pytest_args):
    """The arm64 wheels from the packaging step's sdist, under emulation."""
    dist = os.path.join(VENVS, "dist")
    sdists = glob.glob(os.path.join(dist, "*.tar.gz"))
    if not sdists:
        return False
    helper = {v: p for v, p in find_interpreters().items() if os.path.exists(venv_python(v))}
    return root_checks.aarch64_wheels(sdists[0], helper, os.path.join(dist, "wheels-aarch64"), pytest_args)


def inside_root(args):
    """--inside: this interpreter's steps in a Debian root (root_checks)."""
    (version,) = args.python
    python = find_interpreters()[version]
    if args.wheel:
        return test_wheel(version, python, args.wheel, args.pytest_args)
    if args.debug:
        # Debian's debug build: assertions on, sys.gettotalrefcount.
        return test_interpreter(version + "d", shutil.which("python%sd" % version), args.pytest_args)
    ok = test_interpreter(version, python, args.pytest_args)
    return ok and check_types(version)


def static_analysis(python):
    """clang-tidy and cppcheck over src/, each with its checked-in settings;
    any finding fails the step."""
    need_tools("clang-tidy", "cppcheck", "clang++", "cmake")
    build = clang_configure("tidy-build", python, "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", stdout=subprocess.DEVNULL)
    if build is None:
        return False
    sources = sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "src", "*.cpp")))
    tidy_cmd = ["clang-tidy", "-p", build, "--quiet"] + sources
    print("+ " + " ".join(tidy_cmd), flush=True)
    out = subprocess.run(tidy_cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True)
    # Without the count of what it found, and left alone, in system headers.
    print("".join(line for line in out.stdout.splitlines(True) if not re.match(r"\d+ warnings? generated", line)),
          end="", flush=True)
    tidy = out.returncode == 0
    cppcheck = ["cppcheck", "--std=c++17", "--language=c++", "--enable=warning,style,performance,portability",
                "--inline-suppr", "--error-exitcode=1", "--quiet",
                "--suppressions-list=" + os.path.join("tools", "cppcheck-suppressions.txt"), "-I", "src"]
    return run(cppcheck + sources, cwd=ROOT) == 0 and tidy


def sanitizer_runtime():
    """g++'s ASan and UBSan runtimes, to preload into the interpreter (which
    is not built with them), or None."""
    paths = []
    for name in ("libasan.so", "libubsan.so"):
        out = subprocess.run(["g++", "-print-file-name=" + name], stdout=subprocess.PIPE,
                             universal_newlines=True)
        path = out.stdout.strip()
        if out.returncode != 0 or not os.path.isabs(path) or not os.path.exists(path):
            return None
        paths.append(path)
    return paths


def sanitizer_run(version, python, pytest_args):
    """The whole suite against an ASan+UBSan build of the module."""
    need_tools("g++")
    runtime = sanitizer_runtime()
    if runtime is None:
        raise Skipped("g++ has no ASan/UBSan runtime here")
    vpython = fresh_venv(os.path.join(VENVS, "asan" + version), python)
    if vpython is None:
        return False
    env = dict(clean_env(), FDEF_SANITIZE="ON", FDEF_WERROR="ON", CXX="g++")
    if run([vpython, "-m", "pip", "install", "-q", ROOT + "[test]"], env=env) != 0:
        return False
    # CPython leaks by design at exit, so leak detection stays off; the
    # block-count tests and valgrind look for the module's leaks.
    env.update(LD_PRELOAD=":".join(runtime), PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1")
    cmd = [vpython, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider"] + pytest_args
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0


def module_leaks(log_text):
    """The loss records of a memcheck log that are definite leaks with the
    module in their allocation stack."""
    records = re.split(r"\n(?===\d+== \n)", log_text)
    return [r for r in records if "definitely lost in loss record" in r and "function_def" in r]


def valgrind_run(version, pytest_args):
    """memcheck over the whole suite with the normal build on CPython
    `version`, child interpreters and the embedding program included (the
    compiler, nm and the command's processes run natively): no invalid
    access or uninitialised use anywhere, and no definite leak from the
    module."""
    need_tools("valgrind")
    vpython = os.path.join(VENVS, "py" + version, "bin", "python")
    if not os.path.exists(vpython):
        return False  # the normal test run could not install the module
    logs = os.path.join(VENVS, "valgrind-" + version)
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    env = dict(clean_env(), PYTHONMALLOC="malloc")
    cmd = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
           "--show-leak-kinds=definite", "--errors-for-leak-kinds=none", "--num-callers=40",
           "--trace-children=yes", "--trace-children-skip=*/cc,*/gcc,*/clang,*/nm,*/talvern-platformdetails",
           # The command's own processes (pure Python over the module, whose
           # paths the in-process tests already cover) would take most of
           # the run: python -m talvern.platformdetails is not traced.
           "--trace-children-skip-by-arg=talvern.platformdetails",
           "--log-file=" + os.path.join(logs, "%p.log"),
           vpython, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider"] + pytest_args
    ok = run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0
    for name in sorted(os.listdir(logs)):
        with open(os.path.join(logs, name)) as f:
            text = f.read()
        # (A log without a summary is a fork that ran a skipped program.)
        if re.search(r"ERROR SUMMARY: [1-9]", text):
            print(text[-20000:], flush=True)
            log("valgrind found memory errors; the log is %s" % os.path.join(logs, name))
            ok = False
        leaks = module_leaks(text)
        if leaks:
            print("\n".join(leaks), flush=True)
            log("valgrind found definite leaks from the module; the log is %s" % os.path.join(logs, name))
            ok = False
    return ok


def timed(results, name, step, *args):
    """Runs a step; results[name] becomes True, False or the reason it was skipped."""
    log(name)
    started = time.time()
    try:
        results[name] = step(*args)
    except (Skipped, root_checks.Unavailable) as skipped:
        results[name] = str(skipped)
        if os.environ.get("CI"):
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
    parser.add_argument("pytest_args", nargs="*", help="passed on to pytest (after --)")
    args = parser.parse_args()
    if args.inside:
        return 0 if inside_root(args) else 1

    interpreters = find_interpreters()
    rooted = [] if args.no_roots else root_checks.rooted_versions(interpreters)
    ci = bool(os.environ.get("CI"))
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
    results = {}
    started = time.time()
    here = [v for v in wanted if v in interpreters]
    in_root = [v for v in wanted if v not in interpreters]
    host_newest = here[-1] if here else sorted(interpreters, key=minor)[-1]
    timed(results, "clang++ -Werror build", clang_build, interpreters[host_newest])
    for version in here:
        log("CPython %s: %s" % (version, interpreters[version]))
        results["CPython " + version] = test_interpreter(version, interpreters[version], args.pytest_args)
    for version in in_root:
        timed(results, "CPython %s (Debian root)" % version, root_checks.suite, version, args.pytest_args)
    if in_root:
        timed(results, "debug CPython %s, -X dev" % in_root[-1], root_checks.debug_suite, in_root[-1],
              args.pytest_args)
    timed(results, "clang-tidy, cppcheck", static_analysis, interpreters[host_newest])
    if not args.no_memcheck:
        for version in [v for v in here if v in (REQUIRED, host_newest)]:
            timed(results, "ASan+UBSan " + version, sanitizer_run, version, interpreters[version], args.pytest_args)
        if REQUIRED in wanted:
            timed(results, "valgrind " + REQUIRED, valgrind_run, REQUIRED, args.pytest_args)

    newest = host_newest
    if newest not in here:
        pass  # the types of a root's CPython are checked in its suite step
    elif minor(newest) < TYPES_OLDEST:
        log("stubtest and mypy skipped: %s needs CPython 3.%d or newer" % (MYPY, TYPES_OLDEST))
    elif results["CPython " + newest]:
        log("stubtest and mypy on CPython %s" % newest)
        results["types (CPython %s)" % newest] = check_types(newest)
    packaged = {v: interpreters[v] for v in here if results["CPython " + v]}
    wheel_roots = [v for v in in_root if results.get("CPython %s (Debian root)" % v) is True]
    if packaged:
        timed(results, "sdist, manylinux wheels on CPython " + ", ".join(sorted(packaged, key=minor) + wheel_roots),
              check_packaging, packaged, wheel_roots, args.pytest_args)
        if not args.python and not args.no_roots:
            timed(results, "aarch64 wheels under qemu", check_aarch64, args.pytest_args)

    log("summary (%.0f s)" % (time.time() - started))
    for name, ok in results.items():
        print("  %-40s %s" % (name, "passed" if ok is True else "skipped: " + ok if ok else "FAILED"))
    failed = [name for name, ok in results.items() if not ok]
    skipped = [name for name, ok in results.items() if isinstance(ok, str)]
    print("%d passed, %d failed, %d skipped" % (len(results) - len(failed) - len(skipped), len(failed), len(skipped)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
