"""Draws the module's speed against the best NumPy/stdlib peer of every scenario into docs/speed.png.

Runs every benchmark script (their --quick profiles), takes from each case that has a peer the
ratio peer time / module time (the fastest peer where a case has several), and draws one bar per
scenario on a log scale, with the machine and the date in the title. Needs matplotlib, a
benchmark-only dependency.

    python bench/plot.py [--out docs/speed.png]
"""
from __future__ import annotations

import argparse
import contextlib
import datetime
import io
import os
import platform
import sys

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = ["bench_chunks", "bench_conditions", "bench_keys", "bench_mapping", "bench_blob",
           "bench_involute"]
# Candidates that are lower bounds or the module itself, not a way a user would do the job.
NOT_PEERS = ("floor", "one-core floor", "hashlib", "result written", "cycle_packet",
             "involute_packet", "two-core")


def is_peer(name: str) -> bool:
    return not name.startswith(NOT_PEERS)


def run_all() -> list[tuple[str, float]]:
    """(scenario, peer time / module time) for every case that has a peer."""
    sys.argv = [sys.argv[0], "--quick"]
    for name in SCRIPTS:
        module = __import__(name)
        with contextlib.redirect_stdout(io.StringIO()):
            module.main()
        print(f"ran {name}", file=sys.stderr)
    rows = []
    for title, medians in harness.RUNS:
        names = list(medians)
        peers = [medians[n] for n in names[1:] if is_peer(n)]
        if peers:
            rows.append((title.split(" (")[0], min(peers) / medians[names[0]]))
    return rows


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def draw(rows: list[tuple[str, float]], out: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [r[0] for r in rows]
    ratios = [r[1] for r in rows]
    fig, ax = plt.subplots(figsize=(10, 0.38 * len(rows) + 1.6))
    bars = ax.barh(range(len(rows)), ratios, color=["#2a7ab9" if r >= 1 else "#c0392b" for r in ratios])
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_yticks(range(len(rows)), labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("speed-up over the best NumPy / standard-library way (peer time / module time, log scale)")
    for bar, ratio in zip(bars, ratios):
        ax.text(bar.get_width() * 1.05, bar.get_y() + bar.get_height() / 2, f"{ratio:.1f}x",
                va="center", fontsize=7)
    date = datetime.date.today().isoformat()
    ax.set_title(f"kelvora_core_py speed, {cpu_name()}, {os.cpu_count()} cores, {date}", fontsize=9)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(HERE, "..", "docs", "speed.png"))
    out = parser.parse_args().out
    sys.path.insert(0, HERE)
    draw(run_all(), out)


if __name__ == "__main__":
    main()
