"""Sampled reconciliations (undated_clade_reconcile) against exact scenario probabilities.

The visible part of a scenario (the origination branch, and for every clade that splits: where,
how, into which two clades, and where a transferred child goes) has an exact probability that
follows from the model's linear system A P = c: a lineage of clade u that starts on branch s ends
its run of unsplit events on branch z with weight inv(A)[s, z], and then splits with the event's
coefficient (2 pd for a duplication, ps for a speciation, pt m[z, r] for a transfer to r). The
probability of a whole visible scenario is the product of these factors over its clades, times the
origination weight, divided by the likelihood. The system comes from the independent reference
solver; the frequencies of 40,000 sampled scenarios must fit it (chi-square).
"""
import itertools
import math

import numpy as np
import pytest
import scipy.stats

import korvath_core
from conftest import assert_panics
from undated_reference import UndatedReference

EVENT_TYPES = [np.uint64, np.uint64, np.uint8, np.int64, np.int64, np.int64, np.int64, np.int64]
COLUMNS = ["family", "sample", "event", "branch", "recipient", "clade", "left", "right"]

# (((A,B),C),D) in post-order: A B AB C ABC D root, dated, with a stem. Lopsided, so that the
# two daughters of every inner branch differ in their extinction probabilities.
SPECIES = dict(
    sp_left=[-1, -1, 0, -1, 2, -1, 4], sp_right=[-1, -1, 1, -1, 3, -1, 5],
    sp_is_leaf=[True, True, False, True, False, True, False],
    sp_time=[3.0, 3.0, 2.0, 3.0, 1.0, 3.0, 0.0],
    sp_parent_time=[2.0, 2.0, 1.0, 1.0, 0.0, 0.0, -0.5], sp_root=6)

# Clade graphs of one family each: ((A,B),C) rooted; an unrooted 4-leaf tree (A,B,(C,D)) whose
# root clade has one split per edge; a 3-leaf "sample" with two root splits of unequal weight.
ROOTED = dict(cl_offsets=[0, 5], cl_is_leaf=[True, True, True, False, False],
              cl_species=[0, 1, 3, -1, -1], cl_split_offsets=[0, 0, 0, 0, 1, 2],
              split_left=[0, 3], split_right=[1, 2], split_weight=[1.0, 1.0])
# Leaves 0 A, 1 B, 2 C, 3 D; clades 4 {A,B}, 5 {C,D}, 6 {A,C,D}, 7 {B,C,D}, 8 {A,B,C},
# 9 {A,B,D}; root 10 with the five edges of the unrooted tree ((A,B),(C,D)).
UNROOTED = dict(
    cl_offsets=[0, 11], cl_is_leaf=[True] * 4 + [False] * 7, cl_species=[0, 1, 3, 5] + [-1] * 7,
    cl_split_offsets=[0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 11],
    split_left=[0, 2, 0, 1, 4, 4, 4, 0, 1, 2, 3],
    split_right=[1, 3, 5, 5, 2, 3, 5, 7, 6, 9, 8],
    split_weight=[1.0] * 6 + [0.2] * 5)
SAMPLE = dict(cl_offsets=[0, 6], cl_is_leaf=[True, True, True, False, False, False],
              cl_species=[0, 1, 3, -1, -1, -1], cl_split_offsets=[0, 0, 0, 0, 1, 2, 4],
              split_left=[0, 1, 3, 4], split_right=[1, 2, 2, 0], split_weight=[1.0, 1.0, 0.75, 0.25])


def reconcile(graph, *, samples, seed, transfers=0, origination=0, rates=(0.3, 0.4, 0.3),
              first_family=0, species=SPECIES):
    ll, columns = korvath_core.undated_clade_reconcile(
        **species, **graph, dup=rates[0], transfer=rates[1], loss=rates[2], transfers=transfers,
        origination=origination, samples=samples, seed=seed, first_family=first_family)
    return ll, {name: np.frombuffer(c, t) for name, c, t in zip(COLUMNS, columns, EVENT_TYPES)}


