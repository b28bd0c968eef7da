"""The packaging checks of tools/test_all.py: an sdist, the release wheels
built from it by tools/build_wheels.py, and the whole suite against each
wheel installed as a user gets it (those of a Debian root's CPythons in
their root, the arm64 ones under emulation).
"""
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from platform import machine

import root_checks
from build_wheels import build_wheels
from interpreters import clean_env, find_interpreters, minor
from shell import log, run
from steps import ROOT, VENVS, fresh_venv, pytest_cmd, venv_python

BUILD = "build>=1,<2"


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


def bundled_pip():
    """The pip wheel this interpreter's ensurepip would install (Debian keeps
    it in /usr/share/python-wheels), or None."""
    import ensurepip

    here = os.path.join(os.path.dirname(ensurepip.__file__), "_bundled")
    found = sorted(glob.glob(os.path.join(here, "pip-*.whl")) + glob.glob("/usr/share/python-wheels/pip-*.whl"))
    return found[-1] if found else None


def pip_command(vpython, emulated):
    """How to run pip for the venv of `vpython`. Under emulation, ensurepip
    (unpacking and compiling pip into the venv) takes two minutes: pip runs
    from its wheel instead, and compiles nothing it installs."""
    if not emulated:
        return [vpython, "-m", "pip", "install", "-q"]
    pip = bundled_pip()
    return None if pip is None else [vpython, os.path.join(pip, "pip"), "install", "-q", "--no-compile"]


def pytest_requirement():
    """The test extra's pytest, as pyproject.toml pins it."""
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        return re.search(r'^test = \["(pytest[^"]*)"', f.read(), re.M).group(1)


def test_wheel(version, python, wheel, pytest_args, emulated=False):
    """A release wheel's tests (root_checks.WHEEL, or the files
    `pytest_args` names) in a fresh venv with no compiler."""
    # Named by architecture too: an arm64 interpreter in a root uses this
    # checkout's .venvs/ as well.
    vpython = fresh_venv(os.path.join(VENVS, "wheel%s-%s" % (version, machine())), python, with_pip=not emulated)
    if vpython is None:
        return False
    bindir = os.path.dirname(vpython)
    path = compiler_free_path(bindir)
    install = pip_command(vpython, emulated)
    if path is None or install is None:
        return False
    # FDEF_WHEEL: tests/test_packaging.py installs it beside another talvern.
    env = clean_env(PATH=path, FDEF_WHEEL=wheel)
    for name in ("CC", "CXX"):
        env.pop(name, None)
    # Under emulation only the module's behaviour is tested, which needs
    # pytest alone; the extra's other packages would only slow pip there.
    wanted = [wheel, pytest_requirement()] if emulated else [wheel + "[test]", BUILD]
    # Binaries only: nothing may be compiled on the way in.
    if run(install + ["--only-binary", ":all:"] + wanted, env=env) != 0:
        return False
    if not smoke_installed(vpython, bindir, env):
        return False
    files = [arg for arg in pytest_args if arg.endswith(".py")]
    cmd = pytest_cmd(vpython, ([] if files else root_checks.WHEEL) + list(pytest_args))
    return run(cmd, cwd=os.path.join(ROOT, "tests"), env=env) == 0


def check_packaging(pythons, rooted, pytest_args):
    """An sdist; from it a manylinux wheel per interpreter, built as a user
    with a newer compiler would (an extra warning, -Wpadded, that must not
    fail the build); each wheel tested as users get it, those of `rooted`
    versions in their Debian root."""
    started = time.time()
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
    log("built %d wheels in %.0f s" % (len(wheels), time.time() - started))
    ok = True
    for version, arch, wheel in wheels:
        log("CPython %s, from %s" % (version, os.path.basename(wheel)))
        tested = time.time()
        if version in rooted:
            ok = root_checks.wheel_suite(version, arch, wheel, pytest_args) and ok
        else:
            ok = test_wheel(version, pythons[version], wheel, pytest_args) and ok
        # What each interpreter adds to CI's time.
        log("CPython %s wheel tested in %.0f s" % (version, time.time() - tested))
    return ok


def make_sdist(dist, python):
    """An sdist of the checkout in `dist`, built in a venv of `python` of its
    own (so that it needs no other step's); its path, or None."""
    builder = fresh_venv(os.path.join(VENVS, "sdist-builder"), python)
    env = clean_env()
    shutil.rmtree(dist, ignore_errors=True)
    if builder is None or run([builder, "-m", "pip", "install", "-q", BUILD], env=env) != 0:
        return None
    if run([builder, "-m", "build", "--sdist", "--outdir", dist, ROOT], env=env) != 0:
        return None
    (sdist,) = glob.glob(os.path.join(dist, "*.tar.gz"))
    return sdist


def check_aarch64(pytest_args):
    """The arm64 wheels from an sdist of their own, under emulation."""
    found = find_interpreters()
    dist = os.path.join(VENVS, "dist-aarch64")
    sdist = make_sdist(dist, found[sorted(found, key=minor)[-1]])
    if sdist is None:
        return False
    return root_checks.aarch64_wheels(sdist, found, os.path.join(dist, "wheels"), pytest_args)
