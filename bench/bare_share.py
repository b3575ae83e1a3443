"""An engine's native events per second as a share of the bare loop's.

The bare loop (bench/bare_loop.cpp) makes only the draws and rate updates of
the engine workload, so its figure is what this machine can do at most; the
share says how close an engine comes, whatever the machine. The two binaries
are run alternately, so that a change in the machine's load hits both alike.
"""
import pathlib
import re
import statistics
import subprocess

INVOCATIONS = 3


def millions_per_second(command):
    """The first "<x> M events/s" figure a native bench prints."""
    text = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return float(re.search(r"([0-9.]+) M events/s", text).group(1))


def print_share(label, engine_command, runs):
    """Prints the engine's figure against the bare loop built beside it, if any."""
    bare = pathlib.Path(engine_command[0]).with_name("bare_loop")
    if not bare.exists():
        return
    engine_rates, bare_rates = [], []
    for _ in range(INVOCATIONS):
        engine_rates.append(millions_per_second(engine_command))
        bare_rates.append(millions_per_second([str(bare), str(runs)]))
    engine_rate = statistics.median(engine_rates)
    bare_rate = statistics.median(bare_rates)
    print(f"{label} engine {engine_rate:.2f} M events/s, bare loop {bare_rate:.2f} M events/s: "
          f"{engine_rate / bare_rate:.2f} of the bare loop ({INVOCATIONS} alternated invocations)")
