"""Checked by mypy --strict, not collected by pytest: the stub's types."""
from typing import assert_type

import numpy as np
import numpy.typing as npt

import kelvora_core_py as k


def check(packet: npt.NDArray[np.uint8], salt: npt.NDArray[np.uint8]) -> None:
    size = k.get_chunk_size(packet)
    assert_type(size, int)
    assert_type(k.get_chunk_size_min(packet, 8), int)
    assert_type(k.involute_packet(packet, salt, size), bytes)
    lo, hi = k.prep_condition(-1.0, 1, salt)
    assert_type(lo, int)
    assert_type(k.cond_hash_branch(lo, hi, 0.5, salt), int)
    assert_type(k.cond_involute_packet(packet, salt, size, lo, hi, np.float32(0.25)), bytes)
    key = np.frombuffer(k.gen_key("alice", "data", np.zeros(32, np.uint8)), dtype=np.uint8)
    assert_type(k.cycle_packet(packet, salt, salt, key, key, size), bytes)
    mapped = k.map_data(key, key, 0, [packet, packet])
    assert_type(mapped, bytes)
    rows = [np.frombuffer(mapped, dtype=np.uint8)] * 2
    assert_type(k.inv_data(key, [key, key], rows), list[bytes])
    blob = k.package_blob(packet, b"raw", "mode", 7, [1, 2, 3])
    assert_type(blob, bytes)
    assert_type(k.unpack_setup_packet(blob), tuple[bytes, bytes, str, int])
    assert_type(k.unpack_encrypted_packet(blob), tuple[bytes, bytes, bytes, str, int])
    try:
        k.get_chunk_size_min(packet, 0)
    except k.PanicException as failure:
        assert_type(failure, k.PanicException)
        base: BaseException = failure
