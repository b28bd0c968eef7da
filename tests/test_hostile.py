"""Hostile objects and runaway recursion end in exceptions, never in a crash.

Every case runs in a child interpreter (isolated.run_cases), so a crash is
reported as that case's failure.
"""
import pytest

from conftest import DETECTOR_NAMES as DETECTORS
from isolated import run_cases, run_script

PRELUDE = """
import functools, io, sys
from hostile_objects import *
import reference

def with_reference(expr):
    # expr as it reads, with the reference in place of the module
    namespace = dict(globals(), fd=reference)
    with_re = lambda stand_in, func, *args: (setattr(reference, "re", stand_in), func(*args))[1]
    namespace["with_re"] = with_re
    try:
        return eval(expr, namespace)
    finally:
        reference.re = __import__("re")
"""

RAISED = {"Boom", "AttributeError", "TypeError", "KeyError", "IndexError", "RecursionError", "NameError"}

# (case, expression, expected): an exception's type name, or the repr of the
# value returned.
CASES = [
    # __bool__ that raises
    ("bool of spawn_id", "fd.invokeaction('t', lambda *a: 'x', RaisingBool())", "Boom"),
    ("bool of a callable's result", "fd.invokeaction('t', lambda v: RaisingBool())", "Boom"),
    ("bool of a result in a table", "fd.get_key_value('t', {'a': lambda v: RaisingBool()})", "Boom"),
    ("bool of a match, invokeaction", "with_re(FakeRe(search=RaisingBool()), fd.invokeaction, 't', 'p')", "Boom"),
    ("bool of the Ostrel match", "with_re(FakeRe(search=FakeMatch({1: 'Ostrel1', 2: 'Chassis'}), "
     "match=RaisingBool()), fd.fetch_kveos_details, 't')", "Boom"),
    ("bool of a group", "with_re(FakeRe(search=FakeMatch({1: RaisingBool()})), fd.fetch_kveos_details, 't')",
     "Boom"),
    # __eq__ and __lt__ that raise
    ("lt in the key sort", "fd.get_key_value('t', {RaisingLt(1): 'a', RaisingLt(2): 'b'})", "Boom"),
    ("eq of the KVE-OS model", "with_re(FakeRe(search=FakeMatch({1: RaisingEq()})), fd.fetch_kveos_details, 't')",
     "Boom"),
    ("eq of the KVE-OS platform", "with_re(FakeRe(search=FakeMatch({1: 'abc', 2: RaisingEq()})), "
     "fd.fetch_kveos_details, 't')", "Boom"),
    ("eq of the vKORIN word", "with_re(FakeRe(search=FakeMatch({1: RaisingEq()})), fd.get_vkorin_details, 't')",
     "Boom"),
    # __str__ that raises on the printed-line path
    ("str of a false action", "fd.invokeaction('t', RaisingStr())", "Boom"),
    ("str of a false action in a table", "fd.get_key_value('t', {'a': RaisingStr()})", "Boom"),
    # sys.stdout replaced or None
    ("stdout None, rejected action", "with_stdout(None, fd.invokeaction, 't', None)", "[]"),
    ("stdout None, TOLM line", "with_stdout(None, fd.get_tolm_details, 'nothing')", "''"),
    ("stdout raising, rejected action", "with_stdout(RaisingWriter(), fd.invokeaction, 't', None)", "Boom"),
    ("stdout raising, false result", "with_stdout(RaisingWriter(), fd.invokeaction, 't', lambda v: None)", "Boom"),
    ("stdout raising, TOLM line", "with_stdout(RaisingWriter(), fd.get_tolm_details, 'nothing')", "Boom"),
    ("stdout a closed file", "with_stdout(io.StringIO(), lambda: (sys.stdout.close(), "
     "fd.invokeaction('t', None)))", "ValueError"),
    # the function type used against its grain
    ("type called", "type(fd.invokeaction)()", "TypeError"),
    ("object.__new__ of the type", "object.__new__(type(fd.invokeaction))", "TypeError"),
    ("type subclassed", "type('X', (type(fd.invokeaction),), {})", "TypeError"),
    ("call slot on a stranger", "type(fd.invokeaction).__call__(object(), 't')", "TypeError"),
    ("getter on a stranger", "type(fd.invokeaction).__dict__['__name__'].__get__(object())", "TypeError"),
    ("reduce on a stranger", "type(fd.invokeaction).__reduce__(1)", "TypeError"),
    ("name assigned", "setattr(fd.invokeaction, '__name__', 'x')", "AttributeError"),
    ("module reloaded", "__import__('importlib').reload(fd) is fd and fd.get_garu_details('Solaris Unix')",
     "'GARU'"),
    # tables changed while they are walked
    ("key removed by an earlier action", "fd.get_key_value('t', deleting_table())", "KeyError"),
    ("table cleared by an action", "fd.get_key_value('t', clearing_table())", "KeyError"),
    ("running action drops itself", "fd.get_key_value('text', replacing_table())", "['b', ['ext', ('x',)]]"),
    ("table grown by an action", "fd.get_key_value('t', growing_table())", "[]"),
    ("table's last owner emptied", "table_freed_mid_walk()", "['b', ['t', ()]]"),
    ("keyword dict emptied by the action", "keyword_dict_emptied()", "[]"),
    ("key list emptied through gc", "key_list_cleared()", "(True, ['M'])"),
    # tables that are not dicts (test_reference has the plain ones)
    ("table a generator", "fd.get_key_value('t', generator_table())", "TypeError"),
    ("table iter and getitem disagree", "fd.get_key_value('t', DisagreeingMapping())", "KeyError"),
    ("table iter not an iterator", "fd.get_key_value('t', LyingIter())", "TypeError"),
    ("table iter raising", "fd.get_key_value('t', RaisingIter())", "Boom"),
]

