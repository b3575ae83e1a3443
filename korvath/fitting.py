"""Maximum-likelihood estimation of the duplication, transfer and loss rates of a batch.

:func:`fit_rates` maximises the joint log-likelihood of :func:`korvath.loglik_joint` over the
rates that are not held fixed, with scipy's bounded optimisers working on the logarithms of
the rates. On request it adds profile-likelihood confidence intervals: for each free rate, the
range of values whose profile log-likelihood (the other free rates re-optimised) lies within
half the chi-square quantile of the maximum.

The search is deterministic: the same inputs give the same result, bit for bit, whatever
``threads`` or ``client`` (the joint sums are the same bits either way).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

import numpy as np
import pandas as pd
from scipy import optimize, stats

from korvath import _checks
from korvath.gene_trees import GeneTrees
from korvath.scoring import RATE_NAMES, _check_client, _check_dated_grid, _check_settings, \
    _check_threads, _Scorer
from korvath.trees import SpeciesTree

__all__ = ["fit_rates", "RateFit"]

# Bounds of the search. Undated models: rates relative to a speciation rate of 1. Dated
# model: rates per unit time, scaled by the tree's height so that the bounds mean the same
# number of expected events along the tree (and the time grid's step counts stay bounded).
_LOW, _HIGH = 1e-8, 1e2
_START = 0.2
_PENALTY = 1e10


@dataclass(frozen=True)
class RateFit:
    """The result of :func:`fit_rates`.

    Attributes
    ----------
    rates : dict of str to float
        ``duplication``, ``transfer`` and ``loss`` at the maximum (fixed ones as given), in
        the model's units (see :func:`korvath.loglik`).
    loglik : float
        The joint log-likelihood at ``rates``, the extinct families' term included.
    n_evaluations : int
        Joint log-likelihoods computed (the fit and the intervals).
    converged : bool
        Whether the optimiser reports success at a finite log-likelihood (a batch of
        probability 0 at every rate tried is not converged, whatever the optimiser says).
    message : str
        The optimiser's message, and a note for every rate that ended at a search bound or
        when the log-likelihood is -inf.
    free : tuple of str
        The rates that were estimated.
    intervals : pandas.DataFrame or None
        With ``intervals=True``: one row per free rate (index ``rate``), columns ``estimate``,
        ``lower`` and ``upper``. A side whose profile never falls low enough within the search
        bounds is the bound itself (``0.0`` below, the upper search bound above) and is flagged
        in ``message``.
    level : float
        The confidence level of the intervals.
    settings : dict
        The model settings of the fit: ``model``, ``n_steps``, ``origination``, ``n_extinct``.
    """

    rates: dict[str, float]
    loglik: float
    n_evaluations: int
    converged: bool
    message: str
    free: tuple[str, ...]
    intervals: pd.DataFrame | None = None
    level: float = 0.95
    settings: dict[str, Any] = field(default_factory=dict, repr=False)

    @property
    def duplication(self) -> float:
        return self.rates["duplication"]

    @property
    def transfer(self) -> float:
        return self.rates["transfer"]

    @property
    def loss(self) -> float:
        return self.rates["loss"]

    def __str__(self) -> str:
        lines = [f"log-likelihood {self.loglik:.6f} ({self.n_evaluations} evaluations, "
                 f"{'converged' if self.converged else 'NOT converged'})"]
        for name in RATE_NAMES:
            value = self.rates[name]
            line = f"{name:<12} {value:.6g}"
            if name not in self.free:
                line += "  (fixed)"
            elif self.intervals is not None:
                row = self.intervals.loc[name]
                line += (f"  [{row['lower']:.6g}, {row['upper']:.6g}] "
                         f"({self.level:.0%} profile interval)")
            lines.append(line)
        return "\n".join(lines)


class _Objective:
    """The negative joint log-likelihood over log-rates of the free rates, with a cache."""

    def __init__(self, scorer: _Scorer, free: tuple[str, ...], fixed: dict[str, float],
                 n_extinct: int, progress: Callable[[int], None] | None) -> None:
        self.scorer = scorer
        self.free = free
        self.fixed = fixed
        self.n_extinct = n_extinct
        self.cache: dict[tuple[float, ...], float] = {}
        self.progress = progress
        self.scale = float(max(1, len(scorer.names) + n_extinct))

    def rates_at(self, x: np.ndarray) -> dict[str, float]:
        rates = dict(self.fixed)
        for name, value in zip(self.free, np.asarray(x, dtype=np.float64).tolist()):
            rates[name] = math.exp(value)
        return rates

    def loglik(self, x: np.ndarray) -> float:
        key = tuple(np.asarray(x, dtype=np.float64).tolist())
        value = self.cache.get(key)
        if value is None:
            rates = self.rates_at(x)
            value = self.scorer.joint(tuple(rates[n] for n in RATE_NAMES), self.n_extinct)
            self.cache[key] = value
            if self.progress is not None:
                self.progress(len(self.cache))
        return value

    def __call__(self, x: np.ndarray) -> float:
        """The negative log-likelihood per family, which keeps the optimisers' steps and
        tolerances independent of the batch size."""
        value = self.loglik(x)
        # A probability of 0 somewhere in the search: a large finite value keeps the
        # optimiser's arithmetic finite and makes its line search step back.
        return -value / self.scale if math.isfinite(value) else _PENALTY


def _minimise(objective: _Objective, x0: np.ndarray,
              bounds: list[tuple[float, float]]) -> optimize.OptimizeResult:
    """A bounded quasi-Newton search, then a derivative-free polish if it did not converge."""
    result = optimize.minimize(objective, x0, method="L-BFGS-B", bounds=bounds,
                               options=dict(eps=1e-7, maxiter=200, ftol=1e-11, gtol=1e-5))
    if not result.success or not np.isfinite(result.fun) or result.fun >= _PENALTY:
        polish = optimize.minimize(objective, result.x, method="Nelder-Mead", bounds=bounds,
                                   options=dict(xatol=1e-6, fatol=1e-7, maxiter=2000,
                                                initial_simplex=None))
        if polish.fun <= result.fun:
            result = polish
    return result


def _hessian(objective: _Objective, x: np.ndarray, h: float = 1e-2) -> np.ndarray | None:
    """Central-difference Hessian of the objective at x (log-rates), or None if not finite."""
    k = len(x)
    f0 = objective(x)
    H = np.empty((k, k))

    def f(*moves: tuple[int, float]) -> float:
        y = x.copy()
        for j, d in moves:
            y[j] += d
        return objective(y)

    for i in range(k):
        H[i, i] = (f((i, h)) - 2.0 * f0 + f((i, -h))) / (h * h)
        for j in range(i):
            H[i, j] = H[j, i] = (f((i, h), (j, h)) - f((i, h), (j, -h)) - f((i, -h), (j, h))
                                 + f((i, -h), (j, -h))) / (4.0 * h * h)
    H *= objective.scale  # of the log-likelihood itself, not per family
    return H if np.all(np.isfinite(H)) else None


def _profile_side(objective: _Objective, i: int, x_hat: np.ndarray, best: float, drop: float,
                  bounds: list[tuple[float, float]], direction: int,
                  H: np.ndarray | None) -> tuple[float, bool]:
    """The log-rate where the profile of free rate i has fallen by ``drop`` on one side.

    The profile at a value of rate i is the joint log-likelihood maximised over the other free
    rates. The first guess comes from the quadratic approximation at the maximum (Hessian H),
    the other rates starting where that approximation puts their conditional maximum; secant
    steps, then regula falsi once the crossing is bracketed, refine it. Returns (log-rate,
    found); ``found`` is False when the profile stays above the level up to the search bound,
    which is then returned.
    """
    others = [k for k in range(len(x_hat)) if k != i]
    edge = bounds[i][1] if direction > 0 else bounds[i][0]
    slope = np.zeros(len(others))
    guess = 0.5
    if H is not None:
        try:
            cov = np.linalg.inv(H)
            if cov[i, i] > 0:
                guess = math.sqrt(2.0 * drop * cov[i, i])
            if others:
                slope = -np.linalg.solve(H[np.ix_(others, others)], H[others, i])
        except np.linalg.LinAlgError:
            pass
    guess = min(max(guess, 1e-3), 5.0)

    def excess(xi: float) -> float:
        """Profile log-likelihood minus the level (best - drop)."""
        x = x_hat.copy()
        x[i] = xi
        if others:
            y0 = np.clip(x_hat[others] + slope * (xi - x_hat[i]),
                         [bounds[k][0] for k in others], [bounds[k][1] for k in others])

            def inner(y: np.ndarray) -> float:
                z = x.copy()
                z[others] = y
                return objective(z)

            result = optimize.minimize(inner, y0, method="L-BFGS-B",
                                       bounds=[bounds[k] for k in others],
                                       options=dict(eps=1e-7, maxiter=100, ftol=1e-9,
                                                    gtol=1e-4))
            value = (-float(result.fun) * objective.scale if result.fun < _PENALTY
                     else -math.inf)
        else:
            value = objective.loglik(x)
        return min(value, best) - (best - drop)

    a, ga = float(x_hat[i]), drop  # inside: above the level
    b = a + direction * guess
    while True:
        if (b - edge) * direction >= 0:
            b = edge
        gb = excess(b)
        if gb < 0:
            break
        if b == edge:
            return edge, False
        # Still above the level: step on along the secant (at least doubling the distance).
        if ga > gb:
            reach = (b - a) * gb / (ga - gb)
            step = max(abs(reach) * 1.2, abs(b - a))
        else:
            step = 2 * abs(b - a)
        a, ga = b, gb
        b = a + direction * min(step, 10.0)
    # Bracketed: above the level at a, below at b. Regula falsi with the Illinois correction.
    side = 0
    c = b
    for _ in range(40):
        c = b - gb * (b - a) / (gb - ga)
        gc = excess(c)
        if abs(gc) < 1e-2 or abs(b - a) < 1e-5:
            break
        if gc > 0:
            a, ga = c, gc
            if side == -1:
                gb *= 0.5
            side = -1
        else:
            b, gb = c, gc
            if side == 1:
                ga *= 0.5
            side = 1
    return c, True


def fit_rates(species_tree: SpeciesTree, gene_trees: GeneTrees, *, model: str,
              n_steps: int | None = None, origination: str = "root", n_extinct: int = 0,
              fixed: Mapping[str, float] | None = None, start: Mapping[str, float] | None = None,
              threads: int = 1, client: Any = None, intervals: bool = False,
              level: float = 0.95, _progress: Callable[[int], None] | None = None) -> RateFit:
    """Maximum-likelihood duplication, transfer and loss rates of a batch of gene trees.

    Maximises :func:`korvath.loglik_joint` over the rates not in ``fixed``, searching their
    logarithms within bounds with scipy's L-BFGS-B (finite-difference gradients), followed by a
    Nelder-Mead polish should that not converge.

    Parameters
    ----------
    species_tree : SpeciesTree
    gene_trees : GeneTrees
        The batch, read against ``species_tree``.
    model : {"undated", "reldated", "dated"}
        See :func:`korvath.loglik`; the rates are in that model's units.
    n_steps : int, optional
        Dated model only: the least number of Euler steps per grid interval (default 20).
    origination : {"root", "uniform"}, default "root"
    n_extinct : int, default 0
        Families that left no gene, started like the others. Needed for an unbiased loss rate
        when the batch holds only surviving families: a batch of families founded at the root
        of a simulation has ``n_extinct = sim.n_families - len(gene_trees)``.
    fixed : dict, optional
        Rates held at the given values (finite, >= 0), e.g. ``{"transfer": 0.0}``.
    start : dict, optional
        Starting values (> 0) of free rates; by default 0.2 (dated model: 0.2 per tree height).
    threads : int, default 1
        Threads to score on; the result does not depend on it.
    client : dask.distributed.Client, optional
        Score on a cluster; the batch and the species tree are sent once for the whole fit.
    intervals : bool, default False
        Also compute profile-likelihood confidence intervals of the free rates.
    level : float, default 0.95
        Confidence level of the intervals, in (0, 1).

    Returns
    -------
    RateFit

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range, naming it; ``fixed`` or ``start``
        naming an unknown rate; every rate fixed; an empty batch with ``n_extinct`` 0; in the
        dated model, fixed rates (or ``n_steps``) whose time grid needs more than the
        machine's memory.
    """
    tree, settings = _check_settings(species_tree, model, n_steps, origination)
    n_extinct = _checks.count("n_extinct", n_extinct)
    threads = _check_threads(threads)
    client = _check_client(client)
    intervals = _checks.flag("intervals", intervals)
    level = _checks.real("level", level)
    if not 0.0 < level < 1.0:
        raise ValueError(f"level: must lie strictly between 0 and 1, got {level!r}")
    fixed_rates = _rate_dict("fixed", fixed)
    fixed_rates = {name: _checks.rate(f"fixed[{name!r}]", v) for name, v in fixed_rates.items()}
    start_rates = _rate_dict("start", start)
    free = tuple(name for name in RATE_NAMES if name not in fixed_rates)
    if not free:
        raise ValueError("fixed: every rate is fixed; nothing to estimate (use loglik_joint)")
    scale = 1.0 / tree.height if settings.model == "dated" else 1.0
    low, high = math.log(_LOW * scale), math.log(_HIGH * scale)
    x0 = []
    for name in free:
        value = start_rates.pop(name, _START * scale)
        value = _checks.real(f"start[{name!r}]", value)
        if not (math.isfinite(value) and value > 0):
            raise ValueError(f"start[{name!r}]: must be a finite rate > 0, got {value!r}")
        x0.append(min(max(math.log(value), low), high))
    if start_rates:
        raise ValueError(f"start: {sorted(start_rates)[0]!r} is fixed; give it in fixed only")
    bounds = [(low, high)] * len(free)
    # The fixed rates alone (the free ones at 0) must leave a time grid the machine can hold;
    # the search bounds keep the free rates' share of it bounded.
    _check_dated_grid(tree, settings, tuple(fixed_rates.get(name, 0.0)
                                            for name in RATE_NAMES), "fixed, n_steps")

    with _Scorer(tree, gene_trees, settings, threads, client) as scorer:
        if not scorer.names and n_extinct == 0:
            raise ValueError("gene_trees: the batch holds no family and n_extinct is 0, so "
                             "there is nothing to fit")
        objective = _Objective(scorer, free, fixed_rates, n_extinct, _progress)
        result = _minimise(objective, np.asarray(x0, dtype=np.float64), bounds)
        x_hat = np.asarray(result.x, dtype=np.float64)
        best = objective.loglik(x_hat)
        notes = [str(result.message)]
        # A batch of probability 0 wherever the search went gives the optimiser a flat
        # objective, which it reports as converged; its rates estimate nothing.
        converged = bool(result.success) and math.isfinite(best)
        if not math.isfinite(best):
            notes.append("the batch has probability 0 (loglik -inf) at every rate tried, so the "
                         "rates are not estimates: check the fixed rates and the trees")
        for name, xi in zip(free, x_hat.tolist()):
            if xi <= low + 1e-9:
                notes.append(f"{name} is at the lower search bound (effectively 0)")
            elif xi >= high - 1e-9:
                notes.append(f"{name} is at the upper search bound")
        table = None
        if intervals and math.isfinite(best):
            drop = 0.5 * float(stats.chi2.ppf(level, 1))
            H = _hessian(objective, x_hat)
            rows = []
            for i, name in enumerate(free):
                ends = []
                for direction in (-1, 1):
                    xi, found = _profile_side(objective, i, x_hat, best, drop, bounds,
                                              direction, H)
                    if not found:
                        side = "lower" if direction < 0 else "upper"
                        notes.append(f"the {side} end of the {name} interval is the search "
                                     "bound: the profile does not fall that far")
                        ends.append(0.0 if direction < 0 else math.exp(xi))
                    else:
                        ends.append(math.exp(xi))
                rows.append((math.exp(float(x_hat[i])), ends[0], ends[1]))
            table = pd.DataFrame(rows, columns=["estimate", "lower", "upper"],
                                 index=pd.Index(list(free), name="rate"))
        rates = objective.rates_at(x_hat)
        return RateFit(
            rates={name: rates[name] for name in RATE_NAMES}, loglik=best,
            n_evaluations=len(objective.cache), converged=converged,
            message="; ".join(notes), free=free, intervals=table, level=level,
            settings=dict(model=settings.model, n_steps=settings.n_steps or None,
                          origination=origination, n_extinct=n_extinct))


def _rate_dict(name: str, value: object) -> dict[str, float]:
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(f"{name}: expected a dict from rate name to value, got "
                        f"{type(value).__name__}")
    out = {}
    for key, v in value.items():
        if key not in RATE_NAMES:
            raise ValueError(f"{name}: unknown rate {key!r}; the rates are "
                             + ", ".join(repr(r) for r in RATE_NAMES))
        out[key] = v
    return out
