"""What every step of tools/test_all.py shares: the checkout's paths, the
log and the commands it runs, and how a step says it was skipped.
"""
import os
import shutil
import subprocess

from interpreters import make_venv
from shell import log

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENVS = os.path.join(ROOT, ".venvs")


class Skipped(Exception):
    """A step this machine lacks a tool for: named in the summary, not failed
    (under CI, where .ci/run installs every tool, it fails)."""


def need_tools(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        raise Skipped("%s not installed" % ", ".join(missing))


def fresh_venv(path, python, with_pip=True):
    """make_venv that reports a failure instead of raising."""
    try:
        return make_venv(path, python, with_pip=with_pip)
    except subprocess.CalledProcessError:
        log("could not create the virtual environment " + path)
        return None


def venv_python(version):
    return os.path.join(VENVS, "py" + version, "bin", "python")


def pytest_cmd(vpython, pytest_args):
    """The suite under `vpython`, run from tests/ so that the installed
    package is what gets imported."""
    return [vpython, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider"] + list(pytest_args)
