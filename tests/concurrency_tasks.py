"""Work for tests/test_concurrency.py that child processes import by name
(ProcessPoolExecutor with the spawn start method, and the interpreter-exit
scripts): large calls that run on the worker pool, and the
per-packet task compared with a serial loop. Arguments and results are plain
bytes, dicts and ints so that they cross process boundaries."""
import functools
import hashlib
import os

import numpy as np

import kelvora_core_py as k

BIG_CHUNK = 64
BIG_PACKET = 1 << 21        # 2 MiB in 32768 chunks: crumbs, sort and copy on the pool
PARTIES, COLUMNS = 4, 1 << 19  # 2 MiB of data sequences: column and row passes on the pool
SALT = np.arange(16, dtype=np.uint8)


def os_threads() -> int:
    """Threads of this process as the kernel counts them; -1 without /proc (macOS, Windows)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
    except FileNotFoundError:
        return -1
    raise RuntimeError("no Threads line in /proc/self/status")


def pool_expected() -> bool:
    """The pool's workers can be seen: more than one processor is available,
    and the kernel counts the process's threads."""
    if os_threads() < 0:
        return False
    return len(os.sched_getaffinity(0)) > 1


def big_inputs():
    rng = np.random.default_rng(7)
    packet = rng.integers(0, 256, BIG_PACKET, dtype=np.uint8)  # 64-byte chunks: distinct
    data = rng.integers(0, 256, (PARTIES, COLUMNS), dtype=np.uint8)
    pub = rng.permutation(256).astype(np.uint8)
    privs = [rng.permutation(256).astype(np.uint8) for _ in range(PARTIES)]
    keys = (rng.permutation(256).astype(np.uint8), rng.permutation(256).astype(np.uint8))
    return packet, data, pub, privs, keys


def big_involution() -> bytes:
    packet = big_inputs()[0]
    return k.involute_packet(packet, SALT, BIG_CHUNK)


def pooled_digests() -> dict:
    """SHA-256 of the results of every call that uses the pool, and the
    process's thread count before and after them (the pool, once started,
    keeps its workers)."""
    before = os_threads()
    packet, data, pub, privs, (old_key, new_key) = big_inputs()
    lo, hi = k.prep_condition(0.0, 1.0, SALT)
    mapped = [k.map_data(pub, privs[d], d, data) for d in range(PARTIES)]
    mapped_arrays = [np.frombuffer(m, dtype=np.uint8) for m in mapped]
    results = {
        "involute": k.involute_packet(packet, SALT, BIG_CHUNK),
        "cond_involute": k.cond_involute_packet(packet, SALT, BIG_CHUNK, lo, hi, 7.0),
        "cycle": k.cycle_packet(packet, SALT, SALT[:5].copy(), old_key, new_key, BIG_CHUNK),
        "map": b"".join(mapped),
        "inv": b"".join(k.inv_data(pub, privs, mapped_arrays)),
    }
    digests = {name: hashlib.sha256(value).hexdigest() for name, value in results.items()}
    digests["restored"] = results["inv"] == data.tobytes()
    digests["threads"] = (before, os_threads())
    return digests


PANIC_MESSAGE = "attempt to calculate the remainder with a divisor of zero"


def panics() -> int:
    """An internal failure in whichever process runs it."""
    return k.get_chunk_size_min(np.arange(8, dtype=np.uint8), 0)


@functools.lru_cache(maxsize=1)
def long_calls() -> dict:
    """A call of every function that releases the interpreter lock, each with
    work enough for tens to hundreds of milliseconds (sequences and fields
    repeat one array, so the inputs take 130 MiB). Each is a partial object,
    so no Python code runs between the call's return and its caller."""
    rng = np.random.default_rng(5)
    packet = rng.integers(0, 256, 64 << 20, dtype=np.uint8)
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    keys = [rng.permutation(256).astype(np.uint8) for _ in range(2)]
    row = packet[: 16 << 20]
    lo, hi = k.prep_condition(-1.0, 1.0, salt)
    distinct = np.arange(16 << 20, dtype=np.uint32).view(np.uint8)   # distinct 4-byte chunks
    call = functools.partial
    return {
        "involute_packet": call(k.involute_packet, packet, salt, 64),
        "cond_involute_packet": call(k.cond_involute_packet, packet, salt, 64, lo, hi, 0.5),
        "cycle_packet": call(k.cycle_packet, packet, salt, salt[:3], keys[0], keys[1], 64),
        "get_chunk_size": call(k.get_chunk_size, distinct),
        "map_data": call(k.map_data, keys[0], keys[1], 63, [row] * 64),
        "inv_data": call(k.inv_data, keys[0], [keys[1]] * 32, [row] * 32),
        "package_blob": call(k.package_blob, *[packet] * 8),
    }


def rekey(packet: bytes, salt: bytes, new_salt: bytes, chunk_size: int) -> tuple:
    """The per-packet task: involution, and cycling to another salt and key."""
    p, s, t = (np.frombuffer(x, dtype=np.uint8) for x in (packet, salt, new_salt))
    old_key = np.arange(256, dtype=np.uint8)
    new_key = old_key[::-1].copy()
    return (k.involute_packet(p, s, chunk_size),
            k.cycle_packet(p, s, t, old_key, new_key, chunk_size))
