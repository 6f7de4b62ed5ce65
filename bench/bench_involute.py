"""involute_packet and cycle_packet against the SHA-256 work they cannot avoid.

Unit: one hashlib.sha256 pass over the packet. The floor of a call is the
serial seed-digest pass over L + 8 bytes plus one SHA-256 per chunk
(ceil((s + salt + 32 + 9) / 64) compressions each), which that pass prices.
Cases (16-byte salt, medians of repeats, candidates interleaved):
  64 MiB, s = 64      at most 3x one hashlib pass
  16 MiB, s = 4       at most 12x (4 million chunks), and at most the two-core floor: the
                      compressions forced (seed pass and bound chains serial, crumbs split over
                      both cores) at hashlib's rate, plus writing the result once
  16 MiB, s = 4096    at most 1.8x
  1 MiB, s = 64       at least 5x faster than the NumPy/hashlib way to the same bytes
  64 B, s = 16        within 1.5x of its forced compressions run as one hashlib stream
  cycle_packet, 16 MiB, s = 64: at most 2x involute_packet on the same packet
  peak memory, 256 MiB, s = 64: at most 2.5x the packet beyond the input
The time split of a call (digest, crumbs, sort, copy) comes from the native
benchmark bench_involute (BM_Phases), run here when it is built.

Run: PYTHONPATH=<build>/binding python3 bench/bench_involute.py [--quick]
"""
import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare, native_medians, sha256_blocks

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from models import order_map as model  # noqa: E402  (for the compression count only)

MIB = 1 << 20
SALT = bytes(range(16))
SALT_ARR = np.frombuffer(SALT, dtype=np.uint8)
QUICK = "--quick" in sys.argv
RESULTS = []


