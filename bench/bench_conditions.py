"""prep_condition and cond_hash_branch per call, and SHA-256 throughput.

Peer: the fastest pure-Python way to the same values: the HMAC pad states
prepared once per salt (one hmac object) and copied for every node, the node
message packed by a precompiled struct. Floor: the same number of SHA-256
compressions as the call performs (two pad blocks, two per node, the branch
digest), run as one hashlib stream.

SHA-256 throughput: each back end of bench_sha256 (Google Benchmark, CPU time)
against hashlib.sha256 on the same 64 MiB, timed in CPU time here. Set
KELVORA_BENCH_SHA256 to the bench_sha256 executable, or it is looked for under
build/*/bench/.
"""
import hashlib
import hmac
import math
import os
import struct
import sys
import time

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare, native_medians, sha256_blocks

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from models import order_map as model  # noqa: E402  (for the compression count only)

NODE = struct.Struct(">IIQQI")
F32 = struct.Struct(">f")
U32 = struct.Struct(">I")
U64 = (1 << 64) - 1
DOMAIN_HIGH, RANGE_HIGH = 0xFFFFFFFE, 0xFFFFFFFFFFFFFFFE


def peer_key(x: float) -> int:
    (bits,) = U32.unpack(F32.pack(x))
    return (~bits & 0xFFFFFFFF) if bits & 0x80000000 else bits ^ 0x80000000


def peer_map(mac, x: int) -> int:
    dlo, dhi, rlo, rhi, depth = 0, DOMAIN_HIGH, 0, RANGE_HIGH, 0
    floor, pack = math.floor, NODE.pack
    while dlo != dhi:
        h = mac.copy()
        h.update(pack(dlo, dhi, rlo, rhi, depth))
        f = int.from_bytes(h.digest()[:8], "big") * 2.0 ** -64
        dmid = dlo + floor(f * (dhi - dlo + 1))
        rmid = (rlo + min(floor(f * float((rhi - rlo + 1) & U64)), U64)) & U64
        if dmid == x:
            return rmid
        if dmid > x:
            dhi, rhi = dmid - 1, (rmid - 1) & U64
        else:
            dlo, rlo = dmid + 1, (rmid + 1) & U64
        depth += 1
    return rlo


def peer_prep(low: float, high: float, salt: bytes):
    mac = hmac.new(salt, digestmod=hashlib.sha256)
    return peer_map(mac, peer_key(low)), peer_map(mac, peer_key(high))


def peer_branch(lo: int, hi: int, value: float, salt: bytes) -> int:
    d = hashlib.sha256(lo.to_bytes(8, "big") + hi.to_bytes(8, "big") + salt).digest()
    t = peer_map(hmac.new(salt, digestmod=hashlib.sha256), peer_key(value))
    inside = 0xDEADBEEFDEADBEEF if lo <= t <= hi else 0
    return int.from_bytes(d[:8], "little") ^ (lo & hi) ^ inside


def key_blocks(salt: bytes) -> int:
    return 2 + (sha256_blocks(len(salt)) if len(salt) > 64 else 0)


def floor_stream(compressions: int):
    data = bytes(compressions * 64 - 9)  # pads to exactly `compressions` blocks
    return lambda: hashlib.sha256(data).digest()


def bench_conditions() -> None:
    salt = bytes(range(16))
    arr = np.frombuffer(salt, dtype=np.uint8)
    low, high, value = -1.5, 2.75, 0.625

    m = model.OrderMap(salt)
    m.map_key(peer_key(low)), m.map_key(peer_key(high))
    prep_blocks = key_blocks(salt) + 2 * m.steps
    lo, hi = k.prep_condition(low, high, arr)
    check_same("peer prep_condition", peer_prep(low, high, salt), (lo, hi))
    compare(f"prep_condition, 16-byte salt ({prep_blocks} SHA-256 compressions)", [
        ("prep_condition", lambda: k.prep_condition(low, high, arr)),
        ("python: hmac pads once, copied per node", lambda: peer_prep(low, high, salt)),
        (f"floor: hashlib, {prep_blocks} blocks in one stream", floor_stream(prep_blocks)),
    ])

    m = model.OrderMap(salt)
    m.map_key(peer_key(value))
    branch_blocks = sha256_blocks(16 + len(salt)) + key_blocks(salt) + 2 * m.steps
    check_same("peer cond_hash_branch", peer_branch(lo, hi, value, salt),
               k.cond_hash_branch(lo, hi, value, arr))
    compare(f"cond_hash_branch, 16-byte salt ({branch_blocks} SHA-256 compressions)", [
        ("cond_hash_branch", lambda: k.cond_hash_branch(lo, hi, value, arr)),
        ("python: hmac pads once, copied per node", lambda: peer_branch(lo, hi, value, salt)),
        (f"floor: hashlib, {branch_blocks} blocks in one stream", floor_stream(branch_blocks)),
    ])


def bench_sha256_throughput() -> None:
    print("\nSHA-256 on 64 MiB (CPU time, best of repeats)")
    data = bytes(64 << 20)
    best = min(_cpu(lambda: hashlib.sha256(data).digest()) for _ in range(7))
    print(f"  {'hashlib.sha256':<44} {best * 1e3:9.1f} ms   {'1.00x of hashlib':>20}")
    rows = native_medians("bench_sha256", "KELVORA_BENCH_SHA256", repetitions=5)
    if rows is None:
        print("  (bench_sha256 not built: configure with -DKELVORA_BUILD_TESTS=ON)")
        return
    for b in rows:
        ms = b["cpu_time"] if b["time_unit"] == "ms" else b["cpu_time"] / 1e6
        name = b["run_name"].split("/")[0].replace("BM_", "")
        print(f"  {name:<44} {ms:9.1f} ms   {ms / (best * 1e3):7.2f}x of hashlib")


def _cpu(fn) -> float:
    start = time.process_time()
    fn()
    return time.process_time() - start


def main() -> None:
    bench_conditions()
    bench_sha256_throughput()


if __name__ == "__main__":
    main()
