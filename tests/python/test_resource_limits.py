"""Inputs that would abort the interpreter, hang it or exhaust its memory end with an exception.

Every call holds its growing storage (converted arrays, event log, copy lists, family
tables, segment genomes) within a memory budget of one eighth of the memory the process
may use: its physical memory, or its address-space limit when that is smaller. Tests that
need a small budget run the call in a child process under a small address-space limit
(RLIMIT_AS); the sanitizer build reserves terabytes of address space for its shadow
memory, so those tests are skipped there.
"""
import collections.abc
import json
import os
import pathlib
import resource
import subprocess
import sys
import textwrap

import pytest

import korvath_core

from conftest import assert_panics

SANITIZED = bool(os.environ.get("KORVATH_SANITIZED"))
needs_address_limit = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer runtime cannot run under an address-space limit")
MEMORY_RUNAWAY = "exceeded the memory budget of "
FAMILY_ADVICE = "families likely growing without bound \u2014 set max_family_size"
GENOME_RUNAWAY = ("exceeded max_events; genome growing without bound \u2014 "
                  "lower duplication/transfer or raise loss")

# Root 0 at date 0 with the two extant leaves 1 and 2 at date 1.
CHERRY = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0],
              extant_leaf=[False, True, True], root=0)
QUIET = dict(duplication=0.0, transfer=0.0, loss=0.0, origination=0.0, initial_size=1, cap=-1,
             seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)
NUCLEOTIDE = dict(inversion=0.0, loss=0.0, duplication=0.0, transfer=0.0, transposition=0.0,
                  origination=0.0, root_length=100, extension=0.5, initial_size=1, seed=1,
                  replacement=0.0, distance_decay=-1.0, allow_self=False)
# A species tree for the likelihood functions: root 0 over the leaves 1 and 2.
SPECIES = dict(sp_parent=[-1, 0, 0], sp_left=[1, -1, -1], sp_right=[2, -1, -1],
               sp_is_leaf=[False, True, True], sp_time=[0.0, 1.0, 1.0],
               sp_parent_time=[0.0, 0.0, 0.0], sp_root=0)
ONE_GENE = dict(gt_is_leaf=[True], gt_left=[-1], gt_right=[-1], gt_species=[1], dup=0.1,
                transfer=0.1, loss=0.1, n_steps=10, origination=0, n_extinct=0)


