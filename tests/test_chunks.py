"""Chunk size selection."""
import os

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from support import run_python, u8, user_mode_emulation


def model_chunk_size(packet: bytes, minimum: int = 4) -> int:
    """Smallest s in [minimum, L/2] dividing L with pairwise distinct chunks, else L."""
    n = len(packet)
    if n == 0:
        return 0
    for s in range(minimum, n // 2 + 1):
        if n % s == 0:
            chunks = [packet[i:i + s] for i in range(0, n, s)]
            if len(set(chunks)) == len(chunks):
                return s
    return n


@pytest.mark.parametrize("packet, expected", [
    (b"", 0), (b"abcdefg", 7), (b"ABCDABCD", 8), (b"ABCDABCE", 4), (b"ABCDEFABCDEF", 4),
    (bytes(range(13)), 13), (bytes(24), 24), (b"\x01" * 5, 5),
    # Chunks of 4 repeat, chunks of 6 are all different: the first usable size wins.
    (b"AAAAAA" + b"AAAAAB" + b"AAAAAC" + b"AAAAAD", 6),
    # Chunks of 8 bytes compare as whole values, including all-ones chunks.
    (b"\xff" * 8 + b"\xfe" * 8 + b"\xff" * 7 + b"\x00" + b"\x00" * 8, 8),
])
def test_worked_examples(packet, expected):
    assert k.get_chunk_size(u8(packet)) == expected
    assert k.get_chunk_size_min(u8(packet), 4) == expected


@pytest.mark.parametrize("packet, minimum, expected", [
    (b"", 0, 0), (b"", 9, 0), (bytes(range(10)), 1, 1), (b"\x07" * 12, 1, 12),
    (bytes(range(10)), 5, 5), (bytes(range(10)), 6, 10), (bytes(range(10)), 2**64 - 1, 10),
])
def test_with_minimum(packet, minimum, expected):
    assert k.get_chunk_size_min(u8(packet), minimum) == expected


def test_long_chunks_with_equal_hash_prefixes():
    # Chunks of 16 bytes that differ only in their last byte.
    chunks = [bytes(15) + bytes([i]) for i in range(64)]
    assert k.get_chunk_size(u8(b"".join(chunks))) == 16
    repeated = b"".join(chunks + [chunks[3]])
    assert k.get_chunk_size(u8(repeated)) == model_chunk_size(repeated)


# Random bytes rarely repeat a chunk; packets of a few two-byte parts often do.
PACKETS = st.one_of(st.binary(max_size=300),
                    st.lists(st.sampled_from([b"ab", b"cd", b"ef", b"gh"]), max_size=60).map(b"".join))


@given(PACKETS, st.one_of(st.integers(1, 4), st.integers(1, 40)))
def test_matches_the_model(packet, minimum):
    assert k.get_chunk_size_min(u8(packet), minimum) == model_chunk_size(packet, minimum)
    assert k.get_chunk_size(u8(packet)) == model_chunk_size(packet)


def test_large_packet_every_divisor_tried():
    packet = np.zeros(1 << 16, dtype=np.uint8)
    assert k.get_chunk_size(packet) == 1 << 16
    distinct = np.arange(1 << 14, dtype="<u4").view(np.uint8)
    assert k.get_chunk_size(distinct) == 4


# Peak memory of one call, in a fresh interpreter: the high-water mark of the
# resident set is reset just before the call (/proc/self/clear_refs, "5") and
# read just after it. Each packet is 2 MiB (1.5 MiB for the 3-byte chunks).
PEAK_OF_ONE_CALL = """
    import sys, numpy as np, kelvora_core_py as k

    def high_water_kib():
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

    rng = np.random.default_rng(0)
    L = 2 << 20
    case = sys.argv[1]
    if case == "random":                  # 4-byte chunks repeat after ~80000, 8-byte ones never
        p, call = rng.integers(0, 256, L, dtype=np.uint8), lambda: k.get_chunk_size(p)
    elif case == "256 distinct bytes, then zeros":   # min 1: sizes 1 and 2 cannot be distinct
        p = np.zeros(L, np.uint8)
        p[:256] = np.arange(256)
        call = lambda: k.get_chunk_size_min(p, 1)
    elif case == "1000 distinct 4-byte chunks, then zeros":
        p = np.zeros(L, np.uint8)
        p[:4000] = np.arange(1, 1001, dtype="<u4").view(np.uint8)
        call = lambda: k.get_chunk_size(p)
    elif case == "distinct 3-byte chunks":
        p = np.ascontiguousarray(
            np.arange(1, L // 4 + 1, dtype="<u4").view(np.uint8).reshape(-1, 4)[:, :3]).reshape(-1)
        call = lambda: k.get_chunk_size_min(p, 3)
    p[:] = p   # resident before the mark is reset
    open("/proc/self/clear_refs", "w").write("5")
    before = high_water_kib()
    result = call()
    print(result, (high_water_kib() - before) * 1024 / p.size)
"""


def sanitizer_loaded() -> bool:
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


@pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK),
                    reason="the resident high-water mark cannot be reset here")
@pytest.mark.skipif(os.path.exists("/proc/self/maps") and sanitizer_loaded(),
                    reason="the sanitizer's allocator keeps freed memory in quarantine")
@pytest.mark.skipif(bool(user_mode_emulation()),
                    reason="under user-mode emulation the resident set is the emulator's, which "
                           "grows as it translates code and starts the pool's threads")
@pytest.mark.parametrize("case, result, most", [
    ("random", 8, 2.0),
    ("256 distinct bytes, then zeros", 1 << 20, 0.5),
    ("1000 distinct 4-byte chunks, then zeros", 1 << 20, 0.5),
    ("distinct 3-byte chunks", 3, 2.0),
])
def test_peak_memory_stays_within_twice_the_packet(case, result, most):
    # Sizes with more chunks than values (256^s) are skipped unread; the set
    # grows with the chunks it holds, up to what all of them need, and never
    # above twice the packet.
    done = run_python(PEAK_OF_ONE_CALL.replace("sys.argv[1]", repr(case)))
    assert done.returncode == 0, done.stderr
    got, peak = done.stdout.split()
    assert int(got) == result
    assert float(peak) < most, f"peak grew by {float(peak):.2f} times the packet"
