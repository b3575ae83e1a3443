"""The dated likelihood against the simulators: the model's probabilities of
"no survivor" and of "one copy in each of two sister tips" must match the
frequencies of those outcomes among simulated families of the same model.

Species tree: a cherry, root 2 at date 0 without a stem, tips 0 and 1 at date 1.
Every family is founded at the root and split to both tips, as the root
origination mode of the likelihood assumes. Families of one run are independent,
so one run with many founding families is a sample of independent families.
"""
import math
import struct

import pytest

import korvath_core as kc

N_FAMILIES = 60_000
N_STEPS = 4_000  # small enough Euler steps that the discretisation error is negligible

SIM_TREE = dict(n_nodes=3, parent=[2, 2, -1], time=[1.0, 1.0, 0.0],
                extant_leaf=[True, True, False], root=2)
SPECIES = dict(sp_parent=[2, 2, -1], sp_left=[-1, -1, 0], sp_right=[-1, -1, 1],
               sp_is_leaf=[True, True, False], sp_time=[1.0, 1.0, 0.0],
               sp_parent_time=[0.0, 0.0, 0.0], sp_root=2)
EMPTY_BATCH = dict(gt_offsets=[], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[])
# One gene copy in each tip: a cherry whose tips sit in species 0 and 1.
SISTER_COPIES = dict(gt_offsets=[0, 3], gt_is_leaf=[True, True, False], gt_left=[-1, -1, 0],
                     gt_right=[-1, -1, 1], gt_species=[0, 1, -1])


def family_outcomes(duplication, transfer, loss, seed):
    leaves, ordinals, families, counts = kc.simulate_profiles(
        **SIM_TREE, duplication=duplication, transfer=transfer, loss=loss, origination=0.0,
        initial_size=N_FAMILIES, cap=-1, seed=seed, replacement=0.0, distance_decay=-1.0,
        allow_self=False)
    leaf_nodes = struct.unpack(f"<{len(leaves) // 4}I", leaves)
    n_rows = len(ordinals) // 4
    rows = zip(struct.unpack(f"<{n_rows}I", ordinals), struct.unpack(f"<{n_rows}Q", families),
               struct.unpack(f"<{n_rows}I", counts))
    per_family = {}
    for ordinal, family, count in rows:
        per_family.setdefault(family, {})[leaf_nodes[ordinal]] = count
    extinct = N_FAMILIES - len(per_family)
    sisters = sum(1 for found in per_family.values() if found == {0: 1, 1: 1})
    return extinct / N_FAMILIES, sisters / N_FAMILIES


def model_probabilities(duplication, transfer, loss):
    rates = dict(dup=duplication, transfer=transfer, loss=loss, n_steps=N_STEPS, origination=0)
    log_p0 = kc.dated_joint_loglik(**SPECIES, **EMPTY_BATCH, **rates, n_extinct=1)
    (log_sisters,) = kc.dated_family_loglik(**SPECIES, **SISTER_COPIES, **rates)
    return math.exp(log_p0), math.exp(log_sisters)


def assert_close(observed, expected, what):
    standard_error = math.sqrt(expected * (1.0 - expected) / N_FAMILIES)
    z = (observed - expected) / standard_error
    assert abs(z) < 4.0, f"{what}: observed {observed:.5f}, model {expected:.5f}, z = {z:.2f}"


@pytest.mark.parametrize("duplication, transfer, loss, seed", [
    (0.5, 0.0, 0.7, 11),   # duplication and loss only
    (0.0, 0.6, 0.7, 12),   # transfer and loss only, uniform among the other branches
])
def test_dated_model_matches_simulated_frequencies(duplication, transfer, loss, seed):
    p0_model, sisters_model = model_probabilities(duplication, transfer, loss)
    p0_seen, sisters_seen = family_outcomes(duplication, transfer, loss, seed)
    assert 0.05 < p0_model < 0.95 and 0.05 < sisters_model < 0.95
    assert_close(p0_seen, p0_model, "no survivor")
    assert_close(sisters_seen, sisters_model, "one copy in each sister tip")
