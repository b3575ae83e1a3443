"""Argument conversion throughput: [float], [int] and [bool] from lists and numpy arrays.

The call used is undated_family_loglik on a one-branch species tree with an empty
batch, where one large argument is converted and then ignored (sp_time when
`transfers` is 0, gt_left and gt_is_leaf when the batch holds no tree), so the
call's cost is the conversion. Prints elements per second and bytes per second
in CPU time of the process, the median of several runs.
"""
import statistics
import sys
import time

import numpy as np

import korvath_core as kc

N = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
REPEATS = 5

BASE = dict(sp_left=[-1], sp_right=[-1], sp_is_leaf=[True], sp_time=[1.0], sp_parent_time=[0.0],
            sp_root=0, gt_offsets=[], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[],
            dup=0.1, transfer=0.1, loss=0.1, transfers=0, origination=0)


def median_cpu_seconds(argument, value):
    args = dict(BASE, **{argument: value})
    times = []
    for _ in range(REPEATS):
        start = time.process_time()
        kc.undated_family_loglik(**args)
        times.append(time.process_time() - start)
    return statistics.median(times)


def main():
    rng = np.random.default_rng(1)
    cases = [
        ("[float]", "sp_time", rng.normal(size=N), 8),
        ("[int]", "gt_left", rng.integers(-10**9, 10**9, size=N, dtype=np.int64), 8),
        ("[bool]", "gt_is_leaf", rng.random(N) < 0.5, 1),
    ]
    print(f"conversion throughput, {N:,} elements, CPU time, median of {REPEATS}")
    for label, argument, array, itemsize in cases:
        as_list = array.tolist()
        for source, value in (("list", as_list), ("numpy", array)):
            seconds = median_cpu_seconds(argument, value)
            rate = N / seconds if seconds > 0 else float("inf")
            print(f"  {label:8s} from {source:5s}: {rate / 1e6:9.1f} M elements/s"
                  f"  {rate * itemsize / 1e9:7.2f} GB/s (of element data)")


if __name__ == "__main__":
    main()
