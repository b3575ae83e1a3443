"""Throughput and memory of simulate_log and simulate_trace.

Workload: a 1,000-leaf birth-death species tree of height 1, 1,000 founding
families, duplication 1, transfer 1, loss 1.2, origination 10.

Prints, per function, the rows per second of the whole call (CPU time, median
of several runs), and for simulate_log the peak memory of the call against the
size of the Python result it returns. Engine-only events per second (no
Python conversion) come from the native bench: build the `simulate_engine`
target and run it, or pass its path as --engine. When the `bare_loop` target
is built beside it, the engine's simulate_trace figure is also printed as a
share of the bare loop's (the same draws and rate updates without copy lists
or log), alternating the two binaries so that both see the same machine load.

    PYTHONPATH=<build dir> python3 bench/simulate.py [--runs 5] [--engine <path>]

--removals instead times simulate_trace alone on a workload dominated by the
removals after a transfer: 10,000 families on a 200-leaf tree (tree seed 7),
duplication = transfer = loss = 1, replacement 1, uniform recipients, no
origination, seed 1 (CPU time of the call, median of --runs).
"""

import argparse
import gc
import os
import pathlib
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bare_share import print_share  # noqa: E402
from trees import birth_death_tree  # noqa: E402

import korvath_core  # noqa: E402

RATES = dict(duplication=1.0, transfer=1.0, loss=1.2, origination=10.0, initial_size=1000,
             cap=-1, replacement=0.0, distance_decay=-1.0, allow_self=False)


def workload(seed):
    n_nodes, parent, time_, extant_leaf, root, _names = birth_death_tree(1000, seed=1)
    return dict(n_nodes=n_nodes, parent=parent, time=time_, extant_leaf=extant_leaf, root=root,
                seed=seed, **RATES)


def throughput(name, runs):
    fn = getattr(korvath_core, name)
    rates = []
    with_collection = []
    rows = 0
    for run in range(runs):
        args = workload(100 + run)
        gc.collect()
        start = time.process_time()
        columns, _ = fn(**args)
        elapsed = time.process_time() - start
        gc.collect(0)  # the young-generation pass the new objects cost later
        collected = time.process_time() - start
        rows = len(columns[0])
        rates.append(rows / elapsed)
        with_collection.append(rows / collected)
        del columns, _
    print(f"{name:15s} whole call: {statistics.median(rates) / 1e6:6.2f} M rows/s, with the "
          f"following young-generation collection {statistics.median(with_collection) / 1e6:6.2f} "
          f"M rows/s ({rows} rows, median of {runs})")


REMOVALS = dict(duplication=1.0, transfer=1.0, loss=1.0, origination=0.0, initial_size=10_000,
                cap=-1, seed=1, replacement=1.0, distance_decay=-1.0, allow_self=False)


def removals(runs):
    n_nodes, parent, time_, extant_leaf, root, _names = birth_death_tree(200, seed=7)
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.process_time()
        columns, table = korvath_core.simulate_trace(n_nodes, parent, time_, extant_leaf, root,
                                                     **REMOVALS)
        times.append(time.process_time() - start)
        del columns, table
    print(f"simulate_trace removal workload: {statistics.median(times):6.2f} s CPU "
          f"(median of {runs})")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes():
    """High-water mark of this process's resident memory (reset by exec, unlike ru_maxrss)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def deep_size(result):
    """Bytes held by the result's distinct objects (shared ints counted once)."""
    seen = set()
    total = 0
    stack = [result]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
    return total


def memory_child(name):
    args = workload(100)
    fn = getattr(korvath_core, name)
    before = rss_bytes()
    peak_before = peak_rss_bytes()
    result = fn(**args)
    peak = peak_rss_bytes()
    if peak <= peak_before:
        print(f"{name}: peak not raised by the call; memory figure unavailable")
        return
    growth = peak - before
    rows = len(result[0][0])
    size = deep_size(result)
    print(f"{name:15s} memory: peak growth {growth / rows:6.1f} B/row, result {size / rows:6.1f} "
          f"B/row, ratio {growth / size:4.2f} ({rows} rows)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--engine", help="path of the native simulate_engine bench")
    parser.add_argument("--removals", action="store_true",
                        help="time only the removal-heavy simulate_trace workload")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.memory_child:
        memory_child(options.memory_child)
        return
    if options.removals:
        removals(options.runs)
        return
    if options.engine:
        subprocess.run([options.engine, str(options.runs)], check=True)
        print_share("simulate_trace", [options.engine, str(options.runs), "1000", "0"],
                    options.runs)
    for name in ("simulate_trace", "simulate_log"):
        throughput(name, options.runs)
    for name in ("simulate_trace", "simulate_log"):
        subprocess.run([sys.executable, __file__, "--memory-child", name], check=True)


if __name__ == "__main__":
    main()
