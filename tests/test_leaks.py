"""Every call path leaves the interpreter's block count flat, and on a debug
build (which has sys.gettotalrefcount) its total reference count too: a
reference leaked without an allocation shows there.

Each path runs WARMUP times (caches, free lists and interned strings settle),
then CALLS times between two counts of sys.getallocatedblocks(). A path that
leaks one object per call shows as CALLS blocks or more, far above SLACK.
The whole group takes a few seconds per interpreter, even under -X dev's
checking allocator.
"""
import functools
import gc
import sys
from contextlib import redirect_stdout

import pytest

from hostile_objects import deleting_table
from isolated import run_script
from talvern.platformdetails import function_def as fd

WARMUP = 1000
CALLS = 100000
SLACK = 50

KVEOS = "Ostrel version 4\nHardware\n  Type  Ostrel3 Chassis\n"
TOLM = "Vantrel TOLM-12 Chassis\n"
VKORIN = "Vantrel KORIN Software, KORINv Software\n"


class Boom(Exception):
    pass


def raising_action(text):
    raise Boom(text)


def without_re():
    saved = fd.re
    del fd.re
    try:
        fd.get_garu_details("Solaris Unix")
    finally:
        fd.re = saved


def non_str_keyword():
    call = functools.partial(fd.get_garu_details, "t")
    call.keywords[1] = 2  # reaches the type's own call entry with a dict
    call()


# (path, callable, exception it raises or None)
PATHS = [
    ("pattern match", lambda: fd.invokeaction("Hardware: X1", r"X(\d)"), None),
    ("pattern no match", lambda: fd.invokeaction("Hardware: X1", "Y"), None),
    ("callable match with spawn_id", lambda: fd.invokeaction("t", lambda v, s: [v, s], object()), None),
    ("table match", lambda: fd.get_key_value("Chassis X1", {"b": r"X(\d)", "a": "nomatch"}), None),
    ("table no match", lambda: fd.get_key_value("Chassis X1", {"b": "y", "a": "z"}), None),
    ("table of detectors", lambda: fd.get_key_value(TOLM, {"a": fd.get_garu_details, "b": fd.get_tolm_details}),
     None),
    ("keywords by dict", lambda: fd.invokeaction(**{"input_value": "t", "action": "t", "spawn_id": None}), None),
    ("keywords by partial", functools.partial(fd.get_key_value, "t", dict_name={"a": "t"}), None),
    ("KVE-OS match", lambda: fd.fetch_kveos_details(KVEOS), None),
    ("KVE-OS no match", lambda: fd.fetch_kveos_details("nothing"), None),
    ("GARU match", lambda: fd.get_garu_details("Kernel: Solaris Unix 5.11"), None),
    ("GARU no match", lambda: fd.get_garu_details("nothing"), None),
    ("vKORIN match", lambda: fd.get_vkorin_details(VKORIN), None),
    ("PRAV match", lambda: fd.get_prav_details("Vantrel PRAV-100"), None),
    ("PRAV no match", lambda: fd.get_prav_details("nothing"), None),
    ("TOLM match", lambda: fd.get_tolm_details(TOLM), None),
    # printed-line paths
    ("rejected action", lambda: fd.invokeaction("t", None), None),
    ("false callable result", lambda: fd.invokeaction("t", lambda v: ""), None),
    ("TOLM no match", lambda: fd.get_tolm_details("nothing"), None),
    # binding errors
    ("too few", lambda: fd.invokeaction("t"), TypeError),
    ("too many", lambda: fd.get_key_value("t", {}, 1), TypeError),
    ("missing keyword", lambda: fd.invokeaction(action="t"), TypeError),
    ("multiple values", lambda: fd.get_key_value("t", {}, dict_name={}), TypeError),
    ("unexpected keyword", lambda: fd.get_tolm_details("t", foo=1), TypeError),
    ("keyword not a string", non_str_keyword, TypeError),
    # exceptions from the bodies
    ("vKORIN without banner", lambda: fd.get_vkorin_details("nothing"), AttributeError),
    ("callable action raises", lambda: fd.invokeaction("t", raising_action), Boom),
    ("action raises in a table", lambda: fd.get_key_value("t", {"a": raising_action}), Boom),
    ("KeyError in a mutated table", lambda: fd.get_key_value("t", deleting_table()), KeyError),
    ("NameError for a deleted re", without_re, NameError),
    ("pattern error", lambda: fd.invokeaction("t", "("), Exception),
    # the function objects themselves
    ("attributes", lambda: (fd.invokeaction.__name__, fd.invokeaction.__doc__, fd.invokeaction.__defaults__,
                            fd.get_key_value.__module__, repr(fd.get_key_value), fd.get_key_value.__reduce__()),
     None),
    ("text None", lambda: fd.get_garu_details(None), TypeError),
]


