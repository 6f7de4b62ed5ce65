"""Hostile callers and inputs: C callers that pass their own keyword dict,
conversions whose Python code frees or changes arguments already converted,
finalisers run by the garbage collector inside a call, sequences that lie
about their length, and allocations that fail while a failure is reported.

Probes that crashed the process before they were fixed run in a child
interpreter, so a regression fails one test instead of ending the run.
"""
import ctypes

import numpy as np
import pytest

import kelvora_core_py as k
from support import raises_exactly, run_python, u8

# ---- C callers' own keyword dicts -------------------------------------------

# PyObject_Call(f, (), d) hands `d` itself to the function, where a Python
# call f(**d) would hand over a copy. ctypes.pythonapi keeps the interpreter
# lock and raises the exception the call leaves set.
_object_call = ctypes.pythonapi.PyObject_Call
_object_call.restype = ctypes.py_object
_object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_with_own_dict(fn, kwargs: dict):
    return _object_call(fn, (), kwargs)


def test_keyword_names_must_be_strings():
    with raises_exactly(TypeError, "keywords must be strings"):
        call_with_own_dict(k.get_chunk_size, {1: u8(b"abcd")})
    with raises_exactly(TypeError, "keywords must be strings"):
        call_with_own_dict(k.package_blob, {b"x": 1})
    assert call_with_own_dict(k.get_chunk_size, {"packet": u8(b"ABCDABCE")}) == 4


CLEARS_ITS_DICT = """
    import ctypes, numpy as np, kelvora_core_py as k
    from test_hostile import call_with_own_dict

    class ClearsTheDict:
        def __index__(self):
            kwargs.clear()  # drops the only reference to the 64 MiB packet
            return 4

    kwargs = {"packet": np.zeros(64 << 20, dtype=np.uint8), "min_size": ClearsTheDict()}
    print(call_with_own_dict(k.get_chunk_size_min, kwargs))
"""


def test_arguments_outlive_a_keyword_dict_cleared_during_conversion():
    done = run_python(CLEARS_ITS_DICT)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(64 << 20)]  # equal chunks for every divisor
