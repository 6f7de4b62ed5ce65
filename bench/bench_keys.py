"""gen_key per call against the system-call floor and the NumPy way.

Floor: os.urandom(32), the one system call every gen_key makes (it also runs
seven SHA-256 compressions, one eight-block ChaCha20 refill and the shuffle). Peer: what a
user would otherwise write for a fresh random table, a NumPy generator seeded
from os.urandom drawing permutation(256). Results are random, so peers are
checked for the same kind of result: a permutation of the 256 byte values.
"""
import os

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare

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


if __name__ == "__main__":
    main()
