"""First calls from many threads at the same moment, in fresh processes: the
module's process-wide state (the module object, the NumPy table, the interned
parameter names, PanicException) is made once, every call gives what the same
call gives serially, and a free-threaded interpreter keeps its lock off."""
import json

import pytest

from support import FREE_THREADED, run_python

THREADS = 16
COPIES = 16     # copies of the module file per process, each with state of its own
PROCESSES = 6 if FREE_THREADED else 2  # where races can interleave most, repeat most

# In each round the threads load one copy of the module file at once, then
# make each first call at once (by keyword where the function has
# parameters); the main thread then makes the same calls serially. Prints
# whether the interpreter's lock was on after the first load and after the
# calls, and what differed from the serial calls.
CHILD = f"""
import importlib.util, json, os, shutil, sys, tempfile, threading, time
sys.setswitchinterval(1e-6)  # with an interpreter lock: switch threads as often as it can
import numpy as np
from support import permutation, u8

A = u8(b"ABCDEFGH")
KEY = permutation(1)
SEED = u8(bytes(range(32)))
CALLS = [
    ("involute_packet", dict(packet=A, salt=A, chunk_size=4)),
    ("cycle_packet", dict(packet=A, old_salt=A, new_salt=A[:3], old_key=KEY,
                          new_key=KEY[::-1].copy(), chunk_size=4)),
    ("get_chunk_size", dict(packet=A)),
    ("get_chunk_size_min", dict(packet=A, min_size=0)),  # PanicException
    ("cond_involute_packet", dict(packet=A, involute_salt=A, chunk_size=4, low_bound=0,
                                  high_bound=2**63, test_value=0.5)),
    ("gen_key", dict(party_id="p", purpose="q", master_seed=SEED)),
    ("prep_condition", dict(low_bound=0.0, high_bound=1.0, salt=A)),
    ("cond_hash_branch", dict(low_bound=1, high_bound=2**40, test_value=0.25, salt=A)),
    ("map_data", dict(pub_key=KEY, priv_key=KEY, identity=1, data_sequences=[A, A, A])),
    ("inv_data", dict(pub_key=KEY, priv_keys=[KEY, KEY], data_sequences=[A, A])),
    ("package_blob", None),
    ("unpack_setup_packet", dict(data=bytes(8))),  # ValueError
    ("unpack_encrypted_packet", dict(data=b"")),  # ValueError
]

def outcome(k, name, kwargs):
    fn = getattr(k, name)
    try:
        got = fn(b"pk", "mode", 7, A) if kwargs is None else fn(**kwargs)
    except BaseException as exc:
        own = type(exc) is getattr(k, "PanicException") or type(exc).__module__ == "builtins"
        return (type(exc).__name__ if own else "another class", str(exc))
    return sorted(got) if name == "gen_key" else got

def load(path):
    spec = importlib.util.spec_from_file_location("kelvora_core_py", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

origin = importlib.util.find_spec("kelvora_core_py").origin
folder = tempfile.mkdtemp()
copies = []
for r in range({COPIES}):
    os.mkdir(os.path.join(folder, str(r)))
    copies.append(shutil.copy(origin, os.path.join(folder, str(r))))

barrier = threading.Barrier({THREADS})
start = [0.0]

def at_once(t):
    # The barrier wakes threads one by one; spinning to a common moment lines
    # up those on a processor to within a microsecond.
    if barrier.wait() == 0:
        start[0] = time.perf_counter() + 0.002
    barrier.wait()
    while time.perf_counter() < start[0]:
        pass

modules = [[None] * {THREADS} for _ in copies]
classes = [[None] * {THREADS} for _ in copies]
results = [[None] * {THREADS} for _ in copies]
lock_after_load = []

def work(t):
    for r, path in enumerate(copies):
        at_once(t)
        k = modules[r][t] = load(path)
        at_once(t)
        classes[r][t] = k.PanicException
        results[r][t] = []
        for call in CALLS:
            at_once(t)
            if t == 0 and r == 0 and not lock_after_load:
                lock_after_load.append(getattr(sys, "_is_gil_enabled", lambda: True)())
            results[r][t].append(outcome(k, *call))

threads = [threading.Thread(target=work, args=(t,)) for t in range({THREADS})]
for t in threads:
    t.start()
for t in threads:
    t.join()
shutil.rmtree(folder)
serial = [outcome(modules[0][0], *call) for call in CALLS]
assert serial[3][0] == "PanicException", serial[3]
differ = sorted({{CALLS[i][0] for round in results for got in round
                 for i in range(len(CALLS)) if got[i] != serial[i]}})
differ += ["module"] * any(len(set(map(id, round))) != 1 for round in modules)
differ += ["PanicException"] * any(len(set(map(id, round))) != 1 for round in classes)
lock_after_calls = getattr(sys, "_is_gil_enabled", lambda: True)()
print(json.dumps([lock_after_load[0], lock_after_calls, differ]))
"""


@pytest.mark.parametrize("process", range(PROCESSES))
def test_first_calls_from_many_threads_at_once(process):
    done = run_python(CHILD, timeout=300)
    assert done.returncode == 0, done.stderr
    lock_after_load, lock_after_calls, differ = json.loads(done.stdout.splitlines()[-1])
    assert differ == []
    if FREE_THREADED:
        assert (lock_after_load, lock_after_calls) == (False, False)
