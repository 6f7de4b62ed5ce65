"""Hostile callers and inputs: C callers that pass their own keyword dict,
conversions whose Python code frees or changes arguments already converted,
finalisers run by the garbage collector inside a call, sequences that lie
about their length, and allocations that fail while a failure is reported.

Probes that crashed the process before they were fixed run in a child
interpreter, so a regression fails one test instead of ending the run.
"""
import ctypes
import gc
import sys

import numpy as np
import pytest

import kelvora_core_py as k
from support import lends_arrays, raises_exactly, run_python, u8

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


# ---- finalisers run by the garbage collector inside a call -------------------

# The collector runs when a new container object (a list, a tuple, an
# iterator) pushes the count of young objects past the threshold, and with it
# the finalisers of unreachable cycles. The rows below end their iteration by
# keeping `extra` new lists alive (and keep their iterator alive, as freeing
# it would lower the count again), so that for one `extra` the first container
# created after the last conversion sets the collection off, inside the call:
# the finaliser then zeroes an argument array. The result must be that of the
# arguments before the finaliser when it ran after the conversions (the core
# had read everything by then), and that of the zeroed array when it ran
# during them; never a mixture.
class Rows:
    def __init__(self, rows, extra: int):
        self.rows, self.extra, self.kept, self.done = rows, extra, [], False

    def __len__(self):
        return len(self.rows)

    def __getitem__(self, i):
        return self.rows[i]

    def __iter__(self):
        self.iterator = self._rows()
        return self.iterator

    def _rows(self):
        for row in self.rows:
            yield row
        for _ in range(self.extra):
            self.kept.append([])
        self.done = True


class ZeroesWhenCollected:
    """An unreachable cycle whose finaliser zeroes `rows.rows[0]` and tells when it ran."""

    def __init__(self, rows: Rows, log: list):
        self.rows, self.log, self.cycle = rows, log, self

    def __del__(self):
        self.rows.rows[0][:] = 0
        self.log.append("after conversion" if self.rows.done else "during conversion")


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="collections wait for the next bytecode from Python 3.12 on")
def test_finaliser_in_a_call_cannot_change_what_the_core_reads():
    pub = np.arange(256, dtype=np.uint8)
    keys = [np.random.default_rng(i).permutation(256).astype(np.uint8) for i in range(2)]
    rows = [np.arange(64, dtype=np.uint8), np.arange(64, 128, dtype=np.uint8)]
    before = k.inv_data(pub, keys, rows)
    zeroed = k.inv_data(pub, keys, [np.zeros(64, np.uint8), rows[1]])
    threshold = gc.get_threshold()
    inside = []
    try:
        for extra in range(60):
            data, log = Rows([rows[0].copy(), rows[1].copy()], extra), []
            gc.collect()
            ZeroesWhenCollected(data, log)
            gc.set_threshold(40)
            got = k.inv_data(pub, keys, data)
            log.append("returned")
            gc.set_threshold(*threshold)
            gc.collect()
            assert got == (zeroed if log[0] == "during conversion" else before), (extra, log)
            inside += log[:1] if log[0] == "after conversion" else []
    finally:
        gc.set_threshold(*threshold)
    assert inside, "no collection fell between the last conversion and the return"


# ---- arrays freed by another thread while a call reads them ----------------------

# While a long call reads slices of `words` without the interpreter lock, the
# main thread resizes `words` or gives it a new state: the resize is refused,
# the new state leaves the old memory to the call, and the call gives what it
# gives for the bytes as they were. Once it has ended, `words` owns its memory.
FREED_DURING_A_CALL = """
    import threading, time, numpy as np, kelvora_core_py as k

    words = np.arange(8 << 20, dtype=np.uint32)    # 32 MiB of distinct 64-byte chunks
    data, key = words.view(np.uint8), np.arange(256, dtype=np.uint8)
    call = {{
        "involute_packet": lambda: k.involute_packet(data, data[:16].copy(), 64),
        "map_data": lambda: k.map_data(key, key, 1, [data[i << 20:(i + 16) << 20]
                                                     for i in range(16)] * 2),
        "package_blob": lambda: k.package_blob(*[data] * 8),
    }}["{name}"]
    want = call()
    got = []
    caller = threading.Thread(target=lambda: got.append(call()))
    caller.start()
    deadline = time.monotonic() + 0.05
    while words.base is None and time.monotonic() < deadline:  # until the call reads
        time.sleep(0.001)
    try:
        {free}
    except ValueError as exc:
        print(exc)
    caller.join()
    assert got == [want]
    assert words.base is None and words.flags.owndata
"""


@lends_arrays
@pytest.mark.parametrize("free, refusal", [
    ("words.resize(10, refcheck=False)", "cannot resize this array: it does not own its data"),
    ("words.__setstate__((1, (10,), np.dtype(np.uint32), False, bytes(40)))", ""),
], ids=["resize", "__setstate__"])
@pytest.mark.parametrize("name", ["involute_packet", "map_data", "package_blob"])
def test_an_array_freed_during_a_call_stays_readable(name, free, refusal):
    done = run_python(FREED_DURING_A_CALL.format(name=name, free=free))
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == refusal


# ---- sequences that lie about their length ------------------------------------

class ClaimsToBeHuge(list):
    """A list whose __len__ claims sys.maxsize items; iteration gives the real ones."""

    def __len__(self):
        return sys.maxsize


KEY = np.random.default_rng(3).permutation(256).astype(np.uint8)
ROW = np.arange(40, dtype=np.uint8)


@pytest.mark.parametrize("call", [
    lambda seq: k.map_data(KEY, KEY, 1, seq([ROW, ROW[::-1].copy(), ROW])),
    lambda seq: k.inv_data(KEY, seq([KEY, KEY]), [ROW, ROW]),
    lambda seq: k.inv_data(KEY, [KEY, KEY], seq([ROW, ROW])),
    lambda seq: k.package_blob(b"x", seq([1, 2, 3]), seq([])),
], ids=["map_data", "inv_data keys", "inv_data data", "package_blob"])
def test_a_length_is_only_a_hint(call):
    assert call(ClaimsToBeHuge) == call(list)


# ---- allocations that fail while a failure is reported ---------------------------

# _testcapi.set_nomemory(n, n + 1) makes the allocation after the next n fail,
# one at a time over every allocation of a failing call: also the one that
# makes the failure's message into a str. Each call must end in the failure's
# PanicException or in MemoryError; the process must never abort.
FAILS_ONE_ALLOCATION_AT_A_TIME = """
    import _testcapi, numpy as np, kelvora_core_py as k

    key, other = np.arange(256, dtype=np.uint8), np.zeros(256, dtype=np.uint8)
    packet = np.arange(16, dtype=np.uint8)

    def mismatched_keys():
        return k.cycle_packet(packet, packet, packet, key, other, 4)

    outcomes = set()
    for n in range(-1, 60):   # -1: nothing fails (the PanicException class is made then)
        if n >= 0:
            _testcapi.set_nomemory(n, n + 1)
        try:
            mismatched_keys()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            outcomes.add(type(exc).__name__)
        else:
            _testcapi.remove_mem_hooks()
            outcomes.add("no failure")
    print(" ".join(sorted(outcomes)))
"""


def test_no_allocation_failure_while_reporting_a_failure_aborts():
    pytest.importorskip("_testcapi")
    done = run_python(FAILS_ONE_ALLOCATION_AT_A_TIME)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["MemoryError", "PanicException"]
