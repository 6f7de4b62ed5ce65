"""Shared benchmark harness: every candidate runs through the same loop.

Candidates of one case are interleaved round by round, so drift on a shared,
noisy machine hits them alike; each reports the median of its repeats. The
first candidate is the module; ratios are printed against it.
"""
from __future__ import annotations

import statistics
import time
from typing import Callable, Sequence


def check_same(name: str, got, want) -> None:
    """A peer only counts if it computes the same result."""
    if got != want:
        raise SystemExit(f"{name}: peer result differs from the module's")


def time_once(fn: Callable[[], object], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def compare(title: str, candidates: Sequence[tuple[str, Callable[[], object]]],
            repeats: int = 7, min_time: float = 0.05) -> dict[str, float]:
    """Times each candidate (median seconds per call) and prints ratios to the first."""
    numbers = []
    for _, fn in candidates:
        fn()  # warm up, and size the inner loop so one repeat takes min_time
        once = max(time_once(fn, 1), 1e-7)
        numbers.append(max(1, int(min_time / once)))
    samples: list[list[float]] = [[] for _ in candidates]
    for _ in range(repeats):
        for i, (_, fn) in enumerate(candidates):
            samples[i].append(time_once(fn, numbers[i]))
    medians = {name: statistics.median(s) for (name, _), s in zip(candidates, samples)}
    base_name = candidates[0][0]
    base = medians[base_name]
    print(f"\n{title}")
    for name, t in medians.items():
        ratio = t / base
        print(f"  {name:<44} {t * 1e6:12.1f} us   {ratio:7.2f}x of {base_name}")
    return medians
