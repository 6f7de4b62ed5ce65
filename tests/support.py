"""Helpers and message texts shared by the test suites."""
import contextlib
import os
import sysconfig
import subprocess
import sys
import textwrap

import numpy as np
import pytest

ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NOT_CONTIGUOUS = "The given array is not contiguous"
NO_IMAGE = "called `Option::unwrap()` on a `None` value"
UNSUPPORTED = ("Unsupported field type; expected bytes-like, numpy.uint8 array, str, "
               "or non-negative int")
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_python(code: str, timeout: float = 120, **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a new interpreter that imports the module under test."""
    env = dict(os.environ)
    module_dir = env.get("KELVORA_MODULE_DIR")
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.abspath(module_dir) if module_dir else None, TESTS_DIR,
                    env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


# Code run in a fresh interpreter to measure the peak memory of one call:
# peak_growth(call, *arrays) makes the arrays resident, resets the resident
# high-water mark (/proc/self/clear_refs, "5"), runs call() and returns its
# result (or the text of the ValueError it raised) and the bytes the mark grew by.
PEAK_PRELUDE = """
import numpy as np, kelvora_core_py as k

def high_water_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])

def peak_growth(call, *arrays):
    for a in arrays:
        a[:] = a
    open("/proc/self/clear_refs", "w").write("5")
    before = high_water_kib()
    try:
        result = call()
    except ValueError as e:
        result = str(e)
    return result, (high_water_kib() - before) * 1024
"""


def _sanitizer_loaded() -> bool:
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def user_mode_emulation() -> str:
    """How this process is emulated, or "" when it runs on its own machine.

    Under user-mode emulation (qemu-user) uname() names the emulated machine,
    while the kernel still reports its own architecture in /proc/sys/kernel/arch.
    """
    try:
        with open("/proc/sys/kernel/arch") as f:
            kernel = f.read().strip()
    except OSError:
        return ""
    machine = os.uname().machine
    return "" if machine == kernel else f"{machine} emulated in user mode on an {kernel} kernel"


# A free-threaded interpreter: no call holds or releases a lock there, and
# the module lends no arrays to its calls.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
lends_arrays = pytest.mark.skipif(
    FREE_THREADED,
    reason="a free-threaded interpreter has no lock for calls to release, and nothing is lent")

# Peak-memory tests need a resettable high-water mark, and stay out of the
# sanitizer run, whose allocator keeps freed memory in quarantine, and out of
# user-mode emulation, where the resident set is the emulator's and grows as
# it translates code.
measures_peak_memory = pytest.mark.skipif(
    not os.access("/proc/self/clear_refs", os.W_OK)
    or (os.path.exists("/proc/self/maps") and _sanitizer_loaded())
    or bool(user_mode_emulation()),
    reason="the resident high-water mark cannot be measured here")


def u8(data) -> np.ndarray:
    """A one-dimensional uint8 array holding `data` (bytes or a list of ints)."""
    if isinstance(data, (bytes, bytearray)):
        return np.frombuffer(bytes(data), dtype=np.uint8).copy()
    return np.asarray(data, dtype=np.uint8)


def strided(n: int) -> np.ndarray:
    """A non-contiguous uint8 view of n elements (every second element)."""
    return np.arange(2 * n, dtype=np.uint8)[::2]


def permutation(seed: int) -> np.ndarray:
    """A key table: the 256 byte values in an order drawn from `seed`."""
    return np.random.default_rng(seed).permutation(256).astype(np.uint8)


def distinct_packet(n: int, s: int, seed: int = 0) -> bytes:
    """n pairwise distinct chunks of s >= 2 bytes, random after a shuffled counter."""
    rng = np.random.default_rng(seed)
    body = rng.integers(0, 256, size=(n, s), dtype=np.uint8)
    ids = rng.permutation(n)
    for i in range(min(s, 4)):
        body[:, i] = (ids >> (8 * i)) & 0xFF
    return body.tobytes()


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class CausedIndex:
    """__index__ fails with a TypeError that has a cause."""

    def __index__(self):
        raise TypeError("boom") from KeyError("root")


class IndexFailsButIsASequence:
    """Not an integer (its __index__ fails), but a sequence of the bytes 'ab'."""

    def __index__(self):
        raise ValueError("not an index")

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return (97, 98)[i]


class BrokenSequence:
    """Three items, the second of which raises ZeroDivisionError("item")."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise ZeroDivisionError("item")
        return np.zeros(4, dtype=np.uint8)


@contextlib.contextmanager
def raises_exactly(kind, message: str):
    """Expects an exception of exactly type `kind` whose text is `message`."""
    with pytest.raises(kind) as info:
        yield info
    assert type(info.value) is kind, repr(info.value)
    assert str(info.value) == message


@contextlib.contextmanager
def raises_panic(message: str):
    """Expects PanicException (a BaseException, not an Exception) with `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert not isinstance(exc, Exception)
    assert exc.args == (message,)
