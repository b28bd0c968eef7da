"""The module as the interpreter sees it: import, namespace, function
objects, late-bound names and the held print."""
import builtins
import copy
import gc
import importlib
import inspect
import pickle
import pydoc
import re
import sys
import sysconfig
import types
import weakref

import pytest

from conftest import FUNCTION_NAMES
from isolated import run_script as run_python
from talvern.platformdetails import function_def as fd

MODULE_NAME = "talvern.platformdetails.function_def"
MODULE_DOC = (
    "In this module, we placed the function which can be used for fetching\n"
    "the model number for a device.\n"
    "This also contains functions which helps to get matching keys from patterns dict\n"
    "and for invoking the required function and for matching the regular expression.\n"
)
INVOKEACTION_DOC = (
    "This function execute and function and match regular expression.\n"
    "       If a function is provided as 'action' then function is called with input_value as argument.\n"
    "       If a string is provided then 'action' will be used as a regex and matched with 'input_value'.\n"
    "       Input: command output and function or expression, optional spawn_id.\n"
    "       If spwan_id is provided then it will be provided as argument to function.\n"
    "       Output: A List. If action is astring, output will be match regex ['groups' , ('groups')]\n"
    "       If action is a function, output will be ['return value of the action']\n"
    "    "
)
GET_KEY_VALUE_DOC = (
    "This function is used for getting the 'key' from the input dict 'dict_name',\n"
    "       from which the 'input_value' is matched.\n"
    "       Input: command output and dictionary name\n"
    "       Output: a list. ['matching key from dict' , 'output of the key's value']\n"
    "       If a str: ['key' , ['group' , ('groups')]]\n"
    "       If a function: ['key' , ['return value of function']]\n"
    "    "
)
FUNCTIONS = [
    ("fetch_kveos_details", "Function for getting model for KVEOS devices.", ("version", "spawn_id"), ("",)),
    ("get_garu_details", "Function for getting model for GARU/FESK devices.", ("version", "spawn_id"), ("",)),
    ("get_vkorin_details", "Function for getting model for vKORIN devices.", ("version", "spawn_id"), ("",)),
    ("get_prav_details", "Function for getting model for PRAV devices.", ("version", "spawn_id"), ("",)),
    ("get_tolm_details", "Function for getting model for TOLM devices.", ("version", "spawn_id"), ("",)),
    ("invokeaction", INVOKEACTION_DOC, ("input_value", "action", "spawn_id"), ("",)),
    ("get_key_value", GET_KEY_VALUE_DOC, ("input_value", "dict_name"), None),
]


def test_module_identity_and_namespace():
    assert fd.__name__ == MODULE_NAME
    assert fd.__doc__ == MODULE_DOC
    assert fd.__package__ == "talvern.platformdetails"
    assert fd.__file__ == fd.__spec__.origin
    assert fd.__loader__ is fd.__spec__.loader
    assert not hasattr(fd, "__path__")
    assert fd.re is re
    assert importlib.import_module(MODULE_NAME) is fd


def test_namespace_order():
    # In a fresh process: other tests rebind names, which reorders them.
    code, out, err = run_python("import %s as fd; print(' '.join(vars(fd)))" % MODULE_NAME)
    assert code == 0, err
    names = out.split()
    assert names[-8:] == ["re"] + FUNCTION_NAMES
    assert names.index("__file__") < names.index("re")


def test_reimport_after_removal_returns_the_same_module():
    saved = sys.modules.pop(MODULE_NAME)
    try:
        again = importlib.import_module(MODULE_NAME)
        assert again is fd
        # A second import does not bind the names afresh.
        assert again.get_garu_details is saved.get_garu_details
    finally:
        sys.modules[MODULE_NAME] = saved


