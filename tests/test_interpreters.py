"""The module in a second interpreter and in a program that embeds CPython
and initialises it several times: a clean ImportError or a working module,
never a crash and never a module of a finalised interpreter."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from isolated import describe_death, run_script, sanitizer_report

from talvern.platformdetails import function_def as fd

NAME = "talvern.platformdetails.function_def"

# ---- the entry the loader looks for ---------------------------------------------


def test_the_entry_is_the_only_exported_symbol():
    # The build hides everything by default; the entry must still be seen
    # (PyMODINIT_FUNC exports it only from 3.9 on).
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", fd.__file__], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_function_def"]


# ---- the module freed while the process goes on --------------------------------


def test_module_freed_and_imported_afresh():
    # Once the module and its functions are gone, even after they ran, it
    # is forgotten: the next import builds a new one, and a function kept
    # from the old one refuses to run instead of using freed values.
    rc, out, err = run_script("""
        import gc, sys, weakref
        import talvern.platformdetails as package
        from talvern.platformdetails import function_def as fd
        fd.get_key_value("t", {"a": "t"}); fd.get_tolm_details("TOLM-1 Chassis")
        fd.marker = 1
        gone = weakref.ref(fd)
        del sys.modules[fd.__name__], package.function_def, fd
        gc.collect()
        print(gone() is None)
        from talvern.platformdetails import function_def as fd
        print(hasattr(fd, "marker"), fd.get_garu_details("Kernel: Solaris Unix 5.11"))
        kept = fd.get_garu_details
        del sys.modules[fd.__name__], package.function_def, fd
        gc.collect()
        from talvern.platformdetails import function_def as fd
        print(kept is fd.get_garu_details, kept("Kernel: Solaris Unix 5.11"))
    """)
    assert rc == 0, err
    assert out.splitlines() == ["True", "False GARU", "True GARU"]


# ---- a second interpreter in the same process --------------------------------

# Runs `code` in a new interpreter with whichever low-level interpreters
# module this version ships; prints what the second interpreter saw.
SUBINTERPRETER = r"""
import os, sys
try:
    import _interpreters as interpreters          # 3.13
except ImportError:
    try:
        import _xxsubinterpreters as interpreters  # 3.8 to 3.12
    except ImportError:
        sys.exit(77)
CODE = '''
import os
try:
    from talvern.platformdetails import function_def as fd
    line = "works " + fd.get_garu_details("Kernel: Solaris Unix 5.11")
except ImportError as exc:
    line = "ImportError " + str(exc)
os.write(1, (line + "\\n").encode())
'''
runs = 0
def run(*args, **kwargs):
    global runs
    interp = interpreters.create(*args, **kwargs)
    try:
        failure = interpreters.run_string(interp, CODE)  # 3.13 returns it
        if failure is not None:
            raise RuntimeError(failure)
    finally:
        interpreters.destroy(interp)
    runs += 1
if %(main_first)r:
    from talvern.platformdetails import function_def as fd
if sys.version_info >= (3, 13):
    run("legacy")
    run("isolated")
elif sys.version_info >= (3, 12):
    run(isolated=False)
    run(isolated=True)  # its own GIL
else:
    run()