# What a stand-in re's search and match give: invokeaction and each detector
# must do with it what the reference (reference.py) does, in the same child.
ODD_SEARCH_RESULTS = ["1", "0", "'abc'", "FakeMatch({0: Boom(), 1: Boom(), 2: Boom()})", "FakeMatch()",
                      "FakeMatch(groups=RaisingBool())"]
AS_REFERENCE = []
for result in ODD_SEARCH_RESULTS:
    for call in ["invokeaction, 't', 'p'"] + ["%s, 't'" % name for name in DETECTORS]:
        AS_REFERENCE.append(("search gives %s: %s" % (result, call.split(",")[0]),
                             "with_re(FakeRe(search=%s, match=%s), fd.%s)" % (result, result, call)))


def normalise(outcome):
    if outcome[0] == "raised":
        return outcome[1]
    if outcome[0] == "returned":
        # Drop addresses from reprs.
        import re
        return re.sub(r" at 0x[0-9a-f]+>", ">", outcome[1])
    return outcome


@pytest.fixture(scope="module")
def outcomes():
    return run_cases(PRELUDE, [(case, expr) for case, expr, _ in CASES] + AS_REFERENCE
                     + [(case + " (reference)", "with_reference(%r)" % expr) for case, expr in AS_REFERENCE])