@pytest.mark.parametrize("name, doc, params, defaults", FUNCTIONS)
def test_function_attributes(name, doc, params, defaults):
    func = getattr(fd, name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == MODULE_NAME
    assert func.__doc__ == doc
    assert func.__defaults__ == defaults
    assert repr(func).startswith("<function %s at 0x" % name)
    signature = inspect.signature(func)
    assert tuple(signature.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    expected_defaults = defaults or ()
    actual = tuple(p.default for p in signature.parameters.values() if p.default is not p.empty)
    assert actual == expected_defaults
    text = pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert "%s%s" % (name, signature) in text
    assert doc.splitlines()[0] in text


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_functions_pickle_and_copy_by_reference(name):
    func = getattr(fd, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func


def test_function_objects_behave_like_functions():
    func = fd.get_garu_details
    assert gc.is_tracked(func)
    assert weakref.ref(func)() is func
    assert callable(func) and inspect.isroutine(func)

    class Holder:
        detector = fd.get_garu_details

    # Like a built-in function, it is not bound as a method.
    assert Holder().detector("Solaris Unix") == "GARU"


def test_print_is_resolved_once_at_start_up(monkeypatch, capsys):
    calls = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: calls.append(a))
    monkeypatch.setattr(fd, "print", calls.append, raising=False)
    assert fd.invokeaction("text", None) == []
    assert calls == []
    assert capsys.readouterr().out == "The action should be expression or a function\n"


@pytest.mark.parametrize(
    "name, call, from_builtins",
    [
        ("re", lambda: fd.get_garu_details("x"), "FESK-L2"),
        ("re", lambda: fd.invokeaction("x", "x"), ["whole", ()]),
        ("invokeaction", lambda: fd.get_key_value("x", {"a": "x"}), ["a", ["from builtins"]]),
        ("get_key_value", lambda: fd.get_tolm_details("x"), "FROMBUILTINS"),
    ],
)
def test_deleted_late_bound_name_falls_back_to_builtins(monkeypatch, name, call, from_builtins):
    monkeypatch.delattr(fd, name)
    with pytest.raises(NameError, match=r"^name '%s' is not defined$" % name):
        call()
    monkeypatch.setattr(builtins, name, _BUILTIN_STANDINS[name], raising=False)
    assert call() == from_builtins


class _Match:
    def group(self):
        return "whole"

    def groups(self):
        return ()


_BUILTIN_STANDINS = {
    "re": types.SimpleNamespace(search=lambda pattern, text: _Match()),
    "invokeaction": lambda text, action: ["from builtins"],
    "get_key_value": lambda text, table: ["k", ["w", ("FROM-BUILTINS",)]],
}


def test_failed_start_up_is_forgotten_and_retried():
    code, out, err = run_python(
        """
        import sys
        sys.modules["re"] = None
        try:
            import talvern.platformdetails.function_def
        except ImportError as exc:
            print("failed:", exc)
        del sys.modules["re"]
        import talvern.platformdetails.function_def as fd
        print(fd.get_garu_details("Linux Unix"), sorted(n for n in vars(fd) if not n.startswith("_")))
        """
    )
    assert code == 0, err
    assert out.splitlines() == [
        "failed: import of re halted; None in sys.modules",
        "FESK ['fetch_kveos_details', 'get_garu_details', 'get_key_value', 'get_prav_details', "
        "'get_tolm_details', 'get_vkorin_details', 'invokeaction', 're']",
    ]


# ---- what the module holds on to, and for how long -----------------------------

def test_a_name_rebound_while_names_are_looked_up_is_seen():
    # A key in re's namespace whose __eq__ runs during the lookup of re.I
    # rebinds invokeaction: the next walk must use the new binding.
    code, out, err = run_python(
        """
        import re
        from talvern.platformdetails import function_def as fd
        class Rebinding:
            armed = False
            def __hash__(self):
                return hash("I")
            def __eq__(self, other):
                if Rebinding.armed:
                    Rebinding.armed = False
                    fd.invokeaction = lambda text, action: ["rebound"]
                return False
        namespace = vars(re)
        flag = namespace.pop("I")
        namespace[Rebinding()] = None
        namespace["I"] = flag
        Rebinding.armed = True
        fd.fetch_kveos_details("x")
        print(fd.get_key_value("t", {"a": "t"}))
        """
    )
    assert out.strip() == "['a', ['rebound']]", err


HEAPTYPE = 1 << 9
MATCH_IS_STATIC = not type(re.search("x", "x")).__flags__ & HEAPTYPE
# A debug build (or a release one with assertions) aborts when a static type
# is modified; re.Match is static before CPython 3.10.
ASSERTIONS = hasattr(sys, "gettotalrefcount") or "-UNDEBUG" in (sysconfig.get_config_var("CFLAGS") or "")


@pytest.mark.skipif(MATCH_IS_STATIC and ASSERTIONS,
                    reason="re.Match is a static type here, which this interpreter's assertions forbid modifying")
def test_methods_replaced_on_their_types_are_seen():
    # str is static everywhere, so the model get_tolm_details calls replace()
    # on is a str subclass (a heap type) that the replaced groups() returns.
    code, out, err = run_python(
        """
        import ctypes, gc, re
        from talvern.platformdetails import function_def as fd
        def replace(cls, name, value):
            gc.get_referents(cls.__dict__)[0][name] = value
            ctypes.pythonapi.PyType_Modified(ctypes.py_object(cls))
        class Model(str):
            pass
        text = "Vantrel PRAV-12 Chassis TOLM-3 Chassis"
        print(fd.get_prav_details(text), fd.get_tolm_details(text))
        match_type = type(re.search("x", "x"))
        groups = match_type.groups
        replace(match_type, "group", lambda self, *n: "new group")
        replace(match_type, "groups", lambda self, *a: tuple(g if g is None else Model(g) for g in groups(self, *a)))
        print(fd.get_prav_details(text), fd.get_tolm_details(text))
        Model.replace = lambda self, old, new: "new replace"
        print(fd.get_prav_details(text), fd.get_tolm_details(text))
        """
    )
    assert out.splitlines() == ["PRAV-12 TOLM3", "new group TOLM3", "new group new replace"], err


def test_the_module_keeps_nothing_it_was_handed():
    class Action:
        def __call__(self, text):
            return ""

    action = Action()
    gone = weakref.ref(action)
    fd.invokeaction, saved = (lambda text, act: []), fd.invokeaction
    try:
        fd.get_key_value("t", {"a": action})
        del action
        assert gone() is None
    finally:
        fd.invokeaction = saved


def test_print_and_builtins_come_from_the_builtins_module():
    # Executed from a frame with builtins of its own, as an embedding
    # program or a custom loader may do.
    code, out, err = run_python(
        """
        import _imp, builtins, importlib.util
        spec = importlib.util.find_spec("talvern.platformdetails.function_def")
        module = _imp.create_dynamic(spec)
        own = {"print": lambda *args: builtins.print("own print"), "invokeaction": None,
               "__import__": builtins.__import__}
        exec("_imp.exec_dynamic(module)", {"__builtins__": own, "_imp": _imp, "module": module})
        module.invokeaction("t", None)
        del module.invokeaction
        try:
            module.get_key_value("t", {"a": "t"})
        except NameError as exc:
            print(exc)
        """
    )
    assert out.splitlines() == ["The action should be expression or a function",
                                "name 'invokeaction' is not defined"], err