class Discard:
    """Standard output that keeps nothing (a file buffers lines, which shows
    as a changing block count)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def run(fn, expected, times):
    for _ in range(times):
        if expected is None:
            fn()
        else:
            try:
                fn()
            except expected:
                pass


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="the interpreter's allocator does not count blocks (PYTHONMALLOC=malloc)")
@pytest.mark.parametrize("path,fn,expected", PATHS, ids=[p[0] for p in PATHS])
def test_call_path_leaves_block_count_flat(path, fn, expected):
    with redirect_stdout(Discard()):
        run(fn, expected, WARMUP)
        gc.collect()
        before = sys.getallocatedblocks()
        run(fn, expected, CALLS)
        gc.collect()
        after = sys.getallocatedblocks()
    assert after - before <= SLACK, "%d blocks more after %d calls" % (after - before, CALLS)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="only a debug build counts references")
@pytest.mark.parametrize("path,fn,expected", PATHS, ids=[p[0] for p in PATHS])
def test_call_path_leaves_reference_count_flat(path, fn, expected):
    with redirect_stdout(Discard()):
        run(fn, expected, WARMUP)
        gc.collect()
        before = sys.gettotalrefcount()
        run(fn, expected, CALLS // 10)
        gc.collect()
        after = sys.gettotalrefcount()
    assert after - before <= SLACK, "%d references more after %d calls" % (after - before, CALLS // 10)


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="the interpreter's allocator does not count blocks (PYTHONMALLOC=malloc)")
def test_recursion_error_leaves_block_count_flat():
    # Each call recurses to the limit, so fewer calls, the same slack; in a
    # child interpreter, as every run to the recursion limit.
    rc, out, err = run_script("""
        import functools, gc, sys
        from talvern.platformdetails import function_def as fd

        def self_table():
            table = {}
            table["a"] = functools.partial(fd.get_key_value, dict_name=table)
            try:
                fd.get_key_value("t", table)
            except RecursionError:
                pass
            table.clear()  # the partial and the table hold each other

        refs = getattr(sys, "gettotalrefcount", lambda: 0)  # counted by a debug build only
        for _ in range(20):
            self_table()
        gc.collect()
        before = sys.getallocatedblocks(), refs()
        for _ in range(200):
            self_table()
        gc.collect()
        print(sys.getallocatedblocks() - before[0], refs() - before[1])
    """)
    assert rc == 0, err
    blocks, references = map(int, out.split())
    assert (blocks <= SLACK, references <= SLACK) == (True, True), out


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="the interpreter's allocator does not count blocks (PYTHONMALLOC=malloc)")
def test_reimports_leave_block_count_flat():
    # A re-import hands back the live module: the interpreter's per-module
    # state block it then drops must not stay behind (one block each). In a
    # child interpreter: importlib gives the module a new __spec__ each time.
    rc, out, err = run_script("""
        import gc, importlib, sys
        name = "talvern.platformdetails.function_def"

        def reimport(times):
            for _ in range(times):
                del sys.modules[name]
                importlib.import_module(name)

        refs = getattr(sys, "gettotalrefcount", lambda: 0)  # counted by a debug build only
        importlib.import_module(name)
        reimport(100)
        gc.collect()
        before = sys.getallocatedblocks(), refs()
        reimport(3000)
        gc.collect()
        print(sys.getallocatedblocks() - before[0], refs() - before[1])
    """)
    assert rc == 0, err
    blocks, references = map(int, out.split())
    assert (blocks < 1000, references < 1000) == (True, True), out
