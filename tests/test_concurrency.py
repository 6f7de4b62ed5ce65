"""Threads and processes: many Python threads calling every function at once,
other threads running while a long call works, signals ending long calls,
forked children and grandchildren whose calls run on a worker pool of their
own, process pools (fork and spawn) compared with a serial loop and carrying
PanicException back, interpreter exit while the pool is running, and a
process in which NumPy cannot be imported.

Every wait is bounded: joins, queue reads and subprocesses have timeouts, and a
child that does not finish in time is killed and reported.
"""
import concurrent.futures
import functools
import json
import multiprocessing
import operator
import os
import random
import select
import signal
import sys
import textwrap
import threading
import time
import traceback

import numpy as np
import pytest

import concurrency_tasks as tasks
import kelvora_core_py as k
from models import order_map
from support import lends_arrays, run_python, strided, u8, user_mode_emulation

TIMEOUT = 120  # seconds for any one child, join or subprocess


def outcome(call):
    """What a call gave: its value, or its exception's type name and message."""
    try:
        return ("value", call())
    except BaseException as exc:  # PanicException included
        return ("raised", type(exc).__name__, str(exc))


def without_threads(digests: dict) -> dict:
    return {name: value for name, value in digests.items() if name != "threads"}


def assert_pool_ran(digests: dict):
    """The calls started worker threads in this process (when there can be any)."""
    before, after = digests["threads"]
    if tasks.pool_expected():
        assert after > before, digests["threads"]


# ---- many Python threads at once --------------------------------------------------

THREADS = 8
ROUNDS = 3
SMALL = np.arange(64, dtype=np.uint8)           # 16 distinct chunks of 4 bytes
KEY = np.random.default_rng(3).permutation(256).astype(np.uint8)
BLOB = k.package_blob(b"public key", b"packet", "mode", 7)
ENCRYPTED = k.package_blob(b"public key", b"private key", b"packet", "mode", 7)
NO_IMAGE_NAN = order_map.double_from_bits(0x7FFFFFFFFFFFFFFF)   # a NaN the map cannot place


def lowest_failing_column():
    """map_data whose failures lie in several columns, found on pool workers;
    the lowest column's is the one reported."""
    data = np.zeros((5, 400_000), dtype=np.uint8)
    data[1, 390_001], data[2, 123_456], data[3, 300_000] = 150, 120, 200
    return data


def jobs_for(index: int):
    """The calls of one thread: its own salts and data (and arrays shared by
    all threads), every function, values and each kind of failure, small
    calls and calls on the pool."""
    packet, data, pub, privs, (old_key, new_key) = tasks.big_inputs()
    salt = u8(bytes([index]) * 9)
    other = u8(bytes([index, 1]))
    lo, hi = k.prep_condition(0.0, 1.0, salt)
    sequences = [np.roll(row, index) for row in data]
    failing = lowest_failing_column()
    return [
        ("involute big", lambda: k.involute_packet(packet, salt, tasks.BIG_CHUNK)),
        ("involute small", lambda: k.involute_packet(SMALL, salt, 4)),
        ("involute length", lambda: k.involute_packet(SMALL, salt, 5)),
        ("involute duplicate", lambda: k.involute_packet(np.zeros(64, np.uint8), salt, 4)),
        ("cycle big", lambda: k.cycle_packet(packet, salt, other, old_key, new_key, 64)),
        ("cycle keys", lambda: k.cycle_packet(SMALL, salt, other, KEY, KEY[:9], 4)),
        ("chunk size", lambda: k.get_chunk_size(packet[: 4096 + index])),
        ("chunk size min", lambda: k.get_chunk_size_min(SMALL, index + 1)),
        ("chunk size zero", lambda: k.get_chunk_size_min(SMALL, 0)),
        ("cond big", lambda: k.cond_involute_packet(packet, salt, 64, lo, hi, 2.0 + index)),
        ("cond inside", lambda: k.cond_involute_packet(SMALL, salt, 4, lo, hi, 0.5)),
        ("prep", lambda: k.prep_condition(-index, index, salt)),
        ("prep nan", lambda: k.prep_condition(NO_IMAGE_NAN, 1.0, u8(b"x"))),
        ("branch", lambda: k.cond_hash_branch(lo, hi, index / 8, salt)),
        ("map big", lambda: k.map_data(pub, privs[index % 4], index % 4, sequences)),
        ("map fails on workers", lambda: k.map_data(pub[:100].copy(), privs[0], 0, failing)),
        ("inv big", lambda: k.inv_data(pub, privs, sequences)),
        ("inv count", lambda: k.inv_data(pub, privs[:3], sequences)),
        ("blob", lambda: k.package_blob(salt, "thread", index, [index])),
        ("blob unsupported", lambda: k.package_blob(salt, None)),
        ("blob not contiguous", lambda: k.package_blob(strided(5))),
        ("setup", lambda: k.unpack_setup_packet(BLOB)),
        ("setup cut", lambda: k.unpack_setup_packet(BLOB[:-1])),
        ("encrypted", lambda: k.unpack_encrypted_packet(ENCRYPTED)),
        ("encrypted as setup", lambda: k.unpack_encrypted_packet(BLOB)),
        ("binding", lambda: k.get_chunk_size(SMALL, packet=SMALL)),
        ("conversion", lambda: k.involute_packet(SMALL, salt, -1)),
    ]


