import ctypes

import pytest

FUNCTION_NAMES = [
    "fetch_kveos_details",
    "get_garu_details",
    "get_vkorin_details",
    "get_prav_details",
    "get_tolm_details",
    "invokeaction",
    "get_key_value",
]
DETECTOR_NAMES = FUNCTION_NAMES[:5]

_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_through_c_api(func, args, kwargs):
    """func(*args, **kwargs) through the type's tp_call with the keyword dict
    as given (keys need not be str there). From 3.9 PyObject_Call on the
    function itself would take the vectorcall entry instead, so the call
    goes through the type's __call__ slot wrapper."""
    return _PyObject_Call(type(func).__call__, (func,) + tuple(args), dict(kwargs))


@pytest.fixture(params=["python", "c-api"])
def call(request):
    """Calls a function through Python's call syntax (vectorcall where the
    interpreter has it) or through tp_call with a keyword dict."""
    if request.param == "python":
        return lambda func, *args, **kwargs: func(*args, **kwargs)
    return lambda func, *args, **kwargs: call_through_c_api(func, args, kwargs)