def packet_of(size: int, s: int) -> np.ndarray:
    """A packet of distinct chunks: for s = 4 a bijection of the chunk index,
    otherwise random bytes (equal chunks of 8 or more random bytes do not occur)."""
    if s == 4:
        x = np.arange(size // 4, dtype=np.uint32) * np.uint32(2654435761) + np.uint32(0x9E3779B9)
        x ^= x >> np.uint32(15)
        return x.view(np.uint8)
    return np.random.default_rng(size + s).integers(0, 256, size=size, dtype=np.uint8)


def record(name: str, ratio: float, limit: str) -> None:
    RESULTS.append((name, ratio, limit))


def hashlib_pass(packet: np.ndarray):
    data = packet.tobytes()
    return lambda: hashlib.sha256(data).digest()


def bench_against_hashlib(mib: int, s: int, limit: float) -> None:
    packet = packet_of(mib * MIB, s)
    n = packet.size // s
    floor = sha256_blocks(packet.size + 8) + n * sha256_blocks(s + len(SALT) + 32)
    medians = compare(
        f"involute_packet, {mib} MiB, chunk size {s} ({n} chunks; floor {floor} compressions "
        f"= {floor / sha256_blocks(packet.size):.2f} hashlib passes)", [
            ("involute_packet", lambda: k.involute_packet(packet, SALT_ARR, s)),
            (f"hashlib.sha256 pass over {mib} MiB", hashlib_pass(packet)),
        ], repeats=5 if QUICK else 9)
    ratio = medians["involute_packet"] / medians[f"hashlib.sha256 pass over {mib} MiB"]
    record(f"{mib} MiB, s={s}: involute / hashlib pass", ratio, f"<= {limit}")


def bound_compressions() -> int:
    """The HMAC chains of the always-true bounds and the branch digest: the pads, two per map
    node, and the digest of the prepared bounds with the salt."""
    m = model.OrderMap(SALT)
    m.map_key(model.ordered_key(model.binary32_bits(-1.0)))
    m.map_key(model.ordered_key(model.binary32_bits(1.0)))
    return 2 + 2 * m.steps + sha256_blocks(16 + len(SALT))


def bench_two_core_floor(mib: int, s: int) -> None:
    """The compressions the algorithm forces at hashlib's rate, the seed pass and the bound
    chains serial, the crumbs split over both cores, plus writing the result once."""
    packet = packet_of(mib * MIB, s)
    n = packet.size // s
    serial = sha256_blocks(packet.size + 8) + bound_compressions()
    crumbs = n * sha256_blocks(s + len(SALT) + 32)
    data = packet.tobytes()
    medians = compare(f"involute_packet, {mib} MiB, chunk size {s}, against the two-core floor", [
        ("involute_packet", lambda: k.involute_packet(packet, SALT_ARR, s)),
        (f"hashlib.sha256 pass over {mib} MiB", lambda: hashlib.sha256(data).digest()),
        ("result written once (bytes copy)", lambda: packet.tobytes()),
    ], repeats=5 if QUICK else 9)
    per_block = medians[f"hashlib.sha256 pass over {mib} MiB"] / sha256_blocks(packet.size)
    floor = (serial + crumbs / 2) * per_block + medians["result written once (bytes copy)"]
    print(f"  two-core floor: {serial} serial + {crumbs} / 2 crumb compressions at "
          f"{per_block * 1e9:.1f} ns, plus the copy = {floor * 1e6:.1f} us")
    record(f"{mib} MiB, s={s}: involute / two-core floor", medians["involute_packet"] / floor,
           "<= 1.0")


# --- the NumPy/hashlib way ----------------------------------------------------------

def numpy_involute(packet: np.ndarray, salt: bytes, s: int) -> bytes:
    lo, hi = k.prep_condition(-1.0, 1.0, np.frombuffer(salt, dtype=np.uint8))
    branch = k.cond_hash_branch(lo, hi, 0.0, np.frombuffer(salt, dtype=np.uint8))
    counts = np.bincount(packet, minlength=256)
    counts += np.bincount(np.frombuffer(branch.to_bytes(8, "big"), dtype=np.uint8), minlength=256)
    seed = hashlib.sha256(np.repeat(np.arange(256, dtype=np.uint8), counts).tobytes()).digest()
    data = packet.tobytes()
    tail = salt + seed
    sha = hashlib.sha256
    digests = b"".join([sha(data[i:i + s] + tail).digest() for i in range(0, len(data), s)])
    crumbs = np.frombuffer(digests, dtype=np.uint8).reshape(-1, 32) ^ np.frombuffer(seed, np.uint8)
    words = crumbs.view(">u8")
    order = np.lexsort(words.T[::-1])
    ranked = words[order]
    if (ranked[1:] == ranked[:-1]).all(axis=1).any():
        raise ValueError("Involute error: duplicate crumbs")
    return packet.reshape(-1, s)[order[order]].tobytes()


def bench_numpy_peer() -> None:
    packet = packet_of(MIB, 64)
    check_same("numpy/hashlib involution", numpy_involute(packet, SALT, 64),
               k.involute_packet(packet, SALT_ARR, 64))
    medians = compare("involute_packet, 1 MiB, chunk size 64 (16384 chunks)", [
        ("involute_packet", lambda: k.involute_packet(packet, SALT_ARR, 64)),
        ("numpy/hashlib: bincount, sha256 per chunk, lexsort",
         lambda: numpy_involute(packet, SALT, 64)),
    ])
    ratio = medians["numpy/hashlib: bincount, sha256 per chunk, lexsort"] / medians["involute_packet"]
    record("1 MiB, s=64: numpy/hashlib peer / involute (speed-up)", ratio, ">= 5")


# --- small packets ------------------------------------------------------------------

def bench_small_packet() -> None:
    packet = packet_of(64, 16)
    # The bound chains and branch digest, the seed digest, the crumbs.
    forced = bound_compressions() + sha256_blocks(64 + 8) + 4 * sha256_blocks(16 + 16 + 32)
    data = bytes(forced * 64 - 9)
    medians = compare(f"involute_packet, 64 bytes, chunk size 16 ({forced} forced compressions)", [
        ("involute_packet", lambda: k.involute_packet(packet, SALT_ARR, 16)),
        (f"hashlib: {forced} blocks in one stream", lambda: hashlib.sha256(data).digest()),
    ])
    ratio = medians["involute_packet"] / medians[f"hashlib: {forced} blocks in one stream"]
    record("64 B, s=16: involute / forced compressions", ratio, "<= 1.5")


# --- cycling ------------------------------------------------------------------------

def bench_cycle() -> None:
    packet = packet_of(16 * MIB, 64)
    rng = np.random.default_rng(3)
    k1 = rng.permutation(256).astype(np.uint8)
    k2 = rng.permutation(256).astype(np.uint8)
    salt2 = SALT_ARR[::-1].copy()
    medians = compare("cycle_packet vs involute_packet, 16 MiB, chunk size 64", [
        ("cycle_packet", lambda: k.cycle_packet(packet, SALT_ARR, salt2, k1, k2, 64)),
        ("involute_packet", lambda: k.involute_packet(packet, SALT_ARR, 64)),
    ], repeats=5 if QUICK else 9)
    record("16 MiB, s=64: cycle / involute", medians["cycle_packet"] / medians["involute_packet"],
           "<= 2")


# --- memory -------------------------------------------------------------------------

MEMORY_SCRIPT = """
import resource, numpy as np, kelvora_core_py as k
size = 256 << 20
packet = np.empty(size, dtype=np.uint8)
rng = np.random.default_rng(1)
for at in range(0, size, 1 << 20):            # small temporaries only
    packet[at:at + (1 << 20)] = rng.integers(0, 256, size=1 << 20, dtype=np.uint8)
salt = np.arange(16, dtype=np.uint8)
k.involute_packet(packet[:1 << 20], salt, 64)  # pool and code warmed up
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = k.involute_packet(packet, salt, 64)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((peak - base) * 1024 / size)
"""


def bench_memory() -> None:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_SCRIPT)],
                          capture_output=True, text=True, env=dict(os.environ))
    if done.returncode != 0:
        print(done.stderr)
        return
    ratio = float(done.stdout.strip())
    print(f"\npeak memory, 256 MiB, chunk size 64: {ratio:.2f}x the packet beyond the input")
    record("256 MiB, s=64: peak memory beyond the input / packet", ratio, "<= 2.5")


# --- time split ---------------------------------------------------------------------

def bench_split() -> None:
    rows = native_medians("bench_involute", "KELVORA_BENCH_INVOLUTE",
                          ["--benchmark_filter=BM_Phases/16/4/"], repetitions=3)
    if rows is None:
        print("\n(bench_involute not built: configure with -DKELVORA_BUILD_TESTS=ON)")
        return
    for b in rows:
        parts = ", ".join(f"{name[:-3]} {b[name]:.1f} ms" for name in
                          ("digest_ms", "crumbs_ms", "sort_ms", "copy_ms"))
        print(f"\ntime split, 16 MiB, chunk size 4, phases run one after the other: {parts}")


def main() -> None:
    bench_against_hashlib(64, 64, 3)
    bench_against_hashlib(16, 4, 12)
    bench_two_core_floor(16, 4)
    bench_against_hashlib(16, 4096, 1.8)
    bench_numpy_peer()
    bench_small_packet()
    bench_cycle()
    bench_memory()
    bench_split()
    print("\nsummary")
    for name, ratio, limit in RESULTS:
        print(f"  {name:<58} {ratio:6.2f}   (target {limit})")


if __name__ == "__main__":
    main()
