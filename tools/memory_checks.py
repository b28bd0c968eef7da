"""The memory checks of tools/test_all.py: the whole suite against an
AddressSanitizer and UndefinedBehaviorSanitizer build, and under valgrind's
memcheck.
"""
import os
import re
import shutil
import subprocess

from interpreters import clean_env
from shell import log, run
from steps import ROOT, VENVS, Skipped, fresh_venv, need_tools, pytest_cmd


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
    cmd = pytest_cmd(vpython, pytest_args)
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
    env = dict(clean_env(), PYTHONMALLOC="malloc", FDEF_UNDER_VALGRIND="1")
    cmd = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
           "--show-leak-kinds=definite", "--errors-for-leak-kinds=none", "--num-callers=40",
           # Other programs run natively: the compilers, the linker ctypes
           # starts to find a library, OpenSSH's, which tests compare with,
           # and unshare, whose mount valgrind cannot run (it is setuid).
           "--trace-children=yes", "--trace-children-skip=" + ",".join(
               "*/" + name for name in ("cc", "gcc", "clang", "nm", "ld", "ldconfig", "talvern-platformdetails",
                                        "ssh", "sshd", "ssh-keygen", "ssh-agent", "ssh-add", "unshare")),
           # The command's own processes (pure Python over the module, whose
           # paths the in-process tests already cover) would take most of
           # the run: python -m talvern.platformdetails is not traced, and
           # the command tests run it so (FDEF_UNDER_VALGRIND: the live API's
           # tests, whose asyncssh would take as long, are skipped), nor is
           # the emulator of the live tests' devices.
           "--trace-children-skip-by-arg=talvern.platformdetails,*/ssh_emulator_process.py",
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
