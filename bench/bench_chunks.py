"""Chunk size selection against the best NumPy way and a plain copy.

Peer, for each divisor s of L in [4, L/2], in order: if the first two chunks are equal, s is
rejected at once; otherwise, for s <= 8, the chunks are read as unsigned integers (a zero-padded
little-endian view) and growing prefixes of 32, 512, 8192, ... chunks and then all of them are
sorted with np.sort, rejecting s at the first equal neighbours; for s > 8, a Python set of the
chunks' bytes. The divisors come from one vectorised trial division up to sqrt(L).

Packets (1 MiB): 262,144 distinct 4-byte chunks that look random (arange mixed by a bijection:
multiply, xor-shift, multiply, xor-shift, add), and all zeros (every divisor tried, each rejected
by its first two chunks). Targets: at least 3x and 2x faster than the peer.
"""
import math

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare

PREFIX_GROWTH = 16  # 32, 512, 8192, ... chunks


def divisors(n: int) -> list[int]:
    small = np.arange(1, math.isqrt(n) + 1)
    small = small[n % small == 0]
    return sorted(set(small.tolist()) | {n // d for d in small.tolist()})


def chunk_keys(packet: np.ndarray, s: int) -> np.ndarray:
    """The chunks as unsigned integers: a zero-padded little-endian view."""
    if s in (4, 8):
        return packet.view(f"<u{s}")
    wide = np.zeros((packet.size // s, 8), dtype=np.uint8)
    wide[:, :s] = packet.reshape(-1, s)
    return wide.view("<u8").ravel()


def distinct(packet: np.ndarray, s: int) -> bool:
    if packet[:s].tobytes() == packet[s:2 * s].tobytes():
        return False
    if s > 8:
        data = packet.tobytes()
        chunks = {data[i:i + s] for i in range(0, len(data), s)}
        return len(chunks) == len(data) // s
    keys = chunk_keys(packet, s)
    m = 32
    while True:
        part = np.sort(keys[:m])
        if (part[1:] == part[:-1]).any():
            return False
        if m >= keys.size:
            return True
        m *= PREFIX_GROWTH


def numpy_chunk_size(packet: np.ndarray, minimum: int = 4) -> int:
    n = packet.size
    if n == 0:
        return 0
    for s in divisors(n):
        if minimum <= s <= n // 2 and distinct(packet, s):
            return s
    return n


def distinct_packet() -> np.ndarray:
    v = np.arange(1 << 18, dtype=np.uint32)
    v *= np.uint32(0x9E3779B1)
    v ^= v >> np.uint32(15)
    v *= np.uint32(0x85EBCA77)
    v ^= v >> np.uint32(13)
    v += np.uint32(0x2545F491)
    return v.view(np.uint8)


def main() -> None:
    zeros = np.zeros(1 << 20, dtype=np.uint8)
    summary = []
    for title, packet, target in [("1 MiB, distinct 4-byte chunks", distinct_packet(), 3),
                                  ("1 MiB of zeros (every divisor tried)", zeros, 2)]:
        check_same(title, numpy_chunk_size(packet), k.get_chunk_size(packet))
        medians = compare(title, [
            ("get_chunk_size", lambda: k.get_chunk_size(packet)),
            ("numpy sort peer", lambda: numpy_chunk_size(packet)),
            ("floor: bytes copy", lambda: packet.tobytes()),
        ], repeats=15)
        summary.append((title, medians["numpy sort peer"] / medians["get_chunk_size"], target))
    print("\nsummary: speed-up over the NumPy peer")
    for title, ratio, target in summary:
        print(f"  {title:<40} {ratio:6.2f}x   (target >= {target}x)")


if __name__ == "__main__":
    main()
