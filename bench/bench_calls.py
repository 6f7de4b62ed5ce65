"""The small calls, where what a call costs besides the core's work (binding
the arguments, converting them, making the result) weighs most.

Builds side by side: each case runs in every build given (for example the
cp39-abi3 wheel's module, whose calls arrive as a tuple and a dict, and the
cp310-abi3 one's, whose calls arrive as a vector), interleaved round by round
with the case's floor, medians of repeats; ratios to the first build.

  case                                      floor                           target
  gen_key                                   os.urandom(32)                  2.5x the floor
  involute_packet, 64 bytes, 16-byte chunks
  prep_condition, 16-byte salt
  map_data, n = 2 and n = 64 of 1 KiB       bench_mapping's one-core floor  n = 64: 1.2x
  inv_data, n = 64 of 1 KiB                 bench_mapping's one-core floor  1.2x
  package_blob, 32-byte fields              b"".join of the fields
The vector build's calls: at least 15% less time than the tuple build's.

Threads (--threads): on a free-threaded interpreter, two threads of small calls
(64-byte involutions, gen_key) against one thread making as many calls as
each of them; the throughput ratio is 2 x one thread's time / two threads'
time, target at least 1.8 on two idle cores.

Run: python3 bench/bench_calls.py [--cpu] NAME=PATH [NAME=PATH ...]
     python3 bench/bench_calls.py --threads [PATH]
     (PATH: the module file, kelvora_core_py*.so, of a build or wheel; without
     one, --threads imports the installed module; --cpu times the process's
     CPU time instead of the wall clock, for a machine busy with other work)
"""
import os
import sys
from functools import partial

import numpy as np

from bench_builds import load, parse_builds
from harness import check_same, compare, in_threads, one_core_floor

KIB = 1 << 10


def cases(rng):
    """(title, function name, arguments, floor or None); each candidate is a
    partial object, so no Python frame stands around any call."""
    seed = rng.integers(0, 256, 32, dtype=np.uint8)
    packet = rng.permutation(64).astype(np.uint8)  # 16-byte chunks, all distinct
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    keys = [rng.permutation(256).astype(np.uint8) for _ in range(65)]
    small = rng.integers(0, 256, (2, KIB), dtype=np.uint8)
    wide = rng.integers(0, 256, (64, KIB), dtype=np.uint8)
    fields = [rng.integers(0, 256, 32, dtype=np.uint8) for _ in range(3)]
    return [
        ("gen_key", "gen_key", ("party", "purpose", seed), partial(os.urandom, 32)),
        ("involute_packet, 64 bytes in 16-byte chunks", "involute_packet", (packet, salt, 16),
         None),
        ("prep_condition, 16-byte salt", "prep_condition", (-0.5, 0.5, salt), None),
        ("map_data, n = 2 of 1 KiB", "map_data", (keys[64], keys[1], 1, list(small)),
         partial(one_core_floor, small, 1)),
        ("map_data, n = 64 of 1 KiB", "map_data", (keys[64], keys[63], 63, list(wide)),
         partial(one_core_floor, wide, 1)),
        ("inv_data, n = 64 of 1 KiB", "inv_data", (keys[64], keys[:64], list(wide)),
         partial(one_core_floor, wide, 64)),
        ("package_blob, 32-byte fields", "package_blob", (*fields, "mode", 12345),
         partial(b"".join, fields)),
    ]


def side_by_side(argv):
    clock, modules = parse_builds(argv, 1, __doc__)
    summary = []
    for title, function, args, floor in cases(np.random.default_rng(1)):
        candidates = [(name, partial(getattr(module, function), *args))
                      for name, module in modules]
        if function != "gen_key":  # random results
            for name, call in candidates[1:]:
                check_same(name, call(), candidates[0][1]())
        if floor is not None:
            candidates.append(("floor", floor))
        medians = compare(title, candidates, repeats=15, min_time=0.1, clock=clock)
        summary.append((title, medians))
    names = [name for name, _ in modules]
    print(f"\nSummary: per-call time against {names[0]}, and against the floor")
    for title, m in summary:
        versus = "  ".join(f"{n} {m[n] / m[names[0]]:5.2f}x" for n in names[1:])
        floors = "  ".join(f"{n} {m[n] / m['floor']:5.2f}x floor" for n in names if "floor" in m)
        print(f"  {title:<44} {versus}   {floors}")


def threads(argv):
    if argv:
        k = load(argv[0])
    else:
        import kelvora_core_py as k
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{sys.version.split()[0]}, interpreter lock {'enabled' if gil else 'disabled'}")
    rng = np.random.default_rng(1)
    seed = rng.integers(0, 256, 32, dtype=np.uint8)
    packet = rng.permutation(64).astype(np.uint8)
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    calls = 20000

    def involutions():
        for _ in range(calls):
            k.involute_packet(packet, salt, 16)

    def keys():
        for _ in range(calls):
            k.gen_key("party", "purpose", seed)

    for title, work in [("64-byte involutions", involutions), ("gen_key", keys)]:
        m = compare(f"{calls} {title} per thread", [
            ("one thread", work),
            ("two threads", partial(in_threads, 2, work)),
        ], repeats=9)
        print(f"  throughput of two threads: {2 * m['one thread'] / m['two threads']:.2f}x one")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--threads"]:
        threads(sys.argv[2:])
    else:
        side_by_side(sys.argv[1:])
