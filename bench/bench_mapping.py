"""map_data and inv_data against NumPy and the memory floor.

map_data runs for identity n - 1, the party with the longest chain of steps.
Peers compute the same formulas with NumPy over blocks of columns (a block's
rows stay in cache between the row sweeps), doing the 256-entry lookups with
bytes.translate, which is several times faster than fancy indexing.

One-core floor: read every input byte once (np.count_nonzero over each row) and
make the result bytes objects (one of L bytes for map_data, n for inv_data).
Both cores are the module's, so beating the floor is possible. Targets for
n = 64 at 1 MiB and 16 MiB: at most 1.0x the floor. For those rows the CPU
time and page faults of each follow: the floor's result objects are never
written, so the kernel never backs them with memory, while every result
byte of the module's is written, and fresh result memory costs the kernel
one fault per 4 KiB page that is not a huge page. The last row of those
tables, n x L bytes of fresh memory written once by NumPy (on huge pages),
is what inv_data's results alone cost the kernel and the memory, before any
arithmetic.

Run: PYTHONPATH=<build>/binding python3 bench/bench_mapping.py [--quick]
"""
import sys

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare, one_core_floor, resource_use

KIB, MIB = 1 << 10, 1 << 20


def block_columns(n: int) -> int:
    # Measured fastest among 2^12 .. 2^20 columns for n = 2, 8 and 64: fewer
    # NumPy calls per byte on the left, rows falling out of cache on the right.
    return max(1 << 16, min(1 << 18, MIB // n))


def lut(table: bytes):
    def lookup(idx: np.ndarray) -> np.ndarray:
        return np.frombuffer(idx.tobytes().translate(table), dtype=np.uint8)
    return lookup


def numpy_map(pub: bytes, priv: bytes, identity: int, data: np.ndarray) -> bytes:
    n, length = data.shape
    P, Q = lut(pub), lut(priv)
    parts = []
    step = block_columns(n)
    for lo in range(0, length, step):
        rows = data[:, lo:lo + step]
        s = np.add.reduce(rows, axis=0, dtype=np.uint8)
        s -= rows[0]
        z0 = rows[0] - P(s)
        if identity == 0:
            parts.append(Q(z0).tobytes())
            continue
        s -= rows[1]
        t = z0 + rows[1] - s
        z = t
        for i in range(2, identity + 1):
            s -= rows[i]
            z = z0 + rows[i]
            z -= P(t)
            z -= s
            t += z
        parts.append(Q(z).tobytes())
    return b"".join(parts)


def numpy_inv(pub: bytes, priv_keys, mapped: np.ndarray) -> list:
    n, length = mapped.shape
    P = lut(pub)
    inverted = []
    for key in priv_keys:
        inv = np.zeros(256, dtype=np.uint8)
        inv[np.frombuffer(key, dtype=np.uint8)] = np.arange(256, dtype=np.uint8)
        inverted.append(inv.tobytes())
    out = np.empty((n, length), dtype=np.uint8)
    step = block_columns(n)
    for lo in range(0, length, step):
        hi = min(lo + step, length)
        z = np.empty((n, hi - lo), dtype=np.uint8)
        for i in range(n):
            z[i] = np.frombuffer(mapped[i, lo:hi].tobytes().translate(inverted[i]), np.uint8)
        c = out[:, lo:hi]
        t = np.add.reduce(z[1:n - 1], axis=0, dtype=np.uint8)
        s = np.zeros(hi - lo, dtype=np.uint8)
        for kk in range(n - 1, 1, -1):
            ck = c[kk]
            np.add(z[kk], s, out=ck)
            ck += P(t)
            ck -= z[0]
            s += ck
            t -= z[kk - 1]
        np.add(z[1], s, out=c[1])
        c[1] -= z[0]
        s += c[1]
        np.add(z[0], P(s), out=c[0])
    return [row.tobytes() for row in out]


def main() -> None:
    quick = "--quick" in sys.argv
    rng = np.random.default_rng(1)
    sizes = [KIB, MIB] if quick else [KIB, MIB, 16 * MIB]
    summary = []
    for n in (2, 8, 64):
        privs = [k.gen_key(f"party {i}", "bench", np.arange(32, dtype=np.uint8)) for i in range(n)]
        pub = k.gen_key("public", "bench", np.arange(32, dtype=np.uint8))
        pub_a = np.frombuffer(pub, np.uint8)
        keys = [np.frombuffer(p, np.uint8) for p in privs]
        for length in sizes:
            data = rng.integers(0, 256, size=(n, length), dtype=np.uint8)
            d = n - 1
            big = n * length >= 64 * MIB
            repeats = 3 if big else 7
            label = f"n={n}, L={length // MIB} MiB" if length >= MIB else f"n={n}, L={length // KIB} KiB"

            got = k.map_data(pub_a, keys[d], d, data)
            check_same("numpy map", numpy_map(pub, privs[d], d, data), got)
            m = compare(f"map_data, identity {d}, {label}", [
                ("map_data", lambda: k.map_data(pub_a, keys[d], d, data)),
                ("numpy blocks + bytes.translate", lambda: numpy_map(pub, privs[d], d, data)),
                ("one-core floor", lambda: one_core_floor(data, 1)),
            ], repeats=repeats)

            mapped = np.array([np.frombuffer(k.map_data(pub_a, keys[i], i, data), np.uint8)
                               for i in range(n)])
            got = k.inv_data(pub_a, keys, mapped)
            check_same("inv_data round trip", got, [row.tobytes() for row in data])
            check_same("numpy inv", numpy_inv(pub, privs, mapped), got)
            r = compare(f"inv_data, {label}", [
                ("inv_data", lambda: k.inv_data(pub_a, keys, mapped)),
                ("numpy blocks + bytes.translate", lambda: numpy_inv(pub, privs, mapped)),
                ("one-core floor", lambda: one_core_floor(mapped, n)),
            ], repeats=repeats)
            if n == 64 and length >= MIB:
                resource_use(f"map_data and inv_data, {label}", [
                    ("map_data", lambda: k.map_data(pub_a, keys[d], d, data)),
                    ("one-core floor (map)", lambda: one_core_floor(data, 1)),
                    ("inv_data", lambda: k.inv_data(pub_a, keys, mapped)),
                    ("one-core floor (inv)", lambda: one_core_floor(mapped, n)),
                    ("fresh n x L written (one core)", lambda: np.ones((n, length), np.uint8)),
                ], repeats=repeats)
            summary.append((label, m, r))
            del data, mapped

    print("\nSummary: module time as a multiple of the one-core floor; NumPy peer time as a multiple of the module's")
    for label, m, r in summary:
        mf = m["map_data"] / m["one-core floor"]
        mp = m["numpy blocks + bytes.translate"] / m["map_data"]
        rf = r["inv_data"] / r["one-core floor"]
        rp = r["numpy blocks + bytes.translate"] / r["inv_data"]
        print(f"  {label:<18} map_data {mf:5.2f}x floor, numpy {mp:6.1f}x slower | "
              f"inv_data {rf:5.2f}x floor, numpy {rp:6.1f}x slower")


if __name__ == "__main__":
    main()
