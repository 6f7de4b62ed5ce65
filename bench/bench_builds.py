"""Two builds of the module side by side: the same calls, interleaved round by
round in one process, so a new toolchain or build setting can be checked for
speed against the one it replaces (for example the manylinux wheel, built
with zig, against the development wheel, built with g++).

Run: python3 bench/bench_builds.py [--cpu] NAME=PATH NAME=PATH
     (PATH: the module file, kelvora_core_py*.so, from each build or wheel;
     --cpu times the process's CPU time, all threads, instead of the wall clock)
"""
import importlib.util
import sys
import time

import numpy as np

from harness import check_same, compare

MIB = 1 << 20


def load(path: str):
    """The module in `path`, loaded under its own name beside any other copy."""
    spec = importlib.util.spec_from_file_location("kelvora_core_py", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cases(rng):
    """(title, call) pairs; `call(k)` runs one operation on module k."""
    packet = rng.integers(0, 256, 16 * MIB, dtype=np.uint8)
    small = rng.integers(0, 256, 64 * 1024, dtype=np.uint8)
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    keys = [rng.permutation(256).astype(np.uint8) for _ in range(2)]
    seed = rng.integers(0, 256, 32, dtype=np.uint8)
    data = [rng.integers(0, 256, 4 * MIB, dtype=np.uint8) for _ in range(4)]
    privs = [rng.permutation(256).astype(np.uint8) for _ in range(4)]
    return [
        ("involute_packet, 16 MiB in 16-byte chunks",
         lambda k: k.involute_packet(packet, salt, 16)),
        ("involute_packet, 64 KiB in 16-byte chunks",
         lambda k: k.involute_packet(small, salt, 16)),
        ("cycle_packet, 16 MiB in 64-byte chunks",
         lambda k: k.cycle_packet(packet, salt, salt[::-1].copy(), keys[0], keys[1], 64)),
        ("get_chunk_size, 16 MiB", lambda k: k.get_chunk_size(packet)),
        ("prep_condition, 16-byte salt", lambda k: k.prep_condition(-0.5, 0.5, salt)),
        ("gen_key", lambda k: len(k.gen_key("party", "purpose", seed))),
        ("map_data, 4 parties x 4 MiB", lambda k: k.map_data(keys[0], privs[3], 3, data)),
        ("inv_data, 4 parties x 4 MiB", lambda k: k.inv_data(keys[0], privs, data)),
        ("package_blob, 5 fields", lambda k: k.package_blob(b"pub", b"priv", small, "mode", 7)),
    ]


def parse_builds(argv, at_least: int, usage: str):
    """The clock (--cpu: the process's CPU time) and the (name, module) pairs
    of `[--cpu] NAME=PATH ...`; exits with `usage` for fewer than `at_least`."""
    clock = time.process_time if argv[:1] == ["--cpu"] else time.perf_counter
    builds = [arg.split("=", 1) for arg in argv if arg != "--cpu"]
    if len(builds) < at_least or any(len(b) != 2 for b in builds):
        raise SystemExit(usage)
    return clock, [(name, load(path)) for name, path in builds]


def main(argv):
    clock, modules = parse_builds(argv, 2, __doc__)
    for title, call in cases(np.random.default_rng(1)):
        first = call(modules[0][1])
        for name, module in modules[1:]:
            check_same(name, call(module), first)
        compare(title, [(name, (lambda m=module, c=call: c(m))) for name, module in modules],
                repeats=9, clock=clock)


if __name__ == "__main__":
    main(sys.argv[1:])
