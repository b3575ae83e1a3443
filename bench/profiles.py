"""Throughput of simulate_profiles and the speed-up of simulate_profiles_parallel.

Two workloads on birth-death trees of height 1 (bench/trees.py), with
duplication 1, transfer 1, loss 1.2 and origination 10:
  - 1,000 extant leaves and 1,000 founding families;
  - "large genome": 100 extant leaves and 5,000 founding families.

For each it prints the CPU time of one simulate_profiles call (median of
several runs) and, when the native bench binary is given, events per second:
the binary runs the same engine on the same tree and seed and reports the
event count, which the Python call time then divides. It also prints the
wall-time speed-up of simulate_profiles_parallel with 2 threads over 1.

    python bench/profiles.py [path/to/profiles_engine] [runs]

Build the binary with `cmake --build <build dir> --target profiles_engine`.
When the `bare_loop` target is built beside it, the engine's own figure on the
first workload is also printed as a share of the bare loop's (the same
workload's draws and rate updates on per-branch counts), alternating the two
binaries so that both see the same machine load.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import korvath_core as kc  # noqa: E402
from bare_share import print_share  # noqa: E402
from trees import birth_death_tree  # noqa: E402

RATES = dict(duplication=1.0, transfer=1.0, loss=1.2, origination=10.0, cap=-1, seed=1,
             replacement=0.0, distance_decay=-1.0, allow_self=False)
N_COPIES = 16


def tree_args(n_leaves, seed):
    n_nodes, parent, time_, extant_leaf, root, _ = birth_death_tree(n_leaves, seed=seed)
    return dict(n_nodes=n_nodes, parent=parent, time=time_, extant_leaf=extant_leaf, root=root)


def native_event_count(binary, tree, founders):
    """The engine's event count for this tree, founders and seed 1."""
    with tempfile.NamedTemporaryFile("w", suffix=".tree", delete=False) as out:
        out.write(f"{tree['n_nodes']} {tree['root']}\n")
        for p, t, e in zip(tree["parent"], tree["time"], tree["extant_leaf"]):
            out.write(f"{p} {t!r} {int(e)}\n")
        path = out.name
    try:
        text = subprocess.run([binary, "1", path, str(founders)], check=True,
                              capture_output=True, text=True).stdout
    finally:
        os.unlink(path)
    for line in text.splitlines():
        if line.startswith("events "):
            return int(line.split()[1])
    raise RuntimeError("the native bench printed no event count")


def median_seconds(clock, call, runs):
    times = []
    for _ in range(runs):
        start = clock()
        call()
        times.append(clock() - start)
    return statistics.median(times)


def bench(name, tree, founders, binary, runs):
    args = dict(tree, **RATES, initial_size=founders)
    cpu = median_seconds(time.process_time, lambda: kc.simulate_profiles(**args), runs)
    rows = len(kc.simulate_profiles(**args)[1]) // 4
    line = f"{name:13s} simulate_profiles: {cpu * 1e3:8.1f} ms CPU, {rows} rows"
    if binary:
        events = native_event_count(binary, tree, founders)
        line += f", {events} events, {events / cpu / 1e6:.2f} M events/s"
    print(line)

    def split(n_threads):
        return lambda: kc.simulate_profiles_parallel(**args, n_copies=N_COPIES, n_threads=n_threads)

    # Alternated, so that a change in the machine's load hits both alike.
    ones, twos = [], []
    for _ in range(2 * runs):
        ones.append(median_seconds(time.perf_counter, split(1), 1))
        twos.append(median_seconds(time.perf_counter, split(2), 1))
    one, two = statistics.median(ones), statistics.median(twos)
    print(f"{name:13s} simulate_profiles_parallel ({N_COPIES} copies): 1 thread {one:.3f} s, "
          f"2 threads {two:.3f} s, speed-up {one / two:.2f} (wall)")


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 and sys.argv[1] != "-" else None
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    bench("1000 leaves", tree_args(1000, 1), 1000, binary, runs)
    bench("large genome", tree_args(100, 2), 5000, binary, runs)
    if binary:
        print_share("1000 leaves  ", [binary, str(runs), "serial"], runs)


if __name__ == "__main__":
    main()
