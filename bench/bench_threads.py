"""Several calls at once, and Ctrl-C during long calls.

Long calls release the interpreter lock, so Python threads calling the module run at once:
  two threads each running 4 MiB involutions      at least 1.6x the throughput of one thread
                                                  running them all (two cores)
  Dask's threaded scheduler on examples/scale_out.py's batch
                                                  at least 1.5x the speed of a serial loop
  a counter thread during a 64 MiB involution   its rate against its free rate (the
                                                  module holding the lock would stop it)
A long call on the main thread takes the lock back every 20 ms to run signal handlers:
  SIGINT during a 64 MiB involution and a 1 GiB map_data
                                                  KeyboardInterrupt under 60 ms after the signal
Throughput: medians of interleaved repeats (harness.compare). Latency: the signal is sent from
another thread at staggered times into the call; median and largest of the delays until the
exception reaches the caller.

Run: PYTHONPATH=<build>/binding python3 bench/bench_threads.py [--quick]
"""
import os
import signal
import statistics
import sys
import threading
import time

import numpy as np

import kelvora_core_py as k
from harness import compare, in_threads

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
import scale_out  # noqa: E402

MIB = 1 << 20
QUICK = "--quick" in sys.argv


def bench_two_threads() -> float:
    rng = np.random.default_rng(1)
    packets = [rng.integers(0, 256, 4 * MIB, dtype=np.uint8) for _ in range(2)]
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    calls = 8 if QUICK else 32

    def run(packet, n):
        for _ in range(n):
            k.involute_packet(packet, salt, 64)

    medians = compare(f"{calls} involutions of 4 MiB (s = 64)", [
        ("two threads, half each", lambda: in_threads(2, lambda: run(packets[0], calls // 2))),
        ("one thread", lambda: run(packets[0], calls)),
        ("four threads, a quarter each", lambda: in_threads(4, lambda: run(packets[1], calls // 4))),
    ], repeats=5 if QUICK else 9, min_time=0.0)
    return medians["one thread"] / medians["two threads, half each"]


def bench_dask() -> float | None:
    try:
        import dask
    except ImportError:
        print("\nDask threaded scheduler: dask is not installed (a benchmark-only dependency)")
        return None
    groups = scale_out.make_groups(4 if QUICK else 8, 8, 16, 1 << 18)
    batch = scale_out.tasks(groups)
    threaded = lambda: dask.compute(*[dask.delayed(fn)(*args) for fn, *args in batch],  # noqa: E731
                                    scheduler="threads", num_workers=2)
    assert list(threaded()) == scale_out.run_serial(batch)
    medians = compare(f"examples/scale_out.py batch, {len(batch)} tasks", [
        ("Dask threaded scheduler, 2 workers", threaded),
        ("serial loop", lambda: scale_out.run_serial(batch)),
    ], repeats=5 if QUICK else 9, min_time=0.0)
    return medians["serial loop"] / medians["Dask threaded scheduler, 2 workers"]


def bench_counter() -> float:
    """The median share of its free rate that a counting thread keeps during a 64 MiB
    involution on the main thread."""
    rng = np.random.default_rng(3)
    packet = rng.integers(0, 256, 64 * MIB, dtype=np.uint8)
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    count, running = [0], [True]

    def counter():
        while running[0]:
            count[0] += 1

    def rate_while(wait) -> float:
        start, began = count[0], time.perf_counter()
        wait()
        return (count[0] - start) / (time.perf_counter() - began)

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        shares = []
        for _ in range(5 if QUICK else 15):
            free = rate_while(lambda: time.sleep(0.1))
            shares.append(rate_while(lambda: k.involute_packet(packet, salt, 64)) / free)
    finally:
        running[0] = False
        thread.join()
    print(f"\nA counter thread during a 64 MiB involution: median {statistics.median(shares):.2f}, "
          f"range {min(shares):.2f} to {max(shares):.2f} of its free rate ({len(shares)} repeats)")
    return statistics.median(shares)


def interrupt_latencies(call, delays: list[float]) -> tuple[list[float], float]:
    """Seconds from SIGINT to the KeyboardInterrupt of `call`, for each delay into the call;
    and the uninterrupted call's own duration."""
    began = time.perf_counter()
    call()
    duration = time.perf_counter() - began
    main = threading.main_thread().ident
    latencies = []
    for delay in delays:
        sent = []

        def send():
            time.sleep(delay)
            sent.append(time.perf_counter())
            signal.pthread_kill(main, signal.SIGINT)

        sender = threading.Thread(target=send)
        try:
            sender.start()
            call()
            time.sleep(1)   # a call that ran to its end: the signal arrives here
            raise SystemExit(f"the call was not interrupted ({delay * 1e3:.0f} ms in)")
        except KeyboardInterrupt:
            latencies.append(time.perf_counter() - sent[0])
        finally:
            sender.join()
    return latencies, duration


def bench_interrupts() -> list[tuple[str, float]]:
    rng = np.random.default_rng(2)
    packet = rng.integers(0, 256, 64 * MIB, dtype=np.uint8)
    salt = rng.integers(0, 256, 16, dtype=np.uint8)
    keys = [rng.permutation(256).astype(np.uint8) for _ in range(2)]
    data = rng.integers(0, 256, (64, 16 * MIB), dtype=np.uint8)   # n x L = 1 GiB
    delays = [0.005 + 0.004 * i for i in range(4 if QUICK else 10)]
    print("\nCtrl-C: SIGINT sent 5 to 45 ms into the call, delay until KeyboardInterrupt")
    worst = []
    for name, call in [
        ("involute_packet, 64 MiB, s = 64", lambda: k.involute_packet(packet, salt, 64)),
        ("map_data, n = 64, L = 16 MiB (1 GiB)", lambda: k.map_data(keys[0], keys[1], 63, data)),
    ]:
        latencies, duration = interrupt_latencies(call, delays)
        print(f"  {name:<44} median {statistics.median(latencies) * 1e3:5.1f} ms, "
              f"largest {max(latencies) * 1e3:5.1f} ms (the whole call: {duration * 1e3:.0f} ms)")
        worst.append((name, max(latencies)))
    return worst


def main() -> None:
    two = bench_two_threads()
    dask_speedup = bench_dask()
    counter = bench_counter()
    worst = bench_interrupts()
    print("\nSummary")
    print(f"  two threads vs one, 4 MiB involutions   {two:5.2f}x throughput (target 1.6x)")
    if dask_speedup is not None:
        print(f"  Dask threaded vs serial loop            {dask_speedup:5.2f}x (target 1.5x)")
    print(f"  counter thread, 64 MiB involution       {counter:5.2f} of its free rate (test: 1/3)")
    for name, latency in worst:
        print(f"  Ctrl-C, {name:<32} largest {latency * 1e3:5.1f} ms (target under 60 ms)")


if __name__ == "__main__":
    main()