class ExactScenarios:
    """The visible scenarios of one clade graph and their exact probabilities."""

    def __init__(self, graph, transfers, origination, rates):
        ref = UndatedReference(**SPECIES, dup=rates[0], transfer=rates[1], loss=rates[2],
                               transfers=transfers)
        self.ref = ref
        n = ref.n
        self.green = np.linalg.inv(_matrix(ref))  # rows: start branch, columns: split branch
        size = len(graph["cl_is_leaf"])
        self.graph = graph
        p = []
        for c in range(size):
            if graph["cl_is_leaf"][c]:
                src = np.zeros(n)
                src[graph["cl_species"][c]] = ref.ps
            else:
                src = np.zeros(n)
                for s in range(graph["cl_split_offsets"][c], graph["cl_split_offsets"][c + 1]):
                    a, b = graph["split_left"][s], graph["split_right"][s]
                    src += graph["split_weight"][s] * ref._source(p[a], p[b])
            p.append(self.green @ src)
        self.p = p
        self.memo = {}
        root = p[-1]
        self.origins = ([(ref.root, 1.0)] if origination != 1
                        else [(z, 1.0) for z in range(n)])
        self.total = sum(w * root[z] for z, w in self.origins)

    def scenarios(self, c, s):
        """{key: weight} of the visible scenarios of clade c started on branch s; a key is a
        tuple of (clade, event, branch, recipient, left, right) in walk order."""
        if (c, s) in self.memo:
            return self.memo[(c, s)]
        out = self._scenarios(c, s)
        self.memo[(c, s)] = out
        return out

    def _scenarios(self, c, s):
        ref, g = self.ref, self.graph
        if g["cl_is_leaf"][c]:
            z = g["cl_species"][c]
            return {(): self.green[s, z] * ref.ps}
        out = {}
        n = ref.n
        for s_index in range(g["cl_split_offsets"][c], g["cl_split_offsets"][c + 1]):
            a, b = g["split_left"][s_index], g["split_right"][s_index]
            w = g["split_weight"][s_index]
            for z in range(n):
                reach = self.green[s, z] * w
                for event, branch, rec, left, right, to_left, to_right, coef in self._options(
                        z, a, b):
                    lhs = self.scenarios(left, to_left)
                    rhs = self.scenarios(right, to_right)
                    for (kl, wl), (kr, wr) in itertools.product(lhs.items(), rhs.items()):
                        key = ((c, event, branch, rec, left, right),) + kl + kr
                        out[key] = out.get(key, 0.0) + reach * coef * wl * wr
        return out

    def root_distribution(self):
        """Exact probabilities of the origination branch and the root clade's split event
        alone (the children's scenarios summed out through their likelihoods)."""
        ref, g = self.ref, self.graph
        c = len(g["cl_is_leaf"]) - 1
        out = {}
        for o, w0 in self.origins:
            for s_index in range(g["cl_split_offsets"][c], g["cl_split_offsets"][c + 1]):
                a, b = g["split_left"][s_index], g["split_right"][s_index]
                w = g["split_weight"][s_index] * w0
                for z in range(ref.n):
                    for event, branch, rec, left, right, to_l, to_r, coef in self._options(z, a, b):
                        key = (o, (c, event, branch, rec, left, right))
                        value = (w * self.green[o, z] * coef * self.p[left][to_l]
                                 * self.p[right][to_r] / self.total)
                        out[key] = out.get(key, 0.0) + value
        return out

    def _options(self, z, a, b):
        """(event, branch, recipient, left, right, left's branch, right's branch, coefficient)
        of every way a split (a, b) can happen on branch z."""
        ref = self.ref
        options = [(1, z, -1, a, b, z, z, 2 * ref.pd)]
        if not ref.leaf[z]:
            f, h = ref.left[z], ref.right[z]
            options += [(4, z, -1, a, b, f, h, ref.ps), (4, z, -1, b, a, f, h, ref.ps)]
        for r in range(ref.n):
            if ref.m[z, r] > 0:
                options += [(2, z, r, a, b, z, r, ref.pt * ref.m[z, r]),
                            (2, z, r, b, a, z, r, ref.pt * ref.m[z, r])]
        return options

    def expected_counts(self):
        """Expected events per scenario, hidden ones included, as an array [event code,
        branch] (a transfer counted on its donor). A lineage of clade u started on s visits
        branch z G[s, z] P_u[z] / P_u[s] times on average, and at each visit takes a move of
        weight w with probability w / P_u[z]."""
        ref, g, green = self.ref, self.graph, self.green
        n, size = ref.n, len(self.graph["cl_is_leaf"])
        counts = np.zeros((5, n))
        start = [np.zeros(n) for _ in range(size)]
        root = self.p[-1]
        for z, w in self.origins:
            start[-1][z] += w * root[z] / self.total
            counts[0, z] += w * root[z] / self.total
        e, mean_e = ref.e, ref.m @ ref.e
        for u in range(size - 1, -1, -1):
            pu = self.p[u]
            visits = (start[u] / np.where(pu > 0, pu, 1.0)) @ green * pu
            # Moves that keep the lineage at its clade, per visit.
            counts[1] += visits * 2 * ref.pd * e          # duplication, one copy lost
            counts[3] += visits * 2 * ref.pd * e
            counts[2] += visits * ref.pt * mean_e         # transfer, received copy lost
            counts[3] += (visits * ref.pt) @ (ref.m * e[None, :])
            donor_lost = visits * ref.pt * e * (ref.m @ pu) / np.where(pu > 0, pu, 1.0)
            counts[2] += donor_lost
            counts[3] += donor_lost
            for z in np.flatnonzero(~ref.leaf):
                f, h = ref.left[z], ref.right[z]
                for to, lost in ((f, h), (h, f)):
                    rate = visits[z] * ref.ps * e[lost] * pu[to] / pu[z]
                    counts[4, z] += rate
                    counts[3, lost] += rate
            if g["cl_is_leaf"][u]:
                continue
            for s_index in range(g["cl_split_offsets"][u], g["cl_split_offsets"][u + 1]):
                a, b = g["split_left"][s_index], g["split_right"][s_index]
                for z in range(n):
                    if visits[z] == 0:
                        continue
                    for event, _, _, left, right, to_l, to_r, coef in self._options(z, a, b):
                        rate = (visits[z] * g["split_weight"][s_index] * coef
                                * self.p[left][to_l] * self.p[right][to_r] / pu[z])
                        counts[event, z] += rate
                        start[left][to_l] += rate
                        start[right][to_r] += rate
        return counts

    def distribution(self):
        out = {}
        for z, w in self.origins:
            for key, v in self.scenarios(len(self.graph["cl_is_leaf"]) - 1, z).items():
                out[(z,) + key] = w * v / self.total
        return out


