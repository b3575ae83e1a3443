"""fit_rates: recovery of known rates from simulated families, determinism, argument checks."""
import math
import os

import pytest

import korvath
from korvath import GeneTrees, SpeciesTree, fit_rates, loglik_joint

SANITIZED = bool(os.environ.get("KORVATH_SANITIZED"))


@pytest.mark.skipif(SANITIZED, reason="a statistical study; too slow under the sanitizers, "
                                      "whose pass covers the same core calls elsewhere")
def test_recovery_study_dated_model():
    # Families founded at the root of a birth-death tree without a stem; the extant trees and
    # the number of families that left no copy are all the fit sees.
    truth = dict(duplication=0.1, transfer=0.1, loss=0.2)
    tree = SpeciesTree.birth_death(16, seed=2)
    assert tree.stem == 0.0
    sim = korvath.simulate_families(tree, **truth, families=300, seed=3)
    genes = GeneTrees.from_simulation(sim)
    n_extinct = sim.n_families - len(genes)
    fit = fit_rates(tree, genes, model="dated", n_steps=20, n_extinct=n_extinct,
                    intervals=True, threads=2)
    assert fit.converged, fit.message
    assert list(fit.intervals.index) == ["duplication", "transfer", "loss"]
    for name, value in truth.items():
        row = fit.intervals.loc[name]
        assert row["lower"] < value < row["upper"], (name, row.to_dict())
        assert abs(fit.rates[name] / value - 1) < 0.25, (name, fit.rates[name])
        assert row["lower"] < fit.rates[name] < row["upper"]
    # The interval ends are where the profile has fallen by half the chi-square quantile:
    # holding loss at an end and re-fitting the others gives that log-likelihood.
    upper = fit.intervals.loc["loss", "upper"]
    refit = fit_rates(tree, genes, model="dated", n_steps=20, n_extinct=n_extinct,
                      fixed={"loss": upper},
                      start={k: fit.rates[k] for k in ("duplication", "transfer")}, threads=2)
    assert refit.loglik == pytest.approx(fit.loglik - 1.920729, abs=0.02)


@pytest.fixture(scope="module")
def small():
    tree = SpeciesTree.birth_death(6, seed=5)
    sim = korvath.simulate_families(tree, duplication=0.3, transfer=0.2, loss=0.4,
                                    families=40, seed=6)
    return tree, GeneTrees.from_simulation(sim), sim.n_families


def test_fits_are_deterministic_and_independent_of_threads(small):
    tree, genes, n = small
    kwargs = dict(model="undated", n_extinct=n - len(genes))
    first = fit_rates(tree, genes, **kwargs)
    again = fit_rates(tree, genes, **kwargs)
    threaded = fit_rates(tree, genes, threads=3, **kwargs)
    for other in (again, threaded):
        assert other.rates == first.rates and other.loglik == first.loglik
        assert other.n_evaluations == first.n_evaluations
    # The reported log-likelihood is the joint at the reported rates, and it is a maximum.
    assert first.loglik == loglik_joint(tree, genes, **first.rates, **kwargs)
    for name in first.free:
        for factor in (0.9, 1.1):
            moved = first.rates | {name: first.rates[name] * factor}
            assert loglik_joint(tree, genes, **moved, **kwargs) < first.loglik
    assert "duplication" in str(first)


def test_fixed_rates_stay_and_intervals_cover_the_estimate(small):
    tree, genes, n = small
    fit = fit_rates(tree, genes, model="reldated", fixed={"transfer": 0.0, "duplication": 0.3},
                    n_extinct=n - len(genes), intervals=True)
    assert fit.free == ("loss",)
    assert fit.rates["transfer"] == 0.0 and fit.rates["duplication"] == 0.3
    row = fit.intervals.loc["loss"]
    assert row["lower"] < fit.loss < row["upper"]
    assert list(fit.intervals.index) == ["loss"]


@pytest.mark.parametrize("changes, error, message", [
    (dict(fixed={"speciation": 1.0}), ValueError, "fixed: unknown rate 'speciation'"),
    (dict(fixed={"loss": -1.0}), ValueError, "fixed\\['loss'\\]"),
    (dict(fixed={"loss": 1, "transfer": 1, "duplication": 1}), ValueError, "every rate"),
    (dict(start={"loss": 0.0}), ValueError, "start\\['loss'\\]"),
    (dict(start={"loss": 0.1}, fixed={"loss": 0.2}), ValueError, "start: 'loss' is fixed"),
    (dict(level=1.0), ValueError, "level"),
    (dict(intervals="yes"), TypeError, "intervals"),
    (dict(model="dated", n_steps=0), ValueError, "n_steps"),
    (dict(fixed=[("loss", 1.0)]), TypeError, "fixed"),
    (dict(model="dated", fixed={"duplication": 1e300}), ValueError,
     "fixed, n_steps: with a total rate of 1e\\+300"),
])
def test_arguments_are_checked(small, changes, error, message):
    tree, genes, _ = small
    kwargs = dict(model="undated") | changes
    with pytest.raises(error, match=message):
        fit_rates(tree, genes, **kwargs)
    assert math.isfinite(fit_rates(tree, genes, model="undated",
                                   fixed={"transfer": 0.2, "duplication": 0.3}).loglik)


def test_a_fit_with_nothing_to_fit_is_not_reported_as_converged(small):
    tree, genes, _ = small
    empty = GeneTrees.from_newick([], tree)
    with pytest.raises(ValueError, match="no family and n_extinct is 0"):
        fit_rates(tree, empty, model="undated")
    # Extinct families alone are still a likelihood to maximise.
    assert math.isfinite(fit_rates(tree, empty, model="undated", n_extinct=5).loglik)
    # Without duplications and transfers no family of several copies on one species is
    # possible: the objective is -inf everywhere, which the optimiser alone calls converged.
    flat = fit_rates(tree, genes, model="undated", fixed={"duplication": 0, "transfer": 0})
    assert flat.loglik == -math.inf and not flat.converged
    assert "probability 0" in flat.message and "not estimates" in flat.message
