"""simulate_and_write throughput.

(a) 10,000 families on a 100-leaf birth-death tree: families written per second
    (wall time of the whole call, engine included) with 1 and 2 worker threads of
    the shared pool, and the speed-up of 2 over 1. The pool size comes from
    RAYON_NUM_THREADS, read once per process, so every measurement runs in its
    own subprocess.
(b) The scale workload: 10,000 families along a 200-species tree of height 1,
    duplication, transfer and loss 1 per copy per unit, replacement 1, uniform
    recipients, no origination; prints CPU and wall time of the call.

Output goes to a temporary directory that is deleted afterwards: by default
one in RAM (/dev/shm) when the machine has it, so that the figures measure
this code rather than the disk; --dir chooses another parent folder.

    python bench/write.py            # both
    python bench/write.py a          # only (a); likewise b
    python bench/write.py --dir /tmp # temporary folders below /tmp
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPEATS = 3

THROUGHPUT = dict(n_leaves=100, tree_seed=11, duplication=0.3, transfer=0.3, loss=0.4,
                  origination=0.0, initial_size=10_000, cap=-1, seed=5, replacement=0.0,
                  distance_decay=-1.0, allow_self=False)
SCALE = dict(n_leaves=200, tree_seed=7, duplication=1.0, transfer=1.0, loss=1.0,
             origination=0.0, initial_size=10_000, cap=-1, seed=1, replacement=1.0,
             distance_decay=-1.0, allow_self=False)


def measure(config, folder):
    """Runs one call in this process; returns its figures as a dict."""
    sys.path.insert(0, str(HERE))
    import korvath_core
    from trees import birth_death_tree

    config = dict(config)
    n_nodes, parent, times, extant_leaf, root, names = birth_death_tree(
        config.pop("n_leaves"), seed=config.pop("tree_seed"), height=1.0)
    with tempfile.TemporaryDirectory(dir=folder) as outdir:
        wall, cpu = time.perf_counter(), time.process_time()
        families, events, leaves = korvath_core.simulate_and_write(
            n_nodes, parent, times, extant_leaf, root, names, total_age=1.0, outdir=outdir,
            **config)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        profiles = pathlib.Path(outdir, "Profiles.tsv").read_text().splitlines()[1:]
        copies = sum(int(x) for row in profiles for x in row.split("\t")[1:])
    return dict(families=families, events=events, leaves=leaves, copies=copies, wall=wall,
                cpu=cpu)


def in_subprocess(config, threads, parent):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    request = json.dumps(dict(config=config, folder=parent))
    out = subprocess.run([sys.executable, __file__, "--child", request], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def median_run(config, threads, parent):
    runs = [in_subprocess(config, threads, parent) for _ in range(REPEATS)]
    wall = statistics.median(r["wall"] for r in runs)
    cpu = statistics.median(r["cpu"] for r in runs)
    return runs[0], wall, cpu


def throughput(parent):
    print("(a) 10,000 families on a 100-leaf tree, wall time, median of %d" % REPEATS)
    walls = {}
    for threads in (1, 2):
        figures, wall, cpu = median_run(THROUGHPUT, threads, parent)
        walls[threads] = wall
        print("  %d thread(s): %8.0f families/s  (%.3f s wall, %.3f s CPU; %d events, %d copies)"
              % (threads, figures["families"] / wall, wall, cpu, figures["events"],
                 figures["copies"]))
    print("  speed-up of 2 threads over 1: %.2f" % (walls[1] / walls[2]))


def scale(parent):
    print("(b) scale workload: 10,000 families, 200 species, D=T=L=1, replacement 1")
    for threads in (1, 2):
        figures, wall, cpu = median_run(SCALE, threads, parent)
        print("  %d thread(s): %.2f s CPU, %.2f s wall  (%d events, %d extant copies)"
              % (threads, cpu, wall, figures["events"], figures["copies"]))


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        request = json.loads(sys.argv[2])
        print(json.dumps(measure(request["config"], request["folder"])))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("which", nargs="?", default="ab", help="a, b or ab")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="parent of the temporary output folders")
    args = parser.parse_args()
    print("output below %s" % (args.dir or tempfile.gettempdir()))
    if "a" in args.which:
        throughput(args.dir)
    if "b" in args.which:
        scale(args.dir)


if __name__ == "__main__":
    main()