def run_thread(index: int, barrier: threading.Barrier):
    jobs = jobs_for(index)
    order = [i for i in range(len(jobs)) for _ in range(ROUNDS)]
    random.Random(index).shuffle(order)
    seed = u8(bytes(range(32)))
    results, tables = [], []
    barrier.wait()
    for position, i in enumerate(order):
        results.append((i, outcome(jobs[i][1])))
        if position % 4 == 0:
            tables.append(k.gen_key(f"party {index}", "threads", seed))
    return results, tables


@pytest.fixture
def fast_switching():
    """Threads switch every microsecond, between any two calls."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def test_threads_give_the_serial_results(fast_switching):
    serial = [[outcome(call) for _, call in jobs_for(i)] for i in range(THREADS)]
    # Both outcomes occur: every thread sees values and each kind of failure.
    kinds = {o[0] if o[0] == "value" else o[1] for o in serial[0]}
    assert kinds == {"value", "ValueError", "TypeError", "OverflowError", "PanicException"}

    barrier = threading.Barrier(THREADS, timeout=TIMEOUT)
    with concurrent.futures.ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(run_thread, i, barrier) for i in range(THREADS)]
        done = [f.result(timeout=TIMEOUT) for f in futures]

    tables = []
    for index, (results, keys) in enumerate(done):
        assert len(results) == ROUNDS * len(serial[index])
        for i, got in results:
            assert got == serial[index][i], (index, jobs_for(index)[i][0])
        tables.extend(keys)
    assert all(sorted(t) == list(range(256)) for t in tables)
    assert len(set(tables)) == len(tables)   # fresh randomness in every call


# ---- long calls share the interpreter --------------------------------------------

def another_thread_ran_during(call) -> tuple:
    """Whether another Python thread ran while `call` worked, and what `call` gave.

    The switch interval is raised far beyond the call's length, so this thread
    gives the interpreter lock up only where it blocks or where a call releases
    it. The other thread, let go just before the call, then runs before the
    call returns only if the call released the lock: what it sees tells which,
    whatever else the machine is doing."""
    gate, returned, seen = threading.Lock(), [], []
    gate.acquire()

    def other():
        gate.acquire()
        seen.append(not returned)

    saved = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    try:
        thread = threading.Thread(target=other)
        thread.start()   # it runs on to the gate and waits there, releasing the lock
        gate.release()
        result = call()
        returned.append(True)
        thread.join(TIMEOUT)
    finally:
        sys.setswitchinterval(saved)
    return seen == [True], result


@pytest.mark.parametrize("name", ["involute_packet", "map_data"])
def test_other_threads_run_during_a_long_call(name):
    # Holding the interpreter lock, the call would keep the other thread out until it returned.
    call = tasks.long_calls()[name]
    expected = call()
    for _ in range(3):   # the other thread, ready to run, may wait for a core while the call works
        ran, result = another_thread_ran_during(call)
        assert result == expected
        if ran:
            break
    assert ran, "no other thread ran while the call worked"


@lends_arrays
def test_the_lock_is_released_from_64_kib_of_work(fast_switching):
    # map_data over n one-byte rows: n bytes of work. While the call converts
    # its n rows, the watcher asks for the lock; a call that then releases it
    # hands it over (a forced switch) and the watcher, running during the
    # call, finds the row lent to it (its base is the loans' marker).
    row, key, stop = np.zeros(1, np.uint8), np.arange(256, dtype=np.uint8), threading.Event()
    seen = []

    def watch():
        while not stop.is_set():
            if row.base is not None:
                seen.append(True)

    def seen_during(n: int, calls: int) -> bool:
        rows = [row] * n
        seen.clear()
        for _ in range(calls):
            k.map_data(key, key, 0, rows)
            if seen:
                return True
        return False

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        assert not seen_during((64 << 10) - 1, 20)
        assert seen_during(64 << 10, 50)
    finally:
        stop.set()
        watcher.join(TIMEOUT)


def stopped_by_sigint(call) -> bool:
    """Whether call() (a C callable, such as a partial object), made on the main
    thread, ends in KeyboardInterrupt before its end when SIGINT comes 10 ms
    into it. A signal sent only after the call returned (the sending thread
    kept from running meanwhile) tells nothing: the call is made again."""
    for _ in range(5):
        stopped, sent_in_time = sigint_during(call)
        if stopped or sent_in_time:
            return stopped
    return False


def sigint_during(call):
    """(whether call() ended in KeyboardInterrupt, whether SIGINT was sent
    before it returned). C code calls it and then reads the clock (list.extend
    over map), so no handler runs between the two."""
    go, sent, finished = threading.Event(), [], []

    def send_sigint():
        go.wait(TIMEOUT)
        time.sleep(0.01)
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    def handle_pending_signals():
        pass  # entering a Python function runs the handlers of signals that came

    sender = threading.Thread(target=send_sigint)
    saved = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        try:
            sender.start()
            go.set()
            finished.extend(map(operator.methodcaller("__call__"), [call, time.monotonic]))
        finally:
            sender.join(TIMEOUT)
            handle_pending_signals()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGINT, saved)
    return not finished, bool(sent) and len(finished) == 2 and sent[0] < finished[1]


@pytest.mark.parametrize("name", sorted(tasks.long_calls()))
def test_sigint_ends_a_long_call(name):
    assert stopped_by_sigint(tasks.long_calls()[name]), "the call ran to its end"
    # Nothing of the stopped call is left running: the pool takes new work.
    assert k.involute_packet(SMALL, SMALL[:5], 4) == k.involute_packet(SMALL, SMALL[:5], 4)


# ---- os.fork --------------------------------------------------------------------

def reap(pid: int, deadline: float) -> int:
    """The exit code of child `pid`; killed and reported when past `deadline`."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError(f"child {pid} did not finish in time")
        time.sleep(0.01)


