"""Argument binding: what each call shape binds, and the exact TypeError of
every shape that does not fit. Every case runs both through Python's call
syntax and through tp_call with a keyword dict (the `call` fixture)."""
import pytest

from conftest import DETECTOR_NAMES
from talvern.platformdetails import function_def as fd

T = "Linux Unix"


def arity(name, qualifier, count, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, qualifier, count, "" if count == 1 else "s", given)


DETECTOR_ERRORS = [
    ((), {}, arity("{}", "at least", 1, 0)),
    ((T, 1, 2), {}, arity("{}", "at most", 2, 3)),
    ((T, 1, 2), {"version": T}, arity("{}", "at most", 2, 3)),
    ((), {"spawn_id": 1}, arity("{}", "at least", 1, 0)),
    ((T,), {"foo": 1}, "{}() got an unexpected keyword argument 'foo'"),
    ((T,), {"version": T}, "{}() got multiple values for keyword argument 'version'"),
    ((T, 1), {"spawn_id": 1}, "{}() got multiple values for keyword argument 'spawn_id'"),
    # The keyword dict is walked in its own order: the first offender decides.
    ((T,), {"foo": 1, "version": T}, "{}() got an unexpected keyword argument 'foo'"),
    ((T,), {"version": T, "foo": 1}, "{}() got multiple values for keyword argument 'version'"),
]

OTHER_ERRORS = [
    ("invokeaction", (), {}, arity("invokeaction", "at least", 2, 0)),
    ("invokeaction", ("t",), {}, arity("invokeaction", "at least", 2, 1)),
    ("invokeaction", ("t", "a", "", 4), {}, arity("invokeaction", "at most", 3, 4)),
    ("invokeaction", (), {"action": "a"}, arity("invokeaction", "at least", 2, 0)),
    # The missing keyword's count is its position, not the number given.
    ("invokeaction", (), {"input_value": "t", "spawn_id": 1}, arity("invokeaction", "at least", 2, 1)),
    ("invokeaction", ("t",), {"spawn_id": 1}, arity("invokeaction", "at least", 2, 1)),
    ("invokeaction", ("t", "a"), {"input_value": "t"},
     "invokeaction() got multiple values for keyword argument 'input_value'"),
    ("invokeaction", ("t", "a"), {"bogus": 1}, "invokeaction() got an unexpected keyword argument 'bogus'"),
    ("get_key_value", (), {}, arity("get_key_value", "exactly", 2, 0)),
    ("get_key_value", ("t",), {}, arity("get_key_value", "exactly", 2, 1)),
    ("get_key_value", ("t", {}, 3), {}, arity("get_key_value", "exactly", 2, 3)),
    ("get_key_value", (), {"dict_name": {}}, arity("get_key_value", "exactly", 2, 0)),
    ("get_key_value", ("t", {}), {"dict_name": {}},
     "get_key_value() got multiple values for keyword argument 'dict_name'"),
    ("get_key_value", ("t", {}), {"spawn_id": ""}, "get_key_value() got an unexpected keyword argument 'spawn_id'"),
    ("get_key_value", ("t",), {"dict_name": {}, "spawn_id": ""},
     "get_key_value() got an unexpected keyword argument 'spawn_id'"),
]

ERRORS = [(name, args, kwargs, message.format(name)) for name in DETECTOR_NAMES
          for args, kwargs, message in DETECTOR_ERRORS] + OTHER_ERRORS


@pytest.mark.parametrize("name, args, kwargs, message", ERRORS)
def test_binding_errors(call, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(getattr(fd, name), *args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["get_garu_details", "invokeaction", "get_key_value"])
def test_non_string_keyword_from_c_code(name):
    from conftest import _PyObject_Call, call_through_c_api

    func = getattr(fd, name)
    with pytest.raises(TypeError) as info:
        call_through_c_api(func, ("t", {}), {1: 2})
    assert str(info.value) == "%s() keywords must be strings" % name
    # From 3.9 the interpreter refuses such a dict itself, before the call.
    with pytest.raises(TypeError, match="keywords must be strings"):
        _PyObject_Call(func, ("t", {}), {1: 2})


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return "seen"


SPAWN = object()


@pytest.mark.parametrize(
    "args, kwargs, expected_call",
    [
        (("t",), {}, ("t",)),
        (("t",), {"spawn_id": SPAWN}, ("t", SPAWN)),
        (("t",), {"spawn_id": None}, ("t",)),
        ((), {"input_value": "t", "spawn_id": SPAWN}, ("t", SPAWN)),
        (("t", SPAWN), {}, ("t", SPAWN)),
    ],
)
def test_invokeaction_binds_by_position_and_keyword(call, args, kwargs, expected_call):
    recorder = Recorder()
    if len(args) == 2:
        args = (args[0], recorder, args[1])
    else:
        kwargs = dict(kwargs, action=recorder)
    assert call(fd.invokeaction, *args, **kwargs) == ["seen"]
    assert recorder.calls == [expected_call]


@pytest.mark.parametrize("name", DETECTOR_NAMES)
@pytest.mark.parametrize(
    "args, kwargs",
    [((T,), {}), ((T, None), {}), ((T,), {"spawn_id": SPAWN}), ((), {"version": T}),
     ((), {"spawn_id": 0, "version": T})],
)
def test_detectors_bind_version_and_spawn_id(call, name, args, kwargs):
    func = getattr(fd, name)
    if name == "get_vkorin_details":
        with pytest.raises(AttributeError):
            call(func, *args, **kwargs)
    else:
        assert call(func, *args, **kwargs) == func(T)


def test_get_key_value_binds_keywords(call):
    assert call(fd.get_key_value, dict_name={"k": "x"}, input_value="x") == ["k", ["x", ()]]
