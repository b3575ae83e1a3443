"""Fuzzing: every function, called with random valid and malformed arguments,
ends in a result or a documented exception, and the interpreter lives on.

Malformed means arrays of wrong lengths, indices out of range, cycles, two
roots, nodes with one or three children, non-finite numbers, numpy arrays of
every dtype and layout, and objects whose __index__, __float__, __bool__,
__len__ or __iter__ raise or lie (fuzz_inputs.py builds them). What counts as
documented is fuzz_inputs.classify().

The random tests are derandomized, so CI runs the same examples every time;
KORVATH_FUZZ_RANDOM=1 draws fresh ones and KORVATH_FUZZ_EXAMPLES sets how
many. tools/fuzz_driver.py runs far longer campaigns, each call in a child
process with memory and time limits.
"""
import os
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvath_core
import fuzz_inputs as fi

SANITIZED = os.environ.get("KORVATH_SANITIZED") == "1"
# Examples per function: about a minute in all on a plain build; the
# sanitized build is several times slower per call.
EXAMPLES = int(os.environ.get("KORVATH_FUZZ_EXAMPLES", "60" if SANITIZED else "300"))
FUZZ_SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                         derandomize=os.environ.get("KORVATH_FUZZ_RANDOM") != "1",
                         suppress_health_check=[HealthCheck.too_slow,
                                                HealthCheck.data_too_large])


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """A folder for simulate_and_write, also the working folder while the
    module runs (a hostile outdir may be a relative path); its "file" blocks
    directory creation."""
    root = tmp_path_factory.mktemp("fuzz")
    (root / "file").write_text("not a directory")
    previous = os.getcwd()
    os.chdir(root)
    try:
        yield str(root)
    finally:
        os.chdir(previous)


def call(name, recipe, target=None):
    """Calls `name` with the built arguments; returns (result, exception, reason)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy complains about lossy casts
        args = fi.build(recipe)
        try:
            return getattr(korvath_core, name)(**args), None, None
        except BaseException as exc:  # PanicException derives from BaseException
            return None, exc, fi.classify(name, exc, target)


@pytest.mark.parametrize("name", fi.FUNCTIONS)
@FUZZ_SETTINGS
@given(rng=st.randoms(use_true_random=False))
def test_random_calls_end_in_a_result_or_a_documented_exception(name, rng, scratch):
    name, recipe, target = fi.random_call(rng, name, outdir=scratch)
    result, exc, reason = call(name, recipe, target)
    assert reason is None, (reason, fi.source(recipe))
    if exc is None and name != "simulate_and_write":
        # Reproducible bit for bit, whatever earlier calls left behind.
        again, _, _ = call(name, recipe)
        assert repr(again) == repr(result), fi.source(recipe)


# --------------------------------------------------------------------------
# Every parameter of every function, with each hostile value in turn

def small_call(name):
    """Valid arguments for a small, fast call of `name`."""
    tree = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0],
                extant_leaf=[False, True, True], root=0)
    family = dict(duplication=0.5, transfer=0.5, loss=0.5, origination=0.5, initial_size=2,
                  cap=3, seed=1, replacement=0.5, distance_decay=0.5, allow_self=False)
    species = dict(sp_left=[-1, -1, 0], sp_right=[-1, -1, 1], sp_is_leaf=[True, True, False],
                   sp_time=[1.0, 1.0, 0.0], sp_parent_time=[0.0, 0.0, 0.0], sp_root=2)
    genes = dict(gt_offsets=[0, 3], gt_is_leaf=[True, True, False], gt_left=[-1, -1, 0],
                 gt_right=[-1, -1, 1], gt_species=[0, 1, -1], dup=0.1, transfer=0.1, loss=0.1)
    if name in fi.LIKELIHOODS:
        clades = dict(cl_offsets=[0, 3], cl_is_leaf=[True, True, False], cl_species=[0, 1, -1],
                      cl_split_offsets=[0, 0, 0, 1], split_left=[0], split_right=[1],
                      split_weight=[1.0])
        args = dict(species, **genes, **clades, sp_parent=[2, 2, -1], n_steps=2, origination=1,
                    transfers=1, n_extinct=1, samples=2, seed=3, first_family=0)
    else:
        args = dict(tree, **family, n_copies=2, n_threads=1, names=["r", "a", "b"],
                    total_age=1.0, inversion=0.001, transposition=0.001, root_length=50,
                    extension=0.5, outdir="/tmp/korvath-fuzz-sweep")
    if name == "simulate_nucleotide":
        args.update(loss=0.001, duplication=0.001, transfer=0.001)
    return {k: args[k] for k, _ in fi.PARAMETERS[name]}


def hostile_values(kind, limit=None):
    """Every hostile value the fuzz knows for a parameter of `kind` (no value
    that converts to more than `limit`)."""
    class Everything:
        """Stands in for the random generator: choice() collects all options."""

        def __init__(self):
            self.seen = []

        def choice(self, options):
            self.seen.extend(options)
            return options[0]

        def random(self):
            return 0.0

        def randrange(self, n):
            return 0

    collect = Everything()
    if kind.startswith("["):
        items = {"[int]": [0, 1, -1], "[uint]": [0, 1, 2], "[float]": [0.0, 0.5, 1.0],
                 "[bool]": [False, True, True], "[str]": ["a", "b", "c"]}[kind]
        values = [("np", dtype, layout, items) for dtype in fi.DTYPES for layout in fi.LAYOUTS]
        fi.weird_scalar(collect, False, kind[1:-1], limit=limit)
        values += [items[:1] + [v] + items[2:] for v in collect.seen
                   if limit is None or not (fi.converted_value(v) or 0) > limit]
        values += [("seq", items, length, claimed, iteration, stop)
                   for length in ("true", "raise", "claim") for claimed in (0, 100, -1, 2**62)
                   for iteration in ("true", "raise") for stop in (0, 2)]
        values += [None, "012", 5, ("bytes", [1, 0, 2]), ("dict", [1, 2]), ("set", [1, 2]),
                   ("object",), [[1, 2]], ("range", 0, 3), ("range", 0, 2**40),
                   ("range", 0, 2**64), ("tuple", items)]
        return values
    fi.weird_scalar(collect, False, kind, limit=limit)
    return [v for v in collect.seen if limit is None or not (fi.converted_value(v) or 0) > limit]


@pytest.mark.parametrize("name", fi.FUNCTIONS)
def test_every_parameter_survives_every_hostile_value(name, scratch):
    calls = 0
    for key, kind in fi.PARAMETERS[name]:
        for value in hostile_values(kind, fi.growth_limit(name, key)):
            args = small_call(name)
            if name == "simulate_and_write":
                args["outdir"] = scratch + "/sweep"
            args[key] = value
            _, exc, reason = call(name, args, key)
            assert reason is None, (key, fi.source(value), reason)
            calls += 1
    assert calls > 50 * len(fi.PARAMETERS[name])
