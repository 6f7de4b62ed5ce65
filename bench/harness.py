"""Shared benchmark harness: every candidate runs through the same loop.

Candidates of one case are interleaved round by round, so drift on a shared,
noisy machine hits them alike; each reports the median of its repeats. The
first candidate is the module; ratios are printed against it.

Native benchmarks (Google Benchmark executables under build/*/bench/) are run
through native_medians, which reads their JSON report.
"""
from __future__ import annotations

import glob
import json
import os
import statistics
import subprocess
import threading
import time
from typing import Callable, Sequence


def sha256_blocks(n_bytes: int) -> int:
    """SHA-256 compressions for a message of n bytes."""
    return (n_bytes + 9 + 63) // 64


# Every compare() of this process, in order: (title, medians by candidate name); bench/plot.py
# draws from it.
RUNS: list[tuple[str, dict[str, float]]] = []


def check_same(name: str, got, want) -> None:
    """A peer only counts if it computes the same result."""
    if got != want:
        raise SystemExit(f"{name}: peer result differs from the module's")


def in_threads(threads: int, work) -> None:
    """Runs work() on `threads` Python threads at once and waits for them."""
    running = [threading.Thread(target=work) for _ in range(threads)]
    for t in running:
        t.start()
    for t in running:
        t.join()


def one_core_floor(rows, results: int) -> list:
    """The data mapping's floor on one core: every input byte read once
    (np.count_nonzero over each row of `rows`, a 2-D uint8 array), and the
    result bytes objects made (`results` of one row's length)."""
    import numpy as np
    for row in rows:
        np.count_nonzero(row)
    return [bytes(rows.shape[1]) for _ in range(results)]


def time_once(fn: Callable[[], object], number: int,
              clock: Callable[[], float] = time.perf_counter) -> float:
    start = clock()
    for _ in range(number):
        fn()
    return (clock() - start) / number


def compare(title: str, candidates: Sequence[tuple[str, Callable[[], object]]],
            repeats: int = 7, min_time: float = 0.05,
            clock: Callable[[], float] = time.perf_counter) -> dict[str, float]:
    """Times each candidate (median seconds per call) and prints ratios to the
    first. clock=time.process_time counts the process's CPU time instead of
    the wall clock's: on a machine that other work keeps busy, what a call
    costs rather than how long it waited for a processor."""
    numbers = []
    for _, fn in candidates:
        fn()  # warm up, and size the inner loop so one repeat takes min_time
        once = max(time_once(fn, 1, clock), 1e-7)
        numbers.append(max(1, int(min_time / once)))
    samples: list[list[float]] = [[] for _ in candidates]
    for _ in range(repeats):
        for i, (_, fn) in enumerate(candidates):
            samples[i].append(time_once(fn, numbers[i], clock))
    medians = {name: statistics.median(s) for (name, _), s in zip(candidates, samples)}
    RUNS.append((title, medians))
    base_name = candidates[0][0]
    base = medians[base_name]
    print(f"\n{title}")
    for name, t in medians.items():
        ratio = t / base
        print(f"  {name:<44} {t * 1e6:12.1f} us   {ratio:7.2f}x of {base_name}")
    return medians


def resource_use(title: str, candidates: Sequence[tuple[str, Callable[[], object]]],
                 repeats: int = 5) -> None:
    """Prints, per call, each candidate's median wall time, the process's user
    and system CPU time (all threads) and its minor page faults: where a call's
    time goes besides its own arithmetic (the kernel's work of backing fresh
    result memory, say). Linux and macOS only; elsewhere prints nothing."""
    try:
        import resource
    except ImportError:
        return
    print(f"\n{title}: per call, median of {repeats}")
    for name, fn in candidates:
        rows = []
        for _ in range(repeats):
            before, start = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
            fn()
            wall, after = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF)
            rows.append((wall, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime,
                         after.ru_minflt - before.ru_minflt))
        wall, user, system, faults = (statistics.median(column) for column in zip(*rows))
        print(f"  {name:<32} wall {wall * 1e3:9.1f} ms  user {user * 1e3:9.1f} ms  "
              f"system {system * 1e3:9.1f} ms  {faults:9.0f} page faults")


def release_build(build_dir: str) -> bool:
    """Whether a CMake build directory is optimised (Release) and free of the
    sanitizers, whose timings say nothing about the product."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            cache = dict(line.rstrip("\n").split("=", 1) for line in f
                         if "=" in line and not line.startswith(("#", "//")))
    except OSError:
        return False
    return (cache.get("CMAKE_BUILD_TYPE:STRING") == "Release"
            and cache.get("KELVORA_SANITIZE:BOOL", "OFF").upper() in ("OFF", "FALSE", "0", ""))


def native_medians(name: str, env_var: str, args: Sequence[str] = (),
                   repetitions: int = 3) -> list[dict] | None:
    """Median rows of the native benchmark `name`, or None when it is not built.

    The executable is $env_var when set, else build/*/bench/<name> of an
    optimised build without sanitizers (release_build). Rows that report an
    error are left out.
    """
    path = os.environ.get(env_var)
    if not path:
        root = os.path.join(os.path.dirname(__file__), "..", "build")
        found = [p for p in sorted(glob.glob(os.path.join(root, "*", "bench", name)))
                 if release_build(os.path.dirname(os.path.dirname(p)))]
        if not found:
            return None
        path = found[0]
    out = subprocess.run([path, *args, "--benchmark_format=json",
                          f"--benchmark_repetitions={repetitions}",
                          "--benchmark_report_aggregates_only=true"],
                         capture_output=True, text=True, check=True).stdout
    return [b for b in json.loads(out)["benchmarks"]
            if b.get("aggregate_name") == "median" and not b.get("error_occurred")]