from talvern.platformdetails import function_def as fd
os.write(1, ("main %%d %%s\n" %% (runs, fd.get_garu_details("Kernel: Solaris Unix 5.11"))).encode())
"""


@pytest.mark.skipif(sys.version_info < (3, 8), reason="CPython 3.7 ships no module to create interpreters from Python")
@pytest.mark.parametrize("main_first", [False, True], ids=["sub first", "main first"])
def test_second_interpreter(main_first):
    rc, out, err = run_script(SUBINTERPRETER % {"main_first": main_first})
    if rc == 77:
        pytest.skip("this CPython ships no low-level interpreters module")
    assert rc == 0, err
    lines = out.splitlines()
    runs = len(lines) - 1
    assert runs >= 1 and lines[-1] == "main %d GARU" % runs, out
    # The module's own refusal, or on 3.12 and later for an interpreter with
    # its own GIL, the interpreter's.
    for line in lines[:-1]:
        assert line in ("ImportError %s cannot be imported in a sub-interpreter" % NAME,
                        "ImportError module %s does not support loading in subinterpreters" % NAME)
    assert "ImportError %s cannot be imported in a sub-interpreter" % NAME in lines


# ---- an embedding program -----------------------------------------------------

EMBED = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>
#include <string.h>

/* One life of the interpreter: import, detect, finalise. With `leak` the
   module object is kept past finalisation, so that only the module's own
   at-exit fallback can make it forget it. */
static int one_round(const char* path, int leak, int round) {
    Py_Initialize();
    PyObject* dir = PyUnicode_FromString(path);
    if (dir == NULL || PyList_Insert(PySys_GetObject("path"), 0, dir) < 0) {
        PyErr_Print();
        return 1;
    }
    Py_DECREF(dir);
    PyObject* mod = PyImport_ImportModule("talvern.platformdetails.function_def");
    if (mod == NULL) {
        PyErr_Print();
        return 1;
    }
    int fresh = !PyObject_HasAttrString(mod, "seen_by_embedder");
    if (PyObject_SetAttrString(mod, "seen_by_embedder", Py_True) < 0) {
        PyErr_Print();
        return 1;
    }
    PyObject* model = PyObject_CallMethod(mod, "get_garu_details", "s", "Kernel: Solaris Unix 5.11");
    if (model == NULL) {
        PyErr_Print();
        return 1;
    }
    printf("round %d: %s %s\n", round, PyUnicode_AsUTF8(model), fresh ? "fresh" : "stale");
    fflush(stdout);
    Py_DECREF(model);
    if (!leak) {
        Py_DECREF(mod);
    }
    return Py_FinalizeEx() < 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    int leak = strcmp(argv[2], "leak") == 0;
    for (int round = 1; round <= 3; ++round) {
        if (one_round(argv[1], leak, round) != 0) {
            return 1;
        }
    }
    return 0;
}
"""


def link_flags():
    """(flags, None) to link against this interpreter's libpython, or
    (None, reason) when it cannot be done here."""
    cfg = sysconfig.get_config_var
    libdir = cfg("LIBDIR")
    version = cfg("LDVERSION") or cfg("VERSION")
    extra = (cfg("LIBS") or "").split() + (cfg("SYSLIBS") or "").split()
    if cfg("Py_ENABLE_SHARED"):
        return ["-L" + libdir, "-Wl,-rpath," + libdir, "-lpython" + version] + extra, None
    static = os.path.join(cfg("LIBPL") or libdir, cfg("LIBRARY") or "")
    if cfg("LIBRARY") and os.path.isfile(static):
        # The extension resolves the C API from the program itself.
        return [static] + (cfg("LINKFORSHARED") or "").split() + extra, None
    return None, "this CPython was built without a shared libpython and its static one is not installed"


@pytest.fixture(scope="module")
def embedder(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the embedding program")
    flags, reason = link_flags()
    if flags is None:
        pytest.skip(reason)
    tmp = tmp_path_factory.mktemp("embed")
    source = tmp / "embed.c"
    source.write_text(EMBED)
    program = str(tmp / "embed")
    include = sysconfig.get_paths()["include"]
    cmd = [compiler, "-o", program, str(source), "-I" + include] + flags
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert proc.returncode == 0, proc.stdout
    return program


@pytest.mark.parametrize("mode", ["release", "leak"], ids=["module freed", "module kept alive"])
def test_embedding_program_initialises_three_times(embedder, mode):
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(fd.__file__))))
    # The program lives outside the installation: tell it where the
    # standard library is.
    env = dict(os.environ, PYTHONHOME=sys.base_prefix)
    env.pop("PYTHONPATH", None)
    proc = subprocess.run([embedder, package_root, mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env, timeout=300)
    assert proc.returncode >= 0 and not sanitizer_report(proc.stderr), "%s\n%s" % (describe_death(proc), proc.stderr)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["round %d: GARU fresh" % n for n in (1, 2, 3)]