def run_limited(body, address_bytes=512 << 20, cpu_seconds=60):
    """Runs `body` (which defines `result`, a callable) in a child interpreter with limits on
    address space and CPU time; returns what the call ended with as a dict."""
    code = "import json, korvath_core\n" + textwrap.dedent(body) + textwrap.dedent("""
        try:
            value = result()
            print(json.dumps({"outcome": "returned", "value": repr(value)[:200]}))
        except BaseException as exc:
            print(json.dumps({"outcome": type(exc).__name__, "message": str(exc),
                              "notes": getattr(exc, "__notes__", None)}))
    """)

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (address_bytes, address_bytes))
        resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds))

    env = dict(os.environ)
    env["OPENBLAS_NUM_THREADS"] = "1"  # numpy's per-thread buffers would crowd the limit
    env["PYTHONPATH"] = os.pathsep.join(
        [str(pathlib.Path(korvath_core.__file__).parent), env.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          preexec_fn=limit, timeout=4 * cpu_seconds)
    assert done.returncode == 0, f"the child died ({done.returncode}): {done.stderr[-2000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


class LyingLength(collections.abc.Sequence):
    """A sequence whose length says `length` but which yields `items`."""

    def __init__(self, items, length):
        self.items, self.length = list(items), length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


# --- conversion ---------------------------------------------------------------------------

def test_ranges_beyond_the_memory_budget_raise_memory_error_before_iterating():
    # range(2**40) has an exact length past any budget; range(2**64) cannot even say its
    # length. Both used to abort the interpreter.
    with pytest.raises(MemoryError) as caught:
        korvath_core.dated_joint_loglik(**SPECIES, gt_offsets=range(2**40), **ONE_GENE)
    assert "does not fit the memory budget of " in str(caught.value)
    assert caught.value.__notes__ == ["while processing 'gt_offsets'"]
    with pytest.raises(MemoryError) as caught:
        korvath_core.simulate_profiles(**dict(CHERRY, parent=range(2**64)), **QUIET)
    assert caught.value.__notes__ == ["while processing 'parent'"]
    # The interpreter lives on and the next call is unaffected.
    assert korvath_core.dated_joint_loglik(**SPECIES, gt_offsets=range(2), **ONE_GENE) < 0


@pytest.mark.parametrize("length", [2**62, 2**40, 0, TypeError("no length")])
def test_a_sequence_length_is_only_a_capacity_hint(length):
    expected = korvath_core.simulate_profiles(**CHERRY, **QUIET)
    lying = dict(CHERRY, parent=LyingLength([-1, 0, 0], length),
                 time=LyingLength([0.0, 1.0, 1.0], length))
    assert korvath_core.simulate_profiles(**lying, **QUIET) == expected


@needs_address_limit
def test_a_sequence_that_never_ends_is_stopped_by_the_memory_budget():
    ended = run_limited("""
        import collections.abc, itertools
        class Endless(collections.abc.Sequence):
            def __len__(self):
                return 3
            def __getitem__(self, i):
                return 0
            def __iter__(self):
                return itertools.repeat(0)
        result = lambda: korvath_core.simulate_profiles(
            3, Endless(), [0.0, 1.0, 1.0], [False, True, True], 0,
            0.0, 0.0, 0.0, 0.0, 1, -1, 1, 0.0, -1.0, False)
    """)
    assert ended["outcome"] == "MemoryError", ended
    assert "memory budget of 64.0 MB" in ended["message"]
    assert ended["notes"] == ["while processing 'parent'"]


@needs_address_limit
def test_an_allocation_that_fails_within_the_budget_raises_memory_error():
    # The 40 MB array fits the 64 MB budget, but all but 16 MB of the address space is taken.
    ended = run_limited("""
        def call():
            return korvath_core.simulate_profiles(
                3, [-1, 0, 0], range(5_000_000), [False, True, True], 0,
                0.0, 0.0, 0.0, 0.0, 1, -1, 1, 0.0, -1.0, False)
        def result():
            hog = []
            try:
                while True:
                    hog.append(bytearray(8 << 20))
            except MemoryError:
                del hog[-2:]
            try:
                call()
            except MemoryError as exc:
                hog.clear()
                # The interpreter lives on: with the room back the same call runs (the
                # dates past the tree's nodes are never read).
                return (exc.__notes__, call()[0])
            return "no MemoryError"
    """)
    assert ended["outcome"] == "returned", ended
    assert ended["value"] == repr((["while processing 'time'"], bytes([1, 0, 0, 0, 2, 0, 0, 0])))


# --- founding families and runaway families ------------------------------------------------

@pytest.mark.parametrize("name", ["simulate_log", "simulate_trace", "simulate_and_write"])
def test_founding_families_that_cannot_fit_end_before_any_is_made(name, tmp_path):
    args = dict(CHERRY, **dict(QUIET, initial_size=2**32))
    if name == "simulate_and_write":
        args.update(names=["r", "a", "b"], total_age=1.0, outdir=str(tmp_path / "out"))
    with pytest.raises(RuntimeError) as caught:
        getattr(korvath_core, name)(**args)
    assert str(caught.value).startswith(MEMORY_RUNAWAY)
    assert str(caught.value).endswith(FAMILY_ADVICE)


def test_counts_engine_still_refuses_founders_beyond_its_ids():
    assert_panics(korvath_core.simulate_profiles, **CHERRY, **dict(QUIET, initial_size=2**32))


@needs_address_limit
@pytest.mark.parametrize("name", ["simulate_log", "simulate_trace", "simulate_and_write"])
def test_supercritical_families_end_at_the_memory_budget(name, tmp_path):
    # Duplication 60 without a cap: copies and log would outgrow memory long before
    # max_events.
    extra = ""
    if name == "simulate_and_write":
        extra = f", names=['r', 'a', 'b'], total_age=1.0, outdir={str(tmp_path / 'out')!r}"
    ended = run_limited(f"""
        result = lambda: korvath_core.{name}(
            n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True],
            root=0, duplication=60.0, transfer=0.0, loss=0.0, origination=0.0, initial_size=1,
            cap=-1, seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False{extra})
    """)
    assert ended["outcome"] == "RuntimeError", ended
    assert ended["message"].startswith(MEMORY_RUNAWAY + "64.0 MB"), ended
    assert ended["message"].endswith(FAMILY_ADVICE)


@needs_address_limit
@pytest.mark.parametrize("call", ["simulate_profiles(**args)",
                                  "simulate_profiles_parallel(**args, n_copies=3, n_threads=2)"])
def test_family_tables_past_the_memory_budget_end_the_counts_run(call):
    # Every origination adds a family to a branch's table.
    ended = run_limited(f"""
        args = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0],
                    extant_leaf=[False, True, True], root=0, duplication=0.0, transfer=0.0,
                    loss=0.0, origination=1e8, initial_size=0, cap=-1, seed=1, replacement=0.0,
                    distance_decay=-1.0, allow_self=False)
        result = lambda: korvath_core.{call}
    """)
    assert ended["outcome"] == "RuntimeError", ended
    assert ended["message"].startswith(MEMORY_RUNAWAY), ended
    assert ended["message"].endswith(FAMILY_ADVICE)


@needs_address_limit
@pytest.mark.parametrize("call", [
    "simulate_log(3, [-1, 0, 0], [nan, 1.0, 1.0], *tree, *families)",
    "simulate_profiles(3, [-1, 0, 0], [0.0, -inf, 1.0], *tree, *families)",
    "simulate_trace(3, [-1, 0, 0], [0.0, 1.0, inf], *tree, *families)",
    "simulate_nucleotide(3, [-1, 0, 0], [0.0, -inf, 1.0], *tree, *genome)",
])
def test_runs_whose_clock_never_reaches_a_node_end(call):
    # A date that is not finite keeps the clock from ever reaching the next node: the run
    # used to grow until the operating system stopped it. Whether the dates are refused up
    # front or the run meets its bounds, it ends with a documented exception.
    ended = run_limited(f"""
        nan, inf = float("nan"), float("inf")
        tree = ([False, True, True], 0)
        families = (0.0, 0.0, 0.0, 1.0, 1, -1, 1, 0.0, -1.0, False)
        genome = (0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 100, 0.5, 1, 1, 0.0, -1.0, False)
        result = lambda: korvath_core.{call}
    """, address_bytes=1 << 30)
    assert ended["outcome"] in ("RuntimeError", "PanicException"), ended


# --- genomes -------------------------------------------------------------------------------

@needs_address_limit
def test_a_supercritical_genome_ends_with_its_runaway_error_within_a_minute():
    # Every event is linear in the segments of its genome: growing a few segments per event,
    # the genome used to take hours to reach its segment bound; it now ends after a few
    # seconds of work.
    ended = run_limited("""
        result = lambda: korvath_core.simulate_nucleotide(
            3, [-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0,
            0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 100, 0.99, 1, 1, 0.0, -1.0, False)
    """, address_bytes=4 << 30, cpu_seconds=60)
    assert ended == {"outcome": "RuntimeError", "message": GENOME_RUNAWAY, "notes": None}


@needs_address_limit
def test_a_genome_whose_clock_cannot_advance_ends_with_its_runaway_error():
    # Origination 1e300: every waiting time vanishes next to the dates, and every event
    # adds a segment.
    ended = run_limited("""
        result = lambda: korvath_core.simulate_nucleotide(
            3, [-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0,
            0.0, 0.0, 0.0, 0.0, 0.0, 1e300, 100, 0.5, 1, 1, 0.0, -1.0, False)
    """, address_bytes=4 << 30, cpu_seconds=60)
    assert ended == {"outcome": "RuntimeError", "message": GENOME_RUNAWAY, "notes": None}


@needs_address_limit
def test_genomes_past_the_memory_budget_end_the_run_naming_it():
    # Every duplication doubles the genome (extension 1): 2**20 segments take 20 events.
    ended = run_limited("""
        result = lambda: korvath_core.simulate_nucleotide(
            3, [-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0,
            0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 100, 1.0, 3, 1, 0.0, -1.0, False)
    """)
    assert ended["outcome"] == "RuntimeError", ended
    assert ended["message"].startswith(MEMORY_RUNAWAY + "64.0 MB"), ended
    assert ended["message"].endswith("genome growing without bound \u2014 lower "
                                     "duplication/transfer or raise loss")


def test_a_genome_doubling_to_many_segments_at_little_cost_still_runs():
    # Every duplication doubles the genome and every loss empties it (extension 1): one
    # genome passes 2**20 segments within a few dozen events, far from the quadratic cost
    # that ends a genome growing segment by segment, so only the held-segment bounds apply
    # (a run the bound on one genome's segments alone would stop).
    genomes = korvath_core.simulate_nucleotide(
        **CHERRY, inversion=0.03371008080280348, loss=0.009126840613526666,
        duplication=0.048602153590417925, transfer=0.021875072233243916,
        transposition=0.020915919297287467, origination=0.0, root_length=50, extension=1.0,
        initial_size=1, seed=78950204494326652, replacement=0.5, distance_decay=-1.0,
        allow_self=False)
    assert genomes == [(1, []), (2, [])]


# --- results within the budget -------------------------------------------------------------

@needs_address_limit
def test_runs_within_a_small_budget_give_the_same_results():
    body = """
        import hashlib, pickle
        args = dict(n_nodes=7, parent=[-1, 0, 0, 1, 1, 2, 2],
                    time=[0.0, 0.4, 0.3, 1.0, 1.0, 1.0, 0.8],
                    extant_leaf=[False, False, False, True, True, True, False], root=0)
        rates = dict(duplication=1.0, transfer=1.0, loss=1.2, origination=40.0,
                     initial_size=200, cap=-1, seed=5, replacement=0.0, distance_decay=-1.0,
                     allow_self=False)
        genome = dict(inversion=0.01, loss=0.02, duplication=0.02, transfer=0.01,
                      transposition=0.01, origination=1.0, root_length=200, extension=0.9,
                      initial_size=5, seed=5, replacement=0.0, distance_decay=-1.0,
                      allow_self=False)
        def result():
            outputs = (korvath_core.simulate_log(**args, **rates),
                       korvath_core.simulate_trace(**args, **rates),
                       korvath_core.simulate_profiles(**args, **rates),
                       korvath_core.simulate_nucleotide(**args, **genome))
            return hashlib.sha256(pickle.dumps(outputs)).hexdigest()
    """
    limited = run_limited(body, address_bytes=768 << 20)
    unlimited = {"korvath_core": korvath_core}
    exec(textwrap.dedent(body), unlimited)
    assert limited == {"outcome": "returned", "value": repr(unlimited["result"]())}


@needs_address_limit
def test_dated_reconciliation_holds_one_history_per_graph_node_and_species_tip():
    # The sampler keeps every gene node's whole history. Tips on one species branch share
    # theirs, and the budget counts the histories actually held: under a 256 MB budget a
    # 200-tip caterpillar on two species (201 histories) is reconciled, where counting a
    # history per clade and per split (598) refused it; 600 tips are still refused, the error
    # naming the family. The same tree of 110 tips unrooted needs 544 histories, 217 of them
    # its rootings: those share one when the rest fit, with the same scenarios as when every
    # rooting keeps its own.
    body = """
        import hashlib
        import korvath
        tree = korvath.SpeciesTree.from_newick("(A:1,B:1);")
        def caterpillar(n):
            text = "A_0"
            for i in range(1, n):
                text = f"({text},{'AB'[i % 2]}_{i})"
            return text + ";"
        def reconcile(n, rooted):
            genes = korvath.GeneTrees.from_newick({"small": caterpillar(5), "big": caterpillar(n)},
                                                  tree, rooted=rooted)
            found = korvath.reconcile(tree, genes, duplication=0.5, transfer=0.5, loss=0.5,
                                      model="dated", n_steps=30000, samples=5, seed=1,
                                      origination="uniform")
            return hashlib.sha256(found.events.to_csv().encode()).hexdigest()
        result = lambda: reconcile(TIPS, ROOTED)
    """
    def limited(tips, rooted):
        return run_limited(body.replace("TIPS", str(tips)).replace("ROOTED", str(rooted)),
                           address_bytes=2 << 30)

    assert limited(200, True)["outcome"] == "returned"
    refused = limited(600, True)
    assert refused["outcome"] == "RuntimeError", refused
    # Named, among the batch's families, by the one that does not fit.
    assert refused["message"].startswith("family 'big': exceeded the memory budget of 256.0 MB")
    assert refused["message"].endswith("\u2014 lower n_steps or use an undated model")
    lean = limited(110, False)
    unlimited = {}
    exec(textwrap.dedent(body.replace("TIPS", "110").replace("ROOTED", "False")), unlimited)
    assert lean == {"outcome": "returned", "value": repr(unlimited["result"]())}


@needs_address_limit
def test_dated_reconciliation_beyond_the_budget_gives_the_same_scenarios():
    # A family whose gene histories over every slice pass the 256 MB budget is sampled a
    # window of slices at a time, each window integrated again from its checkpoint when the
    # scenarios reach it: the scenarios must be those drawn with every slice held.
    body = """
        import hashlib, random
        import numpy as np
        import korvath
        tree = korvath.SpeciesTree.birth_death(60, seed=3)
        rng = random.Random(4)
        parts = [f"{rng.choice(list(tree.extant_leaves))}_{i}" for i in range(30)]
        while len(parts) > 1:
            a = parts.pop(rng.randrange(len(parts)))
            b = parts.pop(rng.randrange(len(parts)))
            parts.append(f"({a},{b})")
        genes = korvath.GeneTrees.from_newick({"f": parts[0] + ";"}, tree,
                                              leaf_species=lambda s: s.rsplit("_", 1)[0])
        def result():
            found = korvath.reconcile(tree, genes, duplication=0.3, transfer=0.2, loss=0.3,
                                      model="dated", n_steps=400, samples=20, seed=1)
            return hashlib.sha256(found.events.to_csv().encode()).hexdigest()
        # A node's vectors over every slice: (steps + 1) rows of the branches alive there.
        arrays = tree.likelihood_arrays()
        grid = np.union1d(arrays.sp_time, [0.0])
        width = [np.sum((arrays.sp_parent_time < lo + 1e-9) & (arrays.sp_time > hi - 1e-9))
                 for lo, hi in zip(grid[:-1], grid[1:])]
        history_bytes = 401 * 8 * sum(width) * 59
    """
    unlimited = {}
    exec(textwrap.dedent(body), unlimited)
    assert unlimited["history_bytes"] > 300 << 20
    limited = run_limited(body, address_bytes=2 << 30)
    assert limited == {"outcome": "returned", "value": repr(unlimited["result"]())}
    # Scenarios drawn window by window are all held until they are done: what they hold is
    # charged to the budget, so too many end with its error, not with the machine's memory.
    many = body.replace("n_steps=400, samples=20", "n_steps=20, samples=2_000_000")
    refused = run_limited(many, address_bytes=2 << 30)
    assert refused["outcome"] == "RuntimeError", refused
    assert "sampled scenarios too large to hold" in refused["message"]


# --- removals after transfers ----------------------------------------------------------------

@pytest.mark.skipif(SANITIZED, reason="seconds of work, several times longer under the sanitizers")
def test_a_runaway_family_whose_transfers_replace_copies_ends_within_seconds():
    # Found by fuzzing. Every replacing transfer searches the family's copies on its
    # recipient, so with one family growing without bound each event got slower and the run
    # would have taken hours to reach the memory budget; it now ends at the bound on that
    # search work.
    with pytest.raises(RuntimeError) as caught:
        korvath_core.simulate_trace(
            n_nodes=3, parent=[2, 2, -1], time=[0.7086171149112535, 0.7086171149112535, 0.0],
            extant_leaf=[True, True, False], root=2, duplication=60.0,
            transfer=0.611640136236155, loss=1.6881094782503845,
            origination=0.14342821491517577, initial_size=2, cap=-1,
            seed=6778778755575693638, replacement=0.5, distance_decay=0.5, allow_self=True)
    assert str(caught.value) == "exceeded max_events; " + FAMILY_ADVICE


@pytest.mark.parametrize("n_copies", [2**31, 2**64 - 1])
def test_more_parallel_copies_than_the_budget_holds_end_before_any_is_made(n_copies):
    # Found by fuzzing: the per-copy records were allocated whatever their number, and a
    # real allocation failure (or the operating system) ended the call.
    with pytest.raises(RuntimeError) as caught:
        korvath_core.simulate_profiles_parallel(**CHERRY, **QUIET, n_copies=n_copies,
                                                n_threads=1)
    assert str(caught.value).startswith(MEMORY_RUNAWAY)
    assert str(caught.value).endswith(FAMILY_ADVICE)
    # A modest number of copies still runs.
    assert korvath_core.simulate_profiles_parallel(**CHERRY, **QUIET, n_copies=1000,
                                                   n_threads=1)


@needs_address_limit
def test_amalgamating_a_sample_beyond_the_budget_ends_with_the_budget_error():
    # 20 caterpillars of 6000 leaves, each in its own leaf order: about 120,000 distinct
    # clades of 750 bytes each (and their splits), past the 64 MB budget of a 512 MB
    # address space.
    pytest.importorskip("_korvath_native")
    outcome = run_limited("""
        import array, random
        import _korvath_native
        n, trees = 6000, 20
        rng = random.Random(1)
        parent, leaf, offsets = array.array("q"), array.array("q"), array.array("q", [0])
        for _ in range(trees):
            order = list(range(n))
            rng.shuffle(order)
            nodes = [-1]
            labels = [-1]
            for k in range(n - 1):
                nodes += [2 * k, 2 * k]          # leaf k, then the next spine node
                labels += [order[k], -1]
            labels[-1] = order[n - 1]             # the last spine node is a leaf
            parent.extend(nodes)
            leaf.extend(labels)
            offsets.append(len(parent))
        def result():
            return _korvath_native.sample_clades(offsets, parent, leaf, n, True)
    """)
    assert outcome["outcome"] == "RuntimeError", outcome
    assert outcome["message"].startswith(MEMORY_RUNAWAY), outcome
    assert "the clades of this sample take more" in outcome["message"]
