"""Helpers shared by the test suites."""
import contextlib

import numpy as np
import pytest


def u8(data) -> np.ndarray:
    """A one-dimensional uint8 array holding `data` (bytes or a list of ints)."""
    if isinstance(data, (bytes, bytearray)):
        return np.frombuffer(bytes(data), dtype=np.uint8).copy()
    return np.asarray(data, dtype=np.uint8)


def strided(n: int) -> np.ndarray:
    """A non-contiguous uint8 view of n elements (every second element)."""
    return np.arange(2 * n, dtype=np.uint8)[::2]


@contextlib.contextmanager
def raises_panic(message: str):
    """Expects PanicException (a BaseException, not an Exception) with `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert not isinstance(exc, Exception)
    assert exc.args == (message,)
