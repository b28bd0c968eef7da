"""The steps of tools/test_all.py that run in Debian roots
(tools/debian_roots.py): the suite on CPython 3.14 and 3.15, once on the
debug build of the newest, the release wheels of those, and the arm64 wheels
under qemu-user emulation.

Inside a root, tools/test_all.py runs again with --inside on the root's own
interpreter, with the checkout mounted at its own path.
"""
import os
import platform
import time

import debian_roots
import header_wheels
from build_wheels import build_wheels
from interpreters import rooted_versions

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Under emulation, about ten times slower: the tests of what the module
# answers, not of the command's processes or its memory.
BEHAVIOUR = ["test_reference.py", "test_detectors.py", "test_detect.py", "test_matching.py", "test_binding.py",
             "test_module.py"]
# What a release wheel's suite runs: its module's behaviour, and what
# installing it as a user does (the import beside another talvern, the
# command, the documented examples). The whole suite has run on the same
# interpreter from the source build already; the Python files are the same.
WHEEL = BEHAVIOUR + ["test_hostile.py", "test_packaging.py", "test_docs.py"]


class Unavailable(Exception):
    """A root this machine cannot make or enter."""


def make_roots_in_background(versions, arm):
    """Starts making the roots that hold `versions` (this machine's
    architecture) and, with `arm`, the arm64 ones."""
    here = debian_roots.PYTHONS.get(platform.machine(), {})
    names = [here[v] for v in versions if v in here]
    if arm:
        names += list(debian_roots.PYTHONS["aarch64"].values())
    names = sorted(set(names), key=names.index)
    if names:
        debian_roots.make_in_background(names)


def inside(version, arch, options, pytest_args=()):
    """tools/test_all.py --inside on CPython `version` in its root; True
    when it passed. Raises Unavailable."""
    name = debian_roots.PYTHONS[arch][version]
    cmd = ["python" + version, os.path.join(ROOT, "tools", "test_all.py"), "--inside", "--python", version]
    cmd += list(options) + ["--"] + list(pytest_args)
    try:
        return debian_roots.run_in(name, cmd, cwd=ROOT) == 0
    except debian_roots.Unavailable as exc:
        raise Unavailable(str(exc))


def suite(version, pytest_args):
    """The whole suite and the type checks, from the source tree."""
    return inside(version, platform.machine(), [], pytest_args)


def debug_suite(version, pytest_args):
    """The whole suite on python3.Xd, with -X dev."""
    return inside(version, platform.machine(), ["--debug"], pytest_args)


def wheel_suite(version, arch, wheel, pytest_args):
    """A release wheel's tests with no compiler: the WHEEL files (under
    emulation, on aarch64, the BEHAVIOUR files only)."""
    options = ["--wheel", wheel]
    if arch != platform.machine():
        options.append("--emulated")
        return inside(version, arch, options, BEHAVIOUR + list(pytest_args))
    return inside(version, arch, options, list(pytest_args))


def aarch64_wheels(sdist, helper, out, pytest_args):
    """The arm64 wheels, cross-compiled from the sdist, each tested under
    emulation on its interpreter; True when all passed."""
    # A machine that cannot make the roots or cross-compile skips the step
    # (under CI, fails it) rather than failing a build halfway.
    try:
        debian_roots.check_can_make("arm64")
    except debian_roots.Unavailable as exc:
        raise Unavailable(str(exc))
    if header_wheels.compiler("aarch64") is None:
        raise Unavailable("%s-g++ not installed" % header_wheels.TRIPLETS["aarch64"])
    targets = [(v, "aarch64") for v in rooted_versions({}, "aarch64")]
    wheels = build_wheels(out, {}, sdist, targets, helper=helper, checked=True)
    if wheels is None:
        return False
    ok = True
    for version, arch, wheel in wheels:
        print("==> CPython %s on %s, from %s" % (version, arch, os.path.basename(wheel)), flush=True)
        started = time.time()
        ok = wheel_suite(version, arch, wheel, pytest_args) and ok
        print("==> CPython %s on %s: %.0f s" % (version, arch, time.time() - started), flush=True)
    return ok