def in_forked_child(work, timeout: float = TIMEOUT):
    """Runs `work` in a child made by os.fork() and returns its JSON result."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 70
        try:
            os.close(read_end)
            payload = json.dumps(work()).encode()
            with os.fdopen(write_end, "wb") as out:
                out.write(payload)
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    os.close(write_end)
    deadline = time.monotonic() + timeout
    chunks = []
    try:
        while True:
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            chunk = os.read(read_end, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(read_end)
    assert reap(pid, deadline) == 0
    return json.loads(b"".join(chunks))


needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="no os.fork on this system")


# qemu-user cannot start threads in a process forked from a forked child that
# ran threads of its own: its translator fails an assertion and the grandchild
# exits with status 127.
@needs_fork
@pytest.mark.skipif(bool(user_mode_emulation()),
                    reason=f"fork under qemu-user ({user_mode_emulation()}) cannot start threads "
                           "in a grandchild")
def test_forked_child_and_grandchild_run_their_own_pools():
    # The parent's pool is running when it forks; the child's is running when
    # it forks the grandchild. Each process rebuilds the pool on first use,
    # and the parent's keeps working.
    want = without_threads(tasks.pooled_digests())

    def child():
        mine = tasks.pooled_digests()
        return [mine, in_forked_child(tasks.pooled_digests)]

    child_digests, grandchild_digests = in_forked_child(child)
    for got in (child_digests, grandchild_digests):
        assert without_threads(got) == want
        assert_pool_ran(got)
    assert without_threads(tasks.pooled_digests()) == want


@needs_fork
def test_fork_from_a_thread_while_others_call():
    # One thread forks while the others keep calling into the module. In the
    # child that thread is the main thread: Ctrl-C stops its long calls.
    want = without_threads(tasks.pooled_digests())
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            tasks.big_involution()

    threads = [threading.Thread(target=busy) for _ in range(3)]
    for t in threads:
        t.start()
    packet = np.arange(1 << 22, dtype=np.uint32).view(np.uint8)   # 16 MiB, distinct chunks

    def child():
        return [tasks.pooled_digests(),
                stopped_by_sigint(functools.partial(k.involute_packet, packet, SMALL, 64))]

    try:
        with concurrent.futures.ThreadPoolExecutor(1) as forker:
            got, stopped = forker.submit(in_forked_child, child).result(timeout=TIMEOUT)
    finally:
        stop.set()
        for t in threads:
            t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    assert without_threads(got) == want
    assert_pool_ran(got)
    assert stopped, "Ctrl-C did not stop a long call in the child"


# ---- process pools ------------------------------------------------------------------

def packet_jobs():
    rng = np.random.default_rng(11)
    jobs = []
    for i in range(40):
        size, chunk = [(8 * 1024, 8), (64 * 1024, 16), (96 * 1024, 48)][i % 3]
        jobs.append((rng.bytes(size), rng.bytes(i % 20), rng.bytes(5), chunk))
    for i in range(2):  # large enough for the pool of each worker process
        jobs.append((rng.bytes(tasks.BIG_PACKET), rng.bytes(16), rng.bytes(3), tasks.BIG_CHUNK))
    return jobs


# Forked workers inherit a started pool, spawned ones import the module afresh.
# A worker's PanicException arrives as itself, found by name when unpickled.
@pytest.mark.parametrize("method", [pytest.param("fork", marks=needs_fork), "spawn"])
def test_process_pool_executor_matches_a_serial_loop(method):
    jobs = packet_jobs()
    serial = [tasks.rekey(*job) for job in jobs]
    executor = concurrent.futures.ProcessPoolExecutor(
        max_workers=2, mp_context=multiprocessing.get_context(method))
    try:
        parallel = list(executor.map(tasks.rekey, *zip(*jobs), timeout=TIMEOUT))
        panic = executor.submit(tasks.panics).exception(timeout=TIMEOUT)
    finally:
        # shutdown(wait=True) could wait forever on a stuck worker: join each
        # worker process with a bound instead (the executor has no public list).
        processes = list((executor._processes or {}).values())
        executor.shutdown(wait=False, cancel_futures=True)
        for process in processes:
            process.join(TIMEOUT)
            if process.is_alive():
                process.kill()
    assert parallel == serial
    assert all(len(inv) == len(cyc) == len(job[0]) for (inv, cyc), job in zip(serial, jobs))
    assert type(panic) is k.PanicException and panic.args == (tasks.PANIC_MESSAGE,)


# ---- interpreter exit -------------------------------------------------------------

STARTS_THE_POOL = """
    import sys, threading
    import concurrency_tasks as tasks
    digests = tasks.pooled_digests()
    assert digests["restored"]
    before, after = digests["threads"]
    assert after > before or not tasks.pool_expected(), digests["threads"]