def _matrix(ref):
    n = ref.n
    mean_e = ref.m @ ref.e
    a = np.diag((1.0 - 2.0 * ref.pd * ref.e) - ref.pt * mean_e) - ref.pt * ref.e[:, None] * ref.m
    idx = np.flatnonzero(~ref.leaf)
    np.add.at(a, (idx, ref.right[idx]), -ref.ps * ref.e[ref.left[idx]])
    np.add.at(a, (idx, ref.left[idx]), -ref.ps * ref.e[ref.right[idx]])
    return a


def visible_keys(rows):
    """Per sample, the key of its visible scenario (see ExactScenarios.scenarios)."""
    keys = {}
    split = rows["left"] >= 0
    for i in range(len(rows["event"])):
        k = int(rows["sample"][i])
        if rows["event"][i] == 0:
            keys[k] = [int(rows["branch"][i])]
        elif split[i]:
            keys[k].append(tuple(int(rows[name][i]) for name in
                                 ("clade", "event", "branch", "recipient", "left", "right")))
    return [tuple(v) for _, v in sorted(keys.items())]


@pytest.mark.parametrize("graph,transfers,origination,whole", [
    (ROOTED, 0, 0, True), (ROOTED, 1, 1, True), (UNROOTED, 0, 1, False), (UNROOTED, 1, 0, False),
    (SAMPLE, 1, 0, True), (SAMPLE, 0, 1, True)])
def test_sampled_scenarios_follow_exact_probabilities(graph, transfers, origination, whole):
    """Whole visible scenarios, or (for the unrooted tree, whose scenarios are too many to
    list) the origination and the root's split event."""
    rates = (0.3, 0.4, 0.3)
    scenarios = ExactScenarios(graph, transfers, origination, rates)
    exact = scenarios.distribution() if whole else scenarios.root_distribution()
    assert math.isclose(sum(exact.values()), 1.0, rel_tol=1e-9)
    n_samples = 40000
    ll, rows = reconcile(graph, samples=n_samples, seed=11, transfers=transfers,
                         origination=origination, rates=rates)
    keys = visible_keys(rows) if whole else [key[:2] for key in visible_keys(rows)]
    assert len(keys) == n_samples
    counts = {}
    for key in keys:
        counts[key] = counts.get(key, 0) + 1
    assert set(counts) <= set(exact), "a sampled scenario has probability 0"
    # Chi-square over the scenarios expected at least 10 times, the rest pooled.
    big = [k for k, p in exact.items() if p * n_samples >= 10]
    observed = [counts.get(k, 0) for k in big]
    expected = [exact[k] * n_samples for k in big]
    rest_obs = n_samples - sum(observed)
    rest_exp = n_samples - sum(expected)
    if rest_exp > 0:
        observed.append(rest_obs)
        expected.append(rest_exp)
    stat = sum((o - e) ** 2 / e for o, e in zip(observed, expected))
    p_value = scipy.stats.chi2.sf(stat, len(expected) - 1)
    assert len(big) >= 5
    assert p_value > 1e-4, (stat, len(expected))


