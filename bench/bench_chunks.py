"""Chunk size selection against the best NumPy way and a plain copy.

Peer, for each divisor s of L in [4, L/2], in order: if the first two chunks are equal, s is
rejected at once; otherwise, for s <= 8, the chunks are read as unsigned integers (a zero-padded
little-endian view) and growing prefixes of 32, 512, 8192, ... chunks and then all of them are
sorted with np.sort, rejecting s at the first equal neighbours; for s > 8, a Python set of the
chunks' bytes. The divisors come from one vectorised trial division up to sqrt(L).

Packets (1 MiB): 262,144 distinct 4-byte chunks that look random (arange mixed by a bijection:
multiply, xor-shift, multiply, xor-shift, add), and all zeros (every divisor tried, each rejected
by its first two chunks). Targets: at least 3x and 2x faster than the peer.

Stop latency (--stop-latency [MIB,MIB,...] [C,C,...]): get_chunk_size_min(packet, c) on a packet
of distinct c-byte chunks (for c = 1 and 2 of distinct 4-byte chunks, and of random bytes where
3-byte chunks cannot all differ), with SIGINT sent to the main thread from another thread at
points spread over the call; the worst time from the signal to KeyboardInterrupt, per packet size
and chunk size. Target: 60 ms.
"""
import math
import signal
import sys
import threading
import time

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


def stop_packet(size: int, c: int) -> np.ndarray:
    """`size` bytes (rounded down to whole chunks) of distinct c-byte chunks, as above."""
    c = max(c, 4) if c < 3 else c
    n = size // c
    if c == 3 and n > 1 << 24:
        return np.random.default_rng(c).integers(0, 256, n * c, dtype=np.uint8)
    key = np.arange(n, dtype=np.uint32)
    if c > 3:
        key = key * np.uint32(2654435761) + np.uint32(0x9E3779B9)
        key ^= key >> np.uint32(15)
    chunks = np.zeros((n, c), dtype=np.uint8)
    width = min(c, 4)
    chunks[:, :width] = key.view(np.uint8).reshape(n, 4)[:, :width]
    return chunks.ravel()


def stop_latency_once(packet: np.ndarray, c: int, delay: float):
    """Seconds from a SIGINT sent `delay` into the call to KeyboardInterrupt; None when the
    call ended first."""
    sent = []

    def send():
        time.sleep(delay)
        sent.append(time.perf_counter())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    sender = threading.Thread(target=send)
    finished = False
    try:
        sender.start()
        k.get_chunk_size_min(packet, c)
        finished = True
        sender.join()
        time.sleep(0.05)   # the signal, when it comes after the call
        return None
    except KeyboardInterrupt:
        stopped = time.perf_counter()
        try:
            sender.join()
        except KeyboardInterrupt:
            pass
        return None if finished else stopped - sent[0]


def stop_latency(sizes_mib: list[int], chunk_sizes: list[int], points: int = 8) -> None:
    saved = signal.signal(signal.SIGINT, signal.default_int_handler)
    print("worst stop latency in ms (call time in ms), SIGINT at", points, "points of each call")
    print("MiB ", *[f"{'c=' + str(c):>14}" for c in chunk_sizes])
    worst = 0.0
    try:
        for mib in sizes_mib:
            row = []
            for c in chunk_sizes:
                packet = stop_packet(mib << 20, c)
                began = time.perf_counter()
                k.get_chunk_size_min(packet, c)
                call = time.perf_counter() - began
                got = [stop_latency_once(packet, c, call * (i + 0.5) / points) for i in range(points)]
                latency = max((g for g in got if g is not None), default=0.0)
                worst = max(worst, latency)
                row.append(f"{latency * 1e3:7.0f} ({call * 1e3:4.0f})")
            print(f"{mib:<4}", *row, flush=True)
    finally:
        signal.signal(signal.SIGINT, saved)
    print(f"worst: {worst * 1e3:.0f} ms (target 60 ms)")


def main() -> None:
    if "--stop-latency" in sys.argv:
        rest = sys.argv[sys.argv.index("--stop-latency") + 1:]
        sizes = [int(x) for x in rest[0].split(",")] if rest else [16, 32, 64, 128, 256, 512]
        chunks = [int(x) for x in rest[1].split(",")] if len(rest) > 1 else [1, 2, 3, 4, 5, 6, 7, 8,
                                                                              12, 16, 32, 64]
        stop_latency(sizes, chunks)
        return
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