"""

# Runs the functions added to `at_exit` from an atexit function registered
# before the module's import, so after the module's own.
BEFORE_IMPORT = """
    import atexit
    at_exit = []
    atexit.register(lambda: [f() for f in at_exit])
"""

LONG_CALL_IN_A_DAEMON = """
        import os, time
        import numpy as np, kelvora_core_py as k
        packet = np.arange(1 << 22, dtype=np.uint32).view(np.uint8)   # a call of about 0.3 s
        started, done = threading.Event(), []
        def work():
            started.set()
            done.append(k.involute_packet(packet, tasks.SALT, 64))
        worker = threading.Thread(target=work, daemon=True)
"""

EXIT_SCRIPTS = {
    "sys.exit": "sys.exit(0)",
    "sys.exit with a daemon thread in pool calls": """
        busy = threading.Event()
        def loop():
            while True:
                tasks.big_involution()
                busy.set()
        threading.Thread(target=loop, daemon=True).start()
        assert busy.wait(60)
        sys.exit(0)
    """,
    "sys.exit with a thread still running": """
        started = threading.Event()
        def work():
            started.set()
            for _ in range(5):
                tasks.big_involution()
        threading.Thread(target=work).start()
        assert started.wait(60)
        sys.exit(0)
    """,
    # The call ends while finalization sleeps in a __del__ (of an object in a
    # module that only sys.modules holds), the lock released: asking for the
    # lock then ends the thread, which must stay parked instead.
    "a daemon thread's call ends while the interpreter finalizes": LONG_CALL_IN_A_DAEMON + """
        import types
        class SlowToGo:
            def __del__(self, sleep=time.sleep):
                sleep(1)
        sys.modules["slow_to_go"] = types.ModuleType("slow_to_go")
        sys.modules["slow_to_go"].it = SlowToGo()
        worker.start()
        assert started.wait(60)
        time.sleep(0.05)
        sys.exit(0)
    """,
    # The call ends during the atexit functions: it must take the lock back.
    "an exit function registered before the import joins a thread in a call": (
        BEFORE_IMPORT, LONG_CALL_IN_A_DAEMON + """
        at_exit.append(lambda: worker.join(30) or done or os._exit(3))
        worker.start()
        assert started.wait(60)
        sys.exit(0)
    """),
}


@pytest.mark.parametrize("script", EXIT_SCRIPTS.values(), ids=EXIT_SCRIPTS.keys())
def test_exit_with_the_pool_started(script):
    before, tail = script if isinstance(script, tuple) else ("", script)
    done = run_python(
        "".join(textwrap.dedent(part) for part in (before, STARTS_THE_POOL, tail)), timeout=60)
    assert done.returncode == 0, done.stderr
    assert "runtime error" not in done.stderr  # UndefinedBehaviorSanitizer's reports


# ---- NumPy cannot be imported ---------------------------------------------------

WITHOUT_NUMPY = """
    import sys

    class NoNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    blocker = NoNumpy()
    sys.meta_path.insert(0, blocker)
    import kelvora_core_py as k
    assert "numpy" not in sys.modules

    def panic_message(call):
        try:
            call()
        except Exception as exc:
            raise AssertionError(f"an ordinary exception: {exc!r}")
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException", repr(exc)
            return exc.args[0]
        raise AssertionError("no failure")

    # Calls that need no array work; binding errors come before any conversion.
    blob = k.package_blob(b"pk", b"packet", "mode", 7)
    assert k.unpack_setup_packet(blob) == (b"pk", b"packet", "mode", 7)
    try:
        k.get_chunk_size()
    except TypeError as exc:
        assert str(exc) == "get_chunk_size() missing 1 required positional argument: 'packet'"
    else:
        raise AssertionError("no TypeError")

    messages = [panic_message(call) for call in (
        lambda: k.get_chunk_size(b"abcd"),      # the first array conversion
        lambda: k.involute_packet(b"ab", b"", 1),
        lambda: k.gen_key("party", "purpose", bytes(32)),
        lambda: k.map_data(b"", b"", 0, []),
        lambda: k.inv_data(b"", [], []),
    )]
    print(json.dumps(messages))

    # Once NumPy can be imported, arrays are accepted.
    sys.meta_path.remove(blocker)
    import numpy as np
    assert k.get_chunk_size(np.arange(12, dtype=np.uint8)) == 4
    assert k.involute_packet(np.arange(8, dtype=np.uint8), np.zeros(0, np.uint8), 4) == \\
        k.involute_packet(np.arange(8, dtype=np.uint8), np.zeros(0, np.uint8), 4)
"""


def test_import_without_numpy_and_first_array_conversion():
    done = run_python("import json\n" + textwrap.dedent(WITHOUT_NUMPY), timeout=60)
    assert done.returncode == 0, done.stderr
    messages = json.loads(done.stdout)
    assert len(messages) == 5
    for message in messages:
        assert message.startswith("Failed to access NumPy array API capsule"), message
    # Each failure was also reported on standard error.
    assert done.stderr.count("Failed to access NumPy array API capsule") >= 5


def test_children_have_the_parents_module():
    # The subprocess helpers above import the build under test, not another copy.
    done = run_python("import kelvora_core_py as k; print(k.__file__)")
    assert done.returncode == 0, done.stderr
    assert os.path.realpath(done.stdout.strip()) == os.path.realpath(k.__file__)