@pytest.mark.parametrize("graph,transfers,origination", [
    (ROOTED, 0, 0), (ROOTED, 1, 1), (UNROOTED, 0, 1), (UNROOTED, 1, 0), (SAMPLE, 0, 1)])
def test_mean_event_counts_per_branch_match_their_expectation(graph, transfers, origination):
    """Every event, hidden or not, counted per branch: the sample means over 40,000
    scenarios must lie within 5 standard errors of the exact expectation."""
    rates = (0.3, 0.4, 0.3)
    exact = ExactScenarios(graph, transfers, origination, rates).expected_counts()
    n_samples = 40000
    _, rows = reconcile(graph, samples=n_samples, seed=3, transfers=transfers,
                        origination=origination, rates=rates)
    n = len(SPECIES["sp_left"])
    per_sample = np.zeros((n_samples, 5 * n))
    np.add.at(per_sample, (rows["sample"].astype(np.int64),
                           rows["event"].astype(np.int64) * n + rows["branch"]), 1.0)
    mean = per_sample.mean(axis=0)
    error = per_sample.std(axis=0) / math.sqrt(n_samples)
    flat = exact.reshape(-1)
    assert np.all(np.abs(mean - flat) <= 5 * error + 1e-12), np.max(np.abs(mean - flat) - 5 * error)
    assert np.sum(flat[3 * n:4 * n]) > 0.1  # losses do happen in these scenarios


def lineage_walk_is_consistent(graph, rows, n_samples):
    """Replays every scenario: each clade's lineage starts where its parent's event put it, every
    speciation moves it to a daughter, each loss follows its event on the right branch, and every
    tip ends on its own species."""
    left, right, leaf = SPECIES["sp_left"], SPECIES["sp_right"], SPECIES["sp_is_leaf"]
    ev, br, rec = rows["event"], rows["branch"], rows["recipient"]
    cl, lo, hi, smp = rows["clade"], rows["left"], rows["right"], rows["sample"]
    size = len(graph["cl_is_leaf"])
    i = 0
    total = len(ev)
    seen_samples = 0
    while i < total:
        k = int(smp[i])
        assert ev[i] == 0 and cl[i] == size - 1
        at = {size - 1: int(br[i])}
        pending = [size - 1]
        i += 1
        while i < total and smp[i] == k:
            c, z = int(cl[i]), int(br[i])
            assert at.get(c) == z, "event off the lineage's branch"
            if ev[i] == 3:
                raise AssertionError("a loss that follows no event")
            if lo[i] >= 0:
                a, b = int(lo[i]), int(hi[i])
                if ev[i] == 4:
                    at[a], at[b] = left[z], right[z]
                elif ev[i] == 1:
                    at[a] = at[b] = z
                else:
                    assert ev[i] == 2 and rec[i] >= 0 and rec[i] != z
                    at[a], at[b] = z, int(rec[i])
                del at[c]
                i += 1
                continue
            # An event whose other copy is lost: the next row is that loss.
            assert i + 1 < total and ev[i + 1] == 3 and cl[i + 1] == c
            lost = int(br[i + 1])
            if ev[i] == 4:
                assert not leaf[z] and lost in (left[z], right[z])
                at[c] = right[z] if lost == left[z] else left[z]
            elif ev[i] == 1:
                assert lost == z
            else:
                assert ev[i] == 2 and rec[i] >= 0
                assert lost in (z, int(rec[i]))
                at[c] = int(rec[i]) if lost == z else z
            i += 2
        for c, z in at.items():
            assert graph["cl_is_leaf"][c] and graph["cl_species"][c] == z
        seen_samples += 1
    assert seen_samples == n_samples


@pytest.mark.parametrize("graph", [ROOTED, UNROOTED, SAMPLE])
@pytest.mark.parametrize("transfers", [0, 1])
def test_scenarios_replay_as_lineages(graph, transfers):
    ll, rows = reconcile(graph, samples=300, seed=5, transfers=transfers, origination=1,
                         rates=(0.5, 0.6, 0.7))
    lineage_walk_is_consistent(graph, rows, 300)
    expected = korvath_core.undated_clade_loglik(
        **SPECIES, **graph, dup=0.5, transfer=0.6, loss=0.7, transfers=transfers, origination=1)
    assert ll == expected


