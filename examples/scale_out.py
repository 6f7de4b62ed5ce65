"""Scale out with Dask: a batch of groups and packets on worker processes and on threads.

A batch of G groups of P parties each. When a group forms, its key tables are drawn once
(gen_key: a public table and one private table per party). The batch then does the group's data
work: map_data for every party, each party's setup packet (package_blob), the round trip through
inv_data, and involute_packet of many packets under the group's salt.

The same batch runs three ways and must give the same bytes:
  1. a serial loop,
  2. Dask's threaded scheduler (the module releases the interpreter lock in long calls, so two
     threads work at once),
  3. a dask.distributed LocalCluster of worker processes (arguments and results are plain bytes
     and NumPy arrays, so they cross process boundaries).
Last, one bad task among good ones: a PanicException raised in a worker reaches the caller as
kelvora_core_py.PanicException, without hanging and without losing the other results.

    python examples/scale_out.py [--groups G] [--parties P] [--packets N] [--length L]
                                 [--workers W]

Dask and distributed are needed by this example only, not by the module
(pip install "kelvora_core_py[examples]").
"""
from __future__ import annotations

import argparse
import os
from typing import Any

import numpy as np
import numpy.typing as npt

import kelvora_core_py as k

Array = npt.NDArray[np.uint8]
PACKET_BYTES = 1 << 16
CHUNK = 64


def u8(data: bytes) -> Array:
    return np.frombuffer(data, dtype=np.uint8)


def make_groups(groups: int, parties: int, packets: int, length: int) -> list[dict[str, Any]]:
    """Each group's keys, data sequences, salt and packets, drawn once when the group forms."""
    rng = np.random.default_rng(2026)
    seed = u8(os.urandom(32))
    out = []
    for g in range(groups):
        out.append({
            "public": u8(k.gen_key(f"group {g}", "public", seed)),
            "private": [u8(k.gen_key(f"party {g}.{p}", "private", seed)) for p in range(parties)],
            "data": rng.integers(0, 256, (parties, length), dtype=np.uint8),
            "salt": rng.integers(0, 256, 16, dtype=np.uint8),
            "packets": [rng.integers(0, 256, PACKET_BYTES, dtype=np.uint8) for _ in range(packets)],
        })
    return out


def map_group(group: dict[str, Any]) -> dict[str, Any]:
    """Every party's mapped sequence and setup packet; the restored data must equal the source."""
    pub, private, data = group["public"], group["private"], group["data"]
    mapped = [k.map_data(pub, private[i], i, data) for i in range(len(private))]
    setups = [k.package_blob(pub, m, "mapped", i) for i, m in enumerate(mapped)]
    restored = k.inv_data(pub, private, [u8(m) for m in mapped])
    return {"mapped": mapped, "setups": setups, "restored": restored == [bytes(r) for r in data]}


def involute_packets(salt: Array, packets: list[Array]) -> list[bytes]:
    return [k.involute_packet(p, salt, CHUNK) for p in packets]


def tasks(groups: list[dict[str, Any]]) -> list[tuple[Any, ...]]:
    """The batch as (function, arguments) pairs, in a fixed order."""
    out: list[tuple[Any, ...]] = []
    for g in groups:
        out.append((map_group, g))
        out.append((involute_packets, g["salt"], g["packets"]))
    return out


def run_serial(batch: list[tuple[Any, ...]]) -> list[Any]:
    return [fn(*args) for fn, *args in batch]


def run_threads(batch: list[tuple[Any, ...]], workers: int) -> list[Any]:
    import dask
    from dask.diagnostics import ProgressBar

    with ProgressBar(dt=0.5):
        return list(dask.compute(*[dask.delayed(fn)(*args) for fn, *args in batch],
                                 scheduler="threads", num_workers=workers))


def run_processes(client: Any, batch: list[tuple[Any, ...]]) -> list[Any]:
    from distributed import progress

    futures = [client.submit(fn, *args, pure=False) for fn, *args in batch]
    progress(futures)
    print()
    return list(client.gather(futures))


def one_bad_task(client: Any, batch: list[tuple[Any, ...]],
                 timeout: float = 600) -> tuple[list[Any], list[BaseException]]:
    """Runs the batch plus a task that raises PanicException in its worker.

    distributed's synchronous client catches only Exception, so gather() or result() of a task that
    raised a BaseException such as PanicException would wait for ever. Waiting for every future
    first (with a bound), then asking each for its exception() (which does return it) and only the
    others for their result(), meets the failure without hanging and keeps every other result.
    The exception arrives as kelvora_core_py.PanicException itself: pickle finds the class by its
    qualified name.
    """
    from distributed import wait

    group = batch[0][1]
    futures = [client.submit(fn, *args, pure=False) for fn, *args in batch]
    # An identity beyond the group: an internal failure in the worker.
    futures.insert(1, client.submit(k.map_data, group["public"], group["private"][0],
                                    len(group["private"]), group["data"], pure=False))
    wait(futures, timeout=timeout)
    results: list[Any] = []
    failures: list[BaseException] = []
    for f in futures:
        if f.status == "error":
            failures.append(f.exception())
        else:
            results.append(f.result())
    return results, failures


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", type=int, default=8)
    parser.add_argument("--parties", type=int, default=8)
    parser.add_argument("--packets", type=int, default=16)
    parser.add_argument("--length", type=int, default=1 << 18, help="bytes per data sequence")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    groups = make_groups(args.groups, args.parties, args.packets, args.length)
    batch = tasks(groups)
    print(f"{args.groups} groups of {args.parties} parties, {args.packets} packets of "
          f"{PACKET_BYTES} bytes each: {len(batch)} tasks")

    serial = run_serial(batch)
    assert all(r["restored"] for r in serial[::2]), "inv_data did not restore the data"
    print("serial loop: done, every group's data restored")

    threaded = run_threads(batch, args.workers)
    print("threaded scheduler equals the serial loop:", threaded == serial)

    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        distributed = run_processes(client, batch)
        print("worker processes equal the serial loop:", distributed == serial)

        results, failures = one_bad_task(client, batch)
        print(f"batch with one bad task: {len(results)} results kept, {len(failures)} failed:")
        for exc in failures:
            print(f"  {type(exc).__module__}.{type(exc).__qualname__}: {exc}")
        print("the failure arrived as kelvora_core_py.PanicException:",
              all(isinstance(e, k.PanicException) for e in failures) and len(failures) == 1)
        print("the other results equal the serial loop:", results == serial)


if __name__ == "__main__":
    main()
