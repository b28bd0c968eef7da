"""The source checks of tools/test_all.py: the C++ sources compiled with
clang++ under -Werror, as a second compiler's warnings check, and clang-tidy
(.clang-tidy) and cppcheck (tools/cppcheck-suppressions.txt) over src/.
"""
import glob
import os
import re
import shutil
import subprocess

from interpreters import clean_env
from shell import run
from steps import ROOT, VENVS, need_tools


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
