"""Chunk size selection against NumPy and a plain copy.

Peer: the chunks of each candidate size viewed as integers (or rows), sorted,
and checked for neighbours that are equal; the same search order.
"""
import numpy as np

import kelvora_core_py as k
from harness import check_same, compare


def numpy_chunk_size(packet: np.ndarray, minimum: int = 4) -> int:
    n = packet.size
    if n == 0:
        return 0
    for s in range(minimum, n // 2 + 1):
        if n % s:
            continue
        if s in (4, 8):
            keys = np.sort(packet.view(f"<u{s}"))
            if not (keys[1:] == keys[:-1]).any():
                return s
        else:
            rows = packet.reshape(-1, s)
            if np.unique(rows, axis=0).shape[0] == rows.shape[0]:
                return s
    return n


def main() -> None:
    rng = np.random.default_rng(1)
    distinct = rng.permutation(1 << 18).astype("<u4").view(np.uint8)  # 1 MiB
    zeros = np.zeros(1 << 20, dtype=np.uint8)
    for title, packet in [("1 MiB, distinct 4-byte chunks", distinct),
                          ("1 MiB of zeros (every divisor tried)", zeros)]:
        check_same(title, numpy_chunk_size(packet), k.get_chunk_size(packet))
        compare(title, [
            ("get_chunk_size", lambda: k.get_chunk_size(packet)),
            ("numpy sort peer", lambda: numpy_chunk_size(packet)),
            ("floor: bytes copy", lambda: packet.tobytes()),
        ])


if __name__ == "__main__":
    main()