@pytest.mark.parametrize("graph", [ROOTED, UNROOTED, SAMPLE])
@pytest.mark.parametrize("origination", [0, 1])
def test_dated_scenarios_replay_as_lineages(graph, origination):
    args = dict(SPECIES, sp_parent=[2, 2, 4, 4, 6, 6, -1], **graph, dup=0.5, transfer=0.6,
                loss=0.7, n_steps=6, origination=origination)
    ll, columns = korvath_core.dated_clade_reconcile(**args, samples=300, seed=5,
                                                     first_family=0)
    rows = {name: np.frombuffer(c, t) for name, c, t in zip(COLUMNS, columns, EVENT_TYPES)}
    if origination == 0:
        # The family starts at the root split: the origination, then the root's speciation.
        assert np.all(rows["branch"][rows["event"] == 0] == SPECIES["sp_root"])
    lineage_walk_is_consistent(graph, rows, 300)
    assert ll == korvath_core.dated_clade_loglik(**args)


def test_dated_scenarios_at_very_high_rates_keep_their_likelihood():
    # Thousands of expected events per lineage: the scenarios are drawn from
    # histories whose values span far more than the double range, node by
    # node. The likelihood reported is the scorer's, and for the rooted tree
    # what the same arithmetic gives with an unbounded exponent (it was -inf,
    # with scenarios drawn all the same).
    from likelihood_replay import Dated, Join, Tip, wide

    species = dict(SPECIES, sp_parent=[2, 2, 4, 4, 6, 6, -1])
    rates = (300.0, 300.0, 300.0)
    reference = Dated(species, rates, 6, wide()).loglik(Join(Join(Tip(0), Tip(1)), Tip(3)), 0, {})
    for graph in (ROOTED, UNROOTED, SAMPLE):
        args = dict(species, **graph, dup=rates[0], transfer=rates[1], loss=rates[2], n_steps=6,
                    origination=0)
        ll, columns = korvath_core.dated_clade_reconcile(**args, samples=20, seed=5,
                                                         first_family=0)
        rows = {name: np.frombuffer(c, t) for name, c, t in zip(COLUMNS, columns, EVENT_TYPES)}
        lineage_walk_is_consistent(graph, rows, 20)
        assert math.isfinite(ll[0]) and ll == korvath_core.dated_clade_loglik(**args)
        if graph is ROOTED:
            assert abs(ll[0] - reference) <= 1e-12 * abs(reference)


def test_same_seed_same_scenarios_and_family_streams_are_independent_of_the_cut():
    two = {k: [*ROOTED[k]] for k in ROOTED}
    # Two copies of the rooted family in one call.
    two["cl_offsets"] = [0, 5, 10]
    two["cl_is_leaf"] = ROOTED["cl_is_leaf"] * 2
    two["cl_species"] = ROOTED["cl_species"] * 2
    two["cl_split_offsets"] = [0, 0, 0, 0, 1, 2, 2, 2, 2, 3, 4]
    two["split_left"] = ROOTED["split_left"] * 2
    two["split_right"] = ROOTED["split_right"] * 2
    two["split_weight"] = ROOTED["split_weight"] * 2
    _, both = reconcile(two, samples=50, seed=9)
    _, again = reconcile(two, samples=50, seed=9)
    for name in COLUMNS:
        assert np.array_equal(both[name], again[name])
    _, second = reconcile(ROOTED, samples=50, seed=9, first_family=1)
    mask = both["family"] == 1
    for name in COLUMNS[1:]:
        assert np.array_equal(both[name][mask], second[name])
    _, other = reconcile(ROOTED, samples=50, seed=10)
    first = both["family"] == 0
    assert not all(np.array_equal(both[name][first], other[name]) for name in COLUMNS[1:])


def test_impossible_family_has_no_scenarios_and_bad_inputs_raise():
    # Without duplications and transfers, ((A,C),B) fits no scenario: its likelihood is 0.
    graph = dict(ROOTED, cl_species=[0, 3, 1, -1, -1])
    ll, rows = reconcile(graph, samples=10, seed=1, rates=(0.0, 0.0, 0.3))
    assert ll == [-math.inf]
    assert len(rows["event"]) == 0
    bad = dict(ROOTED, split_left=[0, 7])
    assert_panics(reconcile, bad, samples=1, seed=1)
    assert_panics(reconcile, ROOTED, samples=1, seed=1, species=dict(SPECIES, sp_root=9))
    with pytest.raises(OverflowError):
        reconcile(ROOTED, samples=-1, seed=1)
