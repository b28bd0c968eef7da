#!/usr/bin/env python3
"""Build, install and test the extension on every CPython this machine has.

Each interpreter gets its own virtual environment under .venvs/, where the
package is installed with ``pip install .[test]`` (normal build isolation)
and the whole test suite runs. The C++ sources are also compiled with
clang++ under -Werror, as a second compiler's warnings check.

Interpreters are found under pyenv (``pyenv root``) and as ``python3.X`` on
PATH. CPython 3.7 is the primary host: under CI its absence is a failure.

    python3 tools/test_all.py                # everything
    python3 tools/test_all.py --python 3.7   # one interpreter (repeatable)
    python3 tools/test_all.py -- -k binding  # extra pytest arguments
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENVS = os.path.join(ROOT, ".venvs")
OLDEST, NEWEST = 7, 20  # minor versions of CPython 3 to look for
REQUIRED = "3.7"
APT_PACKAGES = {"clang++": "clang"}
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


def probe(executable, minor):
    """True when `executable` is a working CPython 3.<minor> with venv."""
    code = (
        "import platform, sys, venv;"
        "print(platform.python_implementation(), *sys.version_info[:2])"
    )
    env = dict(os.environ)
    env.pop("PYENV_VERSION", None)
    try:
        out = subprocess.run([executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, env=env, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return out.returncode == 0 and out.stdout.split() == [b"CPython", b"3", str(minor).encode()]


def pyenv_root():
    if shutil.which("pyenv") is None:
        return None
    out = subprocess.run(["pyenv", "root"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return out.stdout.decode().strip() or None


def find_interpreters():
    """{"3.X": executable}, the newest patch release of each minor version."""
    root = pyenv_root()
    found = {}
    for minor in range(OLDEST, NEWEST + 1):
        candidates = []
        if root:
            pattern = os.path.join(root, "versions", "3.%d.*" % minor, "bin", "python3.%d" % minor)
            versions = [p for p in glob.glob(pattern) if p.split(os.sep)[-3].replace(".", "").isdigit()]
            candidates += sorted(versions, key=lambda p: int(p.split(os.sep)[-3].split(".")[2]), reverse=True)
        on_path = shutil.which("python3.%d" % minor)
        if on_path:
            candidates.append(on_path)
        for candidate in candidates:
            if probe(candidate, minor):
                found["3.%d" % minor] = candidate
                break
    return found


def ensure_system_tools():
    """Installs Debian packages for tools the checks need, where missing."""
    missing = sorted({pkg for tool, pkg in APT_PACKAGES.items() if shutil.which(tool) is None})
    if not missing:
        return True
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        log("missing %s and cannot install it here" % ", ".join(missing))
        return False
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if run(["apt-get", "update", "-qq"], env=env) != 0:
        return False
    return run(["apt-get", "install", "-y", "-qq"] + missing, env=env) == 0


def clang_build(python):
    """Compiles the extension with clang++ and -Werror (no install)."""
    build = os.path.join(VENVS, "clang-build")
    shutil.rmtree(build, ignore_errors=True)
    env = dict(os.environ, CXX="clang++")
    env.pop("PYENV_VERSION", None)
    configure = ["cmake", "-S", ROOT, "-B", build, "-DPython_EXECUTABLE=" + python,
                 "-DCMAKE_BUILD_TYPE=Release"]
    return run(configure, env=env) == 0 and run(["cmake", "--build", build, "-j2"], env=env) == 0


def test_interpreter(version, python, pytest_args):
    venv = os.path.join(VENVS, "py" + version)
    shutil.rmtree(venv, ignore_errors=True)
    if run([python, "-m", "venv", venv]) != 0:
        return False
    vpython = os.path.join(venv, "bin", "python")
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYENV_VERSION", None)
    if run([vpython, "-m", "pip", "install", "-q", ROOT + "[test]"], env=env) != 0:
        return False
    # From tests/, so that the installed package is what gets imported.
    cmd = [vpython, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider"] + pytest_args
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0


def venv_python(version):
    return os.path.join(VENVS, "py" + version, "bin", "python")


def clean_env():
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYENV_VERSION", None)
    return env


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
    return run([vpython, "-m", "mypy"], cwd=ROOT, env=env) == 0 and ok


def smoke_installed(vpython, bindir):
    """The import and the command over examples/, from outside the source tree."""
    examples = sorted(glob.glob(os.path.join(ROOT, "examples", "*.txt")))
    table = os.path.join(ROOT, "examples", "table.json")
    code = ("import talvern.platformdetails.function_def as fd, sys;"
            "assert fd.get_garu_details('Kernel: Solaris Unix 5.11') == 'GARU';"
            "assert 'site-packages' in fd.__file__, fd.__file__")
    with tempfile.TemporaryDirectory() as outside:
        if run([vpython, "-c", code], cwd=outside) != 0:
            return False
        script = os.path.join(bindir, "talvern-platformdetails")
        if run([script, "--table", table] + examples, cwd=outside, stdout=subprocess.DEVNULL) != 0:
            return False
        out = subprocess.run([vpython, "-m", "talvern.platformdetails", "--json"] + examples,
                             cwd=outside, stdout=subprocess.PIPE)
    lines = out.stdout.decode().splitlines()
    if out.returncode != 0 or len(lines) != len(examples):
        log("the installed command failed over examples/")
        return False
    return all(json.loads(line)["detectors"] for line in lines)


def check_packaging(pythons):
    """An sdist, a wheel built from it per interpreter, installed in a fresh venv."""
    dist = os.path.join(VENVS, "dist")
    shutil.rmtree(dist, ignore_errors=True)
    env = clean_env()
    builder = venv_python(sorted(pythons, key=lambda v: int(v.split(".")[1]))[-1])
    if run([builder, "-m", "pip", "install", "-q", BUILD], env=env) != 0:
        return False
    if run([builder, "-m", "build", "--sdist", "--outdir", dist, ROOT], env=env) != 0:
        return False
    (sdist,) = glob.glob(os.path.join(dist, "*.tar.gz"))
    for version, python in sorted(pythons.items()):
        wheels = os.path.join(dist, "py" + version)
        # Building from the sdist proves it holds everything the build needs.
        if run([venv_python(version), "-m", "pip", "wheel", "-q", "--no-deps", "-w", wheels, sdist], env=env) != 0:
            return False
        (wheel,) = glob.glob(os.path.join(wheels, "*.whl"))
        names = zipfile.ZipFile(wheel).namelist()
        wanted = ["talvern/platformdetails/function_def.pyi", "talvern/platformdetails/py.typed",
                  "talvern/platformdetails/__main__.py", "talvern/py.typed"]
        missing = [n for n in wanted if n not in names]
        if missing:
            log("the wheel lacks " + ", ".join(missing))
            return False
        venv = os.path.join(VENVS, "wheel" + version)
        shutil.rmtree(venv, ignore_errors=True)
        vpython = os.path.join(venv, "bin", "python")
        if run([python, "-m", "venv", venv], env=env) != 0:
            return False
        if run([vpython, "-m", "pip", "install", "-q", "--no-index", wheel], env=env) != 0:
            return False
        if not smoke_installed(vpython, os.path.join(venv, "bin")):
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", metavar="3.X", help="test only these versions")
    parser.add_argument("pytest_args", nargs="*", help="passed on to pytest (after --)")
    args = parser.parse_args()

    interpreters = find_interpreters()
    ci = bool(os.environ.get("CI"))
    if REQUIRED not in interpreters:
        if ci:
            log("CPython %s, the primary host, was not found: failing under CI" % REQUIRED)
            return 1
        log("warning: CPython %s, the primary host, was not found" % REQUIRED)
    wanted = args.python or sorted(interpreters, key=lambda v: int(v.split(".")[1]))
    unknown = [v for v in wanted if v not in interpreters]
    if unknown:
        log("not found: " + ", ".join(unknown))
        return 1

    os.makedirs(VENVS, exist_ok=True)
    results = {}
    started = time.time()
    if not ensure_system_tools():
        results["clang++ -Werror build"] = False
    else:
        newest = wanted[-1]
        log("clang++ -Werror build against %s" % newest)
        results["clang++ -Werror build"] = clang_build(interpreters[newest])
    for version in wanted:
        log("CPython %s: %s" % (version, interpreters[version]))
        results["CPython " + version] = test_interpreter(version, interpreters[version], args.pytest_args)

    newest = wanted[-1]
    if int(newest.split(".")[1]) < TYPES_OLDEST:
        log("stubtest and mypy skipped: %s needs CPython 3.%d or newer" % (MYPY, TYPES_OLDEST))
    elif results["CPython " + newest]:
        log("stubtest and mypy on CPython %s" % newest)
        results["types (CPython %s)" % newest] = check_types(newest)
    packaged = {v: interpreters[v] for v in {REQUIRED, newest} if v in wanted and results["CPython " + v]}
    if packaged:
        log("sdist and wheel install on CPython " + ", ".join(sorted(packaged)))
        results["sdist, wheel install"] = check_packaging(packaged)

    log("summary (%.0f s)" % (time.time() - started))
    for name, ok in results.items():
        print("  %-24s %s" % (name, "passed" if ok else "FAILED"))
    failed = [name for name, ok in results.items() if not ok]
    print("%d passed, %d failed" % (len(results) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