@pytest.mark.parametrize("case,expr,expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_object(outcomes, case, expr, expected):
    assert normalise(outcomes[case]) == expected, outcomes[case]


@pytest.mark.parametrize("case", [case for case, _ in AS_REFERENCE])
def test_stand_in_re_as_the_reference(outcomes, case):
    assert normalise(outcomes[case]) == normalise(outcomes[case + " (reference)"]), outcomes[case]


RECURSION_PRELUDE = PRELUDE + """
def self_table():
    # The action calls get_key_value on its own table: no Python frame in the loop.
    table = {}
    table["a"] = functools.partial(fd.get_key_value, dict_name=table)
    return fd.get_key_value("t", table)

def self_partial():
    # invokeaction bound with partial around itself as its own action.
    p = functools.partial(fd.invokeaction)
    p.keywords["action"] = p
    return p("t")

def tolm_through_itself():
    # get_tolm_details finds get_key_value late-bound: make it lead back.
    saved = fd.get_key_value
    fd.get_key_value = functools.partial(fd.get_tolm_details)
    try:
        return fd.get_tolm_details("t")
    finally:
        fd.get_key_value = saved

def python_frame_loop():
    table = {}
    table["a"] = lambda text: fd.get_key_value(text, table)
    return fd.get_key_value("t", table)

def in_small_thread(func):
    # A thread with a 1 MB stack: the recursion limit alone would let the
    # loop run off its end.
    import threading
    outcome = []
    def target():
        try:
            outcome.append(repr(func()))
        except Exception as exc:
            outcome.append(exc)
    size = threading.stack_size(1 << 20)
    try:
        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(size)
    if isinstance(outcome[0], Exception):
        raise outcome[0]
    return outcome[0]

def with_high_limit(func):
    # A recursion limit far beyond what the stack holds (it only counts
    # Python frames from 3.12 on).
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(1000000)
    try:
        return func()
    finally:
        sys.setrecursionlimit(limit)

def works_afterwards():
    try:
        self_table()
    except RecursionError:
        pass
    return fd.get_key_value("Chassis X1", {"b": r"X(\\d)", "a": "Chassis"})
"""

RECURSION_CASES = [
    ("table through partial", "self_table()", "RecursionError"),
    ("invokeaction around itself", "self_partial()", "RecursionError"),
    ("get_tolm_details through itself", "tolm_through_itself()", "RecursionError"),
    ("loop through a Python frame", "python_frame_loop()", "RecursionError"),
    ("module works after the error", "works_afterwards()", "['a', ['Chassis', ()]]"),
]
RECURSION_CASES += [
    (case + ", " + where, "%s(%s)" % (wrapper, expr.rstrip("()")), expected)
    for case, expr, expected in RECURSION_CASES[:4]
    for where, wrapper in [("1 MB thread", "in_small_thread"), ("limit raised", "with_high_limit")]
]


@pytest.fixture(scope="module")
def recursion_outcomes():
    return run_cases(RECURSION_PRELUDE, [(case, expr) for case, expr, _ in RECURSION_CASES])


@pytest.mark.parametrize("case,expr,expected", RECURSION_CASES, ids=[c[0] for c in RECURSION_CASES])
def test_deep_recursion(recursion_outcomes, case, expr, expected):
    assert normalise(recursion_outcomes[case]) == expected, recursion_outcomes[case]


def test_print_removed_before_import():
    # The import fails with NameError and leaves nothing behind; with print
    # back, the next import runs both phases afresh and prints through it.
    rc, out, err = run_script("""
        import builtins, sys
        saved = builtins.print
        del builtins.print
        try:
            import talvern.platformdetails.function_def
        except NameError as exc:
            sys.stdout.write("NameError: %s\\n" % exc)
        builtins.print = saved
        assert "talvern.platformdetails.function_def" not in sys.modules
        from talvern.platformdetails import function_def as fd
        assert fd.invokeaction("t", None) == []
    """)
    assert rc == 0, err
    assert out == "NameError: name 'print' is not defined\nThe action should be expression or a function\n"


def test_namespace_cleared():
    # Every late-bound name gone at once: NameError from each function.
    rc, out, err = run_script("""
        from talvern.platformdetails import function_def as fd
        functions = dict(vars(fd))
        vars(fd).clear()
        for name in ("fetch_kveos_details", "get_garu_details", "get_vkorin_details", "get_prav_details",
                     "get_tolm_details"):
            try:
                functions[name]("t")
            except NameError as exc:
                print(exc)
        try:
            functions["get_key_value"]("t", {"a": "t"})
        except NameError as exc:
            print(exc)
    """)
    assert rc == 0, err
    assert out.splitlines() == ["name 're' is not defined"] * 4 + ["name 'get_key_value' is not defined",
                                                                   "name 'invokeaction' is not defined"]


def test_function_type_tampered_with():
    # In a child of its own: before 3.10 the changes to the type stay.
    rc, out, err = run_script("""
        from hostile_objects import tampered_type
        print(tampered_type())
    """)
    assert rc == 0, err
    assert out.splitlines()[-1] == "done"


def test_stack_limit_lowered_after_the_first_call():
    # The stack bound found at this thread's first call no longer holds.
    code, out, err = run_script(
        """
        import functools, resource, sys
        from talvern.platformdetails import function_def as fd
        fd.get_garu_details("x")
        soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
        resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, hard))
        sys.setrecursionlimit(1000000)
        table = {}
        table["a"] = functools.partial(fd.get_key_value, dict_name=table)
        try:
            fd.get_key_value("t", table)
        except RecursionError:
            print("RecursionError")
        """
    )
    assert out.strip() == "RecursionError", err
