"""gen_key per call against the system-call floor and the NumPy way.

Floor: os.urandom(32), one system call for 32 fresh bytes, which gen_key also
draws (from the kernel's getrandom in the vDSO where there is one, otherwise
by the same system call), besides seven SHA-256 compressions, one eight-block
ChaCha20 refill and the shuffle. Peer: what a
user would otherwise write for a fresh random table, a NumPy generator seeded
from os.urandom drawing permutation(256). Results are random, so peers are
checked for the same kind of result: a permutation of the 256 byte values.
Target: at most 2.5x the floor.

When the native benchmarks are built (bench/bench_keys.cpp), the call's
stages follow: the fresh bytes, the hashes, the generator's refill, the
shuffle, and the derivation with and without the fresh bytes (CPU time, so
that the stages add up on a busy machine too).
"""
import os

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare, native_medians

IDENTITY = bytes(range(256))


def numpy_table() -> bytes:
    rng = np.random.default_rng(int.from_bytes(os.urandom(32), "little"))
    return rng.permutation(256).astype(np.uint8).tobytes()


def main() -> None:
    seed = np.frombuffer(os.urandom(32), dtype=np.uint8).copy()
    gen = lambda: k.gen_key("party-0", "session", seed)  # noqa: E731
    check_same("gen_key", bytes(sorted(gen())), IDENTITY)
    check_same("numpy permutation", bytes(sorted(numpy_table())), IDENTITY)
    compare("one 256-byte key table per call", [
        ("gen_key", gen),
        ("numpy default_rng(urandom).permutation", numpy_table),
        ("floor: os.urandom(32)", lambda: os.urandom(32)),
    ], repeats=9)

    rows = native_medians("bench_keys", "KELVORA_BENCH_KEYS", repetitions=5)
    if rows is None:
        print("  (bench_keys not built: configure with -DKELVORA_BUILD_TESTS=ON)")
        return
    print("\nstages of one gen_key, native, CPU time")
    for b in rows:
        ns = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
        print(f"  {b['run_name'].replace('BM_', ''):<44} {ns:9.0f} ns")


if __name__ == "__main__":
    main()
