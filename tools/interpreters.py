"""Finding this machine's CPython interpreters and making virtual
environments for them: shared by tools/test_all.py, tools/demo.py,
tools/build_wheels.py and bench/.

Interpreters are found under pyenv (``pyenv root``) and as ``python3.X`` on
PATH; nothing here names a path of one machine. Those of debian_roots.PYTHONS
this machine lacks (CPython 3.14 and 3.15 here, every one on another
architecture) come from Debian's packages in a root tools/debian_roots.py
makes once per machine.
"""
import glob
import os
import platform
import shutil
import subprocess

import debian_roots

OLDEST, NEWEST = 7, 20  # minor versions of CPython 3 to look for


def clean_env(**extra):
    """The environment for child processes: no pyenv selection, so that each
    interpreter is the one named, and pip quiet about its own version."""
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYENV_VERSION", None)
    env.update(extra)
    return env


def minor(version):
    """3 for "3.3": the sort key of a "3.X" version."""
    return int(version.split(".")[1])


def probe(executable, minor_version):
    """True when `executable` is a working CPython 3.<minor_version> with venv."""
    code = (
        "import platform, sys, venv;"
        "print(platform.python_implementation(), *sys.version_info[:2])"
    )
    try:
        out = subprocess.run([executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, env=clean_env(), timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return out.returncode == 0 and out.stdout.split() == [b"CPython", b"3", str(minor_version).encode()]


def pyenv_root():
    if shutil.which("pyenv") is None:
        return None
    out = subprocess.run(["pyenv", "root"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return out.stdout.decode().strip() or None


def find_interpreters():
    """{"3.X": executable}, the newest patch release of each minor version,
    in ascending order."""
    root = pyenv_root()
    found = {}
    for m in range(OLDEST, NEWEST + 1):
        candidates = []
        if root:
            pattern = os.path.join(root, "versions", "3.%d.*" % m, "bin", "python3.%d" % m)
            versions = [p for p in glob.glob(pattern) if p.split(os.sep)[-3].replace(".", "").isdigit()]
            candidates += sorted(versions, key=lambda p: int(p.split(os.sep)[-3].split(".")[2]), reverse=True)
        on_path = shutil.which("python3.%d" % m)
        if on_path:
            candidates.append(on_path)
        for candidate in candidates:
            if probe(candidate, m):
                found["3.%d" % m] = candidate
                break
    return found


def make_venv(path, python, fresh=True, with_pip=True):
    """A virtual environment at `path` made by `python`; the path of its
    interpreter. Raises CalledProcessError when venv fails."""
    if fresh:
        shutil.rmtree(path, ignore_errors=True)
    vpython = os.path.join(path, "bin", "python")
    if not os.path.exists(vpython):
        options = [] if with_pip else ["--without-pip"]
        subprocess.run([python, "-m", "venv"] + options + [path], check=True, env=clean_env())
    return vpython


def rooted_versions(found, arch=None):
    """The "3.X" versions a Debian root holds for `arch` (default: this
    machine's) that `found` lacks, in ascending order."""
    arch = arch or platform.machine()
    skip = found if arch == platform.machine() else {}
    return [v for v in sorted(debian_roots.PYTHONS.get(arch, {}), key=minor) if v not in skip]
