"""Independent model of packet involution and cycling.

Written from the algorithm's description with hashlib and plain Python: the
seed digest over a sorted copy of the packet and the branch value, full
32-byte crumbs, Python's sort. Branch values come from the independent model
of the range conditions in order_map.py. Shares no code with the module.
"""
from __future__ import annotations

import hashlib

from models import order_map

DUPLICATE = "Duplicate crumbs detected after operations, cannot create a unique pattern"


class ModelError(Exception):
    """An error value of the model; args[0] is its message."""


def length_message(length: int, chunk_size: int) -> str:
    return f"Packet length ({length}) is not a multiple of chunk size ({chunk_size})."


def seed_digest(packet: bytes, branch: int) -> bytes:
    return hashlib.sha256(bytes(sorted(packet + branch.to_bytes(8, "big")))).digest()


def crumb(chunk: bytes, salt: bytes, seed: bytes) -> bytes:
    digest = hashlib.sha256(chunk + salt + seed).digest()
    return bytes(a ^ b for a, b in zip(digest, seed))


def crumb_order(packet: bytes, salt: bytes, s: int, branch: int) -> list[int]:
    """Chunk indices by ascending crumb; ModelError on equal crumbs."""
    seed = seed_digest(packet, branch)
    records, seen = [], set()
    for k in range(len(packet) // s):
        c = crumb(packet[k * s:(k + 1) * s], salt, seed)
        if c in seen:
            raise ModelError(DUPLICATE)
        seen.add(c)
        records.append((c, k))
    return [k for _, k in sorted(records)]


def involute_with(packet: bytes, salt: bytes, s: int, branch) -> bytes:
    """The involution core; `branch()` is asked only after the cheap checks."""
    packet, salt = bytes(packet), bytes(salt)
    if s == 0:
        return packet
    if len(packet) % s:
        raise ModelError(length_message(len(packet), s))
    if not packet:
        return b""
    order = crumb_order(packet, salt, s, branch())
    return b"".join(packet[order[order[k]] * s:(order[order[k]] + 1) * s]
                    for k in range(len(order)))


def involute(packet: bytes, salt: bytes, s: int) -> bytes:
    lo, hi = order_map.prep_condition(-1.0, 1.0, bytes(salt))
    return involute_with(packet, salt, s,
                         lambda: order_map.cond_hash_branch(lo, hi, 0.0, bytes(salt)))


def cond_involute(packet: bytes, salt: bytes, s: int, lo: int, hi: int, test: float) -> bytes:
    return involute_with(packet, salt, s,
                         lambda: order_map.cond_hash_branch(lo, hi, test, bytes(salt)))


def key_mismatch_message(old_key: bytes, new_key: bytes) -> str:
    def show(key):
        return "[" + ", ".join(str(b) for b in sorted(key)) + "]"
    return ("assertion `left == right` failed: Keys must be permutations from the same set\n"
            f"  left: {show(old_key)}\n right: {show(new_key)}")


def recode(data: bytes, old_key: bytes, new_key: bytes) -> bytes:
    table = [0] * 256
    for old, new in zip(old_key, new_key):
        table[old] = new
    return bytes(table[b] for b in data)


def cycle(packet, old_salt, new_salt, old_key, new_key, s: int) -> bytes:
    """AssertionError with the key message on a mismatch, ModelError otherwise."""
    old_key, new_key = bytes(old_key), bytes(new_key)
    if sorted(old_key) != sorted(new_key):
        raise AssertionError(key_mismatch_message(old_key, new_key))
    p1 = involute(packet, old_salt, s)
    return involute(recode(p1, old_key, new_key), new_salt, s)
